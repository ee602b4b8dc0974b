#include "app/SyncCoordinator.h"

#include "archive/SnapshotService.h"
#include "model/EntryRules.h"
#include "model/Uuid.h"
#include "sync/DeviceId.h"
#include "sync/SyncFolder.h"
#include "tree/TreeViewModel.h"
#include "util/Localized.h"

#include <QDir>

#include <algorithm>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcSync, "tarnibar.sync")

namespace tarni {

SyncCoordinator::SyncCoordinator(WorkspaceStore &store, TreeViewModel &tree, const TreeArchiveService &archive,
                                 QObject *parent)
    : QObject(parent), m_store(store), m_tree(tree), m_archive(archive)
{
    m_soon.setSingleShot(true);
    connect(&m_soon, &QTimer::timeout, this, &SyncCoordinator::runScheduled);
    m_poll.setInterval(kPollMs);
    connect(&m_poll, &QTimer::timeout, this, &SyncCoordinator::runScheduled);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        // A new device's folder is watched too; files arriving settle first.
        watchFolder();
        schedule(kAfterCommandMs);
    });
    // After each command, the changes go out (the command has written them
    // by the time the timer fires). The tree taking in received changes
    // says so too; that run finds nothing to send.
    connect(&m_tree, &TreeViewModel::nodesChanged, this, [this] {
        if (isOn() && !m_running)
            schedule(kAfterCommandMs);
    });
}

SyncCoordinator::~SyncCoordinator() = default;

void SyncCoordinator::start()
{
    auto setup = m_store.fetchSyncSetup();
    if (!setup) {
        m_lastError = setup.error().description();
        qCWarning(lcSync).noquote() << "cannot read the sync setup:" << m_lastError;
        return;
    }
    m_setup = *setup;
    if (!isOn())
        return;
    watchFolder();
    m_poll.start();
    // What was left unsent at the last quit, and what arrived meanwhile.
    schedule(0);
}

void SyncCoordinator::watchFolder()
{
    if (!isOn())
        return;
    const QString changes = QString::fromStdString((m_setup->folder / "changes").string());
    QStringList wanted{changes};
    for (const QUuid &device : sync::changeFileDevices(m_setup->folder))
        wanted << QDir(changes).filePath(QString::fromStdString(sync::deviceIdText(device)));
    QStringList missing;
    for (const QString &dir : std::as_const(wanted))
        if (!m_watcher.directories().contains(dir) && QDir(dir).exists())
            missing << dir;
    if (!missing.isEmpty())
        m_watcher.addPaths(missing);
}

void SyncCoordinator::schedule(int delayMs)
{
    if (!m_soon.isActive() || m_soon.remainingTime() > delayMs)
        m_soon.start(delayMs);
}

void SyncCoordinator::runScheduled()
{
    if (!isOn() || m_running)
        return;
    // The tree's write owns the store until it is done; try again later.
    if (m_tree.isWriting()) {
        schedule(kAfterCommandMs);
        return;
    }
    (void)syncNow();
}

StoreResult<sync::SyncRun> SyncCoordinator::syncNow()
{
    m_running = true;
    auto run = m_store.syncNow();
    if (run && run->treeChanged) {
        if (auto taken = m_tree.takeInStoredChanges(); !taken)
            qCWarning(lcSync).noquote() << "showing received changes failed:" << taken.error().description();
    }
    m_running = false;
    if (run) {
        m_lastRun = *run;
        m_lastError.clear();
        for (const QString &problem : std::as_const(run->problems))
            qCInfo(lcSync).noquote() << "waiting:" << problem;
    } else {
        m_lastError = run.error().description();
        qCWarning(lcSync).noquote() << "sync failed:" << m_lastError;
    }
    watchFolder();
    Q_EMIT statusChanged();
    return run;
}

StoreResult<sync::SyncSetup> SyncCoordinator::enable(const std::filesystem::path &folder, const QString &deviceName,
                                                     bool *keptSnapshot)
{
    if (keptSnapshot)
        *keptSnapshot = false;
    if (sync::folderHoldsTree(folder) && !m_tree.nodes().isEmpty()) {
        SnapshotService snapshots(m_store, m_tree, m_archive);
        auto kept = snapshots.saveAutomatic(SnapshotOrigin::beforeRestore, localized("Before sync"));
        if (!kept)
            return Failure(StoreError{StoreError::Kind::sync, {}, kept.error().description()});
        if (keptSnapshot)
            *keptSnapshot = true;
    }
    m_running = true;
    auto setup = m_store.enableSync(folder, deviceName);
    m_running = false;
    if (!setup)
        return setup;
    m_setup = *setup;
    // Joining replaced the tree; the first machine's tree only went out.
    if (auto loaded = m_tree.takeInStoredChanges(); !loaded)
        qCWarning(lcSync).noquote() << "showing the joined tree failed:" << loaded.error().description();
    watchFolder();
    m_poll.start();
    Q_EMIT statusChanged();
    return setup;
}

StoreResult<void> SyncCoordinator::disable()
{
    auto done = m_store.disableSync();
    if (!done)
        return done;
    if (m_setup)
        m_setup->enabled = false;
    m_poll.stop();
    m_soon.stop();
    if (!m_watcher.directories().isEmpty())
        m_watcher.removePaths(m_watcher.directories());
    Q_EMIT statusChanged();
    return {};
}

QString ConflictRestoreError::description() const
{
    switch (kind) {
    case Kind::noSuchConflict: return QStringLiteral("there is no kept version %1").arg(conflictID);
    case Kind::nothingKept: return QStringLiteral("kept version %1 holds no node to restore").arg(conflictID);
    case Kind::tree: break;
    }
    return tree ? tree->description() : QString();
}

Result<WorkspaceNode, ConflictRestoreError> SyncCoordinator::restoreConflict(WorkspaceStore &store,
                                                                             TreeViewModel &tree,
                                                                             std::int64_t conflictID)
{
    using Kind = ConflictRestoreError::Kind;
    auto failed = [&](Kind kind, std::optional<TreeViewModelError> error = std::nullopt) {
        return Failure(ConflictRestoreError{kind, conflictID, std::move(error)});
    };
    auto conflicts = store.fetchSyncConflicts();
    if (!conflicts)
        return failed(Kind::tree, TreeViewModelError::store(conflicts.error()));
    auto it = std::find_if(conflicts->begin(), conflicts->end(),
                           [&](const sync::SyncConflict &c) { return c.id == conflictID; });
    if (it == conflicts->end())
        return failed(Kind::noSuchConflict);
    if (!it->node)
        return failed(Kind::nothingKept);
    // A record the entry rules refused is kept to be seen, not to come in
    // by another door.
    if (auto problem = EntryRules::titleProblem(it->node->title()))
        return failed(Kind::tree, TreeViewModelError::invalidEntry(*problem));
    if (auto problem = EntryRules::payloadProblem(it->node->payload()))
        return failed(Kind::tree, TreeViewModelError::invalidEntry(*problem));
    if (!tree.isLoaded())
        if (auto loaded = tree.load(); !loaded)
            return failed(Kind::tree, loaded.error());
    WorkspaceNode copy = *it->node;
    copy.setId(newUuid());
    copy.setWorkspaceID(tree.workspace()->id);
    std::optional<QUuid> parent = copy.parentID();
    if (parent && !tree.node(parent))
        parent.reset();
    copy.setParentID(parent);
    copy.setSortOrder(0); // after the parent's children
    copy.setUpdatedAt(currentTimestamp());
    tree.nameNextStep("Restore", copy.title());
    if (auto added = tree.appendNodes({copy}, parent); !added)
        return failed(Kind::tree, added.error());
    // The copy is in; an entry left behind is only a line too many.
    if (auto dropped = store.dismissSyncConflict(conflictID); !dropped)
        return failed(Kind::tree, TreeViewModelError::store(dropped.error()));
    return copy;
}

StoreResult<sync::SyncStatus> SyncCoordinator::status()
{
    return m_store.fetchSyncStatus();
}

} // namespace tarni
