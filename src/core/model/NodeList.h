#pragma once

#include "model/WorkspaceNode.h"

#include <QList>

namespace tarni {

// The flat node list of a workspace. QList is implicitly shared, so handing
// the list around (signals, snapshots of state) copies nothing until written.
using NodeList = QList<WorkspaceNode>;

// Removes the records at `positions` (ascending, each in range); the others
// close up in their order. A few runs of positions cost a memmove each, more
// one pass of moves; no record is copied.
inline void removePositions(NodeList &nodes, const QList<qsizetype> &positions)
{
    if (positions.isEmpty())
        return;
    qsizetype runs = 1;
    for (qsizetype k = 1; k < positions.size(); ++k)
        runs += positions[k] != positions[k - 1] + 1;
    constexpr qsizetype kFewRuns = 8;
    if (runs <= kFewRuns) {
        for (qsizetype k = positions.size(); k > 0;) {
            qsizetype first = k - 1;
            while (first > 0 && positions[first - 1] == positions[first] - 1)
                --first;
            nodes.remove(positions[first], k - first);
            k = first;
        }
        return;
    }
    qsizetype out = positions.front();
    qsizetype k = 0;
    for (qsizetype i = out; i < nodes.size(); ++i) {
        if (k < positions.size() && positions[k] == i) {
            ++k;
            continue;
        }
        nodes[out++] = std::move(nodes[i]);
    }
    nodes.resize(out);
}

} // namespace tarni
