// One-node edits through the real tarnibar-cli binary against a tree of
// 10,000 / 100,000 / 1,000,000 nodes (groups of 40 captured tabs at the top
// level, numbered as the application leaves them): rename a tab, move a tab
// to the head of another group, add a tab to a group, undo, list the trash
// and restore a tab from it. Each iteration is a whole command: start, read,
// at most one durable write, exit.
// (Its resident size is measured outside, with /usr/bin/time -f %M on a kept
// data root: a child's rusage here would include this process's own.)
//
//   build/bench/cli/bench_CliEdits --benchmark_filter=/100000/
//
// BENCH_CLI names another tarnibar-cli to time (an older build, to compare);
// BENCH_CLI_DIR keeps the data root there. Prints figures only;
// docs/performance.md records what they showed.

#include "model/Uuid.h"
#include "storage/WorkspaceStore.h"
#include "FixtureCache.h"
#include "TabWorkspace.h"

#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern char **environ;

using namespace tarni;

namespace {

constexpr int kGroupSize = 40; // a group and its 39 tabs, as makeTabWorkspace makes them

struct Fixture {
    QTemporaryDir temporary;
    std::string root;
    QUuid workspace;
    // The first two groups, and the first tab of the first.
    QUuid firstGroup, secondGroup, tab;
    // Two tabs of the second group, for the trash.
    QUuid trashedTabs[2];
    // The trash entry of the first, once deleted (see trashEntry()).
    QUuid trashEntry;

    explicit Fixture(int count)
    {
        const QByteArray kept = qgetenv("BENCH_CLI_DIR");
        root = kept.isEmpty() ? temporary.path().toStdString() : kept.toStdString();
        const std::filesystem::path path = std::filesystem::path(root) / "workspace.sqlite";
        std::error_code ec;
        for (const char *suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(path.string() + suffix, ec);
        WorkspaceStore store(path);
        auto made = store.fetchOrCreateDefaultWorkspace();
        if (!made)
            std::abort();
        workspace = made->id;
        // Written a batch at a time, so that a million nodes never sit in
        // memory at once: a store that read an empty part of the tree adds
        // exactly the rows it is given.
        constexpr int kBatch = 40'000;
        for (int start = 0; start < count; start += kBatch) {
            NodeList batch = bench::makeTabWorkspace(std::min(kBatch, count - start), workspace, false);
            double child = 0;
            for (WorkspaceNode &node : batch) {
                const qsizetype index = &node - batch.data();
                if (!node.parentID())
                    child = 0;
                node.setSortOrder(node.parentID() ? child++ : double((start + index) / kGroupSize));
            }
            if (start == 0) {
                firstGroup = batch[0].id();
                tab = batch[1].id();
                secondGroup = batch[kGroupSize].id();
                trashedTabs[0] = batch[kGroupSize + 2].id();
                trashedTabs[1] = batch[kGroupSize + 3].id();
            }
            store.setNodeScope(WorkspaceStore::NodeScope{});
            if (!store.fetchNodes(workspace) || !store.replaceNodes(batch, workspace))
                std::abort();
        }
    }
};

Fixture &fixture(int count)
{
    return bench::fixtureOfSize<Fixture>(count);
}

// Runs the command to its end; false when it failed. `timed`: with the
// build to time (BENCH_CLI), else with this one (preparing a run).
bool runCli(const Fixture &f, const std::vector<std::string> &arguments, bool timed = true)
{
    const QByteArray other = timed ? qgetenv("BENCH_CLI") : QByteArray();
    const std::string program = other.isEmpty() ? std::string(TARNIBAR_CLI_PATH) : other.toStdString();
    std::vector<std::string> words{program, "--root", f.root};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

template <class Arguments>
void timeCommand(benchmark::State &state, Arguments arguments)
{
    Fixture &f = fixture(int(state.range(0)));
    int round = 0;
    for (auto _ : state) {
        if (!runCli(f, arguments(f, round++))) {
            state.SkipWithError("tarnibar-cli failed");
            break;
        }
    }
}

std::string text(const QUuid &id)
{
    return uuidQString(id).toStdString();
}

void BM_CliRename(benchmark::State &state)
{
    timeCommand(state, [](const Fixture &f, int round) {
        return std::vector<std::string>{"rename", text(f.tab), "Renamed " + std::to_string(round)};
    });
}

// Back and forth between the first two groups, so the tree stays the same.
void BM_CliMove(benchmark::State &state)
{
    timeCommand(state, [](const Fixture &f, int round) {
        return std::vector<std::string>{"move", text(f.tab), "--under",
                                        text(round % 2 ? f.firstGroup : f.secondGroup), "--index", "0"};
    });
}

void BM_CliAdd(benchmark::State &state)
{
    timeCommand(state, [](const Fixture &f, int) {
        return std::vector<std::string>{"add", "link", "https://example.com/added", "--under", text(f.secondGroup)};
    });
}

// Undoes the add above, then the moves, one step each round.
void BM_CliUndo(benchmark::State &state)
{
    timeCommand(state, [](const Fixture &, int) { return std::vector<std::string>{"undo"}; });
}

// Two tabs deleted from the second group, once per fixture; the trash entry
// of the first, or none when that failed.
std::optional<QUuid> trashEntry(Fixture &f)
{
    if (!f.trashEntry.isNull())
        return f.trashEntry;
    if (!runCli(f, {"delete", text(f.trashedTabs[0])}, false))
        return std::nullopt;
    WorkspaceStore store(std::filesystem::path(f.root) / "workspace.sqlite", WorkspaceStore::OpenMode::readOnly);
    auto entries = store.fetchTrash(f.workspace);
    if (!entries || entries->size() != 1 || !runCli(f, {"delete", text(f.trashedTabs[1])}, false))
        return std::nullopt;
    f.trashEntry = entries->first().id;
    return f.trashEntry;
}

void BM_CliTrashList(benchmark::State &state)
{
    Fixture &f = fixture(int(state.range(0)));
    if (!trashEntry(f)) {
        state.SkipWithError("could not fill the trash");
        return;
    }
    for (auto _ : state) {
        if (!runCli(f, {"trash", "list"})) {
            state.SkipWithError("tarnibar-cli failed");
            break;
        }
    }
}

// Restores the tab into its group of 39 (timed), and undoes that (not timed)
// so that the next round restores the same entry again.
void BM_CliTrashRestore(benchmark::State &state)
{
    Fixture &f = fixture(int(state.range(0)));
    const auto entry = trashEntry(f);
    if (!entry) {
        state.SkipWithError("could not fill the trash");
        return;
    }
    for (auto _ : state) {
        if (!runCli(f, {"trash", "restore", text(*entry)})) {
            state.SkipWithError("tarnibar-cli failed");
            break;
        }
        state.PauseTiming();
        const bool undone = runCli(f, {"undo"}, false);
        state.ResumeTiming();
        if (!undone) {
            state.SkipWithError("undo failed");
            break;
        }
    }
}

} // namespace

#define CLI_SIZES Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)
BENCHMARK(BM_CliRename)->CLI_SIZES;
BENCHMARK(BM_CliMove)->CLI_SIZES;
BENCHMARK(BM_CliAdd)->CLI_SIZES;
BENCHMARK(BM_CliUndo)->CLI_SIZES;
BENCHMARK(BM_CliTrashList)->CLI_SIZES;
BENCHMARK(BM_CliTrashRestore)->CLI_SIZES;

BENCHMARK_MAIN();
