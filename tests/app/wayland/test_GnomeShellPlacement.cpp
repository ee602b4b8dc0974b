// GNOME Shell started headless by the test on a private session bus, with
// our extension installed for the user and turned on in the shell's
// settings: the backend lists, places and restores a native Wayland window
// through it.

#include "platform/gnome/GnomeShellExtension.h"
#include "platform/gnome/GnomeShellWindows.h"

#include "SessionBus.h"
#include "XvfbSession.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>

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

std::optional<CompositorWindow> windowTitled(GnomeShellWindows &windows, const QString &title)
{
    const auto list = windows.listWindows();
    if (list)
        for (const CompositorWindow &window : *list)
            if (window.title == title)
                return window;
    return std::nullopt;
}

TEST(GnomeShellWindowList, ReadsTheExtensionsListAndRefusesAMalformedOneWhole)
{
    const QString good = QStringLiteral(
        R"([{"id":4294967297,"pid":-1,"appId":"viewer","title":"a - viewer","x":-20,"y":32,"width":500,"height":350,)"
        R"("focused":true,"maximizedHorizontally":false,"maximizedVertically":true,"minimized":false,"fullscreen":false}])");
    const auto windows = parseGnomeShellWindowList(good);
    ASSERT_TRUE(windows);
    ASSERT_EQ(windows->size(), 1);
    EXPECT_EQ(windows->first().handle, 4294967297u);
    EXPECT_EQ(windows->first().pid, 0);
    EXPECT_EQ(windows->first().frame, QRectF(-20, 32, 500, 350));
    EXPECT_TRUE(windows->first().maximized);
    EXPECT_TRUE(windows->first().focused);
    EXPECT_EQ(parseGnomeShellWindowList(QStringLiteral("[]")), QList<CompositorWindow>());

    // Each spoils the one good entry above.
    const std::pair<const char *, const char *> spoilt[] = {
        {R"("id":4294967297)", R"("id":0)"},
        {R"("id":4294967297)", R"("id":1.5)"},
        {R"("id":4294967297)", R"("id":18014398509481984)"},
        {R"("id":4294967297)", R"("id":"4294967297")"},
        {R"("pid":-1)", R"("pid":4294967296)"},
        {R"("width":500)", R"("width":1e9)"},
        {R"("x":-20)", R"("x":null)"},
        {R"("title":"a - viewer")", R"("title":7)"},
        {R"("fullscreen":false)", R"("fullscreen":0)"},
        {R"("focused":true,)", ""},
    };
    for (const auto &[from, to] : spoilt) {
        QString text = good;
        text.replace(QLatin1String(from), QLatin1String(to));
        EXPECT_FALSE(parseGnomeShellWindowList(text)) << to;
    }
    for (const char *text : {"{}", "[1]", "[", "", "null"})
        EXPECT_FALSE(parseGnomeShellWindowList(QLatin1String(text))) << text;
    EXPECT_FALSE(parseGnomeShellWindowList(QLatin1Char('[') + QStringLiteral("{},").repeated(5000) +
                                           QStringLiteral("{}]")));
}

class GnomeShellPlacementTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("gnome-shell")).isEmpty())
            << "gnome-shell is missing: run scripts/install-deps.sh";
        ASSERT_FALSE(m_bus.address().isEmpty()) << m_bus.error().toStdString();
        // The backend talks to the test's bus as the application to the
        // session's; ctest runs each case in a process of its own.
        m_bus.exportAddress();
        ASSERT_TRUE(QDir().mkpath(path("run")));
        QFile::setPermissions(path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QProcess version;
        version.start(QStringLiteral("gnome-shell"), {QStringLiteral("--version")});
        ASSERT_TRUE(version.waitForFinished(10000));
        const QString text = QString::fromUtf8(version.readAllStandardOutput()).trimmed();
        m_shellMajor = text.section(QLatin1Char(' '), -1).section(QLatin1Char('.'), 0, 0).toInt();
        ASSERT_GE(m_shellMajor, 43) << text.toStdString();

        // Installed for the user as the application does, and turned on as
        // the user does, in the settings the shell reads at its start.
        const auto source = bundledGnomeShellExtension(m_dir.path().toStdString(), m_shellMajor);
        ASSERT_TRUE(source);
        QString error;
        ASSERT_TRUE(installGnomeShellExtension(*source, path("data").toStdString(), &error)) << error.toStdString();
        ASSERT_TRUE(QDir().mkpath(path("config/glib-2.0/settings")));
        QFile settings(path("config/glib-2.0/settings/keyfile"));
        ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
        settings.write(QStringLiteral("[org/gnome/shell]\nenabled-extensions=['%1']\ndisable-user-extensions=false\n")
                           .arg(gnomeShellExtensionUuid())
                           .toUtf8());
        settings.close();
    }

    void TearDown() override
    {
        if (m_viewer.state() != QProcess::NotRunning) {
            m_viewer.kill();
            m_viewer.waitForFinished();
        }
        if (m_shell > 0)
            stopProcess(m_shell, 5000);
    }

    void startShell()
    {
        // The shell asks logind on the system bus for the session; given our
        // private bus instead, it finds no logind and carries on without.
        m_shell = spawnProcess(
            QStringLiteral("sh"),
            {QStringLiteral("-c"),
             QStringLiteral("exec gnome-shell --headless --virtual-monitor %1x%2 --wayland --no-x11 "
                            "--wayland-display tarni-test 2>\"$0\"")
                 .arg(kScreenWidth)
                 .arg(kScreenHeight),
             path("shell.log")},
            environment() + QStringList{QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=") + m_bus.address(),
                                        QStringLiteral("GSETTINGS_BACKEND=keyfile"), QStringLiteral("DISPLAY=")});
        ASSERT_GT(m_shell, 0);
    }

    QStringList environment() const
    {
        return {QStringLiteral("XDG_RUNTIME_DIR=") + path("run"), QStringLiteral("HOME=") + m_dir.path(),
                QStringLiteral("XDG_CONFIG_HOME=") + path("config"), QStringLiteral("XDG_DATA_HOME=") + path("data"),
                QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + m_bus.address(),
                QStringLiteral("WAYLAND_DISPLAY=tarni-test")};
    }

    void startViewer(const QString &file)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &entry : environment())
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        env.remove(QStringLiteral("DISPLAY"));
        m_viewer.setProcessEnvironment(env);
        m_viewer.setProcessChannelMode(QProcess::ForwardedChannels);
        m_viewer.start(QStringLiteral(TARNI_MAXIMIZED_PROBE), {file});
        ASSERT_TRUE(m_viewer.waitForStarted());
    }

    std::string log() const
    {
        QFile file(path("shell.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().right(4000).toStdString() : std::string();
    }

    QString path(const char *relative) const { return m_dir.filePath(QLatin1String(relative)); }

    QTemporaryDir m_dir;
    SessionBus m_bus;
    int m_shellMajor = 0;
    pid_t m_shell = -1;
    QProcess m_viewer;
};

TEST_F(GnomeShellPlacementTest, ListsPlacesAndRestoresANativeWindow)
{
    GnomeShellWindows windows;
    EXPECT_FALSE(windows.isAvailable());
    EXPECT_FALSE(gnomeShellMajorVersion(QDBusConnection::sessionBus()));
    EXPECT_FALSE(windows.listWindows());
    ASSERT_NO_FATAL_FAILURE(startShell());
    ASSERT_TRUE(waitFor([&] { return windows.isAvailable(); }, 30000)) << "the extension did not answer:\n" << log();
    EXPECT_EQ(gnomeShellMajorVersion(QDBusConnection::sessionBus()), m_shellMajor);

    ASSERT_NO_FATAL_FAILURE(startViewer(QStringLiteral("notes.txt")));
    const QString title = QStringLiteral("notes.txt - probe viewer");
    std::optional<CompositorWindow> viewer;
    // Listed as soon as it exists, sized once its first frame is drawn.
    ASSERT_TRUE(waitFor([&] { return (viewer = windowTitled(windows, title)) && viewer->frame.width() > 0; }, 15000));
    EXPECT_EQ(viewer->pid, m_viewer.processId());
    EXPECT_EQ(viewer->appId, QStringLiteral("tarni_maximized_probe"));
    EXPECT_FALSE(viewer->maximized || viewer->minimized || viewer->fullscreen);
    const QRectF opened = viewer->frame;

    const QRectF content(300, 50, 700, 500);
    EXPECT_TRUE(windows.placeWindow(viewer->handle, content));
    EXPECT_EQ(windowTitled(windows, title)->frame, content);
    // Refused before anything moves: the extension checks the same limits.
    EXPECT_FALSE(windows.placeWindow(viewer->handle, QRectF(0, 0, 0, 100)));
    EXPECT_FALSE(windows.placeWindow(viewer->handle, QRectF(0, 0, 40000, 100)));
    EXPECT_FALSE(windows.placeWindow(viewer->handle + 1000, content));
    for (const QVariantList &frame : {QVariantList{0, 0, 0, 100}, QVariantList{200000, 0, 100, 100}}) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QLatin1String(kGnomeShellPlacementService), QLatin1String(kGnomeShellPlacementPath),
            QLatin1String(kGnomeShellPlacementInterface), QStringLiteral("PlaceWindow"));
        call.setArguments(QVariantList{QVariant::fromValue(qulonglong(viewer->handle))} + frame);
        const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
        EXPECT_EQ(reply.arguments(), QVariantList{false}) << reply.errorMessage().toStdString();
    }
    EXPECT_EQ(windowTitled(windows, title)->frame, content);

    // Back to the frame it opened with, then maximised again.
    OriginalWindowState maximized;
    maximized.maximizedHorizontally = maximized.maximizedVertically = true;
    EXPECT_TRUE(windows.restoreWindow(viewer->handle, opened, maximized));
    EXPECT_TRUE(windowTitled(windows, title)->maximized);
    EXPECT_TRUE(windows.placeWindow(viewer->handle, content));
    EXPECT_TRUE(windows.restoreWindow(viewer->handle, opened, OriginalWindowState{}));
    const auto restored = windowTitled(windows, title);
    EXPECT_EQ(restored->frame, opened);
    EXPECT_FALSE(restored->maximized);
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
