// The outline on workspaces of 1,000 to 100,000 nodes (search keystrokes also
// at 1,000,000) with the real SQLite store, offscreen: the time from a change
// to the repainted list for search keystrokes (the first one right after the
// launch counted on its own), tree edits, and scrolling by a page.
//
// Each benchmark reports the median, 95th percentile and maximum of its
// iterations' wall times ("median_ms", "p95_ms", "max_ms").

#include "BenchApplication.h"
#include "gui/outline/WorkspaceItemModel.h"
#include "gui/outline/WorkspaceOutlineView.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QScrollBar>
#include <QWindow>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <random>

using namespace tarni;
using namespace tarni::bench;

namespace {

// About 580 bytes of JSON per node: groups every ~15 nodes, nested up to
// four deep, the rest Chrome tabs with titles made of a few words, so that
// each added letter of a query narrows the matches.
NodeList makeWorkspace(const QUuid &workspaceID, int count)
{
    std::mt19937 rng(42);
    const Timestamp now = currentTimestamp();
    NodeList nodes;
    nodes.reserve(count);
    std::vector<std::pair<QUuid, int>> groups; // id, depth
    QHash<QUuid, double> nextOrder;
    const QStringList words{QStringLiteral("Quarterly"), QStringLiteral("planning"), QStringLiteral("Résumé"),
                            QStringLiteral("design"), QStringLiteral("review"), QStringLiteral("日本語"),
                            QStringLiteral("notes"), QStringLiteral("Infrastructure"), QStringLiteral("budget"),
                            QStringLiteral("roadmap")};
    for (int i = 0; i < count; ++i) {
        std::optional<QUuid> parent;
        int depth = 0;
        if (!groups.empty() && rng() % 50 != 0) {
            const auto &g = groups[rng() % groups.size()];
            parent = g.first;
            depth = g.second + 1;
        }
        const QString title = QStringLiteral("%1 %2 %3 #%4")
                                  .arg(words[rng() % words.size()], words[rng() % words.size()],
                                       words[rng() % words.size()])
                                  .arg(i);
        const QUuid key = parent.value_or(QUuid());
        const double order = nextOrder.value(key, 0.0);
        nextOrder[key] = order + 1;
        const QUuid id = QUuid::createUuid();
        if (i % 15 == 0) {
            if (depth < 4)
                groups.emplace_back(id, depth);
            nodes.append(WorkspaceNode(id, workspaceID, parent, WorkspaceNodeKind::group, title, std::nullopt, order,
                                       false, std::nullopt, now, now, std::nullopt, NodePayload::group()));
        } else {
            const QString url = QStringLiteral("https://docs.example-company.com/workspace/%1/documents/%2?view=full")
                                    .arg(rng() % 1000)
                                    .arg(i);
            BrowserTarget target{url, title, QStringLiteral("https://docs.example-company.com/favicon.ico"),
                                 BrowserOpenMode::existingTab, std::nullopt};
            nodes.append(WorkspaceNode(id, workspaceID, parent, WorkspaceNodeKind::chromeTab, title, url, order,
                                       false, std::nullopt, now, now, std::nullopt, NodePayload::chromeTab(target)));
        }
    }
    return nodes;
}

// The application core on the fixture with the outline shown, launched.
struct Outline {
    std::unique_ptr<AppEnvironment> env;
    std::unique_ptr<WorkspaceOutlineView> view;

    // Set when the tree view model announces a new query, before the
    // outline's own handlers run: the projection's matching is done then.
    Clock::time_point queryMatched;

    explicit Outline(const UITestConfig &config)
    {
        env = compose(config);
        QObject::connect(&env->appModel().treeViewModel(), &TreeViewModel::searchQueryChanged,
                         [this] { queryMatched = Clock::now(); });
        view = std::make_unique<WorkspaceOutlineView>(env->appModel());
        view->resize(384, 1000);
        view->show();
        // Painting needs the window on the (offscreen) screen.
        for (int i = 0; i < 1000 && !(view->windowHandle() && view->windowHandle()->isExposed()); ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        // Launching in the view's presence, as the application does.
        QCoro::waitFor(env->appModel().launch());
        view->viewport()->repaint();
    }
    AppModel &model() { return env->appModel(); }
    ~Outline()
    {
        view.reset();
        env.reset();
    }
};

void report(benchmark::State &state, std::vector<double> times, const char *prefix = "")
{
    std::sort(times.begin(), times.end());
    if (times.empty())
        return;
    const std::string p(prefix);
    state.counters[p + "median_ms"] = times[times.size() / 2];
    state.counters[p + "p95_ms"] = times[std::min(times.size() - 1, times.size() * 95 / 100)];
    state.counters[p + "max_ms"] = times.back();
}

// Typing and deleting a query letter by letter; each step is the model's
// change and a full repaint of the list. The first keystroke comes right
// after the launch, or (range 1 = 1) after 300 ms of idle time. Besides the
// whole step: "match_" is the projection's matching, "rows_" the rest until
// the item model and the view have taken the new rows (visibility, the
// displayed tree, the reset), "repaint_" the view's layout and painting;
// "typing_" and "clear_" split the steps after the first into those that
// set a query and those that empty it (the whole tree shown again).
void BM_SearchKeystroke(benchmark::State &state)
{
    Fixture &f = fixture(int(state.range(0)), makeWorkspace);
    const QStringList queries{QStringLiteral("r"),      QStringLiteral("re"),     QStringLiteral("rev"),
                              QStringLiteral("revi"),   QStringLiteral("review"), QStringLiteral("revi"),
                              QStringLiteral("re"),     QStringLiteral("r"),      QString(),
                              QStringLiteral("n"),      QStringLiteral("no"),     QStringLiteral("not"),
                              QStringLiteral("no"),     QStringLiteral("n"),      QString()};
    std::vector<double> times, first, match, rows, paint, typing, clearing;
    for (auto _ : state) {
        state.PauseTiming();
        Outline outline(f.config);
        if (state.range(1)) {
            const auto idle = Clock::now();
            while (msSince(idle) < 300)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        state.ResumeTiming();
        double total = 0;
        for (qsizetype i = 0; i < queries.size(); ++i) {
            const auto start = Clock::now();
            outline.model().treeViewModel().setSearchQuery(queries[i]);
            const auto paintStart = Clock::now();
            match.push_back(std::chrono::duration<double, std::milli>(outline.queryMatched - start).count());
            rows.push_back(std::chrono::duration<double, std::milli>(paintStart - outline.queryMatched).count());
            outline.view->viewport()->repaint();
            paint.push_back(msSince(paintStart));
            const double ms = msSince(start);
            (i == 0 ? first : times).push_back(ms);
            if (i > 0)
                (queries[i].isEmpty() ? clearing : typing).push_back(ms);
            total += ms;
        }
        state.SetIterationTime(total / 1000.0);
    }
    report(state, times);
    report(state, first, "first_");
    report(state, typing, "typing_");
    report(state, clearing, "clear_");
    report(state, match, "match_");
    report(state, rows, "rows_");
    report(state, paint, "repaint_");
}

// Renames, adds, moves and deletes, each persisted and repainted. The
// "outline_" figures leave out the store's write, which waits for the disk.
void BM_Edit(benchmark::State &state)
{
    Fixture &f = fixture(int(state.range(0)), makeWorkspace);
    Outline outline(f.config);
    TreeViewModel &tree = outline.model().treeViewModel();
    // Edits near the top, where the rows are on screen.
    const auto roots = tree.projection().childSlots(TreeProjection::kNoSlot);
    const QUuid groupA = tree.projection().node(roots.at(0)).id();
    const QUuid groupB = tree.projection().node(roots.at(1)).id();
    Clock::time_point writeStart, writeEnd;
    // Connected after the outline's own handlers: the rows are in step then.
    QObject::connect(&tree, &TreeViewModel::nodesChanged, [&] { writeStart = Clock::now(); });
    QObject::connect(&tree, &TreeViewModel::writeSucceeded, [&] { writeEnd = Clock::now(); });
    std::vector<double> all, outlineOnly, paint, rename, move;
    int n = 0;
    auto timed = [&](std::vector<double> *kind, auto edit) {
        const auto start = Clock::now();
        edit();
        const auto paintStart = Clock::now();
        outline.view->viewport()->repaint();
        paint.push_back(msSince(paintStart));
        const double ms = msSince(start);
        all.push_back(ms);
        outlineOnly.push_back(ms - std::chrono::duration<double, std::milli>(writeEnd - writeStart).count());
        if (kind)
            kind->push_back(ms);
    };
    for (auto _ : state) {
        const auto start = Clock::now();
        timed(&rename, [&] { (void)tree.rename(groupA, QStringLiteral("Renamed %1").arg(++n)); });
        QUuid added;
        timed(nullptr, [&] { added = tree.addWebLink(QStringLiteral("https://example.com/"), QStringLiteral("Example"), groupA)->id(); });
        timed(&move, [&] { (void)tree.move(added, groupB, 0); });
        timed(nullptr, [&] { (void)tree.deleteNode(added); });
        state.SetIterationTime(msSince(start) / 1000.0);
    }
    report(state, all);
    report(state, outlineOnly, "outline_");
    report(state, paint, "repaint_");
    report(state, rename, "rename_");
    report(state, move, "move_");
}

void BM_ScrollPage(benchmark::State &state)
{
    Fixture &f = fixture(int(state.range(0)), makeWorkspace);
    Outline outline(f.config);
    QScrollBar *bar = outline.view->verticalScrollBar();
    state.counters["top_rows"] = outline.view->itemModel()->rowCount();
    state.counters["pages"] = bar->pageStep() > 0 ? double(bar->maximum()) / bar->pageStep() : 0;
    std::vector<double> times;
    for (auto _ : state) {
        const auto start = Clock::now();
        int next = bar->value() + bar->pageStep();
        if (next > bar->maximum())
            next = 0;
        bar->setValue(next);
        outline.view->viewport()->repaint();
        const double ms = msSince(start);
        times.push_back(ms);
        state.SetIterationTime(ms / 1000.0);
    }
    report(state, times);
}

#define SIZES ->Arg(1000)->Arg(10000)->Arg(100000)->UseManualTime()->Unit(benchmark::kMillisecond)
BENCHMARK(BM_SearchKeystroke)
    ->ArgsProduct({{1000, 10000, 100000}, {0, 1}})
    ->Args({1000000, 0})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_Edit) SIZES->Iterations(50);
BENCHMARK(BM_ScrollPage) SIZES->Iterations(200);

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
