#pragma once

#include "model/NodeList.h"

#include <QUuid>

#include <optional>

namespace tarni {

// Decides which nodes restoring a selected subtree brings back: its Chrome
// tabs.
class RestoreCoordinator {
public:
    // The selected tab alone, or every tab below the selected node (through
    // any kind of node) in the outline's order: depth first, each sibling
    // group in display order (see TreeProjection). Empty without a selection
    // or when the selection is not in the list.
    NodeList browserRestorableNodes(const std::optional<QUuid> &selectedNodeID, const NodeList &allNodes) const;
};

} // namespace tarni
