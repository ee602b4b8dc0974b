#pragma once

#include "model/NodeList.h"

#include <QList>
#include <QUuid>

namespace tarni {

// Nodes that no tree can show: their parent links lead to an identifier that
// names no node, or round a cycle. The outline, exports and snapshots leave
// them out; this finds them so that they can be reported and recovered.
struct UnreachableNodes {
    struct MissingParent {
        QUuid parentID;
        int unreachableBelow = 0; // every node whose chain ends at this identifier
    };

    int count = 0;
    // Each cycle's members, following parent links from its first member in
    // list order.
    QList<QList<QUuid>> cycles;
    QList<MissingParent> missingParents;
    // Positions in the list of the nodes to re-attach so that everything is
    // reachable again: each child of a missing parent, and the first member
    // (in list order) of each cycle.
    QList<qsizetype> detachedPositions;

    bool isEmpty() const { return count == 0; }
};

UnreachableNodes findUnreachableNodes(const NodeList &nodes);

} // namespace tarni
