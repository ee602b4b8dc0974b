#include "OpeningTestSupport.h"
#include "X11Probe.h"
#include "XvfbSession.h"

#include "platform/x11/ScreenFrames.h"
#include "platform/x11/X11WindowController.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <limits>
#include <sys/wait.h>

using namespace tarni;
using tarni::test::X11Probe;

namespace {

const QRect contentArea(384, 0, 1536, 1080);

std::string describe(const QRect &r)
{
    return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()).toStdString();
}

class X11WindowControllerTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QString error;
        m_session = test::XvfbSession::start(&error);
        if (!m_session)
            GTEST_FAIL() << "cannot start the X server for this test: " << error.toStdString();
        m_probe = std::make_unique<X11Probe>(m_session->display());
        ASSERT_TRUE(m_probe->isConnected());
        m_controller = makeController(environment());
    }

    void TearDown() override
    {
        // Processes started by xdg-open are not our children: end them by pid.
        // xdg-open waits for them and ends by itself once they have gone,
        // reaping them on the way.
        for (pid_t pid : m_foreign)
            ::kill(pid, SIGTERM);
        for (pid_t pid : m_launchers) {
            if (X11Probe::waitFor([pid] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 2000))
                m_children.removeAll(pid);
        }
        for (pid_t pid : m_children)
            test::stopProcess(pid);
        m_controller.reset();
        m_probe.reset();
        m_session.reset();
    }

    // Where the controller looks for default applications: folders of this
    // test only, so the machine's own defaults play no part.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment path;
        path.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
        return test::privateDesktop(m_dir.path(), m_dir.filePath(QStringLiteral("share")), path);
    }

    // The window manager answers in milliseconds, but a loaded test machine
    // can hold it back for longer than the product's half second.
    static constexpr int kAnswerTimeoutMs = 2000;

    X11WindowController::Options options(const QProcessEnvironment &env)
    {
        return {m_session->display().toLocal8Bit(), DefaultApplicationLookup(env), kAnswerTimeoutMs, nullptr};
    }

    std::unique_ptr<X11WindowController> makeController(const QProcessEnvironment &env)
    {
        return std::make_unique<X11WindowController>(m_registry, options(env));
    }

    pid_t spawn(const QString &program, const QStringList &arguments, QStringList env = {})
    {
        env << QStringLiteral("DISPLAY=") + m_session->display();
        const pid_t pid = test::spawnProcess(program, arguments, env);
        if (pid > 0)
            m_children << pid;
        return pid;
    }

    // Starts our test client and waits for its window.
    xcb_window_t showWindow(const QString &title, const QStringList &extra = {})
    {
        QStringList arguments{QStringLiteral("--title"), title};
        arguments << extra;
        const pid_t pid = spawn(QStringLiteral(TARNI_TEST_WINDOW), arguments);
        EXPECT_GT(pid, 0);
        const auto window = m_probe->waitForClient(title);
        EXPECT_TRUE(window) << "no window titled " << title.toStdString();
        return window.value_or(XCB_WINDOW_NONE);
    }

    // The window manager may still be giving the focus to a window mapped a
    // moment before, so the window must keep the focus for a while.
    void makeActive(xcb_window_t window)
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_probe->activate(window);
            ASSERT_TRUE(X11Probe::waitFor([&] { return m_probe->activeWindow() == window; }));
            QThread::msleep(300);
            if (m_probe->activeWindow() == window)
                return;
        }
        FAIL() << "window " << window << " does not keep the focus";
    }

    // Shows our test client at the given X geometry and gives it the focus.
    xcb_window_t showActive(const QString &title, const QString &geometry = {})
    {
        const xcb_window_t window =
            showWindow(title, geometry.isEmpty() ? QStringList() : QStringList{QStringLiteral("--geometry"), geometry});
        makeActive(window);
        return window;
    }

    // Names a window by its own record, for windows that cannot be active.
    void registerByHandle(const QString &identifier, xcb_window_t window)
    {
        m_registry.registerWindow(identifier, ManagedWindowRegistry::Registration{std::nullopt, m_probe->pidOf(window),
                                                                                  std::nullopt, std::nullopt, window});
    }

    QRect frame(xcb_window_t window) { return m_probe->frame(window).value_or(QRect()); }

    QTemporaryDir m_dir;
    std::unique_ptr<test::XvfbSession> m_session;
    std::unique_ptr<X11Probe> m_probe;
    ManagedWindowRegistry m_registry;
    std::unique_ptr<X11WindowController> m_controller;
    QList<pid_t> m_children;
    QList<pid_t> m_foreign;
    QList<pid_t> m_launchers;
};

} // namespace

TEST_F(X11WindowControllerTest, MovesTheOuterFrameExactlyOntoTheTargetAndRestoresTheFrameBeforeTheFirstMove)
{
    const xcb_window_t window = showActive(QStringLiteral("one.txt"), QStringLiteral("500x400+200+150"));
    const QRect before = frame(window);

    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("/nowhere/one.txt"), QRectF(contentArea)));
    EXPECT_EQ(frame(window), contentArea);

    const auto record = m_registry.record(QStringLiteral("/nowhere/one.txt"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->originalFrame, QRectF(before));
    EXPECT_EQ(record->currentFrame, QRectF(contentArea));
    EXPECT_EQ(record->appPID, m_probe->pidOf(window));
    EXPECT_EQ(record->windowTitle, QStringLiteral("one.txt"));
    EXPECT_EQ(record->windowHandle, window);

    // Moving onto the frame it already has is a success, not a timeout.
    EXPECT_TRUE(m_controller->moveWindow(QStringLiteral("/nowhere/one.txt"), QRectF(contentArea)));

    // Targets no window can take are refused before anything is asked.
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for (const QRectF &bad : {QRectF(384, 0, 0, 1080), QRectF(384, 0, 1536, -5), QRectF(nan, 0, 100, 100),
                              QRectF(0, 0, 1e12, 100)}) {
        EXPECT_FALSE(m_controller->moveWindow(QStringLiteral("/nowhere/bad.txt"), bad));
    }
    EXPECT_FALSE(m_registry.record(QStringLiteral("/nowhere/bad.txt")));
    EXPECT_EQ(frame(window), contentArea);

    // A second move of the same identifier; the restore goes back past both.
    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("/nowhere/one.txt"), QRectF(400, 20, 1000, 800)));
    EXPECT_EQ(frame(window), QRect(400, 20, 1000, 800));
    EXPECT_EQ(m_controller->restoreManagedWindows(), 1);
    EXPECT_EQ(frame(window), before);
    EXPECT_TRUE(m_registry.isEmpty());
    EXPECT_EQ(m_controller->restoreManagedWindows(), 0);
}

TEST_F(X11WindowControllerTest, OwnWindowsAreNeverTheFallback)
{
    // The sidebar may hold the focus when a node is opened; it must not be
    // moved into the content area beside itself.
    const xcb_window_t own = m_probe->createOwnWindow(QStringLiteral("sidebar"));
    ASSERT_TRUE(m_probe->waitForClient(QStringLiteral("sidebar")));
    makeActive(own);
    const QRect before = frame(own);
    EXPECT_FALSE(m_controller->moveWindow(QStringLiteral("/nowhere/unknown.bin"), QRectF(contentArea)));
    EXPECT_TRUE(m_registry.isEmpty());
    EXPECT_EQ(frame(own), before);
}

TEST_F(X11WindowControllerTest, TerminalWithSizeIncrementsLandsOnItsGrid)
{
    spawn(QStringLiteral("xterm"), {QStringLiteral("-T"), QStringLiteral("grid-term"), QStringLiteral("-geometry"),
                                    QStringLiteral("80x24+30+40")});
    const auto window = m_probe->waitForClient(QStringLiteral("grid-term"));
    ASSERT_TRUE(window);
    makeActive(*window);
    const QRect before = frame(*window);

    const QRect target(401, 3, 1001, 701);
    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("terminal"), QRectF(target)));
    const QRect after = frame(*window);
    EXPECT_EQ(after.topLeft(), target.topLeft());
    // One character cell is far below 40 pixels; the grid allows no more.
    EXPECT_LE(std::abs(after.width() - target.width()), 40);
    EXPECT_LE(std::abs(after.height() - target.height()), 40);
    EXPECT_NE(after.size(), before.size());

    EXPECT_EQ(m_controller->restoreManagedWindows(), 1);
    EXPECT_EQ(frame(*window), before);
}

TEST_F(X11WindowControllerTest, MaximisedWindowIsMovedThenRestoredMaximised)
{
    const xcb_window_t window = showActive(QStringLiteral("big.txt"));
    const QRect normal = frame(window);
    m_probe->setMaximized(window, true);
    ASSERT_TRUE(X11Probe::waitFor([&] { return m_probe->hasState(window, "_NET_WM_STATE_MAXIMIZED_VERT"); }));
    ASSERT_TRUE(X11Probe::waitFor([&] { return frame(window) != normal; }));
    const QRect maximised = frame(window);

    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("/w/big.txt"), QRectF(contentArea)));
    EXPECT_FALSE(m_probe->hasState(window, "_NET_WM_STATE_MAXIMIZED_VERT"));
    EXPECT_FALSE(m_probe->hasState(window, "_NET_WM_STATE_MAXIMIZED_HORZ"));
    EXPECT_EQ(frame(window), contentArea);

    EXPECT_EQ(m_controller->restoreManagedWindows(), 1);
    EXPECT_TRUE(m_probe->hasState(window, "_NET_WM_STATE_MAXIMIZED_VERT"));
    EXPECT_TRUE(m_probe->hasState(window, "_NET_WM_STATE_MAXIMIZED_HORZ"));
    EXPECT_TRUE(X11Probe::waitFor([&] { return frame(window) == maximised; })) << describe(frame(window)) << " instead of " << describe(maximised);

    // Unmaximising afterwards still gives the user's own size back.
    m_probe->setMaximized(window, false);
    EXPECT_TRUE(X11Probe::waitFor([&] { return frame(window) == normal; })) << describe(frame(window)) << " instead of " << describe(normal);
}

TEST_F(X11WindowControllerTest, MinimisedWindowIsMovedThenRestoredMinimised)
{
    const xcb_window_t window = showActive(QStringLiteral("small.txt"), QStringLiteral("600x300+700+500"));
    const QRect before = frame(window);
    m_probe->iconify(window);
    ASSERT_TRUE(X11Probe::waitFor([&] { return m_probe->hasState(window, "_NET_WM_STATE_HIDDEN"); }));
    // An iconified window is no longer active; name it by its own record.
    registerByHandle(QStringLiteral("/w/small.txt"), window);

    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("/w/small.txt"), QRectF(contentArea)));
    EXPECT_FALSE(m_probe->hasState(window, "_NET_WM_STATE_HIDDEN"));
    EXPECT_TRUE(m_probe->isViewable(window));
    EXPECT_EQ(frame(window), contentArea);

    EXPECT_EQ(m_controller->restoreManagedWindows(), 1);
    EXPECT_TRUE(m_probe->hasState(window, "_NET_WM_STATE_HIDDEN"));
    // Where it shows again when the user brings it back.
    // openbox animates de-iconifying: the frame grows back from its title bar.
    // Under the sanitizers on a loaded machine the animation alone can take
    // seconds.
    m_probe->activate(window);
    EXPECT_TRUE(X11Probe::waitFor([&] { return frame(window) == before; }, 10000))
        << describe(frame(window)) << " instead of " << describe(before);
}

TEST_F(X11WindowControllerTest, WindowOnAnotherDesktopComesIntoViewAndGoesBack)
{
    const xcb_window_t window = showActive(QStringLiteral("elsewhere.txt"), QStringLiteral("500x300+600+400"));
    const QRect before = frame(window);
    registerByHandle(QStringLiteral("/w/elsewhere.txt"), window);
    m_probe->sendToDesktop(window, 2);
    ASSERT_TRUE(X11Probe::waitFor([&] { return m_probe->desktopOf(window) == 2u && !m_probe->isViewable(window); }));

    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("/w/elsewhere.txt"), QRectF(contentArea)));
    EXPECT_EQ(m_probe->desktopOf(window), 0u);
    EXPECT_TRUE(m_probe->isViewable(window));
    EXPECT_EQ(frame(window), contentArea);
    EXPECT_FALSE(m_registry.record(QStringLiteral("/w/elsewhere.txt"))->originalState->minimized);

    EXPECT_EQ(m_controller->restoreManagedWindows(), 1);
    EXPECT_EQ(m_probe->desktopOf(window), 2u);
    EXPECT_EQ(frame(window), before);
}

TEST_F(X11WindowControllerTest, UnknownIdentifierFallsBackToTheActiveWindowsProcess)
{
    const xcb_window_t first = showWindow(QStringLiteral("first"), {QStringLiteral("--geometry"), QStringLiteral("300x200+10+10")});
    const xcb_window_t second = showWindow(QStringLiteral("second"), {QStringLiteral("--geometry"), QStringLiteral("300x200+900+600")});
    const QRect firstBefore = frame(first);
    const QRect secondBefore = frame(second);

    makeActive(first);
    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("not a path at all"), QRectF(contentArea)));
    EXPECT_EQ(frame(first), contentArea);
    EXPECT_EQ(frame(second), secondBefore);

    makeActive(second);
    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("/no/such/file.unknown-type"), QRectF(500, 100, 700, 500)));
    EXPECT_EQ(frame(second), QRect(500, 100, 700, 500));
    EXPECT_EQ(frame(first), contentArea);

    EXPECT_EQ(m_controller->restoreManagedWindows(), 2);
    EXPECT_EQ(frame(first), firstBefore);
    EXPECT_EQ(frame(second), secondBefore);
}

TEST_F(X11WindowControllerTest, ProcessComesFromTheXResourceExtensionWithoutNetWmPid)
{
    const xcb_window_t window = showWindow(QStringLiteral("anonymous"), {QStringLiteral("--no-pid")});
    ASSERT_FALSE(m_probe->pidOf(window));
    makeActive(window);
    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("anonymous"), QRectF(contentArea)));
    EXPECT_EQ(frame(window), contentArea);
    EXPECT_EQ(m_registry.record(QStringLiteral("anonymous"))->appPID, m_children.constLast());
}

TEST_F(X11WindowControllerTest, AVanishedWindowKeepsItsRecordAndNoOtherWindowTakesItsPlace)
{
    // One process with two windows: the first one closes after the move.
    const xcb_window_t doomed = showWindow(QStringLiteral("doomed.txt"), {QStringLiteral("--windows"), QStringLiteral("2")});
    const auto sibling = m_probe->waitForClient(QStringLiteral("doomed.txt (2)"));
    ASSERT_TRUE(sibling);
    const pid_t owner = m_children.constLast();
    makeActive(doomed);
    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("/w/doomed.txt"), QRectF(contentArea)));
    const QRect siblingBefore = frame(*sibling);

    ::kill(owner, SIGUSR1);
    ASSERT_TRUE(m_probe->waitUntilGone(doomed));

    EXPECT_EQ(m_controller->restoreManagedWindows(), 0);
    EXPECT_TRUE(m_registry.record(QStringLiteral("/w/doomed.txt")));
    EXPECT_EQ(frame(*sibling), siblingBefore);

    // The whole application goes away too; nothing breaks on later calls.
    test::stopProcess(owner);
    m_children.removeAll(owner);
    EXPECT_EQ(m_controller->restoreManagedWindows(), 0);
    EXPECT_TRUE(m_registry.record(QStringLiteral("/w/doomed.txt")));
    EXPECT_EQ(m_controller->permissionStatus(), PermissionStatus::granted);
}

TEST_F(X11WindowControllerTest, ANewWindowForAKnownIdentifierStartsItsOwnRecord)
{
    const xcb_window_t old = showActive(QStringLiteral("again.txt"), QStringLiteral("300x300+20+20"));
    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("/w/again.txt"), QRectF(contentArea)));
    test::stopProcess(m_children.takeLast());
    ASSERT_TRUE(m_probe->waitUntilGone(old));

    const xcb_window_t reopened = showActive(QStringLiteral("again.txt"), QStringLiteral("640x480+700+300"));
    const QRect before = frame(reopened);
    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("/w/again.txt"), QRectF(contentArea)));
    EXPECT_EQ(frame(reopened), contentArea);
    EXPECT_EQ(m_registry.originalFrame(QStringLiteral("/w/again.txt")), QRectF(before));

    EXPECT_EQ(m_controller->restoreManagedWindows(), 1);
    EXPECT_EQ(frame(reopened), before);
}

TEST_F(X11WindowControllerTest, AStartAfterACrashPutsBackOnlyItsOwnWindowsStillWhereTheyWerePut)
{
    const xcb_window_t left = showActive(QStringLiteral("left.txt"), QStringLiteral("300x200+700+400"));
    const QRect home = frame(left);
    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("/w/left.txt"), QRectF(contentArea)));
    const xcb_window_t taken = showActive(QStringLiteral("taken.txt"), QStringLiteral("300x200+100+600"));
    ASSERT_TRUE(m_controller->moveWindow(QStringLiteral("/w/taken.txt"), QRectF(contentArea)));
    // What the dead process left on disk; one record names the window with
    // another process, as when the id went to somebody else.
    QList<ManagedWindowRecord> recorded = m_registry.recordsNeedingRestore();
    ManagedWindowRecord impostor = recorded.first();
    impostor.identifier = QStringLiteral("/w/impostor.txt");
    impostor.appPID = *impostor.appPID + 1;
    recorded.prepend(impostor);

    // The user moves one of the windows after the crash.
    ManagedWindowRegistry userRegistry;
    X11WindowController user(userRegistry, options(environment()));
    const QRect userPlace(60, 60, 500, 400);
    ASSERT_TRUE(user.moveWindow(QStringLiteral("/w/taken.txt"), QRectF(userPlace)));

    ManagedWindowRegistry nextRegistry;
    X11WindowController next(nextRegistry, options(environment()));
    EXPECT_EQ(next.restoreWindowsLeftBehind(recorded), 1);
    EXPECT_EQ(frame(left), home);
    EXPECT_EQ(frame(taken), userPlace);
    EXPECT_TRUE(nextRegistry.isEmpty());
}

TEST_F(X11WindowControllerTest, WithoutAWindowManagerNothingMovesAndNothingIsRecorded)
{
    m_session->stopWindowManager();
    const pid_t pid = spawn(QStringLiteral(TARNI_TEST_WINDOW), {QStringLiteral("--title"), QStringLiteral("unmanaged")});
    ASSERT_GT(pid, 0);
    QThread::msleep(200);

    EXPECT_EQ(m_controller->permissionStatus(), PermissionStatus::denied);
    EXPECT_FALSE(m_controller->moveWindow(QStringLiteral("unmanaged"), QRectF(contentArea)));
    EXPECT_TRUE(m_registry.isEmpty());
    EXPECT_EQ(m_controller->restoreManagedWindows(), 0);

    // A window manager that starts later is found on the next look.
    QString error;
    ASSERT_TRUE(m_session->startWindowManager(&error)) << error.toStdString();
    m_controller->requestPermissionIfNeeded();
    EXPECT_EQ(m_controller->permissionStatus(), PermissionStatus::granted);
}

TEST_F(X11WindowControllerTest, WithoutADisplayTheStatusIsDenied)
{
    ManagedWindowRegistry registry;
    X11WindowController controller(registry, {QByteArray("not a display name"), DefaultApplicationLookup(environment()), 100, nullptr});
    EXPECT_EQ(controller.permissionStatus(), PermissionStatus::denied);
    EXPECT_FALSE(controller.moveWindow(QStringLiteral("/x"), QRectF(contentArea)));
    EXPECT_EQ(controller.restoreManagedWindows(), 0);
    EXPECT_TRUE(registry.isEmpty());
}

TEST_F(X11WindowControllerTest, FilesAndFoldersResolveToTheWindowsOfTheirDefaultApplications)
{
    // Two programs of ours, installed under different names so that the
    // running processes tell them apart, and made the defaults for plain
    // text and for folders through the test's own mimeapps.list.
    const QString bin = m_dir.filePath(QStringLiteral("bin"));
    QDir().mkpath(bin);
    for (const QString &name : {QStringLiteral("tarni-test-viewer"), QStringLiteral("tarni-test-folders")}) {
        ASSERT_TRUE(QFile::copy(QStringLiteral(TARNI_TEST_WINDOW), bin + u'/' + name));
        QFile(bin + u'/' + name).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QString apps = m_dir.filePath(QStringLiteral("data/applications"));
    ASSERT_TRUE(test::writeFile(apps + QStringLiteral("/test-viewer.desktop"),
                                "[Desktop Entry]\nType=Application\nName=Test Viewer\nExec=" + bin.toUtf8()
                                    + "/tarni-test-viewer %f\nMimeType=text/plain;\n"));
    ASSERT_TRUE(test::writeFile(apps + QStringLiteral("/test-folders.desktop"),
                                "[Desktop Entry]\nType=Application\nName=Test Folders\nExec=" + bin.toUtf8()
                                    + "/tarni-test-folders %f\nMimeType=inode/directory;\n"));
    ASSERT_TRUE(test::writeFile(m_dir.filePath(QStringLiteral("config/mimeapps.list")),
                                "[Default Applications]\ntext/plain=test-viewer.desktop\n"
                                "inode/directory=test-folders.desktop\n"));
    const QString file = m_dir.filePath(QStringLiteral("docs/notes.txt"));
    ASSERT_TRUE(test::writeFile(file, "hello\n"));
    const QString folder = m_dir.filePath(QStringLiteral("docs/project"));
    QDir().mkpath(folder);

    // xdg-open with no desktop environment runs the default's command itself.
    const QStringList xdgEnv{QStringLiteral("XDG_DATA_HOME=") + m_dir.filePath(QStringLiteral("data")),
                             QStringLiteral("XDG_CONFIG_HOME=") + m_dir.filePath(QStringLiteral("config")),
                             QStringLiteral("XDG_DATA_DIRS=/usr/local/share:/usr/share"),
                             QStringLiteral("XDG_CURRENT_DESKTOP="), QStringLiteral("DESKTOP_SESSION="),
                             QStringLiteral("KDE_FULL_SESSION="), QStringLiteral("GNOME_DESKTOP_SESSION_ID=")};
    m_launchers << spawn(QStringLiteral("xdg-open"), {file}, xdgEnv);
    ASSERT_GT(m_launchers.constLast(), 0);
    const auto viewer = m_probe->waitForClient(QStringLiteral("notes.txt"));
    ASSERT_TRUE(viewer) << "xdg-open did not start the test viewer";
    m_launchers << spawn(QStringLiteral("xdg-open"), {folder}, xdgEnv);
    ASSERT_GT(m_launchers.constLast(), 0);
    const auto folders = m_probe->waitForClient(QStringLiteral("project"));
    ASSERT_TRUE(folders) << "xdg-open did not start the test folder application";
    for (const auto window : {*viewer, *folders}) {
        if (const auto pid = m_probe->pidOf(window))
            m_foreign << *pid;
    }

    // Another application holds the focus; the fallback would pick it.
    const xcb_window_t other = showActive(QStringLiteral("someone else"), QStringLiteral("300x200+1200+700"));
    const QRect otherBefore = frame(other);

    ASSERT_TRUE(m_controller->moveWindow(file, QRectF(contentArea)));
    EXPECT_EQ(frame(*viewer), contentArea);
    EXPECT_EQ(m_registry.record(file)->appPID, m_probe->pidOf(*viewer));

    ASSERT_TRUE(m_controller->moveWindow(folder, QRectF(400, 40, 1200, 900)));
    EXPECT_EQ(frame(*folders), QRect(400, 40, 1200, 900));
    EXPECT_EQ(frame(*viewer), contentArea);
    EXPECT_EQ(frame(other), otherBefore);
}

TEST_F(X11WindowControllerTest, VisibleFramesLeaveOutOtherDocksButNotTheSidebarItself)
{
    const xcb_window_t dock = showWindow(QStringLiteral("a dock"), {QStringLiteral("--geometry"), QStringLiteral("250x1080+0+0"),
                                                                   QStringLiteral("--dock-left"), QStringLiteral("250")});
    ScreenFrames frames(m_session->display().toLocal8Bit());
    const QRect monitor(0, 0, 1920, 1080);
    ASSERT_TRUE(X11Probe::waitFor([&] { return frames.visibleFrame(monitor, 0) == QRect(250, 0, 1670, 1080); }))
        << describe(frames.visibleFrame(monitor, 0).value_or(QRect()));
    // The same dock as our own sidebar: its reservation is given back.
    EXPECT_EQ(frames.visibleFrame(monitor, dock), monitor);

    ScreenFrames nowhere("not a display name");
    EXPECT_FALSE(nowhere.visibleFrame(monitor, 0));
}
