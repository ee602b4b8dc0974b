// The bridge's replies, time-outs, fallbacks, queue and installation. The
// peer answering through the queue directories is the test itself; the real
// host and browser are in the end-to-end tests.

#include "ChromeTestSupport.h"
#include "HostProcess.h"

#include "chrome/ChromeExtensionIdentity.h"
#include "common/AtomicFile.h"
#include "common/NativeHostPresence.h"
#include "common/NativeHostQueue.h"
#include "common/NativeMessagingFrame.h"
#include "model/Uuid.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QSignalSpy>

#include <sys/stat.h>

#include <fstream>
#include <numeric>

using namespace tarni;
using namespace tarni::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Answers request files like host and extension together would: takes each
// request, lets `reply` build the response message (nullopt: no answer).
class FakePeer : public QObject {
public:
    using Reply = std::function<std::optional<std::string>(const ChromeCommand &)>;

    FakePeer(const fs::path &root, Reply reply)
        : m_dirs(NativeHostQueueDirectories::under(root))
        , m_reply(std::move(reply))
    {
        connect(&m_timer, &QTimer::timeout, this, &FakePeer::pass);
        m_timer.start(2);
    }

    std::vector<ChromeCommand> received;

private:
    void pass()
    {
        const auto names = listQueueDirectory(m_dirs.requests);
        if (!names)
            return;
        for (const std::string &name : *names) {
            std::string text;
            if (!readWholeFile(m_dirs.requests / name, text, 1 << 20))
                continue;
            fs::remove(m_dirs.requests / name);
            auto envelope = m_codec.decodeEnvelope(text);
            ASSERT_TRUE(envelope) << text;
            const auto *command = std::get_if<ChromeCommand>(&envelope->message);
            ASSERT_TRUE(command) << text;
            received.push_back(*command);
            if (auto message = m_reply(*command)) {
                const std::string body = R"({"id":")" + uuidText(envelope->id) + R"(","message":)" + *message + "}";
                ASSERT_TRUE(writeFileAtomically(m_dirs.responses / name, body));
            }
        }
    }

    NativeHostQueueDirectories m_dirs;
    Reply m_reply;
    ChromeMessageCodec m_codec;
    QTimer m_timer;
};

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_scratch.path().empty());
        m_root = m_scratch.path() / "TarniBar";
        m_dirs = NativeHostQueueDirectories::under(m_root);
    }

    std::unique_ptr<ChromeNativeHostBridge> makeBridge(ChromeBridgeOptions options = {})
    {
        if (options.replyTimeout == 2000ms)
            options.replyTimeout = 300ms;
        return std::make_unique<ChromeNativeHostBridge>(&m_cache, m_root, options);
    }

    void queue(const std::string &name, const std::string &body)
    {
        fs::create_directories(m_dirs.queue);
        ASSERT_TRUE(writeFileAtomically(m_dirs.queue / name, body));
    }

    // A host with a browser connection, as the bridge sees one.
    std::unique_ptr<NativeHostPresence> announceHost()
    {
        std::string error;
        auto host = NativeHostPresence::announce(nativeHostsDirectory(m_root), &error);
        EXPECT_TRUE(host) << error;
        return host;
    }

    ScratchDirectory m_scratch;
    fs::path m_root;
    NativeHostQueueDirectories m_dirs;
    ChromeStateCache m_cache;
};

ChromeBridgeOptions options(const std::function<void(ChromeBridgeOptions &)> &set)
{
    ChromeBridgeOptions o;
    set(o);
    return o;
}

// Sends in the background. Parameters, not captures: a lambda's captures die
// before the coroutine does.
QCoro::Task<> sendInto(ChromeNativeHostBridge *bridge, std::optional<ChromeSendResult> *out)
{
    out->emplace(co_await bridge->send(ChromeCommand::ping()));
}

const char *kWindowJson = R"({"id":4,"tabs":[{"id":1,"windowID":4,"title":"A","url":"https://a.example","isActive":true}]})";

} // namespace

TEST_F(BridgeTest, ReplyIsReturnedAndFeedsTheCache)
{
    const auto host = announceHost();
    auto bridge = makeBridge();
    FakePeer peer(m_root, [](const ChromeCommand &command) -> std::optional<std::string> {
        if (command.as<ChromeCommand::GetAllWindowsState>())
            return std::string(R"({"ok":true,"summary":"All windows","windows":[)") + kWindowJson + "]}";
        return std::string(R"({"ok":false,"summary":"No such tab"})");
    });

    const auto reply = runTask(bridge->send(ChromeCommand::getAllWindowsState()));
    ASSERT_TRUE(reply) << reply.error().description().toStdString();
    EXPECT_TRUE(reply->ok);
    EXPECT_EQ(reply->summary, QStringLiteral("All windows"));
    ASSERT_EQ(m_cache.windows().size(), 1);
    EXPECT_EQ(m_cache.windows().front().id, 4);

    // A reply without windows leaves the cache alone; ok false is returned as it is.
    const auto refused = runTask(bridge->send(ChromeCommand::focusTab(4, 99)));
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->ok);
    EXPECT_EQ(refused->summary, QStringLiteral("No such tab"));
    EXPECT_EQ(m_cache.windows().size(), 1);
    EXPECT_EQ(peer.received.back(), ChromeCommand::focusTab(4, 99));
    EXPECT_TRUE(fileNames(m_dirs.responses).empty()) << "the bridge removes the reply it took";
}

TEST_F(BridgeTest, UnansweredRequestIsWithdrawnAndALateReplyOnlyFeedsTheCache)
{
    const auto host = announceHost();
    auto bridge = makeBridge(options([&](ChromeBridgeOptions &o) { o.presencePollInterval = 20ms; }));
    m_cache.setWindows({ChromeWindowState{9, {}, {}}});
    fs::create_directories(m_dirs.pending);
    for (const bool claimed : {false, true}) {
        SCOPED_TRACE(claimed ? "claimed by the host" : "never claimed");
        // A host that takes the request (its marker) and never answers.
        std::string taken;
        QTimer host;
        QObject::connect(&host, &QTimer::timeout, [&] {
            const auto names = fileNames(m_dirs.requests);
            if (claimed && taken.empty() && !names.empty()) {
                taken = names.front();
                fs::rename(m_dirs.requests / taken, m_dirs.pending / taken);
            }
        });
        host.start(5);
        const auto reply = runTask(bridge->send(ChromeCommand::captureCurrentTab()));
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, (ChromeCommandResponse{false, QStringLiteral("Chrome did not respond"), {}, {}, {}}));
        EXPECT_EQ(!taken.empty(), claimed);
        EXPECT_EQ(fileNames(m_dirs.requests), std::vector<std::string>{}) << "a browser started later would open it";
        EXPECT_EQ(fileNames(m_dirs.pending), std::vector<std::string>{});
    }
    EXPECT_EQ(m_cache.lastCapture(), std::nullopt);
    EXPECT_EQ(m_cache.windows(), (QList<ChromeWindowState>{ChromeWindowState{9, {}, {}}}));

    // The reply comes after all: filed in the queue (no marker left), or as a
    // response in a race with the withdrawal. An earlier run left a request
    // and a marker behind.
    const std::string late = std::string(R"({"id":"B0000000-0000-4000-8000-000000000000","message":{"ok":true,"windows":[)") +
                             kWindowJson + "]}}";
    queue("B0000000-0000-4000-8000-000000000000.json", late);
    ASSERT_TRUE(writeFileAtomically(m_dirs.responses / "B0000000-0000-4000-8000-000000000000.json", late));
    ASSERT_TRUE(writeFileAtomically(m_dirs.requests / "C0000000-0000-4000-8000-000000000000.json", "{}"));
    ASSERT_TRUE(writeFileAtomically(m_dirs.pending / "D0000000-0000-4000-8000-000000000000.json", "{}"));
    bridge->startQueueMonitoring();
    EXPECT_EQ(fileNames(m_dirs.pending), std::vector<std::string>{});
    EXPECT_TRUE(spinUntil([&] {
        return fileNames(m_dirs.queue).empty() && fileNames(m_dirs.responses).empty();
    }));
    EXPECT_FALSE(fs::exists(m_dirs.requests / "C0000000-0000-4000-8000-000000000000.json"));
    ASSERT_EQ(m_cache.windows().size(), 1);
    EXPECT_EQ(m_cache.windows().front().id, 4);
}

TEST_F(BridgeTest, OpeningWaitsLongerPerAddressAndStopsWaitingWhenTheHostGoes)
{
    auto host = announceHost();
    auto bridge = makeBridge(options([&](ChromeBridgeOptions &o) {
        o.replyTimeout = 100ms;
        o.replyTimePerOpenedAddress = 300ms;
        o.presencePollInterval = 20ms;
    }));
    // The browser answers three addresses after 500 ms: past the plain wait,
    // within the wait for three.
    QTimer::singleShot(500ms, [&] {
        for (const std::string &name : fileNames(m_dirs.requests)) {
            fs::remove(m_dirs.requests / name); // claimed
            writeFileAtomically(m_dirs.responses / name, R"({"id":"A0000000-0000-4000-8000-000000000000","message":{"ok":true}})");
        }
    });
    const QStringList three{QStringLiteral("https://a.example/"), QStringLiteral("https://b.example/"),
                            QStringLiteral("https://c.example/")};
    const auto answered = runTask(bridge->send(ChromeCommand::openURLsInNewWindow(three, std::nullopt)));
    ASSERT_TRUE(answered);
    EXPECT_TRUE(answered->ok) << answered->summary.value_or(QString()).toStdString();

    // The browser closes while a long wait runs: the request goes at once.
    QStringList many;
    for (int i = 0; i < 200; ++i)
        many.append(QStringLiteral("https://d.example/%1").arg(i));
    QTimer::singleShot(200ms, [&] { host.reset(); });
    QElapsedTimer timer;
    timer.start();
    const auto abandoned = runTask(bridge->send(ChromeCommand::openURLsInNewWindow(many, std::nullopt)));
    ASSERT_TRUE(abandoned);
    EXPECT_FALSE(abandoned->ok);
    EXPECT_LT(timer.elapsed(), 5000) << abandoned->summary.value_or(QString()).toStdString();
    EXPECT_EQ(fileNames(m_dirs.requests), std::vector<std::string>{}) << "a browser started later would open it";
}

TEST_F(BridgeTest, WithoutAHostACommandIsAnsweredAtOnceAndLeavesNoRequest)
{
    for (const bool simulated : {false, true}) {
        SCOPED_TRACE(simulated ? "simulated browser" : "no browser");
        auto bridge = makeBridge(options([&](ChromeBridgeOptions &o) {
            o.replyTimeout = 60s;
            o.simulateConnectedChrome = simulated;
        }));
        QElapsedTimer timer;
        timer.start();
        const auto reply = runTask(bridge->send(ChromeCommand::getAllWindowsState()));
        EXPECT_LT(timer.elapsed(), 30000);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->ok, simulated);
        EXPECT_EQ(reply->summary, simulated ? QStringLiteral("All windows state")
                                            : QStringLiteral("Chrome extension not connected"));
        EXPECT_FALSE(bridge->isConnected());
        EXPECT_TRUE(!fs::exists(m_dirs.requests) || fileNames(m_dirs.requests).empty());
    }
}

TEST_F(BridgeTest, ConnectedWhileAHostRunsAndAskedForFreshStateWhenOneAppears)
{
    auto first = announceHost();
    // The poll is a minute away: only the directory notifications count.
    auto bridge = makeBridge(options([&](ChromeBridgeOptions &o) { o.presencePollInterval = 60s; }));
    EXPECT_TRUE(bridge->isConnected()) << "from the start";
    FakePeer peer(m_root, [](const ChromeCommand &) {
        return std::optional<std::string>(std::string(R"({"ok":true,"windows":[)") + kWindowJson + "]}");
    });
    bridge->startQueueMonitoring();
    ASSERT_TRUE(spinUntil([&] { return m_cache.windows().size() == 1; }));
    EXPECT_EQ(peer.received, std::vector<ChromeCommand>{ChromeCommand::getAllWindowsState()});

    QSignalSpy changes(bridge.get(), &ChromeNativeHostBridge::isConnectedChanged);
    first.reset();
    ASSERT_TRUE(spinUntil([&] { return !bridge->isConnected(); }));
    auto second = announceHost();
    ASSERT_TRUE(spinUntil([&] { return bridge->isConnected(); }));
    EXPECT_EQ(changes.count(), 2);
    EXPECT_TRUE(spinUntil([&] { return peer.received.size() == 2; })) << "no fresh state from the new host";
    EXPECT_EQ(peer.received.back(), ChromeCommand::getAllWindowsState());
}

TEST_F(BridgeTest, ReplyIsSeenAtOnceNotAtTheNextPoll)
{
    // The poll and the deadline are a minute away: only the directory
    // notification can deliver the reply while the test waits.
    const auto host = announceHost();
    auto bridge = makeBridge(options([&](ChromeBridgeOptions &o) { o.replyTimeout = 60s; o.replyPollInterval = 60s; }));
    FakePeer peer(m_root, [](const ChromeCommand &) { return std::optional<std::string>(R"({"ok":true})"); });
    std::optional<ChromeSendResult> result;
    auto task = sendInto(bridge.get(), &result);
    ASSERT_TRUE(spinUntil([&] { return result.has_value(); }, 10000)) << "the reply was not noticed";
    ASSERT_TRUE(*result);
    EXPECT_TRUE((*result)->ok);
}

TEST_F(BridgeTest, UnwritableQueueIsAnError)
{
    const auto host = announceHost();
    std::ofstream(m_dirs.requests.string()) << "a file where the queue belongs";
    auto bridge = makeBridge();
    const auto reply = runTask(bridge->send(ChromeCommand::ping()));
    ASSERT_FALSE(reply);
    EXPECT_EQ(reply.error().code, ChromeBridgeError::Code::cannotCreateDirectory);
}

TEST_F(BridgeTest, QueuedMessagesAreAppliedInNameOrderAndAlwaysRemoved)
{
    auto bridge = makeBridge();
    const std::string a = "A0000000-0000-4000-8000-000000000000";
    queue("3.json", R"({"id":")" + a + R"(","message":{"type":"windowsState","windows":[{"id":2,"tabs":[]}]}})");
    queue("1.json", R"({"id":")" + a + R"(","message":{"type":"connected"}})");
    queue("2.json", R"({"id":")" + a + R"(","message":{"type":"windowsState","windows":[{"id":1,"tabs":[]}]}})");
    queue("4.json", R"({"id":")" + a +
                        R"(","message":{"type":"saveSlackThread","slackThread":{"permalinkURL":"https://t.slack.com/archives/C1/p1","preferredOpenMode":"browserPermalink"}}})");
    queue("5.json", "not json");
    queue("6.json", R"({"message":{"type":"connected"}})");
    queue("7.json", R"({"id":")" + a + R"(","message":{"type":"ping"}})");
    queue("8.json", R"({"id":")" + a + R"(","message":{"ok":true,"windows":[)" + kWindowJson + "]}}");
    queue(".9.json.tmp", "partial");
    // A FIFO would block a plain read (and the GUI thread with it) for ever.
    ASSERT_EQ(::mkfifo((m_dirs.queue / "0.json").c_str(), 0600), 0);

    bridge->startQueueMonitoring();
    ASSERT_TRUE(spinUntil([&] { return fileNames(m_dirs.queue).empty(); }));
    EXPECT_FALSE(bridge->isConnected()) << "only a running host connects";
    ASSERT_TRUE(bridge->latestSlackCapture());
    EXPECT_EQ(bridge->latestSlackCapture()->thread.permalinkURL, QStringLiteral("https://t.slack.com/archives/C1/p1"));
    EXPECT_EQ(uuidText(bridge->latestSlackCapture()->envelopeID), a);
    // The queued response came last and replaced the windows of the events.
    ASSERT_EQ(m_cache.windows().size(), 1);
    EXPECT_EQ(m_cache.windows().front().id, 4);
    EXPECT_TRUE(fs::exists(m_dirs.queue / ".9.json.tmp"));

    bridge->consumeLatestSlackCapture();
    EXPECT_FALSE(bridge->latestSlackCapture());
}

TEST_F(BridgeTest, QueueIsWatched)
{
    auto bridge = makeBridge(options([&](ChromeBridgeOptions &o) { o.queuePollInterval = 60000ms; }));
    bridge->startQueueMonitoring();

    // The poll is a minute away: only the directory notification can deliver it.
    queue(randomUuidText() + ".json", std::string(R"({"id":"A0000000-0000-4000-8000-000000000000","message":{"type":"windowsState","windows":[)") +
                                          kWindowJson + "]}}");
    ASSERT_TRUE(spinUntil([&] { return !m_cache.windows().isEmpty(); }, 10000)) << "the queue was not picked up";
    EXPECT_TRUE(spinUntil([&] { return fileNames(m_dirs.queue).empty(); }));
}

TEST_F(BridgeTest, ALongQueueIsTakenInOnceEachInOrderWhileTheEventLoopTurns)
{
    constexpr int kCount = 5000;
    fs::create_directories(m_dirs.queue);
    for (int i = 0; i < kCount; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%05d-A.json", i);
        std::ofstream(m_dirs.queue / name)
            << R"({"id":"A0000000-0000-4000-8000-000000000000","message":{"type":"saveSlackThread","slackThread":)"
            << R"({"permalinkURL":"https://t.slack.com/archives/C1/p)" << 1000000 + i
            << R"(","preferredOpenMode":"browserPermalink"}}})";
    }
    // Slices of a millisecond: taking the whole queue in takes many.
    auto bridge = makeBridge(options([&](ChromeBridgeOptions &o) {
        o.queuePollInterval = 60s;
        o.queueSlice = 1ms;
    }));
    int turns = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++turns; });
    ticker.start(0);
    std::vector<int> taken;
    int turnsAtFirst = -1;
    int turnsAtLast = -1;
    QObject::connect(bridge.get(), &ChromeNativeHostBridge::latestSlackCaptureChanged, [&] {
        if (const auto &capture = bridge->latestSlackCapture()) {
            if (taken.empty())
                turnsAtFirst = turns;
            turnsAtLast = turns;
            taken.push_back(capture->thread.permalinkURL.section(QLatin1Char('p'), -1).toInt() - 1000000);
            bridge->consumeLatestSlackCapture();
        }
    });
    bridge->startQueueMonitoring();
    ASSERT_TRUE(spinUntil([&] { return taken.size() >= std::size_t(kCount); }, 60000)) << taken.size();
    std::vector<int> expected(kCount);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(taken, expected);
    EXPECT_GT(turnsAtLast - turnsAtFirst, 2) << "the queue held the event loop";
    EXPECT_TRUE(fileNames(m_dirs.queue).empty());
}

TEST_F(BridgeTest, InstallingWritesTheManifestAndReplacesTheHostProgram)
{
    const fs::path source = m_scratch.path() / "bundled-host";
    writeFile(source, "#!/bin/sh\necho first\n");
    auto bridge = makeBridge(options([&](ChromeBridgeOptions &o) { o.automationMode = true; o.bundledHostProgram = QString::fromStdString(source.string()); }));
    const QString hostPath = QString::fromStdString((m_root / kNativeHostProgramName).string());

    const auto manifest = bridge->installNativeHostManifest(hostPath, QString::fromLatin1(kChromeExtensionID));
    ASSERT_TRUE(manifest) << manifest.error().description().toStdString();
    EXPECT_EQ(manifest.value().toStdString(), (m_root / "NativeMessagingHosts" / kNativeHostManifestFileName).string());
    auto read = [&] { return QJsonDocument::fromJson(QByteArray::fromStdString(readFile(manifest->toStdString()))); };
    EXPECT_EQ(read()[QLatin1String("path")].toString(), hostPath);
    EXPECT_EQ(read()[QLatin1String("allowed_origins")][0].toString(),
              QStringLiteral("chrome-extension://%1/").arg(QLatin1String(kChromeExtensionID)));
    EXPECT_EQ(permissions(hostPath.toStdString()), 0755u);

    writeFile(source, "#!/bin/sh\necho second\n");
    ASSERT_TRUE(bridge->installNativeHostManifest(hostPath, QStringLiteral("abc")));
    EXPECT_EQ(readFile(hostPath.toStdString()), "#!/bin/sh\necho second\n");
    EXPECT_EQ(read()[QLatin1String("allowed_origins")][0].toString(), QStringLiteral("chrome-extension://abc/"));
}

// The browsers come from the bridge's environment and its configuration
// folder; no browser found is no manifest, and no error.
TEST_F(BridgeTest, InstallingForTheUserCoversTheBrowsersFound)
{
    const fs::path config = m_scratch.path() / "config";
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("HOME"), QString::fromStdString((m_scratch.path() / "home").string()));
    // No program and no desktop entry of the machine's counts.
    environment.insert(QStringLiteral("XDG_DATA_DIRS"), QString::fromStdString((m_scratch.path() / "none").string()));
    auto bridge = makeBridge(options([&](ChromeBridgeOptions &o) {
        o.configHome = QString::fromStdString(config.string());
        o.environment = environment;
    }));
    const auto none = bridge->installNativeHostManifest(QStringLiteral("/opt/host"), QStringLiteral("id"));
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->isEmpty());
    EXPECT_TRUE(bridge->browserRegistrations().empty());

    fs::create_directories(config / "vivaldi");
    const auto manifest = bridge->installNativeHostManifest(QStringLiteral("/opt/host"), QStringLiteral("id"));
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest.value().toStdString(),
              (config / "vivaldi" / "NativeMessagingHosts" / kNativeHostManifestFileName).string());
    ASSERT_EQ(bridge->browserRegistrations().size(), 1u);
    EXPECT_EQ(bridge->browserRegistrations()[0].browser, browserByKey(u"vivaldi"));
    EXPECT_FALSE(fs::exists(config / "google-chrome"));
    EXPECT_FALSE(fs::exists(config / "chromium"));

    // A folder that cannot be written is the bridge's error.
    fs::remove_all(config / "vivaldi" / "NativeMessagingHosts");
    writeFile(config / "vivaldi" / "NativeMessagingHosts", "a file");
    const auto failed = bridge->installNativeHostManifest(QStringLiteral("/opt/host"), QStringLiteral("id"));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().code, ChromeBridgeError::Code::cannotWriteManifest);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
