#include "archive/SnapshotService.h"

#include <QDateTime>
#include <QLoggingCategory>

#include <utility>

Q_LOGGING_CATEGORY(lcSnapshots, "tarnibar.snapshots")

namespace tarni {

QString SnapshotError::description() const
{
    switch (kind) {
    case Kind::tree:
        return treeError ? treeError->description() : QString();
    case Kind::store:
        return storeError ? storeError->description() : QString();
    case Kind::missingNode:
        return QStringLiteral("The node is not in the workspace tree.");
    case Kind::newerSchema:
        return QStringLiteral("This file was made by a newer version of TarniBar (schema %1)").arg(schemaVersion);
    case Kind::manualLimit: {
        QString text = QStringLiteral("%1 manual snapshots are kept at most, and saving another would remove the "
                                      "oldest")
                           .arg(manualLimit);
        if (!wouldRemove.isEmpty()) {
            const SnapshotSummary &oldest = wouldRemove.first();
            text += QStringLiteral(" (%1, \"%2\" of %3)")
                        .arg(wouldRemove.size() == 1 ? QStringLiteral("1 snapshot")
                                                     : QStringLiteral("%1 snapshots").arg(wouldRemove.size()),
                             oldest.title,
                             QDateTime::fromSecsSinceEpoch(oldest.createdAt.time_since_epoch().count())
                                 .toString(Qt::ISODate));
        }
        return text + QLatin1Char('.');
    }
    }
    return {};
}

namespace {

Failure<SnapshotError> treeFailure(TreeViewModelError error)
{
    SnapshotError failure = SnapshotError::of(SnapshotError::Kind::tree);
    failure.treeError = std::move(error);
    return Failure(std::move(failure));
}

Failure<SnapshotError> storeFailure(StoreError error)
{
    SnapshotError failure = SnapshotError::of(SnapshotError::Kind::store);
    failure.storeError = std::move(error);
    return Failure(std::move(failure));
}

} // namespace

SnapshotService::SnapshotService(WorkspaceStoreProtocol &store, TreeViewModel &tree, const TreeArchiveService &archive)
    : m_store(store)
    , m_tree(tree)
    , m_archive(archive)
{
    m_treeWrites = QObject::connect(&m_tree, &TreeViewModel::writeSucceeded, [this] {
        ++m_treeWriteCount;
        if (m_changedSinceWholeSnapshot)
            m_changedSinceWholeSnapshot = true;
    });
}

SnapshotService::~SnapshotService()
{
    QObject::disconnect(m_treeWrites);
}

SnapshotResult<QUuid> SnapshotService::loadedWorkspace()
{
    // A snapshot of a tree that was not read whole would be a wrong record.
    if (!m_tree.isLoaded()) {
        if (auto loaded = m_tree.load(); !loaded)
            return treeFailure(loaded.error());
    }
    return m_tree.workspace()->id;
}

SnapshotResult<WorkspaceSnapshot> SnapshotService::save(const QString &title, TreeExport document,
                                                        const std::optional<QUuid> &selectedNodeID, ManualLimit limit)
{
    auto workspace = loadedWorkspace();
    if (!workspace)
        return Failure(workspace.error());
    QList<SnapshotSummary> doomed;
    if (limit != ManualLimit::exceed) {
        auto toRemove = manualSnapshotsToRemove();
        if (!toRemove)
            return Failure(toRemove.error());
        doomed = std::move(toRemove).value();
        if (!doomed.isEmpty() && limit == ManualLimit::refuse) {
            SnapshotError error = SnapshotError::of(SnapshotError::Kind::manualLimit);
            error.manualLimit = m_retention.manualLimit;
            error.wouldRemove = std::move(doomed);
            return Failure(std::move(error));
        }
    }
    WorkspaceSnapshot snapshot = m_archive.makeSnapshot(title, *workspace, std::move(document), selectedNodeID);
    if (auto saved = m_store.saveSnapshot(snapshot); !saved)
        return storeFailure(saved.error());
    if (!snapshot.rootNode.originalNodeID)
        m_changedSinceWholeSnapshot = false;
    // Only once the new one is stored: interrupted in between, one more is
    // kept, never one fewer.
    if (!doomed.isEmpty()) {
        QList<QUuid> ids;
        for (const SnapshotSummary &summary : std::as_const(doomed))
            ids.push_back(summary.id);
        if (auto deleted = m_store.deleteSnapshots(ids); !deleted)
            qCWarning(lcSnapshots).noquote() << "removing the oldest manual snapshots failed:"
                                             << deleted.error().description();
    }
    return snapshot;
}

SnapshotResult<QList<SnapshotSummary>> SnapshotService::manualSnapshotsToRemove()
{
    auto workspace = loadedWorkspace();
    if (!workspace)
        return Failure(workspace.error());
    auto times = m_store.fetchSnapshotTimes(*workspace);
    if (!times)
        return storeFailure(times.error());
    // Oldest first: of two in one second, the one saved first.
    QList<RetentionEntry> manual;
    for (auto time = times->crbegin(); time != times->crend(); ++time) {
        if (time->origin == SnapshotOrigin::manual)
            manual.push_back({time->id, time->createdAt});
    }
    const QList<QUuid> ids = tarni::manualSnapshotsToRemove(std::move(manual), m_retention.manualLimit);
    if (ids.isEmpty())
        return QList<SnapshotSummary>();
    // The titles, for whoever is asked; the list reads no whole trees.
    auto summaries = m_store.fetchSnapshotSummaries(*workspace);
    if (!summaries)
        return storeFailure(summaries.error());
    QList<SnapshotSummary> doomed;
    for (const QUuid &id : ids) {
        const auto found = std::find_if(summaries->cbegin(), summaries->cend(),
                                        [&id](const SnapshotSummary &summary) { return summary.id == id; });
        if (found != summaries->cend())
            doomed.push_back(*found);
    }
    return doomed;
}

SnapshotResult<WorkspaceSnapshot> SnapshotService::saveWorkspace(const QString &title,
                                                                 const std::optional<QUuid> &selectedNodeID,
                                                                 ManualLimit limit)
{
    if (auto workspace = loadedWorkspace(); !workspace)
        return Failure(workspace.error());
    return save(title, m_archive.exportWorkspace(m_tree.nodes()), selectedNodeID, limit);
}

SnapshotResult<WorkspaceSnapshot> SnapshotService::saveSubtree(const QUuid &nodeID, const std::optional<QString> &title,
                                                               ManualLimit limit)
{
    if (auto workspace = loadedWorkspace(); !workspace)
        return Failure(workspace.error());
    auto document = m_archive.exportSubtree(nodeID, m_tree.nodes());
    if (!document)
        return Failure(SnapshotError::of(SnapshotError::Kind::missingNode));
    const QString name = title.value_or(document->rootNode.title + QStringLiteral(" Snapshot"));
    return save(name, std::move(document).value(), nodeID, limit);
}

SnapshotResult<QList<WorkspaceSnapshot>> SnapshotService::list()
{
    auto workspace = loadedWorkspace();
    if (!workspace)
        return Failure(workspace.error());
    auto snapshots = m_store.fetchSnapshots(*workspace);
    if (!snapshots)
        return storeFailure(snapshots.error());
    return std::move(snapshots).value();
}

SnapshotResult<std::optional<WorkspaceSnapshot>> SnapshotService::find(const QUuid &snapshotID)
{
    auto workspace = loadedWorkspace();
    if (!workspace)
        return Failure(workspace.error());
    auto found = m_store.fetchSnapshot(*workspace, snapshotID);
    if (!found)
        return storeFailure(found.error());
    return std::move(found).value();
}

SnapshotResult<SnapshotService::Restored> SnapshotService::restore(const WorkspaceSnapshot &snapshot,
                                                                   const std::optional<QUuid> &insertionParent,
                                                                   const QString &safetyTitle)
{
    auto workspace = loadedWorkspace();
    if (!workspace)
        return Failure(workspace.error());
    if (snapshot.schemaVersion > TreeExport::kSchemaVersion)
        return Failure(SnapshotError::of(SnapshotError::Kind::newerSchema, snapshot.schemaVersion));

    TreeExport document;
    document.schemaVersion = snapshot.schemaVersion;
    document.exportedAt = snapshot.createdAt;
    document.app = QString::fromLatin1(TreeExport::kAppName);
    document.rootNode = snapshot.rootNode;

    Restored restored;
    restored.subtree = snapshot.rootNode.originalNodeID.has_value();
    ImportedTree imported;
    if (restored.subtree) {
        // Copies after the present children, as an import goes.
        imported = m_archive.importSubtreeResult(document, *workspace, insertionParent);
        if (auto appended = m_tree.appendNodes(imported.nodes, insertionParent); !appended)
            return treeFailure(appended.error());
    } else {
        // The nodes the snapshot holds come back as themselves: a node
        // unchanged since is not written, and the undo step holds only
        // what the restore changed. The present tree is kept first; the
        // nodes the snapshot holds unchanged need no encoding for that.
        imported = m_archive.restoreWorkspaceResult(document, *workspace, m_tree.nodes());
        auto safety = saveAutomatic(SnapshotOrigin::beforeRestore, safetyTitle,
                                    SnapshotRecordHint{snapshot.id, snapshot.rootNode.id,
                                                       std::exchange(imported.unchangedEntries, {})});
        if (!safety)
            return Failure(safety.error());
        restored.safetySnapshot = std::move(safety).value();
        if (auto replaced = m_tree.replaceAllNodes(imported.nodes); !replaced)
            return treeFailure(replaced.error());
    }
    restored.nodeCount = int(imported.nodes.size());

    if (snapshot.selectedNodeID) {
        if (auto copy = imported.originalToImportedIDs.constFind(*snapshot.selectedNodeID);
            copy != imported.originalToImportedIDs.constEnd())
            restored.selectNodeID = *copy;
    }
    if (!restored.selectNodeID && !imported.nodes.isEmpty())
        restored.selectNodeID = imported.nodes.first().id();
    return restored;
}

SnapshotResult<WorkspaceSnapshot> SnapshotService::saveAutomatic(SnapshotOrigin origin, const QString &title,
                                                                 std::optional<SnapshotRecordHint> hint)
{
    auto request = automaticRequest(origin, title, false, m_archive.now());
    if (!request)
        return Failure(request.error());
    request->recordHint = std::move(hint);
    const std::uint64_t writes = request->writesAtRequest;
    auto saved = writeAutomatic(m_store, m_archive, std::move(*request));
    if (!saved)
        return Failure(saved.error());
    automaticWritten(writes);
    return std::move(**saved);
}

SnapshotResult<AutomaticSnapshotRequest> SnapshotService::automaticRequest(SnapshotOrigin origin, const QString &title,
                                                                           bool onlyWhenDue, Timestamp now)
{
    if (auto workspace = loadedWorkspace(); !workspace)
        return Failure(workspace.error());
    return AutomaticSnapshotRequest{origin,       title,    m_tree.workspace()->id, m_tree.workspace()->updatedAt,
                                    m_tree.nodes(), onlyWhenDue, now,             m_changedSinceWholeSnapshot,
                                    m_retention,  m_zone,   m_treeWriteCount,         std::nullopt};
}

AutomaticSnapshotOutcome SnapshotService::writeAutomatic(WorkspaceStoreProtocol &store, const TreeArchiveService &archive,
                                                         AutomaticSnapshotRequest request)
{
    if (request.onlyWhenDue) {
        auto due = dueFor(store, request);
        if (!due)
            return Failure(due.error());
        if (!*due)
            return std::optional<WorkspaceSnapshot>();
    }
    TreeExport document = archive.exportWorkspace(request.nodes);
    request.nodes = {};
    WorkspaceSnapshot snapshot = archive.makeSnapshot(request.title, request.workspaceID, std::move(document), std::nullopt);
    const SnapshotRecordHint *hint = request.recordHint ? &*request.recordHint : nullptr;
    if (auto saved = store.saveMarkedSnapshot(snapshot, request.origin, request.treeUpdatedAt, hint); !saved)
        return storeFailure(saved.error());
    if (auto pruned = pruneFor(store, request.workspaceID, snapshot.createdAt, request.zone, request.retention); !pruned)
        qCWarning(lcSnapshots).noquote() << "pruning automatic snapshots failed:" << pruned.error().description();
    return std::optional(std::move(snapshot));
}

void SnapshotService::automaticWritten(std::uint64_t writesAtRequest)
{
    // An edit written while the snapshot was is not in it.
    m_changedSinceWholeSnapshot = m_treeWriteCount != writesAtRequest;
}

SnapshotResult<int> SnapshotService::prune(Timestamp now)
{
    auto workspace = loadedWorkspace();
    if (!workspace)
        return Failure(workspace.error());
    return pruneFor(m_store, *workspace, now, m_zone, m_retention);
}

SnapshotResult<int> SnapshotService::pruneFor(WorkspaceStoreProtocol &store, const QUuid &workspaceID, Timestamp now,
                                              const QTimeZone &zone, const RetentionPolicy &policy)
{
    auto times = store.fetchSnapshotTimes(workspaceID);
    if (!times)
        return storeFailure(times.error());
    QList<RetentionEntry> automatic;
    for (const SnapshotTime &time : std::as_const(*times)) {
        if (time.origin != SnapshotOrigin::manual)
            automatic.push_back({time.id, time.createdAt});
    }
    const QList<QUuid> doomed = snapshotsToPrune(std::move(automatic), now, zone, policy);
    if (doomed.isEmpty())
        return 0;
    if (auto deleted = store.deleteSnapshots(doomed); !deleted)
        return storeFailure(deleted.error());
    return int(doomed.size());
}

SnapshotResult<bool> SnapshotService::dailySnapshotDue(Timestamp now)
{
    auto request = automaticRequest(SnapshotOrigin::daily, {}, true, now);
    if (!request)
        return Failure(request.error());
    return dueFor(m_store, *request);
}

SnapshotResult<bool> SnapshotService::dueFor(WorkspaceStoreProtocol &store, const AutomaticSnapshotRequest &request)
{
    auto times = store.fetchSnapshotTimes(request.workspaceID);
    if (!times)
        return storeFailure(times.error());
    auto dayOf = [&request](Timestamp time) {
        return QDateTime::fromSecsSinceEpoch(time.time_since_epoch().count(), request.zone).date();
    };
    const QDate today = dayOf(request.now);
    for (const SnapshotTime &time : std::as_const(*times)) {
        if (time.origin == SnapshotOrigin::daily && dayOf(time.createdAt) == today)
            return false;
    }
    if (request.changedSinceWholeSnapshot)
        return *request.changedSinceWholeSnapshot;
    // Since the start, this service saved no snapshot of the whole tree:
    // the stored times tell.
    const Timestamp treeTime = request.treeUpdatedAt;
    for (const SnapshotTime &time : std::as_const(*times)) {
        // An automatic snapshot knows the tree's time it saw: exact even
        // when an import followed within the same second.
        if (time.origin != SnapshotOrigin::manual)
            return time.treeUpdatedAt ? treeTime != *time.treeUpdatedAt : treeTime >= time.createdAt;
        auto snapshot = store.fetchSnapshot(request.workspaceID, time.id);
        if (!snapshot && snapshot.error().kind == StoreError::Kind::decode)
            continue; // one this version cannot read says nothing about the tree
        if (!snapshot)
            return storeFailure(snapshot.error());
        // Times have whole seconds: a change in the snapshot's own second
        // counts as a change (one snapshot too many, never one too few).
        if (*snapshot && !(*snapshot)->rootNode.originalNodeID)
            return treeTime >= time.createdAt;
    }
    return !request.nodes.isEmpty();
}

} // namespace tarni
