#pragma once

#include "windowing/AXWindowControlling.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTask>
#include <QFuture>
#include <QObject>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace tarni {

// The window controller as the GUI thread uses it. A controller's calls wait
// for the window manager (seconds, when a window is slow to appear), so they
// run here on a worker thread of their own, one after another, and come back
// as tasks. The controller, and the registry it writes, belong to that thread
// from now on: touch them only through this object.
class AsyncWindowController final : public QObject {
    Q_OBJECT
public:
    explicit AsyncWindowController(std::unique_ptr<AXWindowControlling> controller, QObject *parent = nullptr);
    // Waits for the call in progress; calls still queued do not run, and
    // their tasks finish with the "nothing happened" answer.
    ~AsyncWindowController() override;

    QCoro::Task<PermissionStatus> permissionStatus();
    QCoro::Task<bool> requestPermissionIfNeeded();
    QCoro::Task<bool> moveWindow(QString identifier, QRectF frame);
    QCoro::Task<int> restoreManagedWindows();
    QCoro::Task<WindowBaseline> windowBaseline();
    QCoro::Task<bool> moveOpenedWindow(OpenedWindowRequest request);

    // Queues `job` on the worker without waiting for it. Jobs run in the
    // order they were queued, so one queued first runs before anything else.
    void runDetached(std::function<void(AXWindowControlling &)> job) { (void)post(std::move(job)); }

    // Runs `call` on the worker; `fallback` when it was dropped unrun.
    template <class R>
    QCoro::Task<R> run(std::function<R(AXWindowControlling &)> call, R fallback);

private:
    using Job = std::function<void(AXWindowControlling &)>;
    // Queues `job` on the worker. The future's value is true once the job
    // ran, false when it was dropped unrun.
    QFuture<bool> post(Job job);

    std::unique_ptr<AXWindowControlling> m_controller;
    // Set by the destructor: queued jobs end without running.
    std::atomic_bool m_stopping{false};
    QThread m_thread;
    QObject *m_context = nullptr;
};

// Callers hand `run` their lambdas as temporaries and do not co_await them in
// the same expression, and `run` awaits the future directly: GCC 12
// mishandles temporaries that live across a suspension.
template <class R>
QCoro::Task<R> AsyncWindowController::run(std::function<R(AXWindowControlling &)> call, R fallback)
{
    // The worker writes the value before it reports the job as done.
    auto value = std::make_shared<std::optional<R>>();
    Job job = [value, call = std::move(call)](AXWindowControlling &c) { *value = call(c); };
    QFuture<bool> done = post(std::move(job));
    const bool ran = co_await done;
    co_return ran && *value ? std::move(**value) : std::move(fallback);
}

} // namespace tarni
