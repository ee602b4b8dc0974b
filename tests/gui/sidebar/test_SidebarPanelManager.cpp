// The panel's frame bookkeeping, offscreen: what is stored when, and where
// the panel and the content window end up.

#include "GuiTestMain.h"
#include "AppTestSupport.h"

#include "gui/sidebar/ManagedTargetWindow.h"
#include "gui/sidebar/SidebarPanelManager.h"
#include "gui/sidebar/SidebarPanelWindow.h"

#include <QApplication>

using namespace tarni;
using namespace tarni::test;

namespace {

class SidebarPanelManagerTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        AppModel &model = start();
        SidebarPanelManager::Options options;
        options.describeScreen = [this](const QScreen &, std::uint32_t) { return description; };
        manager = std::make_unique<SidebarPanelManager>(*env->dependencies().windowReservationManager, model,
                                                        std::move(options));
    }
    void TearDown() override
    {
        manager.reset();
        AppTest::TearDown();
    }

    QVariant stored() { return env->settings().value(WindowReservationManager::settingsKey(QStringLiteral("S"))); }

    // 20 % of 1601 is 320.2: the panel can only be 320 wide.
    ScreenDescription description{QStringLiteral("S"), QRectF(0, 24, 1601, 744)};
    std::unique_ptr<SidebarPanelManager> manager;
};

TEST_F(SidebarPanelManagerTest, ShowingStoresNothingAndAFrameWithinHalfAPixelStays)
{
    manager->showSidebar(false);
    SidebarPanelWindow *panel = manager->panel();
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->geometry(), QRect(0, 24, 320, 744));
    EXPECT_FALSE(stored().isValid());
    // The content starts where the panel really ends, not at 320.2.
    EXPECT_EQ(manager->currentContentRect(), QRectF(320, 24, 1281, 744));

    // 0.2 pixels from the reserved rectangle: nothing to snap, nothing stored.
    manager->synchronizePanelFrame(false);
    EXPECT_EQ(panel->geometry(), QRect(0, 24, 320, 744));
    EXPECT_EQ(env->appModel().sidebarWidthDescription(), QStringLiteral("Sidebar width 320 pt"));
}

// The maximum width and a move snapping back are checked on a real X server
// with a window manager (test_TarniBarShell); the minimum here.
TEST_F(SidebarPanelManagerTest, ResizeStoresTheWidthClampedToTheMinimum)
{
    manager->showSidebar(false);
    SidebarPanelWindow *panel = manager->panel();
    panel->resize(200, 744);
    EXPECT_EQ(stored().toDouble(), 300.0);
    EXPECT_EQ(panel->geometry(), QRect(0, 24, 300, 744));
    EXPECT_EQ(manager->managedTargetWindow()->frameGeometry(), QRect(300, 24, 1301, 744));
}

TEST_F(SidebarPanelManagerTest, KeyboardStepsWidenAndNarrowWithinTheLimits)
{
    manager->showSidebar(false);
    manager->adjustWidth(SidebarPanelManager::kWidthStep);
    EXPECT_EQ(manager->panel()->width(), 340);
    EXPECT_NEAR(stored().toDouble(), 340.2, 1e-9);
    for (int i = 0; i < 40; ++i)
        manager->adjustWidth(-SidebarPanelManager::kWidthStep);
    EXPECT_EQ(manager->panel()->width(), 300);
}

TEST_F(SidebarPanelManagerTest, TheContentWindowFollowsItsSetting)
{
    AppModel &model = env->appModel();
    model.setShowsManagedTargetWindow(false);
    manager->showSidebar(false);
    EXPECT_FALSE(manager->managedTargetWindow() && manager->managedTargetWindow()->isVisible());

    model.setShowsManagedTargetWindow(true);
    ASSERT_TRUE(manager->managedTargetWindow());
    EXPECT_TRUE(manager->managedTargetWindow()->isVisible());
    EXPECT_EQ(manager->managedTargetWindow()->wantedFrame(), QRectF(320, 24, 1281, 744));
    EXPECT_EQ(env->settings().value(QLatin1String(kShowsManagedTargetWindowSettingsKey)).toBool(), true);

    model.setShowsManagedTargetWindow(false);
    EXPECT_FALSE(manager->managedTargetWindow()->isVisible());
}

} // namespace

int main(int argc, char **argv)
{
    return runGuiTests(argc, argv);
}
