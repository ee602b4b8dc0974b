// The whole link with a real browser: Debian's Chromium with our extension,
// our host started by Chromium through the manifest our bridge installs, and
// the bridge sending commands and reading the queue.

#include "ChromeTestSupport.h"
#include "ChromiumSession.h"
#include "HostProcess.h"
#include "BrowserTestSupport.h"
#include "LocalHttpServer.h"
#include "XvfbSession.h"

#include "chrome/ChromeExtensionIdentity.h"
#include "common/ApplicationLaunch.h"
#include "common/NativeHostQueue.h"
#include "common/InstanceLock.h"
#include "opening/ChromeProvider.h"
#include "opening/RestoreCoordinator.h"
#include "platform/x11/X11WindowController.h"
#include "platform/xdg/XdgBrowserLauncher.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>

#include <QElapsedTimer>

#include <csignal>
#include <iostream>
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
        makeBridge(10s);
    }

    void makeBridge(std::chrono::milliseconds replyTimeout)
    {
        ChromeBridgeOptions options;
        options.configHome = QString::fromStdString(m_config.string());
        // The browsers are looked for in the test's home (Chromium is found
        // on the PATH); the user's own are left alone.
        options.environment.insert(QStringLiteral("HOME"), QString::fromStdString((m_scratch.path() / "home").string()));
        options.bundledHostProgram = QStringLiteral(TARNI_HOST_PROGRAM);
        options.replyTimeout = replyTimeout;
        m_bridge.reset();
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
    QString url(const char *name) { return titledPage(m_pages, name); }

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
    const ChromeCommandResponse active = send(ChromeCommand::getCurrentWindowState());
    ASSERT_TRUE(active.windows && active.windows->size() == 1 && active.windows->front().tabs.size() == 2);
    EXPECT_EQ(tab.capture->asTab()->binding, (RuntimeTabBinding{windowID, active.windows->front().tabs[1].id}));
    EXPECT_EQ(m_cache.lastCapture(), tab.capture);

    // The figures docs/performance.md records: a capture's round trip through
    // the host to the browser and back.
    for (const ChromeCommand &command : {ChromeCommand::captureCurrentTab(), ChromeCommand::captureCurrentWindow()}) {
        constexpr int kRounds = 20;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kRounds; ++i)
            ASSERT_TRUE(send(command).ok);
        std::cout << command.typeName() << ": " << double(timer.nsecsElapsed()) / 1e6 / kRounds << " ms on average\n";
    }
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
    m_lock.release();
    // What the browser sent while the lock was still held (its first state
    // comes a moment after it connects) was rightly kept; only what follows counts.
    std::this_thread::sleep_for(1s);
    clearQueue();
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

qsizetype tabCount(const ChromeCommandResponse &state)
{
    qsizetype tabs = 0;
    for (const ChromeWindowState &w : state.windows.value_or(QList<ChromeWindowState>()))
        tabs += w.tabs.size();
    return tabs;
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
    ChromeProvider provider(*m_bridge, m_cache);

    // A nested group shows before its later-numbered sibling: the tabs open
    // in the outline's order, not by their own numbers.
    const WorkspaceNode root = groupNode(std::nullopt, 0);
    const WorkspaceNode nested = groupNode(root.id(), 0);
    const NodeList tree{root, tabNode(url("three"), std::nullopt, root.id(), 1), nested,
                        tabNode(url("two"), std::nullopt, nested.id(), 8), tabNode(url("one"), std::nullopt, nested.id(), 7)};
    const NodeList nodes = RestoreCoordinator().browserRestorableNodes(root.id(), tree);
    const RestoreOutcome restored = runTask(provider.restore(nodes, RestoreContext{std::nullopt, kContent, true}));
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

    // A restored node is bound to its tab.
    const WorkspaceNode two = nodes[1];
    EXPECT_EQ(m_cache.binding(two.id()), (RuntimeTabBinding{made->id, made->tabs[1].id}));

    // A background tab of the new window through the restore's binding, then
    // the first window's tab through a binding of its own.
    struct Focus {
        WorkspaceNode node;
        QString title;
    };
    for (const Focus &focus :
         {Focus{two, QStringLiteral("two - Chromium")},
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
    EXPECT_EQ(tabCount(send(ChromeCommand::getAllWindowsState())), original.tabs.size() + 3);

    // Once its tab is closed, the node opens a new one, bound in turn.
    ASSERT_TRUE(m_browser->evaluateInExtension(QString::fromLatin1(kChromeExtensionID),
                                               QStringLiteral("chrome.tabs.remove(%1)").arg(made->tabs[1].id)));
    ASSERT_TRUE(spinUntil([&] { return !m_cache.binding(two.id()); }, 10000)) << "the closed tab stays bound";
    // A binding that outlived its tab (the event not in yet) is tried, then the address opens.
    m_cache.bind(two.id(), RuntimeTabBinding{made->id, made->tabs[1].id});
    const OpenOutcome reopened = runTask(provider.open(two, {}));
    ASSERT_TRUE(reopened.ok() && reopened->succeeded);
    EXPECT_EQ(tabCount(send(ChromeCommand::getAllWindowsState())), original.tabs.size() + 3);
    EXPECT_TRUE(m_cache.binding(two.id()));
    m_browser.reset();
}

// A restore in more than one piece opens completely into one window, in
// order. TARNI_E2E_RESTORE_TABS sets the count; the default is the fewest
// that need two pieces, about a minute on a busy two-core machine, where
// Chromium makes a tab in some 50-120 ms (docs/performance.md).
TEST_F(ChromeEndToEnd, ALargeRestoreOpensEveryTabInOneWindow)
{
    const int count = qEnvironmentVariableIsSet("TARNI_E2E_RESTORE_TABS")
        ? qEnvironmentVariableIntValue("TARNI_E2E_RESTORE_TABS")
        : 510;
    // A piece of 500 tabs takes Chromium far longer than one command's usual wait.
    makeBridge(180s);
    // A renderer per tab would take some 11 MB each; sharing a few keeps
    // thousands of tabs within the machine's memory.
    startBrowser("alpha", {}, {"--renderer-process-limit=4"});
    NodeList nodes;
    for (int i = 0; i < count; ++i) {
        const QByteArray name = "p" + QByteArray::number(i);
        nodes.append(tabNode(url(name.constData())));
    }
    ChromeProvider provider(*m_bridge, m_cache);
    QElapsedTimer timer;
    timer.start();
    const RestoreOutcome restored = runTask(provider.restore(nodes, {}));
    const qint64 restoreMs = timer.elapsed();
    ASSERT_TRUE(restored.ok()) << restored.error().description.toStdString();
    ASSERT_EQ(restored->results.size(), 1);
    EXPECT_EQ(restored->results[0].summary, QStringLiteral("Restored %1 tabs").arg(count));

    const ChromeCommandResponse state = send(ChromeCommand::getAllWindowsState());
    ASSERT_TRUE(state.windows);
    std::optional<ChromeWindowState> made;
    for (const ChromeWindowState &w : *state.windows) {
        if (w.tabs.size() == count)
            made = w;
    }
    ASSERT_TRUE(made) << "no window with every tab";
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(made->tabs[i].url, nodes[i].payload().asChromeTab()->url) << i;
    for (const WorkspaceNode &node : std::as_const(nodes))
        ASSERT_TRUE(m_cache.binding(node.id())) << "an unbound node";
    std::cout << "restored " << count << " tabs in " << restoreMs << " ms\n";
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
    ChromeProvider provider(*m_bridge, m_cache, ChromeWithoutExtension{&launcher, nullptr, nullptr, 5000});
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
    // Chromium is the default browser, whichever other browsers the machine has.
    const fs::path bin = m_scratch.path() / "bin";
    fs::create_directories(bin);
    writeFile(bin / "xdg-settings", "#!/bin/sh\necho chromium.desktop\n");
    fs::permissions(bin / "xdg-settings", fs::perms::owner_all);
    env.insert(QStringLiteral("PATH"), QString::fromStdString(bin.string()) + QLatin1Char(':') + env.value(QStringLiteral("PATH")));
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
        registry, X11WindowController::Options{x->display().toLocal8Bit(), DefaultApplicationLookup(env), 500, nullptr}));
    ChromeProvider provider(*m_bridge, m_cache, ChromeWithoutExtension{&launcher, nullptr, &windows, 15000});

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
