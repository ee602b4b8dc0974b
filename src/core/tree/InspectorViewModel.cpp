#include "tree/InspectorViewModel.h"

namespace tarni {

InspectorViewModel::InspectorViewModel(TreeViewModel &treeViewModel, SelectionCoordinator &selectionCoordinator)
    : m_treeViewModel(treeViewModel)
    , m_selectionCoordinator(selectionCoordinator)
{
}

std::optional<WorkspaceNode> InspectorViewModel::selectedNode() const
{
    const auto &id = m_selectionCoordinator.selectedNodeID();
    if (!id || !isShown(*id))
        return std::nullopt;
    return m_treeViewModel.node(id);
}

std::optional<QUuid> InspectorViewModel::shownRow(const QUuid &nodeID) const
{
    const TreeProjection &projection = m_treeViewModel.projection();
    auto slot = projection.firstSlotWithId(nodeID);
    if (slot == TreeProjection::kNoSlot)
        return std::nullopt;
    const bool filtering = projection.isFiltering();
    if (filtering && !projection.isDisplayed(slot))
        return std::nullopt;
    std::optional<QUuid> row = nodeID;
    // A chain longer than the tree is a parent cycle in damaged data.
    std::size_t steps = 0;
    for (auto parent = projection.node(slot).parentID(); parent; parent = projection.node(slot).parentID()) {
        slot = projection.firstSlotWithId(*parent);
        if (slot == TreeProjection::kNoSlot || ++steps > projection.size())
            return std::nullopt;
        if (!filtering && projection.node(slot).isCollapsed())
            row = *parent;
    }
    return row;
}

TreeResult<void> InspectorViewModel::renameSelectedNode(const QString &title)
{
    const auto node = selectedNode();
    if (!node)
        return {};
    return m_treeViewModel.rename(node->id(), title);
}

} // namespace tarni
