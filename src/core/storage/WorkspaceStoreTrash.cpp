#include "storage/WorkspaceStorePrivate.h"

#include "storage/SqlTransaction.h"

#include "model/JsonEncoding.h"
#include "model/Uuid.h"

#include <algorithm>
#include <limits>

namespace tarni {

namespace {

constexpr const char *kInsertTrash = "INSERT OR REPLACE INTO trash (id, workspace_id, deleted_at, title, node_count, "
                                     "parent_id, position)\nVALUES (?, ?, ?, ?, ?, ?, ?);";
constexpr const char *kInsertTrashNode = "INSERT INTO trash_nodes (entry_id, ord, payload_json) VALUES (?, ?, ?);";
constexpr const char *kDeleteTrash = "DELETE FROM trash WHERE id = ? AND workspace_id = ?;";
constexpr const char *kDeleteTrashNodes = "DELETE FROM trash_nodes WHERE entry_id = ?;";
constexpr const char *kSelectTrash = "SELECT id, deleted_at, title, node_count, parent_id, position FROM trash\n"
                                     "WHERE workspace_id = ? ORDER BY deleted_at DESC, rowid DESC;";
constexpr const char *kSelectTrashEntry =
    "SELECT workspace_id, deleted_at, title, parent_id, position FROM trash WHERE id = ?;";
constexpr const char *kSelectTrashNodes = "SELECT payload_json FROM trash_nodes WHERE entry_id = ? ORDER BY ord;";
constexpr const char *kSelectStepsReferring =
    "SELECT h.seq, h.undone FROM edit_history h JOIN edit_history_records r ON r.step = h.seq\n"
    "WHERE h.workspace_id = ? AND r.role IN (2, 3) AND r.ref_id = ?;";

} // namespace

StoreResult<void> WorkspaceStore::HistorySql::insertTrash(const TrashEntry &entry)
{
    const std::string id = uuidText(entry.id);
    const std::string workspace = uuidText(entry.workspaceID);
    const std::string deleted = timestampText(entry.deletedAt);
    const QByteArray title = entry.title.toUtf8();
    const std::string parent = entry.parentID ? uuidText(*entry.parentID) : std::string();
    if (auto done = d.execute(kDeleteTrashNodes, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); }); !done)
        return done;
    auto inserted = d.execute(kInsertTrash, [&](sqlite3_stmt *s) {
        Private::bindText(s, 1, id);
        Private::bindText(s, 2, workspace);
        Private::bindText(s, 3, deleted);
        Private::bindText(s, 4, title);
        sqlite3_bind_int64(s, 5, entry.nodes.size());
        entry.parentID ? Private::bindText(s, 6, parent) : void(sqlite3_bind_null(s, 6));
        sqlite3_bind_int64(s, 7, entry.position);
    });
    if (!inserted)
        return inserted;
    std::string json;
    std::int64_t order = 0;
    for (const WorkspaceNode &node : entry.nodes) {
        json.clear();
        if (auto encoded = json::appendCompact(json, node); !encoded)
            return Failure(StoreError{StoreError::Kind::encode, {}, encoded.error().reason});
        auto done = d.execute(kInsertTrashNode, [&](sqlite3_stmt *s) {
            Private::bindText(s, 1, id);
            sqlite3_bind_int64(s, 2, order++);
            Private::bindText(s, 3, json);
        });
        if (!done)
            return done;
    }
    return {};
}

StoreResult<void> WorkspaceStore::HistorySql::deleteTrash(const QUuid &entryID, const std::string &workspace)
{
    const std::string id = uuidText(entryID);
    if (auto done = d.execute(kDeleteTrashNodes, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); }); !done)
        return done;
    return d.execute(kDeleteTrash, [&](sqlite3_stmt *s) {
        Private::bindText(s, 1, id);
        Private::bindText(s, 2, workspace);
    });
}

StoreResult<QList<TrashSummary>> WorkspaceStore::fetchTrash(const QUuid &workspaceID)
{
    std::lock_guard guard(m_lock);
    QList<TrashSummary> entries;
    auto present = d->hasTable("trash");
    if (!present)
        return Failure(present.error());
    if (!*present)
        return entries;
    const std::string workspace = uuidText(workspaceID);
    auto read = d->query(
        kSelectTrash, [&](sqlite3_stmt *s) { Private::bindText(s, 1, workspace); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            auto id = parseUuid(columnView(s, 0));
            auto deleted = parseTimestamp(columnView(s, 1));
            std::optional<QUuid> parent;
            if (sqlite3_column_type(s, 4) != SQLITE_NULL)
                parent = parseUuid(columnView(s, 4));
            if (!id || !deleted || (sqlite3_column_type(s, 4) != SQLITE_NULL && !parent))
                return Failure(decodeError(kSelectTrash, QStringLiteral("a trash row does not decode")));
            entries.push_back(TrashSummary{*id, *deleted, columnText(s, 2), sqlite3_column_int64(s, 3), parent,
                                           sqlite3_column_int64(s, 5)});
            return {};
        });
    if (!read)
        return Failure(read.error());
    return entries;
}

StoreResult<std::optional<TrashEntry>> WorkspaceStore::fetchTrashEntry(const QUuid &entryID)
{
    std::lock_guard guard(m_lock);
    auto present = d->hasTable("trash");
    if (!present)
        return Failure(present.error());
    if (!*present)
        return std::optional<TrashEntry>();
    const std::string id = uuidText(entryID);
    std::optional<TrashEntry> entry;
    auto head = d->query(
        kSelectTrashEntry, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            auto workspace = parseUuid(columnView(s, 0));
            auto deleted = parseTimestamp(columnView(s, 1));
            std::optional<QUuid> parent;
            if (sqlite3_column_type(s, 3) != SQLITE_NULL)
                parent = parseUuid(columnView(s, 3));
            if (!workspace || !deleted || (sqlite3_column_type(s, 3) != SQLITE_NULL && !parent))
                return Failure(decodeError(kSelectTrashEntry, QStringLiteral("a trash row does not decode")));
            entry = TrashEntry{entryID, *workspace, *deleted, columnText(s, 2), parent, sqlite3_column_int64(s, 4), {}};
            return {};
        });
    if (!head)
        return Failure(head.error());
    if (!entry)
        return entry;
    auto read = d->query(
        kSelectTrashNodes, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            auto node = d->decoder.workspaceNode(columnView(s, 0));
            if (!node)
                return Failure(decodeError(kSelectTrashNodes, QStringLiteral("trash entry %1: %2")
                                                                  .arg(uuidQString(entryID), node.error().description())));
            entry->nodes.push_back(std::move(*node));
            return {};
        });
    if (!read)
        return Failure(read.error());
    return entry;
}

StoreResult<std::int64_t> WorkspaceStore::eraseTrash(const QUuid &workspaceID, const QList<QUuid> &entryIDs)
{
    std::lock_guard guard(m_lock);
    const std::string workspace = uuidText(workspaceID);
    SqlTransaction transaction(*d);
    if (auto begun = transaction.begin(); !begun)
        return Failure(begun.error());
    HistorySql sql{*d};
    std::int64_t erased = 0;
    // The undo steps up to the newest one that names an erased entry, and
    // the redo steps from the first such one on, could bring it back.
    std::optional<std::int64_t> undoThrough;
    std::optional<std::int64_t> redoFrom;
    for (const QUuid &entryID : entryIDs) {
        const std::string id = uuidText(entryID);
        auto read = d->query(
            kSelectStepsReferring,
            [&](sqlite3_stmt *s) {
                Private::bindText(s, 1, workspace);
                Private::bindText(s, 2, id);
            },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                const std::int64_t seq = sqlite3_column_int64(s, 0);
                if (sqlite3_column_int(s, 1) == 0)
                    undoThrough = std::max(undoThrough.value_or(seq), seq);
                else
                    redoFrom = std::min(redoFrom.value_or(seq), seq);
                return {};
            });
        if (!read)
            return Failure(read.error());
        if (auto done = sql.deleteTrash(entryID, workspace); !done)
            return Failure(done.error());
        erased += sqlite3_changes(d->db);
    }
    if (undoThrough) {
        if (auto done = sql.deleteSteps(workspace, false, std::numeric_limits<std::int64_t>::min(), *undoThrough); !done)
            return Failure(done.error());
    }
    if (redoFrom) {
        if (auto done = sql.deleteSteps(workspace, true, *redoFrom, std::numeric_limits<std::int64_t>::max()); !done)
            return Failure(done.error());
    }
    if (auto committed = transaction.commit(); !committed)
        return Failure(committed.error());
    return erased;
}

} // namespace tarni
