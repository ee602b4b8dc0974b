#include "tree/TreeNodeBuilder.h"

#include "tree/TreeProjection.h"

#include <utility>

namespace tarni {

TreeNodeBuilder::TreeNodeBuilder(NodeList nodes)
    : m_nodes(std::move(nodes))
{
}

QList<WorkspaceTreeNode> TreeNodeBuilder::build() const
{
    return TreeProjection(m_nodes, TreeProjection::SearchIndex::onFirstQuery).displayedTree();
}

} // namespace tarni
