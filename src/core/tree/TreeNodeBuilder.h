#pragma once

#include "model/NodeList.h"
#include "tree/WorkspaceTreeNode.h"

namespace tarni {

// Builds the nested tree from a flat node list: the top-level nodes (no
// parent) with their children, each sibling group by ascending sortOrder, ties
// in list order. Nodes that cannot be reached from the top level (a parent
// that is not in the list, a cycle of parent links) are left out.
class TreeNodeBuilder {
public:
    explicit TreeNodeBuilder(NodeList nodes);

    QList<WorkspaceTreeNode> build() const;

private:
    NodeList m_nodes;
};

} // namespace tarni
