#pragma once

#include "tree/SelectionCoordinator.h"
#include "tree/TreeViewModel.h"

#include <optional>

namespace tarni {

// What the inspector panel shows: the selected node's record, and the rename
// its title field performs.
//
// Only a node the outline shows counts as selected here: one that a search
// filters out, or that sits in a collapsed group, is not inspected, and the
// commands that act on the selection leave it alone, so no key ever acts on
// a node the user cannot see.
class InspectorViewModel {
public:
    static constexpr const char *kNoSelectionText = "Select a node to inspect it.";

    InspectorViewModel(TreeViewModel &treeViewModel, SelectionCoordinator &selectionCoordinator);

    // Looked up on every read; absent for no selection, a stale one, or one
    // the outline does not show.
    std::optional<WorkspaceNode> selectedNode() const;
    // Does nothing without a selected node; the title is stored as given.
    TreeResult<void> renameSelectedNode(const QString &title);

    // The row that shows the node in the outline: the node itself; the
    // outermost collapsed group above it; or none, when a search filters it
    // out or it hangs from no top-level node. While searching, every match
    // shows expanded whatever its groups' flags say.
    std::optional<QUuid> shownRow(const QUuid &nodeID) const;
    bool isShown(const QUuid &nodeID) const { return shownRow(nodeID) == nodeID; }

private:
    TreeViewModel &m_treeViewModel;
    SelectionCoordinator &m_selectionCoordinator;
};

} // namespace tarni
