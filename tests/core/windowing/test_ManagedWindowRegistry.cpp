#include "windowing/ManagedWindowRegistry.h"

#include <gtest/gtest.h>

using namespace tarni;

namespace {
const QRectF first(10, 20, 300, 200);
const QRectF second(500, 40, 800, 600);
} // namespace

TEST(ManagedWindowRegistry, FirstFramesSurviveLaterRegistrationsAndAbsentValuesKeepWhatWasRecorded)
{
    ManagedWindowRegistry registry;
    // Updating an unknown identifier creates nothing.
    registry.updateCurrentFrame(QStringLiteral("/a"), first);
    registry.updateOriginalNormalFrame(QStringLiteral("/a"), first);
    EXPECT_TRUE(registry.isEmpty());
    EXPECT_FALSE(registry.originalFrame(QStringLiteral("/a")));

    // The first registration has no frame, so the second one supplies both.
    registry.registerWindow(QStringLiteral("/a"), std::nullopt, 7, QStringLiteral("Title"));
    registry.registerWindow(QStringLiteral("/a"), first, std::nullopt, std::nullopt);
    auto record = registry.record(QStringLiteral("/a"));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->appPID, 7);
    EXPECT_EQ(record->windowTitle, QStringLiteral("Title"));
    EXPECT_EQ(record->originalFrame, first);
    EXPECT_EQ(record->currentFrame, first);

    registry.registerWindow(QStringLiteral("/a"), second, 12, QStringLiteral("B"));
    record = registry.record(QStringLiteral("/a"));
    EXPECT_EQ(record->originalFrame, first);
    EXPECT_EQ(record->currentFrame, first);
    EXPECT_EQ(record->appPID, 12);
    EXPECT_EQ(record->windowTitle, QStringLiteral("B"));

    registry.updateCurrentFrame(QStringLiteral("/a"), second);
    registry.registerWindow(QStringLiteral("/a"), QRectF(1, 1, 1, 1), std::nullopt, std::nullopt);
    EXPECT_EQ(registry.record(QStringLiteral("/a"))->currentFrame, second);
    EXPECT_EQ(registry.originalFrame(QStringLiteral("/a")), first);
}

TEST(ManagedWindowRegistry, OriginalStateTravelsWithTheOriginalFrame)
{
    ManagedWindowRegistry registry;
    OriginalWindowState maximised;
    maximised.maximizedHorizontally = maximised.maximizedVertically = true;
    maximised.desktop = 2;
    OriginalWindowState normal;

    registry.registerWindow(QStringLiteral("/a"), {first, 1, std::nullopt, maximised, 0x400001});
    registry.registerWindow(QStringLiteral("/a"), {second, 1, std::nullopt, normal, 0x400002});
    auto record = registry.record(QStringLiteral("/a"));
    EXPECT_EQ(record->originalState, maximised);
    EXPECT_EQ(record->windowHandle, 0x400002u);

    registry.updateOriginalNormalFrame(QStringLiteral("/a"), second);
    registry.updateOriginalNormalFrame(QStringLiteral("/a"), first);
    EXPECT_EQ(registry.record(QStringLiteral("/a"))->originalState->normalFrame, second);
}

TEST(ManagedWindowRegistry, RecordsNeedingRestoreAreSortedAndNeedAnOriginalFrame)
{
    ManagedWindowRegistry registry;
    registry.registerWindow(QStringLiteral("/z/last"), first, std::nullopt, std::nullopt);
    registry.registerWindow(QStringLiteral("/b"), first, std::nullopt, std::nullopt);
    registry.registerWindow(QStringLiteral("/no-frame"), std::nullopt, 3, std::nullopt);
    registry.registerWindow(QStringLiteral("/B"), first, std::nullopt, std::nullopt);
    registry.registerWindow(QStringLiteral("/a/deeper"), first, std::nullopt, std::nullopt);

    QStringList order;
    for (const auto &record : registry.recordsNeedingRestore())
        order << record.identifier;
    // Code-unit order: upper case sorts before lower case.
    EXPECT_EQ(order, (QStringList{QStringLiteral("/B"), QStringLiteral("/a/deeper"), QStringLiteral("/b"),
                                  QStringLiteral("/z/last")}));

    EXPECT_TRUE(registry.removeRecord(QStringLiteral("/b")));
    EXPECT_FALSE(registry.removeRecord(QStringLiteral("/b")));
    EXPECT_EQ(registry.recordsNeedingRestore().size(), 3);
}
