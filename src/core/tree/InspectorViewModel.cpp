#include "tree/InspectorViewModel.h"

namespace tarni {

InspectorViewModel::InspectorViewModel(TreeViewModel &treeViewModel, SelectionCoordinator &selectionCoordinator)
    : m_treeViewModel(treeViewModel)
    , m_selectionCoordinator(selectionCoordinator)
{
}

std::optional<WorkspaceNode> InspectorViewModel::selectedNode() const
{
    return m_treeViewModel.node(m_selectionCoordinator.selectedNodeID());
}

TreeResult<void> InspectorViewModel::renameSelectedNode(const QString &title)
{
    const auto node = selectedNode();
    if (!node)
        return {};
    return m_treeViewModel.rename(node->id(), title);
}

} // namespace tarni
