#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <coroutine>
#include <utility>

namespace tarni {

// Awaitable: resumes at the first emission of `signal` by `sender`, or after
// `timeout`, whichever comes first. The timer belongs to the awaiter, not to
// the sender, so a sender destroyed meanwhile never strands the coroutine.
template <class Sender, class Signal>
class SignalOrTimeout {
public:
    SignalOrTimeout(Sender *sender, Signal signal, std::chrono::milliseconds timeout)
        : m_sender(sender)
        , m_signal(signal)
        , m_timeout(timeout)
    {
    }
    // Moved only before it is awaited (the coroutine machinery may do so).
    SignalOrTimeout(SignalOrTimeout &&other) noexcept
        : m_sender(other.m_sender)
        , m_signal(other.m_signal)
        , m_timeout(other.m_timeout)
        , m_timer(std::exchange(other.m_timer, nullptr))
    {
    }
    SignalOrTimeout(const SignalOrTimeout &) = delete;
    SignalOrTimeout &operator=(const SignalOrTimeout &) = delete;
    SignalOrTimeout &operator=(SignalOrTimeout &&) = delete;
    ~SignalOrTimeout()
    {
        if (m_timer)
            m_timer->deleteLater();
    }

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle)
    {
        m_timer = new QTimer;
        m_timer->setSingleShot(true);
        auto resume = [this, handle] {
            if (m_resumed)
                return;
            m_resumed = true;
            QObject::disconnect(m_connection);
            m_timer->stop();
            handle.resume();
        };
        if (m_sender)
            m_connection = QObject::connect(m_sender.data(), m_signal, m_timer, resume);
        QObject::connect(m_timer, &QTimer::timeout, m_timer, resume);
        m_timer->start(m_timeout);
    }
    void await_resume() const noexcept {}

private:
    QPointer<Sender> m_sender;
    Signal m_signal;
    std::chrono::milliseconds m_timeout;
    QTimer *m_timer = nullptr;
    QMetaObject::Connection m_connection;
    bool m_resumed = false;
};

} // namespace tarni
