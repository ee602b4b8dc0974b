// Automatic snapshots: the retention rule over simulated days, and the daily
// trigger on a real store. Pruning as the application takes snapshots, with
// manual ones kept, is checked in test_SnapshotTriggers.

#include "archive/SnapshotRetention.h"
#include "archive/SnapshotService.h"
#include "storage/WorkspaceStore.h"

#include <QDateTime>
#include <QSettings>
#include <QSet>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

using namespace tarni;

namespace {

Timestamp at(int year, int month, int day, int hour = 12, const QTimeZone &zone = QTimeZone::utc())
{
    const QDateTime time(QDate(year, month, day), QTime(hour, 0), zone);
    return Timestamp(std::chrono::seconds(time.toSecsSinceEpoch()));
}

// One snapshot a day at noon from `first` through `last`; what the rule keeps
// on `last`, as dates.
QList<QDate> keptDays(QDate first, QDate last, const RetentionPolicy &policy)
{
    QList<RetentionEntry> entries;
    QHash<QUuid, QDate> dates;
    for (QDate day = first; day <= last; day = day.addDays(1)) {
        const QUuid id = QUuid::createUuid();
        entries.push_back({id, at(day.year(), day.month(), day.day())});
        dates.insert(id, day);
    }
    const QList<QUuid> pruned = snapshotsToPrune(entries, at(last.year(), last.month(), last.day(), 13),
                                                 QTimeZone::utc(), policy);
    QSet<QUuid> gone(pruned.begin(), pruned.end());
    QList<QDate> kept;
    for (const RetentionEntry &entry : entries) {
        if (!gone.contains(entry.id))
            kept.push_back(dates.value(entry.id));
    }
    return kept;
}

TEST(SnapshotRetention, AYearOfDailySnapshotsKeepsThirtyDaysAndTheNewestOfEachMonth)
{
    const QList<QDate> kept = keptDays(QDate(2026, 1, 1), QDate(2026, 12, 31), RetentionPolicy{});
    QList<QDate> expected;
    for (int month = 1; month <= 11; ++month)
        expected.push_back(QDate(2026, month, 1).addMonths(1).addDays(-1)); // the month's last day
    for (int day = 2; day <= 31; ++day)
        expected.push_back(QDate(2026, 12, day));
    EXPECT_EQ(kept, expected);

    // Boundaries: the 30th day back is the last daily one; a month twelve
    // months back is out, eleven back is in.
    const QList<QDate> longer = keptDays(QDate(2025, 1, 1), QDate(2026, 3, 15), RetentionPolicy{});
    EXPECT_TRUE(longer.contains(QDate(2026, 2, 14)));  // 29 days back
    EXPECT_FALSE(longer.contains(QDate(2026, 2, 13))); // 30 days back
    EXPECT_TRUE(longer.contains(QDate(2026, 1, 31)));  // newest of January
    EXPECT_TRUE(longer.contains(QDate(2025, 4, 30)));  // eleven months back
    EXPECT_FALSE(longer.contains(QDate(2025, 3, 31))); // twelve months back
    // February's newest is among the daily ones already.
    EXPECT_EQ(longer.size(), 30 + 10);
}

TEST(SnapshotRetention, TheNewestOnesStayWhateverTheirDayAndSoDoFutureOnes)
{
    const Timestamp now = at(2026, 6, 10, 18);
    struct Row {
        int count;
        int pruned;
    };
    // Many the same day: only the newest ten (keepLast) stay; the day's own
    // slot is the newest of them.
    for (const Row &row : {Row{9, 0}, Row{10, 0}, Row{11, 1}, Row{25, 15}}) {
        QList<RetentionEntry> entries;
        for (int i = 0; i < row.count; ++i)
            entries.push_back({QUuid::createUuid(), now - std::chrono::minutes(i)});
        const QList<QUuid> pruned = snapshotsToPrune(entries, now, QTimeZone::utc(), RetentionPolicy{});
        EXPECT_EQ(pruned.size(), row.pruned) << row.count;
        // The oldest go first.
        for (const QUuid &id : pruned) {
            const auto it = std::find_if(entries.begin(), entries.end(), [&](const auto &e) { return e.id == id; });
            EXPECT_GE(it - entries.begin(), 10);
        }
    }

    // A clock set back leaves snapshots "in the future": they cannot be
    // placed in a day and stay.
    const RetentionPolicy one{1, 0, 0};
    const QUuid future = QUuid::createUuid();
    const QUuid newest = QUuid::createUuid();
    const QUuid old = QUuid::createUuid();
    EXPECT_EQ(snapshotsToPrune({{future, now + std::chrono::hours(48)}, {newest, now}, {old, now - std::chrono::hours(1)}},
                               now, QTimeZone::utc(), one),
              QList<QUuid>{old});
}

TEST(SnapshotRetention, DaysAndMonthsAreThoseOfTheUsersCalendar)
{
    // 20:00 UTC on January 31 is already February 1 in UTC+9.
    const QTimeZone tokyo(9 * 3600);
    const QUuid lateJanuaryUtc = QUuid::createUuid();
    const QUuid earlier = QUuid::createUuid();
    const RetentionPolicy monthsOnly{1, 0, 12};
    const QList<RetentionEntry> entries{{lateJanuaryUtc, at(2026, 1, 31, 20)}, {earlier, at(2026, 1, 31, 10)}};
    const Timestamp now = at(2026, 3, 1);
    // In UTC both are January: only the newest stays. In UTC+9 they are
    // in different months, and both stay.
    EXPECT_EQ(snapshotsToPrune(entries, now, QTimeZone::utc(), monthsOnly), QList<QUuid>{earlier});
    EXPECT_TRUE(snapshotsToPrune(entries, now, tokyo, monthsOnly).isEmpty());
}

TEST(SnapshotRetention, SettingsAreReadWithinSaneBounds)
{
    QTemporaryDir dir;
    QSettings settings(dir.filePath(QStringLiteral("s.ini")), QSettings::IniFormat);
    EXPECT_EQ(RetentionPolicy::fromSettings(settings), RetentionPolicy{});
    settings.setValue(QLatin1String(kRetentionKeepLastSettingsKey), 0);
    settings.setValue(QLatin1String(kRetentionDailyDaysSettingsKey), QStringLiteral("seven"));
    settings.setValue(QLatin1String(kRetentionMonthlyMonthsSettingsKey), 24);
    const RetentionPolicy read = RetentionPolicy::fromSettings(settings);
    EXPECT_EQ(read.keepLast, 1); // the snapshot just taken always survives
    EXPECT_EQ(read.dailyDays, 30);
    EXPECT_EQ(read.monthlyMonths, 24);
}

// The service on a real store, with a clock that the test moves.
class AutomaticSnapshotTest : public ::testing::Test {
protected:
    AutomaticSnapshotTest()
        : store(std::filesystem::path(dir.path().toStdString()) / "workspace.sqlite")
        , tree(store)
        , archive([this] { return clock; })
        , snapshots(store, tree, archive)
    {
        tree.setClock([this] { return clock; });
        snapshots.setTimeZone(QTimeZone::utc());
    }

    bool due() { return snapshots.dailySnapshotDue(clock).value(); }

    Timestamp clock = at(2026, 1, 1, 9);
    QTemporaryDir dir;
    WorkspaceStore store;
    TreeViewModel tree;
    TreeArchiveService archive;
    SnapshotService snapshots;
};

TEST_F(AutomaticSnapshotTest, TheDailySnapshotIsDueOnceADayAndOnlyAfterAChange)
{
    ASSERT_TRUE(tree.load());
    EXPECT_FALSE(due()); // nothing to keep yet
    const QUuid group = tree.addGroup(QStringLiteral("A"))->id();
    EXPECT_TRUE(due()); // never saved
    ASSERT_TRUE(snapshots.saveAutomatic(SnapshotOrigin::daily, QStringLiteral("Daily")));
    EXPECT_FALSE(due());

    // The same day: already taken, even after a change.
    clock += std::chrono::hours(2);
    ASSERT_TRUE(tree.rename(group, QStringLiteral("B")));
    EXPECT_FALSE(due());
    // The next day the change is due; a day without a change is not.
    clock += std::chrono::hours(24);
    EXPECT_TRUE(due());
    ASSERT_TRUE(snapshots.saveAutomatic(SnapshotOrigin::daily, QStringLiteral("Daily")));
    clock += std::chrono::hours(24);
    EXPECT_FALSE(due());

    // A manual snapshot of the whole tree after the change covers it; one of
    // a subtree does not.
    ASSERT_TRUE(tree.rename(group, QStringLiteral("C")));
    clock += std::chrono::seconds(1);
    ASSERT_TRUE(snapshots.saveSubtree(group));
    EXPECT_TRUE(due());
    ASSERT_TRUE(snapshots.saveWorkspace(QStringLiteral("Mine"), std::nullopt));
    EXPECT_FALSE(due());
}

} // namespace
