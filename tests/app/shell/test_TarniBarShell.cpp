// The application as a user starts it, on its own X server with openbox: the
// sidebar's place and reservation at several scales, resizing and moving it,
// the content window's place in the stacking order, a restarted window
// manager, and losing the X server.

#include "X11Probe.h"
#include "XvfbSession.h"

#include "SessionBus.h"

#include "app/ApplicationBusNames.h"
#include "common/DataRoot.h"
#include "common/InstanceLock.h"
#include "storage/WorkspaceStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
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
        // Started by xdg-open, not by us.
        for (pid_t pid : m_foreign)
            ::kill(pid, SIGTERM);
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

    // Runs a method of the application's bus interface; its printed answer.
    std::optional<QString> call(const SessionBus &bus, const QString &method, const QString &argument = {})
    {
        const QString command = QStringLiteral("DBUS_SESSION_BUS_ADDRESS='%1' gdbus call --session --dest %2 "
                                               "--object-path %3 --method %4.%5 %6 2>/dev/null")
                                    .arg(bus.address(), bus::serviceNameForDataRoot(path("root").toStdString()),
                                         QString::fromLatin1(bus::kObjectPath), QString::fromLatin1(bus::kInterface),
                                         method, argument.isEmpty() ? QString() : QLatin1Char('\'') + argument + QLatin1Char('\''));
        FILE *pipe = ::popen(command.toLocal8Bit().constData(), "r");
        if (!pipe)
            return std::nullopt;
        QByteArray output;
        char buffer[512];
        while (const size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
            output.append(buffer, qsizetype(n));
        if (::pclose(pipe) != 0)
            return std::nullopt;
        return QString::fromUtf8(output).trimmed();
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
    QList<pid_t> m_foreign;
};

// Where the sidebar, the reservation and windows beside it lie is checked at
// every scale below (TarniBarScaleTest); here what does not depend on it.
TEST_F(TarniBarShellTest, SidebarIsOnEveryDesktopAndTakesTheFocusWhenClicked)
{
    ASSERT_GT(startApplication(), 0);
    const auto sidebar = m_probe->waitForClient(QStringLiteral("Tarni Bar"));
    ASSERT_TRUE(sidebar);
    EXPECT_TRUE(frameBecomes(*sidebar, QRect(0, 0, kDefaultWidth, 1000))) << "frame differs";
    EXPECT_EQ(m_probe->desktopOf(*sidebar), 0xFFFFFFFFu);
    EXPECT_TRUE(m_probe->hasState(*sidebar, "_NET_WM_STATE_SKIP_TASKBAR"));
    const QList<uint32_t> strut = m_probe->cardinals(*sidebar, "_NET_WM_STRUT_PARTIAL");
    ASSERT_EQ(strut.size(), 12);
    EXPECT_EQ(strut[4], 0u);
    EXPECT_EQ(strut[5], 999u);

    // Started in the foreground, the sidebar has the focus, not the content window.
    EXPECT_TRUE(X11Probe::waitFor([&] { return m_probe->activeWindow() == sidebar; }));

    // Clicking the sidebar takes the keyboard focus back from another window.
    const pid_t xterm = spawnProcess(QStringLiteral("xterm"), {QStringLiteral("-T"), QStringLiteral("other")},
                                     {QStringLiteral("DISPLAY=") + m_session->display()});
    m_children << xterm;
    const auto other = m_probe->waitForClient(QStringLiteral("other"));
    ASSERT_TRUE(other);
    // Asked again while the application may still be finishing its start
    // (slow under the sanitizers), then it must stay with the other window:
    // only the click below may take it back.
    ASSERT_TRUE(X11Probe::waitFor([&] {
        if (m_probe->activeWindow() == other)
            return true;
        m_probe->activate(*other);
        return false;
    }, 10000));
    QThread::msleep(300);
    ASSERT_EQ(m_probe->activeWindow(), other);
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

// The same screen, 1600x1000 device pixels, at the scales users run Qt
// with: the sidebar is 300 logical pixels (20 % of the logical width, at
// least 300), and everything at the X level is in device pixels.
struct Scale {
    const char *name;
    QStringList environment;
    // RESOURCE_MANAGER of the root window, as xrdb would set it.
    QByteArray resources;
    int sidebarWidth;
};

void PrintTo(const Scale &scale, std::ostream *out) { *out << scale.name; }

std::string describe(const std::optional<QRect> &r)
{
    return r ? QStringLiteral("%1,%2 %3x%4").arg(r->x()).arg(r->y()).arg(r->width()).arg(r->height()).toStdString()
             : std::string("none");
}

class TarniBarScaleTest : public TarniBarShellTest, public testing::WithParamInterface<Scale> {};

TEST_P(TarniBarScaleTest, TheReservationAndPlacedWindowsStartWhereTheSidebarEnds)
{
    const Scale &scale = GetParam();
    if (!scale.resources.isEmpty())
        m_probe->setRootText("RESOURCE_MANAGER", scale.resources);
    // A file that opens in our test viewer, which titles its window after it.
    const QString viewer = path("bin/tarni-test-viewer");
    QDir().mkpath(path("bin"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TARNI_TEST_WINDOW), viewer));
    QFile(viewer).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    auto write = [](const QString &file, const QByteArray &content) {
        QDir().mkpath(QFileInfo(file).path());
        QFile out(file);
        return out.open(QIODevice::WriteOnly) && out.write(content) == content.size();
    };
    ASSERT_TRUE(write(path("data/applications/test-viewer.desktop"),
                      "[Desktop Entry]\nType=Application\nName=Viewer\nExec=" + viewer.toUtf8() + " %f\n"));
    ASSERT_TRUE(write(path("config/mimeapps.list"), "[Default Applications]\ntext/plain=test-viewer.desktop\n"));
    const QString file = path("docs/placed.txt");
    ASSERT_TRUE(write(file, "hello\n"));

    SessionBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << bus.error().toStdString();
    ASSERT_GT(startApplication(scale.environment + QStringList{QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + bus.address(),
                                                               QStringLiteral("XDG_DATA_DIRS=/usr/share"),
                                                               QStringLiteral("XDG_CONFIG_DIRS=") + path("etc"),
                                                               QStringLiteral("HOME=") + m_dir.path()}),
              0);
    const int width = scale.sidebarWidth;
    const auto sidebar = m_probe->waitForClient(QStringLiteral("Tarni Bar"));
    ASSERT_TRUE(sidebar);
    EXPECT_TRUE(frameBecomes(*sidebar, QRect(0, 0, width, 1000)))
        << "sidebar " << m_probe->frame(*sidebar).value_or(QRect()).width() << " wide";
    EXPECT_TRUE(X11Probe::waitFor([&] { return m_probe->cardinals(*sidebar, "_NET_WM_STRUT_PARTIAL").value(0) == uint32_t(width); }))
        << "strut " << m_probe->cardinals(*sidebar, "_NET_WM_STRUT_PARTIAL").value(0);
    EXPECT_TRUE(X11Probe::waitFor([&] { return workArea() == QRect(width, 0, 1600 - width, 1000); }))
        << "work area from " << workArea().x();
    const auto content = m_probe->waitForClient(QStringLiteral("Workspace"));
    ASSERT_TRUE(content);
    // Its height can end a device pixel short at odd scales; where it starts is what counts.
    EXPECT_TRUE(X11Probe::waitFor([&] {
        const auto frame = m_probe->frame(*content);
        return frame && frame->left() == width && frame->right() == 1599;
    })) << "content window " << describe(m_probe->frame(*content));

    const pid_t xterm = spawnProcess(QStringLiteral("xterm"), {QStringLiteral("-T"), QStringLiteral("maximised")},
                                     {QStringLiteral("DISPLAY=") + m_session->display()});
    m_children << xterm;
    const auto maximised = m_probe->waitForClient(QStringLiteral("maximised"));
    ASSERT_TRUE(maximised);
    m_probe->setMaximized(*maximised, true);
    EXPECT_TRUE(X11Probe::waitFor([&] {
        const auto frame = m_probe->frame(*maximised);
        return frame && frame->left() == width && frame->right() == 1599;
    })) << "maximised window from " << m_probe->frame(*maximised).value_or(QRect()).left();

    ASSERT_TRUE(X11Probe::waitFor([&] { return call(bus, QStringLiteral("DataRoot")).has_value(); }, 20000));
    const auto node = call(bus, QStringLiteral("AddFile"), file);
    ASSERT_TRUE(node && node->size() > 40) << "AddFile answered " << node.value_or(QString()).toStdString();
    // "('ID',)"
    const QString id = node->section(QLatin1Char('\''), 1, 1);
    ASSERT_TRUE(call(bus, QStringLiteral("Open"), id));
    const auto placed = m_probe->waitForClient(QStringLiteral("placed.txt"));
    ASSERT_TRUE(placed) << "the viewer did not show the file";
    if (const auto pid = m_probe->pidOf(*placed))
        m_foreign << *pid;
    EXPECT_TRUE(frameBecomes(*placed, QRect(width, 0, 1600 - width, 1000)))
        << "opened window from " << m_probe->frame(*placed).value_or(QRect()).x();
}

INSTANTIATE_TEST_SUITE_P(
    Scales, TarniBarScaleTest,
    testing::Values(Scale{"Factor1", {QStringLiteral("QT_SCALE_FACTOR=1")}, {}, 320},
                    Scale{"Factor1_25", {QStringLiteral("QT_SCALE_FACTOR=1.25")}, {}, 375},
                    Scale{"Factor1_5", {QStringLiteral("QT_SCALE_FACTOR=1.5")}, {}, 450},
                    Scale{"Factor2", {QStringLiteral("QT_SCALE_FACTOR=2")}, {}, 600},
                    Scale{"XftDpi192", {}, "Xft.dpi:\t192\n", 600}),
    [](const testing::TestParamInfo<Scale> &info) { return std::string(info.param.name); });

// The content window marks where opened windows go; it stays under the
// user's windows, also when the sidebar comes back, and is no task of its own.
TEST_F(TarniBarShellTest, TheContentWindowStaysBelowTheUsersWindows)
{
    SessionBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << bus.error().toStdString();
    ASSERT_GT(startApplication({QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + bus.address()}), 0);
    const auto sidebar = m_probe->waitForClient(QStringLiteral("Tarni Bar"));
    const auto content = m_probe->waitForClient(QStringLiteral("Workspace"));
    ASSERT_TRUE(sidebar && content);
    for (const char *state : {"_NET_WM_STATE_BELOW", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"})
        EXPECT_TRUE(m_probe->hasState(*content, state)) << state;

    const pid_t xterm = spawnProcess(QStringLiteral("xterm"), {QStringLiteral("-T"), QStringLiteral("mine"),
                                                               QStringLiteral("-geometry"), QStringLiteral("60x20+700+200")},
                                     {QStringLiteral("DISPLAY=") + m_session->display()});
    m_children << xterm;
    const auto mine = m_probe->waitForClient(QStringLiteral("mine"));
    ASSERT_TRUE(mine);
    auto below = [&] {
        const QList<xcb_window_t> order = m_probe->stacking();
        return order.contains(*content) && order.indexOf(*content) < order.indexOf(*mine);
    };
    EXPECT_TRUE(X11Probe::waitFor(below));

    // Closed and shown again, as the launcher or a shortcut does.
    m_probe->requestClose(*sidebar);
    ASSERT_TRUE(X11Probe::waitFor([&] { return !m_probe->isViewable(*content); }));
    ASSERT_TRUE(X11Probe::waitFor([&] { return call(bus, QStringLiteral("ShowSidebar")).has_value(); }, 20000));
    // The sidebar comes back in a new X window; the content window in its old one.
    ASSERT_TRUE(m_probe->waitForClient(QStringLiteral("Tarni Bar")));
    ASSERT_TRUE(X11Probe::waitFor([&] { return m_probe->isViewable(*content); }));
    // Long enough for a raise to have shown.
    EXPECT_FALSE(X11Probe::waitFor([&] { return !below(); }, 500)) << "the content window came over the user's window";
    EXPECT_TRUE(m_probe->hasState(*content, "_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_TRUE(m_probe->hasState(*content, "_NET_WM_STATE_BELOW"));
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
