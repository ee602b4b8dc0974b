// How long the event loop stands still while the application model does big
// store work: the daily snapshot, emptying the trash, deleting half the tree
// and undoing that. A 1 ms timer ticks while the operation runs (and 100 ms
// after it finished, for work it leaves behind); the largest gap between two
// ticks is the longest the window could not repaint or take a key.
//
//   QT_QPA_PLATFORM=offscreen build/bench/app/bench_EventLoopStalls --benchmark_filter=/100000
//
// Counters: max_stall_ms (the largest gap over all iterations), wall_ms (the
// median time to the operation's signal), peak_rss_mb (the process's peak
// during the operations), wal_mb (the WAL file after the last one) and, for
// the snapshot, edit_max_ms (the slowest rename made every 50 ms while the
// snapshot was being written) and edits_failed (renames the store refused,
// busy for longer than its timeout).

#include "BenchApplication.h"
#include "TabWorkspace.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <filesystem>

using namespace tarni;
using namespace tarni::bench;

namespace {

// Tabs in groups of 40; the first top-level group holds the groups of the
// first half, so that deleting it takes half the tree. Siblings are numbered
// 0, 1, 2 … as an edit leaves them, so that an edit renumbers only its own.
NodeList makeHalvedWorkspace(const QUuid &workspaceID, int count)
{
    NodeList nodes = makeTabWorkspace(count, workspaceID, false);
    for (qsizetype i = 40; i < count / 2; i += 40)
        nodes[i].setParentID(nodes[0].id());
    QHash<QUuid, double> next;
    for (WorkspaceNode &node : nodes)
        node.setSortOrder(next[node.parentID().value_or(QUuid())]++);
    return nodes;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// The peak resident size since the last reset, in MiB.
double peakRssMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').front().toDouble() / 1024.0;
    }
    return 0;
}

void resetPeakRss()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

double walMb(const UITestConfig &config)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(
        std::filesystem::path(config.applicationSupportRoot / kWorkspaceDatabaseName).string() + "-wal", ec);
    return ec ? 0.0 : double(size) / (1024.0 * 1024.0);
}

struct Watched {
    double maxGapMs = 0;
    double wallMs = 0;
};

// Runs `operation` from the event loop and ticks until `finished` was
// emitted and 100 ms more went by. `probe` runs every 50 ms until then.
template <class Sender, class Signal>
Watched watchEventLoop(Sender *sender, Signal finished, const std::function<void()> &operation,
                       const std::function<void()> &probe = {})
{
    Watched watched;
    QEventLoop loop;
    std::optional<Clock::time_point> finishedAt;
    const auto connection = QObject::connect(sender, finished, &loop, [&] {
        if (!finishedAt)
            finishedAt = Clock::now();
    });
    Clock::time_point start = Clock::now();
    Clock::time_point last = start;
    Clock::time_point lastProbe = start;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        const auto now = Clock::now();
        watched.maxGapMs = std::max(watched.maxGapMs, std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
        if (finishedAt && now - *finishedAt > std::chrono::milliseconds(100))
            loop.quit();
        else if (probe && !finishedAt && now - lastProbe > std::chrono::milliseconds(50)) {
            probe();
            lastProbe = last = Clock::now();
        }
    });
    QTimer::singleShot(0, &loop, [&] {
        start = last = lastProbe = Clock::now();
        tick.start();
        operation();
    });
    loop.exec();
    QObject::disconnect(connection);
    watched.wallMs = std::chrono::duration<double, std::milli>(*finishedAt - start).count();
    return watched;
}

struct Launched {
    explicit Launched(int count)
        : fixture(bench::fixture(count, makeHalvedWorkspace))
        , env(compose(fixture.config))
    {
        QCoro::waitFor(env->appModel().launch());
        if (model().treeViewModel().nodes().size() != count)
            std::abort();
    }
    AppModel &model() { return env->appModel(); }

    Fixture &fixture;
    std::unique_ptr<AppEnvironment> env;
};

void report(benchmark::State &state, const std::vector<Watched> &runs, const Launched &launched, double peakMb)
{
    std::vector<double> walls;
    double stall = 0;
    for (const Watched &run : runs) {
        walls.push_back(run.wallMs);
        stall = std::max(stall, run.maxGapMs);
    }
    state.counters["max_stall_ms"] = stall;
    state.counters["wall_ms"] = median(walls);
    state.counters["peak_rss_mb"] = peakMb;
    state.counters["wal_mb"] = walMb(launched.fixture.config);
}

// The daily snapshot of a changed tree; `probing`: with renames while it runs.
void BM_DailySnapshot(benchmark::State &state)
{
    Launched launched(int(state.range(0)));
    AppModel &model = launched.model();
    WorkspaceStoreProtocol &store = *model.dependencies().workspaceStore;
    const QUuid workspace = model.treeViewModel().workspace()->id;
    const QUuid renamed = model.treeViewModel().nodes().back().id();
    std::vector<Watched> runs;
    std::vector<double> edits;
    int failedEdits = 0;
    int n = 0;
    resetPeakRss();
    for (auto _ : state) {
        state.PauseTiming();
        // Today's daily snapshot goes, and the tree changes: it is due again.
        QList<QUuid> daily;
        const QList<SnapshotTime> times = store.fetchSnapshotTimes(workspace).value();
        for (const SnapshotTime &time : times) {
            if (time.origin == SnapshotOrigin::daily)
                daily.append(time.id);
        }
        if (!store.deleteSnapshots(daily) || !model.treeViewModel().rename(renamed, QStringLiteral("R %1").arg(++n)))
            std::abort();
        state.ResumeTiming();
        std::function<void()> probe;
        if (state.range(1))
            probe = [&] {
                const auto start = Clock::now();
                if (!model.treeViewModel().rename(renamed, QStringLiteral("P %1").arg(++n)))
                    ++failedEdits;
                edits.push_back(msSince(start));
            };
        runs.push_back(watchEventLoop(&model, &AppModel::snapshotsChanged, [&] { model.takeDailySnapshotIfDue(); },
                                      probe));
        state.SetIterationTime(runs.back().wallMs / 1000.0);
        // A refused rename alerts; the snapshot itself must not.
        if (model.alertMessage() && !state.range(1))
            std::abort();
        model.dismissAlert();
    }
    report(state, runs, launched, peakRssMb());
    if (state.range(1)) {
        state.counters["edits"] = double(edits.size());
        state.counters["edits_failed"] = failedEdits;
        state.counters["edit_max_ms"] = edits.empty() ? 0.0 : *std::max_element(edits.begin(), edits.end());
    }
}

// Deleting half the tree, then undoing it; then the trash emptied.
void BM_DeleteUndoAndEmptyTrash(benchmark::State &state)
{
    Launched launched(int(state.range(0)));
    AppModel &model = launched.model();
    const NodeList whole = model.treeViewModel().nodes();
    const QUuid bigGroup = whole.front().id();
    std::vector<Watched> deletes, undos, empties;
    resetPeakRss();
    for (auto _ : state) {
        model.selectNodeWithoutOpening(bigGroup);
        deletes.push_back(watchEventLoop(&model, &AppModel::historyChanged, [&] { model.deleteSelectedNode(); }));
        undos.push_back(watchEventLoop(&model, &AppModel::historyChanged, [&] { model.undo(); }));
        model.selectNodeWithoutOpening(bigGroup);
        model.deleteSelectedNode();
        empties.push_back(watchEventLoop(&model, &AppModel::trashChanged, [&] { model.emptyTrash(); }));
        // Emptying the trash forgot the step that could bring the half back.
        state.PauseTiming();
        if (model.alertMessage() || !model.treeViewModel().replaceAllNodes(whole))
            std::abort();
        state.ResumeTiming();
        state.SetIterationTime((deletes.back().wallMs + undos.back().wallMs + empties.back().wallMs) / 1000.0);
    }
    const double peak = peakRssMb();
    auto worst = [](const std::vector<Watched> &runs) {
        double stall = 0;
        for (const Watched &run : runs)
            stall = std::max(stall, run.maxGapMs);
        return stall;
    };
    auto wall = [](const std::vector<Watched> &runs) {
        std::vector<double> walls;
        for (const Watched &run : runs)
            walls.push_back(run.wallMs);
        return median(walls);
    };
    state.counters["delete_stall_ms"] = worst(deletes);
    state.counters["delete_wall_ms"] = wall(deletes);
    state.counters["undo_stall_ms"] = worst(undos);
    state.counters["undo_wall_ms"] = wall(undos);
    state.counters["empty_stall_ms"] = worst(empties);
    state.counters["empty_wall_ms"] = wall(empties);
    state.counters["peak_rss_mb"] = peak;
    state.counters["wal_mb"] = walMb(launched.fixture.config);
}

#define SIZES ->Args({10000, 0})->Args({100000, 0})->Args({100000, 1})->Args({1000000, 0})->Args({1000000, 1})
BENCHMARK(BM_DailySnapshot) SIZES->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteUndoAndEmptyTrash)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(200000)
    ->Arg(1000000)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
