#include "app/StoreWorker.h"

#include "archive/TreeArchiveService.h"
#include "storage/WorkspaceStore.h"

#include <QElapsedTimer>
#include <QLoggingCategory>

// Timings at debug level, off unless asked for (QT_LOGGING_RULES).
Q_LOGGING_CATEGORY(lcStoreWorker, "tarnibar.store.worker", QtInfoMsg)

namespace tarni {

struct StoreWorker::Worker {
    Worker(std::filesystem::path databasePath, WorkspaceStoreProtocol &main, const TreeArchiveService &treeArchive)
        : path(std::move(databasePath))
        , mainStore(main)
        , archive(treeArchive)
    {
    }

    // Opened on the worker's thread at its first job.
    WorkspaceStore &store()
    {
        if (!ownStore)
            ownStore = std::make_unique<WorkspaceStore>(path);
        return *ownStore;
    }

    // After a write here: the GUI connection confirms that its nodes are
    // still the stored ones, then the WAL goes back into the database.
    void settle(const QUuid &workspaceID)
    {
        if (stopping)
            return;
        QElapsedTimer timer;
        timer.start();
        if (auto changed = mainStore.nodesChangedElsewhere(workspaceID); !changed)
            qCWarning(lcStoreWorker).noquote() << "checking the nodes after a write failed:"
                                               << changed.error().description();
        const qint64 checked = timer.restart();
        if (stopping)
            return;
        if (auto done = store().checkpoint(); !done)
            qCWarning(lcStoreWorker).noquote() << "checkpoint failed:" << done.error().description();
        qCDebug(lcStoreWorker) << "nodes checked in" << checked << "ms, checkpoint in" << timer.elapsed() << "ms";
    }

    std::filesystem::path path;
    WorkspaceStoreProtocol &mainStore;
    const TreeArchiveService &archive;
    std::unique_ptr<WorkspaceStore> ownStore;
    // Lives on the worker's thread: the jobs are queued calls on it.
    QObject context;
    std::atomic<bool> stopping = false;
};

StoreWorker::StoreWorker(std::filesystem::path databasePath, WorkspaceStoreProtocol &mainStore,
                         const TreeArchiveService &archive, QObject *parent)
    : QObject(parent)
    , m_worker(std::make_unique<Worker>(std::move(databasePath), mainStore, archive))
{
    m_thread.setObjectName(QStringLiteral("tarni-store-worker"));
    m_worker->context.moveToThread(&m_thread);
    m_thread.start(QThread::LowPriority);
}

StoreWorker::~StoreWorker()
{
    m_worker->stopping = true;
    m_thread.quit();
    m_thread.wait();
}

template <class Result>
void StoreWorker::post(std::function<Result(Worker &)> job, std::function<void(const Result &)> done)
{
    ++m_pending;
    // `this` outlives the job: the destructor waits for the thread.
    QMetaObject::invokeMethod(
        &m_worker->context,
        [this, job = std::move(job), done = std::move(done)] {
            if (m_worker->stopping)
                return;
            auto result = std::make_shared<Result>(job(*m_worker));
            QMetaObject::invokeMethod(
                this,
                [this, result, done] {
                    --m_pending;
                    done(*result);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void StoreWorker::writeAutomaticSnapshot(AutomaticSnapshotRequest request,
                                         std::function<void(const SnapshotResult<bool> &)> done)
{
    // Shared so that the job, not a copy of it, holds the node list and can let go of it.
    auto shared = std::make_shared<AutomaticSnapshotRequest>(std::move(request));
    post<SnapshotResult<bool>>(
        [shared](Worker &worker) -> SnapshotResult<bool> {
            const QUuid workspaceID = shared->workspaceID;
            QElapsedTimer timer;
            timer.start();
            auto outcome = SnapshotService::writeAutomatic(worker.store(), worker.archive, std::move(*shared));
            qCDebug(lcStoreWorker) << "automatic snapshot in" << timer.elapsed() << "ms";
            if (!outcome)
                return Failure(outcome.error());
            if (*outcome)
                worker.settle(workspaceID);
            return outcome->has_value();
        },
        std::move(done));
}

void StoreWorker::eraseTrash(const QUuid &workspaceID, const QList<QUuid> &entryIDs,
                             std::function<void(const StoreResult<std::int64_t> &)> done)
{
    post<StoreResult<std::int64_t>>(
        [workspaceID, entryIDs](Worker &worker) {
            QElapsedTimer timer;
            timer.start();
            auto erased = worker.store().eraseTrash(workspaceID, entryIDs);
            qCDebug(lcStoreWorker) << "trash erased in" << timer.elapsed() << "ms";
            if (erased)
                worker.settle(workspaceID);
            return erased;
        },
        std::move(done));
}

void StoreWorker::checkpointIfWalExceeds(std::uintmax_t bytes)
{
    if (m_pending > 0)
        return;
    std::error_code error;
    const auto size = std::filesystem::file_size(m_worker->path.string() + "-wal", error);
    if (error || size <= bytes)
        return;
    post<StoreResult<void>>(
        [](Worker &worker) {
            auto done = worker.store().checkpoint();
            if (!done)
                qCWarning(lcStoreWorker).noquote() << "checkpoint failed:" << done.error().description();
            return done;
        },
        [](const StoreResult<void> &) {});
}

} // namespace tarni
