#pragma once

#include "model/WorkspaceNode.h"
#include "sync/ChangeFile.h"
#include "sync/HybridClock.h"

#include <QUuid>

#include <functional>
#include <optional>
#include <vector>

namespace tarni::sync {

// What a node holds apart from its order among its siblings and its opening
// stamp. Renumbering siblings and opening a node change neither, so two
// versions with one digest differ by nothing a user would call an edit.
std::string contentDigest(const WorkspaceNode &node);

// A node as this machine has it: its row (none once deleted) and the rank
// of that version. `clock` is the version's clock (none for a row never sent
// or received, which ranks below every version); `contentClock` is, for a
// row, the clock of the version that last changed its content and, once
// deleted, the clock of the version that was deleted.
struct LocalVersion {
    std::optional<WorkspaceNode> node;
    std::optional<SyncClock> clock;
    std::optional<SyncClock> contentClock;
};

// What applying one received change does to one node.
//
// Every version of a node has a rank, and the version of the highest rank
// wins, so every machine ends with the same version in whatever order the
// versions arrive. A row ranks by (content clock, clock); a deletion ranks
// by the clock of the version it deleted, just above that version. So a
// deletion wins over the version it deleted and over versions that only
// reordered or opened the node since; an edit made since, on any machine,
// wins over the deletion; and of two rows the later content change wins.
struct MergeOutcome {
    enum class Action {
        write,  // store `node` (new, or replacing the row)
        remove, // delete the row (to the trash)
        keep,   // the row stays as it is
    };
    Action action = Action::keep;
    std::optional<WorkspaceNode> node; // write: the row to store
    // The version kept afterwards, as LocalVersion has it.
    std::optional<SyncClock> clock;
    std::optional<SyncClock> contentClock;
    bool deleted = false;
    // A row that lost to another and differs from it in more than its order
    // and opening stamp: kept for the user. `lostLocal` says whose.
    std::optional<WorkspaceNode> lost;
    bool lostLocal = false;
};

MergeOutcome mergeChange(const LocalVersion &local, const ChangeRecord &incoming);

// Whether two versions of a node differ in more than their order and opening
// stamps: only then is the losing one kept.
bool differsInContent(const WorkspaceNode &a, const WorkspaceNode &b);

// The group that orphans and the nodes of broken cycles go under: the same
// id, title and fields on every machine.
WorkspaceNode recoveredGroup(const QUuid &workspaceID);

// Walks from `start` to the top through `parentOf`: the nodes of a cycle it
// runs into (empty when there is none), or the node whose parent does not
// exist.
struct AncestorWalk {
    std::vector<QUuid> cycle;
    std::optional<QUuid> orphan;
};
// `parentOf(id)`: none when the node does not exist; a present optional
// holding none when it is at the top level.
using ParentLookup = std::function<std::optional<std::optional<QUuid>>(const QUuid &)>;
AncestorWalk walkAncestors(const QUuid &start, const ParentLookup &parentOf);

// The node of a cycle that goes under "Recovered": the one whose clock is
// newest (the later move loses); nodes without a clock count as oldest, and
// ties fall to the larger id, so that every machine picks the same node.
QUuid cycleBreaker(const std::vector<QUuid> &cycle,
                   const std::function<std::optional<SyncClock>(const QUuid &)> &clockOf);

} // namespace tarni::sync
