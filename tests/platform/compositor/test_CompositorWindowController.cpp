// The placement rules over a compositor's window list: which window an open
// request made, what is recorded, and what goes back.

#include "platform/compositor/CompositorWindowController.h"
#include "platform/session/WindowPlacement.h"
#include "windowing/UITestAXWindowController.h"

#include <gtest/gtest.h>

#include <functional>

using namespace tarni;

namespace {

constexpr std::int32_t kOwnPid = 100;

// A compositor whose windows the test sets; placing a window puts it there
// in the normal floating state, restoring gives it its frame and state back.
class FakeCompositor final : public CompositorWindows {
public:
    bool available = true;
    QList<CompositorWindow> windows;
    // Runs before each listing, so that windows can appear while a request waits.
    std::function<void(int listing)> beforeListing;
    QList<std::uint64_t> placed;
    QList<std::uint64_t> restored;

    bool isAvailable() override { return available; }
    std::optional<QList<CompositorWindow>> listWindows() override
    {
        if (beforeListing)
            beforeListing(++m_listings);
        return windows;
    }
    bool placeWindow(std::uint64_t handle, const QRectF &frame) override
    {
        CompositorWindow *w = find(handle);
        if (!w)
            return false;
        placed << handle;
        w->frame = frame;
        w->maximized = w->minimized = w->fullscreen = w->tiled = false;
        return true;
    }
    bool restoreWindow(std::uint64_t handle, const QRectF &frame, const OriginalWindowState &state) override
    {
        CompositorWindow *w = find(handle);
        if (!w)
            return false;
        restored << handle;
        w->frame = frame;
        w->maximized = state.isMaximized();
        w->minimized = state.minimized;
        w->tiled = state.tiled;
        return true;
    }
    CompositorWindow *find(std::uint64_t handle)
    {
        for (CompositorWindow &w : windows)
            if (w.handle == handle)
                return &w;
        return nullptr;
    }

private:
    int m_listings = 0;
};

CompositorWindow window(std::uint64_t handle, std::int32_t pid, const char *appId, const char *title, QRectF frame)
{
    CompositorWindow w;
    w.handle = handle;
    w.pid = pid;
    w.appId = QString::fromLatin1(appId);
    w.title = QString::fromLatin1(title);
    w.frame = frame;
    return w;
}

const QRectF kContent(320, 0, 960, 800);

class CompositorWindowControllerTest : public testing::Test {
protected:
    CompositorWindowControllerTest()
    {
        auto fake = std::make_unique<FakeCompositor>();
        m_compositor = fake.get();
        CompositorWindowController::Options options;
        options.pollIntervalMs = 5;
        options.ownPid = kOwnPid;
        m_controller = std::make_unique<CompositorWindowController>(m_registry, std::move(fake), std::move(options));
    }

    OpenedWindowRequest request(const char *identifier, const char *itemName)
    {
        OpenedWindowRequest r;
        r.identifier = QString::fromLatin1(identifier);
        r.frame = kContent;
        r.baseline = m_controller->windowBaseline();
        r.itemName = QString::fromLatin1(itemName);
        r.windowClass = QStringLiteral("org.example.Viewer");
        r.timeoutMs = 2000;
        return r;
    }

    ManagedWindowRegistry m_registry;
    FakeCompositor *m_compositor = nullptr;
    std::unique_ptr<CompositorWindowController> m_controller;
};

TEST_F(CompositorWindowControllerTest, OnlyTheNewWindowOfTheApplicationIsPlacedAndGoesBackMaximised)
{
    m_compositor->windows = {window(1, 7, "org.example.Viewer", "old.txt", {0, 0, 300, 200}),
                             window(2, kOwnPid, "org.example.Viewer", "Tarni Bar", {0, 0, 320, 800}),
                             window(3, 8, "org.example.Editor", "notes", {50, 50, 400, 300})};
    const OpenedWindowRequest r = request("/w/new.txt", "new.txt");
    // The viewer's window comes a few listings later, after an unrelated one.
    m_compositor->beforeListing = [&](int listing) {
        if (listing == 3)
            m_compositor->windows << window(4, 9, "org.example.Other", "new.txt", {0, 0, 100, 100});
        if (listing == 5) {
            CompositorWindow w = window(5, 7, "org.example.viewer", "new.txt - Viewer", {0, 0, 1280, 800});
            w.maximized = true;
            m_compositor->windows << w;
        }
    };
    ASSERT_TRUE(m_controller->moveOpenedWindow(r));
    EXPECT_EQ(m_compositor->placed, QList<std::uint64_t>{5});
    EXPECT_EQ(m_compositor->find(5)->frame, kContent);
    const auto record = m_registry.record(QStringLiteral("/w/new.txt"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->windowHandle, 5u);
    EXPECT_EQ(record->currentFrame, kContent);

    EXPECT_EQ(m_controller->restoreManagedWindows(), 1);
    EXPECT_EQ(m_compositor->find(5)->frame, QRectF(0, 0, 1280, 800));
    EXPECT_TRUE(m_compositor->find(5)->maximized);
    EXPECT_TRUE(m_registry.isEmpty());
}

TEST_F(CompositorWindowControllerTest, AnExistingWindowCountsOnlyWhenItTookTheItemAndNothingCountsWhenNoneCame)
{
    m_compositor->windows = {window(1, 7, "org.example.Viewer", "old.txt", {0, 0, 300, 200})};
    const OpenedWindowRequest r = request("/w/new.txt", "new.txt");
    // Focused but still showing the old file: not the item's window.
    m_compositor->windows[0].focused = true;
    OpenedWindowRequest quick = r;
    quick.timeoutMs = 50;
    EXPECT_FALSE(m_controller->moveOpenedWindow(quick));
    EXPECT_TRUE(m_compositor->placed.isEmpty());
    EXPECT_TRUE(m_registry.isEmpty());

    m_compositor->windows[0].title = QStringLiteral("new.txt - Viewer");
    EXPECT_TRUE(m_controller->moveOpenedWindow(r));
    EXPECT_EQ(m_compositor->placed, QList<std::uint64_t>{1});

    // A baseline that could not be taken moves nothing.
    OpenedWindowRequest untaken = r;
    untaken.baseline = {};
    EXPECT_FALSE(m_controller->moveOpenedWindow(untaken));
}

TEST_F(CompositorWindowControllerTest, AfterACrashOnlyWindowsStillWhereTheyWerePutGoBack)
{
    m_compositor->windows = {window(1, 7, "org.example.Viewer", "a.txt", kContent),
                             window(2, 7, "org.example.Viewer", "b.txt", {400, 100, 500, 400}),
                             window(4, 7, "org.example.Viewer", "c.txt", kContent),
                             window(5, 7, "org.example.Viewer", "d.txt", kContent.translated(-320, 0))};
    auto leftBehind = [](const char *identifier, std::uint64_t handle) {
        ManagedWindowRecord record;
        record.identifier = QString::fromLatin1(identifier);
        record.appPID = 7;
        record.windowHandle = handle;
        record.originalFrame = QRectF(10, 10, 300, 200);
        record.currentFrame = kContent;
        record.originalState = OriginalWindowState{};
        record.originalState->tiled = true;
        return record;
    };
    // a: still where it was put; b: moved by the user since; c: its window
    // is gone (handle 3), and the window now at that place is not taken for
    // it; d: slid by the compositor into the edge our dead sidebar freed.
    const int back = m_controller->restoreWindowsLeftBehind({leftBehind("/w/a.txt", 1), leftBehind("/w/b.txt", 2),
                                                             leftBehind("/w/c.txt", 3), leftBehind("/w/d.txt", 5)});
    EXPECT_EQ(back, 2);
    EXPECT_EQ(m_compositor->restored, (QList<std::uint64_t>{1, 5}));
    EXPECT_EQ(m_compositor->find(1)->frame, QRectF(10, 10, 300, 200));
    EXPECT_TRUE(m_compositor->find(1)->tiled);
    EXPECT_EQ(m_compositor->find(2)->frame, QRectF(400, 100, 500, 400));
    EXPECT_TRUE(m_registry.isEmpty());

    m_compositor->available = false;
    EXPECT_EQ(m_controller->permissionStatus(), PermissionStatus::denied);
    EXPECT_FALSE(m_controller->moveWindow(QStringLiteral("/w/a.txt"), kContent));
    EXPECT_FALSE(m_controller->windowBaseline().taken);
}

// The facility is the first that answers, looked for again only while no
// moved window waits: records name windows by that facility's handles.
TEST(SessionWindowController, KeepsTheFacilityThatMovedAWindowUntilItIsBack)
{
    ManagedWindowRegistry registry;
    bool swayAnswers = false;
    SessionWindowController::Factories factories;
    factories.ewmh = [&registry] {
        return std::make_unique<UITestAXWindowController>(registry, PermissionStatus::granted);
    };
    factories.compositor = [&](PlacementFacility) {
        auto fake = std::make_unique<FakeCompositor>();
        fake->available = swayAnswers;
        fake->windows = {window(1, 7, "org.example.Viewer", "a.txt", {0, 0, 300, 200})};
        fake->windows[0].focused = true;
        return fake;
    };
    SessionWindowController controller(registry, {PlacementFacility::swayIpc, PlacementFacility::ewmh},
                                       std::move(factories));
    EXPECT_EQ(controller.permissionStatus(), PermissionStatus::granted);
    EXPECT_EQ(controller.facility(), PlacementFacility::ewmh);
    EXPECT_EQ(currentPlacementFacility(), PlacementFacility::ewmh);
    ASSERT_TRUE(controller.moveWindow(QStringLiteral("/w/a.txt"), kContent));

    swayAnswers = true;
    controller.requestPermissionIfNeeded();
    EXPECT_EQ(controller.facility(), PlacementFacility::ewmh);
    EXPECT_EQ(controller.restoreManagedWindows(), 1);
    controller.requestPermissionIfNeeded();
    EXPECT_EQ(controller.facility(), PlacementFacility::swayIpc);
    EXPECT_EQ(currentPlacementFacility(), PlacementFacility::swayIpc);
    EXPECT_TRUE(controller.moveWindow(QStringLiteral("/w/a.txt"), kContent));
}

} // namespace
