#include "storage/SnapshotContentTables.h"

#include "model/JsonEncoding.h"
#include "model/Uuid.h"

#include <QLoggingCategory>
#include <QSet>

#include <sqlite3.h>

#include <algorithm>

Q_DECLARE_LOGGING_CATEGORY(lcStore)

namespace tarni::snapshotcontent {

// AUTOINCREMENT: a block id is never used again, so an entry list naming
// a block that went missing cannot read another one in its place.
const char *const kCreateContentTables = "CREATE TABLE IF NOT EXISTS snapshot_blocks (\n"
                                         "    id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
                                         "    body BLOB NOT NULL\n"
                                         ");\n"
                                         "CREATE TABLE IF NOT EXISTS snapshot_records (\n"
                                         "    hash BLOB PRIMARY KEY,\n"
                                         "    address INTEGER NOT NULL\n"
                                         ") WITHOUT ROWID;\n"
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
const char *const kDeleteAllBlocks = "DELETE FROM snapshot_blocks;";
const char *const kCountSweep = "INSERT INTO snapshot_sweeps (id, count) VALUES (1, 1)\n"
                                "ON CONFLICT (id) DO UPDATE SET count = count + 1;";

namespace {

constexpr const char *kBeginRead = "BEGIN;";
constexpr const char *kEndRead = "ROLLBACK;";
constexpr const char *kSelectSweeps = "SELECT count FROM snapshot_sweeps WHERE id = 1;";

constexpr const char *kSelectRecordAddress = "SELECT address FROM snapshot_records WHERE hash = ?;";
// Another connection may have stored the same record meanwhile; either
// copy serves.
constexpr const char *kInsertRecord = "INSERT OR IGNORE INTO snapshot_records (hash, address) VALUES (?, ?);";
constexpr const char *kInsertBlock = "INSERT INTO snapshot_blocks (body) VALUES (?);";
constexpr const char *kSelectBlock = "SELECT body FROM snapshot_blocks WHERE id = ?;";
constexpr const char *kSelectBlockIDs = "SELECT id FROM snapshot_blocks ORDER BY id;";
constexpr const char *kDeleteBlock = "DELETE FROM snapshot_blocks WHERE id = ?;";
constexpr const char *kSelectRecords = "SELECT hash, address FROM snapshot_records;";
constexpr const char *kDeleteRecord = "DELETE FROM snapshot_records WHERE hash = ?;";
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
    auto s = statement(kSelectRecordAddress);
    if (!s)
        return Failure(s.error());
    for (std::size_t i = 0; i < prepared.hashes.size(); ++i) {
        if (!all && prepared.addresses[i] != 0)
            continue;
        // A record taken from another snapshot's shape is hashed only when
        // it has to be looked up after all.
        if (prepared.hashes[i].isEmpty()) {
            auto plain = plainRecord(*prepared.flat.entries[prepared.firstEntry[i]]);
            if (!plain) {
                sqlite3_reset(*s);
                return Failure(StoreError{StoreError::Kind::encode, {}, plain.error().reason});
            }
            prepared.hashes[i] = recordHash(*plain);
            prepared.plain[i] = std::move(*plain);
        }
        sqlite3_reset(*s);
        bindBlob(*s, 1, prepared.hashes[i].constData(), std::size_t(prepared.hashes[i].size()));
        const Step result = step(*s);
        if (result == Step::failed) {
            StoreError error = sqliteError(StoreError::Kind::step, kSelectRecordAddress);
            sqlite3_reset(*s);
            return Failure(error);
        }
        prepared.addresses[i] = result == Step::row ? sqlite3_column_int64(*s, 0) : 0;
    }
    sqlite3_reset(*s);
    // The records still missing go into blocks, each once, in the order the
    // tree holds them (neighbours compress best together). The plain texts
    // go as soon as they are not needed: a record found now and swept
    // before the write is encoded again from its entry.
    std::vector<std::string_view> pending;
    std::vector<std::size_t> pendingRecords;
    std::size_t pendingBytes = 0;
    auto close = [&] {
        if (pending.empty())
            return;
        prepared.blocks.push_back({packBlock(pending), pendingRecords});
        for (std::size_t record : pendingRecords)
            std::string().swap(prepared.plain[record]);
        pending.clear();
        pendingRecords.clear();
        pendingBytes = 0;
    };
    for (std::size_t i = 0; i < prepared.hashes.size(); ++i) {
        if (prepared.addresses[i] != 0 || prepared.packed[i]) {
            std::string().swap(prepared.plain[i]);
            continue;
        }
        if (prepared.plain[i].empty()) {
            auto plain = plainRecord(*prepared.flat.entries[prepared.firstEntry[i]]);
            if (!plain)
                return Failure(StoreError{StoreError::Kind::encode, {}, plain.error().reason});
            prepared.plain[i] = std::move(*plain);
        }
        pending.push_back(prepared.plain[i]);
        pendingRecords.push_back(i);
        pendingBytes += prepared.plain[i].size();
        prepared.packed[i] = true;
        if (pending.size() == kMaxBlockRecords || pendingBytes >= kBlockBytes)
            close();
    }
    close();
    return {};
}

StoreResult<std::optional<ContentTables::StoredShape>> ContentTables::storedShape(const std::string &snapshotID,
                                                                                  const QUuid &rootID)
{
    auto begin = statement(kBeginRead);
    if (!begin)
        return Failure(begin.error());
    if (step(*begin) == Step::failed)
        return Failure(sqliteError(StoreError::Kind::step, kBeginRead));
    std::optional<StoredShape> stored;
    auto read = [&]() -> StoreResult<void> {
        auto sweeps = sweepsDone();
        if (!sweeps)
            return Failure(sweeps.error());
        auto s = selectTree(snapshotID);
        if (!s)
            return Failure(s.error());
        if (!*s)
            return {};
        // The entry ids are stored as steps from the root's: only with the
        // same root do they name the same entries.
        auto head = m_decoder.workspaceSnapshot(textView(*s, 0));
        auto shape = head && head->rootNode.id == rootID ? decodeShape(blobView(*s, 1), rootID)
                                                          : Result<TreeShape, QString>(Failure(QString()));
        if (shape)
            stored = StoredShape{std::move(*shape), *sweeps};
        sqlite3_reset(*s);
        return {};
    };
    auto done = read();
    auto end = statement(kEndRead);
    if (!end)
        return Failure(end.error());
    if (step(*end) == Step::failed)
        return Failure(sqliteError(StoreError::Kind::step, kEndRead));
    if (!done)
        return Failure(done.error());
    return stored;
}

StoreResult<PreparedSnapshot> ContentTables::prepare(const WorkspaceSnapshot &snapshot, const std::string &headJson,
                                                     const SnapshotRecordHint *hint)
{
    PreparedSnapshot prepared;
    prepared.snapshotID = uuidText(snapshot.id);
    prepared.headJson = headJson;
    prepared.rootID = snapshot.rootNode.id;
    prepared.flat = flatten(snapshot.rootNode);
    const std::size_t count = prepared.flat.entries.size();
    prepared.recordOfEntry.reserve(count);

    // The records the hint names, when the other snapshot's shape can be
    // read, still holds the entries named there, and no node it names is
    // copied twice here.
    std::optional<StoredShape> stored;
    auto hinted = [&](const TreeExportNode &entry) -> std::int64_t {
        if (!stored || !entry.originalNodeID || *entry.originalNodeID != entry.node.id() ||
            entry.title != entry.node.title())
            return 0;
        const auto ref = hint->entryOfNode.constFind(entry.node.id());
        if (ref == hint->entryOfNode.constEnd() || ref->position < 0 ||
            std::size_t(ref->position) >= stored->shape.size() ||
            stored->shape.ids[std::size_t(ref->position)] != ref->entryID)
            return 0;
        return stored->shape.records[std::size_t(ref->position)];
    };
    if (hint && !hint->entryOfNode.isEmpty()) {
        auto read = storedShape(uuidText(hint->snapshotID), hint->rootEntryID);
        if (!read)
            return Failure(read.error());
        stored = std::move(*read);
        QSet<QUuid> seen;
        seen.reserve(hint->entryOfNode.size());
        for (const TreeExportNode *entry : prepared.flat.entries) {
            if (hinted(*entry) == 0)
                continue;
            if (seen.contains(entry->node.id())) {
                stored.reset();
                break;
            }
            seen.insert(entry->node.id());
        }
    }

    QHash<QByteArray, std::size_t> distinct;
    distinct.reserve(qsizetype(count));
    QHash<std::int64_t, std::size_t> distinctStored;
    std::vector<std::int64_t> known;
    for (const TreeExportNode *entry : prepared.flat.entries) {
        std::size_t index = prepared.hashes.size();
        if (const std::int64_t address = hinted(*entry); address != 0) {
            if (auto seen = distinctStored.constFind(address); seen != distinctStored.constEnd()) {
                index = *seen;
            } else {
                distinctStored.insert(address, index);
                prepared.firstEntry.push_back(prepared.recordOfEntry.size());
                prepared.hashes.emplace_back();
                prepared.plain.emplace_back();
                known.resize(index + 1, 0);
                known[index] = address;
            }
            prepared.recordOfEntry.push_back(index);
            continue;
        }
        auto plain = plainRecord(*entry);
        if (!plain)
            return Failure(StoreError{StoreError::Kind::encode, {}, plain.error().reason});
        QByteArray hash = recordHash(*plain);
        if (auto seen = distinct.constFind(hash); seen != distinct.constEnd()) {
            index = *seen;
        } else {
            distinct.insert(hash, index);
            prepared.firstEntry.push_back(prepared.recordOfEntry.size());
            prepared.hashes.push_back(std::move(hash));
            prepared.plain.push_back(std::move(*plain));
        }
        prepared.recordOfEntry.push_back(index);
    }
    prepared.addresses.assign(prepared.hashes.size(), 0);
    std::copy(known.begin(), known.end(), prepared.addresses.begin());
    prepared.packed.assign(prepared.hashes.size(), false);

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
    // After a sweep the records taken from the other shape may be gone:
    // then every record is looked up.
    const bool all = !known.empty() && sweeps && *sweeps != stored->sweeps;
    auto found = sweeps ? lookUp(prepared, all) : StoreResult<void>(Failure(sweeps.error()));
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
    auto insertBlock = statement(kInsertBlock);
    if (!insertBlock)
        return Failure(insertBlock.error());
    std::vector<std::int64_t> blockIDs;
    for (const PreparedSnapshot::Block &block : prepared.blocks) {
        sqlite3_reset(*insertBlock);
        bindBlob(*insertBlock, 1, block.bytes.data(), block.bytes.size());
        if (step(*insertBlock) == Step::failed) {
            StoreError error = sqliteError(StoreError::Kind::step, kInsertBlock);
            sqlite3_reset(*insertBlock);
            return Failure(error);
        }
        blockIDs.push_back(sqlite3_last_insert_rowid(m_db));
        added += qint64(block.bytes.size());
    }
    sqlite3_reset(*insertBlock);
    auto insert = statement(kInsertRecord);
    if (!insert)
        return Failure(insert.error());
    for (std::size_t b = 0; b < prepared.blocks.size(); ++b) {
        const auto &records = prepared.blocks[b].records;
        for (std::size_t slot = 0; slot < records.size(); ++slot) {
            const std::size_t i = records[slot];
            // Found again after a sweep: that copy serves, this one is
            // swept with its block when nothing names it.
            if (prepared.addresses[i] != 0)
                continue;
            prepared.addresses[i] = addressOf(blockIDs[b], slot);
            sqlite3_reset(*insert);
            bindBlob(*insert, 1, prepared.hashes[i].constData(), std::size_t(prepared.hashes[i].size()));
            sqlite3_bind_int64(*insert, 2, prepared.addresses[i]);
            if (step(*insert) == Step::failed) {
                StoreError error = sqliteError(StoreError::Kind::step, kInsertRecord);
                sqlite3_reset(*insert);
                return Failure(error);
            }
            added += qint64(prepared.hashes[i].size() + 8);
        }
    }
    sqlite3_reset(*insert);
    if (std::count(prepared.addresses.begin(), prepared.addresses.end(), 0) != 0)
        return Failure(StoreError{StoreError::Kind::step, QString::fromUtf8(kInsertRecord),
                                  QStringLiteral("a snapshot record was neither stored nor found")});

    TreeShape shape;
    const std::size_t count = prepared.flat.entries.size();
    shape.records.reserve(count);
    shape.ids.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        shape.records.push_back(prepared.addresses[prepared.recordOfEntry[i]]);
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

StoreResult<sqlite3_stmt *> ContentTables::selectTree(const std::string &snapshotID)
{
    auto s = statement(kSelectTree);
    if (!s)
        return Failure(s.error());
    bindText(*s, 1, snapshotID);
    const Step found = step(*s);
    if (found == Step::row)
        return *s;
    if (found == Step::failed) {
        StoreError error = sqliteError(StoreError::Kind::step, kSelectTree);
        sqlite3_reset(*s);
        return Failure(error);
    }
    sqlite3_reset(*s);
    return static_cast<sqlite3_stmt *>(nullptr);
}

StoreResult<WorkspaceSnapshot> ContentTables::read(const std::string &snapshotID)
{
    auto s = selectTree(snapshotID);
    if (!s)
        return Failure(s.error());
    if (!*s)
        return Failure(damaged(kSelectTree, QStringLiteral("its list of entries is missing")));
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

    // Each block once, keeping the records the snapshot names.
    std::vector<std::int64_t> wanted = shape->records;
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    std::vector<TreeExportNode> records;
    records.reserve(wanted.size());
    auto body = statement(kSelectBlock);
    if (!body)
        return Failure(body.error());
    for (std::size_t next = 0; next < wanted.size();) {
        const std::int64_t block = blockOf(wanted[next]);
        sqlite3_reset(*body);
        sqlite3_bind_int64(*body, 1, block);
        const Step got = step(*body);
        if (got == Step::failed) {
            StoreError error = sqliteError(StoreError::Kind::step, kSelectBlock);
            sqlite3_reset(*body);
            return Failure(error);
        }
        if (got == Step::done) {
            sqlite3_reset(*body);
            return Failure(damaged(kSelectBlock, QStringLiteral("record block %1 is missing").arg(block)));
        }
        auto unpacked = unpackBlock(blobView(*body, 0));
        sqlite3_reset(*body);
        if (!unpacked)
            return Failure(damaged(kSelectBlock, QStringLiteral("record block %1: %2").arg(block).arg(unpacked.error())));
        for (; next < wanted.size() && blockOf(wanted[next]) == block; ++next) {
            const std::size_t slot = slotOf(wanted[next]);
            if (slot >= unpacked->size())
                return Failure(damaged(kSelectBlock, QStringLiteral("record block %1 has no record %2").arg(block).arg(slot)));
            auto record = decodeRecord((*unpacked)[slot], m_decoder);
            if (!record)
                return Failure(damaged(kSelectBlock, QStringLiteral("record %1 of block %2: %3")
                                                         .arg(slot)
                                                         .arg(block)
                                                         .arg(record.error())));
            records.push_back(std::move(*record));
        }
    }

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
    auto ids = statement(kSelectBlockIDs);
    if (!ids)
        return Failure(ids.error());
    Step got;
    while ((got = step(*ids)) == Step::row)
        stored.push_back(sqlite3_column_int64(*ids, 0));
    sqlite3_reset(*ids);
    if (got == Step::failed)
        return Failure(sqliteError(StoreError::Kind::step, kSelectBlockIDs));
    if (stored.empty())
        return qint64(0);

    auto indexOf = [&](std::int64_t block) -> std::optional<std::size_t> {
        const auto at = std::lower_bound(stored.begin(), stored.end(), block);
        if (at == stored.end() || *at != block)
            return std::nullopt;
        return std::size_t(at - stored.begin());
    };
    std::vector<bool> used(stored.size(), false);
    auto shapes = statement(kSelectShapes);
    if (!shapes)
        return Failure(shapes.error());
    while ((got = step(*shapes)) == Step::row) {
        auto shape = decodeShape(blobView(*shapes, 1), QUuid(), true);
        if (!shape) {
            const std::string_view id = textView(*shapes, 0);
            qCWarning(lcStore).noquote() << "snapshot" << QString::fromUtf8(id.data(), qsizetype(id.size()))
                                         << "cannot be read, so no snapshot records are deleted:" << shape.error();
            sqlite3_reset(*shapes);
            return qint64(0);
        }
        std::int64_t last = -1;
        for (std::int64_t address : shape->records) {
            if (blockOf(address) == last)
                continue;
            last = blockOf(address);
            if (auto index = indexOf(last))
                used[*index] = true;
        }
    }
    sqlite3_reset(*shapes);
    if (got == Step::failed)
        return Failure(sqliteError(StoreError::Kind::step, kSelectShapes));
    if (std::find(used.begin(), used.end(), false) == used.end())
        return qint64(0);

    qint64 deleted = 0;
    auto remove = statement(kDeleteBlock);
    if (!remove)
        return Failure(remove.error());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (used[i])
            continue;
        sqlite3_reset(*remove);
        sqlite3_bind_int64(*remove, 1, stored[i]);
        if (step(*remove) == Step::failed) {
            StoreError error = sqliteError(StoreError::Kind::step, kDeleteBlock);
            sqlite3_reset(*remove);
            return Failure(error);
        }
        ++deleted;
    }
    sqlite3_reset(*remove);

    // Where the deleted blocks' records were: one pass over the index.
    std::vector<QByteArray> gone;
    auto records = statement(kSelectRecords);
    if (!records)
        return Failure(records.error());
    while ((got = step(*records)) == Step::row) {
        const auto index = indexOf(blockOf(sqlite3_column_int64(*records, 1)));
        if (!index || !used[*index]) {
            const std::string_view hash = blobView(*records, 0);
            gone.emplace_back(hash.data(), qsizetype(hash.size()));
        }
    }
    sqlite3_reset(*records);
    if (got == Step::failed)
        return Failure(sqliteError(StoreError::Kind::step, kSelectRecords));
    auto unlist = statement(kDeleteRecord);
    if (!unlist)
        return Failure(unlist.error());
    for (const QByteArray &hash : gone) {
        sqlite3_reset(*unlist);
        bindBlob(*unlist, 1, hash.constData(), std::size_t(hash.size()));
        if (step(*unlist) == Step::failed) {
            StoreError error = sqliteError(StoreError::Kind::step, kDeleteRecord);
            sqlite3_reset(*unlist);
            return Failure(error);
        }
    }
    sqlite3_reset(*unlist);
    if (auto counted = run(kCountSweep); !counted)
        return Failure(counted.error());
    return deleted;
}

} // namespace tarni::snapshotcontent
