#include "platform/kwin/KWinReplyReceiver.h"

#include <chrono>

namespace tarni {

void KWinReplyReceiver::expect(quint64 request)
{
    std::lock_guard lock(m_mutex);
    m_expected = request;
    m_reply.reset();
}

std::optional<QByteArray> KWinReplyReceiver::wait(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_reply.has_value(); });
    std::optional<QByteArray> reply = std::move(m_reply);
    m_reply.reset();
    m_expected = 0;
    return reply;
}

void KWinReplyReceiver::reply(const QString &request, const QString &json)
{
    bool ok = false;
    const quint64 number = request.toULongLong(&ok);
    if (!ok || number == 0 || json.size() > kMaxReplyBytes)
        return;
    {
        std::lock_guard lock(m_mutex);
        // A late answer of a script that timed out is not the one awaited.
        if (number != m_expected || m_reply)
            return;
        m_reply = json.toUtf8();
    }
    m_arrived.notify_all();
}

} // namespace tarni
