// Clocks order the changes of every machine the same way, whatever their
// wall clocks say.

#include "sync/HybridClock.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tarni::sync {
void PrintTo(const SyncClock &clock, std::ostream *out)
{
    *out << clock.toText();
}
} // namespace tarni::sync

using namespace tarni::sync;

namespace {

const QUuid kLaptop = QUuid::fromString(QStringLiteral("{0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b}"));
// First in text order, but of a later variant: QUuid's own order puts it last.
const QUuid kDesktop = QUuid::fromString(QStringLiteral("{0a5e6f3b-1d2b-4c8e-cf70-6b1d2e3f4a5b}"));

TEST(HybridClock, TextOrderIsClockOrderAndReadsBack)
{
    std::vector<SyncClock> clocks{
        {1'733'650'000'123, 0, kDesktop}, {1'733'650'000'123, 0, kLaptop},  {1'733'650'000'123, 12, kLaptop},
        {1'733'650'000'124, 0, kLaptop},  {0, 0, kDesktop},                  {SyncClock::kMaxMs, 99'999, kLaptop},
        {999, 99'999, kDesktop},          {1000, 0, kDesktop},
    };
    EXPECT_EQ(SyncClock({1'733'650'000'123, 7, kLaptop}).toText(),
              "0001733650000123-00007-0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b");
    for (const SyncClock &clock : clocks)
        EXPECT_EQ(SyncClock::fromText(clock.toText()), clock) << clock.toText();
    auto byText = clocks;
    std::sort(clocks.begin(), clocks.end());
    std::sort(byText.begin(), byText.end(), [](const SyncClock &a, const SyncClock &b) { return a.toText() < b.toText(); });
    EXPECT_EQ(clocks, byText);
    EXPECT_LT(SyncClock({5, 0, kDesktop}), SyncClock({5, 0, kLaptop}));
}

TEST(HybridClock, OnlyTheExactTextFormReads)
{
    const char *refused[] = {
        "",
        "0001733650000123-00007-0A5E6F3C-1D2B-4C8E-9F70-6B1D2E3F4A5B",    // upper case
        "0001733650000123-00007-{0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b}",  // braces
        "001733650000123-00007-0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b",     // 15 digits
        "+001733650000123-00007-0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b",
        "0001733650000123-0000x-0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b",
        "0001733650000123_00007-0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b",
        "0001733650000123-00007-00000000-0000-0000-0000-000000000000",    // the null device
        "0253402300800000-00000-0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b",    // after the year 9999
        "0001733650000123-00007-0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b ",
    };
    for (const char *text : refused)
        EXPECT_EQ(SyncClock::fromText(text), std::nullopt) << text;
}

TEST(HybridClock, LocalClocksOnlyMoveForwardEvenWhenTheWallClockStopsOrGoesBack)
{
    qint64 wall = 1'000'000;
    HybridClock clock(kLaptop, [&] { return wall; });
    SyncClock previous = clock.next();
    EXPECT_EQ(previous, SyncClock({1'000'000, 0, kLaptop}));
    // Within one millisecond past the counter's five digits, then a wall
    // clock set back an hour.
    for (int i = 0; i < 100'000; ++i) {
        const SyncClock next = clock.next();
        ASSERT_GT(next, previous);
        ASSERT_TRUE(next.isValid());
        previous = next;
    }
    EXPECT_EQ(previous, SyncClock({1'000'001, 0, kLaptop}));
    wall -= 3'600'000;
    EXPECT_EQ(clock.next(), SyncClock({1'000'001, 1, kLaptop}));
    wall = 2'000'000;
    EXPECT_EQ(clock.next(), SyncClock({2'000'000, 0, kLaptop}));

    // The next run goes on from what was kept.
    HybridClock restarted(kLaptop, [] { return qint64(5); }, clock.last());
    EXPECT_EQ(restarted.next(), SyncClock({2'000'000, 1, kLaptop}));
}

TEST(HybridClock, AReceivedClockAheadMovesTheLocalOneAndAnOlderOneDoesNot)
{
    qint64 wall = 1'000'000;
    HybridClock behind(kLaptop, [&] { return wall; });
    const SyncClock ahead{wall + 86'400'000 * 2, 41, kDesktop};
    behind.observe(ahead);
    const SyncClock first = behind.next();
    EXPECT_GT(first, ahead);
    EXPECT_EQ(first, SyncClock({ahead.ms, 42, kLaptop}));

    behind.observe(SyncClock{wall, 7, kDesktop});
    EXPECT_EQ(behind.next(), SyncClock({ahead.ms, 43, kLaptop}));
    // A clock at the same place from another device.
    behind.observe(SyncClock{ahead.ms, 43, kDesktop});
    EXPECT_GT(behind.next(), SyncClock({ahead.ms, 43, kDesktop}));

    wall = ahead.ms + 10;
    EXPECT_EQ(behind.next(), SyncClock({ahead.ms + 10, 0, kLaptop}));
}

} // namespace
