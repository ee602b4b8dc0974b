// Window placement on KDE Plasma: a headless KWin with XWayland on a private
// session bus, moving a native Wayland window through KWin scripts.

#include "platform/kwin/KWinScriptWindows.h"

#include "SessionBus.h"
#include "XvfbSession.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::test;

namespace {

constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(100);
    }
    return true;
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

    QTemporaryDir m_dir;
    SessionBus m_bus;
    pid_t m_compositor = -1;
    QString m_display;
    QList<QProcess *> m_windows;
};

// Called on this test's thread, which runs no event loop: the scripts'
// replies must arrive all the same.
TEST_F(KWinPlacementTest, ListsPlacesAndRestoresANativeWindowThroughScripts)
{
    KWinScriptWindows windows({.busAddress = m_bus.address()});
    ASSERT_TRUE(waitFor([&] { return windows.isAvailable(); }, 10000));
    QProcess *viewer = startProbe({path("notes.txt")});
    ASSERT_TRUE(viewer->waitForStarted());
    QByteArray output;
    ASSERT_TRUE(waitForOutput(viewer, output, "size 500 350", 15000)) << output.toStdString();

    std::optional<CompositorWindow> probe;
    ASSERT_TRUE(waitFor([&] {
        const auto list = windows.listWindows();
        probe.reset();
        for (const CompositorWindow &window : list.value_or(QList<CompositorWindow>()))
            if (window.pid == viewer->processId())
                probe = window;
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
    const auto moved = windows.listWindows();
    ASSERT_TRUE(moved);
    const auto movedProbe = std::find_if(moved->cbegin(), moved->cend(),
                                         [&](const CompositorWindow &w) { return w.handle == probe->handle; });
    ASSERT_NE(movedProbe, moved->cend());
    EXPECT_EQ(movedProbe->frame, placed);

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
    EXPECT_TRUE(QDir::temp().entryList({QStringLiteral("tarnibar-kwin-*")}, QDir::Files).isEmpty());
}

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
        {"id": "{00000000-0000-0001-0000-000000000000}", "pid": -5, "title": 7,
         "frame": {"x": 0, "y": 0, "width": 1, "height": 1}},
        17]})";
    const auto windows = parseKWinWindowList(json);
    ASSERT_TRUE(windows);
    ASSERT_EQ(windows->size(), 2);
    EXPECT_EQ(windows->at(0).handle, 0x0123456789abcdefu);
    EXPECT_EQ(windows->at(0).pid, 42);
    EXPECT_EQ(windows->at(0).frame, QRectF(10, 20, 300, 200));
    EXPECT_TRUE(windows->at(0).maximized);
    EXPECT_EQ(windows->at(1).handle, 1u);
    EXPECT_EQ(windows->at(1).pid, 0);
    EXPECT_TRUE(windows->at(1).title.isEmpty());

    for (const QByteArray &bad : {QByteArray("{\"windows\": {}}"), QByteArray("[]"), QByteArray("{\"windows\""),
                                  QByteArray("{\"error\": \"x\"}")})
        EXPECT_FALSE(parseKWinWindowList(bad)) << bad.toStdString();
    QByteArray many = "{\"windows\": [";
    for (int i = 0; i < 3000; ++i)
        many += "{},";
    many += "{}]}";
    EXPECT_FALSE(parseKWinWindowList(many));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
