#include "storage/StoreCheck.h"

#include "model/JsonDecoding.h"
#include "storage/DatabaseFile.h"
#include "storage/SnapshotContentTables.h"

#include <sqlite3.h>

#include <QHash>

#include <functional>
#include <optional>

namespace tarni {

namespace {

constexpr int kCheckBusyTimeoutMs = 3000;

StoreCheckReport::Failure classify(int code)
{
    switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return StoreCheckReport::Failure::busy;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return StoreCheckReport::Failure::corrupt;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return StoreCheckReport::Failure::cannotOpen;
    default:
        return StoreCheckReport::Failure::other;
    }
}

// Runs `sql` and hands each row to onRow; false (with the report's failure
// set) when SQLite fails.
bool eachRow(sqlite3 *db, const char *sql, StoreCheckReport &report, const std::function<void(sqlite3_stmt *)> &onRow)
{
    sqlite3_stmt *statement = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
            onRow(statement);
    }
    sqlite3_finalize(statement);
    if (rc != SQLITE_OK && rc != SQLITE_DONE) {
        report.failure = classify(sqlite3_extended_errcode(db));
        report.failureMessage = QString::fromUtf8(sqlite3_errmsg(db));
        return false;
    }
    return true;
}

QString columnText(sqlite3_stmt *statement, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(statement, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(statement, column)) : QStringLiteral("(null)");
}

} // namespace

StoreCheckReport checkWorkspaceDatabase(const std::filesystem::path &databasePath)
{
    StoreCheckReport report;
    auto opened = DatabaseFile::openForReading(databasePath);
    if (!opened.ok()) {
        report.failure = classify(opened.code);
        report.failureMessage = opened.message;
        return report;
    }
    sqlite3 *db = opened.db;
    sqlite3_busy_timeout(db, kCheckBusyTimeoutMs);

    auto finish = [&] {
        sqlite3_close_v2(db);
        return report;
    };

    if (!eachRow(db, "PRAGMA integrity_check;", report,
                 [&](sqlite3_stmt *s) { report.integrityMessages << columnText(s, 0); }))
        return finish();
    if (report.integrityMessages != QStringList{QStringLiteral("ok")}) {
        report.failure = StoreCheckReport::Failure::corrupt;
        report.failureMessage = QStringLiteral("integrity check failed: ") + report.integrityMessages.join(QStringLiteral("; "));
        return finish();
    }

    json::BulkDecoder decoder;
    auto payload = [](sqlite3_stmt *s) {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, 1));
        return std::string_view(text ? text : "", text ? size_t(sqlite3_column_bytes(s, 1)) : 0);
    };
    auto problem = [&](const char *table, sqlite3_stmt *s, const QString &reason) {
        report.undecodableRows << QStringLiteral("%1 row %2: %3").arg(QLatin1String(table), columnText(s, 0), reason);
    };

    if (!eachRow(db, "SELECT id, payload_json FROM workspaces;", report, [&](sqlite3_stmt *s) {
            ++report.workspaceRows;
            if (auto decoded = decoder.workspace(payload(s)); !decoded)
                problem("workspaces", s, decoded.error().description());
        }))
        return finish();
    // In load order, so that what is reported matches what the tree shows.
    QHash<QUuid, NodeList> nodesByWorkspace;
    QList<QUuid> workspaceOrder;
    if (!eachRow(db,
                 "SELECT id, payload_json FROM nodes\n"
                 "ORDER BY workspace_id, parent_id IS NOT NULL, parent_id, sort_order, created_at;",
                 report, [&](sqlite3_stmt *s) {
            ++report.nodeRows;
            auto decoded = decoder.workspaceNode(payload(s));
            if (!decoded) {
                problem("nodes", s, decoded.error().description());
                return;
            }
            ++report.nodesPerKind[std::size_t(decoded->kind())];
            auto &list = nodesByWorkspace[decoded->workspaceID()];
            if (list.isEmpty())
                workspaceOrder << decoded->workspaceID();
            list.append(std::move(decoded).value());
        }))
        return finish();
    for (const QUuid &workspace : workspaceOrder) {
        if (auto found = findUnreachableNodes(nodesByWorkspace.value(workspace)); !found.isEmpty())
            report.unreachable.append({workspace, std::move(found)});
    }
    // Snapshots stored by content are read from the records they name.
    std::optional<snapshotcontent::ContentTables> content;
    std::optional<StoreError> contentFailure;
    if (!eachRow(db, "SELECT id, payload_json FROM snapshots;", report, [&](sqlite3_stmt *s) {
            ++report.snapshotRows;
            if (snapshotcontent::isStoredByContent(payload(s))) {
                if (!content)
                    content.emplace(db);
                const auto *id = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
                auto read = content->read(id ? std::string(id, std::size_t(sqlite3_column_bytes(s, 0))) : std::string());
                if (!read && read.error().kind == StoreError::Kind::decode)
                    problem("snapshots", s, read.error().message);
                else if (!read && !contentFailure)
                    contentFailure = read.error();
            } else if (auto decoded = decoder.workspaceSnapshot(payload(s)); !decoded) {
                problem("snapshots", s, decoded.error().description());
            }
        }))
        return finish();
    if (contentFailure) {
        report.failure = classify(contentFailure->sqliteCode);
        report.failureMessage = contentFailure->message;
    }
    content.reset();
    return finish();
}

} // namespace tarni
