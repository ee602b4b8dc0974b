#pragma once

#include "model/Timestamp.h"
#include "model/WorkspaceNode.h"
#include "sync/HybridClock.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <cstdint>
#include <filesystem>
#include <optional>

namespace tarni::sync {

// This data root's part in a shared folder, as the database keeps it.
struct SyncSetup {
    QUuid device;
    QString deviceName;
    std::filesystem::path folder;
    bool enabled = false;
};

// Another machine whose change files this one has seen.
struct SyncPeer {
    QUuid device;
    QString name;
    std::int64_t appliedSeq = 0; // the last of its files applied here
    std::optional<Timestamp> lastAppliedAt;
    // Its newest clock is more than a day ahead of this machine's wall clock.
    bool clockAhead = false;
    // Its next file could not be used: which, and why. It is tried again once
    // it changes.
    std::int64_t failedSeq = 0;
    QString failedReason;
};

struct SyncStatus {
    std::optional<SyncSetup> setup;
    std::int64_t lastSentSeq = 0;
    std::optional<Timestamp> lastSentAt;
    std::optional<Timestamp> lastReceivedAt;
    std::int64_t pendingNodes = 0;
    std::int64_t conflicts = 0;
    QList<SyncPeer> peers;
};

// A version kept because another won, or a received record that was not
// applied.
struct SyncConflict {
    enum class Reason { lost, refused, unsent };
    std::int64_t id = 0;
    Reason reason = Reason::lost;
    QUuid nodeID;
    std::optional<WorkspaceNode> node; // the version kept (none when refused unread)
    QString lostDevice;                // whose version it is (a name)
    QString keptDevice;                // whose version won (a name), if any
    Timestamp detectedAt{};
    QString detail;
};

// What one run of sending and applying did.
struct SyncRun {
    std::int64_t filesSent = 0;
    std::int64_t changesSent = 0;
    std::int64_t filesApplied = 0;
    std::int64_t changesApplied = 0;
    std::int64_t newConflicts = 0;
    // Snapshot files started from (a machine that joined, or one whose next
    // needed change files were gone).
    std::int64_t snapshotsLoaded = 0;
    // Files that could not be used, one line each; they are tried again.
    QStringList problems;
    // Whether any node row changed here.
    bool treeChanged = false;
};

} // namespace tarni::sync
