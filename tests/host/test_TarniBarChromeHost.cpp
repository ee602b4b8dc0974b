// The host as a black box: crafted frames in, frames and queue files out.

#include "HostProcess.h"

#include "common/ApplicationLaunch.h"
#include "common/InstanceLock.h"
#include "common/NativeHostQueue.h"
#include "common/NativeMessagingFrame.h"
#include "core/chrome/ChromeExtensionIdentity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <thread>

using namespace tarni;
using namespace tarni::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char *kId = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
const std::string kName = std::string(kId) + ".json";

class HostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_scratch.path().empty());
        useDataHome(m_scratch.path() / "data");
        fs::create_directories(m_scratch.path() / "home");
        fs::create_directories(m_scratch.path() / "system-data");
    }

    void useDataHome(const fs::path &dataHome)
    {
        m_dataHome = dataHome;
        m_root = m_dataHome / "TarniBar";
        m_dirs = NativeHostQueueDirectories::under(m_root);
    }

    std::unique_ptr<HostProcess> startHost(std::vector<std::string> env = {})
    {
        env.push_back("XDG_DATA_HOME=" + m_dataHome.string());
        env.push_back("XDG_DATA_DIRS=" + (m_scratch.path() / "system-data").string());
        env.push_back("HOME=" + (m_scratch.path() / "home").string());
        auto host = std::make_unique<HostProcess>(TARNI_HOST_PROGRAM, env);
        EXPECT_TRUE(host->started());
        // The directories exist once the host is up.
        EXPECT_TRUE(waitUntil([&] { return fs::is_directory(m_dirs.responses); }));
        return host;
    }

    // Ends the host by closing its input and expects a clean exit.
    static void finish(HostProcess &host)
    {
        host.closeInput();
        EXPECT_EQ(host.waitForExit(5s), 0);
    }

    // A stand-in for the application: records its arguments, prints to
    // standard output (which must never reach the frame stream) and exits.
    fs::path installStubApplication()
    {
        const fs::path stub = m_scratch.path() / "stub-app";
        std::ofstream out(stub);
        out << "#!/bin/sh\n"
            << "echo \"stray output of the application\"\n"
            << "echo \"$@\" >> '" << m_record.string() << "'\n";
        out.close();
        fs::permissions(stub, fs::perms::owner_all);
        return stub;
    }

    // Holding the lock makes the application "running", so nothing is launched.
    void pretendApplicationRuns()
    {
        fs::create_directories(m_root);
        std::string error;
        ASSERT_TRUE(m_lock.tryAcquire(m_root, &error)) << error;
    }

    ScratchDirectory m_scratch;
    fs::path m_dataHome;
    fs::path m_root;
    fs::path m_record = m_scratch.path() / "launches.txt";
    NativeHostQueueDirectories m_dirs;
    InstanceLock m_lock;
};

std::string envelope(const std::string &id, const std::string &message = R"({"type":"connected"})")
{
    return R"({"id":")" + id + R"(","message":)" + message + "}";
}

} // namespace

TEST_F(HostTest, ServesOurExtensionFromFirefoxAndRefusesOthersBeforeTouchingAnything)
{
    const std::vector<std::string> env{"XDG_DATA_HOME=" + m_dataHome.string(),
                                       "HOME=" + (m_scratch.path() / "home").string()};
    HostProcess foreign(TARNI_HOST_PROGRAM, env, {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"});
    EXPECT_EQ(foreign.waitForExit(5s), 1);
    EXPECT_NE(foreign.standardError().find("refuses the caller"), std::string::npos) << foreign.standardError();
    EXPECT_FALSE(fs::exists(m_root)) << "a refused caller made the data folder";

    HostProcess firefox(TARNI_HOST_PROGRAM, env, {"/home/u/.mozilla/native-messaging-hosts/x.json", kFirefoxExtensionID});
    EXPECT_TRUE(waitUntil([&] { return fs::is_directory(m_dirs.responses); }));
    finish(firefox);
}

TEST_F(HostTest, EmptyInputOrAPartialHeaderEndsWithStatusZeroAndPrivateDirectories)
{
    for (const std::string &input : {std::string(), std::string("\x05\x00", 2)}) {
        auto host = startHost();
        ASSERT_TRUE(host->writeBytes(input));
        finish(*host);
        EXPECT_EQ(host->standardError(), "");
    }
    EXPECT_TRUE(fileNames(m_dirs.queue).empty());
    EXPECT_EQ(permissions(m_root), 0700u);
    for (const fs::path &dir : {m_dirs.requests, m_dirs.pending, m_dirs.responses, m_dirs.queue})
        EXPECT_EQ(permissions(dir), 0700u) << dir;
}

TEST_F(HostTest, ReplyInLowerCaseReplacesOlderResponseAndRemovesMarker)
{
    pretendApplicationRuns();
    auto host = startHost();
    writeFile(m_dirs.pending / kName, "{}");
    writeFile(m_dirs.responses / kName, "stale");

    const std::string reply = envelope("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d", R"({"ok":true,"summary":"done"})");
    ASSERT_TRUE(host->writeFrame(reply));
    ASSERT_TRUE(waitUntil([&] { return !fs::exists(m_dirs.pending / kName); }));
    EXPECT_EQ(readFile(m_dirs.responses / kName), reply);
    EXPECT_EQ(permissions(m_dirs.responses / kName), 0600u);
    EXPECT_TRUE(fileNames(m_dirs.queue).empty());
    finish(*host);
}

TEST_F(HostTest, WhileTheApplicationRunsEveryUnsolicitedMessageIsQueuedUnderItsOwnNameInArrivalOrder)
{
    const std::string lowerCaseId = "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";
    std::vector<std::string> bodies{
        envelope(kId, R"({"ok":true})"), // a reply nobody waits for
        envelope(lowerCaseId),           // the same id but for case: a file of its own
        envelope(kId),                   // the same id again
        "",                              // zero length
        "not json at all",
        R"({"message":{"type":"connected"}})", // no id
        R"({"id":"not-a-uuid","message":{}})",
        R"({"id":12,"message":{}})",
        R"(["0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D"])",
        R"({"message":{"id":"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D"}})", // only the top level counts
        std::string(R"({"id":")") + kId + R"(","message":{)",           // valid start, not JSON throughout
        std::string(R"({"id":")") + kId + R"("} trailing)",
        std::string(2000, '['),
    };
    // Enough to fill several batches.
    for (int n = 0; n < 300; ++n)
        bodies.push_back(envelope(randomUuidText(), R"({"type":"tabClosed","tabID":)" + std::to_string(n) + "}"));
    pretendApplicationRuns();
    auto host = startHost();
    std::string frames;
    for (const std::string &body : bodies) {
        char header[4];
        encodeFrameLength(static_cast<std::uint32_t>(body.size()), header);
        frames += std::string(header, 4) + body;
    }
    ASSERT_TRUE(host->writeBytes(frames));
    finish(*host);
    EXPECT_EQ(host->standardError(), "");

    const auto names = fileNames(m_dirs.queue);
    std::vector<std::string> filed;
    for (const std::string &name : names)
        filed.push_back(readFile(m_dirs.queue / name));
    EXPECT_EQ(filed, bodies) << "not every message filed, or not in arrival order";
    // "<20-digit arrival stamp>-<canonical id>.json"
    const auto wellFormed = [](const std::string &name) {
        return name.size() == 20 + 1 + 36 + 5 &&
               std::all_of(name.begin(), name.begin() + 20, [](char c) { return c >= '0' && c <= '9'; }) &&
               name[20] == '-' && canonicalUuidText(name.substr(21, 36)) == name.substr(21, 36) &&
               name.ends_with(".json");
    };
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_TRUE(wellFormed(names[i])) << names[i];
        // The envelope's id in canonical form when it has a valid one, else a fresh one.
        EXPECT_EQ(names[i].substr(21) == kName, i < 3) << names[i];
    }
    EXPECT_TRUE(fileNames(m_dirs.responses).empty());
}

TEST_F(HostTest, RequestsAreForwardedInNameOrderPastEntriesThatAreNotFiles)
{
    fs::create_directories(m_dirs.requests);
    const std::string first = "11111111-0000-4000-8000-000000000000.json";
    const std::string second = "22222222-0000-4000-8000-000000000000.json";
    // Written in the opposite order: the name decides.
    writeFile(m_dirs.requests / second, R"({"second":true})");
    writeFile(m_dirs.requests / first, R"({"first":true})");
    writeFile(m_dirs.requests / ".temporary", "never forwarded");
    // Named like requests and sorted between the two: none may stop, stall or
    // redirect forwarding, and each stays where it is.
    const std::string folder = "1A000000-0000-4000-8000-000000000000.json";
    const std::string dangling = "1B000000-0000-4000-8000-000000000000.json";
    const std::string link = "1C000000-0000-4000-8000-000000000000.json";
    const std::string fifo = "1D000000-0000-4000-8000-000000000000.json";
    fs::create_directory(m_dirs.requests / folder);
    fs::create_symlink(m_scratch.path() / "nowhere", m_dirs.requests / dangling);
    writeFile(m_scratch.path() / "private", "a file elsewhere");
    fs::create_symlink(m_scratch.path() / "private", m_dirs.requests / link);
    ASSERT_EQ(::mkfifo((m_dirs.requests / fifo).c_str(), 0600), 0);

    auto host = startHost();
    EXPECT_EQ(host->readFrame(5s), R"({"first":true})");
    EXPECT_EQ(host->readFrame(5s), R"({"second":true})");
    EXPECT_EQ(fileNames(m_dirs.pending), (std::vector<std::string>{first, second}));
    // Several more passes: still one message per entry.
    std::this_thread::sleep_for(500ms);
    finish(*host);
    EXPECT_EQ(host->readFrame(0ms), std::nullopt);
    EXPECT_EQ(fileNames(m_dirs.requests), (std::vector<std::string>{folder, dangling, link, fifo}));
    EXPECT_TRUE(fs::exists(m_dirs.requests / ".temporary"));
    const std::string errors = host->standardError();
    for (const std::string &name : {folder, dangling, link, fifo}) {
        const auto at = errors.find(name);
        EXPECT_NE(at, std::string::npos) << name << " not reported:\n" << errors;
        EXPECT_EQ(errors.find(name, at + 1), std::string::npos) << name << " reported twice:\n" << errors;
    }
}

TEST_F(HostTest, TwoHostsOnOneRootForwardEveryRequestOnceAndRouteEveryReply)
{
    // Every reply is flushed to disk; in memory the test takes seconds, not a minute.
    const ScratchDirectory memory(fs::is_directory("/dev/shm") ? "/dev/shm" : "");
    ASSERT_FALSE(memory.path().empty());
    useDataHome(memory.path());
    pretendApplicationRuns();

    // Two browsers (or profiles), a host each, one application writing requests
    // while both hosts run. Each browser answers every frame at once, so a reply
    // can only find its marker if the marker was placed before the frame left.
    constexpr int kRequests = 10000;
    const std::unique_ptr<HostProcess> hosts[2] = {startHost(), startHost()};
    std::atomic<int> forwarded{0}, browsersDone{0};
    std::vector<std::string> seen[2];
    int unmarked[2] = {0, 0};
    auto browser = [&](int i) {
        HostProcess &host = *hosts[i];
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (forwarded < kRequests && std::chrono::steady_clock::now() < deadline) {
            const auto body = host.readFrame(50ms);
            if (!body) {
                if (host.waitForExit(0ms))
                    break;
                continue;
            }
            ++forwarded;
            const std::string id = body->substr(std::strlen(R"({"id":")"), 36);
            seen[i].push_back(id);
            if (!fs::exists(m_dirs.pending / (id + ".json")))
                ++unmarked[i];
            host.writeFrame(envelope(id, R"({"ok":true})"));
        }
        ++browsersDone;
    };
    std::thread first(browser, 0), second(browser, 1);
    std::set<std::string> ids;
    for (int n = 0; n < kRequests; ++n) {
        const std::string id = randomUuidText();
        ids.insert(id);
        writeFile(m_dirs.requests / ".tmp", envelope(id, R"({"type":"ping"})"));
        fs::rename(m_dirs.requests / ".tmp", m_dirs.requests / (id + ".json"));
    }
    // Like the application, take each reply as it comes.
    int routed = 0;
    auto takeReplies = [&] {
        for (const std::string &name : fileNames(m_dirs.responses)) {
            const std::string id = name.substr(0, 36);
            routed += ids.contains(id) && readFile(m_dirs.responses / name) == envelope(id, R"({"ok":true})");
            fs::remove(m_dirs.responses / name);
        }
    };
    while (browsersDone < 2) {
        takeReplies();
        std::this_thread::sleep_for(10ms);
    }
    first.join();
    second.join();
    for (const auto &host : hosts) {
        finish(*host);
        EXPECT_EQ(host->standardError(), "");
    }
    takeReplies();

    std::multiset<std::string> sent(seen[0].begin(), seen[0].end());
    sent.insert(seen[1].begin(), seen[1].end());
    EXPECT_TRUE(std::equal(ids.begin(), ids.end(), sent.begin(), sent.end())) << "a request was lost or sent twice";
    // Otherwise the hosts never raced.
    EXPECT_GT(seen[0].size(), 0u);
    EXPECT_GT(seen[1].size(), 0u);
    EXPECT_EQ(unmarked[0] + unmarked[1], 0);
    EXPECT_EQ(routed, kRequests);
    EXPECT_TRUE(fileNames(m_dirs.queue).empty());
    EXPECT_TRUE(fileNames(m_dirs.pending).empty());
    EXPECT_TRUE(fileNames(m_dirs.requests).empty());
}

TEST_F(HostTest, RequestsLargerThanTheBrowserAcceptsAreDroppedAndTheQueueMovesOn)
{
    fs::create_directories(m_dirs.requests);
    const std::string atLimit(kMaxOutboundMessageLength, 'a');
    writeFile(m_dirs.requests / "1.json", atLimit);
    writeFile(m_dirs.requests / "2.json", std::string(kMaxOutboundMessageLength + 1, 'b'));
    writeFile(m_dirs.requests / "3.json", "{}");

    auto host = startHost();
    const auto frame = host->readFrame(5s);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size(), atLimit.size());
    EXPECT_EQ(host->readFrame(5s), "{}");
    EXPECT_FALSE(fs::exists(m_dirs.requests / "2.json"));
    EXPECT_FALSE(fs::exists(m_dirs.pending / "2.json"));
    finish(*host);
    EXPECT_NE(host->standardError().find("dropped request 2.json"), std::string::npos) << host->standardError();
}

TEST_F(HostTest, RequestWhoseFrameCannotBeWrittenIsGivenBackAndTheHostEnds)
{
    auto host = startHost();
    host->closeOutput();
    writeFile(m_dirs.requests / ".tmp", envelope(kId, R"({"type":"ping"})"));
    fs::rename(m_dirs.requests / ".tmp", m_dirs.requests / kName);
    EXPECT_EQ(host->waitForExit(5s), 1);
    EXPECT_EQ(host->standardError().rfind("Native host failed: cannot write to standard output", 0), 0u)
        << host->standardError();
    // Not sent, so no marker; the request waits for the next host.
    EXPECT_TRUE(fileNames(m_dirs.pending).empty());
    EXPECT_EQ(fileNames(m_dirs.requests), std::vector<std::string>{kName});
}

TEST_F(HostTest, MessageThatCannotBeFiledIsReportedAndReadingGoesOn)
{
    pretendApplicationRuns();
    auto host = startHost();
    // A file where the queue directory belongs: nothing can be written into it.
    fs::remove_all(m_dirs.queue);
    writeFile(m_dirs.queue, "in the way");
    ASSERT_TRUE(host->writeFrame(envelope(kId)));
    const std::string name = "1A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D.json";
    writeFile(m_dirs.pending / name, "{}");
    ASSERT_TRUE(host->writeFrame(envelope("1a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d", R"({"ok":true})")));
    ASSERT_TRUE(waitUntil([&] { return fs::exists(m_dirs.responses / name); }));
    finish(*host);
    EXPECT_EQ(host->standardError().rfind("Native host routing failed: ", 0), 0u) << host->standardError();
}

TEST_F(HostTest, AbsurdLengthEndsWithStatusOneWithoutReadingTheBody)
{
    for (const std::uint32_t declaredLength : {kMaxInboundMessageLength + 1, 0xffffffffu}) {
        auto host = startHost();
        char header[4];
        for (int i = 0; i < 4; ++i)
            header[i] = static_cast<char>((declaredLength >> (8 * i)) & 0xff);
        ASSERT_TRUE(host->writeBytes(std::string(header, 4) + "{}"));
        // Input stays open: the host must not wait for gigabytes that never come.
        EXPECT_EQ(host->waitForExit(5s), 1) << declaredLength;
        EXPECT_EQ(host->standardError().rfind("Native host failed: ", 0), 0u) << host->standardError();
        EXPECT_TRUE(fileNames(m_dirs.queue).empty());
    }
}

TEST_F(HostTest, MessageAtTheInboundLimitIsFiled)
{
    pretendApplicationRuns();
    auto host = startHost();
    std::string body(kMaxInboundMessageLength, ' ');
    ASSERT_TRUE(host->writeFrame(body));
    host->closeInput();
    EXPECT_EQ(host->waitForExit(30s), 0);
    const auto names = fileNames(m_dirs.queue);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(fs::file_size(m_dirs.queue / names.front()), body.size());
}

TEST_F(HostTest, TruncatedFrameIsDroppedAndEndsTheHostNormally)
{
    pretendApplicationRuns();
    auto host = startHost();
    ASSERT_TRUE(host->writeFrame(envelope(kId)));
    const std::string full = envelope(kId, R"({"ok":true})");
    char header[4] = {static_cast<char>(full.size()), 0, 0, 0};
    ASSERT_TRUE(host->writeBytes(std::string(header, 4) + full.substr(0, 10)));
    finish(*host);
    // The complete frame before it is filed; the cut-off one is not.
    const auto names = fileNames(m_dirs.queue);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(readFile(m_dirs.queue / names.front()), envelope(kId));
    EXPECT_NE(host->standardError().find("cut off after 10 of"), std::string::npos) << host->standardError();
}

TEST_F(HostTest, RemovingTheRequestDirectoryEndsTheHostWithStatusOne)
{
    auto host = startHost();
    fs::remove_all(m_dirs.requests);
    EXPECT_EQ(host->waitForExit(5s), 1);
    EXPECT_EQ(host->standardError().rfind("Native host failed: ", 0), 0u) << host->standardError();
}

// ---------------------------------------------------------------- launching

TEST_F(HostTest, OnlyWhatAPersonDidStartsTheApplicationAndTheRestIsKeptOnlyWhileItRuns)
{
    fs::create_directories(m_root);
    ASSERT_TRUE(recordApplicationExecutable(m_root, installStubApplication()));
    const std::string slack = R"({"type":"saveSlackThread","slackThread":{"permalinkURL":"https://x.slack.com/archives/C1/p1"}})";
    const std::string capture = R"({"type":"captureResult","capture":{"type":"tab"}})";
    struct Row {
        const char *what;
        std::string body;
        bool applicationRuns = false;
        bool replyToWaitingCommand = false;
        bool queued = false;
        bool starts = false;
    };
    const Row rows[] = {
        {"Slack thread", envelope(kId, slack), false, false, true, true},
        {"capture, lower-case id", envelope("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d", capture), false, false, true, true},
        {"Slack thread while running", envelope(kId, slack), true, false, true, false},
        {"state while running", envelope(kId, R"({"type":"windowsState","windows":[]})"), true, false, true, false},
        {"undecodable while running", "not json", true, false, true, false},
        // Rows that must start nothing follow: a wrong start shows at the end.
        {"reply to a waiting command", envelope(kId, R"({"ok":true})"), false, true, false, false},
        {"windows state", envelope(kId, R"({"type":"windowsState","windows":[]})")},
        {"active tab", envelope(kId, R"({"type":"activeTabChanged","tab":{"id":1}})")},
        {"tab closed", envelope(kId, R"({"type":"tabClosed","tabID":1})")},
        {"connected", envelope(kId)},
        {"error", envelope(kId, R"({"type":"error","message":"x"})")},
        {"late reply", envelope(kId, R"({"ok":true,"summary":"done"})")},
        {"Slack thread without a valid id", envelope("not-a-uuid", slack)},
        {"type outside the message", R"({"id":")" + std::string(kId) + R"(","type":"saveSlackThread","message":{}})"},
        {"type in another case", envelope(kId, R"({"type":"SaveSlackThread"})")},
        {"not JSON", "saveSlackThread"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove(m_record);
        if (row.applicationRuns)
            pretendApplicationRuns();
        auto host = startHost();
        if (row.replyToWaitingCommand)
            writeFile(m_dirs.pending / kName, "{}");
        ASSERT_TRUE(host->writeFrame(row.body));
        finish(*host);
        m_lock.release();
        const auto queued = fileNames(m_dirs.queue);
        EXPECT_EQ(queued.size(), row.queued ? 1u : 0u);
        if (row.queued && queued.size() == 1) {
            EXPECT_EQ(readFile(m_dirs.queue / queued.front()), row.body);
        }
        EXPECT_EQ(fs::exists(m_dirs.responses / kName), row.replyToWaitingCommand);
        if (row.starts) {
            EXPECT_TRUE(waitUntil([&] { return readFile(m_record) == "--background\n"; }));
        }
        for (const fs::path &dir : {m_dirs.queue, m_dirs.responses}) {
            for (const std::string &name : fileNames(dir))
                fs::remove(dir / name);
        }
    }
    // A start (the stub records it) takes a moment to show.
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(fs::exists(m_record)) << readFile(m_record);
}

TEST_F(HostTest, TheApplicationIsStartedThroughItsDesktopEntryOnceForABurst)
{
    const fs::path stub = installStubApplication();
    fs::create_directories(m_dataHome / "applications");
    std::ofstream entry(m_dataHome / "applications" / kDesktopEntryName);
    entry << "[Desktop Entry]\nType=Application\nName=TarniBar\nExec=\"" << stub.string()
          << "\" --from-entry %U\n[Desktop Action other]\nExec=false\n";
    entry.close();

    auto host = startHost();
    const std::string slack = R"({"type":"saveSlackThread","slackThread":{}})";
    ASSERT_TRUE(host->writeFrame(envelope(kId, slack)));
    ASSERT_TRUE(waitUntil([&] { return fs::exists(m_record); }));
    ASSERT_TRUE(host->writeFrame(envelope("1A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D", slack)));
    EXPECT_EQ(host->readFrame(300ms), std::nullopt) << "the application's output reached the frame stream";
    finish(*host);
    // Both messages are queued; the second one did not start a second instance.
    EXPECT_EQ(fileNames(m_dirs.queue).size(), 2u);
    EXPECT_EQ(readFile(m_record), "--from-entry --background\n");
}

TEST_F(HostTest, MissingApplicationIsReportedButTheMessageIsKept)
{
    auto host = startHost();
    ASSERT_TRUE(host->writeFrame(envelope(kId, R"({"type":"captureResult","capture":{}})")));
    finish(*host);
    EXPECT_EQ(fileNames(m_dirs.queue).size(), 1u);
    EXPECT_NE(host->standardError().find("cannot start TarniBar"), std::string::npos) << host->standardError();
}
