// Opening a file node for real: xdg-open starts the default application, and
// only the window it shows is moved into the content area and back.

#include "OpeningTestSupport.h"
#include "X11Probe.h"
#include "XvfbSession.h"

#include "opening/FileProviders.h"
#include "platform/x11/X11WindowController.h"
#include "platform/xdg/XdgExternalOpener.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace tarni;
using namespace tarni::test;

namespace {

const QRect contentArea(384, 0, 1536, 1080);

class OpenedWindowPlacementTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QString error;
        m_session = test::XvfbSession::start(&error);
        ASSERT_TRUE(m_session) << "cannot start the X server for this test: " << error.toStdString();
        m_probe = std::make_unique<X11Probe>(m_session->display());

        // The viewer is our test client under a name of its own, so that
        // the same client started from the build tree counts as another
        // application. Folders open with a program that shows no window.
        m_viewer = path("bin/tarni-test-viewer");
        QDir().mkpath(path("bin"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(TARNI_TEST_WINDOW), m_viewer));
        QFile(m_viewer).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        ASSERT_TRUE(writeFile(path("data/applications/test-viewer.desktop"),
                              "[Desktop Entry]\nType=Application\nName=Viewer\nExec=" + m_viewer.toUtf8() + " %f\n"));
        ASSERT_TRUE(writeFile(path("data/applications/test-silent.desktop"),
                              "[Desktop Entry]\nType=Application\nName=Silent\nExec=/bin/true %f\n"));
        ASSERT_TRUE(writeFile(path("config/mimeapps.list"), "[Default Applications]\ntext/plain=test-viewer.desktop\n"
                                                             "inode/directory=test-silent.desktop\n"));
        QDir().mkpath(path("etc"));

        QProcessEnvironment env =
            privateDesktop(m_dir.path(), QStringLiteral("/usr/share"), QProcessEnvironment::systemEnvironment());
        env.insert(QStringLiteral("DISPLAY"), m_session->display());
        m_opener = std::make_unique<XdgExternalOpener>(XdgExternalOpener::Options{env, QStringLiteral("xdg-open"), 3000});
        m_windows = std::make_unique<AsyncWindowController>(std::make_unique<X11WindowController>(
            m_registry, X11WindowController::Options{m_session->display().toLocal8Bit(), DefaultApplicationLookup(env), 500, nullptr}));
    }

    void TearDown() override
    {
        m_windows.reset();
        // The viewer is xdg-open's child, not ours; xdg-open ends with it.
        for (pid_t pid : m_foreign)
            ::kill(pid, SIGTERM);
        for (pid_t pid : m_children)
            test::stopProcess(pid);
        m_probe.reset();
        m_session.reset();
    }

    QString path(const char *relative) const { return m_dir.filePath(QLatin1String(relative)); }

    xcb_window_t show(const QString &program, const QString &title, const QString &geometry, QStringList extra = {})
    {
        const bool xterm = program.endsWith(QStringLiteral("xterm"));
        QStringList arguments{xterm ? QStringLiteral("-T") : QStringLiteral("--title"), title,
                              xterm ? QStringLiteral("-geometry") : QStringLiteral("--geometry"), geometry};
        const pid_t pid = test::spawnProcess(program, arguments + extra, {QStringLiteral("DISPLAY=") + m_session->display()});
        EXPECT_GT(pid, 0);
        m_children << pid;
        const auto window = m_probe->waitForClient(title);
        EXPECT_TRUE(window) << "no window titled " << title.toStdString();
        return window.value_or(XCB_WINDOW_NONE);
    }

    QRect frame(xcb_window_t window) { return m_probe->frame(window).value_or(QRect()); }

    OpenContext inContentArea() const
    {
        OpenContext context;
        context.contentRect = QRectF(contentArea);
        return context;
    }

    QTemporaryDir m_dir;
    std::unique_ptr<test::XvfbSession> m_session;
    std::unique_ptr<X11Probe> m_probe;
    ManagedWindowRegistry m_registry;
    std::unique_ptr<XdgExternalOpener> m_opener;
    std::unique_ptr<AsyncWindowController> m_windows;
    QString m_viewer;
    QList<pid_t> m_children;
    QList<pid_t> m_foreign;
};

TEST_F(OpenedWindowPlacementTest, OnlyTheWindowTheOpenCreatedIsMovedAndPutBack)
{
    // An older window of the same viewer, and another application in front.
    const xcb_window_t older = show(m_viewer, QStringLiteral("older"), QStringLiteral("400x300+900+500"));
    const xcb_window_t other =
        show(QStringLiteral(TARNI_TEST_WINDOW), QStringLiteral("someone else"), QStringLiteral("300x200+1200+700"));
    m_probe->activate(other);
    ASSERT_TRUE(X11Probe::waitFor([&] { return m_probe->activeWindow() == other; }));
    const QRect olderBefore = frame(older);
    const QRect otherBefore = frame(other);

    const QString file = path("docs/notes.txt");
    ASSERT_TRUE(writeFile(file, "hello\n"));
    FileProvider provider(*m_opener, m_windows.get());
    const OpenOutcome opened = runTask(provider.open(test::file(file), inContentArea()));
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(*opened, OpenResult::success(QStringLiteral("Opened file"), QUrl::fromLocalFile(file)));

    const auto viewer = m_probe->waitForClient(QStringLiteral("notes.txt"));
    ASSERT_TRUE(viewer) << "xdg-open did not start the viewer";
    if (const auto pid = m_probe->pidOf(*viewer))
        m_foreign << *pid;
    EXPECT_EQ(frame(*viewer), contentArea);
    EXPECT_EQ(frame(older), olderBefore);
    EXPECT_EQ(frame(other), otherBefore);
    const auto record = m_registry.record(file);
    ASSERT_TRUE(record && record->originalFrame);
    EXPECT_EQ(record->windowHandle, std::uint64_t(*viewer));
    const QRect viewerBefore = record->originalFrame->toRect();

    EXPECT_EQ(runTask(m_windows->restoreManagedWindows()), 1);
    EXPECT_EQ(frame(*viewer), viewerBefore);
    EXPECT_EQ(frame(older), olderBefore);
}

TEST_F(OpenedWindowPlacementTest, AnApplicationThatShowsNoWindowMovesNothing)
{
    const xcb_window_t other =
        show(QStringLiteral(TARNI_TEST_WINDOW), QStringLiteral("someone else"), QStringLiteral("300x200+1200+700"));
    m_probe->activate(other);
    ASSERT_TRUE(X11Probe::waitFor([&] { return m_probe->activeWindow() == other; }));
    const QRect otherBefore = frame(other);

    const QString folder = path("docs/project");
    QDir().mkpath(folder);
    FolderProvider provider(*m_opener, m_windows.get(), 1500);
    const OpenOutcome opened = runTask(provider.open(test::folder(folder), inContentArea()));
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(opened->summary, QStringLiteral("Opened folder"));
    EXPECT_TRUE(m_registry.isEmpty());
    EXPECT_EQ(frame(other), otherBefore);
}

TEST_F(OpenedWindowPlacementTest, AnExistingWindowThatTakesTheItemIsMoved)
{
    // Folders now open in the viewer's window that is already there.
    const QString titleFile = path("title");
    const xcb_window_t window =
        show(m_viewer, QStringLiteral("older"), QStringLiteral("400x300+900+500"), {QStringLiteral("--take-over"), titleFile});
    const auto pid = m_probe->pidOf(window);
    ASSERT_TRUE(pid);
    const QString script = path("bin/take-over");
    ASSERT_TRUE(writeFile(script, "#!/bin/sh\nbasename \"$1\" > " + titleFile.toUtf8() + "\nkill -USR2 "
                                      + QByteArray::number(*pid) + "\n"));
    QFile(script).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    ASSERT_TRUE(writeFile(path("data/applications/test-silent.desktop"),
                          "[Desktop Entry]\nType=Application\nName=T\nExec=" + script.toUtf8()
                              + " %f\nStartupWMClass=TarniTestWindow\n"));
    const xcb_window_t other =
        show(QStringLiteral("/usr/bin/xterm"), QStringLiteral("someone else"), QStringLiteral("40x10+1200+700"));
    m_probe->activate(other);
    ASSERT_TRUE(X11Probe::waitFor([&] { return m_probe->activeWindow() == other; }));
    const QRect otherBefore = frame(other);

    const QString folder = path("docs/project");
    QDir().mkpath(folder);
    FolderProvider provider(*m_opener, m_windows.get());
    ASSERT_TRUE(runTask(provider.open(test::folder(folder), inContentArea()))->succeeded);
    EXPECT_EQ(frame(window), contentArea);
    EXPECT_EQ(frame(other), otherBefore);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
