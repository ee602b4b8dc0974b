#pragma once

#include "storage/WorkspaceStore.h"
#include "sync/SyncState.h"
#include "tree/TreeViewModelError.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

namespace tarni {

class TreeArchiveService;
class TreeViewModel;

// Why a conflict's kept version could not be put back.
struct ConflictRestoreError {
    enum class Kind { noSuchConflict, nothingKept, tree };
    Kind kind;
    std::int64_t conflictID = 0;
    std::optional<TreeViewModelError> tree; // store errors come as the tree's
    QString description() const;
};

// Keeps the running application's tree in step with the shared folder while
// sync is on: sends this machine's changes shortly after each command, and
// applies the other machines' files as they arrive (the folder is watched,
// with a poll behind the watcher), showing them in the tree as row changes.
//
// Everything runs on the GUI thread through the application's own store
// connection, so that a received change and an edit never meet halfway.
class SyncCoordinator : public QObject {
    Q_OBJECT
public:
    static constexpr int kAfterCommandMs = 300;
    static constexpr int kPollMs = 2000;

    SyncCoordinator(WorkspaceStore &store, TreeViewModel &tree, const TreeArchiveService &archive,
                    QObject *parent = nullptr);
    ~SyncCoordinator() override;

    // Reads whether sync is on and starts watching if so.
    void start();

    // Turns sync on. Joining a folder that holds other machines' changes
    // first keeps the tree as a snapshot ("Before sync"); `keptSnapshot`
    // then says so.
    StoreResult<sync::SyncSetup> enable(const std::filesystem::path &folder, const QString &deviceName,
                                        bool *keptSnapshot = nullptr);
    StoreResult<void> disable();
    // Sends and applies now.
    StoreResult<sync::SyncRun> syncNow();
    StoreResult<sync::SyncStatus> status();

    // Puts a kept version back as a new node (a copy with a new id, after
    // the children of its parent when that is still there, else at the top),
    // through the entry rules, as the undoable step "Restore", and drops the
    // entry. Used by the command line too, on a tree that holds at least
    // that parent's group.
    static Result<WorkspaceNode, ConflictRestoreError> restoreConflict(WorkspaceStore &store, TreeViewModel &tree,
                                                                       std::int64_t conflictID);

    StoreResult<QList<sync::SyncConflict>> conflicts() { return m_store.fetchSyncConflicts(); }
    Result<WorkspaceNode, QString> restoreConflict(std::int64_t conflictID)
    {
        auto restored = restoreConflict(m_store, m_tree, conflictID);
        if (!restored)
            return Failure(restored.error().description());
        return std::move(restored).value();
    }
    StoreResult<bool> dismissConflict(std::int64_t conflictID) { return m_store.dismissSyncConflict(conflictID); }

    bool isOn() const { return m_setup && m_setup->enabled; }
    const std::optional<sync::SyncRun> &lastRun() const { return m_lastRun; }
    // The last run's failure, if it failed.
    const QString &lastError() const { return m_lastError; }

Q_SIGNALS:
    // A run ended, or sync was turned on or off.
    void statusChanged();

private:
    void schedule(int delayMs);
    void runScheduled();
    void watchFolder();

    WorkspaceStore &m_store;
    TreeViewModel &m_tree;
    const TreeArchiveService &m_archive;
    std::optional<sync::SyncSetup> m_setup;
    std::optional<sync::SyncRun> m_lastRun;
    QString m_lastError;
    QTimer m_soon;
    QTimer m_poll;
    QFileSystemWatcher m_watcher;
    bool m_running = false;
};

} // namespace tarni
