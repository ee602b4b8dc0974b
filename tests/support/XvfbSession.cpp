#include "XvfbSession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <xcb/xcb.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace tarni::test {

QString asanOptionsForXcbClient()
{
    return QStringLiteral("ASAN_OPTIONS=") + qEnvironmentVariable("ASAN_OPTIONS") +
           QStringLiteral(":strict_string_checks=0");
}

pid_t spawnProcess(const QString &program, const QStringList &arguments, const QStringList &extraEnv)
{
    std::vector<QByteArray> argStore{program.toLocal8Bit()};
    for (const auto &a : arguments)
        argStore.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (auto &a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<QByteArray> envStore;
    for (const auto &e : extraEnv)
        envStore.push_back(e.toLocal8Bit());
    for (char **e = environ; *e; ++e) {
        const QByteArray entry(*e);
        const QByteArray name = entry.left(entry.indexOf('=') + 1);
        bool overridden = false;
        for (const auto &x : extraEnv)
            overridden = overridden || x.toLocal8Bit().startsWith(name);
        if (!overridden)
            envStore.push_back(entry);
    }
    std::vector<char *> envp;
    for (auto &e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    // Resolved here: between fork and exec only async-signal-safe calls.
    const QString path = program.contains(QLatin1Char('/')) ? program : QStandardPaths::findExecutable(program);
    if (path.isEmpty())
        return -1;
    const QByteArray file = path.toLocal8Bit();

    // A test that crashes never reaches the destructors that stop its X
    // server and clients; the parent-death signal ends them anyway, so they
    // neither linger nor keep the test's output pipe (and ctest) waiting.
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::execve(file.constData(), argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

void stopProcess(pid_t pid, int graceMs)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < graceMs) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD))
            return;
        QThread::msleep(5);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

static bool processExited(pid_t pid)
{
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid;
}

std::unique_ptr<XvfbSession> XvfbSession::start(const Options &options, QString *error)
{
    auto fail = [&](const QString &why) -> std::unique_ptr<XvfbSession> {
        if (error)
            *error = why;
        return nullptr;
    };

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return fail(QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    // The write end must survive exec in the server; the read end must not.
    ::fcntl(fds[1], F_SETFD, 0);

    std::unique_ptr<XvfbSession> session(new XvfbSession);
    session->m_serverPid = spawnProcess(
        QStringLiteral("Xvfb"),
        {QStringLiteral("-displayfd"), QString::number(fds[1]), QStringLiteral("-screen"), QStringLiteral("0"),
         QStringLiteral("%1x%2x24").arg(options.width).arg(options.height), QStringLiteral("-nolisten"),
         QStringLiteral("tcp"), QStringLiteral("-noreset")});
    ::close(fds[1]);
    if (session->m_serverPid < 0) {
        ::close(fds[0]);
        return fail(QStringLiteral("cannot start Xvfb (is the xvfb package installed?)"));
    }

    // Xvfb writes the display number it chose, then a newline, once it accepts connections.
    QByteArray number;
    QElapsedTimer timer;
    timer.start();
    while (!number.endsWith('\n') && timer.elapsed() < 15000) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buf[32];
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n <= 0)
                break;
            number.append(buf, n);
        }
        if (processExited(session->m_serverPid)) {
            session->m_serverPid = -1;
            break;
        }
    }
    ::close(fds[0]);
    if (!number.endsWith('\n'))
        return fail(QStringLiteral("Xvfb did not report a display within 15 s"));
    session->m_display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());

    if (options.windowManager && !session->startWindowManager(error))
        return nullptr;
    return session;
}

XvfbSession::~XvfbSession()
{
    stopWindowManager();
    stopProcess(m_serverPid);
}

bool XvfbSession::startWindowManager(QString *error)
{
    if (m_wmPid > 0)
        return true;
    // openbox wants a writable home for its caches; keep it away from the user's.
    static QTemporaryDir home;
    QStringList arguments{QStringLiteral("--sm-disable")};
    if (!m_wmConfig.isEmpty())
        arguments << QStringLiteral("--config-file") << m_wmConfig;
    m_wmPid = spawnProcess(QStringLiteral("openbox"), arguments,
                           {QStringLiteral("DISPLAY=") + m_display, QStringLiteral("HOME=") + home.path()});
    if (m_wmPid < 0) {
        if (error)
            *error = QStringLiteral("cannot start openbox (is the openbox package installed?)");
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 15000) {
        if (windowManagerIsReady() && windowManagerManagesWindows(15000 - int(timer.elapsed())))
            return true;
        if (processExited(m_wmPid)) {
            m_wmPid = -1;
            break;
        }
        QThread::msleep(10);
    }
    if (error)
        *error = QStringLiteral("openbox did not become ready on %1 within 15 s").arg(m_display);
    stopWindowManager();
    return false;
}

void XvfbSession::stopWindowManager()
{
    stopProcess(m_wmPid);
    m_wmPid = -1;
}

static xcb_window_t windowProperty(xcb_connection_t *c, xcb_window_t window, xcb_atom_t atom)
{
    auto cookie = xcb_get_property(c, 0, window, atom, XCB_ATOM_WINDOW, 0, 1);
    xcb_get_property_reply_t *reply = xcb_get_property_reply(c, cookie, nullptr);
    xcb_window_t result = XCB_WINDOW_NONE;
    if (reply && xcb_get_property_value_length(reply) == 4)
        result = *static_cast<xcb_window_t *>(xcb_get_property_value(reply));
    free(reply);
    return result;
}

// openbox announces itself on the root window before it manages new
// windows reliably: a window mapped in the first ~100 ms after the
// announcement is sometimes taken over and dropped again, and stays
// unmanaged. A sentinel window that shows up in _NET_CLIENT_LIST proves
// that the startup is over; one that does not is replaced by a new one.
bool XvfbSession::windowManagerManagesWindows(int timeoutMs) const
{
    xcb_connection_t *c = xcb_connect(m_display.toLocal8Bit().constData(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    static const char name[] = "_NET_CLIENT_LIST";
    xcb_intern_atom_reply_t *atomReply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr);
    const xcb_atom_t clientList = atomReply ? atomReply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(atomReply);
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;

    auto isListed = [&](xcb_window_t window) {
        xcb_get_property_reply_t *reply = xcb_get_property_reply(
            c, xcb_get_property(c, 0, screen->root, clientList, XCB_ATOM_WINDOW, 0, 4096), nullptr);
        bool listed = false;
        if (reply) {
            const auto *windows = static_cast<const xcb_window_t *>(xcb_get_property_value(reply));
            for (int i = 0; i < xcb_get_property_value_length(reply) / 4; ++i)
                listed = listed || windows[i] == window;
        }
        free(reply);
        return listed;
    };

    bool managed = false;
    xcb_window_t sentinel = XCB_WINDOW_NONE;
    QElapsedTimer timer;
    timer.start();
    while (!managed && timer.elapsed() < timeoutMs) {
        sentinel = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, sentinel, screen->root, 0, 0, 10, 10, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        xcb_map_window(c, sentinel);
        xcb_flush(c);
        QElapsedTimer attempt;
        attempt.start();
        while (!managed && attempt.elapsed() < 300) {
            managed = isListed(sentinel);
            if (!managed)
                QThread::msleep(10);
        }
        xcb_destroy_window(c, sentinel);
        xcb_flush(c);
    }
    // Wait for the window manager to let go of the sentinel, so tests start
    // with only their own clients listed.
    while (managed && isListed(sentinel) && timer.elapsed() < timeoutMs)
        QThread::msleep(5);
    xcb_disconnect(c);
    return managed;
}

bool XvfbSession::windowManagerIsReady() const
{
    xcb_connection_t *c = xcb_connect(m_display.toLocal8Bit().constData(), nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    static const char name[] = "_NET_SUPPORTING_WM_CHECK";
    auto atomCookie = xcb_intern_atom(c, 1, sizeof name - 1, name);
    xcb_intern_atom_reply_t *atomReply = xcb_intern_atom_reply(c, atomCookie, nullptr);
    bool ready = false;
    if (atomReply && atomReply->atom != XCB_ATOM_NONE) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        const xcb_window_t check = windowProperty(c, root, atomReply->atom);
        ready = check != XCB_WINDOW_NONE && windowProperty(c, check, atomReply->atom) == check;
    }
    free(atomReply);
    xcb_disconnect(c);
    return ready;
}

} // namespace tarni::test
