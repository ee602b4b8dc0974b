// The real application on its own X server with openbox and its own session
// bus, driven the way a script drives it: over the bus. A file opened there
// shows in a viewer that xdg-open starts (our test window, the private
// desktop's default for text), which is placed beside the sidebar and put
// back when the application quits, by Quit() or by SIGTERM, releasing the
// data root. A second start raises the first one's sidebar.

#include "SessionBus.h"
#include "X11Probe.h"
#include "ApplicationBusCall.h"
#include "PrivateDesktop.h"
#include "XvfbSession.h"

#include "app/ApplicationBusNames.h"
#include "common/InstanceLock.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>

using namespace tarni;
using namespace tarni::test;

namespace {

// The screen and the sidebar's default 20 % of it: the content rectangle is
// the rest.
constexpr int kScreenWidth = 1600;
constexpr int kScreenHeight = 1000;
const QRect kContentRect(320, 0, kScreenWidth - 320, kScreenHeight);
const char *const kViewerGeometry = "400x300+900+500";

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

class TarniBarEndToEndTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_FALSE(m_bus.address().isEmpty()) << m_bus.error().toStdString();
        QString error;
        m_session = XvfbSession::start({kScreenWidth, kScreenHeight, true}, &error);
        ASSERT_TRUE(m_session) << "cannot start the X server for this test: " << error.toStdString();
        m_probe = std::make_unique<X11Probe>(m_session->display());
        m_client = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_bus.address(), clientName()));
        ASSERT_TRUE(m_client->isConnected());

        // A desktop of our own whose default application for text files is
        // the test window, always at the same place before it is moved.
        m_viewer = preparePrivateDesktop(m_dir.path(), QStringLiteral(TARNI_TEST_WINDOW), kViewerGeometry);
        ASSERT_FALSE(m_viewer.isEmpty());
    }

    void TearDown() override
    {
        for (pid_t pid : m_foreign)
            ::kill(pid, SIGTERM);
        for (pid_t pid : m_children)
            stopProcess(pid);
        m_client.reset();
        QDBusConnection::disconnectFromBus(clientName());
        m_probe.reset();
        m_session.reset();
    }

    QString clientName() const
    {
        return QStringLiteral("e2e-") + QString::fromLatin1(testing::UnitTest::GetInstance()->current_test_info()->name());
    }

    QString path(const char *relative) const { return m_dir.filePath(QLatin1String(relative)); }

    QStringList environment() const
    {
        return privateDesktopEnvironment(m_dir.path(), m_session->display(), m_bus.address());
    }

    // The application, once it answers on the bus.
    pid_t startApplication()
    {
        const pid_t pid = spawnProcess(QStringLiteral(TARNIBAR_EXECUTABLE), {}, environment());
        if (pid <= 0)
            return pid;
        m_children << pid;
        const bool answers = X11Probe::waitFor(
            [&] { return call("DataRoot", {}, 1000).type() == QDBusMessage::ReplyMessage; }, 20000);
        EXPECT_TRUE(answers) << "the application does not answer on the session bus";
        return answers ? pid : -1;
    }

    QDBusMessage message(const char *method, const QVariantList &arguments = {})
    {
        return applicationMethodCall(path("root").toStdString(), method, arguments);
    }

    QDBusMessage call(const char *method, const QVariantList &arguments = {}, int timeoutMs = 30000)
    {
        return m_client->call(message(method, arguments), QDBus::Block, timeoutMs);
    }

    QString answer(const char *method, const QVariantList &arguments = {})
    {
        const QDBusMessage reply = call(method, arguments);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << method << ": " << reply.errorMessage().toStdString();
        return reply.arguments().value(0).toString();
    }

    QRect frame(xcb_window_t window) { return m_probe->frame(window).value_or(QRect()); }

    // Where openbox puts the viewer before anyone moves it.
    QRect viewerHomeFrame()
    {
        const pid_t pid = spawnProcess(m_viewer, {QStringLiteral("--geometry"), QString::fromLatin1(kViewerGeometry),
                                                  QStringLiteral("--title"), QStringLiteral("reference")},
                                       {QStringLiteral("DISPLAY=") + m_session->display()});
        const auto window = m_probe->waitForClient(QStringLiteral("reference"));
        const QRect home = window ? frame(*window) : QRect();
        stopProcess(pid);
        if (window)
            m_probe->waitUntilGone(*window);
        return home;
    }

    // Adds a text file, opens it over the bus and waits for its viewer to
    // stand in the content rectangle.
    std::optional<xcb_window_t> openViewer()
    {
        const QString file = path("docs/notes.txt");
        EXPECT_TRUE(writeFile(file, "hello\n"));
        const QString id = answer("AddFile", {file});
        EXPECT_FALSE(id.isEmpty());
        // The open waits for the viewer's window; the application answers
        // other calls meanwhile.
        QDBusPendingCall open = m_client->asyncCall(message("Open", {id}), 30000);
        EXPECT_EQ(call("State").type(), QDBusMessage::ReplyMessage);
        EXPECT_FALSE(open.isFinished());
        open.waitForFinished();
        EXPECT_EQ(open.reply().arguments().value(0).toString(), QStringLiteral("Opened file"))
            << open.reply().errorMessage().toStdString();
        const auto viewer = m_probe->waitForClient(QStringLiteral("notes.txt"));
        EXPECT_TRUE(viewer) << "xdg-open did not start the viewer";
        if (!viewer)
            return std::nullopt;
        if (const auto pid = m_probe->pidOf(*viewer))
            m_foreign << *pid;
        EXPECT_TRUE(X11Probe::waitFor([&] { return frame(*viewer) == kContentRect; }, 5000))
            << "viewer frame " << frame(*viewer).x() << "," << frame(*viewer).y() << " " << frame(*viewer).width()
            << "x" << frame(*viewer).height();
        return viewer;
    }

    // Waits for the application to end; its exit status.
    std::optional<int> exitStatus(pid_t pid, int timeoutMs = 10000)
    {
        int status = -1;
        if (!X11Probe::waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs))
            return std::nullopt;
        m_children.removeAll(pid);
        return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::optional<int>(-1);
    }

    SessionBus m_bus;
    QTemporaryDir m_dir;
    std::unique_ptr<XvfbSession> m_session;
    std::unique_ptr<X11Probe> m_probe;
    std::unique_ptr<QDBusConnection> m_client;
    QString m_viewer;
    QList<pid_t> m_children;
    QList<pid_t> m_foreign;
};

// Quit() over the bus, or SIGTERM.
class OpenedWindowTest : public TarniBarEndToEndTest, public testing::WithParamInterface<bool> {};

TEST_P(OpenedWindowTest, AnOpenedFileStandsBesideTheSidebarUntilTheApplicationQuits)
{
    const QRect home = viewerHomeFrame();
    ASSERT_TRUE(home.isValid());
    const pid_t app = startApplication();
    ASSERT_GT(app, 0);
    const auto viewer = openViewer();
    ASSERT_TRUE(viewer);
    const auto holder = InstanceLock::currentHolder(path("root").toStdString());
    ASSERT_TRUE(holder);
    EXPECT_EQ(holder->holder, InstanceLock::Holder::application);
    EXPECT_EQ(holder->pid, app);

    if (GetParam())
        ::kill(app, SIGTERM);
    else
        EXPECT_EQ(call("Quit").type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(exitStatus(app), 0);
    EXPECT_EQ(frame(*viewer), home);
    EXPECT_FALSE(InstanceLock::isHeldByAnyone(path("root").toStdString()));
}

INSTANTIATE_TEST_SUITE_P(QuitOrSigterm, OpenedWindowTest, testing::Bool());

TEST_F(TarniBarEndToEndTest, ASecondStartRaisesTheRunningApplication)
{
    const pid_t app = startApplication();
    ASSERT_GT(app, 0);

    const pid_t second = spawnProcess(QStringLiteral(TARNIBAR_EXECUTABLE), {}, environment());
    ASSERT_GT(second, 0);
    m_children << second;
    EXPECT_EQ(exitStatus(second), 0);
    const auto sidebar = m_probe->waitForClient(QStringLiteral("Tarni Bar"));
    ASSERT_TRUE(sidebar);
    EXPECT_TRUE(X11Probe::waitFor([&] { return m_probe->activeWindow() == sidebar; }))
        << "the second start did not raise the sidebar";
    EXPECT_EQ(::waitpid(app, nullptr, WNOHANG), 0) << "the first application ended";
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
