#include "opening/RestoreCoordinator.h"

#include "tree/TreeProjection.h"

#include <vector>

namespace tarni {

NodeList RestoreCoordinator::browserRestorableNodes(const std::optional<QUuid> &selectedNodeID,
                                                    const NodeList &allNodes) const
{
    if (!selectedNodeID)
        return {};
    // The outline's own ordering, so that the tabs open as the outline shows them.
    const TreeProjection tree(allNodes, TreeProjection::SearchIndex::onFirstQuery);
    const TreeProjection::SlotId selected = tree.firstSlotWithId(*selectedNodeID);
    if (selected == TreeProjection::kNoSlot)
        return {};
    if (tree.node(selected).kind() == WorkspaceNodeKind::chromeTab)
        return {tree.node(selected)};

    NodeList tabs;
    // An explicit stack: a deep chain must not exhaust the call stack, and a
    // parent cycle in damaged data must not loop for ever.
    std::vector<std::uint8_t> visited(tree.slotCapacity(), 0);
    visited[selected] = 1;
    std::vector<std::pair<TreeProjection::SlotId, std::size_t>> stack{{selected, 0}};
    while (!stack.empty()) {
        auto &[parent, next] = stack.back();
        const std::vector<TreeProjection::SlotId> &children = tree.childSlots(parent);
        if (next >= children.size()) {
            stack.pop_back();
            continue;
        }
        const TreeProjection::SlotId child = children[next++];
        if (visited[child])
            continue;
        visited[child] = 1;
        if (tree.node(child).kind() == WorkspaceNodeKind::chromeTab)
            tabs.append(tree.node(child));
        stack.emplace_back(child, 0);
    }
    return tabs;
}

} // namespace tarni
