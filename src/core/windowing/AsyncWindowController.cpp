#include "windowing/AsyncWindowController.h"

#include <QPromise>

namespace tarni {

namespace {

// Finishes the future when the job is destroyed, run or not, so that an
// awaiting task never waits for a job that was dropped.
struct JobCompletion {
    QPromise<bool> promise;
    bool ran = false;
    JobCompletion() { promise.start(); }
    ~JobCompletion()
    {
        promise.addResult(ran);
        promise.finish();
    }
};

} // namespace

AsyncWindowController::AsyncWindowController(std::unique_ptr<AXWindowControlling> controller, QObject *parent)
    : QObject(parent), m_controller(std::move(controller))
{
    m_thread.setObjectName(QStringLiteral("tarnibar-windows"));
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    m_thread.start();
}

AsyncWindowController::~AsyncWindowController()
{
    m_stopping = true;
    m_thread.quit();
    m_thread.wait();
    // Drops the jobs still queued (finishing their futures) now that no
    // thread can run them.
    delete m_context;
}

QFuture<bool> AsyncWindowController::post(Job job)
{
    auto completion = std::make_shared<JobCompletion>();
    QFuture<bool> future = completion->promise.future();
    AXWindowControlling *controller = m_controller.get();
    // Both outlive the worker thread: the destructor waits for it.
    const std::atomic_bool *stopping = &m_stopping;
    QMetaObject::invokeMethod(
        m_context,
        [completion = std::move(completion), controller, stopping, job = std::move(job)]() mutable {
            if (*stopping)
                return;
            job(*controller);
            completion->ran = true;
            completion.reset();
        },
        Qt::QueuedConnection);
    return future;
}

QCoro::Task<PermissionStatus> AsyncWindowController::permissionStatus()
{
    return run<PermissionStatus>([](AXWindowControlling &c) { return c.permissionStatus(); },
                                 PermissionStatus::denied);
}

QCoro::Task<bool> AsyncWindowController::requestPermissionIfNeeded()
{
    return run<bool>(
        [](AXWindowControlling &c) {
            c.requestPermissionIfNeeded();
            return true;
        },
        false);
}

QCoro::Task<bool> AsyncWindowController::moveWindow(QString identifier, QRectF frame)
{
    return run<bool>([identifier = std::move(identifier), frame](AXWindowControlling &c) {
        return c.moveWindow(identifier, frame);
    }, false);
}

QCoro::Task<int> AsyncWindowController::restoreManagedWindows()
{
    return run<int>([](AXWindowControlling &c) { return c.restoreManagedWindows(); }, 0);
}

QCoro::Task<WindowBaseline> AsyncWindowController::windowBaseline()
{
    return run<WindowBaseline>([](AXWindowControlling &c) { return c.windowBaseline(); }, WindowBaseline{});
}

QCoro::Task<bool> AsyncWindowController::moveOpenedWindow(OpenedWindowRequest request)
{
    return run<bool>([request = std::move(request)](AXWindowControlling &c) { return c.moveOpenedWindow(request); },
                     false);
}

} // namespace tarni
