#include "windowing/WindowCandidates.h"

#include <gtest/gtest.h>

using namespace tarni;

namespace {
WindowCandidate window(std::uint64_t handle, std::optional<QString> title, QRectF frame)
{
    return WindowCandidate{handle, 42, std::move(title), frame};
}
} // namespace

TEST(WindowCandidates, FoldsDuplicatesByHandleOrByTitleWithinTwoPoints)
{
    WindowCandidateList list;
    list.append(window(1, QStringLiteral("doc"), QRectF(10, 10, 400, 300)));
    list.append(window(1, QStringLiteral("renamed"), QRectF(500, 10, 400, 300))); // same window again
    list.append(window(2, QStringLiteral("doc"), QRectF(12, 8, 402, 298)));       // within 2 points
    list.append(window(3, QStringLiteral("doc"), QRectF(12.5, 10, 400, 300)));    // x off by 2.5
    list.append(window(4, QStringLiteral("other"), QRectF(10, 10, 400, 300)));    // other title
    list.append(window(5, std::nullopt, QRectF(0, 0, 10, 10)));
    list.append(window(6, std::nullopt, QRectF(1, 1, 11, 11))); // two absent titles are the same
    list.append(window(7, QString(), QRectF(1, 1, 11, 11)));    // empty is not absent

    QList<std::uint64_t> handles;
    for (const auto &w : list.windows())
        handles << w.handle;
    EXPECT_EQ(handles, (QList<std::uint64_t>{1, 3, 4, 5, 7}));
}

TEST(WindowCandidates, BestPrefersLowestScoreAndEarlierOnTies)
{
    WindowCandidateList list;
    EXPECT_FALSE(list.best(std::nullopt, std::nullopt));

    list.append(window(1, std::nullopt, QRectF(0, 0, 100, 100)));
    list.append(window(2, QStringLiteral("focused twin"), QRectF(300, 0, 100, 100)));
    list.append(window(3, QStringLiteral("later twin"), QRectF(600, 0, 100, 100)));
    EXPECT_EQ(list.best(std::nullopt, std::nullopt)->handle, 2u);
    EXPECT_EQ(list.best(QStringLiteral("later twin"), std::nullopt)->handle, 3u);
    EXPECT_EQ(list.best(std::nullopt, QRectF(590, 0, 100, 100))->handle, 3u);
    // A frame far away does not outweigh a matching title.
    EXPECT_EQ(list.best(QStringLiteral("focused twin"), QRectF(600, 0, 100, 100))->handle, 2u);
}
