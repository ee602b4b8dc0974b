#pragma once

#include "tree/SelectionCoordinator.h"
#include "tree/TreeViewModel.h"

#include <optional>

namespace tarni {

// What the inspector panel shows: the selected node's record, and the rename
// its title field performs.
class InspectorViewModel {
public:
    static constexpr const char *kNoSelectionText = "Select a node to inspect it.";

    InspectorViewModel(TreeViewModel &treeViewModel, SelectionCoordinator &selectionCoordinator);

    // Looked up on every read; absent for no selection or a stale one.
    std::optional<WorkspaceNode> selectedNode() const;
    // Does nothing without a selected node; the title is stored as given.
    TreeResult<void> renameSelectedNode(const QString &title);

private:
    TreeViewModel &m_treeViewModel;
    SelectionCoordinator &m_selectionCoordinator;
};

} // namespace tarni
