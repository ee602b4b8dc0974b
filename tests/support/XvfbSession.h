#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <sys/types.h>

namespace tarni::test {

// A private X server (Xvfb on a display it picks itself) with openbox as the
// window manager, for tests that need real windows. Nothing depends on a
// display the test did not start; both processes are stopped by pid when the
// session is destroyed, also when the test fails.
class XvfbSession {
public:
    struct Options {
        int width = 1920;
        int height = 1080;
        bool windowManager = true;
    };

    // Starts the server (and the window manager, waiting until it is ready).
    // Returns null and sets `error` when either cannot be started.
    static std::unique_ptr<XvfbSession> start(const Options &options, QString *error);
    static std::unique_ptr<XvfbSession> start(QString *error) { return start(Options{}, error); }

    ~XvfbSession();
    XvfbSession(const XvfbSession &) = delete;
    XvfbSession &operator=(const XvfbSession &) = delete;

    // ":N", for DISPLAY.
    QString display() const { return m_display; }
    pid_t serverPid() const { return m_serverPid; }
    pid_t windowManagerPid() const { return m_wmPid; }

    // Starts or stops the window manager while the server keeps running.
    bool startWindowManager(QString *error);
    // An openbox rc.xml of the test's own (its "applications" rules, say) for
    // the window manager started next; empty: openbox's own.
    void setWindowManagerConfig(const QString &path) { m_wmConfig = path; }
    void stopWindowManager();
    // True when an EWMH window manager announces itself on the root window
    // (_NET_SUPPORTING_WM_CHECK naming a window that names itself).
    bool windowManagerIsReady() const;

private:
    XvfbSession() = default;
    bool windowManagerManagesWindows(int timeoutMs) const;

    QString m_display;
    pid_t m_serverPid = -1;
    pid_t m_wmPid = -1;
    QString m_wmConfig;
    QString m_runtimeDir;
};

// Starts `program` with `arguments` and the current environment plus `extraEnv`
// ("NAME=value" entries, overriding). Returns the pid, or -1. The child gets
// SIGKILL when the thread that started it ends (in tests: when the test
// process dies), so a crashed test leaves nothing running.
pid_t spawnProcess(const QString &program, const QStringList &arguments, const QStringList &extraEnv = {});
// "ASAN_OPTIONS=..." for a Qt program started on an X server: the current
// options without strict string checks, because libxkbcommon-x11, which Qt's
// xcb platform loads, hands strndup() unterminated atom names.
QString asanOptionsForXcbClient();
// SIGTERM, wait up to `graceMs`, then SIGKILL; always reaps the child.
void stopProcess(pid_t pid, int graceMs = 2000);

} // namespace tarni::test
