#include "OpeningTestSupport.h"
#include "chrome/ChromeMessageCodec.h"

#include "opening/ChromeProvider.h"
#include "opening/FileProviders.h"
#include "opening/NodeProviderRegistry.h"
#include "opening/UrlProviders.h"
#include "windowing/UITestAXWindowController.h"

#include <QCoreApplication>
#include <QThread>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <set>

using namespace tarni;
using namespace tarni::test;

namespace {

const QRectF kContent(384, 0, 1536, 1080);

OpenContext withContent(std::optional<QRectF> rect = kContent)
{
    OpenContext context;
    context.contentRect = rect;
    return context;
}

// Counts its calls; supports one kind.
class CountingProvider final : public NodeProvider {
public:
    explicit CountingProvider(WorkspaceNodeKind kind, QString name) : m_kind(kind), m_name(std::move(name)) {}
    bool supports(WorkspaceNodeKind kind) const override { return kind == m_kind; }
    QCoro::Task<OpenOutcome> open(WorkspaceNode, OpenContext) override { co_return OpenResult::success(m_name); }
    QCoro::Task<RestoreOutcome> restore(NodeList nodes, RestoreContext) override
    {
        restores.append(nodes);
        if (fails)
            co_return Failure(ProviderError{QStringLiteral("broken")});
        RestoreResult result;
        for (const WorkspaceNode &n : nodes)
            result.results.append(OpenResult::success(m_name + u' ' + n.id().toString()));
        co_return result;
    }
    QList<NodeList> restores;
    bool fails = false;

private:
    WorkspaceNodeKind m_kind;
    QString m_name;
};

TEST(NodeProviderRegistry, DispatchesToTheFirstProviderOfAKindAndNamesMissingOnes)
{
    auto first = std::make_shared<CountingProvider>(WorkspaceNodeKind::webLink, QStringLiteral("first"));
    auto second = std::make_shared<CountingProvider>(WorkspaceNodeKind::webLink, QStringLiteral("second"));
    const NodeProviderRegistry registry({first, second});

    EXPECT_EQ(runTask(registry.open(link(QStringLiteral("https://a.example")), {}))->summary, QStringLiteral("first"));
    const OpenOutcome none = runTask(registry.open(group(), {}));
    EXPECT_EQ(*none, OpenResult::failure(QStringLiteral("No provider for group")));
    EXPECT_FALSE(none->succeeded);
}

TEST(NodeProviderRegistry, RestoresEachKindAsOneGroupInGivenOrderAndStopsAtAnError)
{
    auto links = std::make_shared<CountingProvider>(WorkspaceNodeKind::webLink, QStringLiteral("link"));
    auto tabs = std::make_shared<CountingProvider>(WorkspaceNodeKind::chromeTab, QStringLiteral("tab"));
    const NodeProviderRegistry registry({tabs, links});
    const NodeList nodes{link(QStringLiteral("https://1.example")), group(), tab(QStringLiteral("https://t.example")),
                         link(QStringLiteral("https://2.example"))};

    EXPECT_TRUE(runTask(registry.restore({}, {}))->results.isEmpty());
    const RestoreOutcome outcome = runTask(registry.restore(nodes, {}));
    ASSERT_TRUE(outcome.ok());
    ASSERT_EQ(links->restores.size(), 1);
    EXPECT_EQ(links->restores[0], (NodeList{nodes[0], nodes[3]}));
    ASSERT_EQ(outcome->results.size(), 3);
    EXPECT_EQ(outcome->results[2].summary, QStringLiteral("tab ") + nodes[2].id().toString());

    links->fails = true;
    const RestoreOutcome failed = runTask(registry.restore(nodes, {}));
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().description, QStringLiteral("broken"));
    EXPECT_EQ(tabs->restores.size(), 1) << "the group after the failing one must not run";
}

TEST(WebLinkProvider, OpensOnlyWhatTheEntryRulesAcceptAndReportsRefusedOnesAsFailures)
{
    RecordingOpener opener;
    WebLinkProvider provider(opener);
    const QString address = QStringLiteral("https://example.com/a?b=c");

    // Rows stored before the rules, or by another program, stay as they are
    // but are never handed on.
    for (const char *stored : {"", "javascript:alert(1)", "--proxy-server=evil.example:1", "file:///etc/passwd",
                               "x-terminal-emulator:-e sh"}) {
        const OpenResult result = *runTask(provider.open(link(QString::fromUtf8(stored)), {}));
        EXPECT_FALSE(result.succeeded) << stored;
        EXPECT_TRUE(result.summary.startsWith(QStringLiteral("Not opened: "))) << result.summary.toStdString();
    }
    EXPECT_TRUE(opener.opened.isEmpty());
    EXPECT_EQ(*runTask(provider.open(link(address), {})),
              OpenResult::success(QStringLiteral("Opened link"), QUrl(address)));

    const RestoreOutcome restored = runTask(provider.restore({link(address), link(QStringLiteral("ssh://h"))}, {}));
    ASSERT_EQ(restored->results.size(), 2);
    EXPECT_EQ(restored->results[0].summary, QStringLiteral("Opened ") + address);
    EXPECT_EQ(restored->results[1].summary, QStringLiteral("Skipped 1 entries that are not web addresses"));

    opener.accepts = false;
    const OpenResult refused = *runTask(provider.open(link(address), {}));
    EXPECT_EQ(refused, OpenResult::failure(QStringLiteral("Could not open ") + address));
    EXPECT_FALSE(runTask(provider.restore({link(address)}, {}))->results[0].succeeded);
}

class FileProviderTest : public ::testing::Test {
protected:
    FileProviderTest()
    {
        QFile(m_path).open(QIODevice::WriteOnly);
        auto controller = std::make_unique<UITestAXWindowController>(m_registry, PermissionStatus::granted);
        m_controller = controller.get();
        m_controller->setWindowFrame(m_path, QRectF(10, 10, 300, 200));
        m_windows = std::make_unique<AsyncWindowController>(std::move(controller));
    }

    QTemporaryDir m_dir;
    const QString m_path = m_dir.filePath(QStringLiteral("notes.txt"));
    ManagedWindowRegistry m_registry;
    UITestAXWindowController *m_controller = nullptr;
    std::unique_ptr<AsyncWindowController> m_windows;
    RecordingOpener m_opener;
};

TEST_F(FileProviderTest, OpensTheItemAndMovesItsWindowOnlyWithAContentRectangleAndOnlyWhenOpened)
{
    FileProvider provider(m_opener, m_windows.get());
    const QString path = m_path;

    EXPECT_EQ(*runTask(provider.open(file(path), withContent(std::nullopt))),
              OpenResult::success(QStringLiteral("Opened file"), QUrl::fromLocalFile(path)));
    EXPECT_TRUE(m_controller->movedWindows().isEmpty());

    EXPECT_TRUE(runTask(provider.open(file(path), withContent()))->succeeded);
    EXPECT_EQ(m_controller->movedWindows(), (QList<UITestAXWindowController::Move>{{path, kContent}}));
    EXPECT_EQ(m_opener.opened, (QList<QUrl>{QUrl::fromLocalFile(path), QUrl::fromLocalFile(path)}));

    // A refused open is a failure, and no window is moved for it.
    m_opener.accepts = false;
    EXPECT_EQ(*runTask(provider.open(file(path), withContent())),
              OpenResult::failure(QStringLiteral("Could not open ") + path));
    EXPECT_EQ(m_controller->movedWindows().size(), 1);

    // A missing item, or a path that is not absolute, is said at once and
    // never handed on.
    m_opener.accepts = true;
    const QString gone = m_dir.filePath(QStringLiteral("gone.txt"));
    EXPECT_EQ(*runTask(provider.open(file(gone), withContent())),
              OpenResult::failure(QStringLiteral("“%1” no longer exists").arg(gone)));
    EXPECT_FALSE(runTask(provider.open(file(QStringLiteral("relative/path.txt")), {}))->succeeded);
    EXPECT_EQ(m_opener.opened.size(), 3);
}

TEST_F(FileProviderTest, AcceptsOnlyItsOwnCaseAndRestoresWithoutOpening)
{
    FolderProvider folders(m_opener, m_windows.get());
    FileProvider files(m_opener, m_windows.get());
    EXPECT_EQ(*runTask(folders.open(file(m_dir.path()), withContent())),
              OpenResult::failure(QStringLiteral("Unsupported folder payload")));
    EXPECT_EQ(runTask(folders.open(folder(m_dir.path()), {}))->summary, QStringLiteral("Opened folder"));

    const RestoreOutcome restored =
        runTask(files.restore({file(QStringLiteral("/x/1")), folder(QStringLiteral("/x/f")), file(QStringLiteral("/x/2"))},
                              RestoreContext{std::nullopt, kContent, true}));
    ASSERT_EQ(restored->results.size(), 2);
    EXPECT_EQ(restored->results[0].summary, QStringLiteral("Prepared file /x/1"));
    EXPECT_EQ(restored->results[1].summary, QStringLiteral("Prepared file /x/2"));
    EXPECT_EQ(m_opener.opened.size(), 1); // the folder opened above, nothing since
}

TEST(AsyncWindowController, RunsCallsOffTheGuiThreadAndAnswersQueuedCallsWhenDestroyed)
{
    ManagedWindowRegistry registry;
    auto windows = std::make_unique<AsyncWindowController>(
        std::make_unique<UITestAXWindowController>(registry, PermissionStatus::granted));
    QThread *const gui = QThread::currentThread();
    EXPECT_NE(runTask(windows->run<QThread *>([](AXWindowControlling &) { return QThread::currentThread(); }, gui)),
              gui);

    // A slow call holds the worker; the calls queued behind it never run.
    std::optional<bool> slow, queued;
    auto await = [](QCoro::Task<bool> task, std::optional<bool> &out) -> QCoro::Task<> { out = co_await task; };
    auto slowTask = windows->run<bool>(
        [](AXWindowControlling &) {
            QThread::msleep(200);
            return true;
        },
        false);
    auto queuedTask = windows->run<bool>([](AXWindowControlling &) { return true; }, false);
    auto a = await(std::move(slowTask), slow);
    auto b = await(std::move(queuedTask), queued);
    QThread::msleep(50);
    windows.reset();
    QCoro::waitFor(std::move(a));
    QCoro::waitFor(std::move(b));
    EXPECT_EQ(slow, true);
    EXPECT_EQ(queued, false);
}

std::optional<ChromeWindowBounds> boundsOf(const ChromeCommand &command)
{
    return std::get<ChromeCommand::OpenURLsInNewWindow>(command.value).bounds;
}

TEST(ChromeProvider, FocusesBoundTabsAndOpensUnboundOnesWhateverTheirMode)
{
    SimulatedBridge bridge;
    ChromeStateCache bindings;
    ChromeProvider provider(bridge, bindings);
    WorkspaceNode bound = tab(QStringLiteral("https://a.example"));
    bound.edit().payload.asChromeTab()->runtimeTabBinding = RuntimeTabBinding{7, 9};
    bound.edit().payload.asChromeTab()->preferredOpenMode = BrowserOpenMode::newWindow;

    EXPECT_EQ(*runTask(provider.open(bound, {})),
              OpenResult::success(QStringLiteral("Opened https://a.example"), QUrl(QStringLiteral("https://a.example"))));
    EXPECT_TRUE(runTask(provider.open(tab(QStringLiteral("https://b.example")), {}))->succeeded);
    ASSERT_EQ(bridge.sent.size(), 2);
    EXPECT_EQ(bridge.sent[0], ChromeCommand::focusTab(7, 9));
    EXPECT_EQ(bridge.sent[1], ChromeCommand::openURLInWindow(QStringLiteral("https://b.example")));
    EXPECT_EQ(*runTask(provider.open(link(QStringLiteral("https://c.example")), {})),
              OpenResult::failure(QStringLiteral("Unsupported Chrome payload")));
}

// A tab opened by the extension is bound; a bound tab that has gone opens
// again (and is bound to its new tab) instead of failing.
TEST(ChromeProvider, OpenedTabsAreFocusedUntilTheyAreGone)
{
    SimulatedBridge bridge;
    ChromeStateCache bindings;
    ChromeProvider provider(bridge, bindings);
    std::set<std::int64_t> liveTabs;
    std::int64_t nextTab = 10;
    bridge.answer = [&](const ChromeCommand &command) {
        if (const auto *focus = command.as<ChromeCommand::FocusTab>())
            return liveTabs.count(focus->tabID) ? ChromeCommandResponse{true, {}, {}, {}, {}}
                                                : ChromeCommandResponse{false, QStringLiteral("No tab"), {}, {}, {}};
        liveTabs.insert(nextTab);
        return ChromeCommandResponse{true, {}, {}, {}, QList<ChromeOpenedTab>{{0, 3, nextTab++}}};
    };
    const WorkspaceNode node = tab(QStringLiteral("https://a.example"));
    const auto open = [&] { return runTask(provider.open(node, {}))->succeeded; };

    EXPECT_TRUE(open());
    EXPECT_TRUE(open());
    EXPECT_EQ(bindings.binding(node.id()), (RuntimeTabBinding{3, 10}));
    liveTabs.clear();
    EXPECT_TRUE(open());
    EXPECT_EQ(bindings.binding(node.id()), (RuntimeTabBinding{3, 11}));
    EXPECT_EQ(bridge.sent, (QList<ChromeCommand>{ChromeCommand::openURLInWindow(QStringLiteral("https://a.example")),
                                                 ChromeCommand::focusTab(3, 10), ChromeCommand::focusTab(3, 10),
                                                 ChromeCommand::openURLInWindow(QStringLiteral("https://a.example"))}));
}

TEST(ChromeProvider, AReplyThatIsNotOkIsAFailureAndABridgeErrorPropagates)
{
    SimulatedBridge bridge;
    ChromeStateCache bindings;
    ChromeProvider provider(bridge, bindings);
    bridge.reply = ChromeCommandResponse{false, QStringLiteral("Chrome did not respond"), {}, {}, {}};
    EXPECT_EQ(*runTask(provider.open(tab(QStringLiteral("https://a.example")), {})),
              OpenResult::failure(QStringLiteral("Chrome did not respond")));
    EXPECT_FALSE(runTask(provider.restore({tab(QStringLiteral("https://a.example"))}, {}))->results[0].succeeded);

    bridge.error = ChromeBridgeError{ChromeBridgeError::Code::cannotWriteRequest, QStringLiteral("disk full")};
    EXPECT_FALSE(runTask(provider.open(tab(QStringLiteral("https://a.example")), {})).ok());
}

TEST(ChromeProvider, RestoresAllTabsInOneWindowInNodeOrder)
{
    SimulatedBridge bridge;
    ChromeStateCache bindings;
    ChromeProvider provider(bridge, bindings);
    // Tabs whose addresses the entry rules refuse are left out and counted.
    const NodeList tabs{tab(QStringLiteral("https://1.example")), link(QStringLiteral("https://x.example")),
                        tab(QStringLiteral("--utility-cmd-prefix=/tmp/x")), tab(QStringLiteral("https://2.example")),
                        tab(QStringLiteral("javascript:alert(1)")), tab(QStringLiteral("https://3.example"))};

    const RestoreOutcome restored = runTask(provider.restore(tabs, RestoreContext{std::nullopt, QRectF(384.4, 0, 1535.6, 1080), true}));
    ASSERT_EQ(restored->results.size(), 2);
    EXPECT_EQ(restored->results[0],
              OpenResult::success(QStringLiteral("Restored 3 tabs"), QUrl(QStringLiteral("https://1.example"))));
    EXPECT_EQ(restored->results[1], OpenResult::failure(QStringLiteral("Skipped 2 entries that are not web addresses")));
    ASSERT_EQ(bridge.sent.size(), 1);
    const QStringList expected{QStringLiteral("https://1.example"), QStringLiteral("https://2.example"),
                               QStringLiteral("https://3.example")};
    EXPECT_EQ(std::get<ChromeCommand::OpenURLsInNewWindow>(bridge.sent[0].value).urls, expected);
    EXPECT_EQ(boundsOf(bridge.sent[0]), (ChromeWindowBounds{384, 0, 1536, 1080}));

    (void)runTask(provider.restore(tabs, {}));
    EXPECT_FALSE(boundsOf(bridge.sent[1]));
    EXPECT_TRUE(runTask(provider.restore({link(QStringLiteral("https://x.example"))}, {}))->results.isEmpty());
    EXPECT_EQ(bridge.sent.size(), 2);
}

// The browser places windows in device pixels; the content rectangle is
// logical, so a scaled screen must be mapped before it is sent.
TEST(ChromeProvider, SendsTheContentRectangleInTheScreensPixels)
{
    SimulatedBridge bridge;
    ChromeStateCache bindings;
    ChromeProvider provider(bridge, bindings, {}, [](const QRectF &logical) {
        return QRectF(logical.topLeft() * 2, logical.size() * 2);
    });
    (void)runTask(provider.restore({tab(QStringLiteral("https://1.example"))},
                                   RestoreContext{std::nullopt, QRectF(300, 0, 500, 400), true}));
    ASSERT_EQ(bridge.sent.size(), 1);
    EXPECT_EQ(boundsOf(bridge.sent[0]), (ChromeWindowBounds{600, 0, 1000, 800}));
}

QStringList urlsOf(const ChromeCommand &command)
{
    if (const auto *c = command.as<ChromeCommand::OpenURLsInNewWindow>())
        return c->urls;
    if (const auto *c = command.as<ChromeCommand::OpenURLsInWindow>())
        return c->urls;
    return {};
}

// A large restore goes out in requests the browser accepts, into one window,
// and binds every node; an address that cannot fit a request is counted.
TEST(ChromeProvider, RestoresALargeSubtreeInPiecesIntoOneWindow)
{
    struct Row {
        const char *name;
        qsizetype count;
        qsizetype padding; // extra characters per address
        qsizetype pieces;
    };
    // 3,000 short addresses fill 500 a piece; 1.5 KiB ones fill 512 KiB first.
    const Row rows[] = {{"short", 3000, 0, 6}, {"long", 3000, 1500, 9}};
    for (const Row &row : rows) {
        SimulatedBridge bridge;
        ChromeStateCache bindings;
        ChromeProvider provider(bridge, bindings);
        std::int64_t nextTab = 1;
        bridge.answer = [&](const ChromeCommand &command) {
            QList<ChromeOpenedTab> opened;
            for (qsizetype i = 0; i < urlsOf(command).size(); ++i)
                opened.append({i, 42, nextTab++});
            return ChromeCommandResponse{true, {}, {}, {}, opened};
        };
        NodeList nodes;
        QStringList expected;
        for (qsizetype i = 0; i < row.count; ++i) {
            const QString url = QStringLiteral("https://e.example/%1?").arg(i) + QString(row.padding, QLatin1Char('x'));
            nodes.append(tab(url));
            expected.append(url);
            if (i == 7)
                nodes.append(tab(QStringLiteral("https://e.example/") + QString(600 * 1024, QLatin1Char('y'))));
        }

        const RestoreOutcome restored = runTask(provider.restore(nodes, {}));
        ASSERT_TRUE(restored.ok()) << row.name;
        EXPECT_EQ(restored->results,
                  (QList<OpenResult>{OpenResult::success(QStringLiteral("Restored %1 tabs").arg(row.count),
                                                         QUrl(expected.first())),
                                     OpenResult::failure(QStringLiteral("Skipped 1 addresses too long to send to Chrome"))}))
            << row.name;
        EXPECT_EQ(bridge.sent.size(), row.pieces) << row.name;
        QStringList sentURLs;
        for (qsizetype i = 0; i < bridge.sent.size(); ++i) {
            const ChromeCommand &command = bridge.sent[i];
            EXPECT_EQ(i == 0, command.as<ChromeCommand::OpenURLsInNewWindow>() != nullptr) << row.name;
            if (i > 0) {
                EXPECT_EQ(command.as<ChromeCommand::OpenURLsInWindow>()->windowID, 42) << row.name;
            }
            EXPECT_LE(ChromeMessageCodec::encode(ChromeHostEnvelope{QUuid::createUuid(), command}).size(),
                      ChromeProvider::kMaxRequestBytes)
                << row.name;
            EXPECT_LE(urlsOf(command).size(), ChromeProvider::kMaxAddressesPerRequest) << row.name;
            sentURLs += urlsOf(command);
        }
        EXPECT_EQ(sentURLs, expected) << row.name;
        std::set<std::int64_t> boundTabs;
        for (const WorkspaceNode &node : std::as_const(nodes)) {
            if (const auto bound = bindings.binding(node.id()))
                boundTabs.insert(bound->tabID);
        }
        EXPECT_EQ(qsizetype(boundTabs.size()), row.count) << row.name;
    }
}

// What opened before a later piece failed is reported, and so is the reason.
TEST(ChromeProvider, ALargeRestoreThatFailsPartWaySaysWhatOpened)
{
    SimulatedBridge bridge;
    ChromeStateCache bindings;
    ChromeProvider provider(bridge, bindings);
    bridge.answer = [&](const ChromeCommand &) {
        if (bridge.sent.size() > 1)
            return ChromeCommandResponse{false, QStringLiteral("Chrome did not respond"), {}, {}, {}};
        // An older extension: no opened entries, but the window it made.
        return ChromeCommandResponse{true, {}, QList<ChromeWindowState>{{5, {}, {}}}, {}, {}};
    };
    NodeList nodes;
    for (int i = 0; i < 1200; ++i)
        nodes.append(tab(QStringLiteral("https://e.example/%1").arg(i)));
    EXPECT_EQ(runTask(provider.restore(nodes, {}))->results,
              (QList<OpenResult>{OpenResult::success(QStringLiteral("Restored 500 of 1200 tabs"),
                                                     QUrl(QStringLiteral("https://e.example/0"))),
                                 OpenResult::failure(QStringLiteral("Chrome did not respond"))}));
    ASSERT_EQ(bridge.sent.size(), 2);
    EXPECT_EQ(bridge.sent[1].as<ChromeCommand::OpenURLsInWindow>()->windowID, 5);
}

class RecordingLauncher final : public BrowserLaunching {
public:
    std::optional<LaunchedBrowser> openInNewWindow(const QList<AcceptedAddress> &addresses) override
    {
        launches.append(addresses);
        return installed ? std::optional(LaunchedBrowser{QStringLiteral("/usr/bin/chromium"), QStringLiteral("chromium")})
                         : std::nullopt;
    }
    bool installed = true;
    QList<QList<AcceptedAddress>> launches;
};

// Starting the browser and placing its window is checked with a real Chromium
// (test_ChromeEndToEnd); here what happens when there is none to start.
TEST(ChromeProvider, WithoutTheExtensionOrABrowserTabsGoToTheDefaultBrowser)
{
    SimulatedBridge bridge;
    bridge.connected = false;
    RecordingLauncher launcher;
    launcher.installed = false;
    RecordingOpener opener;
    ManagedWindowRegistry registry;
    AsyncWindowController windows(std::make_unique<UITestAXWindowController>(registry, PermissionStatus::granted));
    ChromeStateCache bindings;
    ChromeProvider provider(bridge, bindings, ChromeWithoutExtension{&launcher, &opener, &windows, 1000});
    const NodeList tabs{tab(QStringLiteral("https://1.example")), tab(QStringLiteral("https://2.example"))};

    EXPECT_EQ(runTask(provider.restore(tabs, RestoreContext{std::nullopt, kContent, true}))->results[0].summary,
              QStringLiteral("Chrome is not installed; opened 2 tabs in the default browser"));
    EXPECT_EQ(opener.opened.size(), 2);
    EXPECT_TRUE(runTask(provider.open(tabs[0], {}))->succeeded);
    EXPECT_EQ(opener.opened.size(), 3);
    EXPECT_TRUE(bridge.sent.isEmpty());

    // A bound tab belongs to a browser that was connected: ask it.
    WorkspaceNode bound = tabs[0];
    bound.edit().payload.asChromeTab()->runtimeTabBinding = RuntimeTabBinding{1, 2};
    (void)runTask(provider.open(bound, {}));
    EXPECT_EQ(bridge.sent, QList<ChromeCommand>{ChromeCommand::focusTab(1, 2)});
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
