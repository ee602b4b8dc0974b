// Sync through the shared folder at scale, two data roots each with its own
// copy of the folder, files carried between them by plain copy:
//  - BM_BytesPerEdit: what one rename adds to the folder on a 100,000-node
//    tree (its change file, and the growth of the device file);
//  - BM_ApplyIncoming: one machine renames, moves and adds 10,000 nodes of a
//    100,000-node tree, and the other applies them in one syncNow (timed);
//  - BM_YearOfUse: 365 days of 50 renames a day over two machines at 10,000
//    nodes, files exchanged daily, with snapshots and compaction; the folder
//    against one snapshot file of the same tree.

#include "SyncFolderDelivery.h"
#include "TabWorkspace.h"

#include "storage/WorkspaceStore.h"
#include "sync/DeviceId.h"
#include "sync/SyncFolder.h"
#include "tree/TreeViewModel.h"

#include <QSet>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <random>

using namespace tarni;
using namespace tarni::sync;
namespace fs = std::filesystem;

namespace {

struct Machine {
    QTemporaryDir dir;
    fs::path folder;
    std::unique_ptr<WorkspaceStore> store;
    QUuid workspace;

    Machine()
    {
        const fs::path root(dir.path().toStdString());
        folder = root / "Sync";
        fs::create_directories(folder);
        store = std::make_unique<WorkspaceStore>(root / "workspace.sqlite");
        workspace = store->fetchOrCreateDefaultWorkspace()->id;
    }
    QUuid device() const { return (*store->fetchSyncSetup())->device; }
};

// Copies what `to`'s folder lacks, and newer device files.
void deliver(const Machine &from, const Machine &to)
{
    const auto setup = to.store->fetchSyncSetup();
    test::copyFolderFiles(from.folder, to.folder, setup && *setup ? std::optional((*setup)->device) : std::nullopt);
    // What the sender removed (its own compacted files and old snapshots).
    for (const char *kind : {"changes", "snapshots"}) {
        const fs::path mine = from.folder / kind;
        const fs::path theirs = to.folder / kind;
        if (!fs::exists(mine) || !fs::exists(theirs))
            continue;
        const QUuid sender = from.device();
        const fs::path dir = theirs / deviceIdText(sender);
        if (!fs::exists(dir))
            continue;
        for (const auto &entry : fs::directory_iterator(dir))
            if (!fs::exists(mine / deviceIdText(sender) / entry.path().filename()))
                fs::remove(entry.path());
    }
}

std::uint64_t folderBytes(const fs::path &folder)
{
    std::uint64_t bytes = 0;
    for (const auto &entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            bytes += entry.file_size();
    return bytes;
}

std::uint64_t newestSnapshotBytes(const Machine &m)
{
    const auto files = folderFiles(m.folder, FolderFileKind::snapshot, m.device());
    return files.empty() ? 0 : files.back().bytes;
}

// Two machines sharing a tree of `count` nodes.
struct Pair {
    Machine a, b;
    explicit Pair(int count)
    {
        (void)a.store->replaceNodes(bench::makeTabWorkspace(count, a.workspace, false), a.workspace);
        (void)a.store->enableSync(a.folder, QStringLiteral("Laptop"));
        deliver(a, b);
        (void)b.store->enableSync(b.folder, QStringLiteral("Desktop"));
        deliver(b, a);
        (void)a.store->syncNow();
    }
};

void BM_BytesPerEdit(benchmark::State &state)
{
    Pair p(int(state.range(0)));
    TreeViewModel model(*p.a.store);
    if (!model.load()) {
        state.SkipWithError("cannot load");
        return;
    }
    const NodeList nodes = model.nodes();
    std::uint64_t added = 0;
    std::int64_t edits = 0;
    for (auto _ : state) {
        const std::uint64_t before = folderBytes(p.a.folder);
        if (!model.rename(nodes[qsizetype(edits * 7919 % nodes.size())].id(), QStringLiteral("Renamed %1").arg(edits)) ||
            !p.a.store->syncNow()) {
            state.SkipWithError("edit failed");
            break;
        }
        added += folderBytes(p.a.folder) - before;
        ++edits;
    }
    state.counters["bytes_per_edit"] = double(added) / double(std::max<std::int64_t>(1, edits));
}

void BM_ApplyIncoming(benchmark::State &state)
{
    const int changes = int(state.range(1));
    Pair p(int(state.range(0)));
    std::mt19937 random(7);
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // A third renamed, a third moved to another group, a third added.
        NodeList nodes = *p.a.store->fetchNodes(p.a.workspace);
        QList<QUuid> groups;
        for (const WorkspaceNode &n : std::as_const(nodes))
            if (n.kind() == WorkspaceNodeKind::group)
                groups.push_back(n.id());
        QSet<QUuid> changed;
        for (int i = 0; i < changes / 3 * 2;) {
            WorkspaceNode &n = nodes[qsizetype(random() % std::uint32_t(nodes.size()))];
            if (n.kind() == WorkspaceNodeKind::group || changed.contains(n.id()))
                continue;
            changed.insert(n.id());
            ++i;
            if (i % 2 == 0)
                n.edit().title = QStringLiteral("Renamed %1 %2").arg(round).arg(i);
            else
                n.edit().parentID = groups[qsizetype(random() % std::uint32_t(groups.size()))];
        }
        const NodeList added = bench::makeTabWorkspace(changes - changes / 3 * 2, p.a.workspace, false);
        for (const WorkspaceNode &n : added)
            nodes.push_back(n);
        (void)p.a.store->replaceNodes(nodes, p.a.workspace);
        (void)p.a.store->syncNow();
        deliver(p.a, p.b);
        state.ResumeTiming();
        auto run = p.b.store->syncNow();
        if (!run || run->filesApplied == 0) {
            state.SkipWithError("nothing applied");
            break;
        }
        state.counters["changes_applied"] = double(run->changesApplied);
        ++round;
    }
}

// The first machine turning sync on (its tree as change files and a
// snapshot file), then a second one joining from the snapshot (timed).
void BM_Join(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        Machine a, b;
        (void)a.store->replaceNodes(bench::makeTabWorkspace(int(state.range(0)), a.workspace, false), a.workspace);
        auto timer = std::chrono::steady_clock::now();
        (void)a.store->enableSync(a.folder, QStringLiteral("Laptop"));
        state.counters["first_enable_s"] =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - timer).count();
        deliver(a, b);
        state.counters["snapshot_bytes"] = double(newestSnapshotBytes(a));
        state.ResumeTiming();
        auto joined = b.store->enableSync(b.folder, QStringLiteral("Desktop"));
        state.PauseTiming();
        auto nodes = b.store->fetchNodes(b.workspace);
        if (!joined || !nodes || nodes->size() != state.range(0)) {
            state.SkipWithError("the join did not bring the tree");
            break;
        }
        state.ResumeTiming();
    }
}

void BM_YearOfUse(benchmark::State &state)
{
    const int days = int(state.range(1));
    const int editsPerDay = 50;
    for (auto _ : state) {
        Pair p(int(state.range(0)));
        TreeViewModel ma(*p.a.store), mb(*p.b.store);
        if (!ma.load() || !mb.load()) {
            state.SkipWithError("cannot load");
            return;
        }
        std::mt19937 random(11);
        for (int day = 0; day < days; ++day) {
            for (int e = 0; e < editsPerDay; ++e) {
                Machine &m = e % 2 ? p.b : p.a;
                TreeViewModel &model = e % 2 ? mb : ma;
                const NodeList &nodes = model.nodes();
                (void)model.rename(nodes[qsizetype(random() % std::uint32_t(nodes.size()))].id(),
                                   QStringLiteral("Day %1 edit %2").arg(day).arg(e));
                (void)m.store->syncNow();
            }
            deliver(p.a, p.b);
            deliver(p.b, p.a);
            (void)p.a.store->syncNow();
            (void)p.b.store->syncNow();
            deliver(p.a, p.b);
            deliver(p.b, p.a);
            (void)ma.load();
            (void)mb.load();
        }
        const double folder = double(folderBytes(p.a.folder));
        const double snapshot = double(std::max(newestSnapshotBytes(p.a), newestSnapshotBytes(p.b)));
        state.counters["folder_bytes"] = folder;
        state.counters["snapshot_bytes"] = snapshot;
        state.counters["folder_per_snapshot"] = snapshot > 0 ? folder / snapshot : 0;
        std::size_t files = 0;
        for (const auto &entry : fs::recursive_directory_iterator(p.a.folder))
            files += entry.is_regular_file() ? 1 : 0;
        state.counters["files"] = double(files);
    }
}

BENCHMARK(BM_BytesPerEdit)->Arg(1000)->Arg(100'000)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyIncoming)->Args({1000, 300})->Args({100'000, 10'000})->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Join)->Arg(1000)->Arg(100'000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_YearOfUse)->Args({1000, 5})->Args({10'000, 365})->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
