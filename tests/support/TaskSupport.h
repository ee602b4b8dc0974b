#pragma once

// Waiting in tests: for a coroutine's result, or for a condition, while the
// event loop runs.

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QThread>

#include <functional>
#include <optional>

namespace tarni::test {

// Runs a task to completion on a nested event loop.
template <class T>
T runTask(QCoro::Task<T> task)
{
    std::optional<T> result;
    auto wrapper = [](QCoro::Task<T> t, std::optional<T> &out) -> QCoro::Task<> { out.emplace(co_await t); };
    QCoro::waitFor(wrapper(std::move(task), result));
    return std::move(*result);
}

// Spins the event loop until `done` holds or `timeoutMs` pass; sleeps a
// little between turns so that worker threads and other processes get the
// processor.
inline bool spinUntil(const std::function<bool()> &done, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

} // namespace tarni::test
