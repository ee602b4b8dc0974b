// The whole link with a real browser: Debian's Chromium with our extension,
// our host started by Chromium through the manifest our bridge installs, and
// the bridge sending commands and reading the queue.

#include "ChromeTestSupport.h"
#include "ChromiumSession.h"
#include "HostProcess.h"
#include "LocalHttpServer.h"
#include "XvfbSession.h"

#include "chrome/ChromeExtensionIdentity.h"
#include "common/ApplicationLaunch.h"
#include "common/NativeHostQueue.h"
#include "common/InstanceLock.h"
#include "opening/ChromeProvider.h"
#include "platform/x11/X11WindowController.h"
#include "platform/xdg/XdgBrowserLauncher.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>

#include <csignal>
#include <thread>

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class ChromeEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists("/usr/bin/chromium"))
            GTEST_FAIL() << "/usr/bin/chromium is not installed (scripts/install-deps.sh installs it)";
        ASSERT_FALSE(m_scratch.path().empty());
        m_dataHome = m_scratch.path() / "data";
        m_root = m_dataHome / "TarniBar";
        m_config = m_scratch.path() / "config";
        fs::create_directories(m_root);
        fs::create_directories(m_scratch.path() / "home");
        // This test stands in for the running application: the host must not
        // try to start one.
        std::string error;
        ASSERT_TRUE(m_lock.tryAcquire(m_root, &error)) << error;

        ChromeBridgeOptions options;
        options.configHome = QString::fromStdString(m_config.string());
        options.bundledHostProgram = QStringLiteral(TARNI_HOST_PROGRAM);
        options.replyTimeout = 10s;
        m_bridge = std::make_unique<ChromeNativeHostBridge>(&m_cache, m_root, options);
        // Chromium reads manifests from <profile>/NativeMessagingHosts, which
        // for the profile config/chromium is where the bridge installs them.
        const auto manifest = m_bridge->installNativeHostManifest(
            QString::fromStdString((m_root / kNativeHostProgramName).string()), QString::fromLatin1(kChromeExtensionID));
        ASSERT_TRUE(manifest) << manifest.error().description().toStdString();
        m_bridge->startQueueMonitoring();
    }

    void startBrowser(const char *startPage, const QString &display = {}, std::vector<std::string> arguments = {})
    {
        ChromiumSession::Options options;
        options.userDataDir = m_config / "chromium";
        options.home = m_scratch.path() / "home";
        options.extensionDir = TARNI_EXTENSION_DIR;
        options.startUrl = url(startPage).toStdString();
        options.display = display;
        options.arguments = std::move(arguments);
        options.env = {"XDG_DATA_HOME=" + m_dataHome.string(), "XDG_CONFIG_HOME=" + m_config.string()};
        QString error;
        m_browser = ChromiumSession::start(options, &error);
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

    // Captures the current window until its tabs have loaded the given pages.
    std::optional<QList<BrowserTarget>> captureWindowWhenLoaded(const QStringList &titles)
    {
        std::optional<QList<BrowserTarget>> last;
        spinUntil(
            [&] {
                const ChromeCommandResponse reply = send(ChromeCommand::captureCurrentWindow());
                if (!reply.ok || !reply.capture || !reply.capture->asWindow())
                    return false;
                last = reply.capture->asWindow()->window;
                QStringList seen;
                for (const BrowserTarget &target : *last)
                    seen << target.titleSnapshot;
                return seen == titles;
            },
            15000);
        return last;
    }

    // A page titled `name`, served from here on.
    QString url(const char *name)
    {
        const QString path = QStringLiteral("/") + QLatin1String(name);
        m_pages.serve(path, QStringLiteral("<!doctype html><html><head><title>%1</title></head><body>%1</body></html>")
                                .arg(QLatin1String(name))
                                .toUtf8());
        return m_pages.url(path);
    }

    ScratchDirectory m_scratch;
    LocalHttpServer m_pages;
    fs::path m_dataHome;
    fs::path m_root;
    fs::path m_config;
    InstanceLock m_lock;
    ChromeStateCache m_cache;
    std::unique_ptr<ChromeNativeHostBridge> m_bridge;
    std::unique_ptr<ChromiumSession> m_browser;
};

QString xdotool(const QString &display, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("xdotool"), arguments);
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

} // namespace

TEST_F(ChromeEndToEnd, CapturesTheRealTabAndTheWindowsTabsInOrder)
{
    startBrowser("alpha");
    const ChromeCommandResponse state = send(ChromeCommand::getCurrentWindowState());
    ASSERT_TRUE(state.ok && state.windows && state.windows->size() == 1) << state.summary.value_or(QString()).toStdString();
    const std::int64_t windowID = state.windows->front().id;
    EXPECT_EQ(m_cache.windows(), *state.windows) << "the reply's windows reach the cache";

    const ChromeCommandResponse opened = send(ChromeCommand::openURLInWindow(url("beta"), windowID));
    ASSERT_TRUE(opened.ok) << opened.summary.value_or(QString()).toStdString();

    const auto window = captureWindowWhenLoaded({QStringLiteral("alpha"), QStringLiteral("beta")});
    ASSERT_TRUE(window);
    ASSERT_EQ(window->size(), 2) << "tabs of the window";
    EXPECT_EQ((*window)[0].url, url("alpha"));
    EXPECT_EQ((*window)[1].url, url("beta"));

    const ChromeCommandResponse tab = send(ChromeCommand::captureCurrentTab());
    ASSERT_TRUE(tab.ok && tab.capture && tab.capture->asTab()) << tab.summary.value_or(QString()).toStdString();
    EXPECT_EQ(tab.capture->asTab()->tab.url, url("beta"));
    EXPECT_EQ(tab.capture->asTab()->tab.titleSnapshot, QStringLiteral("beta"));
    EXPECT_EQ(tab.summary, QStringLiteral("Captured current tab"));
    EXPECT_EQ(m_cache.lastCapture(), tab.capture);
}

TEST_F(ChromeEndToEnd, SlackThreadSavedInTheBrowserReachesTheBridge)
{
    startBrowser("alpha");
    const QString permalink = QStringLiteral("https://team.slack.com/archives/C024BE91L/p1700000000000100");
    // The same function the context-menu entry calls, run inside the extension.
    const auto result = m_browser->evaluateInExtension(
        QString::fromLatin1(kChromeExtensionID), QStringLiteral("globalThis.tarniBar.saveSlackThread('%1')").arg(permalink));
    ASSERT_TRUE(result) << "cannot reach the extension's service worker; browser log:\n" << m_browser->log();
    EXPECT_EQ(result->value(QStringLiteral("result")).toObject().value(QStringLiteral("value")).toBool(), true);

    ASSERT_TRUE(spinUntil([&] { return m_bridge->latestSlackCapture().has_value(); }, 10000));
    const SlackTarget &thread = m_bridge->latestSlackCapture()->thread;
    // How the address is read is the parser's own test.
    EXPECT_EQ(thread.permalinkURL, permalink);
    EXPECT_EQ(thread.channelID, QStringLiteral("C024BE91L"));
}

TEST_F(ChromeEndToEnd, AfterTheApplicationQuitsTabChangesStartNothingButASlackSaveStartsIt)
{
    startBrowser("alpha");
    // The application quits: it stops reading the queue and lets go of its lock.
    m_bridge.reset();
    const fs::path queue = NativeHostQueueDirectories::under(m_root).queue;
    const auto clearQueue = [&] {
        for (const std::string &name : fileNames(queue))
            fs::remove(queue / name);
    };
    clearQueue();
    m_lock.release();
    // Where the host would start it from: the recorded executable and the
    // desktop entry (which the host prefers) both name a stand-in.
    const fs::path record = m_scratch.path() / "started";
    const fs::path stub = m_scratch.path() / "stub-app";
    writeFile(stub, "#!/bin/sh\necho \"$@\" >> '" + record.string() + "'\n");
    fs::permissions(stub, fs::perms::owner_all);
    ASSERT_TRUE(recordApplicationExecutable(m_root, stub));
    fs::create_directories(m_dataHome / "applications");
    writeFile(m_dataHome / "applications" / kDesktopEntryName,
              "[Desktop Entry]\nType=Application\nName=TarniBar\nExec=" + stub.string() + "\n");

    // Opening, switching and closing tabs: windowsState, activeTabChanged and tabClosed events.
    const auto useTabs = [&] {
        const auto pages = m_browser->devTools(QStringLiteral("Target.getTargets"));
        ASSERT_TRUE(pages);
        QString first;
        for (const auto &info : pages->value(QStringLiteral("targetInfos")).toArray()) {
            if (info.toObject().value(QStringLiteral("type")).toString() == QStringLiteral("page"))
                first = info.toObject().value(QStringLiteral("targetId")).toString();
        }
        ASSERT_FALSE(first.isEmpty());
        const auto created = m_browser->devTools(QStringLiteral("Target.createTarget"), {{QStringLiteral("url"), url("beta")}});
        ASSERT_TRUE(created);
        const QString beta = created->value(QStringLiteral("targetId")).toString();
        std::this_thread::sleep_for(500ms);
        ASSERT_TRUE(m_browser->devTools(QStringLiteral("Target.activateTarget"), {{QStringLiteral("targetId"), first}}));
        std::this_thread::sleep_for(500ms);
        ASSERT_TRUE(m_browser->devTools(QStringLiteral("Target.activateTarget"), {{QStringLiteral("targetId"), beta}}));
        std::this_thread::sleep_for(500ms);
        ASSERT_TRUE(m_browser->devTools(QStringLiteral("Target.closeTarget"), {{QStringLiteral("targetId"), beta}}));
    };
    const auto started = std::chrono::steady_clock::now();
    useTabs();
    std::this_thread::sleep_for(10s - (std::chrono::steady_clock::now() - started));
    EXPECT_FALSE(fs::exists(record)) << "started by tab changes: " << readFile(record);
    EXPECT_EQ(fileNames(queue), std::vector<std::string>{});

    // The same changes while the application runs do reach it, so the quiet above means something.
    ASSERT_TRUE(m_lock.tryAcquire(m_root));
    useTabs();
    EXPECT_TRUE(waitUntil([&] { return fileNames(queue).size() >= 3; }, 10s)) << fileNames(queue).size();
    m_lock.release();
    clearQueue();

    const QString permalink = QStringLiteral("https://team.slack.com/archives/C024BE91L/p1700000000000100");
    const auto saved = m_browser->evaluateInExtension(
        QString::fromLatin1(kChromeExtensionID), QStringLiteral("globalThis.tarniBar.saveSlackThread('%1')").arg(permalink));
    ASSERT_TRUE(saved) << "cannot reach the extension's service worker; browser log:\n" << m_browser->log();
    EXPECT_TRUE(waitUntil([&] { return readFile(record) == "--background\n"; }, 10s)) << readFile(record);
    const auto names = fileNames(queue);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_NE(readFile(queue / names.front()).find("saveSlackThread"), std::string::npos);
}

namespace {

WorkspaceNode tabNode(const QString &url, std::optional<RuntimeTabBinding> binding = std::nullopt)
{
    const Timestamp t(std::chrono::seconds(1'700'000'000));
    return WorkspaceNode(QUuid::createUuid(), QUuid(), std::nullopt, WorkspaceNodeKind::chromeTab, url, std::nullopt, 0,
                         false, std::nullopt, t, t, std::nullopt,
                         NodePayload::chromeTab(BrowserTarget{url, url, std::nullopt, BrowserOpenMode::newTab, binding}));
}

QString geometryOf(const QString &display, const QString &title)
{
    const QString id = xdotool(display, {QStringLiteral("search"), QStringLiteral("--name"), title});
    if (id.isEmpty() || id.contains(QLatin1Char('\n')))
        return {};
    return xdotool(display, {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id});
}

const QRectF kContent(384, 0, 1536, 1080);
const QString kContentGeometry = QStringLiteral("X=384\nY=0\nWIDTH=1536\nHEIGHT=1080");

} // namespace

TEST_F(ChromeEndToEnd, ProviderRestoresTabsInOrderIntoOneWindowOnTheContentAreaAndFocusesTabsOfEitherWindow)
{
    QString error;
    auto x = XvfbSession::start(&error);
    ASSERT_TRUE(x) << error.toStdString();
    startBrowser("alpha", x->display());
    const ChromeCommandResponse first = send(ChromeCommand::getCurrentWindowState());
    ASSERT_TRUE(first.ok && first.windows && !first.windows->isEmpty());
    const ChromeWindowState original = first.windows->front();
    ASSERT_FALSE(original.tabs.isEmpty());
    ChromeProvider provider(*m_bridge);

    const RestoreOutcome restored = runTask(provider.restore(
        {tabNode(url("one")), tabNode(url("two")), tabNode(url("three"))}, RestoreContext{std::nullopt, kContent, true}));
    ASSERT_TRUE(restored.ok());
    ASSERT_EQ(restored->results.size(), 1);
    EXPECT_TRUE(restored->results[0].succeeded) << restored->results[0].summary.toStdString();

    const ChromeCommandResponse state = send(ChromeCommand::getAllWindowsState());
    ASSERT_TRUE(state.windows);
    std::optional<ChromeWindowState> made;
    for (const ChromeWindowState &w : *state.windows) {
        if (w.tabs.size() == 3)
            made = w;
    }
    ASSERT_TRUE(made) << "no window with the three tabs";
    EXPECT_NE(made->id, original.id);
    EXPECT_EQ(made->tabs[0].url, url("one"));
    EXPECT_EQ(made->tabs[1].url, url("two"));
    EXPECT_EQ(made->tabs[2].url, url("three"));
    EXPECT_EQ(made->bounds, ChromeWindowBounds::fromRect(kContent));
    // The window manager's view: the window titled after the active tab, at
    // the requested place and size.
    QString geometry;
    spinUntil([&] { return (geometry = geometryOf(x->display(), QStringLiteral("^one - Chromium$"))).contains(kContentGeometry); },
              10000);
    EXPECT_TRUE(geometry.contains(kContentGeometry)) << geometry.toStdString();
    // The extension reported the new window as events too.
    EXPECT_TRUE(spinUntil([&] { return m_cache.windows().size() == 2; }, 5000));

    // A background tab of the new window, then the first window's tab.
    struct Focus {
        WorkspaceNode node;
        QString title;
    };
    for (const Focus &focus :
         {Focus{tabNode(url("two"), RuntimeTabBinding{made->id, made->tabs[1].id}), QStringLiteral("two - Chromium")},
          Focus{tabNode(url("alpha"), RuntimeTabBinding{original.id, original.tabs.front().id}),
                QStringLiteral("alpha - Chromium")}}) {
        const OpenOutcome focused = runTask(provider.open(focus.node, {}));
        ASSERT_TRUE(focused.ok());
        EXPECT_TRUE(focused->succeeded) << focused->summary.toStdString();
        QString active;
        EXPECT_TRUE(spinUntil(
            [&] {
                active = xdotool(x->display(), {QStringLiteral("getactivewindow"), QStringLiteral("getwindowname")});
                return active == focus.title;
            },
            10000))
            << active.toStdString() << " instead of " << focus.title.toStdString();
    }
    // Focusing opened nothing: the two windows hold the same tabs as before.
    const ChromeCommandResponse after = send(ChromeCommand::getAllWindowsState());
    ASSERT_TRUE(after.windows);
    qsizetype tabs = 0;
    for (const ChromeWindowState &w : *after.windows)
        tabs += w.tabs.size();
    EXPECT_EQ(tabs, original.tabs.size() + 3);
    m_browser.reset();
}

TEST_F(ChromeEndToEnd, AClosedBrowserDisconnectsAndNothingIsCarriedOutWhenItComesBack)
{
    // On a display: a headless browser makes no windows that could be counted.
    QString error;
    auto x = XvfbSession::start(&error);
    ASSERT_TRUE(x) << error.toStdString();
    startBrowser("alpha", x->display());
    m_browser.reset();
    EXPECT_TRUE(spinUntil([&] { return !m_bridge->isConnected(); }, 2000)) << "still connected to a closed browser";

    // The provider starts the browser itself, at once: nothing waits for the
    // gone one or is left for it.
    struct StandInLauncher : BrowserLaunching {
        std::optional<LaunchedBrowser> openInNewWindow(const QList<AcceptedAddress> &addresses) override
        {
            launched.append(addresses.size());
            return LaunchedBrowser{};
        }
        QList<qsizetype> launched;
    } launcher;
    ChromeProvider provider(*m_bridge, ChromeWithoutExtension{&launcher, nullptr, nullptr, 5000});
    for (int restore = 0; restore < 2; ++restore) {
        QElapsedTimer timer;
        timer.start();
        const RestoreOutcome restored = runTask(
            provider.restore({tabNode(url("one")), tabNode(url("two"))}, RestoreContext{std::nullopt, kContent, true}));
        ASSERT_TRUE(restored.ok());
        EXPECT_LT(timer.elapsed(), 2000);
    }
    EXPECT_EQ(launcher.launched, (QList<qsizetype>{2, 2}));
    EXPECT_EQ(fileNames(m_root / "NativeHostRequests"), std::vector<std::string>{});

    // Anything left behind would be carried out as soon as the host starts.
    startBrowser("alpha", x->display());
    std::optional<ChromeCommandResponse> state;
    spinUntil(
        [&] {
            state = send(ChromeCommand::getAllWindowsState());
            return !state->windows || state->windows->size() != 1;
        },
        5000);
    ASSERT_TRUE(state && state->windows) << state->summary.value_or(QString()).toStdString();
    EXPECT_EQ(state->windows->size(), 1) << "a window nobody asked for";
    m_browser.reset();
}

TEST_F(ChromeEndToEnd, WithoutTheExtensionTheProviderStartsTheBrowserWithTheTabsAndPlacesItsWindow)
{
    QString error;
    auto x = XvfbSession::start(&error);
    ASSERT_TRUE(x) << error.toStdString();
    ASSERT_FALSE(m_bridge->isConnected());

    // Debian's Chromium as the user has it (no extension loaded), with a
    // profile of this test's own.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), x->display());
    env.insert(QStringLiteral("HOME"), QString::fromStdString((m_scratch.path() / "home").string()));
    env.insert(QStringLiteral("TMPDIR"), QString::fromStdString(m_scratch.path().string()));
    XdgBrowserLauncher::Options launch{env, {QStringLiteral("--no-sandbox"),
                                             QStringLiteral("--user-data-dir=")
                                                 + QString::fromStdString((m_scratch.path() / "plain-profile").string()),
                                             QStringLiteral("--no-first-run"), QStringLiteral("--no-default-browser-check"),
                                             QStringLiteral("--disable-background-networking"),
                                             QStringLiteral("--disable-component-update"), QStringLiteral("--disable-sync"),
                                             QStringLiteral("--disable-gpu"), QStringLiteral("--password-store=basic")}};
    XdgBrowserLauncher launcher(launch);
    ASSERT_TRUE(launcher.installedBrowser()) << "no Chrome or Chromium installed";
    ManagedWindowRegistry registry;
    AsyncWindowController windows(std::make_unique<X11WindowController>(
        registry, X11WindowController::Options{x->display().toLocal8Bit(), DefaultApplicationLookup(env), 500}));
    ChromeProvider provider(*m_bridge, ChromeWithoutExtension{&launcher, nullptr, &windows, 15000});

    const RestoreOutcome restored = runTask(
        provider.restore({tabNode(url("first")), tabNode(url("second"))}, RestoreContext{std::nullopt, kContent, true}));
    ASSERT_TRUE(restored.ok());
    EXPECT_EQ(restored->results[0].summary, QStringLiteral("Restored 2 tabs in a new browser window"));

    QString geometry;
    spinUntil([&] { return (geometry = geometryOf(x->display(), QStringLiteral("^first - Chromium$"))).contains(kContentGeometry); },
              15000);
    EXPECT_TRUE(geometry.contains(kContentGeometry)) << geometry.toStdString();
    EXPECT_EQ(registry.records().size(), 1);

    // The browser is not our child: end it through its window's process.
    const QString id = xdotool(x->display(), {QStringLiteral("search"), QStringLiteral("--name"), QStringLiteral(" - Chromium$")});
    for (const QString &window : id.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString pid = xdotool(x->display(), {QStringLiteral("getwindowpid"), window});
        if (pid.toInt() > 0)
            ::kill(pid.toInt(), SIGTERM);
    }
}

namespace {

struct ScaleCase {
    const char *scale;
    // Where the window lands when asked for kContent, in the X server's pixels.
    ChromeWindowBounds lands;
    friend void PrintTo(const ScaleCase &c, std::ostream *out) { *out << "scale " << c.scale; }
};

class ChromeEndToEndAtScale : public ChromeEndToEnd, public ::testing::WithParamInterface<ScaleCase> {};

} // namespace

TEST_P(ChromeEndToEndAtScale, NewWindowLandsOnTheContentAreaInScreenPixels)
{
    QString error;
    auto x = XvfbSession::start(&error);
    ASSERT_TRUE(x) << error.toStdString();
    startBrowser("alpha", x->display(), {std::string("--force-device-scale-factor=") + GetParam().scale});

    const ChromeCommandResponse opened =
        send(ChromeCommand::openURLsInNewWindow({url("scaled")}, ChromeWindowBounds::fromRect(kContent)));
    ASSERT_TRUE(opened.ok && opened.windows && opened.windows->size() == 1)
        << opened.summary.value_or(QString()).toStdString();
    const ChromeWindowBounds &lands = GetParam().lands;
    EXPECT_EQ(opened.windows->front().bounds, lands) << "the reply reports the window in pixels";
    const QString expected =
        QStringLiteral("X=%1\nY=%2\nWIDTH=%3\nHEIGHT=%4").arg(lands.left).arg(lands.top).arg(lands.width).arg(lands.height);
    QString geometry;
    spinUntil([&] { return (geometry = geometryOf(x->display(), QStringLiteral("^scaled - Chromium$"))).contains(expected); },
              10000);
    EXPECT_TRUE(geometry.contains(expected)) << geometry.toStdString() << "\ninstead of\n" << expected.toStdString();
    m_browser.reset();
}

// At 1.25 the content area's left edge, 384 pixels, is 307.2 of the browser's
// units: the window keeps off the sidebar, one pixel short.
INSTANTIATE_TEST_SUITE_P(Scales, ChromeEndToEndAtScale,
                         ::testing::Values(ScaleCase{"1.5", {384, 0, 1536, 1080}}, ScaleCase{"1.25", {385, 0, 1535, 1080}}),
                         [](const auto &info) { return std::string(info.param.scale).replace(1, 1, "_"); });

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
