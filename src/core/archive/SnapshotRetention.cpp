#include "archive/SnapshotRetention.h"

#include <QDateTime>
#include <QSet>
#include <QSettings>
#include <QTimeZone>

#include <algorithm>

namespace tarni {

namespace {

int boundedSetting(const QSettings &settings, const char *key, int fallback, int low, int high)
{
    bool ok = false;
    const int value = settings.value(QLatin1String(key)).toString().toInt(&ok);
    return ok ? std::clamp(value, low, high) : fallback;
}

QDate dayOf(Timestamp time, const QTimeZone &zone)
{
    return QDateTime::fromSecsSinceEpoch(time.time_since_epoch().count(), zone).date();
}

int monthIndex(QDate day)
{
    return day.year() * 12 + day.month() - 1;
}

} // namespace

RetentionPolicy RetentionPolicy::fromSettings(const QSettings &settings)
{
    RetentionPolicy policy;
    policy.keepLast = boundedSetting(settings, kRetentionKeepLastSettingsKey, policy.keepLast, 1, 10000);
    policy.dailyDays = boundedSetting(settings, kRetentionDailyDaysSettingsKey, policy.dailyDays, 0, 3660);
    policy.monthlyMonths = boundedSetting(settings, kRetentionMonthlyMonthsSettingsKey, policy.monthlyMonths, 0, 1200);
    policy.manualLimit = boundedSetting(settings, kManualSnapshotLimitSettingsKey, policy.manualLimit, 1, 10000);
    return policy;
}

QList<QUuid> snapshotsToPrune(QList<RetentionEntry> automatic, Timestamp now, const QTimeZone &zone,
                              const RetentionPolicy &policy)
{
    // Newest first; the order given breaks ties.
    std::stable_sort(automatic.begin(), automatic.end(),
                     [](const RetentionEntry &a, const RetentionEntry &b) { return a.createdAt > b.createdAt; });
    const QDate today = dayOf(now, zone);
    QSet<qint64> keptDays;
    QSet<int> keptMonths;
    QList<QUuid> pruned;
    int newest = 0;
    for (const RetentionEntry &entry : std::as_const(automatic)) {
        // Placed in no day, and not one of the newest either: a future
        // snapshot must not push out today's.
        if (entry.createdAt > now)
            continue;
        const QDate day = dayOf(entry.createdAt, zone);
        bool keep = newest++ < policy.keepLast;
        const qint64 daysAgo = day.daysTo(today);
        if (daysAgo < policy.dailyDays && !keptDays.contains(day.toJulianDay())) {
            keptDays.insert(day.toJulianDay());
            keep = true;
        }
        const int monthsAgo = monthIndex(today) - monthIndex(day);
        if (monthsAgo < policy.monthlyMonths && !keptMonths.contains(monthIndex(day))) {
            keptMonths.insert(monthIndex(day));
            keep = true;
        }
        if (!keep)
            pruned.push_back(entry.id);
    }
    return pruned;
}

QList<QUuid> manualSnapshotsToRemove(QList<RetentionEntry> manual, int limit)
{
    const qsizetype excess = manual.size() - std::max(limit, 1) + 1;
    if (excess <= 0)
        return {};
    std::stable_sort(manual.begin(), manual.end(),
                     [](const RetentionEntry &a, const RetentionEntry &b) { return a.createdAt < b.createdAt; });
    QList<QUuid> oldest;
    for (qsizetype i = 0; i < excess; ++i)
        oldest.push_back(manual[i].id);
    return oldest;
}

} // namespace tarni
