#include "storage/WorkspaceStorePrivate.h"

#include "storage/DatabaseFile.h"
#include "storage/SqlTransaction.h"

#include "model/JsonEncoding.h"
#include "model/Uuid.h"

#include <QLoggingCategory>

#include <sqlite3.h>

Q_LOGGING_CATEGORY(lcStore, "tarnibar.store")

namespace tarni {

namespace {

// The schema, as the file format defines it. Each table family's other
// statements live beside its code (WorkspaceStoreNodes.cpp,
// WorkspaceStoreHistory.cpp, WorkspaceStoreTrash.cpp, WorkspaceStoreSnapshots.cpp).
constexpr const char *kCreateWorkspaces = "CREATE TABLE IF NOT EXISTS workspaces (\n"
                                          "    id TEXT PRIMARY KEY,\n"
                                          "    title TEXT NOT NULL,\n"
                                          "    created_at TEXT NOT NULL,\n"
                                          "    updated_at TEXT NOT NULL,\n"
                                          "    payload_json TEXT NOT NULL\n"
                                          ");";
constexpr const char *kCreateNodes = "CREATE TABLE IF NOT EXISTS nodes (\n"
                                     "    id TEXT PRIMARY KEY,\n"
                                     "    workspace_id TEXT NOT NULL,\n"
                                     "    parent_id TEXT,\n"
                                     "    kind TEXT NOT NULL,\n"
                                     "    title TEXT NOT NULL,\n"
                                     "    subtitle TEXT,\n"
                                     "    sort_order REAL NOT NULL,\n"
                                     "    is_collapsed INTEGER NOT NULL,\n"
                                     "    icon_key TEXT,\n"
                                     "    created_at TEXT NOT NULL,\n"
                                     "    updated_at TEXT NOT NULL,\n"
                                     "    last_opened_at TEXT,\n"
                                     "    payload_json TEXT NOT NULL\n"
                                     ");";
constexpr const char *kCreateSnapshots = "CREATE TABLE IF NOT EXISTS snapshots (\n"
                                         "    id TEXT PRIMARY KEY,\n"
                                         "    workspace_id TEXT NOT NULL,\n"
                                         "    created_at TEXT NOT NULL,\n"
                                         "    payload_json TEXT NOT NULL\n"
                                         ");";
// Which snapshots the application took by itself, and why; a snapshot
// without a row here is one the user saved.
constexpr const char *kCreateSnapshotMarks = "CREATE TABLE IF NOT EXISTS snapshot_marks (\n"
                                             "    snapshot_id TEXT PRIMARY KEY,\n"
                                             "    origin TEXT NOT NULL,\n"
                                             "    tree_updated_at TEXT\n"
                                             ");";
// What the list of snapshots shows, written with each snapshot so that
// listing reads no trees. Snapshots saved by versions without this table
// have no row and are read from their text.
constexpr const char *kCreateSnapshotSummaries = "CREATE TABLE IF NOT EXISTS snapshot_summaries (\n"
                                                 "    snapshot_id TEXT PRIMARY KEY,\n"
                                                 "    title TEXT NOT NULL,\n"
                                                 "    node_count INTEGER NOT NULL,\n"
                                                 "    subtree INTEGER NOT NULL,\n"
                                                 "    stored_bytes INTEGER NOT NULL\n"
                                                 ");";
// Each snapshot without the root's children, encoded as the snapshot is:
// what `snapshot list --json` prints. A row is trusted only while the
// snapshot is the one it was written with: any insert or update of the
// snapshot (by another program, or a version that does not write heads)
// drops it, and the snapshot is then decoded instead.
constexpr const char *kCreateSnapshotHeads = "CREATE TABLE IF NOT EXISTS snapshot_heads (\n"
                                             "    snapshot_id TEXT PRIMARY KEY,\n"
                                             "    head_json TEXT NOT NULL\n"
                                             ");";
constexpr const char *kCreateSnapshotHeadTriggers =
    "CREATE TRIGGER IF NOT EXISTS snapshot_heads_drop_on_insert AFTER INSERT ON snapshots\n"
    "BEGIN DELETE FROM snapshot_heads WHERE snapshot_id = NEW.id; END;\n"
    "CREATE TRIGGER IF NOT EXISTS snapshot_heads_drop_on_update AFTER UPDATE ON snapshots\n"
    "BEGIN DELETE FROM snapshot_heads WHERE snapshot_id IN (OLD.id, NEW.id); END;";
// A count of node row writes by any program: when it is what a connection
// last saw, another connection's commits (a snapshot, the trash) left the
// nodes alone, and its cached rows need no comparison.
constexpr const char *kCreateNodeWrites =
    "CREATE TABLE IF NOT EXISTS node_writes (id INTEGER PRIMARY KEY CHECK (id = 1), count INTEGER NOT NULL);\n"
    "INSERT OR IGNORE INTO node_writes (id, count) VALUES (1, 0);\n"
    "CREATE TRIGGER IF NOT EXISTS node_writes_on_insert AFTER INSERT ON nodes\n"
    "BEGIN UPDATE node_writes SET count = count + 1 WHERE id = 1; END;\n"
    "CREATE TRIGGER IF NOT EXISTS node_writes_on_update AFTER UPDATE ON nodes\n"
    "BEGIN UPDATE node_writes SET count = count + 1 WHERE id = 1; END;\n"
    "CREATE TRIGGER IF NOT EXISTS node_writes_on_delete AFTER DELETE ON nodes\n"
    "BEGIN UPDATE node_writes SET count = count + 1 WHERE id = 1; END;";
// Sync through a shared folder (docs/sync.md). While sync is on, every node
// row written by any program is marked for sending, except by the writes that
// apply received changes, which set `applying` for their transaction.
constexpr const char *kCreateSyncTables =
    "CREATE TABLE IF NOT EXISTS sync_state (id INTEGER PRIMARY KEY CHECK (id = 1), device_id TEXT NOT NULL,\n"
    "    device_name TEXT NOT NULL, folder TEXT NOT NULL, enabled INTEGER NOT NULL, applying INTEGER NOT NULL,\n"
    "    clock TEXT, next_seq INTEGER NOT NULL, last_sent_at TEXT, last_received_at TEXT);\n"
    "CREATE TABLE IF NOT EXISTS sync_clocks (node_id TEXT PRIMARY KEY, clock TEXT NOT NULL,\n"
    "    deleted INTEGER NOT NULL, digest TEXT NOT NULL, content_clock TEXT) WITHOUT ROWID;\n"
    "CREATE TABLE IF NOT EXISTS sync_pending (node_id TEXT PRIMARY KEY) WITHOUT ROWID;\n"
    "CREATE TABLE IF NOT EXISTS sync_recovered (node_id TEXT PRIMARY KEY, parent_id TEXT NOT NULL) WITHOUT ROWID;\n"
    "CREATE TABLE IF NOT EXISTS sync_applied (device_id TEXT PRIMARY KEY, device_name TEXT NOT NULL,\n"
    "    seq INTEGER NOT NULL, applied_at TEXT, newest_clock TEXT, failed_seq INTEGER, failed_stamp TEXT,\n"
    "    failed_reason TEXT);\n"
    "CREATE TABLE IF NOT EXISTS sync_conflicts (id INTEGER PRIMARY KEY, node_id TEXT NOT NULL, reason TEXT NOT NULL,\n"
    "    record_json TEXT, lost_device TEXT NOT NULL, kept_device TEXT NOT NULL, detected_at TEXT NOT NULL,\n"
    "    detail TEXT NOT NULL);\n"
    "CREATE TRIGGER IF NOT EXISTS sync_pending_on_insert AFTER INSERT ON nodes\n"
    "WHEN (SELECT enabled AND NOT applying FROM sync_state WHERE id = 1)\n"
    "BEGIN INSERT INTO sync_pending (node_id) SELECT NEW.id\n"
    "    WHERE NOT EXISTS (SELECT 1 FROM sync_pending WHERE node_id = NEW.id); END;\n"
    "CREATE TRIGGER IF NOT EXISTS sync_pending_on_update AFTER UPDATE ON nodes\n"
    "WHEN (SELECT enabled AND NOT applying FROM sync_state WHERE id = 1)\n"
    "BEGIN INSERT INTO sync_pending (node_id) SELECT NEW.id\n"
    "    WHERE NOT EXISTS (SELECT 1 FROM sync_pending WHERE node_id = NEW.id); END;\n"
    "CREATE TRIGGER IF NOT EXISTS sync_pending_on_delete AFTER DELETE ON nodes\n"
    "WHEN (SELECT enabled AND NOT applying FROM sync_state WHERE id = 1)\n"
    "BEGIN INSERT INTO sync_pending (node_id) SELECT OLD.id\n"
    "    WHERE NOT EXISTS (SELECT 1 FROM sync_pending WHERE node_id = OLD.id); END;";
// The reads of part of the tree (WorkspaceStore::NodeScope). The index makes
// them cost the rows they return; the whole load (kSelectNodes) does not use it.
constexpr const char *kCreateNodesParentIndex =
    "CREATE INDEX IF NOT EXISTS nodes_parent ON nodes (parent_id, sort_order);";

// The undo history and the trash, in tables of their own beside the three
// above. A step's records and a trash entry's records are node rows' JSON.
constexpr const char *kCreateHistory = "CREATE TABLE IF NOT EXISTS edit_history (\n"
                                       "    seq INTEGER PRIMARY KEY,\n"
                                       "    workspace_id TEXT NOT NULL,\n"
                                       "    action TEXT NOT NULL,\n"
                                       "    subject TEXT NOT NULL,\n"
                                       "    undone INTEGER NOT NULL,\n"
                                       "    record_count INTEGER NOT NULL,\n"
                                       "    created_at TEXT NOT NULL\n"
                                       ");";
// role: 0 a record before, 1 after; 2 a trash entry the step made, 3 one it
// took back (ref_id the entry, payload its header); 4 and 5 their records;
// 6 the digest of an `after` record that is a live row.
constexpr const char *kCreateHistoryRecords = "CREATE TABLE IF NOT EXISTS edit_history_records (\n"
                                              "    step INTEGER NOT NULL,\n"
                                              "    role INTEGER NOT NULL,\n"
                                              "    ref_id TEXT NOT NULL,\n"
                                              "    payload_json TEXT NOT NULL\n"
                                              ");";
constexpr const char *kCreateHistoryRecordsIndex =
    "CREATE INDEX IF NOT EXISTS edit_history_records_step ON edit_history_records (step);";
constexpr const char *kCreateTrash = "CREATE TABLE IF NOT EXISTS trash (\n"
                                     "    id TEXT PRIMARY KEY,\n"
                                     "    workspace_id TEXT NOT NULL,\n"
                                     "    deleted_at TEXT NOT NULL,\n"
                                     "    title TEXT NOT NULL,\n"
                                     "    node_count INTEGER NOT NULL,\n"
                                     "    parent_id TEXT,\n"
                                     "    position INTEGER NOT NULL\n"
                                     ");";
constexpr const char *kCreateTrashNodes = "CREATE TABLE IF NOT EXISTS trash_nodes (\n"
                                          "    entry_id TEXT NOT NULL,\n"
                                          "    ord INTEGER NOT NULL,\n"
                                          "    payload_json TEXT NOT NULL\n"
                                          ");";
constexpr const char *kCreateTrashNodesIndex =
    "CREATE INDEX IF NOT EXISTS trash_nodes_entry ON trash_nodes (entry_id);";

constexpr const char *kSelectFirstWorkspace = "SELECT payload_json FROM workspaces LIMIT 1;";
constexpr const char *kUpsertWorkspace =
    "INSERT OR REPLACE INTO workspaces (id, title, created_at, updated_at, payload_json)\nVALUES (?, ?, ?, ?, ?);";
constexpr const char *kDeleteSnapshots = "DELETE FROM snapshots;";
constexpr const char *kDeleteNodes = "DELETE FROM nodes;";
constexpr const char *kDeleteWorkspaces = "DELETE FROM workspaces;";
constexpr const char *kDeleteAllHistoryRecords = "DELETE FROM edit_history_records;";
constexpr const char *kDeleteAllHistory = "DELETE FROM edit_history;";
constexpr const char *kDeleteAllTrashNodes = "DELETE FROM trash_nodes;";
constexpr const char *kDeleteAllTrash = "DELETE FROM trash;";
constexpr const char *kDeleteAllSnapshotMarks = "DELETE FROM snapshot_marks;";
constexpr const char *kDeleteAllSnapshotSummaries = "DELETE FROM snapshot_summaries;";
constexpr const char *kDeleteAllSnapshotHeads = "DELETE FROM snapshot_heads;";
constexpr const char *kDataVersion = "PRAGMA data_version;";
constexpr const char *kHasTable = "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?;";

constexpr int kBusyTimeoutMs = 3000;

} // namespace

SqlConnection::~SqlConnection()
{
    for (auto &[sql, statement] : statements)
        sqlite3_finalize(statement);
    sqlite3_close_v2(db);
}

StoreError SqlConnection::sqliteError(StoreError::Kind kind, const char *sql) const
{
    const char *message = db ? sqlite3_errmsg(db) : nullptr;
    StoreError error{kind, QString::fromUtf8(sql),
                     message && *message ? QString::fromUtf8(message) : QStringLiteral("unknown"),
                     db ? sqlite3_extended_errcode(db) : SQLITE_CANTOPEN};
    qCWarning(lcStore).noquote() << "SQLite error" << error.sqliteCode << error.message << "in"
                                 << error.sql.simplified();
    return error;
}

Result<sqlite3_stmt *, StoreError> SqlConnection::statement(const char *sql)
{
    if (openError)
        return Failure(*openError);
    auto found = statements.find(sql);
    if (found != statements.end()) {
        sqlite3_reset(found->second);
        sqlite3_clear_bindings(found->second);
        return found->second;
    }
    sqlite3_stmt *compiled = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &compiled, nullptr) != SQLITE_OK) {
        sqlite3_finalize(compiled);
        return Failure(sqliteError(StoreError::Kind::prepare, sql));
    }
    statements.emplace(sql, compiled);
    return compiled;
}

StoreResult<sqlite3_int64> SqlConnection::dataVersion()
{
    sqlite3_int64 version = -1;
    auto result = query(kDataVersion, [](sqlite3_stmt *) {}, [&](sqlite3_stmt *s) -> StoreResult<void> {
        version = sqlite3_column_int64(s, 0);
        return {};
    });
    if (!result)
        return Failure(result.error());
    return version;
}

std::optional<sqlite3_int64> SqlConnection::nodeWrites()
{
    static constexpr const char *kSelectNodeWrites = "SELECT count FROM node_writes WHERE id = 1;";
    std::optional<sqlite3_int64> count;
    auto read = query(kSelectNodeWrites, [](sqlite3_stmt *) {}, [&](sqlite3_stmt *s) -> StoreResult<void> {
        count = sqlite3_column_int64(s, 0);
        return {};
    });
    if (!read)
        return std::nullopt;
    return count;
}

StoreResult<bool> SqlConnection::hasTable(const char *name)
{
    bool found = false;
    auto read = query(
        kHasTable, [&](sqlite3_stmt *s) { sqlite3_bind_text(s, 1, name, -1, SQLITE_STATIC); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            found = sqlite3_column_int(s, 0) > 0;
            return {};
        });
    if (!read)
        return Failure(read.error());
    return found;
}

StoreResult<std::optional<Workspace>> WorkspaceStore::Private::fetchFirstWorkspace()
{
    std::optional<Workspace> found;
    auto result = query(kSelectFirstWorkspace, [](sqlite3_stmt *) {}, [&](sqlite3_stmt *s) -> StoreResult<void> {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
        if (!text)
            return {};
        auto decoded = decoder.workspace(std::string_view(text, size_t(sqlite3_column_bytes(s, 0))));
        if (!decoded)
            return Failure(StoreError{StoreError::Kind::decode, QString::fromUtf8(kSelectFirstWorkspace),
                                      QStringLiteral("workspace row: ") + decoded.error().description()});
        if (!found)
            found = std::move(*decoded);
        return {};
    });
    if (!result)
        return Failure(result.error());
    return found;
}

StoreResult<void> WorkspaceStore::Private::saveWorkspaceLocked(const Workspace &workspace)
{
    auto json = json::encode(workspace);
    if (!json)
        return Failure(StoreError{StoreError::Kind::encode, {}, json.error().reason});
    const std::string id = uuidText(workspace.id);
    const QByteArray title = workspace.title.toUtf8();
    const std::string created = timestampText(workspace.createdAt);
    const std::string updated = timestampText(workspace.updatedAt);
    return execute(kUpsertWorkspace, [&](sqlite3_stmt *s) {
        bindText(s, 1, id);
        bindText(s, 2, title);
        bindText(s, 3, created);
        bindText(s, 4, updated);
        bindText(s, 5, *json);
    });
}

WorkspaceStore::WorkspaceStore(const std::filesystem::path &databasePath, OpenMode mode)
    : d(std::make_unique<Private>())
{
    d->path = databasePath;
    d->mode = mode;
    std::error_code ec;
    d->createdFile = mode == OpenMode::readWrite && !std::filesystem::exists(databasePath, ec) && !ec;
    auto opened = mode == OpenMode::readOnly ? DatabaseFile::openForReading(databasePath)
                                             : DatabaseFile::openForWriting(databasePath);
    for (const QString &warning : std::as_const(opened.warnings))
        qCWarning(lcStore).noquote() << warning;
    if (!opened.ok()) {
        d->openError = StoreError{StoreError::Kind::open, {},
                                  QStringLiteral("Cannot open the workspace database \"%1\": %2")
                                      .arg(QString::fromStdString(databasePath.string()), opened.message),
                                  opened.code};
        qCWarning(lcStore).noquote() << d->openError->description();
        return;
    }
    d->db = opened.db;
    sqlite3_busy_timeout(d->db, kBusyTimeoutMs);
    if (mode == OpenMode::readOnly)
        return;

    // WAL lets readers (the command-line tool) work while the application
    // writes; FULL makes every commit durable across power loss.
    // A page cache of 16 MiB instead of 2: a large write (an import of
    // 100,000 links) otherwise spills its pages into the log and reads them
    // back from there before it commits.
    for (const char *pragma : {"PRAGMA journal_mode=WAL;", "PRAGMA synchronous=FULL;", "PRAGMA cache_size=-16384;"}) {
        char *message = nullptr;
        if (sqlite3_exec(d->db, pragma, nullptr, nullptr, &message) != SQLITE_OK)
            qCWarning(lcStore) << pragma << (message ? message : "failed");
        sqlite3_free(message);
    }
    // A table that cannot be created shows up as errors of the operations
    // that use it, with SQLite's message.
    for (const char *sql : {kCreateWorkspaces, kCreateNodes, kCreateSnapshots, kCreateHistory, kCreateHistoryRecords,
                            kCreateHistoryRecordsIndex, kCreateTrash, kCreateTrashNodes, kCreateTrashNodesIndex,
                            kCreateSnapshotMarks, kCreateSnapshotSummaries, kCreateSnapshotHeads,
                            kCreateSnapshotHeadTriggers, kCreateNodesParentIndex, kCreateNodeWrites, kCreateSyncTables,
                            snapshotcontent::kCreateContentTables}) {
        char *message = nullptr;
        if (sqlite3_exec(d->db, sql, nullptr, nullptr, &message) != SQLITE_OK)
            qCWarning(lcStore) << "creating a table failed:" << (message ? message : "unknown");
        sqlite3_free(message);
    }
}

WorkspaceStore::~WorkspaceStore()
{
    const bool created = d->createdFile;
    const std::filesystem::path path = d->path;
    d.reset();
    // SQLite creates the file at once but writes its first page only with
    // the first transaction. When that never succeeded (a full disk, an I/O
    // error), the empty file would make every later open refuse it as
    // damaged although nothing was ever in it.
    const std::filesystem::path wal = path.string() + "-wal";
    std::error_code ec;
    if (created && DatabaseFile::isEmptyFile(path) &&
        (!std::filesystem::exists(wal, ec) || DatabaseFile::isEmptyFile(wal))) {
        for (const char *suffix : {"-wal", "-shm", "-journal", ""})
            std::filesystem::remove(path.string() + suffix, ec);
    }
}

const std::optional<StoreError> &WorkspaceStore::openError() const
{
    return d->openError;
}

const std::filesystem::path &WorkspaceStore::databasePath() const
{
    return d->path;
}

StoreResult<void> WorkspaceStore::checkpoint()
{
    static constexpr const char *kPassive = "PRAGMA wal_checkpoint(PASSIVE);";
    static constexpr const char *kTruncate = "PRAGMA wal_checkpoint(TRUNCATE);";
    std::lock_guard guard(m_lock);
    bool whole = false;
    auto passive = d->query(kPassive, [](sqlite3_stmt *) {}, [&](sqlite3_stmt *s) -> StoreResult<void> {
        whole = sqlite3_column_int(s, 0) == 0 && sqlite3_column_int(s, 1) > 0 &&
                sqlite3_column_int(s, 1) == sqlite3_column_int(s, 2);
        return {};
    });
    if (!passive || !whole)
        return passive;
    // Busy (a reader on an older state) leaves the file as it is until the next time.
    return d->query(kTruncate, [](sqlite3_stmt *) {}, [](sqlite3_stmt *) -> StoreResult<void> { return {}; });
}

StoreResult<std::optional<Workspace>> WorkspaceStore::fetchWorkspace()
{
    std::lock_guard guard(m_lock);
    return d->fetchFirstWorkspace();
}

StoreResult<Workspace> WorkspaceStore::fetchOrCreateDefaultWorkspace()
{
    std::lock_guard guard(m_lock);
    auto existing = d->fetchFirstWorkspace();
    if (!existing)
        return Failure(existing.error());
    if (*existing)
        return std::move(**existing);
    // Another program (the CLI beside the application) may be creating one
    // too: look again under the write lock, so that one workspace is made.
    SqlTransaction transaction(*d);
    if (auto begun = transaction.begin(); !begun)
        return Failure(begun.error());
    existing = d->fetchFirstWorkspace();
    if (!existing)
        return Failure(existing.error());
    if (*existing)
        return std::move(**existing);
    const Timestamp created = currentTimestamp();
    Workspace workspace{newUuid(), QStringLiteral("Workspace"), created, currentTimestamp()};
    if (auto saved = d->saveWorkspaceLocked(workspace); !saved)
        return Failure(saved.error());
    if (auto committed = transaction.commit(); !committed)
        return Failure(committed.error());
    return workspace;
}

StoreResult<void> WorkspaceStore::saveWorkspace(const Workspace &workspace)
{
    std::lock_guard guard(m_lock);
    return d->saveWorkspaceLocked(workspace);
}

StoreResult<void> WorkspaceStore::reset()
{
    std::lock_guard guard(m_lock);
    d->invalidateCache();
    SqlTransaction transaction(*d);
    if (auto begun = transaction.begin(); !begun)
        return begun;
    for (const char *sql : {kDeleteSnapshots, kDeleteNodes, kDeleteWorkspaces, kDeleteAllHistoryRecords,
                            kDeleteAllHistory, kDeleteAllTrashNodes, kDeleteAllTrash, kDeleteAllSnapshotMarks,
                            kDeleteAllSnapshotSummaries, kDeleteAllSnapshotHeads, snapshotcontent::kDeleteAllTrees,
                            snapshotcontent::kDeleteAllRecords, snapshotcontent::kDeleteAllBlocks,
                            snapshotcontent::kCountSweep}) {
        if (auto deleted = d->execute(sql); !deleted)
            return deleted;
    }
    return transaction.commit();
}

} // namespace tarni
