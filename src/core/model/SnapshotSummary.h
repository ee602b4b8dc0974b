#pragma once

#include "model/Timestamp.h"

#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarni {

// Why a snapshot exists. Snapshots the user saved carry no mark; the others
// are taken by the application and kept only as long as the retention rule
// says.
enum class SnapshotOrigin {
    manual,
    daily,         // the tree changed since the last snapshot of the day before
    beforeImport,  // a large import was about to add to the tree
    beforeRestore, // a workspace snapshot was about to replace the tree
};

std::string_view rawValue(SnapshotOrigin origin);
// Unknown texts are none (a mark written by a newer version).
std::optional<SnapshotOrigin> snapshotOriginFromRawValue(std::string_view text);

// Whether this version can read a snapshot's tree.
enum class SnapshotCondition {
    readable,
    newerVersion, // its schemaVersion is above ours
    damaged,      // it does not decode, and names no newer schema
};

// What a list of snapshots shows, read without decoding the trees.
struct SnapshotSummary {
    QUuid id;
    QString title;
    Timestamp createdAt{};
    SnapshotOrigin origin = SnapshotOrigin::manual;
    // The nodes a restore would bring back (the added workspace root of a
    // whole-workspace snapshot is not one of them).
    qint64 nodeCount = 0;
    bool subtree = false;
    qint64 storedBytes = 0;
    // The list reads as few trees as it can: a snapshot it did not decode
    // is taken as readable unless its text names a newer schema, and one
    // that turns out damaged is refused when it is opened.
    SnapshotCondition condition = SnapshotCondition::readable;
    std::int64_t schemaVersion = 0; // for newerVersion: the schema it names

    bool isAutomatic() const { return origin != SnapshotOrigin::manual; }
    bool operator==(const SnapshotSummary &) const = default;
};

// When a snapshot was taken and why: all that retention needs.
struct SnapshotTime {
    QUuid id;
    Timestamp createdAt{};
    SnapshotOrigin origin = SnapshotOrigin::manual;
    // For automatic snapshots: the tree's own time (its last change) when it
    // was taken, which says exactly whether the tree changed since.
    std::optional<Timestamp> treeUpdatedAt;

    bool operator==(const SnapshotTime &) const = default;
};

} // namespace tarni
