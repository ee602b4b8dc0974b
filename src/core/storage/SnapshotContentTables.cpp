#include "storage/SnapshotContentTables.h"

#include "model/JsonEncoding.h"
#include "model/Uuid.h"

#include <QLoggingCategory>

#include <sqlite3.h>

#include <algorithm>

Q_DECLARE_LOGGING_CATEGORY(lcStore)

namespace tarni::snapshotcontent {

// AUTOINCREMENT: a record id is never used again, so an entry list naming
// a record that went missing cannot read another one in its place.
const char *const kCreateContentTables = "CREATE TABLE IF NOT EXISTS snapshot_records (\n"
                                         "    id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
                                         "    hash BLOB NOT NULL UNIQUE,\n"
                                         "    body BLOB NOT NULL\n"
                                         ");\n"
                                         "CREATE TABLE IF NOT EXISTS snapshot_trees (\n"
                                         "    snapshot_id TEXT PRIMARY KEY,\n"
                                         "    head_json TEXT NOT NULL,\n"
                                         "    shape BLOB NOT NULL\n"
                                         ");\n"
                                         "CREATE TABLE IF NOT EXISTS snapshot_sweeps (\n"
                                         "    id INTEGER PRIMARY KEY CHECK (id = 1),\n"
                                         "    count INTEGER NOT NULL\n"
                                         ");";
const char *const kDeleteAllTrees = "DELETE FROM snapshot_trees;";
const char *const kDeleteAllRecords = "DELETE FROM snapshot_records;";

namespace {

constexpr const char *kBeginRead = "BEGIN;";
constexpr const char *kEndRead = "COMMIT;";
constexpr const char *kSelectSweeps = "SELECT count FROM snapshot_sweeps WHERE id = 1;";
constexpr const char *kCountSweep = "INSERT INTO snapshot_sweeps (id, count) VALUES (1, 1)\n"
                                    "ON CONFLICT (id) DO UPDATE SET count = count + 1;";
constexpr const char *kSelectRecordID = "SELECT id FROM snapshot_records WHERE hash = ?;";
constexpr const char *kInsertRecord = "INSERT OR IGNORE INTO snapshot_records (hash, body) VALUES (?, ?);";
constexpr const char *kSelectRecordBody = "SELECT body FROM snapshot_records WHERE id = ?;";
constexpr const char *kSelectRecordIDs = "SELECT id FROM snapshot_records ORDER BY id;";
constexpr const char *kDeleteRecord = "DELETE FROM snapshot_records WHERE id = ?;";
constexpr const char *kSelectTreeExists = "SELECT 1 FROM snapshot_trees WHERE snapshot_id = ?;";
constexpr const char *kUpsertTree = "INSERT OR REPLACE INTO snapshot_trees (snapshot_id, head_json, shape)\n"
                                    "VALUES (?, ?, ?);";
constexpr const char *kSelectTree = "SELECT head_json, shape FROM snapshot_trees WHERE snapshot_id = ?;";
constexpr const char *kUpdateTreeHead = "UPDATE snapshot_trees SET head_json = ? WHERE snapshot_id = ?;";
constexpr const char *kDeleteTree = "DELETE FROM snapshot_trees WHERE snapshot_id = ?;";
// Shapes of snapshots another program deleted without them are dropped.
constexpr const char *kDeleteOrphanTrees =
    "DELETE FROM snapshot_trees WHERE snapshot_id NOT IN (SELECT id FROM snapshots);";
constexpr const char *kSelectShapes = "SELECT snapshot_id, shape FROM snapshot_trees;";

std::string_view blobView(sqlite3_stmt *s, int column)
{
    const auto *data = static_cast<const char *>(sqlite3_column_blob(s, column));
    return data ? std::string_view(data, std::size_t(sqlite3_column_bytes(s, column))) : std::string_view();
}

std::string_view textView(sqlite3_stmt *s, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, column));
    return text ? std::string_view(text, std::size_t(sqlite3_column_bytes(s, column))) : std::string_view();
}

void bindBlob(sqlite3_stmt *s, int index, const char *data, std::size_t size)
{
    sqlite3_bind_blob64(s, index, data, sqlite3_uint64(size), SQLITE_STATIC);
}

void bindText(sqlite3_stmt *s, int index, std::string_view text)
{
    sqlite3_bind_text64(s, index, text.data(), sqlite3_uint64(text.size()), SQLITE_STATIC, SQLITE_UTF8);
}

StoreError damaged(const char *sql, const QString &why)
{
    return StoreError{StoreError::Kind::decode, QString::fromUtf8(sql), QStringLiteral("the snapshot is damaged: ") + why};
}

} // namespace

bool isStoredByContent(std::string_view payload)
{
    return payload == kPayloadMarker;
}

ContentTables::ContentTables(sqlite3 *db)
    : m_db(db)
{
}

ContentTables::~ContentTables()
{
    for (auto &[sql, compiled] : m_statements)
        sqlite3_finalize(compiled);
}

StoreError ContentTables::sqliteError(StoreError::Kind kind, const char *sql) const
{
    const char *message = sqlite3_errmsg(m_db);
    StoreError error{kind, QString::fromUtf8(sql),
                     message && *message ? QString::fromUtf8(message) : QStringLiteral("unknown"),
                     sqlite3_extended_errcode(m_db)};
    qCWarning(lcStore).noquote() << "SQLite error" << error.sqliteCode << error.message << "in" << error.sql.simplified();
    return error;
}

Result<sqlite3_stmt *, StoreError> ContentTables::statement(const char *sql)
{
    auto found = m_statements.find(sql);
    if (found != m_statements.end()) {
        sqlite3_reset(found->second);
        sqlite3_clear_bindings(found->second);
        return found->second;
    }
    sqlite3_stmt *compiled = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &compiled, nullptr) != SQLITE_OK) {
        sqlite3_finalize(compiled);
        return Failure(sqliteError(StoreError::Kind::prepare, sql));
    }
    m_statements.emplace(sql, compiled);
    return compiled;
}

namespace {

// Steps a compiled statement: SQLITE_ROW or SQLITE_DONE, anything else an error.
enum class Step { row, done, failed };

Step step(sqlite3_stmt *s)
{
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW)
        return Step::row;
    return rc == SQLITE_DONE ? Step::done : Step::failed;
}

} // namespace

StoreResult<std::int64_t> ContentTables::sweepsDone()
{
    auto s = statement(kSelectSweeps);
    if (!s)
        return Failure(s.error());
    switch (step(*s)) {
    case Step::row: {
        const std::int64_t count = sqlite3_column_int64(*s, 0);
        sqlite3_reset(*s);
        return count;
    }
    case Step::done:
        sqlite3_reset(*s);
        return std::int64_t(0);
    case Step::failed:
        break;
    }
    StoreError error = sqliteError(StoreError::Kind::step, kSelectSweeps);
    sqlite3_reset(*s);
    return Failure(error);
}

StoreResult<void> ContentTables::lookUp(PreparedSnapshot &prepared, bool all)
{
    auto s = statement(kSelectRecordID);
    if (!s)
        return Failure(s.error());
    for (std::size_t i = 0; i < prepared.hashes.size(); ++i) {
        if (!all && prepared.rowids[i] != 0)
            continue;
        sqlite3_reset(*s);
        bindBlob(*s, 1, prepared.hashes[i].constData(), std::size_t(prepared.hashes[i].size()));
        const Step result = step(*s);
        if (result == Step::failed) {
            StoreError error = sqliteError(StoreError::Kind::step, kSelectRecordID);
            sqlite3_reset(*s);
            return Failure(error);
        }
        prepared.rowids[i] = result == Step::row ? sqlite3_column_int64(*s, 0) : 0;
    }
    sqlite3_reset(*s);
    // Only the records still missing are compressed, each once; the plain
    // texts go as soon as they are not needed (a record found now and swept
    // before the write is encoded again from its entry).
    for (std::size_t i = 0; i < prepared.hashes.size(); ++i) {
        if (prepared.rowids[i] == 0 && prepared.packed[i].empty()) {
            if (prepared.plain[i].empty()) {
                auto plain = plainRecord(*prepared.flat.entries[prepared.firstEntry[i]]);
                if (!plain)
                    return Failure(StoreError{StoreError::Kind::encode, {}, plain.error().reason});
                prepared.plain[i] = std::move(*plain);
            }
            prepared.packed[i] = m_packer.pack(prepared.plain[i]);
        }
        std::string().swap(prepared.plain[i]);
    }
    return {};
}

StoreResult<PreparedSnapshot> ContentTables::prepare(const WorkspaceSnapshot &snapshot, const std::string &headJson)
{
    PreparedSnapshot prepared;
    prepared.snapshotID = uuidText(snapshot.id);
    prepared.headJson = headJson;
    prepared.rootID = snapshot.rootNode.id;
    prepared.flat = flatten(snapshot.rootNode);
    const std::size_t count = prepared.flat.entries.size();
    prepared.recordOfEntry.reserve(count);
    QHash<QByteArray, std::size_t> distinct;
    distinct.reserve(qsizetype(count));
    for (const TreeExportNode *entry : prepared.flat.entries) {
        auto plain = plainRecord(*entry);
        if (!plain)
            return Failure(StoreError{StoreError::Kind::encode, {}, plain.error().reason});
        QByteArray hash = recordHash(*plain);
        std::size_t index = prepared.hashes.size();
        if (auto known = distinct.constFind(hash); known != distinct.constEnd()) {
            index = *known;
        } else {
            distinct.insert(hash, index);
            prepared.firstEntry.push_back(prepared.recordOfEntry.size());
            prepared.hashes.push_back(std::move(hash));
            prepared.plain.push_back(std::move(*plain));
        }
        prepared.recordOfEntry.push_back(index);
    }
    prepared.rowids.assign(prepared.hashes.size(), 0);
    prepared.packed.resize(prepared.hashes.size());

    // One read transaction: the records found and the sweep count agree.
    auto begin = statement(kBeginRead);
    if (!begin)
        return Failure(begin.error());
    if (step(*begin) == Step::failed)
        return Failure(sqliteError(StoreError::Kind::step, kBeginRead));
    auto finish = [&]() -> StoreResult<void> {
        auto end = statement(kEndRead);
        if (!end)
            return Failure(end.error());
        if (step(*end) == Step::failed)
            return Failure(sqliteError(StoreError::Kind::step, kEndRead));
        return {};
    };
    auto sweeps = sweepsDone();
    auto found = sweeps ? lookUp(prepared, true) : StoreResult<void>(Failure(sweeps.error()));
    auto ended = finish();
    if (!found)
        return Failure(found.error());
    if (!ended)
        return Failure(ended.error());
    prepared.sweepsSeen = *sweeps;
    return prepared;
}

StoreResult<qint64> ContentTables::write(PreparedSnapshot &prepared)
{
    // Records found before the transaction are still there unless a sweep
    // ran since; then every one is looked up again.
    auto sweeps = sweepsDone();
    if (!sweeps)
        return Failure(sweeps.error());
    if (*sweeps != prepared.sweepsSeen) {
        if (auto found = lookUp(prepared, true); !found)
            return Failure(found.error());
        prepared.sweepsSeen = *sweeps;
    }
    qint64 added = 0;
    auto insert = statement(kInsertRecord);
    if (!insert)
        return Failure(insert.error());
    for (std::size_t i = 0; i < prepared.hashes.size(); ++i) {
        if (prepared.rowids[i] != 0)
            continue;
        sqlite3_reset(*insert);
        bindBlob(*insert, 1, prepared.hashes[i].constData(), std::size_t(prepared.hashes[i].size()));
        bindBlob(*insert, 2, prepared.packed[i].data(), prepared.packed[i].size());
        if (step(*insert) == Step::failed) {
            StoreError error = sqliteError(StoreError::Kind::step, kInsertRecord);
            sqlite3_reset(*insert);
            return Failure(error);
        }
        if (sqlite3_changes(m_db) == 1) {
            prepared.rowids[i] = sqlite3_last_insert_rowid(m_db);
            added += qint64(prepared.packed[i].size() + prepared.hashes[i].size());
        }
    }
    sqlite3_reset(*insert);
    // Another connection stored some of them meanwhile.
    if (std::count(prepared.rowids.begin(), prepared.rowids.end(), 0) != 0) {
        if (auto found = lookUp(prepared, false); !found)
            return Failure(found.error());
        if (std::count(prepared.rowids.begin(), prepared.rowids.end(), 0) != 0)
            return Failure(StoreError{StoreError::Kind::step, QString::fromUtf8(kInsertRecord),
                                      QStringLiteral("a snapshot record was neither stored nor found")});
    }

    TreeShape shape;
    const std::size_t count = prepared.flat.entries.size();
    shape.records.reserve(count);
    shape.ids.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        shape.records.push_back(prepared.rowids[prepared.recordOfEntry[i]]);
        shape.ids.push_back(prepared.flat.entries[i]->id);
    }
    shape.depths = prepared.flat.depths;
    const std::string encoded = encodeShape(shape, prepared.rootID);

    auto upsert = statement(kUpsertTree);
    if (!upsert)
        return Failure(upsert.error());
    bindText(*upsert, 1, prepared.snapshotID);
    bindText(*upsert, 2, prepared.headJson);
    bindBlob(*upsert, 3, encoded.data(), encoded.size());
    const Step written = step(*upsert);
    if (written == Step::failed) {
        StoreError error = sqliteError(StoreError::Kind::step, kUpsertTree);
        sqlite3_reset(*upsert);
        return Failure(error);
    }
    sqlite3_reset(*upsert);
    return added + qint64(encoded.size() + prepared.headJson.size());
}

StoreResult<WorkspaceSnapshot> ContentTables::read(const std::string &snapshotID)
{
    auto s = statement(kSelectTree);
    if (!s)
        return Failure(s.error());
    bindText(*s, 1, snapshotID);
    const Step found = step(*s);
    if (found == Step::failed) {
        StoreError error = sqliteError(StoreError::Kind::step, kSelectTree);
        sqlite3_reset(*s);
        return Failure(error);
    }
    if (found == Step::done) {
        sqlite3_reset(*s);
        return Failure(damaged(kSelectTree, QStringLiteral("its list of entries is missing")));
    }
    auto head = m_decoder.workspaceSnapshot(textView(*s, 0));
    if (!head) {
        sqlite3_reset(*s);
        return Failure(damaged(kSelectTree, QStringLiteral("its head: ") + head.error().description()));
    }
    auto shape = decodeShape(blobView(*s, 1), head->rootNode.id);
    sqlite3_reset(*s);
    if (!shape)
        return Failure(damaged(kSelectTree, shape.error()));
    if (!head->rootNode.children.empty())
        return Failure(damaged(kSelectTree, QStringLiteral("its head has entries of its own")));

    std::vector<std::int64_t> wanted = shape->records;
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    std::vector<TreeExportNode> records;
    records.reserve(wanted.size());
    auto body = statement(kSelectRecordBody);
    if (!body)
        return Failure(body.error());
    for (std::int64_t rowid : wanted) {
        sqlite3_reset(*body);
        sqlite3_bind_int64(*body, 1, rowid);
        const Step got = step(*body);
        if (got == Step::failed) {
            StoreError error = sqliteError(StoreError::Kind::step, kSelectRecordBody);
            sqlite3_reset(*body);
            return Failure(error);
        }
        if (got == Step::done) {
            sqlite3_reset(*body);
            return Failure(damaged(kSelectRecordBody, QStringLiteral("record %1 is missing").arg(rowid)));
        }
        auto plain = m_packer.unpack(blobView(*body, 0));
        if (!plain) {
            sqlite3_reset(*body);
            return Failure(damaged(kSelectRecordBody, QStringLiteral("record %1: %2").arg(rowid).arg(plain.error())));
        }
        auto record = decodeRecord(*plain, m_decoder);
        if (!record) {
            sqlite3_reset(*body);
            return Failure(damaged(kSelectRecordBody, QStringLiteral("record %1: %2").arg(rowid).arg(record.error())));
        }
        records.push_back(std::move(*record));
    }
    sqlite3_reset(*body);

    WorkspaceSnapshot snapshot = std::move(*head);
    auto assembled = assemble(snapshot.rootNode, *shape, [&](std::int64_t rowid) -> const TreeExportNode * {
        const auto at = std::lower_bound(wanted.begin(), wanted.end(), rowid);
        return at != wanted.end() && *at == rowid ? &records[std::size_t(at - wanted.begin())] : nullptr;
    });
    if (!assembled)
        return Failure(damaged(kSelectTree, assembled.error()));
    return snapshot;
}

StoreResult<std::string> ContentTables::rename(const std::string &snapshotID, const QString &title)
{
    auto s = statement(kSelectTree);
    if (!s)
        return Failure(s.error());
    bindText(*s, 1, snapshotID);
    const Step found = step(*s);
    if (found != Step::row) {
        StoreError error = found == Step::failed
                               ? sqliteError(StoreError::Kind::step, kSelectTree)
                               : damaged(kSelectTree, QStringLiteral("its list of entries is missing"));
        sqlite3_reset(*s);
        return Failure(error);
    }
    auto head = m_decoder.workspaceSnapshot(textView(*s, 0));
    sqlite3_reset(*s);
    if (!head)
        return Failure(damaged(kSelectTree, QStringLiteral("its head: ") + head.error().description()));
    head->title = title;
    auto encoded = json::encode(*head);
    if (!encoded)
        return Failure(StoreError{StoreError::Kind::encode, {}, encoded.error().reason});
    auto update = statement(kUpdateTreeHead);
    if (!update)
        return Failure(update.error());
    bindText(*update, 1, *encoded);
    bindText(*update, 2, snapshotID);
    if (step(*update) == Step::failed) {
        StoreError error = sqliteError(StoreError::Kind::step, kUpdateTreeHead);
        sqlite3_reset(*update);
        return Failure(error);
    }
    sqlite3_reset(*update);
    return std::move(*encoded);
}

StoreResult<void> ContentTables::forget(const std::string &snapshotID)
{
    auto s = statement(kDeleteTree);
    if (!s)
        return Failure(s.error());
    bindText(*s, 1, snapshotID);
    const Step done = step(*s);
    StoreResult<void> result;
    if (done == Step::failed)
        result = Failure(sqliteError(StoreError::Kind::step, kDeleteTree));
    sqlite3_reset(*s);
    return result;
}

StoreResult<qint64> ContentTables::sweep()
{
    auto run = [&](const char *sql) -> StoreResult<void> {
        auto s = statement(sql);
        if (!s)
            return Failure(s.error());
        const Step done = step(*s);
        StoreResult<void> result;
        if (done == Step::failed)
            result = Failure(sqliteError(StoreError::Kind::step, sql));
        sqlite3_reset(*s);
        return result;
    };
    if (auto dropped = run(kDeleteOrphanTrees); !dropped)
        return Failure(dropped.error());

    std::vector<std::int64_t> stored;
    auto ids = statement(kSelectRecordIDs);
    if (!ids)
        return Failure(ids.error());
    Step got;
    while ((got = step(*ids)) == Step::row)
        stored.push_back(sqlite3_column_int64(*ids, 0));
    sqlite3_reset(*ids);
    if (got == Step::failed)
        return Failure(sqliteError(StoreError::Kind::step, kSelectRecordIDs));
    if (stored.empty())
        return qint64(0);

    std::vector<bool> used(stored.size(), false);
    auto shapes = statement(kSelectShapes);
    if (!shapes)
        return Failure(shapes.error());
    while ((got = step(*shapes)) == Step::row) {
        auto shape = decodeShape(blobView(*shapes, 1), QUuid());
        if (!shape) {
            qCWarning(lcStore).noquote() << "snapshot" << QString::fromUtf8(textView(*shapes, 0).data(),
                                                                             qsizetype(textView(*shapes, 0).size()))
                                         << "cannot be read, so no snapshot records are deleted:" << shape.error();
            sqlite3_reset(*shapes);
            return qint64(0);
        }
        for (std::int64_t rowid : shape->records) {
            const auto at = std::lower_bound(stored.begin(), stored.end(), rowid);
            if (at != stored.end() && *at == rowid)
                used[std::size_t(at - stored.begin())] = true;
        }
    }
    sqlite3_reset(*shapes);
    if (got == Step::failed)
        return Failure(sqliteError(StoreError::Kind::step, kSelectShapes));

    qint64 deleted = 0;
    auto remove = statement(kDeleteRecord);
    if (!remove)
        return Failure(remove.error());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (used[i])
            continue;
        sqlite3_reset(*remove);
        sqlite3_bind_int64(*remove, 1, stored[i]);
        if (step(*remove) == Step::failed) {
            StoreError error = sqliteError(StoreError::Kind::step, kDeleteRecord);
            sqlite3_reset(*remove);
            return Failure(error);
        }
        ++deleted;
    }
    sqlite3_reset(*remove);
    if (deleted > 0) {
        if (auto counted = run(kCountSweep); !counted)
            return Failure(counted.error());
    }
    return deleted;
}

} // namespace tarni::snapshotcontent
