#pragma once

#include "storage/WorkspaceStoreProtocol.h"
#include "sync/HybridClock.h"
#include "sync/SyncState.h"

#include <QHash>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tarni {

// The SQLite store on "workspace.sqlite". Each row keeps a few plain columns
// for ordering and inspection and the record's whole JSON text, which is what
// reads decode.
//
// Writes are transactions; the database runs in WAL mode with
// synchronous=FULL and a busy timeout. replaceNodes writes only the rows that
// differ from what this store last read or wrote. When another connection
// committed since (SQLite's data_version tells, at the cost of one query),
// the rows are read again: unchanged, the write goes ahead; changed, it is
// refused. A store that never read the workspace replaces its rows.
class WorkspaceStore final : public WorkspaceStoreProtocol {
public:
    enum class OpenMode {
        readWrite, // creates the file and the tables when missing
        readOnly,  // changes nothing on disk; a missing file is an open error
    };

    explicit WorkspaceStore(const std::filesystem::path &databasePath, OpenMode mode = OpenMode::readWrite);
    ~WorkspaceStore() override;
    WorkspaceStore(const WorkspaceStore &) = delete;
    WorkspaceStore &operator=(const WorkspaceStore &) = delete;

    StoreResult<Workspace> fetchOrCreateDefaultWorkspace() override;
    StoreResult<void> saveWorkspace(const Workspace &workspace) override;
    StoreResult<NodeList> fetchNodes(const QUuid &workspaceID) override;
    // The same, and each node's stored JSON text in the same order (texts
    // that decoded, so they are well-formed records).
    StoreResult<NodeList> fetchNodes(const QUuid &workspaceID, std::vector<std::string> *storedTexts);
    StoreResult<bool> nodesChangedElsewhere(const QUuid &workspaceID) override;
    StoreResult<void> replaceNodes(const NodeList &nodes, const QUuid &workspaceID) override;
    // One transaction, so an edit costs one commit.
    StoreResult<void> saveWorkspaceAndNodes(const Workspace &workspace, const NodeList &nodes) override;
    StoreResult<void> saveSnapshot(const WorkspaceSnapshot &snapshot) override;
    StoreResult<QList<WorkspaceSnapshot>> fetchSnapshots(const QUuid &workspaceID) override;
    StoreResult<void> reset() override;
    StoreResult<void> saveMarkedSnapshot(const WorkspaceSnapshot &snapshot, SnapshotOrigin origin,
                                         std::optional<Timestamp> treeUpdatedAt = std::nullopt,
                                         const SnapshotRecordHint *hint = nullptr) override;
    StoreResult<QList<SnapshotSummary>> fetchSnapshotSummaries(const QUuid &workspaceID) override;
    StoreResult<QList<SnapshotTime>> fetchSnapshotTimes(const QUuid &workspaceID) override;
    StoreResult<std::optional<WorkspaceSnapshot>> fetchSnapshot(const QUuid &workspaceID, const QUuid &snapshotID) override;
    StoreResult<void> deleteSnapshots(const QList<QUuid> &snapshotIDs) override;
    StoreResult<void> renameSnapshot(const QUuid &snapshotID, const QString &title) override;

    StoreResult<std::optional<std::int64_t>> saveEdit(const Workspace &workspace, const NodeList &nodes,
                                                      const HistoryWrite &history) override;
    // Checks that the rows read or written last hold the same identifiers
    // where `edit` names them; otherwise, and without such rows, it writes
    // as saveEdit.
    StoreResult<std::optional<std::int64_t>> saveEditInPlace(const Workspace &workspace, const NodeList &nodes,
                                                             const NodeListEdit &edit,
                                                             const HistoryWrite &history) override;
    StoreResult<QList<HistoryEntry>> fetchHistory(const QUuid &workspaceID) override;
    StoreResult<HistoryStep> fetchHistoryStep(std::int64_t sequence) override;
    StoreResult<void> clearHistory(const QUuid &workspaceID) override;
    StoreResult<QList<TrashSummary>> fetchTrash(const QUuid &workspaceID) override;
    StoreResult<std::optional<TrashEntry>> fetchTrashEntry(const QUuid &entryID) override;
    StoreResult<std::int64_t> eraseTrash(const QUuid &workspaceID, const QList<QUuid> &entryIDs) override;

    // A snapshot as `snapshot list` and `snapshot show` report it: decoded
    // where this version can read it; one it cannot read has its condition
    // and no snapshot.
    struct ListedSnapshot {
        SnapshotSummary summary;
        std::optional<WorkspaceSnapshot> snapshot;
    };
    // Every snapshot of the workspace, newest first, each without the root's
    // children. Reads the heads recorded beside the snapshots; only a
    // snapshot without one (saved by an older version, or changed since by
    // other means) is read and decoded, so that a damaged one is still
    // reported as such.
    StoreResult<QList<ListedSnapshot>> fetchSnapshotList(const QUuid &workspaceID);
    // One snapshot, whole; none when the workspace has no such snapshot.
    // Reads no other.
    StoreResult<std::optional<ListedSnapshot>> fetchListedSnapshot(const QUuid &workspaceID, const QUuid &snapshotID);

    // Part of a workspace's tree, for an edit that needs a few rows of a large
    // one. A sibling group is named by its parent (none: the top level).
    struct NodeScope {
        QList<std::optional<QUuid>> groups;       // every node of these groups
        QList<std::optional<QUuid>> lastOfGroups; // of each, a node with the largest sortOrder
        QList<QUuid> nodes;                       // these nodes
        QList<QUuid> ancestorsOf;                 // these nodes and their ancestors
        QList<QUuid> subtreesOf;                  // these nodes and everything below them
    };
    // While a scope is set, fetchNodes reads only the rows it names (in the
    // same order as a whole read would list them), and a write changes only
    // the rows that differ from them: it refuses what would need the whole
    // list rewritten, and a write without such a read first. Setting or
    // clearing the scope forgets what was read.
    void setNodeScope(std::optional<NodeScope> scope);
    bool readsPartialTree() const override;
    // Every call holds the store's lock, and the connection is opened
    // without SQLite's own mutex, which a SQLite built thread-safe allows.
    bool usableFromOtherThreads() const override;

    // One node of the workspace, or none.
    StoreResult<std::optional<WorkspaceNode>> fetchNode(const QUuid &workspaceID, const QUuid &nodeID);

    // The first stored workspace, or none; never creates one.
    StoreResult<std::optional<Workspace>> fetchWorkspace();
    // Set when the database could not be opened; every operation then fails
    // with it.
    const std::optional<StoreError> &openError() const;
    const std::filesystem::path &databasePath() const;
    // Copies the WAL into the database without holding up writers and, when
    // all of it went in, truncates it (holding writers up for the truncation
    // only). For after big writes: SQLite's own checkpoints never shrink the
    // WAL, which otherwise keeps a big write's size until the last connection
    // closes.
    StoreResult<void> checkpoint();

    // Sync through a shared folder (WorkspaceStoreSync.cpp, docs/sync.md).
    // None until sync was first turned on.
    StoreResult<std::optional<sync::SyncSetup>> fetchSyncSetup();
    // Turns sync on with a new device id. A folder that already holds other
    // machines' changes is joined: the local tree is kept as a snapshot
    // ("Before sync") and replaced by theirs. Otherwise the whole local tree
    // is sent as this machine's first changes.
    StoreResult<sync::SyncSetup> enableSync(const std::filesystem::path &folder, const QString &deviceName,
                                            const sync::HybridClock::WallClock &wall = sync::HybridClock::systemWallClock);
    // Stops marking and sending changes; the folder is left as it is.
    StoreResult<void> disableSync();
    // Sends this machine's unsent changes, then applies every other
    // machine's files that are ready, each in one transaction that first
    // sends what is unsent. Files that cannot be used are reported and left
    // for later.
    StoreResult<sync::SyncRun> syncNow(const sync::HybridClock::WallClock &wall = sync::HybridClock::systemWallClock);
    StoreResult<sync::SyncStatus> fetchSyncStatus();
    StoreResult<QList<sync::SyncConflict>> fetchSyncConflicts();
    // False when there is no such entry.
    StoreResult<bool> dismissSyncConflict(std::int64_t id);

private:
    // `inPlace`: where the edit changed the list, see saveEditInPlace.
    // `keepDigests`: `alongside` writes an undo step whose `after` records
    // are rows this write makes (Private::writtenDigests).
    StoreResult<void> writeNodes(const NodeList &nodes, const QUuid &workspaceID, const Workspace *workspace,
                                 const std::function<StoreResult<void>()> &alongside = {},
                                 const NodeListEdit *inPlace = nullptr, bool keepDigests = false);
    StoreResult<std::optional<std::int64_t>> saveEditWith(const Workspace &workspace, const NodeList &nodes,
                                                          const HistoryWrite &history,
                                                          const NodeListEdit *inPlace);
    StoreResult<QHash<QUuid, SnapshotTime>> readSnapshotMarksLocked();
    // The snapshot row, its list entry and, for an automatic one, its mark,
    // in one transaction.
    StoreResult<void> writeSnapshotLocked(const WorkspaceSnapshot &snapshot, SnapshotOrigin origin,
                                          std::optional<Timestamp> treeUpdatedAt,
                                          const SnapshotRecordHint *hint = nullptr);

    struct Private;
    struct HistorySql;
    struct SyncSql;
    std::unique_ptr<Private> d;
    std::mutex m_lock;
};

} // namespace tarni
