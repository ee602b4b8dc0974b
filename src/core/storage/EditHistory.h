#pragma once

#include "model/NodeList.h"
#include "model/Timestamp.h"

#include <QList>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>

namespace tarni {

// A deleted subtree kept until it is restored or erased: its records exactly
// as they were (top node first), where it was, and when it went.
struct TrashEntry {
    QUuid id;
    QUuid workspaceID;
    Timestamp deletedAt{};
    QString title;
    std::optional<QUuid> parentID;
    std::int64_t position = 0; // index among its siblings before the delete
    NodeList nodes;

    bool operator==(const TrashEntry &) const = default;
};

// A trash entry without its records, for lists.
struct TrashSummary {
    QUuid id;
    Timestamp deletedAt{};
    QString title;
    std::int64_t nodeCount = 0;
    std::optional<QUuid> parentID;
    std::int64_t position = 0;

    bool operator==(const TrashSummary &) const = default;
};

// One undoable step: the records it changed as they were before and after
// (matched by identifier; a record only in `before` was removed, one only in
// `after` was added) and the trash entries it made and took back.
struct HistoryStep {
    std::int64_t sequence = 0;
    QString action;  // an English text key ("Delete")
    QString subject; // usually a node's title; may be empty
    NodeList before;
    NodeList after;
    QList<TrashEntry> trashAdded;
    QList<TrashEntry> trashRemoved;
    // A step is stored with digests of its `after` records rather than the
    // records, which are the live rows while the step is done; reading it
    // takes them from the live rows. `afterFromLiveRows` says the records
    // came that way, and `afterChanged` that a live row is gone or no longer
    // matches its digest (beyond its stamps), so the step no longer applies.
    bool afterFromLiveRows = false;
    bool afterChanged = false;

    std::int64_t recordCount() const;
};

// A stored step without its records.
struct HistoryEntry {
    std::int64_t sequence = 0;
    QString action;
    QString subject;
    bool undone = false;
    // The records stored with the step, which undoing or redoing it reads.
    std::int64_t recordCount = 0;

    bool operator==(const HistoryEntry &) const = default;
};

// What a node write also does to the history and the trash, in the same
// transaction.
struct HistoryWrite {
    enum class Kind {
        none,   // no history change
        record, // a new step: drops the redo branch, then the oldest steps over the bounds
        amend,  // replaces the records of step `sequence` (a command still running)
        undo,   // marks step `sequence` undone; with `step`, also stores its `after` records in full
        redo,   // marks step `sequence` done again
    };
    Kind kind = Kind::none;
    const HistoryStep *step = nullptr; // record and amend
    std::int64_t sequence = 0;
    QList<TrashEntry> trashInsert;
    QList<QUuid> trashDelete;
};

// The bounds of the stored history: the newest steps are kept.
inline constexpr std::int64_t kMaxHistorySteps = 200;
// Records over all steps, so that a few huge steps (imports, restores of a
// large tree) cannot grow the file without bound; the newest step is always
// kept whatever its size.
inline constexpr std::int64_t kMaxHistoryRecords = 400'000;

// The trash's list as one compact JSON array of {"id", "title", "deletedAt",
// "nodeCount", "parentID", "position"}: the form the command-line tool prints
// and the application's bus interface answers.
QString trashSummariesJson(const QList<TrashSummary> &entries);

} // namespace tarni
