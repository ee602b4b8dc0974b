// GNOME Shell started headless by the test on a private session bus, with
// our extension installed for the user and turned on in the shell's
// settings: the backend lists, places and restores a native Wayland window
// through it.

#include "platform/gnome/GnomeShellExtension.h"
#include "platform/gnome/GnomeShellWindows.h"
#include "windowing/ManagedWindowStateFile.h"

#include "ApplicationBusCall.h"
#include "SessionBus.h"
#include "XvfbSession.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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
        // No banners: the shell greets root with one that would stay on top.
        settings.write(QStringLiteral("[org/gnome/shell]\nenabled-extensions=['%1']\ndisable-user-extensions=false\n"
                                      "[org/gnome/desktop/notifications]\nshow-banners=false\n")
                           .arg(gnomeShellExtensionUuid())
                           .toUtf8());
        settings.close();
    }

    void TearDown() override
    {
        if (m_probe.state() != QProcess::NotRunning) {
            m_probe.kill();
            m_probe.waitForFinished();
        }
        for (pid_t pid : m_children)
            stopProcess(pid);
        if (m_shell > 0)
            stopProcess(m_shell, 5000);
    }

    // With XWayland for the sidebar, which docks as an X11 client.
    void startShell(bool withX11 = false)
    {
        // The shell asks logind on the system bus for the session; given our
        // private bus instead, it finds no logind and carries on without.
        m_shell = spawnProcess(
            QStringLiteral("sh"),
            {QStringLiteral("-c"),
             QStringLiteral("exec gnome-shell --headless --virtual-monitor %1x%2 --wayland %3 "
                            "--wayland-display tarni-test 2>\"$0\"")
                 .arg(kScreenWidth)
                 .arg(kScreenHeight)
                 .arg(withX11 ? QString() : QStringLiteral("--no-x11")),
             path("shell.log")},
            environment() + QStringList{QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=") + m_bus.address(),
                                        QStringLiteral("GSETTINGS_BACKEND=keyfile"), QStringLiteral("DISPLAY=")});
        ASSERT_GT(m_shell, 0);
        if (!withX11)
            return;
        // Mutter names the X display XWayland serves once it is up.
        const QLatin1String marker("Using public X11 display ");
        ASSERT_TRUE(waitFor([&] {
            const QString text = QString::fromStdString(log(1 << 20));
            const qsizetype at = text.indexOf(marker);
            const qsizetype end = at < 0 ? -1 : text.indexOf(QLatin1Char(','), at);
            m_display = end < 0 ? QString() : text.mid(at + marker.size(), end - at - marker.size());
            return !m_display.isEmpty();
        }, 30000)) << "no XWayland:\n" << log();
        const QStringList auth = QDir(path("run")).entryList({QStringLiteral(".mutter-Xwaylandauth.*")},
                                                             QDir::Files | QDir::Hidden);
        ASSERT_EQ(auth.size(), 1);
        m_xauthority = path("run/") + auth.first();
    }

    // The shell starts in its overview, where no window is where it stands;
    // a user at work sees the desktop. It leaves the overview only once its
    // start is over.
    void leaveOverview()
    {
        auto property = [](const char *method) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
                QStringLiteral("org.freedesktop.DBus.Properties"), QLatin1String(method));
            call << QStringLiteral("org.gnome.Shell") << QStringLiteral("OverviewActive");
            return call;
        };
        auto shown = [&] {
            const QDBusMessage reply = QDBusConnection::sessionBus().call(property("Get"), QDBus::Block, 5000);
            return reply.arguments().value(0).value<QDBusVariant>().variant().toBool();
        };
        ASSERT_TRUE(waitFor(shown, 15000)) << "the shell never showed its overview";
        ASSERT_TRUE(waitFor([&] {
            QDBusConnection::sessionBus().call(property("Set") << QVariant::fromValue(QDBusVariant(false)),
                                               QDBus::Block, 5000);
            return !shown();
        }, 15000)) << "the shell stays in its overview";
    }

    QStringList environment() const
    {
        return {QStringLiteral("XDG_RUNTIME_DIR=") + path("run"), QStringLiteral("HOME=") + m_dir.path(),
                QStringLiteral("XDG_CONFIG_HOME=") + path("config"), QStringLiteral("XDG_DATA_HOME=") + path("data"),
                QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + m_bus.address(),
                QStringLiteral("WAYLAND_DISPLAY=tarni-test")};
    }

    // The probe as a native Wayland client; with a file, a viewer of it.
    void startProbe(const QStringList &arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &entry : environment())
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        env.insert(QStringLiteral("QT_WAYLAND_DISABLE_WINDOWDECORATION"), QStringLiteral("1"));
        env.remove(QStringLiteral("DISPLAY"));
        m_probe.setProcessEnvironment(env);
        m_probe.start(QStringLiteral(TARNI_MAXIMIZED_PROBE), arguments);
        ASSERT_TRUE(m_probe.waitForStarted());
    }

    std::string log(qsizetype tail = 4000) const
    {
        QFile file(path("shell.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().right(tail).toStdString() : std::string();
    }

    QString path(const char *relative) const { return m_dir.filePath(QLatin1String(relative)); }

    QTemporaryDir m_dir;
    SessionBus m_bus;
    int m_shellMajor = 0;
    pid_t m_shell = -1;
    QString m_display;
    QString m_xauthority;
    QProcess m_probe;
    QList<pid_t> m_children;
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

    ASSERT_NO_FATAL_FAILURE(startProbe({QStringLiteral("notes.txt")}));
    const QString title = QStringLiteral("notes.txt - probe viewer");
    std::optional<CompositorWindow> viewer;
    // Listed as soon as it exists, sized once its first frame is drawn.
    ASSERT_TRUE(waitFor([&] { return (viewer = windowTitled(windows, title)) && viewer->frame.width() > 0; }, 15000));
    EXPECT_EQ(viewer->pid, m_probe.processId());
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

TEST_F(GnomeShellPlacementTest, TheApplicationDocksPlacesAnOpenedViewerAndPutsItBackAtQuit)
{
    GnomeShellWindows windows;
    ASSERT_NO_FATAL_FAILURE(startShell(true));
    ASSERT_TRUE(waitFor([&] { return windows.isAvailable(); }, 30000)) << "the extension did not answer:\n" << log();
    ASSERT_NO_FATAL_FAILURE(leaveOverview());

    // Text files open in the probe viewer, a native Wayland client: it must
    // not inherit the X11 platform the application picked for itself.
    auto write = [](const QString &file, const QByteArray &content) {
        QDir().mkpath(QFileInfo(file).path());
        QFile out(file);
        return out.open(QIODevice::WriteOnly) && out.write(content) == content.size();
    };
    ASSERT_TRUE(write(path("data/applications/test-viewer.desktop"),
                      "[Desktop Entry]\nType=Application\nName=Viewer\nExec=" TARNI_MAXIMIZED_PROBE " %f\n"));
    ASSERT_TRUE(write(path("config/mimeapps.list"), "[Default Applications]\ntext/plain=test-viewer.desktop\n"));
    const QString file = path("docs/placed.txt");
    ASSERT_TRUE(write(file, "hello\n"));

    // What a GNOME Wayland session hands its programs.
    const QStringList session = environment() + QStringList{
        QStringLiteral("XDG_SESSION_TYPE=wayland"), QStringLiteral("XDG_CURRENT_DESKTOP=GNOME"),
        QStringLiteral("DISPLAY=") + m_display, QStringLiteral("XAUTHORITY=") + m_xauthority,
        QStringLiteral("XDG_DATA_DIRS=/usr/share"), QStringLiteral("QT_QPA_PLATFORM="), QStringLiteral("SWAYSOCK="),
        asanOptionsForXcbClient()};
    if (qEnvironmentVariableIsSet("TARNI_GNOME_SCREENSHOT")) {
        ASSERT_TRUE(write(path("config/TarniBar/TarniBar.ini"), "[General]\nTarniBar.OnboardingCompleted=true\n"));
    }
    const pid_t app = spawnProcess(QStringLiteral(TARNIBAR_EXECUTABLE), {},
                                   session + QStringList{QStringLiteral("TARNI_UITEST_ROOT=") + path("root")});
    ASSERT_GT(app, 0);
    m_children << app;

    // 2. A file node opened over the application's bus: its viewer lands in
    // the content area, right of the sidebar to the screen's edges.
    const std::filesystem::path root = path("root").toStdString();
    ASSERT_TRUE(waitFor([&] {
        return QDBusConnection::sessionBus().call(applicationMethodCall(root, "DataRoot"), QDBus::Block, 2000).type() ==
               QDBusMessage::ReplyMessage;
    }, 20000));
    const QDBusMessage added =
        QDBusConnection::sessionBus().call(applicationMethodCall(root, "AddFile", {file}), QDBus::Block, 10000);
    ASSERT_EQ(added.type(), QDBusMessage::ReplyMessage) << added.errorMessage().toStdString();
    const QString id = added.arguments().value(0).toString();
    const QDBusMessage opened =
        QDBusConnection::sessionBus().call(applicationMethodCall(root, "Open", {id}), QDBus::Block, 20000);
    ASSERT_EQ(opened.type(), QDBusMessage::ReplyMessage) << opened.errorMessage().toStdString();
    const QString title = QStringLiteral("placed.txt - probe viewer");
    std::optional<CompositorWindow> viewer;
    ASSERT_TRUE(waitFor([&] { return (viewer = windowTitled(windows, title)).has_value(); }, 20000))
        << "the viewer did not show the file";
    m_children << viewer->pid;
    EXPECT_TRUE(waitFor([&] {
        viewer = windowTitled(windows, title);
        // Below the shell's top bar, which only the work area shows.
        return viewer && viewer->frame.left() >= 200 && viewer->frame.right() == kScreenWidth &&
               viewer->frame.top() > 0 && viewer->frame.bottom() == kScreenHeight;
    }, 15000)) << "viewer at " << viewer->frame.x() << "," << viewer->frame.y() << " " << viewer->frame.width()
               << "x" << viewer->frame.height();

    const int width = int(viewer->frame.left());
    // Where the shell had put it, as the application remembers it for the
    // way back: the viewer's own size.
    std::optional<QRectF> original;
    for (const ManagedWindowRecord &record :
         ManagedWindowStateFile(root / ManagedWindowStateFile::kFileName).load())
        if (record.windowHandle == viewer->handle)
            original = record.originalFrame;
    ASSERT_TRUE(original) << "no record of the moved viewer";
    EXPECT_LT(original->width(), 600);
    // Recorded once the shell had placed it, below the top bar: not the
    // corner a window reports before its first frame is shown.
    EXPECT_GT(original->top(), 0);

    // 1. The sidebar keeps its edge: a maximised native window fills what is
    // left beside it, as wide as the content area the viewer was given.
    // (The sidebar itself, a dock, is not among the windows the extension
    // lists.)
    ASSERT_NO_FATAL_FAILURE(startProbe({}));
    const QByteArray expected = "size " + QByteArray::number(kScreenWidth - width) + ' ';
    QByteArray sizes;
    waitFor([&] {
        m_probe.waitForReadyRead(100);
        sizes += m_probe.readAllStandardOutput();
        return sizes.contains(expected);
    }, 15000);
    EXPECT_TRUE(sizes.contains(expected)) << "expected a width of " << kScreenWidth - width << ":\n"
                                          << sizes.toStdString();

    // For the documentation: TARNI_GNOME_SCREENSHOT=file.png writes the
    // screen now. The shell takes pictures only for a few known bus names.
    if (const QString picture = qEnvironmentVariable("TARNI_GNOME_SCREENSHOT"); !picture.isEmpty()) {
        // The shell's start-up notices go first.
        QThread::sleep(12);
        EXPECT_TRUE(QDBusConnection::sessionBus().registerService(QStringLiteral("org.gnome.Screenshot")));
        QDBusMessage shot = QDBusMessage::createMethodCall(
            QStringLiteral("org.gnome.Shell.Screenshot"), QStringLiteral("/org/gnome/Shell/Screenshot"),
            QStringLiteral("org.gnome.Shell.Screenshot"), QStringLiteral("Screenshot"));
        shot << false << false << QFileInfo(picture).absoluteFilePath();
        const QDBusMessage reply = QDBusConnection::sessionBus().call(shot, QDBus::Block, 20000);
        EXPECT_EQ(reply.arguments().value(0), QVariant(true)) << reply.errorMessage().toStdString();
    }

    // 3. Quit puts it back where it opened.
    const QDBusMessage quit =
        QDBusConnection::sessionBus().call(applicationMethodCall(root, "Quit"), QDBus::Block, 20000);
    EXPECT_EQ(quit.type(), QDBusMessage::ReplyMessage) << quit.errorMessage().toStdString();
    EXPECT_TRUE(waitFor([&] { return (viewer = windowTitled(windows, title)) && viewer->frame == *original; }, 15000))
        << "viewer at " << viewer->frame.x() << "," << viewer->frame.y() << " " << viewer->frame.width() << "x"
        << viewer->frame.height() << ", opened at " << original->x() << "," << original->y();
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
