// Window placement on KDE Plasma: a headless KWin with XWayland on a private
// session bus, moving a native Wayland window through KWin scripts, first
// directly and then as the real application does it for a file it opens.

#include "platform/kwin/KWinReplyReceiver.h"
#include "platform/kwin/KWinScriptWindows.h"

#include "ApplicationBusCall.h"
#include "SessionBus.h"
#include "X11Probe.h"
#include "XvfbSession.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <thread>

using namespace tarni;
using namespace tarni::test;

// Frames in failures as numbers rather than bytes.
void PrintTo(const QRectF &rect, std::ostream *out)
{
    *out << rect.x() << "," << rect.y() << " " << rect.width() << "x" << rect.height();
}

namespace {

constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;

constexpr auto waitFor = X11Probe::waitFor;

bool writeFile(const QString &path, const QByteArray &content, QFile::Permissions permissions = {})
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size()
        && (permissions == QFile::Permissions() || file.setPermissions(permissions));
}

// The window KWin lists now with that pid or title.
std::optional<CompositorWindow> findWindow(KWinScriptWindows &windows, qint64 pid, const QString &title = {})
{
    for (const CompositorWindow &window : windows.listWindows().value_or(QList<CompositorWindow>()))
        if (window.pid == pid || (!title.isEmpty() && window.title == title))
            return window;
    return std::nullopt;
}

class KWinPlacementTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        const QString kwin = QStandardPaths::findExecutable(QStringLiteral("kwin_wayland"));
        ASSERT_FALSE(kwin.isEmpty()) << "kwin_wayland is missing: run scripts/install-deps.sh";
        ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("Xwayland")).isEmpty());
        ASSERT_FALSE(m_bus.address().isEmpty()) << m_bus.error().toStdString();
        ASSERT_TRUE(QDir().mkpath(path("run")));
        // Scripts are written to the temporary folder: this test's own, so
        // that other tests' scripts running beside it are not counted.
        ASSERT_TRUE(QDir().mkpath(path("tmp")));
        qputenv("TMPDIR", path("tmp").toLocal8Bit());
        QFile::setPermissions(path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // The packaged binary carries file capabilities a container refuses
        // to grant; a plain copy runs.
        ASSERT_TRUE(QDir().mkpath(path("bin")));
        ASSERT_TRUE(QFile::copy(kwin, path("bin/kwin_wayland")));
        // KWin starts the given command once XWayland is up, with DISPLAY set.
        m_compositor = spawnProcess(
            QStringLiteral("sh"),
            {QStringLiteral("-c"),
             QStringLiteral("exec \"$0\" --virtual --xwayland --width %1 --height %2 --socket tarni-kwin "
                            "\"sh -c 'printf %s \\\"\\$DISPLAY\\\" >%3'\" 2>\"$1\"")
                 .arg(kScreenWidth)
                 .arg(kScreenHeight)
                 .arg(path("display")),
             path("bin/kwin_wayland"), path("kwin.log")},
            {QStringLiteral("XDG_RUNTIME_DIR=") + path("run"), QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + m_bus.address(),
             QStringLiteral("HOME=") + m_dir.path(), QStringLiteral("XDG_CONFIG_HOME=") + path("config"),
             QStringLiteral("DISPLAY="), QStringLiteral("WAYLAND_DISPLAY="), QStringLiteral("QT_QPA_PLATFORM=")});
        ASSERT_GT(m_compositor, 0);
        ASSERT_TRUE(waitFor([&] { return !(m_display = readFile("display")).isEmpty(); }, 30000))
            << "KWin did not start XWayland:\n" << readFile("kwin.log").toStdString();
    }

    void TearDown() override
    {
        for (pid_t pid : m_children)
            stopProcess(pid);
        m_client.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("kwin-test-client"));
        for (QProcess *window : std::as_const(m_windows)) {
            window->kill();
            window->waitForFinished();
            delete window;
        }
        if (m_compositor > 0)
            stopProcess(m_compositor, 5000);
    }

    QString path(const char *relative) const { return m_dir.filePath(QLatin1String(relative)); }
    QString readFile(const char *relative) const
    {
        QFile file(path(relative));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QStringList sessionEnvironment() const
    {
        return {QStringLiteral("XDG_SESSION_TYPE=wayland"), QStringLiteral("XDG_CURRENT_DESKTOP=KDE"),
                QStringLiteral("XDG_RUNTIME_DIR=") + path("run"), QStringLiteral("WAYLAND_DISPLAY=tarni-kwin"),
                QStringLiteral("DISPLAY=") + m_display, QStringLiteral("SWAYSOCK="), QStringLiteral("QT_QPA_PLATFORM="),
                QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + m_bus.address(), asanOptionsForXcbClient()};
    }

    // The probe as a native Wayland client; its output lists every size
    // KWin gives it.
    QProcess *startProbe(const QStringList &arguments)
    {
        auto *window = new QProcess;
        m_windows << window;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &entry : sessionEnvironment())
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        env.insert(QStringLiteral("QT_WAYLAND_DISABLE_WINDOWDECORATION"), QStringLiteral("1"));
        env.remove(QStringLiteral("DISPLAY"));
        window->setProcessEnvironment(env);
        window->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        window->start(QStringLiteral(TARNI_MAXIMIZED_PROBE), arguments);
        EXPECT_TRUE(window->waitForStarted());
        return window;
    }

    static bool waitForOutput(QProcess *process, QByteArray &output, const QByteArray &expected, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (!output.contains(expected) && clock.elapsed() < timeoutMs && process->state() == QProcess::Running)
            if (process->waitForReadyRead(200))
                output += process->readAllStandardOutput();
        return output.contains(expected);
    }

    // The real application in this session, with a desktop of its own whose
    // viewer for text files is the probe, once it answers on the bus.
    pid_t startApplication()
    {
        const QString probe = QStringLiteral(TARNI_MAXIMIZED_PROBE);
        // Plasma opens files with kde-open5, which xdg-open calls there; this
        // one hands them to the desktop-neutral xdg-open, which reads
        // mimeapps.list as kde-open5 does.
        EXPECT_TRUE(writeFile(path("bin/kde-open5"), "#!/bin/sh\nexec env XDG_CURRENT_DESKTOP= xdg-open \"$1\"\n",
                              QFile::ReadOwner | QFile::ExeOwner));
        EXPECT_TRUE(writeFile(path("data/applications/probe-viewer.desktop"),
                              "[Desktop Entry]\nType=Application\nName=Viewer\nExec=env QT_QPA_PLATFORM=wayland "
                              "QT_WAYLAND_DISABLE_WINDOWDECORATION=1 "
                                  + probe.toUtf8() + " %f\n"));
        EXPECT_TRUE(writeFile(path("config/mimeapps.list"), "[Default Applications]\ntext/plain=probe-viewer.desktop\n"));
        const pid_t pid = spawnProcess(
            QStringLiteral(TARNIBAR_EXECUTABLE), {},
            sessionEnvironment() + QStringList{
                QStringLiteral("KDE_SESSION_VERSION=5"), QStringLiteral("TARNI_UITEST_ROOT=") + path("root"),
                QStringLiteral("HOME=") + m_dir.path(), QStringLiteral("XDG_CONFIG_HOME=") + path("config"),
                QStringLiteral("XDG_CONFIG_DIRS=") + path("etc"), QStringLiteral("XDG_DATA_HOME=") + path("data"),
                QStringLiteral("XDG_DATA_DIRS=/usr/share"), QStringLiteral("BROWSER="),
                QStringLiteral("PATH=") + path("bin") + QLatin1Char(':') + qEnvironmentVariable("PATH")});
        if (pid <= 0)
            return pid;
        m_children << pid;
        if (!m_client)
            m_client = std::make_unique<QDBusConnection>(
                QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("kwin-test-client")));
        const bool answers =
            waitFor([&] { return call("DataRoot", {}, 1000).type() == QDBusMessage::ReplyMessage; }, 20000);
        EXPECT_TRUE(answers) << "the application does not answer on the session bus";
        return answers ? pid : -1;
    }

    QDBusMessage call(const char *method, const QVariantList &arguments = {}, int timeoutMs = 30000)
    {
        return m_client->call(applicationMethodCall(path("root").toStdString(), method, arguments), QDBus::Block,
                              timeoutMs);
    }

    QTemporaryDir m_dir;
    SessionBus m_bus;
    pid_t m_compositor = -1;
    QString m_display;
    QList<QProcess *> m_windows;
    QList<pid_t> m_children;
    std::unique_ptr<QDBusConnection> m_client;
};

// Called on this test's thread, which runs no event loop: the scripts'
// replies must arrive all the same.
TEST_F(KWinPlacementTest, ListsPlacesAndRestoresANativeWindowThroughScripts)
{
    KWinScriptWindows windows({.busAddress = m_bus.address()});
    ASSERT_TRUE(waitFor([&] { return windows.isAvailable(); }, 10000));
    QProcess *viewer = startProbe({path("notes.txt")});
    QByteArray output;
    ASSERT_TRUE(waitForOutput(viewer, output, "size 500 350", 15000)) << output.toStdString();

    std::optional<CompositorWindow> probe;
    ASSERT_TRUE(waitFor([&] {
        probe = findWindow(windows, viewer->processId());
        return probe && probe->frame.size() == QSizeF(500, 350);
    }, 10000)) << readFile("kwin.log").toStdString();
    EXPECT_NE(probe->handle, 0u);
    EXPECT_EQ(probe->title, QStringLiteral("notes.txt - probe viewer"));
    EXPECT_EQ(probe->appId, QStringLiteral("tarni_maximized_probe"));
    EXPECT_FALSE(probe->maximized || probe->minimized || probe->fullscreen);

    // The client itself sees the new size; the list shows the new frame.
    const QRectF placed(300, 50, 700, 500);
    EXPECT_TRUE(windows.placeWindow(probe->handle, placed));
    EXPECT_TRUE(waitForOutput(viewer, output, "size 700 500", 5000)) << output.toStdString();
    const auto moved = findWindow(windows, viewer->processId());
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->handle, probe->handle);
    EXPECT_EQ(moved->frame, placed);

    // Back to its frame, then maximised as it was: it fills the screen.
    OriginalWindowState maximized;
    maximized.maximizedHorizontally = maximized.maximizedVertically = true;
    EXPECT_TRUE(windows.restoreWindow(probe->handle, probe->frame, maximized));
    EXPECT_TRUE(waitForOutput(viewer, output,
                              QByteArray("size ") + QByteArray::number(kScreenWidth) + ' '
                                  + QByteArray::number(kScreenHeight),
                              5000))
        << output.toStdString();

    // A window that is gone is reported, not waited for.
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(windows.placeWindow(probe->handle ^ 1, placed));
    EXPECT_FALSE(windows.placeWindow(probe->handle, QRectF(0, 0, qQNaN(), 10)));
    EXPECT_LT(clock.elapsed(), 2000);

    // No script file is left behind.
    EXPECT_EQ(QDir::tempPath(), path("tmp"));
    EXPECT_TRUE(QDir::temp().entryList({QStringLiteral("tarnibar-kwin-*")}, QDir::Files).isEmpty());
}

// The application docks through XWayland, and a file it opens shows in a
// native Wayland viewer that KWin scripts put beside the sidebar and back
// where KWin opened it when the application quits, or, after it was killed,
// when it starts again.
class KWinOpenedViewerTest : public KWinPlacementTest, public testing::WithParamInterface<bool> {};

TEST_P(KWinOpenedViewerTest, StandsBesideTheDockedSidebarUntilTheApplicationQuits)
{
    const pid_t app = startApplication();
    ASSERT_GT(app, 0);
    X11Probe x11(m_display);
    ASSERT_TRUE(x11.isConnected());
    const auto sidebar = x11.waitForClient(QStringLiteral("Tarni Bar"), 20000);
    ASSERT_TRUE(sidebar) << "the sidebar did not appear on XWayland";
    QList<uint32_t> strut;
    ASSERT_TRUE(waitFor([&] {
        strut = x11.cardinals(*sidebar, "_NET_WM_STRUT_PARTIAL");
        return strut.size() == 12 && strut[0] > 0;
    }, 5000));
    const int width = int(strut[0]);
    const QRectF content(width, 0, kScreenWidth - width, kScreenHeight);

    // A maximised native window keeps out of the sidebar's edge.
    QProcess *maximized = startProbe({});
    QByteArray maximizedOutput;
    EXPECT_TRUE(waitForOutput(maximized, maximizedOutput,
                              QByteArray("size ") + QByteArray::number(kScreenWidth - width) + ' ', 15000))
        << "expected a width of " << kScreenWidth - width << ", got:\n" << maximizedOutput.toStdString();
    maximized->kill();
    maximized->waitForFinished();

    // Where KWin opens the viewer while nobody moves it.
    KWinScriptWindows windows({.busAddress = m_bus.address()});
    QProcess *reference = startProbe({path("reference.txt")});
    std::optional<CompositorWindow> home;
    ASSERT_TRUE(waitFor([&] {
        home = findWindow(windows, reference->processId());
        return home && home->frame.size() == QSizeF(500, 350);
    }, 15000));
    reference->kill();
    reference->waitForFinished();

    ASSERT_TRUE(writeFile(path("docs/notes.txt"), "hello\n"));
    const QString id = call("AddFile", {path("docs/notes.txt")}).arguments().value(0).toString();
    ASSERT_FALSE(id.isEmpty());
    const QDBusMessage opened = call("Open", {id});
    EXPECT_EQ(opened.arguments().value(0).toString(), QStringLiteral("Opened file")) << opened.errorMessage().toStdString();
    std::optional<CompositorWindow> viewer;
    const auto findViewer = [&] {
        viewer = findWindow(windows, -1, QStringLiteral("notes.txt - probe viewer"));
        return viewer.has_value();
    };
    ASSERT_TRUE(waitFor(findViewer, 15000)) << "the viewer did not open";
    EXPECT_TRUE(waitFor([&] { return findViewer() && viewer->frame == content; }, 10000))
        << "viewer frame " << testing::PrintToString(viewer.value_or(CompositorWindow()).frame);

    const bool killed = GetParam();
    if (killed)
        ::kill(app, SIGKILL);
    else
        EXPECT_EQ(call("Quit").type(), QDBusMessage::ReplyMessage);
    int status = -1;
    EXPECT_TRUE(waitFor([&] { return ::waitpid(app, &status, WNOHANG) == app; }, 15000));
    m_children.removeAll(app);
    if (killed) {
        ASSERT_GT(startApplication(), 0);
        EXPECT_TRUE(waitFor([&] { return findViewer() && viewer->frame == home->frame; }, 10000));
    } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ASSERT_TRUE(findViewer());
    EXPECT_EQ(viewer->frame, home->frame);
    if (viewer->pid > 0)
        ::kill(viewer->pid, SIGTERM);
}

INSTANTIATE_TEST_SUITE_P(QuitOrKilled, KWinOpenedViewerTest, testing::Bool());

// What a script sends is read as untrusted: a bad entry is dropped, not the
// list; something that is no list is no list.
TEST(KWinWindowList, KeepsWellFormedWindowsAndDropsTheRest)
{
    const QByteArray json = R"({"windows": [
        {"id": "0123456789abcdef0123456789abcdef", "pid": 42, "appId": "viewer", "title": "a",
         "frame": {"x": 10, "y": 20, "width": 300, "height": 200}, "maximized": true},
        {"id": "not-a-uuid", "frame": {"x": 0, "y": 0, "width": 1, "height": 1}},
        {"id": "fedcba9876543210fedcba9876543210", "frame": {"x": "0", "y": 0, "width": 1, "height": 1}},
        {"id": "fedcba9876543210fedcba9876543210", "frame": {"x": 1e300, "y": 0, "width": 1, "height": 1}},
        {"id": "{00000001-0000-0000-0000-00000000000g}", "frame": {"x": 0, "y": 0, "width": 1, "height": 1}},
        {"id": "{00000001-0000-0000-0000-000000000000}", "pid": -5, "title": 7,
         "frame": {"x": 0, "y": 0, "width": 1, "height": 1}},
        17]})";
    const auto windows = parseKWinWindowList(json);
    ASSERT_TRUE(windows);
    ASSERT_EQ(windows->size(), 2);
    EXPECT_EQ(windows->at(0).handle, 0x01234567u);
    EXPECT_EQ(windows->at(0).pid, 42);
    EXPECT_EQ(windows->at(0).frame, QRectF(10, 20, 300, 200));
    EXPECT_TRUE(windows->at(0).maximized);
    EXPECT_EQ(windows->at(1).handle, 1u);
    EXPECT_EQ(windows->at(1).pid, 0);
    EXPECT_TRUE(windows->at(1).title.isEmpty());

    // Ids that start alike: neither window can be named safely.
    const auto twins = parseKWinWindowList(R"({"windows": [
        {"id": "0123456789abcdef0123456789abcdef", "frame": {"x": 0, "y": 0, "width": 1, "height": 1}},
        {"id": "01234567ffffffffffffffffffffffff", "frame": {"x": 0, "y": 0, "width": 1, "height": 1}}]})");
    ASSERT_TRUE(twins);
    EXPECT_TRUE(twins->isEmpty());

    for (const QByteArray &bad : {QByteArray("{\"windows\": {}}"), QByteArray("[]"), QByteArray("{\"windows\""),
                                  QByteArray("{\"error\": \"x\"}")})
        EXPECT_FALSE(parseKWinWindowList(bad)) << bad.toStdString();
    QByteArray many = "{\"windows\": [";
    for (int i = 0; i < 3000; ++i)
        many += "{},";
    many += "{}]}";
    EXPECT_FALSE(parseKWinWindowList(many));
}

// A script that timed out may still answer while the next one is awaited:
// only the awaited answer counts, and it arrives while the waiter blocks.
TEST(KWinReplyReceiver, KeepsOnlyTheAwaitedReplyOfAnotherThread)
{
    KWinReplyReceiver receiver;
    receiver.expect(2);
    receiver.reply(QStringLiteral("1"), QStringLiteral("{\"late\": true}"));
    EXPECT_FALSE(receiver.wait(0));

    receiver.expect(3);
    receiver.reply(QStringLiteral("3"), QString(KWinReplyReceiver::kMaxReplyBytes + 1, QLatin1Char(' ')));
    std::thread script([&] {
        QThread::msleep(200);
        receiver.reply(QStringLiteral("3"), QStringLiteral("{\"found\": true}"));
    });
    EXPECT_EQ(receiver.wait(5000), QByteArray("{\"found\": true}"));
    script.join();
    // Once taken, a repeated answer is no answer to the next request.
    receiver.reply(QStringLiteral("3"), QStringLiteral("{}"));
    receiver.expect(4);
    EXPECT_FALSE(receiver.wait(0));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
