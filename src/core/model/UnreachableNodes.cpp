#include "model/UnreachableNodes.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <optional>
#include <vector>

namespace tarni {

UnreachableNodes findUnreachableNodes(const NodeList &nodes)
{
    // Children are grouped by their parent's identifier, as the projection
    // groups them, so a node is reachable when its parent's identifier is.
    QHash<QUuid, std::vector<qsizetype>> childrenOf;
    QHash<QUuid, qsizetype> firstWithId;
    std::vector<qsizetype> pending;
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        if (!firstWithId.contains(nodes[i].id()))
            firstWithId.insert(nodes[i].id(), i);
        if (const auto &parent = nodes[i].parentID())
            childrenOf[*parent].push_back(i);
        else
            pending.push_back(i);
    }
    std::vector<bool> reachable(std::size_t(nodes.size()), false);
    QSet<QUuid> reachedIds;
    while (!pending.empty()) {
        const qsizetype i = pending.back();
        pending.pop_back();
        reachable[std::size_t(i)] = true;
        if (reachedIds.contains(nodes[i].id()))
            continue;
        reachedIds.insert(nodes[i].id());
        if (auto it = childrenOf.constFind(nodes[i].id()); it != childrenOf.constEnd())
            pending.insert(pending.end(), it->begin(), it->end());
    }

    UnreachableNodes result;
    QHash<QUuid, qsizetype> missingIndex;
    // Where the chain of parents above an unreached identifier ends: at a
    // missing identifier, or (none) in a cycle. Every node with an unreached
    // identifier is unreachable and has a parent, so the chain is followed
    // through the first node of each identifier.
    QHash<QUuid, std::optional<QUuid>> endOf;
    auto chainEnd = [&](const QUuid &from) {
        std::vector<QUuid> walk;
        QSet<QUuid> onWalk;
        QUuid id = from;
        std::optional<QUuid> end;
        for (;;) {
            if (auto known = endOf.constFind(id); known != endOf.constEnd()) {
                end = *known;
                break;
            }
            if (!firstWithId.contains(id)) {
                end = id;
                if (!missingIndex.contains(id)) {
                    missingIndex.insert(id, result.missingParents.size());
                    result.missingParents << UnreachableNodes::MissingParent{id, 0};
                }
                break;
            }
            if (onWalk.contains(id)) {
                QList<QUuid> cycle;
                for (auto it = std::find(walk.begin(), walk.end(), id); it != walk.end(); ++it)
                    cycle << *it;
                result.cycles << cycle;
                break;
            }
            onWalk.insert(id);
            walk.push_back(id);
            id = *nodes[firstWithId.value(id)].parentID();
        }
        for (const QUuid &walked : walk)
            endOf.insert(walked, end);
        return end;
    };

    for (qsizetype i = 0; i < nodes.size(); ++i) {
        if (reachable[std::size_t(i)])
            continue;
        ++result.count;
        // A node whose identifier is also a reachable node's is only kept
        // out by its own parent link.
        const QUuid &id = nodes[i].id();
        const auto end = chainEnd(reachedIds.contains(id) ? *nodes[i].parentID() : id);
        if (end)
            ++result.missingParents[missingIndex.value(*end)].unreachableBelow;
    }

    // A cycle is cut at its first member in list order.
    QHash<QUuid, qsizetype> cycleOf;
    for (qsizetype c = 0; c < result.cycles.size(); ++c) {
        for (const QUuid &member : result.cycles[c])
            cycleOf.insert(member, c);
    }
    std::vector<bool> cut(std::size_t(result.cycles.size()), false);
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        if (reachable[std::size_t(i)])
            continue;
        if (missingIndex.contains(*nodes[i].parentID())) {
            result.detachedPositions << i;
        } else if (auto c = cycleOf.constFind(nodes[i].id()); c != cycleOf.constEnd() && !cut[std::size_t(*c)]) {
            cut[std::size_t(*c)] = true;
            result.detachedPositions << i;
        }
    }
    return result;
}

} // namespace tarni
