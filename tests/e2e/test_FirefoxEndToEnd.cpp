// The whole link with Firefox: Debian's Firefox ESR with the Firefox build of
// our extension, our host started by Firefox through a manifest in the test's
// own home, and the bridge sending commands and reading the queue.

#include "ChromeTestSupport.h"
#include "FirefoxSession.h"
#include "HostProcess.h"
#include "BrowserTestSupport.h"
#include "LocalHttpServer.h"
#include "XvfbSession.h"

#include "chrome/ChromeExtensionIdentity.h"
#include "chrome/NativeHostRegistration.h"
#include "common/InstanceLock.h"
#include "common/NativeHostPresence.h"
#include "opening/ChromeProvider.h"
#include "opening/RestoreCoordinator.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>

using namespace tarni;
using namespace tarni::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class FirefoxEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_scratch.path().empty());
        m_dataHome = m_scratch.path() / "data";
        m_root = m_dataHome / "TarniBar";
        m_home = m_scratch.path() / "home";
        fs::create_directories(m_root);
        fs::create_directories(m_home);
        // This test stands in for the running application: the host must not
        // try to start one.
        std::string error;
        ASSERT_TRUE(m_lock.tryAcquire(m_root, &error)) << error;
        // Registered the way the application registers it: Firefox ESR is
        // found on the PATH and gets its manifest in the test's home.
        BrowserEnvironment environment;
        environment.home = QString::fromStdString(m_home.string());
        environment.configHome = environment.home + QStringLiteral("/.config");
        environment.path = {QStringLiteral("/usr/bin")};
        const auto registrations = registerNativeHost(
            environment, {QStringLiteral(TARNI_HOST_PROGRAM), QString::fromLatin1(kChromeExtensionID),
                          QString::fromLatin1(kFirefoxExtensionID)});
        const auto firefox = std::find_if(registrations.begin(), registrations.end(), [](const auto &r) {
            return r.browser && qstrcmp(r.browser->key, "firefox") == 0;
        });
        ASSERT_NE(firefox, registrations.end()) << "Firefox ESR was not found on the PATH";
        ASSERT_FALSE(firefox->error) << firefox->error->description().toStdString();
        ASSERT_EQ(firefox->manifestPath.toStdString(),
                  (m_home / ".mozilla/native-messaging-hosts/com.tarni.bar.chrome.json").string());

        ChromeBridgeOptions options;
        options.configHome = QString::fromStdString((m_scratch.path() / "config").string());
        options.replyTimeout = 15s;
        m_bridge = std::make_unique<ChromeNativeHostBridge>(&m_cache, m_root, options);
        m_bridge->startQueueMonitoring();
    }

    void startBrowser(const char *startPage, const QString &display = {})
    {
        FirefoxSession::Options options;
        options.home = m_home;
        options.extensionDir = TARNI_FIREFOX_EXTENSION_DIR;
        options.puppeteerDir = TARNI_PUPPETEER_DIR;
        options.driverScript = TARNI_FIREFOX_DRIVER;
        options.startUrl = url(startPage).toStdString();
        options.display = display;
        options.env = {"XDG_DATA_HOME=" + m_dataHome.string()};
        QString error;
        m_browser = FirefoxSession::start(options, &error);
        ASSERT_TRUE(m_browser) << error.toStdString();
        ASSERT_TRUE(spinUntil([&] { return m_bridge->isConnected(); }, 30000))
            << "the extension never announced itself; browser log:\n" << m_browser->log();
    }

    ChromeCommandResponse send(ChromeCommand command)
    {
        auto reply = runTask(m_bridge->send(std::move(command)));
        EXPECT_TRUE(reply) << reply.error().description().toStdString();
        return reply ? reply.value() : ChromeCommandResponse{};
    }

    // A page titled `name`, served from here on.
    QString url(const char *name) { return titledPage(m_pages, name); }

    ScratchDirectory m_scratch;
    LocalHttpServer m_pages;
    fs::path m_dataHome;
    fs::path m_root;
    fs::path m_home;
    InstanceLock m_lock;
    ChromeStateCache m_cache;
    std::unique_ptr<ChromeNativeHostBridge> m_bridge;
    std::unique_ptr<FirefoxSession> m_browser;
};

// Firefox titles its windows "<page> — Mozilla Firefox".
QString windowTitle(const QString &page)
{
    return page + QStringLiteral(" \u2014 Mozilla Firefox");
}

} // namespace

TEST_F(FirefoxEndToEnd, CapturesTheTabAndTheWindowsTabsInOrderSavesASlackThreadAndReconnects)
{
    ASSERT_NO_FATAL_FAILURE(startBrowser("alpha"));
    const ChromeCommandResponse state = send(ChromeCommand::getCurrentWindowState());
    ASSERT_TRUE(state.ok && state.windows && state.windows->size() == 1) << state.summary.value_or(QString()).toStdString();
    const std::int64_t windowID = state.windows->front().id;

    const ChromeCommandResponse opened = send(ChromeCommand::openURLInWindow(url("beta"), windowID));
    ASSERT_TRUE(opened.ok) << opened.summary.value_or(QString()).toStdString();
    // Only the extension's events (windowsState) tell the cache about the new tab.
    EXPECT_TRUE(spinUntil(
        [&] {
            const QList<ChromeWindowState> windows = m_cache.windows();
            return windows.size() == 1 && windows.front().tabs.size() == 2 &&
                   windows.front().tabs[1].title == QStringLiteral("beta");
        },
        10000))
        << "the extension's state events did not reach the cache";

    std::optional<QList<BrowserTarget>> window;
    spinUntil(
        [&] {
            const ChromeCommandResponse reply = send(ChromeCommand::captureCurrentWindow());
            if (!reply.ok || !reply.capture || !reply.capture->asWindow())
                return false;
            window = reply.capture->asWindow()->window;
            return window->size() == 2 && (*window)[1].titleSnapshot == QStringLiteral("beta");
        },
        15000);
    ASSERT_TRUE(window);
    ASSERT_EQ(window->size(), 2) << "tabs of the window";
    EXPECT_EQ((*window)[0].url, url("alpha"));
    EXPECT_EQ((*window)[0].titleSnapshot, QStringLiteral("alpha"));
    EXPECT_EQ((*window)[1].url, url("beta"));

    const ChromeCommandResponse tab = send(ChromeCommand::captureCurrentTab());
    ASSERT_TRUE(tab.ok && tab.capture && tab.capture->asTab()) << tab.summary.value_or(QString()).toStdString();
    EXPECT_EQ(tab.capture->asTab()->tab.url, url("beta"));
    EXPECT_EQ(tab.capture->asTab()->tab.titleSnapshot, QStringLiteral("beta"));
    const ChromeCommandResponse active = send(ChromeCommand::getCurrentWindowState());
    ASSERT_TRUE(active.windows && active.windows->size() == 1 && active.windows->front().tabs.size() == 2);
    EXPECT_EQ(tab.capture->asTab()->binding, (RuntimeTabBinding{windowID, active.windows->front().tabs[1].id}));

    // The same function the context-menu entry calls, run in the background page.
    const QString permalink = QStringLiteral("https://team.slack.com/archives/C024BE91L/p1700000000000100");
    QString error;
    const auto saved =
        m_browser->evaluateInExtension(QStringLiteral("globalThis.tarniBar.saveSlackThread('%1')").arg(permalink), &error);
    ASSERT_TRUE(saved) << error.toStdString() << "\nbrowser log:\n" << m_browser->log();
    EXPECT_EQ(*saved, QJsonValue(true));
    ASSERT_TRUE(spinUntil([&] { return m_bridge->latestSlackCapture().has_value(); }, 10000));
    EXPECT_EQ(m_bridge->latestSlackCapture()->thread.permalinkURL, permalink);

    // The host goes away: the extension starts another one and carries on.
    const fs::path hosts = nativeHostsDirectory(m_root);
    const std::vector<std::string> before = liveNativeHosts(hosts);
    ASSERT_EQ(before.size(), 1u);
    const pid_t host = std::stoi(before.front().substr(0, before.front().find('-')));
    ASSERT_GT(host, 1);
    ASSERT_EQ(::kill(host, SIGTERM), 0);
    EXPECT_TRUE(spinUntil(
        [&] {
            const std::vector<std::string> now = liveNativeHosts(hosts);
            return now.size() == 1 && now != before;
        },
        15000))
        << "no new host; browser log:\n" << m_browser->log();
    const ChromeCommandResponse again = send(ChromeCommand::getCurrentWindowState());
    EXPECT_TRUE(again.ok && again.windows && again.windows->size() == 1) << again.summary.value_or(QString()).toStdString();
}

TEST_F(FirefoxEndToEnd, RestoresTabsInOrderIntoOneWindowOnTheContentAreaAndFocusesTabsOfEitherWindow)
{
    // Firefox draws its own title bar where the desktop composites (GNOME's
    // default), as Chromium always does; openbox is told to add no frame or
    // border of its own. Under a window manager's frame, Firefox places its
    // windows off by the frame's size and reports them where it asked for them.
    const fs::path config = m_scratch.path() / "openbox.xml";
    writeFile(config, "<?xml version=\"1.0\"?>\n<openbox_config xmlns=\"http://openbox.org/3.4/rc\">"
                      "<theme><keepBorder>no</keepBorder></theme>"
                      "<applications><application class=\"firefox*\"><decor>no</decor></application></applications>"
                      "</openbox_config>\n");
    QString error;
    auto x = XvfbSession::start({1920, 1080, false}, &error);
    ASSERT_TRUE(x) << error.toStdString();
    x->setWindowManagerConfig(QString::fromStdString(config.string()));
    ASSERT_TRUE(x->startWindowManager(&error)) << error.toStdString();
    ASSERT_NO_FATAL_FAILURE(startBrowser("alpha", x->display()));
    const ChromeCommandResponse first = send(ChromeCommand::getCurrentWindowState());
    ASSERT_TRUE(first.ok && first.windows && first.windows->size() == 1);
    const ChromeWindowState original = first.windows->front();
    ASSERT_EQ(original.tabs.size(), 1);
    ChromeProvider provider(*m_bridge, m_cache);

    const WorkspaceNode root = groupNode(std::nullopt, 0);
    const NodeList tree{root, tabNode(url("one"), std::nullopt, root.id(), 1), tabNode(url("two"), std::nullopt, root.id(), 2),
                        tabNode(url("three"), std::nullopt, root.id(), 3)};
    const NodeList nodes = RestoreCoordinator().browserRestorableNodes(root.id(), tree);
    const QRectF content(384, 0, 1536, 1080);
    const RestoreOutcome restored = runTask(provider.restore(nodes, RestoreContext{std::nullopt, content, true}));
    ASSERT_TRUE(restored.ok());
    ASSERT_EQ(restored->results.size(), 1);
    EXPECT_TRUE(restored->results[0].succeeded) << restored->results[0].summary.toStdString();

    std::optional<ChromeWindowState> made;
    spinUntil(
        [&] {
            const ChromeCommandResponse state = send(ChromeCommand::getAllWindowsState());
            made.reset();
            for (const ChromeWindowState &w : state.windows.value_or(QList<ChromeWindowState>())) {
                if (w.id != original.id)
                    made = w;
            }
            return made && made->tabs.size() == 3 && made->tabs[2].url == url("three");
        },
        15000);
    ASSERT_TRUE(made && made->tabs.size() == 3) << "no new window with the three tabs";
    EXPECT_EQ(made->tabs[0].url, url("one"));
    EXPECT_EQ(made->tabs[1].url, url("two"));
    EXPECT_EQ(made->tabs[2].url, url("three"));
    EXPECT_EQ(made->bounds, ChromeWindowBounds::fromRect(content));
    // The window manager's view: the window titled after the active tab, at
    // the requested place and size.
    const QString expected = QStringLiteral("X=384\nY=0\nWIDTH=1536\nHEIGHT=1080");
    QString geometry;
    spinUntil(
        [&] {
            const QString id = xdotool(x->display(), {QStringLiteral("search"), QStringLiteral("--name"),
                                                      QStringLiteral("^%1$").arg(windowTitle(QStringLiteral("one")))});
            if (id.isEmpty() || id.contains(QLatin1Char('\n')))
                return false;
            geometry = xdotool(x->display(), {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id});
            return geometry.contains(expected);
        },
        10000);
    EXPECT_TRUE(geometry.contains(expected)) << geometry.toStdString();
    EXPECT_EQ(m_cache.binding(nodes[1].id()), (RuntimeTabBinding{made->id, made->tabs[1].id}));

    // A background tab of the new window through the restore's binding: the
    // window shows it.
    const OpenOutcome focusedTwo = runTask(provider.open(nodes[1], {}));
    ASSERT_TRUE(focusedTwo.ok());
    EXPECT_TRUE(focusedTwo->succeeded) << focusedTwo->summary.toStdString();
    QString active;
    EXPECT_TRUE(spinUntil(
        [&] {
            active = xdotool(x->display(), {QStringLiteral("getactivewindow"), QStringLiteral("getwindowname")});
            return active == windowTitle(QStringLiteral("two"));
        },
        10000))
        << active.toStdString();

    // The first window's tab through a binding of its own: Firefox makes it
    // its current tab and window. (Raising that window is the window
    // manager's decision: Firefox asks with the time of its last input, and
    // openbox, like other window managers that prevent focus stealing, turns
    // down such a request while another window has had more recent input.)
    const OpenOutcome focusedAlpha =
        runTask(provider.open(tabNode(url("alpha"), RuntimeTabBinding{original.id, original.tabs.front().id}), {}));
    ASSERT_TRUE(focusedAlpha.ok());
    EXPECT_TRUE(focusedAlpha->succeeded) << focusedAlpha->summary.toStdString();
    const ChromeCommandResponse current = send(ChromeCommand::captureCurrentTab());
    ASSERT_TRUE(current.ok && current.capture && current.capture->asTab()) << current.summary.value_or(QString()).toStdString();
    EXPECT_EQ(current.capture->asTab()->binding, (RuntimeTabBinding{original.id, original.tabs.front().id}));
    // Focusing opened nothing.
    qsizetype tabs = 0;
    for (const ChromeWindowState &w : send(ChromeCommand::getAllWindowsState()).windows.value_or(QList<ChromeWindowState>()))
        tabs += w.tabs.size();
    EXPECT_EQ(tabs, 4);
    m_browser.reset();
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
