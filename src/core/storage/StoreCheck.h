#pragma once

#include "model/NodePayload.h"
#include "model/UnreachableNodes.h"

#include <QString>
#include <QStringList>

#include <array>
#include <filesystem>
#include <optional>

namespace tarni {

// A read-only health check of a workspace database: SQLite's integrity check,
// then every row of the three tables decoded.
struct StoreCheckReport {
    enum class Failure {
        none,
        cannotOpen, // missing, unreadable, or not openable
        busy,       // locked by another connection past the busy timeout
        corrupt,    // not a database, or the integrity check failed
        other,      // any other SQLite error
    };
    Failure failure = Failure::none;
    QString failureMessage;

    QStringList integrityMessages; // "ok" when healthy
    int workspaceRows = 0;
    int nodeRows = 0;
    int snapshotRows = 0;
    std::array<int, kAllWorkspaceNodeKinds.size()> nodesPerKind{};
    // One line per row that does not decode: table, row id, reason.
    QStringList undecodableRows;
    // Decoded nodes that no tree can show, per workspace that has any.
    QList<std::pair<QUuid, UnreachableNodes>> unreachable;

    bool healthy() const { return failure == Failure::none && undecodableRows.isEmpty() && unreachable.isEmpty(); }
};

StoreCheckReport checkWorkspaceDatabase(const std::filesystem::path &databasePath);

} // namespace tarni
