#include "windowing/UITestAXWindowController.h"

#include <gtest/gtest.h>

using namespace tarni;

TEST(UITestAXWindowController, DeniedMovesNothingAndRecordsNothing)
{
    ManagedWindowRegistry registry;
    UITestAXWindowController controller(registry, PermissionStatus::denied);
    EXPECT_FALSE(controller.moveWindow(QStringLiteral("/tmp/a.txt"), QRectF(300, 0, 500, 500)));
    EXPECT_TRUE(registry.isEmpty());
    EXPECT_TRUE(controller.movedWindows().isEmpty());
    EXPECT_EQ(controller.restoreManagedWindows(), 0);
}

TEST(UITestAXWindowController, MovesTwiceAndRestoresToTheFrameBeforeTheFirstMove)
{
    ManagedWindowRegistry registry;
    UITestAXWindowController controller(registry, PermissionStatus::granted);
    QList<UITestAXWindowController::Move> observed;
    controller.setMoveObserver([&](const auto &move) { observed << move; });
    const QRectF before(40, 50, 600, 400);
    controller.setWindowFrame(QStringLiteral("/tmp/a.txt"), before);

    ASSERT_TRUE(controller.moveWindow(QStringLiteral("/tmp/a.txt"), QRectF(300, 0, 500, 500)));
    ASSERT_TRUE(controller.moveWindow(QStringLiteral("/tmp/a.txt"), QRectF(320, 0, 480, 500)));
    EXPECT_EQ(observed, controller.movedWindows());
    EXPECT_EQ(observed.size(), 2);
    EXPECT_EQ(registry.record(QStringLiteral("/tmp/a.txt"))->currentFrame, QRectF(320, 0, 480, 500));
    EXPECT_EQ(registry.record(QStringLiteral("/tmp/a.txt"))->windowTitle, QStringLiteral("a.txt"));

    EXPECT_EQ(controller.restoreManagedWindows(), 1);
    EXPECT_EQ(controller.windowFrame(QStringLiteral("/tmp/a.txt")), before);
    EXPECT_TRUE(registry.isEmpty());
    EXPECT_EQ(controller.restoreManagedWindows(), 0);
}

TEST(UITestAXWindowController, AMissingWindowKeepsItsRecordForALaterRestore)
{
    ManagedWindowRegistry registry;
    UITestAXWindowController controller(registry, PermissionStatus::granted);
    ASSERT_TRUE(controller.moveWindow(QStringLiteral("/a"), QRectF(300, 0, 500, 500)));
    ASSERT_TRUE(controller.moveWindow(QStringLiteral("/b"), QRectF(300, 0, 500, 500)));
    controller.setWindowMissing(QStringLiteral("/a"), true);
    EXPECT_FALSE(controller.moveWindow(QStringLiteral("/a"), QRectF(0, 0, 10, 10)));

    EXPECT_EQ(controller.restoreManagedWindows(), 1);
    EXPECT_TRUE(registry.record(QStringLiteral("/a")));
    controller.setWindowMissing(QStringLiteral("/a"), false);
    EXPECT_EQ(controller.restoreManagedWindows(), 1);
    EXPECT_EQ(controller.windowFrame(QStringLiteral("/a")), UITestAXWindowController::defaultWindowFrame());
    EXPECT_TRUE(registry.isEmpty());
}
