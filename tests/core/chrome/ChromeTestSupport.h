#pragma once

#include "chrome/ChromeNativeHostBridge.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QTimer>

#include <QCoro/QCoroTask>

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>

namespace tarni {

// Readable failure messages for the records compared most often.
inline void PrintTo(const ChromeWindowBounds &b, std::ostream *out)
{
    *out << "{left " << b.left << ", top " << b.top << ", width " << b.width << ", height " << b.height << "}";
}

inline void PrintTo(const ChromeTabState &t, std::ostream *out)
{
    *out << "{id " << t.id << ", window " << t.windowID << ", \"" << t.title.toStdString() << "\" " << t.url.toStdString()
         << (t.isActive ? ", active}" : "}");
}

} // namespace tarni

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

// Spins the event loop until `predicate` holds or `timeoutMs` pass.
inline bool spinUntil(const std::function<bool()> &predicate, int timeoutMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!predicate()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

} // namespace tarni::test
