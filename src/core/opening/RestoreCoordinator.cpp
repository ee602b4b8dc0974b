#include "opening/RestoreCoordinator.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <vector>

namespace tarni {

NodeList RestoreCoordinator::browserRestorableNodes(const std::optional<QUuid> &selectedNodeID,
                                                    const NodeList &allNodes) const
{
    if (!selectedNodeID)
        return {};
    const auto selected = std::find_if(allNodes.cbegin(), allNodes.cend(),
                                       [&](const WorkspaceNode &n) { return n.id() == *selectedNodeID; });
    if (selected == allNodes.cend())
        return {};
    if (selected->kind() == WorkspaceNodeKind::chromeTab)
        return {*selected};

    QHash<QUuid, QList<qsizetype>> children;
    for (qsizetype i = 0; i < allNodes.size(); ++i) {
        if (const auto &parent = allNodes[i].parentID())
            children[*parent].append(i);
    }

    NodeList tabs;
    // An explicit stack: a deep chain must not exhaust the call stack, and a
    // parent cycle in damaged data must not loop for ever.
    QSet<QUuid> visited{*selectedNodeID};
    std::vector<std::pair<QUuid, qsizetype>> stack{{*selectedNodeID, 0}};
    while (!stack.empty()) {
        auto &[parent, next] = stack.back();
        const auto it = children.constFind(parent);
        if (it == children.cend() || next >= it->size()) {
            stack.pop_back();
            continue;
        }
        const WorkspaceNode &child = allNodes[it->at(next++)];
        if (visited.contains(child.id()))
            continue;
        visited.insert(child.id());
        if (child.kind() == WorkspaceNodeKind::chromeTab)
            tabs.append(child);
        stack.emplace_back(child.id(), 0);
    }
    std::stable_sort(tabs.begin(), tabs.end(),
                     [](const WorkspaceNode &a, const WorkspaceNode &b) { return a.sortOrder() < b.sortOrder(); });
    return tabs;
}

} // namespace tarni
