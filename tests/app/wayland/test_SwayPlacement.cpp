// The application on sway, started headless by the test as an unprivileged
// user (sway refuses root) with XWayland: the sidebar docks through sway's
// IPC, a native Wayland viewer of an opened file lands beside it and goes
// back into the layout at quit, and the left gap the sidebar takes comes
// back as it was, after a quit and after a kill.

#include "XvfbSession.h"

#include "SessionBus.h"

#include "app/ApplicationBusNames.h"
#include "platform/sway/SwayIpc.h"
#include "platform/sway/SwayWindows.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tarni;
using namespace tarni::test;

namespace {

constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;
// 20 % of the screen's width, at least 300.
constexpr int kDefaultSidebarWidth = 300;

bool waitFor(const std::function<bool()> &condition, int timeoutMs = 10000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

std::string describe(const std::optional<SwayView> &view)
{
    if (!view)
        return "no window";
    const QRectF &f = view->window.frame;
    return QStringLiteral("%1,%2 %3x%4%5").arg(f.x()).arg(f.y()).arg(f.width()).arg(f.height())
        .arg(view->window.tiled ? QStringLiteral(" tiled") : QStringLiteral(" floating")).toStdString();
}

class SwayPlacementTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        for (const char *program : {"sway", "Xwayland", "xhost", "setpriv", "gdbus"})
            ASSERT_FALSE(QStandardPaths::findExecutable(QLatin1String(program)).isEmpty())
                << program << " is missing: run scripts/install-deps.sh";
        const passwd *nobody = ::getpwnam("nobody");
        ASSERT_TRUE(nobody);
        ASSERT_FALSE(m_bus.address().isEmpty()) << m_bus.error().toStdString();
        // sway's runtime folder belongs to it; ours stays private to us.
        ASSERT_TRUE(QDir().mkpath(path("sway")) && QDir().mkpath(path("run")));
        ASSERT_EQ(::chmod(m_dir.path().toLocal8Bit().constData(), 0711), 0);
        ASSERT_EQ(::chown(path("sway").toLocal8Bit().constData(), nobody->pw_uid, nobody->pw_gid), 0);
        ASSERT_EQ(::chmod(path("sway").toLocal8Bit().constData(), 0700), 0);
        QFile::setPermissions(path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // XWayland lets in its own user only; xhost, run by sway as that
        // user, lets us in, and the display's name is written down for us.
        QFile config(path("sway.conf"));
        ASSERT_TRUE(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral("output HEADLESS-1 resolution %1x%2\nxwayland enable\n"
                                    "exec sh -c 'xhost +si:localuser:root >/dev/null && echo \"$DISPLAY\" > %3.new "
                                    "&& mv %3.new %3'\n")
                         .arg(kScreenWidth).arg(kScreenHeight).arg(path("sway/display")).toUtf8());
        config.close();
        config.setPermissions(QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        // A process that changed its user does not get the signal its parent's
        // death would send: the time limit ends sway after a crashed test.
        m_compositor = spawnProcess(
            QStringLiteral("setpriv"),
            {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"), QStringLiteral("--clear-groups"),
             QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("unset SWAYSOCK; exec timeout 150 sway -c \"$0\" 2>\"$1\""),
             path("sway.conf"), path("sway/sway.log")},
            {QStringLiteral("XDG_RUNTIME_DIR=") + path("sway"), QStringLiteral("HOME=") + path("sway"),
             QStringLiteral("WLR_BACKENDS=headless"), QStringLiteral("WLR_RENDERER=pixman"),
             QStringLiteral("WLR_LIBINPUT_NO_DEVICES=1"), QStringLiteral("DISPLAY="), QStringLiteral("WAYLAND_DISPLAY="),
             QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + m_bus.address()});
        ASSERT_GT(m_compositor, 0);
        ASSERT_TRUE(waitFor([&] {
            const QDir dir(path("sway"));
            const QStringList sockets = dir.entryList({QStringLiteral("sway-ipc.*.sock")}, QDir::System);
            const QStringList wayland = dir.entryList({QStringLiteral("wayland-?")}, QDir::System);
            const QString display = readFile("sway/display");
            if (sockets.isEmpty() || wayland.isEmpty() || display.isEmpty())
                return false;
            m_socket = dir.filePath(sockets.first());
            m_wayland = dir.filePath(wayland.first());
            m_display = display;
            return true;
        }, 20000)) << "sway did not start: "
                   << QDir(path("sway")).entryList(QDir::AllEntries | QDir::System).join(QLatin1Char(' ')).toStdString()
                   << "\n" << readFile("sway/sway.log").toStdString();
        m_ipc = std::make_unique<SwayIpc>(m_socket.toLocal8Bit());
        ASSERT_TRUE(m_ipc->answers());
    }

    void TearDown() override
    {
        for (pid_t pid : m_children)
            stopProcess(pid);
        for (pid_t pid : m_foreign)
            ::kill(pid, SIGTERM);
        if (m_compositor > 0)
            stopProcess(m_compositor, 5000);
    }

    QString path(const char *relative) const { return m_dir.filePath(QLatin1String(relative)); }
    QString readFile(const char *relative) const
    {
        QFile file(path(relative));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
    }

    QStringList sessionEnvironment() const
    {
        return {QStringLiteral("XDG_SESSION_TYPE=wayland"), QStringLiteral("XDG_CURRENT_DESKTOP=sway"),
                QStringLiteral("XDG_RUNTIME_DIR=") + path("run"),
                QStringLiteral("WAYLAND_DISPLAY=") + m_wayland, QStringLiteral("DISPLAY=") + m_display,
                QStringLiteral("SWAYSOCK=") + m_socket, QStringLiteral("QT_QPA_PLATFORM="), QStringLiteral("XAUTHORITY="),
                QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + m_bus.address(), asanOptionsForXcbClient(),
                QStringLiteral("HOME=") + m_dir.path(), QStringLiteral("TARNI_UITEST_ROOT=") + path("root"),
                QStringLiteral("XDG_CONFIG_HOME=") + path("config"), QStringLiteral("XDG_DATA_HOME=") + path("data"),
                QStringLiteral("XDG_DATA_DIRS=/usr/share"), QStringLiteral("XDG_CONFIG_DIRS=") + path("etc")};
    }

    pid_t startApplication(const QStringList &extraEnv = {})
    {
        const pid_t pid = spawnProcess(QStringLiteral(TARNIBAR_EXECUTABLE), {}, extraEnv + sessionEnvironment());
        if (pid > 0)
            m_children << pid;
        return pid;
    }

    // A tiled native Wayland window: it fills what the layout leaves free.
    pid_t startTiledWindow()
    {
        // The first of two entries for a variable counts.
        const pid_t pid = spawnProcess(QStringLiteral(TARNI_MAXIMIZED_PROBE), {},
                                       QStringList{QStringLiteral("QT_QPA_PLATFORM=wayland"), QStringLiteral("DISPLAY=")}
                                           + sessionEnvironment());
        if (pid > 0)
            m_children << pid;
        return pid;
    }

    std::optional<QList<SwayView>> views()
    {
        const auto tree = m_ipc->requestJson(SwayIpc::MessageType::getTree);
        return tree ? parseSwayViews(*tree) : std::nullopt;
    }
    std::optional<SwayView> viewOf(pid_t pid)
    {
        for (const SwayView &view : views().value_or(QList<SwayView>()))
            if (view.window.pid == pid)
                return view;
        return std::nullopt;
    }
    std::optional<SwayView> viewTitled(const QString &title)
    {
        for (const SwayView &view : views().value_or(QList<SwayView>()))
            if (view.window.title == title)
                return view;
        return std::nullopt;
    }

    // The sidebar of `app` docked: floating and sticky at the left edge over
    // the output's height. Its width, or 0.
    int dockedSidebarWidth(pid_t app)
    {
        int width = 0;
        waitFor([&] {
            const auto sidebar = viewOf(app);
            if (!sidebar || !sidebar->floating || !sidebar->sticky || sidebar->window.frame.x() != 0
                || sidebar->window.frame.y() != 0 || sidebar->window.frame.height() != kScreenHeight)
                return false;
            width = int(sidebar->window.frame.width());
            return width > 0;
        }, 20000);
        return width;
    }

    // Where the tiled window starts, once it starts at `left`.
    bool tiledWindowStartsAt(pid_t window, int left)
    {
        return waitFor([&] {
            const auto view = viewOf(window);
            return view && view->window.tiled && view->window.frame.x() == left
                && view->window.frame.right() == kScreenWidth;
        });
    }

    std::optional<QString> call(const QString &method, const QString &argument = {})
    {
        const QString command = QStringLiteral("DBUS_SESSION_BUS_ADDRESS='%1' gdbus call --session --dest %2 "
                                               "--object-path %3 --method %4.%5 %6 2>/dev/null")
                                    .arg(m_bus.address(), bus::serviceNameForDataRoot(path("root").toStdString()),
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

    bool exited(pid_t pid, int timeoutMs)
    {
        int status = 0;
        const bool gone = waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs);
        if (gone)
            m_children.removeAll(pid);
        return gone;
    }

    QTemporaryDir m_dir;
    SessionBus m_bus;
    pid_t m_compositor = -1;
    QString m_socket;
    QString m_wayland;
    QString m_display;
    std::unique_ptr<SwayIpc> m_ipc;
    QList<pid_t> m_children;
    QList<pid_t> m_foreign;
};

TEST_F(SwayPlacementTest, SidebarDocksAnOpenedViewerLandsBesideItAndQuitPutsEverythingBack)
{
    const pid_t tiled = startTiledWindow();
    ASSERT_TRUE(tiledWindowStartsAt(tiled, 0)) << describe(viewOf(tiled));

    // A viewer for text files: the probe, as a native Wayland client.
    auto write = [](const QString &file, const QByteArray &content) {
        QDir().mkpath(QFileInfo(file).path());
        QFile out(file);
        return out.open(QIODevice::WriteOnly) && out.write(content) == content.size();
    };
    ASSERT_TRUE(write(path("data/applications/probe-viewer.desktop"),
                      "[Desktop Entry]\nType=Application\nName=Viewer\nExec=env QT_QPA_PLATFORM=wayland "
                      TARNI_MAXIMIZED_PROBE " %f\n"));
    ASSERT_TRUE(write(path("config/mimeapps.list"), "[Default Applications]\ntext/plain=probe-viewer.desktop\n"));
    const QString file = path("docs/placed.txt");
    ASSERT_TRUE(write(file, "hello\n"));

    const pid_t app = startApplication();
    ASSERT_GT(app, 0);
    const int width = dockedSidebarWidth(app);
    ASSERT_GT(width, 0) << "the sidebar did not dock: " << describe(viewOf(app));
    EXPECT_TRUE(tiledWindowStartsAt(tiled, width)) << "the tiled window " << describe(viewOf(tiled));
    EXPECT_TRUE(waitFor([&] { return readFile("root/sway-docking.json").contains(QString::number(width)); }))
        << "what the dock changed is not written down: " << readFile("root/sway-docking.json").toStdString();

    ASSERT_TRUE(waitFor([&] { return call(QStringLiteral("DataRoot")).has_value(); }, 20000));
    const auto node = call(QStringLiteral("AddFile"), file);
    ASSERT_TRUE(node && node->size() > 40) << "AddFile answered " << node.value_or(QString()).toStdString();
    ASSERT_TRUE(call(QStringLiteral("Open"), node->section(QLatin1Char('\''), 1, 1)));
    const QString title = QStringLiteral("placed.txt - probe viewer");
    ASSERT_TRUE(waitFor([&] { return viewTitled(title).has_value(); })) << "the viewer did not show the file";
    const pid_t viewer = viewTitled(title)->window.pid;
    m_foreign << viewer;
    const QRectF content(width, 0, kScreenWidth - width, kScreenHeight);
    EXPECT_TRUE(waitFor([&] {
        const auto placed = viewTitled(title);
        return placed && placed->floating && placed->window.frame == content;
    })) << "the viewer " << describe(viewTitled(title));

    // Quit: the viewer goes back into the layout, beside the other tiled
    // window, and the gap is gone.
    ASSERT_TRUE(call(QStringLiteral("Quit")));
    ASSERT_TRUE(exited(app, 20000));
    EXPECT_TRUE(waitFor([&] {
        const auto a = viewOf(tiled);
        const auto b = viewTitled(title);
        return a && b && a->window.tiled && b->window.tiled
            && std::min(a->window.frame.left(), b->window.frame.left()) == 0
            && a->window.frame.width() + b->window.frame.width() == kScreenWidth;
    })) << "the tiled window " << describe(viewOf(tiled)) << ", the viewer " << describe(viewTitled(title));
    EXPECT_FALSE(QFileInfo::exists(path("root/sway-docking.json")));
}

TEST_F(SwayPlacementTest, TheStartAfterAKillTakesTheGapItLeftAway)
{
    const pid_t tiled = startTiledWindow();
    ASSERT_TRUE(tiledWindowStartsAt(tiled, 0)) << describe(viewOf(tiled));
    const pid_t first = startApplication();
    const int width = dockedSidebarWidth(first);
    ASSERT_GT(width, 0) << "the sidebar did not dock: " << describe(viewOf(first));
    ASSERT_TRUE(tiledWindowStartsAt(tiled, width)) << describe(viewOf(tiled));

    ::kill(first, SIGKILL);
    ASSERT_TRUE(exited(first, 5000));
    // Nothing is left to give the edge back but the next start.
    ASSERT_TRUE(waitFor([&] { return !viewOf(first); }));
    EXPECT_TRUE(tiledWindowStartsAt(tiled, width));

    const pid_t second = startApplication();
    ASSERT_EQ(dockedSidebarWidth(second), width);
    EXPECT_TRUE(tiledWindowStartsAt(tiled, width)) << "the gap is not the sidebar's width alone: "
                                                   << describe(viewOf(tiled));
    // Resized as a floating window, the sidebar keeps its new width and the
    // gap follows it, on the workspaces there are and on those made later.
    // (Once the application has finished starting, which places the sidebar
    // once more: slow under the sanitizers.)
    ASSERT_TRUE(waitFor([&] { return call(QStringLiteral("DataRoot")).has_value(); }, 20000));
    const auto sidebar = viewOf(second);
    ASSERT_TRUE(sidebar);
    const int resized = width + 100;
    ASSERT_TRUE(m_ipc->runCommand("[con_id=" + QByteArray::number(quint64(sidebar->window.handle)) + "] resize set "
                                  + QByteArray::number(resized) + ' ' + QByteArray::number(kScreenHeight)));
    EXPECT_TRUE(tiledWindowStartsAt(tiled, resized)) << describe(viewOf(tiled));
    ASSERT_TRUE(m_ipc->runCommand("workspace 2"));
    const pid_t onNewWorkspace = startTiledWindow();
    EXPECT_TRUE(tiledWindowStartsAt(onNewWorkspace, resized)) << describe(viewOf(onNewWorkspace));

    ASSERT_TRUE(call(QStringLiteral("Quit")));
    ASSERT_TRUE(exited(second, 20000));
    EXPECT_TRUE(tiledWindowStartsAt(tiled, 0)) << describe(viewOf(tiled));
    EXPECT_TRUE(tiledWindowStartsAt(onNewWorkspace, 0)) << describe(viewOf(onNewWorkspace));
    ASSERT_TRUE(m_ipc->runCommand("workspace 3"));
    const pid_t afterQuit = startTiledWindow();
    EXPECT_TRUE(tiledWindowStartsAt(afterQuit, 0)) << describe(viewOf(afterQuit));
}

// Without XWayland (or with the platform chosen by the user) the sidebar is a
// native Wayland window, which sway lays out as a tiled one until it floats:
// that first size must not be taken for the user's width.
TEST_F(SwayPlacementTest, ANativeWaylandSidebarDocksAtItsOwnWidth)
{
    const pid_t app = startApplication({QStringLiteral("QT_QPA_PLATFORM=wayland"), QStringLiteral("DISPLAY=")});
    EXPECT_EQ(dockedSidebarWidth(app), kDefaultSidebarWidth) << describe(viewOf(app));
    const pid_t tiled = startTiledWindow();
    EXPECT_TRUE(tiledWindowStartsAt(tiled, kDefaultSidebarWidth)) << describe(viewOf(tiled)) << [&] {
        std::string all;
        for (const SwayView &v : views().value_or(QList<SwayView>()))
            all += " | " + v.window.title.toStdString() + " " + std::to_string(v.window.pid) + " " + describe(v);
        return all;
    }();
}

} // namespace
