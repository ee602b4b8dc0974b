// Automatic snapshots against a real database file: what one costs at
// 10,000 to 1,000,000 nodes (export, encoding, the write and the retention
// pass), how long another connection's write waits meanwhile, how much ten
// snapshots with one edit between them add, and how the file grows over a
// simulated year of daily snapshots with the retention rule.
//
//   build/bench/storage/bench_Snapshots
//
// Prints figures only; docs/performance.md records what they showed.

#include "archive/SnapshotService.h"
#include "model/Uuid.h"
#include "storage/WorkspaceStore.h"
#include "TabWorkspace.h"

#include <benchmark/benchmark.h>

#include <sqlite3.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimeZone>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

using namespace tarni;

namespace {

// A store, a loaded tree of `count` nodes and the snapshot service, all on
// one clock that the benchmark moves.
struct Fixture {
    QTemporaryDir dir;
    std::filesystem::path path;
    Timestamp clock = Timestamp(std::chrono::seconds(QDateTime(QDate(2026, 1, 1), QTime(10, 0), QTimeZone::utc())
                                                         .toSecsSinceEpoch()));
    WorkspaceStore store;
    TreeViewModel tree;
    TreeArchiveService archive;
    SnapshotService snapshots;

    explicit Fixture(int count)
        : path(std::filesystem::path(dir.path().toStdString()) / "workspace.sqlite")
        , store(path)
        , tree(store)
        , archive([this] { return clock; })
        , snapshots(store, tree, archive)
    {
        tree.setClock([this] { return clock; });
        snapshots.setTimeZone(QTimeZone::utc());
        if (!tree.load() || !tree.replaceAllNodes(bench::makeTabWorkspace(count, tree.workspace()->id, false)))
            std::abort();
    }

    // The pages in use, as another connection sees them (the log's
    // included): what the data takes, whatever the log and free pages add.
    double usedMegabytes() const
    {
        sqlite3 *db = nullptr;
        double bytes = 0;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            auto pragma = [&](const char *sql) {
                sqlite3_stmt *s = nullptr;
                double value = 0;
                if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
                    value = sqlite3_column_double(s, 0);
                sqlite3_finalize(s);
                return value;
            };
            bytes = (pragma("PRAGMA page_count;") - pragma("PRAGMA freelist_count;")) * pragma("PRAGMA page_size;");
        }
        sqlite3_close(db);
        return bytes / (1024.0 * 1024.0);
    }

    double megabytes() const
    {
        std::error_code ec;
        double bytes = double(std::filesystem::file_size(path, ec));
        const auto wal = std::filesystem::path(path.string() + "-wal");
        if (std::filesystem::exists(wal, ec))
            bytes += double(std::filesystem::file_size(wal, ec));
        return bytes / (1024.0 * 1024.0);
    }
};

// The first snapshot stores every record; the later ones (nothing changed
// between them) find every record stored already. Both are reported apart.
void BM_AutomaticSnapshot(benchmark::State &state)
{
    Fixture fixture(int(state.range(0)));
    std::vector<double> times;
    for (auto _ : state) {
        fixture.clock += std::chrono::hours(24);
        QElapsedTimer timer;
        timer.start();
        if (!fixture.snapshots.saveAutomatic(SnapshotOrigin::daily, QStringLiteral("Daily")))
            state.SkipWithError("snapshot failed");
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    if (times.size() > 1) {
        state.counters["first_ms"] = times.front();
        std::vector<double> later(times.begin() + 1, times.end());
        std::sort(later.begin(), later.end());
        state.counters["later_median_ms"] = later[later.size() / 2];
    }
}

// While a snapshot is written, a second connection writes one small row
// every few milliseconds (as the application's edits do while a worker
// takes the automatic snapshot): the longest of those writes is how long
// the snapshot's write transactions kept it waiting. The first snapshot,
// which stores every record, is reported on its own; the timed ones follow
// one edit each.
void BM_WriterWaitDuringSnapshot(benchmark::State &state)
{
    Fixture fixture(int(state.range(0)));
    WorkspaceStore other(fixture.path);
    const Workspace workspace = *fixture.tree.workspace();
    double longestWait = 0;
    double usualWrite = 1e9;
    double firstWait = 0;
    for (int round = -1; round < 0 || state.KeepRunning(); ++round) {
        fixture.clock += std::chrono::hours(24);
        if (!fixture.tree.rename(fixture.tree.nodes().front().id(), QStringLiteral("Renamed %1").arg(round)))
            state.SkipWithError("edit failed");
        std::atomic<bool> done = false;
        double longest = 0;
        std::thread writer([&] {
            while (!done) {
                QElapsedTimer timer;
                timer.start();
                if (!other.saveWorkspace(workspace))
                    std::abort();
                const double ms = double(timer.nsecsElapsed()) / 1e6;
                longest = std::max(longest, ms);
                usualWrite = std::min(usualWrite, ms);
                // An edit now and then, not a stream that starves the snapshot.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        const bool saved = fixture.snapshots.saveAutomatic(SnapshotOrigin::daily, QStringLiteral("Daily")).ok();
        done = true;
        writer.join();
        if (!saved)
            state.SkipWithError("snapshot failed");
        (round < 0 ? firstWait : longestWait) = std::max(round < 0 ? firstWait : longestWait, longest);
    }
    state.counters["first_snapshot_longest_other_write_ms"] = firstWait;
    state.counters["longest_other_write_ms"] = longestWait;
    state.counters["fastest_other_write_ms"] = usualWrite;
}

// Ten snapshots of the whole tree with one edit before each: what they add
// to the file.
void BM_TenSnapshotsOneEditApart(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        Fixture fixture(int(state.range(0)));
        const double empty = fixture.megabytes();
        const double emptyUsed = fixture.usedMegabytes();
        const QUuid first = fixture.tree.nodes().front().id();
        state.ResumeTiming();
        double afterFirst = 0;
        for (int i = 0; i < 10; ++i) {
            fixture.clock += std::chrono::minutes(1);
            if (!fixture.tree.rename(first, QStringLiteral("Group %1").arg(i)) ||
                !fixture.snapshots.saveWorkspace(QStringLiteral("Snapshot %1").arg(i), std::nullopt))
                state.SkipWithError("snapshot failed");
            if (i == 0) {
                state.PauseTiming();
                afterFirst = fixture.usedMegabytes();
                state.ResumeTiming();
            }
        }
        const double used = fixture.usedMegabytes();
        state.counters["MiB_empty"] = empty;
        state.counters["MiB_added"] = used - emptyUsed;
        // What each snapshot after the first added: one edit's worth.
        state.counters["KiB_per_later_snapshot"] = (used - afterFirst) * 1024.0 / 9.0;
    }
}

// One daily snapshot a day for 365 days, each after an edit, with the
// default retention rule; then what the snapshot browser reads to list them.
void BM_YearOfDailySnapshots(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        Fixture fixture(int(state.range(0)));
        const double empty = fixture.megabytes();
        const double emptyUsed = fixture.usedMegabytes();
        const QUuid first = fixture.tree.nodes().front().id();
        state.ResumeTiming();
        double atDay[4] = {};
        for (int day = 1; day <= 365; ++day) {
            fixture.clock += std::chrono::hours(24);
            if (!fixture.tree.rename(first, QStringLiteral("Group day %1").arg(day)))
                state.SkipWithError("edit failed");
            fixture.clock += std::chrono::minutes(1);
            if (!fixture.snapshots.dailySnapshotDue(fixture.clock).value() ||
                !fixture.snapshots.saveAutomatic(SnapshotOrigin::daily, QStringLiteral("Daily")))
                state.SkipWithError("snapshot failed");
            if (day == 30)
                atDay[0] = fixture.megabytes();
            if (day == 90)
                atDay[1] = fixture.megabytes();
            if (day == 180)
                atDay[2] = fixture.megabytes();
        }
        atDay[3] = fixture.megabytes();
        const double used = fixture.usedMegabytes();
        QElapsedTimer listing;
        listing.start();
        auto summaries = fixture.store.fetchSnapshotSummaries(fixture.tree.workspace()->id);
        const double listMs = double(listing.nsecsElapsed()) / 1e6;
        auto kept = fixture.store.fetchSnapshotTimes(fixture.tree.workspace()->id);
        if (!summaries || !kept)
            state.SkipWithError("listing failed");
        state.counters["MiB_empty"] = empty;
        // Without the log's and the free pages' share.
        state.counters["MiB_used_empty"] = emptyUsed;
        state.counters["MiB_used_day365"] = used;
        state.counters["MiB_day30"] = atDay[0];
        state.counters["MiB_day90"] = atDay[1];
        state.counters["MiB_day180"] = atDay[2];
        state.counters["MiB_day365"] = atDay[3];
        state.counters["kept"] = double(kept ? kept->size() : 0);
        state.counters["MiB_per_snapshot"] =
            summaries && !summaries->isEmpty() ? double(summaries->front().storedBytes) / (1024.0 * 1024.0) : 0;
        state.counters["list_ms"] = listMs;
    }
}

} // namespace

BENCHMARK(BM_AutomaticSnapshot)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_WriterWaitDuringSnapshot)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_TenSnapshotsOneEditApart)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(BM_YearOfDailySnapshots)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kSecond)->Iterations(1);

BENCHMARK_MAIN();
