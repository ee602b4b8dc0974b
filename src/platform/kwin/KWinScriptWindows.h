#pragma once

#include "windowing/CompositorWindows.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QThread;

namespace tarni {

class KWinReplyReceiver;

// The windows of a KDE Plasma session, reached through KWin scripts: each
// operation writes a short script to a private file, has KWin load and run it
// over D-Bus, and the script answers by calling a D-Bus method on an object of
// ours. One script text serves KWin 5.27 and 6 (it tests for either API).
//
// Window titles and other data of windows never go into a script's text:
// scripts carry only numbers we formatted and send their data back as JSON.
class KWinScriptWindows final : public CompositorWindows {
public:
    struct Options {
        // The bus KWin is on; empty for the session bus of this process.
        QString busAddress;
        // How long one script may take to answer.
        int replyTimeoutMs = 3000;
        // How long a moved window may take to show its new frame and state
        // in the list (KWin applies it once the client has drawn it).
        int settleTimeoutMs = 5000;
        int pollIntervalMs = 200;
    };

    KWinScriptWindows();
    explicit KWinScriptWindows(const Options &options);
    ~KWinScriptWindows() override;
    KWinScriptWindows(const KWinScriptWindows &) = delete;
    KWinScriptWindows &operator=(const KWinScriptWindows &) = delete;

    bool isAvailable() override;
    std::optional<QList<CompositorWindow>> listWindows() override;
    bool placeWindow(std::uint64_t handle, const QRectF &frame) override;
    bool restoreWindow(std::uint64_t handle, const QRectF &frame, const OriginalWindowState &state) override;

private:
    // Runs one script made of the common part and `action`; the JSON object
    // it sent back, or none after an error or timeout.
    std::optional<QByteArray> runScript(const QString &action);
    bool runOnWindow(std::uint64_t handle, const QString &action);
    bool waitForWindow(std::uint64_t handle, const std::function<bool(const CompositorWindow &)> &done);
    bool connected() const;

    Options m_options;
    QString m_connectionName;
    std::unique_ptr<QThread> m_thread;
    // Lives on m_thread, so replies arrive while the calling thread waits.
    KWinReplyReceiver *m_receiver = nullptr;
    quint64 m_nextRequest = 1;
    // The object path of a loaded script: "/Scripting/Script%1" on KWin 6,
    // "/%1" on 5.27; found on the first run.
    QString m_scriptPathPattern;
};

// The window list a listing script sent (its "windows" array), checked
// field by field; none when the reply is no such object. Windows without a
// usable id are left out.
std::optional<QList<CompositorWindow>> parseKWinWindowList(const QByteArray &json);

// The handle of a window: the first 4 bytes of its KWin internal id (a UUID,
// as text with or without braces and dashes); 0 when it is no UUID. Four,
// because the records of moved windows keep 32-bit handles, as X11 has.
std::uint64_t kwinWindowHandle(const QString &internalId);

} // namespace tarni
