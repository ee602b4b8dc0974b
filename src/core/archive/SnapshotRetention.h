#pragma once

#include "model/Timestamp.h"

#include <QList>
#include <QUuid>

class QSettings;
class QTimeZone;

namespace tarni {

inline constexpr const char *kRetentionKeepLastSettingsKey = "TarniBar.snapshotRetention.keepLast";
inline constexpr const char *kRetentionDailyDaysSettingsKey = "TarniBar.snapshotRetention.dailyDays";
inline constexpr const char *kRetentionMonthlyMonthsSettingsKey = "TarniBar.snapshotRetention.monthlyMonths";
inline constexpr const char *kManualSnapshotLimitSettingsKey = "TarniBar.snapshotRetention.manualLimit";

// How many snapshots stay. Automatic ones are pruned by the first three
// numbers after each is taken. Manual ones are never pruned behind the
// user's back: once `manualLimit` of them are kept, saving another removes
// the oldest only when whoever asked for it agreed to that (see
// manualSnapshotsToRemove).
struct RetentionPolicy {
    int keepLast = 10;      // the newest ones, whatever their day
    int dailyDays = 30;     // the newest of each calendar day, today and the days before
    int monthlyMonths = 12; // the newest of each calendar month, this month and the months before
    int manualLimit = 100;  // manual snapshots kept at most

    // The settings' numbers, each within its sane range; keepLast is at
    // least 1 so that the snapshot just taken always survives its own pass.
    static RetentionPolicy fromSettings(const QSettings &settings);
    bool operator==(const RetentionPolicy &) const = default;
};

struct RetentionEntry {
    QUuid id;
    Timestamp createdAt{};
};

// The automatic snapshots that the policy no longer keeps, given every
// automatic snapshot of a workspace. Days and months are those of `zone`
// (the user's calendar). A snapshot dated after `now` (a clock set back) is
// kept: it cannot be placed.
QList<QUuid> snapshotsToPrune(QList<RetentionEntry> automatic, Timestamp now, const QTimeZone &zone,
                              const RetentionPolicy &policy);

// The manual snapshots that must go, oldest first, so that one more keeps
// their number at `limit`: none while there are fewer than `limit`. More
// than one when the limit was lowered below their number. `manual` is given
// oldest first; the order given breaks ties.
QList<QUuid> manualSnapshotsToRemove(QList<RetentionEntry> manual, int limit);

} // namespace tarni
