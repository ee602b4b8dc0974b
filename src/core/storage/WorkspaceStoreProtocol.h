#pragma once

#include "model/NodeList.h"
#include "model/SnapshotSummary.h"
#include "model/Workspace.h"
#include "model/WorkspaceSnapshot.h"
#include "storage/EditHistory.h"
#include "storage/StoreError.h"

#include <QHash>
#include <QList>
#include <QUuid>

namespace tarni {

// Where an edit changed a node list, counted in the list as a store last
// read or wrote it and in the list after the edit (see saveEditInPlace).
struct NodeListEdit {
    // Ascending positions in the former list of the records the edit removed.
    QList<qsizetype> removed;
    // Ascending positions in the new list of every record that may differ
    // from the former one there and of every added record. The records the
    // edit kept stay in their order; the added ones follow them.
    QList<qsizetype> changed;
};

// The list entry of a decoded snapshot.
SnapshotSummary summarizeSnapshot(const WorkspaceSnapshot &snapshot, SnapshotOrigin origin);

// The workspace, its node list and its snapshots. Synchronous; every
// operation either completes or fails without a partial effect.
// Entries of a snapshot about to be saved whose record is that of an entry of
// the stored snapshot `snapshotID` (whose root entry is `rootEntryID`): the
// entry copying node N, under N's own identifier and title, holds the record
// of that snapshot's entry entryOfNode[N], which copies N as it is now under
// its own identifier and title. Only for identifiers that appear once in both
// trees. An entry whose position does not hold that entry identifier in the
// stored snapshot (replaced since, say) is encoded as any other.
struct SnapshotRecordHint {
    QUuid snapshotID;
    QUuid rootEntryID;
    QHash<QUuid, SnapshotEntryRef> entryOfNode;
};

class WorkspaceStoreProtocol {
public:
    virtual ~WorkspaceStoreProtocol() = default;

    virtual StoreResult<Workspace> fetchOrCreateDefaultWorkspace() = 0;
    virtual StoreResult<void> saveWorkspace(const Workspace &workspace) = 0;
    // Top-level nodes first, then children grouped by parent id; siblings by
    // ascending sortOrder, then older createdAt. Not a tree order.
    virtual StoreResult<NodeList> fetchNodes(const QUuid &workspaceID) = 0;
    // Whether another program changed the workspace's nodes since this
    // store last read or wrote them; cheap when nothing changed. A store
    // nobody else writes never sees such a change.
    virtual StoreResult<bool> nodesChangedElsewhere(const QUuid &workspaceID)
    {
        (void)workspaceID;
        return false;
    }
    // Whether fetchNodes gives only part of the tree (see
    // WorkspaceStore::setNodeScope), whose writes then change only the rows
    // that differ from those read.
    virtual bool readsPartialTree() const { return false; }
    // Whether another thread may make the calls, one at a time, while the
    // thread that made the earlier ones waits (TreeViewModel's big writes).
    virtual bool usableFromOtherThreads() const { return false; }
    // Afterwards the workspace's rows are exactly `nodes` (all or nothing).
    // A store that read the rows refuses (StoreError::Kind::changedElsewhere)
    // when another program changed them since, instead of writing back rows
    // it never read.
    virtual StoreResult<void> replaceNodes(const NodeList &nodes, const QUuid &workspaceID) = 0;
    // The workspace row and its node list as one durable write where the
    // store can; by default the two writes one after the other.
    virtual StoreResult<void> saveWorkspaceAndNodes(const Workspace &workspace, const NodeList &nodes)
    {
        if (auto saved = saveWorkspace(workspace); !saved)
            return saved;
        return replaceNodes(nodes, workspace.id);
    }
    virtual StoreResult<void> saveSnapshot(const WorkspaceSnapshot &snapshot) = 0;
    // Newest first.
    virtual StoreResult<QList<WorkspaceSnapshot>> fetchSnapshots(const QUuid &workspaceID) = 0;
    // Empties all three tables.
    virtual StoreResult<void> reset() = 0;
    // The history and the trash. A store without them keeps no history: the
    // edit is written alone, the lists are empty, and reading a step or an
    // entry fails.
    //
    // The workspace row, the node list and `history` in one durable
    // transaction; gives the sequence number of a recorded step.
    virtual StoreResult<std::optional<std::int64_t>> saveEdit(const Workspace &workspace, const NodeList &nodes,
                                                              const HistoryWrite &history)
    {
        (void)history;
        if (auto saved = saveWorkspaceAndNodes(workspace, nodes); !saved)
            return Failure(saved.error());
        return std::optional<std::int64_t>();
    }
    // The same for an edit that, since the list this store last read or
    // wrote, removed, changed and added records as `edit` says and nothing
    // else. A store that keeps that list updates it at those positions
    // instead of taking `nodes`, so that neither list has to be copied for a
    // one-node edit.
    virtual StoreResult<std::optional<std::int64_t>> saveEditInPlace(const Workspace &workspace,
                                                                     const NodeList &nodes, const NodeListEdit &edit,
                                                                     const HistoryWrite &history)
    {
        (void)edit;
        return saveEdit(workspace, nodes, history);
    }
    // Oldest first.
    virtual StoreResult<QList<HistoryEntry>> fetchHistory(const QUuid &workspaceID)
    {
        (void)workspaceID;
        return QList<HistoryEntry>();
    }
    virtual StoreResult<HistoryStep> fetchHistoryStep(std::int64_t sequence)
    {
        (void)sequence;
        return Failure(StoreError{StoreError::Kind::step, {}, QStringLiteral("this store keeps no history")});
    }
    virtual StoreResult<void> clearHistory(const QUuid &workspaceID)
    {
        (void)workspaceID;
        return {};
    }
    // Newest first.
    virtual StoreResult<QList<TrashSummary>> fetchTrash(const QUuid &workspaceID)
    {
        (void)workspaceID;
        return QList<TrashSummary>();
    }
    virtual StoreResult<std::optional<TrashEntry>> fetchTrashEntry(const QUuid &entryID)
    {
        (void)entryID;
        return std::optional<TrashEntry>();
    }
    // Erases the entries for good, and with them the steps that could bring
    // them back (and every step beyond those). Gives how many were erased.
    virtual StoreResult<std::int64_t> eraseTrash(const QUuid &workspaceID, const QList<QUuid> &entryIDs)
    {
        (void)workspaceID;
        (void)entryIDs;
        return std::int64_t(0);
    }

    // Snapshots one at a time, and their marks. A store that keeps no marks
    // saves an automatic snapshot as a plain one and cannot delete or rename.
    // `hint`, when given, says which entries hold the record a stored
    // snapshot's entry holds (see SnapshotRecordHint); a store may use it to
    // spare encoding and looking up those records.
    virtual StoreResult<void> saveMarkedSnapshot(const WorkspaceSnapshot &snapshot, SnapshotOrigin origin,
                                                 std::optional<Timestamp> treeUpdatedAt = std::nullopt,
                                                 const SnapshotRecordHint *hint = nullptr)
    {
        (void)origin;
        (void)treeUpdatedAt;
        (void)hint;
        return saveSnapshot(snapshot);
    }
    // Newest first, without decoding the trees where the store can.
    virtual StoreResult<QList<SnapshotSummary>> fetchSnapshotSummaries(const QUuid &workspaceID);
    // Newest first, reading no trees.
    virtual StoreResult<QList<SnapshotTime>> fetchSnapshotTimes(const QUuid &workspaceID);
    // None when no snapshot has that id.
    virtual StoreResult<std::optional<WorkspaceSnapshot>> fetchSnapshot(const QUuid &workspaceID, const QUuid &snapshotID);
    // One transaction: every listed snapshot and its mark go, or none.
    virtual StoreResult<void> deleteSnapshots(const QList<QUuid> &snapshotIDs);
    virtual StoreResult<void> renameSnapshot(const QUuid &snapshotID, const QString &title);
};

} // namespace tarni
