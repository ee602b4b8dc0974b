#include "storage/WorkspaceStoreProtocol.h"

namespace tarni {

namespace {

StoreError unsupported(const char *what)
{
    return StoreError{StoreError::Kind::step, {}, QStringLiteral("This store cannot %1.").arg(QLatin1String(what))};
}

} // namespace

SnapshotSummary summarizeSnapshot(const WorkspaceSnapshot &snapshot, SnapshotOrigin origin)
{
    SnapshotSummary summary;
    summary.id = snapshot.id;
    summary.title = snapshot.title;
    summary.createdAt = snapshot.createdAt;
    summary.origin = origin;
    summary.subtree = snapshot.rootNode.originalNodeID.has_value();
    summary.nodeCount = qint64(snapshot.rootNode.subtreeSize()) - (summary.subtree ? 0 : 1);
    return summary;
}

StoreResult<QList<SnapshotSummary>> WorkspaceStoreProtocol::fetchSnapshotSummaries(const QUuid &workspaceID)
{
    auto snapshots = fetchSnapshots(workspaceID);
    if (!snapshots)
        return Failure(snapshots.error());
    QList<SnapshotSummary> summaries;
    for (const WorkspaceSnapshot &snapshot : std::as_const(*snapshots))
        summaries.push_back(summarizeSnapshot(snapshot, SnapshotOrigin::manual));
    return summaries;
}

StoreResult<QList<SnapshotTime>> WorkspaceStoreProtocol::fetchSnapshotTimes(const QUuid &workspaceID)
{
    auto summaries = fetchSnapshotSummaries(workspaceID);
    if (!summaries)
        return Failure(summaries.error());
    QList<SnapshotTime> times;
    for (const SnapshotSummary &summary : std::as_const(*summaries))
        times.push_back({summary.id, summary.createdAt, summary.origin, std::nullopt});
    return times;
}

StoreResult<std::optional<WorkspaceSnapshot>> WorkspaceStoreProtocol::fetchSnapshot(const QUuid &workspaceID,
                                                                                   const QUuid &snapshotID)
{
    auto snapshots = fetchSnapshots(workspaceID);
    if (!snapshots)
        return Failure(snapshots.error());
    for (WorkspaceSnapshot &snapshot : *snapshots) {
        if (snapshot.id == snapshotID)
            return std::optional(std::move(snapshot));
    }
    return std::optional<WorkspaceSnapshot>();
}

StoreResult<void> WorkspaceStoreProtocol::deleteSnapshots(const QList<QUuid> &snapshotIDs)
{
    (void)snapshotIDs;
    return Failure(unsupported("delete snapshots"));
}

StoreResult<void> WorkspaceStoreProtocol::renameSnapshot(const QUuid &snapshotID, const QString &title)
{
    (void)snapshotID;
    (void)title;
    return Failure(unsupported("rename snapshots"));
}

} // namespace tarni
