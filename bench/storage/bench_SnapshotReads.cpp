// What listing and showing snapshots read, against a real database file
// holding 10 snapshots of the whole tree: the list (every snapshot's
// summary, as `tarnibar-cli snapshot list --json` prints it), one snapshot
// (as `snapshot show` decodes it), and, to compare with, loading the live
// tree.
//
//   build/bench/storage/bench_SnapshotReads --benchmark_filter=/100000/
//
// (One size at a time: only benchmarks of one size run in a row share the
// database, and the one of 1,000,000 nodes takes minutes to make.)
// With BENCH_SNAPSHOTS_DIR set, the database is made in that directory and
// kept, for timing tarnibar-cli on it (`--root` that directory).
// Prints figures only; docs/performance.md records what they showed.

#include "archive/SnapshotService.h"
#include "model/JsonEncoding.h"
#include "storage/WorkspaceStore.h"
#include "FixtureCache.h"
#include "TabWorkspace.h"

#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include <filesystem>
#include <memory>

using namespace tarni;

namespace {

constexpr int kSnapshots = 10;

struct Fixture {
    QTemporaryDir temporary;
    std::filesystem::path path;
    std::unique_ptr<WorkspaceStore> store;
    QUuid workspace;
    QList<QUuid> snapshots; // oldest first

    explicit Fixture(int count)
    {
        const QByteArray kept = qgetenv("BENCH_SNAPSHOTS_DIR");
        const std::filesystem::path dir = kept.isEmpty() ? std::filesystem::path(temporary.path().toStdString())
                                                          : std::filesystem::path(kept.toStdString());
        path = dir / "workspace.sqlite";
        std::error_code ec;
        for (const char *suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(path.string() + suffix, ec);
        store = std::make_unique<WorkspaceStore>(path);
        TreeViewModel tree(*store);
        const TreeArchiveService archive;
        SnapshotService service(*store, tree, archive);
        if (!tree.load() || !tree.replaceAllNodes(bench::makeTabWorkspace(count, tree.workspace()->id, false)))
            std::abort();
        workspace = tree.workspace()->id;
        for (int i = 0; i < kSnapshots; ++i) {
            auto saved = service.saveWorkspace(QStringLiteral("Snapshot %1").arg(i), std::nullopt);
            if (!saved)
                std::abort();
            snapshots << saved->id;
        }
    }
};

Fixture &fixture(int count)
{
    return bench::fixtureOfSize<Fixture>(count);
}

void BM_LoadTree(benchmark::State &state)
{
    Fixture &f = fixture(int(state.range(0)));
    for (auto _ : state) {
        auto nodes = f.store->fetchNodes(f.workspace);
        if (!nodes)
            state.SkipWithError("loading failed");
        benchmark::DoNotOptimize(nodes);
    }
}

void BM_ListSnapshots(benchmark::State &state)
{
    Fixture &f = fixture(int(state.range(0)));
    for (auto _ : state) {
        auto listed = f.store->fetchSnapshotList(f.workspace);
        if (!listed || listed->size() != kSnapshots)
            state.SkipWithError("listing failed");
        std::size_t bytes = 0;
        for (const auto &entry : *listed)
            bytes += json::encode(*entry.snapshot).value().size();
        benchmark::DoNotOptimize(bytes);
    }
}

// The oldest, the one a scan from the newest reaches last.
void BM_ShowSnapshot(benchmark::State &state)
{
    Fixture &f = fixture(int(state.range(0)));
    for (auto _ : state) {
        auto found = f.store->fetchListedSnapshot(f.workspace, f.snapshots.front());
        if (!found || !*found || !(*found)->snapshot)
            state.SkipWithError("reading failed");
        auto text = json::encode(*(*found)->snapshot, json::JsonStyle::pretty);
        benchmark::DoNotOptimize(text);
    }
}

} // namespace

BENCHMARK(BM_LoadTree)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ListSnapshots)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ShowSnapshot)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
