// The application on a Wayland desktop as GNOME runs it: a headless Mutter
// with XWayland on a private session bus. The sidebar must dock as an X11
// client, and a maximised native Wayland window must keep beside it.

#include "X11Probe.h"
#include "XvfbSession.h"

#include "SessionBus.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace tarni::test;

namespace {

constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;

class WaylandDockingTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        for (const char *program : {"mutter", "Xwayland"})
            ASSERT_FALSE(QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
                << program << " is missing: run scripts/install-deps.sh";
        ASSERT_FALSE(m_bus.address().isEmpty()) << m_bus.error().toStdString();
        ASSERT_TRUE(QDir().mkpath(path("run")));
        QFile::setPermissions(path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // exec keeps the pid, so the compositor still dies with this test.
        m_compositor = spawnProcess(
            QStringLiteral("sh"),
            {QStringLiteral("-c"), QStringLiteral("exec mutter --headless --virtual-monitor %1x%2 --wayland "
                                                  "--wayland-display tarni-test 2>\"$0\"")
                                       .arg(kScreenWidth)
                                       .arg(kScreenHeight),
             path("mutter.log")},
            {QStringLiteral("XDG_RUNTIME_DIR=") + path("run"), QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + m_bus.address(),
             QStringLiteral("HOME=") + m_dir.path(), QStringLiteral("XDG_CONFIG_HOME=") + path("config"),
             QStringLiteral("DISPLAY="), QStringLiteral("WAYLAND_DISPLAY=")});
        ASSERT_GT(m_compositor, 0);
        // Mutter names the X display XWayland serves once it is up.
        ASSERT_TRUE(X11Probe::waitFor([&] { return !(m_display = displayFromLog()).isEmpty(); }, 20000))
            << "mutter did not start XWayland:\n" << log().toStdString();
        const QStringList auth = QDir(path("run")).entryList({QStringLiteral(".mutter-Xwaylandauth.*")},
                                                             QDir::Files | QDir::Hidden);
        ASSERT_EQ(auth.size(), 1);
        m_xauthority = path("run/") + auth.first();
        qputenv("XAUTHORITY", m_xauthority.toLocal8Bit());
        m_probe = std::make_unique<X11Probe>(m_display);
        ASSERT_TRUE(m_probe->isConnected());
    }

    void TearDown() override
    {
        m_probe.reset();
        for (pid_t pid : m_children)
            stopProcess(pid);
        if (m_compositor > 0)
            stopProcess(m_compositor, 5000);
    }

    QString path(const char *relative) const { return m_dir.filePath(QLatin1String(relative)); }
    QString log() const
    {
        QFile file(path("mutter.log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    QString displayFromLog() const
    {
        const QString text = log();
        const QLatin1String marker("Using public X11 display ");
        const qsizetype at = text.indexOf(marker);
        if (at < 0)
            return {};
        const qsizetype end = text.indexOf(QLatin1Char(','), at);
        return end < 0 ? QString() : text.mid(at + marker.size(), end - at - marker.size());
    }

    // What a GNOME Wayland session hands its programs; Qt's platform is left
    // for the program to choose, as a user's desktop would.
    QStringList sessionEnvironment() const
    {
        return {QStringLiteral("XDG_SESSION_TYPE=wayland"), QStringLiteral("XDG_CURRENT_DESKTOP=GNOME"),
                QStringLiteral("XDG_RUNTIME_DIR=") + path("run"), QStringLiteral("WAYLAND_DISPLAY=tarni-test"),
                QStringLiteral("DISPLAY=") + m_display, QStringLiteral("XAUTHORITY=") + m_xauthority,
                QStringLiteral("SWAYSOCK="), QStringLiteral("QT_QPA_PLATFORM="),
                QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + m_bus.address(), asanOptionsForXcbClient()};
    }

    QTemporaryDir m_dir;
    SessionBus m_bus;
    pid_t m_compositor = -1;
    QString m_display;
    QString m_xauthority;
    std::unique_ptr<X11Probe> m_probe;
    QList<pid_t> m_children;
};

TEST_F(WaylandDockingTest, SidebarDocksThroughXWaylandAndANativeMaximisedWindowKeepsBesideIt)
{
    const pid_t app = spawnProcess(QStringLiteral(TARNIBAR_EXECUTABLE), {},
                                   sessionEnvironment() + QStringList{
                                       QStringLiteral("TARNI_UITEST_ROOT=") + path("root"),
                                       QStringLiteral("XDG_CONFIG_HOME=") + path("config"),
                                       QStringLiteral("XDG_DATA_HOME=") + path("data")});
    ASSERT_GT(app, 0);
    m_children << app;
    // Found on the X display at all: the sidebar runs through XWayland.
    const auto sidebar = m_probe->waitForClient(QStringLiteral("Tarni Bar"), 20000);
    ASSERT_TRUE(sidebar) << "the sidebar did not appear on XWayland";
    QList<uint32_t> strut;
    ASSERT_TRUE(X11Probe::waitFor([&] {
        strut = m_probe->cardinals(*sidebar, "_NET_WM_STRUT_PARTIAL");
        return strut.size() == 12 && strut[0] > 0;
    }, 5000));
    const int width = int(strut[0]);
    EXPECT_TRUE(X11Probe::waitFor([&] {
        const auto frame = m_probe->frame(*sidebar);
        return frame && frame->left() == 0 && frame->width() == width;
    }, 5000)) << "the sidebar is not at the left edge, " << width << " wide: x "
               << m_probe->frame(*sidebar).value_or(QRect()).x() << ", width "
               << m_probe->frame(*sidebar).value_or(QRect()).width();
    // It takes the keyboard when asked, as a click on it does.
    m_probe->activate(*sidebar);
    EXPECT_TRUE(X11Probe::waitFor([&] { return m_probe->activeWindow() == sidebar; }, 5000));

    // A native Wayland client never learns where it is; maximised, it fills
    // what the compositor keeps free, so its width shows the reservation.
    QProcess window;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : sessionEnvironment())
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    env.insert(QStringLiteral("QT_WAYLAND_DISABLE_WINDOWDECORATION"), QStringLiteral("1"));
    env.remove(QStringLiteral("DISPLAY"));
    window.setProcessEnvironment(env);
    window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    window.start(QStringLiteral(TARNI_MAXIMIZED_PROBE), {});
    ASSERT_TRUE(window.waitForStarted());
    QByteArray output;
    const QByteArray expected = QByteArray("size ") + QByteArray::number(kScreenWidth - width) + ' ';
    QElapsedTimer clock;
    clock.start();
    while (!output.contains(expected) && clock.elapsed() < 15000 && window.state() == QProcess::Running)
        if (window.waitForReadyRead(500))
            output += window.readAllStandardOutput();
    window.kill();
    window.waitForFinished();
    EXPECT_TRUE(output.startsWith("platform wayland\n")) << output.toStdString();
    EXPECT_TRUE(output.contains(expected)) << "expected a width of " << kScreenWidth - width << ", got:\n"
                                           << output.toStdString();
}

} // namespace
