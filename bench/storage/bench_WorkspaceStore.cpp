// Loading and persisting the node list at 1,000 / 10,000 / 100,000 nodes of
// about 580 bytes of JSON each, against a real database file.
//
//   build/bench/storage/bench_WorkspaceStore
//
// Prints figures only; docs/performance.md records what they showed.

#include "model/JsonEncoding.h"
#include "model/Uuid.h"
#include "storage/WorkspaceStore.h"
#include "TabWorkspace.h"

#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include <sqlite3.h>


using namespace tarni;

namespace {

struct Fixture {
    QTemporaryDir dir;
    std::filesystem::path path;
    QUuid workspace = newUuid();
    NodeList nodes;

    explicit Fixture(int count)
        : path(std::filesystem::path(dir.path().toStdString()) / "workspace.sqlite")
        , nodes(bench::makeTabWorkspace(count, workspace, true))
    {
        WorkspaceStore store(path);
        if (!store.replaceNodes(nodes, workspace).ok())
            std::abort();
    }
};

void BM_FetchNodes(benchmark::State &state)
{
    Fixture fixture(int(state.range(0)));
    WorkspaceStore store(fixture.path);
    for (auto _ : state) {
        auto nodes = store.fetchNodes(fixture.workspace);
        if (!nodes.ok() || nodes->size() != state.range(0))
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(nodes);
    }
}

// What SQLite alone needs to read the rows in load order, without decoding.
void BM_SqliteOrderedRead(benchmark::State &state)
{
    Fixture fixture(int(state.range(0)));
    sqlite3 *db = nullptr;
    sqlite3_open_v2(fixture.path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    const char *sql = "SELECT payload_json\nFROM nodes\nWHERE workspace_id = ?\n"
                      "ORDER BY parent_id IS NOT NULL, parent_id, sort_order, created_at;";
    const std::string workspace = uuidText(fixture.workspace);
    for (auto _ : state) {
        sqlite3_stmt *s = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
        sqlite3_bind_text(s, 1, workspace.data(), int(workspace.size()), SQLITE_STATIC);
        std::size_t bytes = 0;
        while (sqlite3_step(s) == SQLITE_ROW) {
            benchmark::DoNotOptimize(sqlite3_column_text(s, 0));
            bytes += size_t(sqlite3_column_bytes(s, 0));
        }
        sqlite3_finalize(s);
        benchmark::DoNotOptimize(bytes);
    }
    sqlite3_close_v2(db);
}

// The whole list rewritten in one transaction (what happens when the store
// cannot trust what it last saw).
void BM_ReplaceFull(benchmark::State &state)
{
    Fixture fixture(int(state.range(0)));
    for (auto _ : state) {
        WorkspaceStore store(fixture.path); // a new store knows nothing: full rewrite
        if (!store.replaceNodes(fixture.nodes, fixture.workspace).ok())
            state.SkipWithError("replace failed");
    }
}

// An edit as the tree engine persists it: the workspace row, then the list
// with one node changed.
void BM_PersistOneNodeEdit(benchmark::State &state)
{
    Fixture fixture(int(state.range(0)));
    WorkspaceStore store(fixture.path);
    Workspace workspace{fixture.workspace, QStringLiteral("Workspace"), currentTimestamp(), currentTimestamp()};
    NodeList nodes = *store.fetchNodes(fixture.workspace);
    int round = 0;
    for (auto _ : state) {
        const qsizetype at = (round * 7919) % nodes.size();
        nodes[at].setTitle(QStringLiteral("Renamed %1").arg(++round));
        if (!store.saveWorkspaceAndNodes(workspace, nodes).ok())
            state.SkipWithError("persist failed");
    }
}

} // namespace

BENCHMARK(BM_FetchNodes)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)
    ->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SqliteOrderedRead)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)
    ->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ReplaceFull)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PersistOneNodeEdit)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)
    ->Repetitions(5)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
