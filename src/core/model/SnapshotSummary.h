#pragma once

#include "model/Timestamp.h"

#include <QString>
#include <QUuid>

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
