// How events fold into the cache of browser windows.

#include "chrome/ChromeStateCache.h"

#include <gtest/gtest.h>

using namespace tarni;

namespace {

ChromeTabState tab(std::int64_t id, std::int64_t windowID, bool active = false, const char *title = "t")
{
    return ChromeTabState{id, windowID, QString::fromUtf8(title), QStringLiteral("https://a.example/%1").arg(id), {}, active};
}

QList<ChromeWindowState> twoWindows()
{
    return {ChromeWindowState{1, {}, {tab(10, 1, true), tab(11, 1)}}, ChromeWindowState{2, {}, {tab(20, 2, true)}}};
}

} // namespace

TEST(ChromeStateCache, ActiveTabChangedReplacesInPlaceAppendsOrIgnores)
{
    struct Row {
        const char *name;
        ChromeTabState tab;
        QList<ChromeWindowState> expected;
    };
    const Row rows[] = {
        {"replaces in place", tab(11, 1, true, "new"),
         {ChromeWindowState{1, {}, {tab(10, 1, true), tab(11, 1, true, "new")}}, ChromeWindowState{2, {}, {tab(20, 2, true)}}}},
        {"appends a new id", tab(12, 1, true),
         {ChromeWindowState{1, {}, {tab(10, 1, true), tab(11, 1), tab(12, 1, true)}},
          ChromeWindowState{2, {}, {tab(20, 2, true)}}}},
        {"ignores an unknown window", tab(30, 3, true), twoWindows()},
    };
    for (const Row &row : rows) {
        ChromeStateCache cache;
        cache.setWindows(twoWindows());
        cache.apply(ChromeEvent::activeTabChanged(row.tab));
        EXPECT_EQ(cache.windows(), row.expected) << row.name;
    }
}

TEST(ChromeStateCache, TabClosedRemovesTheIdEverywhereAndKeepsEmptyWindows)
{
    ChromeStateCache cache;
    cache.setWindows({ChromeWindowState{1, {}, {tab(5, 1), tab(6, 1)}}, ChromeWindowState{2, {}, {tab(5, 2)}}});
    cache.apply(ChromeEvent::tabClosed(5));
    EXPECT_EQ(cache.windows(), (QList<ChromeWindowState>{ChromeWindowState{1, {}, {tab(6, 1)}}, ChromeWindowState{2, {}, {}}}));
    const auto before = cache.windows();
    cache.apply(ChromeEvent::tabClosed(99));
    EXPECT_EQ(cache.windows(), before);
}

// Node bindings follow the tabs they name: gone with a closed or missing tab,
// carried along when the tab moves to another window.
TEST(ChromeStateCache, BindingsFollowTheStateEvents)
{
    struct Row {
        const char *name;
        ChromeEvent event;
        std::optional<RuntimeTabBinding> first; // bound to tab 10
        std::optional<RuntimeTabBinding> second; // bound to tab 20
    };
    const Row rows[] = {
        {"a closed tab", ChromeEvent::tabClosed(10), std::nullopt, RuntimeTabBinding{2, 20}},
        {"another tab closed", ChromeEvent::tabClosed(11), RuntimeTabBinding{1, 10}, RuntimeTabBinding{2, 20}},
        {"a tab missing from the state",
         ChromeEvent::windowsState({ChromeWindowState{1, {}, {tab(10, 1)}}, ChromeWindowState{2, {}, {}}}),
         RuntimeTabBinding{1, 10}, std::nullopt},
        {"a tab moved in the state", ChromeEvent::windowsState({ChromeWindowState{2, {}, {tab(20, 2), tab(10, 2)}}}),
         RuntimeTabBinding{2, 10}, RuntimeTabBinding{2, 20}},
        {"a moved tab activated", ChromeEvent::activeTabChanged(tab(10, 3, true)), RuntimeTabBinding{3, 10},
         RuntimeTabBinding{2, 20}},
        {"no windows at all", ChromeEvent::windowsState({}), std::nullopt, std::nullopt},
    };
    const QUuid first = QUuid::createUuid();
    const QUuid second = QUuid::createUuid();
    const QUuid fresh = QUuid::createUuid();
    for (const Row &row : rows) {
        ChromeStateCache cache;
        cache.apply(ChromeEvent::windowsState(twoWindows()));
        cache.bind(first, RuntimeTabBinding{1, 10});
        cache.bind(second, RuntimeTabBinding{2, 20});
        // Just opened: a state taken before the browser made it lacks it.
        cache.bind(fresh, RuntimeTabBinding{1, 30});
        cache.apply(row.event);
        EXPECT_EQ(cache.binding(first), row.first) << row.name;
        EXPECT_EQ(cache.binding(second), row.second) << row.name;
        EXPECT_EQ(cache.binding(fresh), RuntimeTabBinding({1, 30})) << row.name;
    }
}
