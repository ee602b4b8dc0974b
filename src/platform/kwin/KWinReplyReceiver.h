#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <optional>

namespace tarni {

// The D-Bus object KWin scripts answer to. It lives on a thread of its own
// with its own event loop, so a reply is taken in while the thread that ran
// the script blocks in wait().
class KWinReplyReceiver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarni.bar.KWinReply")

public:
    // Replies above this size are dropped: a window list is far smaller.
    static constexpr qsizetype kMaxReplyBytes = 4 * 1024 * 1024;

    // Only the reply to `request` is kept from now on.
    void expect(quint64 request);
    // The reply to the expected request, or none after `timeoutMs`.
    std::optional<QByteArray> wait(int timeoutMs);

public Q_SLOTS:
    // Called by a script: `request` is the number the script was given.
    Q_SCRIPTABLE void reply(const QString &request, const QString &json);

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    quint64 m_expected = 0;
    std::optional<QByteArray> m_reply;
};

} // namespace tarni
