// How quickly the Chrome link moves messages between the application and the
// browser side: a command's round trip through the real host with a peer that
// answers at once, the pickup of an unsolicited message from the moment the
// browser hands it to the host until the bridge has applied it, and how many
// messages a second the host files durably in the queue.

#include "HostProcess.h"
#include "TaskSupport.h"

#include "chrome/ChromeNativeHostBridge.h"
#include "common/InstanceLock.h"
#include "common/NativeHostQueue.h"
#include "model/Uuid.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <unistd.h>

using namespace tarni;
using namespace tarni::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

void reportPercentiles(benchmark::State &state, std::vector<double> &ms)
{
    if (ms.empty())
        return;
    std::sort(ms.begin(), ms.end());
    auto at = [&](double p) { return ms[std::min(ms.size() - 1, std::size_t(p * double(ms.size())))]; };
    state.counters["median_ms"] = at(0.5);
    state.counters["p95_ms"] = at(0.95);
    state.counters["max_ms"] = ms.back();
}

struct Link {
    ScratchDirectory scratch;
    fs::path root = scratch.path() / "data" / "TarniBar";
    InstanceLock lock;
    std::unique_ptr<HostProcess> host;
    ChromeStateCache cache;
    std::unique_ptr<ChromeNativeHostBridge> bridge;

    // `base`: where the data root goes (TMPDIR when empty).
    explicit Link(const fs::path &base = {})
        : scratch(base)
    {
        fs::create_directories(root);
        lock.tryAcquire(root); // the application "runs": the host starts nothing
        host = std::make_unique<HostProcess>(TARNI_HOST_PROGRAM,
                                             std::vector<std::string>{"XDG_DATA_HOME=" + (scratch.path() / "data").string(),
                                                                      "HOME=" + scratch.path().string()});
        bridge = std::make_unique<ChromeNativeHostBridge>(&cache, root);
        // Commands go out only once the host has announced itself.
        spinUntil([&] { return bridge->isConnected(); });
    }
    ~Link()
    {
        bridge.reset();
        host->closeInput();
        host->waitForExit(5s);
    }
};

void BM_CommandRoundTrip(benchmark::State &state)
{
    Link link;
    std::atomic<bool> stop = false;
    // The extension's side: reply at once with the command's id.
    std::thread peer([&] {
        ChromeMessageCodec codec;
        while (!stop) {
            const auto frame = link.host->readFrame(20ms);
            if (!frame)
                continue;
            if (const auto envelope = codec.decodeEnvelope(*frame))
                link.host->writeFrame(R"({"id":")" + uuidText(envelope->id) + R"(","message":{"ok":true,"summary":"pong"}})");
        }
    });
    std::vector<double> ms;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        const auto reply = runTask(link.bridge->send(ChromeCommand::ping()));
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (!reply || !reply->ok) {
            state.SkipWithError("no reply");
            break;
        }
    }
    stop = true;
    peer.join();
    reportPercentiles(state, ms);
}
BENCHMARK(BM_CommandRoundTrip)->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_UnsolicitedMessagePickup(benchmark::State &state)
{
    Link link;
    link.bridge->startQueueMonitoring();
    int applied = 0;
    QObject::connect(&link.cache, &ChromeStateCache::windowsChanged, [&] { ++applied; });
    std::vector<double> ms;
    std::int64_t windowID = 0;
    for (auto _ : state) {
        const int before = applied;
        const std::string frame = R"({"id":")" + randomUuidText() + R"(","message":{"type":"windowsState","windows":[{"id":)" +
                                  std::to_string(++windowID) + R"(,"tabs":[]}]}})";
        QElapsedTimer timer;
        timer.start();
        link.host->writeFrame(frame);
        while (applied == before && timer.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (applied == before) {
            state.SkipWithError("message never applied");
            break;
        }
    }
    reportPercentiles(state, ms);
}
BENCHMARK(BM_UnsolicitedMessagePickup)->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);

// Frames written to the host as fast as it takes them, until every one is
// filed in "NativeHostQueue" (the host has exited after its last flush). On
// /var/tmp: a real disk, where each flush costs what it would for the user.
void BM_InboundThroughput(benchmark::State &state)
{
    const int count = int(state.range(0));
    std::vector<std::string> frames;
    for (int n = 0; n < count; ++n)
        frames.push_back(R"({"id":")" + randomUuidText() + R"(","message":{"type":"activeTabChanged","tab":{"id":)" +
                         std::to_string(n) + R"(,"windowID":1,"url":"https://example.com/page/)" + std::to_string(n) +
                         R"(","title":"Page )" + std::to_string(n) + R"("}}})");
    std::vector<double> rates;
    for (auto _ : state) {
        state.PauseTiming();
        Link link("/var/tmp");
        // No bridge: the files stay, and nothing else competes for the disk.
        link.bridge.reset();
        const fs::path queue = NativeHostQueueDirectories::under(link.root).queue;
        if (!waitUntil([&] { return fs::is_directory(queue); })) {
            state.SkipWithError("the host never made its folders");
            break;
        }
        // The previous iteration's clean-up must not be flushed on this one's time.
        ::sync();
        state.ResumeTiming();
        QElapsedTimer timer;
        timer.start();
        for (const std::string &frame : frames)
            link.host->writeFrame(frame);
        link.host->closeInput();
        const auto status = link.host->waitForExit(120s);
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        state.PauseTiming();
        const std::size_t filed = fileNames(queue).size();
        if (status != 0 || filed != frames.size()) {
            state.SkipWithError("not every message was filed");
            break;
        }
        rates.push_back(double(filed) / seconds);
        state.ResumeTiming();
    }
    // Per iteration: the disk's speed varies from one to the next.
    if (rates.empty())
        return;
    std::sort(rates.begin(), rates.end());
    state.counters["median_per_s"] = rates[rates.size() / 2];
    state.counters["min_per_s"] = rates.front();
    state.counters["max_per_s"] = rates.back();
}
BENCHMARK(BM_InboundThroughput)->Arg(2000)->Iterations(11)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
