#pragma once

#include "archive/SnapshotRetention.h"
#include "archive/TreeArchiveService.h"
#include "model/WorkspaceSnapshot.h"
#include "storage/WorkspaceStoreProtocol.h"
#include "tree/TreeViewModel.h"

#include <QList>
#include <QTimeZone>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>

namespace tarni {

struct SnapshotError {
    enum class Kind {
        tree,          // loading or writing the tree failed
        store,         // reading or writing snapshots failed
        missingNode,   // the node to save is not in the tree
        newerSchema,   // made by a newer version of TarniBar
        manualLimit,   // the manual snapshots kept at most are there, and none may go
    };
    Kind kind = Kind::tree;
    std::optional<TreeViewModelError> treeError;
    std::optional<StoreError> storeError;
    std::int64_t schemaVersion = 0;
    // For manualLimit: the limit, and the snapshots saving one more removes.
    int manualLimit = 0;
    QList<SnapshotSummary> wouldRemove;

    // An error of `kind` with nothing else set; the caller fills in the rest.
    static SnapshotError of(Kind kind, std::int64_t schemaVersion = 0)
    {
        SnapshotError error;
        error.kind = kind;
        error.schemaVersion = schemaVersion;
        return error;
    }
    QString description() const;
};

template <class T>
using SnapshotResult = Result<T, SnapshotError>;

// What saving a manual snapshot does once the retention policy's
// manualLimit of them are kept.
enum class ManualLimit {
    refuse,       // fails with SnapshotError::Kind::manualLimit, saving nothing
    removeOldest, // saves, then removes the oldest ones down to the limit
    exceed,       // saves and removes nothing: a safety copy the program makes itself
};

// An automatic snapshot of the whole tree as it stood when it was asked for,
// with everything writing it needs: made without copying the tree (the node
// list is shared), so that it can be written on another thread through
// another connection to the same database.
struct AutomaticSnapshotRequest {
    SnapshotOrigin origin = SnapshotOrigin::daily;
    QString title;
    QUuid workspaceID;
    Timestamp treeUpdatedAt{};
    NodeList nodes;
    // Written only when the daily snapshot is due at `now` (see
    // SnapshotService::dailySnapshotDue).
    bool onlyWhenDue = false;
    Timestamp now{};
    std::optional<bool> changedSinceWholeSnapshot;
    RetentionPolicy retention;
    QTimeZone zone;
    // The service's count of tree writes when the request was made.
    std::uint64_t writesAtRequest = 0;
    // Which of the tree's nodes a stored snapshot holds as they are now.
    std::optional<SnapshotRecordHint> recordHint;
};
// The snapshot written, or none when it was not due.
using AutomaticSnapshotOutcome = SnapshotResult<std::optional<WorkspaceSnapshot>>;

// Saving and restoring snapshots of the loaded tree, shared by the
// application model and tarnibar-cli. Titles come from the caller, which
// looks them up in the user's language.
class SnapshotService {
public:
    SnapshotService(WorkspaceStoreProtocol &store, TreeViewModel &tree, const TreeArchiveService &archive);
    ~SnapshotService();
    SnapshotService(const SnapshotService &) = delete;
    SnapshotService &operator=(const SnapshotService &) = delete;

    // The whole tree, with the selection at the time.
    SnapshotResult<WorkspaceSnapshot> saveWorkspace(const QString &title, const std::optional<QUuid> &selectedNodeID,
                                                    ManualLimit limit = ManualLimit::refuse);
    // The subtree of `nodeID`, titled `title` or else after the node followed
    // by " Snapshot".
    SnapshotResult<WorkspaceSnapshot> saveSubtree(const QUuid &nodeID, const std::optional<QString> &title = std::nullopt,
                                                  ManualLimit limit = ManualLimit::refuse);
    // The manual snapshots, oldest first, that saving one more with
    // ManualLimit::removeOldest would remove: none below the limit. Reads
    // no tree.
    SnapshotResult<QList<SnapshotSummary>> manualSnapshotsToRemove();
    // Newest first.
    SnapshotResult<QList<WorkspaceSnapshot>> list();
    // One snapshot, or none when no snapshot has that id; reads no other.
    SnapshotResult<std::optional<WorkspaceSnapshot>> find(const QUuid &snapshotID);

    struct Restored {
        bool subtree = false;
        int nodeCount = 0;
        // The node to select: the copy of the snapshot's selection, else the
        // first restored node.
        std::optional<QUuid> selectNodeID;
        // The tree as it was, saved before a workspace snapshot replaced it.
        std::optional<WorkspaceSnapshot> safetySnapshot;
    };
    // The whole tree, marked with why it was taken; then the retention pass.
    // A failed pass is logged and leaves more snapshots than needed, never fewer.
    // `hint`: nodes a stored snapshot holds as they are now, if known.
    SnapshotResult<WorkspaceSnapshot> saveAutomatic(SnapshotOrigin origin, const QString &title,
                                                    std::optional<SnapshotRecordHint> hint = std::nullopt);
    // Deletes the automatic snapshots the retention policy no longer keeps;
    // gives how many went.
    SnapshotResult<int> prune(Timestamp now);
    // The daily snapshot is due when none was taken on today's date and the
    // tree changed after the newest snapshot of the whole tree (a tree never
    // saved counts as changed once it has nodes). Reads no tree unless the
    // newest snapshots are manual ones, whose kind only their tree tells.
    SnapshotResult<bool> dailySnapshotDue(Timestamp now);
    // The request for an automatic snapshot of the loaded tree (loaded first
    // when it is not); costs no copy of the tree.
    SnapshotResult<AutomaticSnapshotRequest> automaticRequest(SnapshotOrigin origin, const QString &title,
                                                              bool onlyWhenDue, Timestamp now);
    // Writes the request's snapshot to `store` and runs the retention pass
    // there; touches no service, so it may run on any thread with a store of
    // its own. The request lets go of the node list once the export is
    // made, so that an edit made meanwhile need not copy the list. Tell the
    // service of a snapshot written with automaticWritten().
    static AutomaticSnapshotOutcome writeAutomatic(WorkspaceStoreProtocol &store, const TreeArchiveService &archive,
                                                   AutomaticSnapshotRequest request);
    // `writesAtRequest`: the request's.
    void automaticWritten(std::uint64_t writesAtRequest);
    void setRetentionPolicy(const RetentionPolicy &policy) { m_retention = policy; }
    const RetentionPolicy &retentionPolicy() const { return m_retention; }
    // The calendar that days and months are counted in; the system's by default.
    void setTimeZone(const QTimeZone &zone) { m_zone = zone; }

    // A subtree snapshot adds copies after the present children of
    // `insertionParent`; a workspace snapshot puts back the tree it holds,
    // its nodes under their own identifiers (writing only the nodes that
    // differ), after the present tree was saved as an automatic snapshot
    // titled `safetyTitle`, so that the restore itself can be undone.
    SnapshotResult<Restored> restore(const WorkspaceSnapshot &snapshot, const std::optional<QUuid> &insertionParent,
                                     const QString &safetyTitle);

private:
    SnapshotResult<WorkspaceSnapshot> save(const QString &title, TreeExport document,
                                           const std::optional<QUuid> &selectedNodeID, ManualLimit limit);
    SnapshotResult<QUuid> loadedWorkspace();
    static SnapshotResult<bool> dueFor(WorkspaceStoreProtocol &store, const AutomaticSnapshotRequest &request);
    static SnapshotResult<int> pruneFor(WorkspaceStoreProtocol &store, const QUuid &workspaceID, Timestamp now,
                                        const QTimeZone &zone, const RetentionPolicy &policy);

    WorkspaceStoreProtocol &m_store;
    TreeViewModel &m_tree;
    const TreeArchiveService &m_archive;
    RetentionPolicy m_retention;
    QTimeZone m_zone = QTimeZone::systemTimeZone();
    // Whether an edit was written since this service saved a snapshot of
    // the whole tree; unknown until it saved one. Times alone cannot tell:
    // they have whole seconds, and an import follows its snapshot at once.
    std::optional<bool> m_changedSinceWholeSnapshot;
    std::uint64_t m_treeWriteCount = 0;
    QMetaObject::Connection m_treeWrites;
};

} // namespace tarni
