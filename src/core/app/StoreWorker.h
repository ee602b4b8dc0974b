#pragma once

#include "archive/SnapshotService.h"
#include "storage/WorkspaceStoreProtocol.h"

#include <QObject>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

namespace tarni {

class TreeArchiveService;
class WorkspaceStore;

// Writes too big for the GUI thread, made on a thread of their own through a
// connection of their own to the same database: automatic snapshots and
// erasing trash entries, each followed by a checkpoint of the WAL. Jobs run
// one at a time in the order given; each one's result is handed to its
// callback on the thread that owns this object, unless this object is gone.
//
// A write here makes the GUI's connection see that another connection
// committed, which its next write answers by comparing every node row with
// what it holds. That comparison is run here after each job, so that the
// GUI's next edit does not pay for it.
//
// Destroying this object waits for the running job's current step (the
// store's transactions are atomic either way) and drops the jobs not
// started: an automatic snapshot not written is taken at the next check.
class StoreWorker : public QObject {
    Q_OBJECT
public:
    // `mainStore` is the GUI's connection; it and `archive` must outlive this.
    StoreWorker(std::filesystem::path databasePath, WorkspaceStoreProtocol &mainStore,
                const TreeArchiveService &archive, QObject *parent = nullptr);
    ~StoreWorker() override;
    StoreWorker(const StoreWorker &) = delete;
    StoreWorker &operator=(const StoreWorker &) = delete;

    // `done` hears whether the snapshot was written (false: it was not due);
    // the snapshot itself stays here, where freeing its tree costs no frame.
    void writeAutomaticSnapshot(AutomaticSnapshotRequest request,
                                std::function<void(const SnapshotResult<bool> &)> done);
    void eraseTrash(const QUuid &workspaceID, const QList<QUuid> &entryIDs,
                    std::function<void(const StoreResult<std::int64_t> &)> done);
    // After a write made through another connection: a checkpoint here when
    // the WAL has grown past `bytes` and no job is waiting (each job ends
    // with one). SQLite's own checkpoints never shrink the WAL, which would
    // keep the size of the biggest write until the application quits.
    void checkpointIfWalExceeds(std::uintmax_t bytes);
    // Jobs given and not yet handed back.
    int pendingJobs() const { return m_pending; }

private:
    struct Worker;
    template <class Result>
    void post(std::function<Result(Worker &)> job, std::function<void(const Result &)> done);

    QThread m_thread;
    std::unique_ptr<Worker> m_worker;
    int m_pending = 0;
};

} // namespace tarni
