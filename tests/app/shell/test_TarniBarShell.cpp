// The application as a user starts it, on its own X server with openbox: the
// sidebar's place and reservation, resizing and moving it, a restarted window
// manager, and losing the X server.

#include "X11Probe.h"
#include "XvfbSession.h"

#include "SessionBus.h"

#include "app/ApplicationBusNames.h"
#include "common/DataRoot.h"
#include "common/InstanceLock.h"
#include "storage/WorkspaceStore.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sys/wait.h>

using namespace tarni;
using namespace tarni::test;

namespace {

// 20 % of the 1600-pixel screen.
constexpr int kDefaultWidth = 320;
const char *const kWidthKey = "TarniBar.sidebarWidth.screen";

class TarniBarShellTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QString error;
        m_session = XvfbSession::start({1600, 1000, true}, &error);
        ASSERT_TRUE(m_session) << "cannot start the X server for this test: " << error.toStdString();
        m_probe = std::make_unique<X11Probe>(m_session->display());
    }

    void TearDown() override
    {
        for (pid_t pid : m_children)
            stopProcess(pid);
        m_probe.reset();
        m_session.reset();
    }

    QString path(const char *relative) const { return m_dir.filePath(QLatin1String(relative)); }

    // `extraEnv` comes first, so it overrides the defaults below.
    pid_t startApplication(const QStringList &extraEnv = {})
    {
        const pid_t pid = spawnProcess(QStringLiteral(TARNIBAR_EXECUTABLE), {},
                                       extraEnv + QStringList{asanOptionsForXcbClient(),
                                        QStringLiteral("DISPLAY=") + m_session->display(),
                                        QStringLiteral("QT_QPA_PLATFORM=xcb"),
                                        QStringLiteral("TARNI_UITEST_ROOT=") + path("root"),
                                        QStringLiteral("XDG_CONFIG_HOME=") + path("config"),
                                        QStringLiteral("XDG_DATA_HOME=") + path("data"),
                                        QStringLiteral("DBUS_SESSION_BUS_ADDRESS=unix:path=") + path("no-bus")});
        if (pid > 0)
            m_children << pid;
        return pid;
    }

    QRect workArea()
    {
        const QList<uint32_t> values = m_probe->cardinals(XCB_WINDOW_NONE, "_NET_WORKAREA");
        return values.size() >= 4 ? QRect(values[0], values[1], values[2], values[3]) : QRect();
    }

    std::optional<int> storedWidth()
    {
        QSettings settings(path("config/TarniBar/TarniBar.ini"), QSettings::IniFormat);
        const QVariant value = settings.value(QLatin1String(kWidthKey));
        return value.isValid() ? std::optional<int>(qRound(value.toDouble())) : std::nullopt;
    }

    bool frameBecomes(xcb_window_t window, const QRect &expected)
    {
        return X11Probe::waitFor([&] { return m_probe->frame(window) == expected; }, 5000);
    }

    void xdotool(const QStringList &arguments)
    {
        const pid_t pid = spawnProcess(QStringLiteral("xdotool"), arguments,
                                       {QStringLiteral("DISPLAY=") + m_session->display()});
        int status = 0;
        ::waitpid(pid, &status, 0);
    }

    QTemporaryDir m_dir;
    std::unique_ptr<XvfbSession> m_session;
    std::unique_ptr<X11Probe> m_probe;
    QList<pid_t> m_children;
};

TEST_F(TarniBarShellTest, SidebarReservesTheLeftEdgeAndWindowsStayBesideIt)
{
    ASSERT_GT(startApplication(), 0);
    const auto sidebar = m_probe->waitForClient(QStringLiteral("Tarni Bar"));
    ASSERT_TRUE(sidebar);
    EXPECT_TRUE(frameBecomes(*sidebar, QRect(0, 0, kDefaultWidth, 1000))) << "frame differs";
    EXPECT_EQ(m_probe->desktopOf(*sidebar), 0xFFFFFFFFu);
    EXPECT_TRUE(m_probe->hasState(*sidebar, "_NET_WM_STATE_SKIP_TASKBAR"));

    const QList<uint32_t> strut = m_probe->cardinals(*sidebar, "_NET_WM_STRUT_PARTIAL");
    ASSERT_EQ(strut.size(), 12);
    EXPECT_EQ(strut[0], uint32_t(kDefaultWidth));
    EXPECT_EQ(strut[4], 0u);
    EXPECT_EQ(strut[5], 999u);
    EXPECT_EQ(workArea(), QRect(kDefaultWidth, 0, 1280, 1000));

    // The content window marks the rest of the screen, decorations included.
    const auto content = m_probe->waitForClient(QStringLiteral("Workspace"));
    ASSERT_TRUE(content);
    EXPECT_TRUE(frameBecomes(*content, QRect(kDefaultWidth, 0, 1280, 1000)));

    // Started in the foreground, the sidebar has the focus, not the content window.
    EXPECT_TRUE(X11Probe::waitFor([&] { return m_probe->activeWindow() == sidebar; }));

    // A maximised window ends beside the sidebar.
    const pid_t xterm = spawnProcess(QStringLiteral("xterm"), {QStringLiteral("-T"), QStringLiteral("maximised")},
                                     {QStringLiteral("DISPLAY=") + m_session->display()});
    m_children << xterm;
    const auto other = m_probe->waitForClient(QStringLiteral("maximised"));
    ASSERT_TRUE(other);
    m_probe->setMaximized(*other, true);
    EXPECT_TRUE(X11Probe::waitFor([&] {
        const auto frame = m_probe->frame(*other);
        return frame && frame->left() == kDefaultWidth && frame->width() > 1200;
    })) << "xterm frame left " << m_probe->frame(*other).value_or(QRect()).left();

    // Clicking the sidebar takes the keyboard focus back from it.
    m_probe->activate(*other);
    ASSERT_TRUE(X11Probe::waitFor([&] { return m_probe->activeWindow() == other; }));
    xdotool({QStringLiteral("mousemove"), QStringLiteral("100"), QStringLiteral("500"), QStringLiteral("click"),
             QStringLiteral("1")});
    EXPECT_TRUE(X11Probe::waitFor([&] { return m_probe->activeWindow() == sidebar; }));
}

TEST_F(TarniBarShellTest, ResizingKeepsTheClampedWidthAndMovesSnapBack)
{
    ASSERT_GT(startApplication(), 0);
    const auto sidebar = m_probe->waitForClient(QStringLiteral("Tarni Bar"));
    ASSERT_TRUE(sidebar);
    ASSERT_TRUE(frameBecomes(*sidebar, QRect(0, 0, kDefaultWidth, 1000)));
    const auto content = m_probe->waitForClient(QStringLiteral("Workspace"));
    ASSERT_TRUE(content);
    const QString id = QString::number(*sidebar);

    // Wider than the 640-pixel maximum: kept at the maximum.
    xdotool({QStringLiteral("windowsize"), id, QStringLiteral("1000"), QStringLiteral("1000")});
    EXPECT_TRUE(frameBecomes(*sidebar, QRect(0, 0, 640, 1000)));
    EXPECT_TRUE(X11Probe::waitFor([&] { return storedWidth() == 640; })) << storedWidth().value_or(-1);

    xdotool({QStringLiteral("windowsize"), id, QStringLiteral("420"), QStringLiteral("700")});
    EXPECT_TRUE(frameBecomes(*sidebar, QRect(0, 0, 420, 1000)));
    EXPECT_TRUE(X11Probe::waitFor([&] { return storedWidth() == 420; })) << storedWidth().value_or(-1);
    EXPECT_TRUE(frameBecomes(*content, QRect(420, 0, 1180, 1000))) << [&] {
        const QRect f = m_probe->frame(*content).value_or(QRect());
        return QStringLiteral("%1,%2 %3x%4").arg(f.x()).arg(f.y()).arg(f.width()).arg(f.height()).toStdString();
    }();
    EXPECT_EQ(m_probe->cardinals(*sidebar, "_NET_WM_STRUT_PARTIAL").value(0), 420u);

    // A move goes back to the edge and keeps the width.
    xdotool({QStringLiteral("windowmove"), id, QStringLiteral("300"), QStringLiteral("120")});
    EXPECT_TRUE(frameBecomes(*sidebar, QRect(0, 0, 420, 1000)));
    EXPECT_EQ(storedWidth(), 420);
}

// The X server going away ends the run at once, not in a crash or a hang:
// what was edited is in the database and the data root is free again.
TEST_F(TarniBarShellTest, LosingTheXServerEndsTheRunWithTheEditsSavedAndTheLockReleased)
{
    SessionBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << bus.error().toStdString();
    const pid_t pid = startApplication({QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + bus.address()});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(m_probe->waitForClient(QStringLiteral("Tarni Bar")));
    const QString service = bus::serviceNameForDataRoot(path("root").toStdString());
    auto addGroup = [&] {
        const pid_t gdbus = spawnProcess(
            QStringLiteral("gdbus"),
            {QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("--dest"), service,
             QStringLiteral("--object-path"), QString::fromLatin1(bus::kObjectPath), QStringLiteral("--method"),
             QString::fromLatin1(bus::kInterface) + QStringLiteral(".AddNode"), QStringLiteral("group"),
             QStringLiteral("Made before the end"), QString(), QStringLiteral("{}")},
            {QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + bus.address()});
        int status = -1;
        ::waitpid(gdbus, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    ASSERT_TRUE(X11Probe::waitFor(addGroup, 20000)) << "the application never took the edit";

    m_probe.reset();
    ::kill(m_session->serverPid(), SIGKILL);
    int status = -1;
    ASSERT_TRUE(X11Probe::waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10000))
        << "still running without its X server";
    m_children.removeAll(pid);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_FALSE(InstanceLock::isHeldByAnyone(path("root").toStdString()));

    WorkspaceStore store(std::filesystem::path(path("root").toStdString()) / kWorkspaceDatabaseName);
    const auto workspace = store.fetchOrCreateDefaultWorkspace();
    ASSERT_TRUE(workspace);
    const auto nodes = store.fetchNodes(workspace->id);
    ASSERT_TRUE(nodes);
    EXPECT_TRUE(std::any_of(nodes->begin(), nodes->end(),
                            [](const WorkspaceNode &node) { return node.title() == QStringLiteral("Made before the end"); }));
}

// A new window manager learns the sidebar's reservation from the window,
// without a restart of the application.
TEST_F(TarniBarShellTest, ARestartedWindowManagerReservesTheLeftEdgeAgain)
{
    ASSERT_GT(startApplication(), 0);
    const auto sidebar = m_probe->waitForClient(QStringLiteral("Tarni Bar"));
    ASSERT_TRUE(sidebar);
    const QRect reserved(kDefaultWidth, 0, 1600 - kDefaultWidth, 1000);
    ASSERT_TRUE(X11Probe::waitFor([&] { return workArea() == reserved; }));

    m_session->stopWindowManager();
    // What the old window manager left behind must not count.
    m_probe->deleteProperty(XCB_WINDOW_NONE, "_NET_WORKAREA");
    QString error;
    ASSERT_TRUE(m_session->startWindowManager(&error)) << error.toStdString();

    EXPECT_TRUE(X11Probe::waitFor([&] { return workArea() == reserved; }, 5000))
        << workArea().x() << "," << workArea().y() << " " << workArea().width() << "x" << workArea().height();
    EXPECT_TRUE(frameBecomes(*sidebar, QRect(0, 0, kDefaultWidth, 1000)));
    EXPECT_EQ(m_probe->desktopOf(*sidebar), 0xFFFFFFFFu);
}

} // namespace
