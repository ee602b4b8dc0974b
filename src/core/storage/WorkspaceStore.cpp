#include "storage/WorkspaceStore.h"

#include "storage/DatabaseFile.h"

#include "model/JsonDecoding.h"
#include "model/JsonEncoding.h"
#include "model/Uuid.h"

#include <QCryptographicHash>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSet>

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <tuple>
#include <numeric>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

Q_LOGGING_CATEGORY(lcStore, "tarnibar.store")

namespace tarni {

namespace {

// The statements, as the schema and the file format define them.
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
constexpr const char *kUpsertSnapshotMark =
    "INSERT OR REPLACE INTO snapshot_marks (snapshot_id, origin, tree_updated_at) VALUES (?, ?, ?);";
constexpr const char *kSelectSnapshotMarks = "SELECT snapshot_id, origin, tree_updated_at FROM snapshot_marks;";
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
constexpr const char *kUpsertSnapshotSummary = "INSERT OR REPLACE INTO snapshot_summaries\n"
                                               "    (snapshot_id, title, node_count, subtree, stored_bytes)\n"
                                               "VALUES (?, ?, ?, ?, ?);";
constexpr const char *kRenameSnapshotSummary =
    "UPDATE snapshot_summaries SET title = ?, stored_bytes = ? WHERE snapshot_id = ?;";
constexpr const char *kDeleteSnapshotSummary = "DELETE FROM snapshot_summaries WHERE snapshot_id = ?;";
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
constexpr const char *kUpsertSnapshotHead = "INSERT OR REPLACE INTO snapshot_heads (snapshot_id, head_json) VALUES (?, ?);";
constexpr const char *kDeleteSnapshotHead = "DELETE FROM snapshot_heads WHERE snapshot_id = ?;";
constexpr const char *kDeleteAllSnapshotHeads = "DELETE FROM snapshot_heads;";
// The payload column is not read, so its overflow pages are not either.
constexpr const char *kSelectSnapshotHeads =
    "SELECT s.id, s.created_at, f.title, f.node_count, f.subtree, f.stored_bytes, h.head_json\n"
    "FROM snapshots s LEFT JOIN snapshot_summaries f ON f.snapshot_id = s.id\n"
    "LEFT JOIN snapshot_heads h ON h.snapshot_id = s.id\n"
    "WHERE s.workspace_id = ?\n"
    "ORDER BY s.created_at DESC, s.rowid DESC;";
constexpr const char *kSelectSnapshotRowOfWorkspace =
    "SELECT created_at, payload_json FROM snapshots WHERE id = ? AND workspace_id = ?;";
constexpr const char *kSelectSnapshotListing =
    "SELECT s.rowid, s.id, s.created_at, f.title, f.node_count, f.subtree, f.stored_bytes\n"
    "FROM snapshots s LEFT JOIN snapshot_summaries f ON f.snapshot_id = s.id\n"
    "WHERE s.workspace_id = ?;";
constexpr const char *kDeleteSnapshotMark = "DELETE FROM snapshot_marks WHERE snapshot_id = ?;";
constexpr const char *kDeleteOneSnapshot = "DELETE FROM snapshots WHERE id = ?;";
// The payload column is not read, so its overflow pages are not either.
constexpr const char *kSelectSnapshotTimes = "SELECT id, created_at FROM snapshots WHERE workspace_id = ?\n"
                                             "ORDER BY created_at DESC, rowid DESC;";
constexpr const char *kSelectSnapshotOfWorkspace = "SELECT payload_json FROM snapshots WHERE id = ? AND workspace_id = ?;";
constexpr const char *kSelectSnapshotByID = "SELECT payload_json FROM snapshots WHERE id = ?;";
constexpr const char *kUpdateSnapshotPayload = "UPDATE snapshots SET payload_json = ? WHERE id = ?;";
constexpr const char *kSelectFirstWorkspace = "SELECT payload_json FROM workspaces LIMIT 1;";
constexpr const char *kUpsertWorkspace =
    "INSERT OR REPLACE INTO workspaces (id, title, created_at, updated_at, payload_json)\nVALUES (?, ?, ?, ?, ?);";
// Loading sorts in memory on the same keys as
//   ORDER BY parent_id IS NOT NULL, parent_id, sort_order, created_at
// because letting SQLite sort would spill every row's JSON through its sorter.
constexpr const char *kSelectNodes = "SELECT id, parent_id, sort_order, created_at, payload_json\n"
                                     "FROM nodes\n"
                                     "WHERE workspace_id = ?;";
// The reads of part of the tree (WorkspaceStore::NodeScope). The index makes
// them cost the rows they return; the whole load above does not use it.
constexpr const char *kCreateNodesParentIndex =
    "CREATE INDEX IF NOT EXISTS nodes_parent ON nodes (parent_id, sort_order);";
constexpr const char *kSelectGroup = "SELECT id, parent_id, sort_order, created_at, payload_json, rowid\n"
                                     "FROM nodes\n"
                                     "WHERE parent_id IS ?1 AND workspace_id = ?2;";
constexpr const char *kSelectLastOfGroup = "SELECT id, parent_id, sort_order, created_at, payload_json, rowid\n"
                                           "FROM nodes\n"
                                           "WHERE parent_id IS ?1 AND workspace_id = ?2\n"
                                           "ORDER BY sort_order DESC LIMIT 1;";
constexpr const char *kSelectNode = "SELECT id, parent_id, sort_order, created_at, payload_json, rowid\n"
                                    "FROM nodes\n"
                                    "WHERE id = ?1 AND workspace_id = ?2;";
// UNION, not UNION ALL: a node reached twice (parent links in a cycle) ends
// the walk instead of repeating it.
constexpr const char *kSelectSubtree =
    "WITH RECURSIVE below(id) AS (\n"
    "    SELECT id FROM nodes WHERE id = ?1 AND workspace_id = ?2\n"
    "    UNION SELECT n.id FROM nodes n JOIN below b ON n.parent_id = b.id WHERE n.workspace_id = ?2)\n"
    "SELECT n.id, n.parent_id, n.sort_order, n.created_at, n.payload_json, n.rowid\n"
    "FROM below b JOIN nodes n ON n.id = b.id;";
constexpr const char *kDeleteNodesOfWorkspace = "DELETE FROM nodes WHERE workspace_id = ?;";
constexpr const char *kInsertNode =
    "INSERT INTO nodes (\n"
    "    id, workspace_id, parent_id, kind, title, subtitle, sort_order,\n"
    "    is_collapsed, icon_key, created_at, updated_at, last_opened_at, payload_json\n"
    ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);";
constexpr const char *kUpdateNode = "UPDATE nodes SET\n"
                                    "    id = ?, workspace_id = ?, parent_id = ?, kind = ?, title = ?, subtitle = ?,\n"
                                    "    sort_order = ?, is_collapsed = ?, icon_key = ?, created_at = ?,\n"
                                    "    updated_at = ?, last_opened_at = ?, payload_json = ?\n"
                                    "WHERE id = ?14 AND workspace_id = ?15;";
constexpr const char *kDeleteNode = "DELETE FROM nodes WHERE id = ? AND workspace_id = ?;";
constexpr const char *kUpsertSnapshot =
    "INSERT OR REPLACE INTO snapshots (id, workspace_id, created_at, payload_json)\nVALUES (?, ?, ?, ?);";
constexpr const char *kSelectSnapshots = "SELECT payload_json\n"
                                         "FROM snapshots\n"
                                         "WHERE workspace_id = ?\n"
                                         "ORDER BY created_at DESC, rowid DESC;";
constexpr const char *kDeleteSnapshots = "DELETE FROM snapshots;";
constexpr const char *kDeleteNodes = "DELETE FROM nodes;";
constexpr const char *kDeleteWorkspaces = "DELETE FROM workspaces;";
constexpr const char *kBegin = "BEGIN IMMEDIATE;";
constexpr const char *kCommit = "COMMIT;";
constexpr const char *kRollback = "ROLLBACK;";
constexpr const char *kDataVersion = "PRAGMA data_version;";

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
// took back (ref_id the entry, payload its header); 4 and 5 their records.
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
constexpr const char *kDeleteAllHistoryRecords = "DELETE FROM edit_history_records;";
constexpr const char *kDeleteAllHistory = "DELETE FROM edit_history;";
constexpr const char *kDeleteAllTrashNodes = "DELETE FROM trash_nodes;";
constexpr const char *kDeleteAllTrash = "DELETE FROM trash;";
constexpr const char *kDeleteAllSnapshotMarks = "DELETE FROM snapshot_marks;";
constexpr const char *kDeleteAllSnapshotSummaries = "DELETE FROM snapshot_summaries;";

constexpr int kBusyTimeoutMs = 3000;

// A value of one sort-key column, compared the way SQLite orders values:
// NULL, then numbers, then text (bytewise: the BINARY collation), then blobs.
// Text and blob bytes live in one arena per load, not in a string per row.
struct SqlKey {
    int rank = 0;
    double number = 0;
    std::size_t offset = 0;
    std::size_t length = 0;

    static SqlKey fromColumn(sqlite3_stmt *statement, int column, std::string &arena)
    {
        SqlKey key;
        const char *bytes = nullptr;
        switch (sqlite3_column_type(statement, column)) {
        case SQLITE_NULL:
            return key;
        case SQLITE_INTEGER:
        case SQLITE_FLOAT:
            key.rank = 1;
            key.number = sqlite3_column_double(statement, column);
            return key;
        case SQLITE_TEXT:
            key.rank = 2;
            bytes = reinterpret_cast<const char *>(sqlite3_column_text(statement, column));
            break;
        default:
            key.rank = 3;
            bytes = static_cast<const char *>(sqlite3_column_blob(statement, column));
            break;
        }
        key.length = size_t(sqlite3_column_bytes(statement, column));
        key.offset = arena.size();
        if (bytes)
            arena.append(bytes, key.length);
        else
            key.length = 0;
        return key;
    }

    int compare(const SqlKey &other, const std::string &arena) const
    {
        if (rank != other.rank)
            return rank < other.rank ? -1 : 1;
        if (rank == 1)
            return number < other.number ? -1 : (number > other.number ? 1 : 0);
        if (rank >= 2) {
            const int c = std::string_view(arena.data() + offset, length)
                              .compare(std::string_view(arena.data() + other.offset, other.length));
            return c < 0 ? -1 : (c > 0 ? 1 : 0);
        }
        return 0;
    }
};

struct LoadKey {
    SqlKey parent;
    SqlKey sortOrder;
    SqlKey createdAt;
    sqlite3_int64 rowid = 0; // breaks the remaining ties, as a scan in row order does
};

// Rows on their way to becoming fetchNodes' list.
struct CollectedRows {
    std::vector<WorkspaceNode> nodes;
    std::vector<std::string> texts; // only when asked for
    std::vector<LoadKey> keys;
    std::string arena;
    bool keepTexts = false;
    bool skippedRows = false;
    // A partial read may meet a row twice; it is kept once.
    bool dedupe = false;
    QSet<QUuid> seen;
    std::optional<QUuid> lastParent; // of the latest row that decoded

    // Top-level nodes first, then children grouped by parent id; siblings by
    // sortOrder, then createdAt (the same keys as
    //   ORDER BY parent_id IS NOT NULL, parent_id, sort_order, created_at).
    NodeList sorted(std::vector<std::string> *storedTexts)
    {
        std::vector<std::size_t> order(nodes.size());
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            const LoadKey &x = keys[a];
            const LoadKey &y = keys[b];
            const bool xChild = x.parent.rank != 0;
            const bool yChild = y.parent.rank != 0;
            if (xChild != yChild)
                return !xChild;
            if (int c = x.parent.compare(y.parent, arena))
                return c < 0;
            if (int c = x.sortOrder.compare(y.sortOrder, arena))
                return c < 0;
            if (int c = x.createdAt.compare(y.createdAt, arena))
                return c < 0;
            return x.rowid < y.rowid;
        });
        NodeList list;
        list.reserve(qsizetype(order.size()));
        for (std::size_t index : order)
            list.push_back(std::move(nodes[index]));
        if (storedTexts) {
            storedTexts->clear();
            storedTexts->reserve(order.size());
            for (std::size_t index : order)
                storedTexts->push_back(std::move(texts[index]));
        }
        return list;
    }
};

// The top-level schemaVersion of a stored snapshot text. Its keys are sorted,
// so the snapshot's own key follows the whole tree and is the last one; and
// inside a JSON string every quote is escaped, so no value holds the key.
std::optional<std::int64_t> trailingSchemaVersion(std::string_view text)
{
    constexpr std::string_view key = "\"schemaVersion\":";
    const std::size_t at = text.rfind(key);
    if (at == std::string_view::npos)
        return std::nullopt;
    const char *begin = text.data() + at + key.size();
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(begin, text.data() + text.size(), value);
    if (error != std::errc() || end == begin)
        return std::nullopt;
    return value;
}

SnapshotCondition conditionOf(std::string_view text, bool decodes, std::int64_t &schemaVersion)
{
    const auto named = trailingSchemaVersion(text);
    schemaVersion = 0;
    if (named && *named > TreeExport::kSchemaVersion) {
        schemaVersion = *named;
        return SnapshotCondition::newerVersion;
    }
    return decodes ? SnapshotCondition::readable : SnapshotCondition::damaged;
}

// Why a snapshot's text does not decode, in the terms the list uses.
StoreError unreadableSnapshot(std::string_view text, const json::DecodeError &error, const char *sql)
{
    std::int64_t schemaVersion = 0;
    if (conditionOf(text, false, schemaVersion) == SnapshotCondition::newerVersion)
        return StoreError{StoreError::Kind::decode, QString::fromUtf8(sql),
                          QStringLiteral("the snapshot was made by a newer version of TarniBar (schema %1), which "
                                         "this version cannot read")
                              .arg(schemaVersion)};
    return StoreError{StoreError::Kind::decode, QString::fromUtf8(sql),
                      QStringLiteral("the snapshot is damaged: ") + error.description()};
}

} // namespace

struct WorkspaceStore::Private {
    std::filesystem::path path;
    OpenMode mode;
    sqlite3 *db = nullptr;
    std::optional<StoreError> openError;
    bool createdFile = false; // the file did not exist before this store opened it
    std::unordered_map<const char *, sqlite3_stmt *> statements;
    json::BulkDecoder decoder;

    // What this connection last read or wrote for one workspace, and the
    // database's data_version at that time. Nodes that still share data with
    // these copies are unchanged, which makes finding an edit's rows cheap.
    std::optional<QUuid> cachedWorkspace;
    NodeList cachedNodes;
    sqlite3_int64 cachedDataVersion = -1;
    // Set: the cache (and every read of nodes) is this part of the tree.
    std::optional<NodeScope> scope;

    ~Private()
    {
        for (auto &[sql, statement] : statements)
            sqlite3_finalize(statement);
        sqlite3_close_v2(db);
    }

    StoreError sqliteError(StoreError::Kind kind, const char *sql) const
    {
        const char *message = db ? sqlite3_errmsg(db) : nullptr;
        StoreError error{kind, QString::fromUtf8(sql),
                         message && *message ? QString::fromUtf8(message) : QStringLiteral("unknown"),
                         db ? sqlite3_extended_errcode(db) : SQLITE_CANTOPEN};
        qCWarning(lcStore).noquote() << "SQLite error" << error.sqliteCode << error.message << "in"
                                     << error.sql.simplified();
        return error;
    }

    // A compiled statement, reset and ready for new bindings; compiled once
    // per connection and kept.
    Result<sqlite3_stmt *, StoreError> statement(const char *sql)
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

    // Runs a statement that returns no rows; `bind` sets its parameters.
    template <class Bind>
    StoreResult<void> execute(const char *sql, Bind &&bind)
    {
        auto prepared = statement(sql);
        if (!prepared)
            return Failure(prepared.error());
        sqlite3_stmt *s = *prepared;
        if (auto bound = bindAll(s, sql, bind); !bound)
            return bound;
        const int rc = sqlite3_step(s);
        if (rc != SQLITE_DONE) {
            StoreError error = sqliteError(StoreError::Kind::step, sql);
            sqlite3_reset(s);
            return Failure(error);
        }
        sqlite3_reset(s);
        return {};
    }

    StoreResult<void> execute(const char *sql)
    {
        return execute(sql, [](sqlite3_stmt *) {});
    }

    // Steps through a statement's rows; a step that ends in anything but the
    // end of the rows is an error, never a shorter list.
    template <class Bind, class OnRow>
    StoreResult<void> query(const char *sql, Bind &&bind, OnRow &&onRow)
    {
        auto prepared = statement(sql);
        if (!prepared)
            return Failure(prepared.error());
        sqlite3_stmt *s = *prepared;
        if (auto bound = bindAll(s, sql, bind); !bound)
            return bound;
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            if (auto result = onRow(s); !result) {
                sqlite3_reset(s);
                return result;
            }
        }
        if (rc != SQLITE_DONE) {
            StoreError error = sqliteError(StoreError::Kind::step, sql);
            sqlite3_reset(s);
            return Failure(error);
        }
        sqlite3_reset(s);
        return {};
    }

    StoreResult<sqlite3_int64> dataVersion()
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

    // One row of a node query (columns id, parent_id, sort_order,
    // created_at, payload_json and, for partial reads, rowid). `sql` names
    // the statement in an error.
    StoreResult<void> collectRow(sqlite3_stmt *s, CollectedRows &rows, const char *sql)
    {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, 4));
        if (!text) {
            rows.skippedRows = true;
            return {};
        }
        auto node = decoder.workspaceNode(std::string_view(text, size_t(sqlite3_column_bytes(s, 4))));
        if (!node) {
            const auto *id = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
            return Failure(StoreError{StoreError::Kind::decode, QString::fromUtf8(sql),
                                      QStringLiteral("node row %1: %2")
                                          .arg(QString::fromUtf8(id ? id : "(no id)"), node.error().description())});
        }
        rows.lastParent = node->parentID();
        if (rows.dedupe) {
            if (rows.seen.contains(node->id()))
                return {};
            rows.seen.insert(node->id());
        }
        const sqlite3_int64 rowid =
            sqlite3_column_count(s) > 5 ? sqlite3_column_int64(s, 5) : sqlite3_int64(rows.nodes.size());
        rows.nodes.push_back(std::move(*node));
        if (rows.keepTexts)
            rows.texts.emplace_back(text, size_t(sqlite3_column_bytes(s, 4)));
        rows.keys.push_back({SqlKey::fromColumn(s, 1, rows.arena), SqlKey::fromColumn(s, 2, rows.arena),
                             SqlKey::fromColumn(s, 3, rows.arena), rowid});
        return {};
    }

    // Reads the rows the scope names. Each query serves one group, node or
    // walk, so the cost follows the rows, not the tree.
    StoreResult<void> collectScope(const NodeScope &part, const std::string &workspaceID, CollectedRows &rows)
    {
        rows.dedupe = true;
        auto bindKey = [&](const std::optional<QUuid> &key) {
            return [&workspaceID, text = key ? uuidText(*key) : std::string()](sqlite3_stmt *s) {
                text.empty() ? void(sqlite3_bind_null(s, 1)) : bindText(s, 1, text);
                bindText(s, 2, workspaceID);
            };
        };
        auto collect = [&](const char *sql, const std::optional<QUuid> &key) {
            return query(sql, bindKey(key), [&](sqlite3_stmt *s) { return collectRow(s, rows, sql); });
        };
        for (const auto &parent : part.groups) {
            if (auto read = collect(kSelectGroup, parent); !read)
                return read;
        }
        for (const auto &parent : part.lastOfGroups) {
            if (auto read = collect(kSelectLastOfGroup, parent); !read)
                return read;
        }
        for (const QUuid &id : part.nodes) {
            if (auto read = collect(kSelectNode, id); !read)
                return read;
        }
        for (const QUuid &id : part.subtreesOf) {
            if (auto read = collect(kSelectSubtree, id); !read)
                return read;
        }
        for (const QUuid &start : part.ancestorsOf) {
            // Up the parent links until the top level, a missing parent or a
            // node met before on this walk (a cycle).
            QSet<QUuid> walked;
            std::optional<QUuid> next = start;
            while (next && !walked.contains(*next)) {
                walked.insert(*next);
                rows.lastParent.reset();
                bool found = false;
                auto read = query(kSelectNode, bindKey(next), [&](sqlite3_stmt *s) {
                    found = true;
                    return collectRow(s, rows, kSelectNode);
                });
                if (!read)
                    return read;
                next = found ? rows.lastParent : std::nullopt;
            }
        }
        return {};
    }

    // Whether the stored rows of the cached workspace are still exactly the
    // cached list; reads and decodes every row (every row of the scope, when
    // one is set), so only called once the data version says another
    // connection committed.
    StoreResult<bool> storedNodesMatchCache(const std::string &workspaceID)
    {
        if (scope) {
            CollectedRows rows;
            if (auto read = collectScope(*scope, workspaceID, rows); !read)
                return Failure(read.error());
            return !rows.skippedRows && rows.sorted(nullptr) == cachedNodes;
        }
        QHash<QUuid, qsizetype> cachedAt;
        cachedAt.reserve(cachedNodes.size());
        for (qsizetype i = 0; i < cachedNodes.size(); ++i)
            cachedAt.insert(cachedNodes[i].id(), i);
        if (cachedAt.size() != cachedNodes.size())
            return false;
        qsizetype rows = 0;
        bool same = true;
        auto read = query(
            kSelectNodes, [&](sqlite3_stmt *s) { bindText(s, 1, workspaceID); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                ++rows;
                if (!same)
                    return {};
                const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, 4));
                auto node = text ? decoder.workspaceNode(std::string_view(text, size_t(sqlite3_column_bytes(s, 4))))
                                 : json::Decoded<WorkspaceNode>(Failure(json::DecodeError{}));
                const auto found = node ? cachedAt.constFind(node->id()) : cachedAt.constEnd();
                same = found != cachedAt.constEnd() && cachedNodes[*found] == *node;
                return {};
            });
        if (!read)
            return Failure(read.error());
        return same && rows == cachedNodes.size();
    }

    // Whether the cache still describes the stored rows of `workspace`;
    // called inside a transaction, so the rows and the version belong
    // together. Confirms the cache at `version` when they do.
    StoreResult<bool> cacheHolds(const QUuid &workspace, const std::string &workspaceID, sqlite3_int64 version)
    {
        if (cachedWorkspace != workspace)
            return false;
        if (cachedDataVersion == version)
            return true;
        auto same = storedNodesMatchCache(workspaceID);
        if (same && *same)
            cachedDataVersion = version;
        return same;
    }

    void invalidateCache()
    {
        cachedWorkspace.reset();
        cachedNodes.clear();
        cachedDataVersion = -1;
    }

    // A text SQLite refuses to bind (too large) would run the statement
    // with NULL in its place; execute() and query() stop it instead.
    static inline thread_local int bindFailure = SQLITE_OK;
    static void bindText(sqlite3_stmt *s, int index, const char *data, std::size_t size)
    {
        const int rc = sqlite3_bind_text64(s, index, data, sqlite3_uint64(size), SQLITE_STATIC, SQLITE_UTF8);
        if (rc != SQLITE_OK && bindFailure == SQLITE_OK)
            bindFailure = rc;
    }
    static void bindText(sqlite3_stmt *s, int index, const std::string &text)
    {
        bindText(s, index, text.data(), text.size());
    }
    static void bindText(sqlite3_stmt *s, int index, const QByteArray &text)
    {
        bindText(s, index, text.constData(), std::size_t(text.size()));
    }

    template <class Bind>
    StoreResult<void> bindAll(sqlite3_stmt *s, const char *sql, Bind &&bind)
    {
        bindFailure = SQLITE_OK;
        bind(s);
        const int rc = std::exchange(bindFailure, SQLITE_OK);
        if (rc == SQLITE_OK)
            return {};
        sqlite3_clear_bindings(s);
        qCWarning(lcStore).noquote() << "binding a value failed:" << sqlite3_errstr(rc) << "in" << sql;
        return Failure(StoreError{StoreError::Kind::encode, QString::fromUtf8(sql),
                                  QStringLiteral("a value is too large for the database"), rc});
    }

    StoreResult<std::optional<Workspace>> fetchFirstWorkspace()
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

    StoreResult<void> saveWorkspaceLocked(const Workspace &workspace)
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

    // Binds the thirteen columns of a node row at positions 1-13.
    struct NodeRow {
        std::string id, workspaceID, parentID, kind, created, updated, lastOpened, json;
        QByteArray title, subtitle, iconKey;
        bool hasParent = false, hasSubtitle = false, hasIconKey = false, hasLastOpened = false;
        double sortOrder = 0;
        bool isCollapsed = false;

        StoreResult<void> fill(const WorkspaceNode &node)
        {
            const auto &f = node.fields();
            json.clear();
            if (auto encoded = json::appendCompact(json, node); !encoded)
                return Failure(StoreError{StoreError::Kind::encode, {},
                                          QStringLiteral("node %1: %2").arg(uuidQString(f.id), encoded.error().reason)});
            id = uuidText(f.id);
            workspaceID = uuidText(f.workspaceID);
            hasParent = f.parentID.has_value();
            if (hasParent)
                parentID = uuidText(*f.parentID);
            kind = std::string(rawValue(f.kind));
            title = f.title.toUtf8();
            hasSubtitle = f.subtitle.has_value();
            if (hasSubtitle)
                subtitle = f.subtitle->toUtf8();
            sortOrder = f.sortOrder;
            isCollapsed = f.isCollapsed;
            hasIconKey = f.iconKey.has_value();
            if (hasIconKey)
                iconKey = f.iconKey->toUtf8();
            created = timestampText(f.createdAt);
            updated = timestampText(f.updatedAt);
            hasLastOpened = f.lastOpenedAt.has_value();
            if (hasLastOpened)
                lastOpened = timestampText(*f.lastOpenedAt);
            return {};
        }

        void bind(sqlite3_stmt *s) const
        {
            bindText(s, 1, id);
            bindText(s, 2, workspaceID);
            hasParent ? bindText(s, 3, parentID) : void(sqlite3_bind_null(s, 3));
            bindText(s, 4, kind);
            bindText(s, 5, title);
            hasSubtitle ? bindText(s, 6, subtitle) : void(sqlite3_bind_null(s, 6));
            sqlite3_bind_double(s, 7, sortOrder);
            sqlite3_bind_int(s, 8, isCollapsed ? 1 : 0);
            hasIconKey ? bindText(s, 9, iconKey) : void(sqlite3_bind_null(s, 9));
            bindText(s, 10, created);
            bindText(s, 11, updated);
            hasLastOpened ? bindText(s, 12, lastOpened) : void(sqlite3_bind_null(s, 12));
            bindText(s, 13, json);
        }
    };

    StoreResult<void> insertNode(NodeRow &row, const WorkspaceNode &node)
    {
        if (auto filled = row.fill(node); !filled)
            return filled;
        return execute(kInsertNode, [&](sqlite3_stmt *s) { row.bind(s); });
    }

    StoreResult<void> rewriteAll(const NodeList &nodes, const std::string &workspaceID)
    {
        if (auto deleted = execute(kDeleteNodesOfWorkspace, [&](sqlite3_stmt *s) { bindText(s, 1, workspaceID); });
            !deleted)
            return deleted;
        NodeRow row;
        for (const auto &node : nodes) {
            if (auto inserted = insertNode(row, node); !inserted)
                return inserted;
        }
        return {};
    }

    enum class Outcome { written, needsRewrite };

    // Writes the records at `positions` (ascending) that differ from the
    // cached ones and inserts those past the cached list, when the cache
    // holds the same identifiers there and the positions name every added
    // node; the rest of the list is taken to be the cached one.
    Result<Outcome, StoreError> writeInPlace(const NodeList &nodes, const QList<qsizetype> &positions,
                                             const QUuid &workspace, const std::string &workspaceID)
    {
        const qsizetype cached = cachedNodes.size();
        if (nodes.size() < cached)
            return Outcome::needsRewrite;
        qsizetype added = 0;
        qsizetype previous = -1;
        for (qsizetype i : positions) {
            if (i <= previous || i >= nodes.size() || nodes[i].workspaceID() != workspace)
                return Outcome::needsRewrite;
            if (i >= cached)
                ++added;
            else if (nodes[i].id() != cachedNodes[i].id())
                return Outcome::needsRewrite;
            previous = i;
        }
        if (added != nodes.size() - cached)
            return Outcome::needsRewrite;
        NodeRow row;
        for (qsizetype i : positions) {
            if (i >= cached) {
                if (auto inserted = insertNode(row, nodes[i]); !inserted)
                    return Failure(inserted.error());
                continue;
            }
            if (nodes[i] == cachedNodes[i])
                continue;
            if (auto filled = row.fill(nodes[i]); !filled)
                return Failure(filled.error());
            auto updated = execute(kUpdateNode, [&](sqlite3_stmt *s) {
                row.bind(s);
                bindText(s, 14, row.id);
                bindText(s, 15, workspaceID);
            });
            if (!updated)
                return Failure(updated.error());
            if (sqlite3_changes(db) != 1)
                return Outcome::needsRewrite;
        }
        return Outcome::written;
    }

    // Writes the difference between the cached list and `nodes`: the common
    // prefix and suffix (matched by id, position by position) are compared in
    // place; only the stretch between them is matched through a hash map.
    // Anything the cache cannot vouch for asks for the full rewrite instead.
    Result<Outcome, StoreError> writeChanges(const NodeList &nodes, const QUuid &workspace,
                                             const std::string &workspaceID)
    {
        const NodeList &old = cachedNodes;
        const qsizetype n = nodes.size();
        const qsizetype m = old.size();
        std::vector<qsizetype> updates; // indexes into nodes, paired with old rows of the same id
        std::vector<qsizetype> inserts;
        std::vector<qsizetype> deletes; // indexes into old

        auto sameId = [](const WorkspaceNode &a, const WorkspaceNode &b) {
            return a.isSharedWith(b) || a.id() == b.id();
        };
        qsizetype prefix = 0;
        while (prefix < n && prefix < m && sameId(nodes[prefix], old[prefix])) {
            if (!(nodes[prefix] == old[prefix]))
                updates.push_back(prefix);
            ++prefix;
        }
        qsizetype suffix = 0;
        while (suffix < n - prefix && suffix < m - prefix && sameId(nodes[n - 1 - suffix], old[m - 1 - suffix])) {
            if (!(nodes[n - 1 - suffix] == old[m - 1 - suffix]))
                updates.push_back(n - 1 - suffix);
            ++suffix;
        }

        if (prefix + suffix < n || prefix + suffix < m) {
            struct Slot {
                qsizetype oldIndex;
                bool matched;
            };
            QHash<QUuid, Slot> middle;
            middle.reserve(m - prefix - suffix);
            for (qsizetype j = prefix; j < m - suffix; ++j)
                middle.insert(old[j].id(), Slot{j, false});
            for (qsizetype i = prefix; i < n - suffix; ++i) {
                auto found = middle.find(nodes[i].id());
                if (found == middle.end()) {
                    inserts.push_back(i);
                    continue;
                }
                if (found->matched)
                    return Outcome::needsRewrite; // a repeated id: let the rewrite report it
                found->matched = true;
                if (!(nodes[i] == old[found->oldIndex]))
                    updates.push_back(i);
            }
            for (const Slot &slot : std::as_const(middle)) {
                if (!slot.matched)
                    deletes.push_back(slot.oldIndex);
            }
        }

        // Rows of another workspace keep the plain replace semantics.
        for (qsizetype i : updates) {
            if (nodes[i].workspaceID() != workspace)
                return Outcome::needsRewrite;
        }
        for (qsizetype i : inserts) {
            if (nodes[i].workspaceID() != workspace)
                return Outcome::needsRewrite;
        }

        // In the order of the list as loaded, which is the parent index's
        // order: a big delete then visits each page once, not at random.
        std::sort(deletes.begin(), deletes.end());
        for (qsizetype j : deletes) {
            const std::string id = uuidText(old[j].id());
            auto deleted = execute(kDeleteNode, [&](sqlite3_stmt *s) {
                bindText(s, 1, id);
                bindText(s, 2, workspaceID);
            });
            if (!deleted)
                return Failure(deleted.error());
            if (sqlite3_changes(db) != 1)
                return Outcome::needsRewrite;
        }
        NodeRow row;
        for (qsizetype i : updates) {
            if (auto filled = row.fill(nodes[i]); !filled)
                return Failure(filled.error());
            auto updated = execute(kUpdateNode, [&](sqlite3_stmt *s) {
                row.bind(s);
                bindText(s, 14, row.id);
                bindText(s, 15, workspaceID);
            });
            if (!updated)
                return Failure(updated.error());
            if (sqlite3_changes(db) != 1)
                return Outcome::needsRewrite;
        }
        for (qsizetype i : inserts) {
            if (auto inserted = insertNode(row, nodes[i]); !inserted)
                return Failure(inserted.error());
        }
        return Outcome::written;
    }
};

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
                            kCreateSnapshotHeadTriggers, kCreateNodesParentIndex}) {
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
    const Timestamp created = currentTimestamp();
    Workspace workspace{newUuid(), QStringLiteral("Workspace"), created, currentTimestamp()};
    if (auto saved = d->saveWorkspaceLocked(workspace); !saved)
        return Failure(saved.error());
    return workspace;
}

StoreResult<void> WorkspaceStore::saveWorkspace(const Workspace &workspace)
{
    std::lock_guard guard(m_lock);
    return d->saveWorkspaceLocked(workspace);
}

StoreResult<NodeList> WorkspaceStore::fetchNodes(const QUuid &workspaceID)
{
    return fetchNodes(workspaceID, nullptr);
}

StoreResult<NodeList> WorkspaceStore::fetchNodes(const QUuid &workspaceID, std::vector<std::string> *storedTexts)
{
    std::lock_guard guard(m_lock);
    const std::string workspaceText = uuidText(workspaceID);

    // One read transaction, so the rows and the data version belong together.
    if (auto begun = d->execute("BEGIN;"); !begun)
        return Failure(begun.error());
    auto finish = [&] { (void)d->execute(kRollback); };

    auto version = d->dataVersion();
    if (!version) {
        finish();
        return Failure(version.error());
    }

    CollectedRows rows;
    rows.keepTexts = storedTexts != nullptr;
    auto read = d->scope ? d->collectScope(*d->scope, workspaceText, rows)
                         : d->query(
                               kSelectNodes, [&](sqlite3_stmt *s) { Private::bindText(s, 1, workspaceText); },
                               [&](sqlite3_stmt *s) { return d->collectRow(s, rows, kSelectNodes); });
    finish();
    if (!read)
        return Failure(read.error());
    NodeList nodes = rows.sorted(storedTexts);

    // Rows that were skipped would survive a write that only touches changes.
    if (rows.skippedRows) {
        d->invalidateCache();
    } else {
        d->cachedWorkspace = workspaceID;
        d->cachedNodes = nodes;
        d->cachedDataVersion = *version;
    }
    return nodes;
}

void WorkspaceStore::setNodeScope(std::optional<NodeScope> scope)
{
    std::lock_guard guard(m_lock);
    d->invalidateCache();
    d->scope = std::move(scope);
}

bool WorkspaceStore::readsPartialTree() const
{
    return d->scope.has_value();
}

StoreResult<std::optional<WorkspaceNode>> WorkspaceStore::fetchNode(const QUuid &workspaceID, const QUuid &nodeID)
{
    std::lock_guard guard(m_lock);
    CollectedRows rows;
    const std::string workspaceText = uuidText(workspaceID);
    const std::string id = uuidText(nodeID);
    auto read = d->query(
        kSelectNode,
        [&](sqlite3_stmt *s) {
            Private::bindText(s, 1, id);
            Private::bindText(s, 2, workspaceText);
        },
        [&](sqlite3_stmt *s) { return d->collectRow(s, rows, kSelectNode); });
    if (!read)
        return Failure(read.error());
    if (rows.nodes.empty())
        return std::optional<WorkspaceNode>();
    return std::optional(std::move(rows.nodes.front()));
}

StoreResult<bool> WorkspaceStore::nodesChangedElsewhere(const QUuid &workspaceID)
{
    std::lock_guard guard(m_lock);
    if (d->cachedWorkspace != workspaceID)
        return false;
    auto version = d->dataVersion();
    if (!version)
        return Failure(version.error());
    if (*version == d->cachedDataVersion)
        return false;
    if (auto begun = d->execute("BEGIN;"); !begun)
        return Failure(begun.error());
    auto again = d->dataVersion();
    auto holds = again ? d->cacheHolds(workspaceID, uuidText(workspaceID), *again)
                       : StoreResult<bool>(Failure(again.error()));
    (void)d->execute(kRollback);
    if (!holds)
        return Failure(holds.error());
    return !*holds;
}

StoreResult<void> WorkspaceStore::replaceNodes(const NodeList &nodes, const QUuid &workspaceID)
{
    return writeNodes(nodes, workspaceID, nullptr);
}

StoreResult<void> WorkspaceStore::saveWorkspaceAndNodes(const Workspace &workspace, const NodeList &nodes)
{
    return writeNodes(nodes, workspace.id, &workspace);
}

StoreResult<void> WorkspaceStore::writeNodes(const NodeList &nodes, const QUuid &workspaceID, const Workspace *workspace,
                                             const std::function<StoreResult<void>()> &alongside,
                                             const QList<qsizetype> *inPlace)
{
    std::lock_guard guard(m_lock);
    const std::string workspaceText = uuidText(workspaceID);

    if (auto begun = d->execute(kBegin); !begun)
        return Failure(begun.error());
    // The rollback puts back the rows the cache describes, but whether it
    // did is checked against the rows before the next write.
    auto abandon = [&](const StoreError &error) -> StoreResult<void> {
        (void)d->execute(kRollback);
        d->cachedDataVersion = -1;
        return Failure(error);
    };

    auto version = d->dataVersion();
    if (!version)
        return abandon(version.error());

    // Part of the tree is written only over the rows read for it.
    auto partialRefused = [&]() -> StoreResult<void> {
        (void)d->execute(kRollback);
        qCInfo(lcStore) << "refused a write of part of the tree that would need the whole tree rewritten";
        return Failure(StoreError{StoreError::Kind::changedElsewhere, {}, {}});
    };
    if (d->scope && d->cachedWorkspace != workspaceID)
        return partialRefused();

    bool written = false;
    bool writtenInPlace = false;
    if (d->cachedWorkspace == workspaceID) {
        auto holds = d->cacheHolds(workspaceID, workspaceText, *version);
        if (!holds)
            return abandon(holds.error());
        if (!*holds) {
            (void)d->execute(kRollback);
            qCInfo(lcStore) << "refused a write: another connection changed the nodes since they were read";
            return Failure(StoreError{StoreError::Kind::changedElsewhere, {}, {}});
        }
        auto outcome = Result<Private::Outcome, StoreError>(Private::Outcome::needsRewrite);
        if (inPlace)
            outcome = d->writeInPlace(nodes, *inPlace, workspaceID, workspaceText);
        writtenInPlace = outcome && *outcome == Private::Outcome::written;
        if (outcome && !writtenInPlace)
            outcome = d->writeChanges(nodes, workspaceID, workspaceText);
        if (!outcome)
            return abandon(outcome.error());
        if (*outcome == Private::Outcome::needsRewrite) {
            if (d->scope) {
                d->cachedDataVersion = -1;
                return partialRefused();
            }
            // Undo whatever part of the difference was written, then rewrite.
            if (auto rolledBack = d->execute(kRollback); !rolledBack)
                return abandon(rolledBack.error());
            if (auto begun = d->execute(kBegin); !begun) {
                d->cachedDataVersion = -1;
                return Failure(begun.error());
            }
            // Another connection may have committed in between.
            auto again = d->dataVersion();
            if (!again)
                return abandon(again.error());
            auto holds = d->cacheHolds(workspaceID, workspaceText, *again);
            if (!holds)
                return abandon(holds.error());
            if (!*holds) {
                (void)d->execute(kRollback);
                return Failure(StoreError{StoreError::Kind::changedElsewhere, {}, {}});
            }
            version = again;
        } else {
            written = true;
        }
    }
    if (!written) {
        if (auto rewritten = d->rewriteAll(nodes, workspaceText); !rewritten)
            return abandon(rewritten.error());
    }
    if (workspace) {
        if (auto saved = d->saveWorkspaceLocked(*workspace); !saved)
            return abandon(saved.error());
    }
    if (alongside) {
        if (auto done = alongside(); !done)
            return abandon(done.error());
    }
    if (auto committed = d->execute(kCommit); !committed)
        return abandon(committed.error());

    d->cachedWorkspace = workspaceID;
    if (writtenInPlace) {
        // Sharing `nodes` instead would make the caller's next edit copy it.
        for (qsizetype i : *inPlace) {
            if (i < d->cachedNodes.size())
                d->cachedNodes[i] = nodes[i];
            else
                d->cachedNodes.append(nodes[i]);
        }
    } else {
        d->cachedNodes = nodes;
    }
    d->cachedDataVersion = *version;
    return {};
}

StoreResult<void> WorkspaceStore::saveSnapshot(const WorkspaceSnapshot &snapshot)
{
    std::lock_guard guard(m_lock);
    return writeSnapshotLocked(snapshot, SnapshotOrigin::manual, std::nullopt);
}

StoreResult<QList<WorkspaceSnapshot>> WorkspaceStore::fetchSnapshots(const QUuid &workspaceID)
{
    std::lock_guard guard(m_lock);
    const std::string workspaceText = uuidText(workspaceID);
    QList<WorkspaceSnapshot> snapshots;
    auto read = d->query(
        kSelectSnapshots, [&](sqlite3_stmt *s) { Private::bindText(s, 1, workspaceText); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
            if (!text)
                return {};
            const std::string_view stored(text, size_t(sqlite3_column_bytes(s, 0)));
            auto snapshot = d->decoder.workspaceSnapshot(stored);
            if (!snapshot)
                return Failure(unreadableSnapshot(stored, snapshot.error(), kSelectSnapshots));
            snapshots.push_back(std::move(*snapshot));
            return {};
        });
    if (!read)
        return Failure(read.error());
    return snapshots;
}

StoreResult<void> WorkspaceStore::reset()
{
    std::lock_guard guard(m_lock);
    d->invalidateCache();
    if (auto begun = d->execute(kBegin); !begun)
        return begun;
    for (const char *sql : {kDeleteSnapshots, kDeleteNodes, kDeleteWorkspaces, kDeleteAllHistoryRecords,
                            kDeleteAllHistory, kDeleteAllTrashNodes, kDeleteAllTrash, kDeleteAllSnapshotMarks,
                            kDeleteAllSnapshotSummaries, kDeleteAllSnapshotHeads}) {
        if (auto deleted = d->execute(sql); !deleted) {
            (void)d->execute(kRollback);
            return deleted;
        }
    }
    if (auto committed = d->execute(kCommit); !committed) {
        (void)d->execute(kRollback);
        return committed;
    }
    return {};
}

namespace {

constexpr const char *kInsertHistory =
    "INSERT INTO edit_history (workspace_id, action, subject, undone, record_count, created_at)\nVALUES (?, ?, ?, 0, ?, ?);";
constexpr const char *kInsertHistoryRecord =
    "INSERT INTO edit_history_records (step, role, ref_id, payload_json) VALUES (?, ?, ?, ?);";
constexpr const char *kUpdateHistoryCount = "UPDATE edit_history SET record_count = ? WHERE seq = ?;";
constexpr const char *kDeleteHistoryRecordsOfStep = "DELETE FROM edit_history_records WHERE step = ?;";
constexpr const char *kDeleteDigestRecordsOfStep = "DELETE FROM edit_history_records WHERE step = ? AND role = 6;";
constexpr const char *kSelectLiveNode = "SELECT payload_json FROM nodes WHERE id = ?;";
constexpr const char *kDeleteRedoRecords =
    "DELETE FROM edit_history_records WHERE step IN (SELECT seq FROM edit_history WHERE workspace_id = ? AND undone = 1);";
constexpr const char *kDeleteRedo = "DELETE FROM edit_history WHERE workspace_id = ? AND undone = 1;";
constexpr const char *kSetUndone = "UPDATE edit_history SET undone = ? WHERE seq = ?;";
constexpr const char *kSelectHistory =
    "SELECT seq, action, subject, undone, record_count FROM edit_history WHERE workspace_id = ? ORDER BY seq;";
constexpr const char *kSelectHistoryStep = "SELECT action, subject FROM edit_history WHERE seq = ?;";
constexpr const char *kSelectHistoryRecords =
    "SELECT role, ref_id, payload_json FROM edit_history_records WHERE step = ? ORDER BY rowid;";
constexpr const char *kDeleteStepsRecords =
    "DELETE FROM edit_history_records WHERE step IN (SELECT seq FROM edit_history WHERE workspace_id = ?1 AND undone = ?2 "
    "AND seq >= ?3 AND seq <= ?4);";
constexpr const char *kDeleteSteps =
    "DELETE FROM edit_history WHERE workspace_id = ?1 AND undone = ?2 AND seq >= ?3 AND seq <= ?4;";
constexpr const char *kSelectStepsReferring =
    "SELECT h.seq, h.undone FROM edit_history h JOIN edit_history_records r ON r.step = h.seq\n"
    "WHERE h.workspace_id = ? AND r.role IN (2, 3) AND r.ref_id = ?;";
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
constexpr const char *kHasTable = "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?;";

enum Role {
    kBefore = 0,
    kAfter = 1,
    kTrashAdded = 2,
    kTrashRemoved = 3,
    kTrashAddedNode = 4,
    kTrashRemovedNode = 5,
    kAfterDigest = 6, // the digest of an `after` record that is a live row
};

// A record's digest without the stamps that change without an undo step
// (updatedAt, lastOpenedAt): hex MD5 of its compact JSON. Writing a digest
// instead of the record keeps a step's size to one short row per record,
// which halves what a large import writes.
Result<std::string, json::EncodeError> stampFreeDigest(const WorkspaceNode &node, std::string &scratch)
{
    WorkspaceNode stampless = node;
    stampless.edit().updatedAt = Timestamp{};
    stampless.edit().lastOpenedAt = std::nullopt;
    scratch.clear();
    if (auto encoded = json::appendCompact(scratch, stampless); !encoded)
        return Failure(encoded.error());
    return QCryptographicHash::hash(QByteArrayView(scratch.data(), qsizetype(scratch.size())), QCryptographicHash::Md5)
        .toHex()
        .toStdString();
}

QString columnText(sqlite3_stmt *s, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(s, column)) : QString();
}

std::string_view columnView(sqlite3_stmt *s, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, column));
    return text ? std::string_view(text, size_t(sqlite3_column_bytes(s, column))) : std::string_view();
}

// A trash entry's header inside a history step.
std::string entryHeaderJson(const TrashEntry &entry)
{
    QJsonObject object{{QStringLiteral("workspaceID"), uuidQString(entry.workspaceID)},
                       {QStringLiteral("deletedAt"), timestampQString(entry.deletedAt)},
                       {QStringLiteral("title"), entry.title},
                       {QStringLiteral("position"), qint64(entry.position)}};
    if (entry.parentID)
        object.insert(QStringLiteral("parentID"), uuidQString(*entry.parentID));
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

std::optional<TrashEntry> entryFromHeader(std::string_view id, std::string_view json)
{
    QJsonParseError error;
    const auto document = QJsonDocument::fromJson(QByteArray(json.data(), qsizetype(json.size())), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    TrashEntry entry;
    auto entryID = parseUuid(id);
    auto workspace = parseUuid(object.value(QStringLiteral("workspaceID")).toString());
    auto deleted = parseTimestamp(object.value(QStringLiteral("deletedAt")).toString().toStdString());
    const QJsonValue title = object.value(QStringLiteral("title"));
    const QJsonValue position = object.value(QStringLiteral("position"));
    if (!entryID || !workspace || !deleted || !title.isString() || !position.isDouble())
        return std::nullopt;
    entry.id = *entryID;
    entry.workspaceID = *workspace;
    entry.deletedAt = *deleted;
    entry.title = title.toString();
    entry.position = position.toInteger();
    if (object.contains(QStringLiteral("parentID"))) {
        auto parent = parseUuid(object.value(QStringLiteral("parentID")).toString());
        if (!parent)
            return std::nullopt;
        entry.parentID = *parent;
    }
    return entry;
}

StoreError decodeError(const char *sql, const QString &what)
{
    return StoreError{StoreError::Kind::decode, QString::fromUtf8(sql), what};
}

} // namespace

std::int64_t HistoryStep::recordCount() const
{
    std::int64_t count = before.size() + after.size();
    for (const auto &entry : trashAdded)
        count += entry.nodes.size();
    for (const auto &entry : trashRemoved)
        count += entry.nodes.size();
    return count;
}

struct WorkspaceStore::HistorySql {
    Private &d;

    StoreResult<bool> hasTable(const char *name)
    {
        bool found = false;
        auto read = d.query(
            kHasTable, [&](sqlite3_stmt *s) { sqlite3_bind_text(s, 1, name, -1, SQLITE_STATIC); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                found = sqlite3_column_int(s, 0) > 0;
                return {};
            });
        if (!read)
            return Failure(read.error());
        return found;
    }

    StoreResult<void> insertRecord(std::int64_t step, int role, const std::string &ref, const std::string &json)
    {
        return d.execute(kInsertHistoryRecord, [&](sqlite3_stmt *s) {
            sqlite3_bind_int64(s, 1, step);
            sqlite3_bind_int(s, 2, role);
            Private::bindText(s, 3, ref);
            Private::bindText(s, 4, json);
        });
    }

    StoreResult<void> insertNodeRecords(std::int64_t step, int role, const std::string &ref, const NodeList &nodes)
    {
        std::string json;
        for (const WorkspaceNode &node : nodes) {
            json.clear();
            if (auto encoded = json::appendCompact(json, node); !encoded)
                return Failure(StoreError{StoreError::Kind::encode, {}, encoded.error().reason});
            if (auto inserted = insertRecord(step, role, ref.empty() ? uuidText(node.id()) : ref, json); !inserted)
                return inserted;
        }
        return {};
    }

    StoreResult<void> insertStepRecords(std::int64_t step, const HistoryStep &history)
    {
        if (auto done = insertNodeRecords(step, kBefore, {}, history.before); !done)
            return done;
        std::string scratch;
        for (const WorkspaceNode &node : history.after) {
            auto digest = stampFreeDigest(node, scratch);
            if (!digest)
                return Failure(StoreError{StoreError::Kind::encode, {}, digest.error().reason});
            if (auto done = insertRecord(step, kAfterDigest, uuidText(node.id()), *digest); !done)
                return done;
        }
        for (const auto &[entries, headerRole, nodeRole] :
             {std::tuple{&history.trashAdded, kTrashAdded, kTrashAddedNode},
              std::tuple{&history.trashRemoved, kTrashRemoved, kTrashRemovedNode}}) {
            for (const TrashEntry &entry : *entries) {
                const std::string ref = uuidText(entry.id);
                if (auto done = insertRecord(step, headerRole, ref, entryHeaderJson(entry)); !done)
                    return done;
                if (auto done = insertNodeRecords(step, nodeRole, ref, entry.nodes); !done)
                    return done;
            }
        }
        return {};
    }

    StoreResult<void> deleteSteps(const std::string &workspace, bool undone, std::int64_t from, std::int64_t to)
    {
        auto bind = [&](sqlite3_stmt *s) {
            Private::bindText(s, 1, workspace);
            sqlite3_bind_int(s, 2, undone ? 1 : 0);
            sqlite3_bind_int64(s, 3, from);
            sqlite3_bind_int64(s, 4, to);
        };
        if (auto done = d.execute(kDeleteStepsRecords, bind); !done)
            return done;
        return d.execute(kDeleteSteps, bind);
    }

    // Drops the oldest steps until both bounds hold; the newest always stays.
    StoreResult<void> trim(const std::string &workspace)
    {
        std::vector<std::pair<std::int64_t, std::int64_t>> steps; // seq, records
        auto read = d.query(
            kSelectHistory, [&](sqlite3_stmt *s) { Private::bindText(s, 1, workspace); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                steps.emplace_back(sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 4));
                return {};
            });
        if (!read)
            return read;
        std::int64_t kept = 0;
        std::int64_t records = 0;
        std::optional<std::int64_t> dropThrough;
        for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
            if (kept > 0 && (kept + 1 > kMaxHistorySteps || records + it->second > kMaxHistoryRecords)) {
                dropThrough = it->first;
                break;
            }
            ++kept;
            records += it->second;
        }
        if (!dropThrough)
            return {};
        return deleteSteps(workspace, false, std::numeric_limits<std::int64_t>::min(), *dropThrough);
    }

    StoreResult<void> insertTrash(const TrashEntry &entry)
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

    StoreResult<void> deleteTrash(const QUuid &entryID, const std::string &workspace)
    {
        const std::string id = uuidText(entryID);
        if (auto done = d.execute(kDeleteTrashNodes, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); }); !done)
            return done;
        return d.execute(kDeleteTrash, [&](sqlite3_stmt *s) {
            Private::bindText(s, 1, id);
            Private::bindText(s, 2, workspace);
        });
    }

    StoreResult<std::optional<std::int64_t>> apply(const HistoryWrite &history, const std::string &workspace)
    {
        std::optional<std::int64_t> recorded;
        switch (history.kind) {
        case HistoryWrite::Kind::none:
            break;
        case HistoryWrite::Kind::record: {
            auto bindWorkspace = [&](sqlite3_stmt *s) { Private::bindText(s, 1, workspace); };
            if (auto done = d.execute(kDeleteRedoRecords, bindWorkspace); !done)
                return Failure(done.error());
            if (auto done = d.execute(kDeleteRedo, bindWorkspace); !done)
                return Failure(done.error());
            const QByteArray action = history.step->action.toUtf8();
            const QByteArray subject = history.step->subject.toUtf8();
            const std::string created = timestampText(currentTimestamp());
            auto inserted = d.execute(kInsertHistory, [&](sqlite3_stmt *s) {
                Private::bindText(s, 1, workspace);
                Private::bindText(s, 2, action);
                Private::bindText(s, 3, subject);
                sqlite3_bind_int64(s, 4, history.step->recordCount());
                Private::bindText(s, 5, created);
            });
            if (!inserted)
                return Failure(inserted.error());
            recorded = sqlite3_last_insert_rowid(d.db);
            if (auto done = insertStepRecords(*recorded, *history.step); !done)
                return Failure(done.error());
            if (auto done = trim(workspace); !done)
                return Failure(done.error());
            break;
        }
        case HistoryWrite::Kind::amend: {
            const std::int64_t seq = history.sequence;
            if (auto done = d.execute(kDeleteHistoryRecordsOfStep, [&](sqlite3_stmt *s) { sqlite3_bind_int64(s, 1, seq); });
                !done)
                return Failure(done.error());
            if (auto done = insertStepRecords(seq, *history.step); !done)
                return Failure(done.error());
            auto updated = d.execute(kUpdateHistoryCount, [&](sqlite3_stmt *s) {
                sqlite3_bind_int64(s, 1, history.step->recordCount());
                sqlite3_bind_int64(s, 2, seq);
            });
            if (!updated)
                return Failure(updated.error());
            recorded = seq;
            break;
        }
        case HistoryWrite::Kind::undo:
        case HistoryWrite::Kind::redo: {
            auto updated = d.execute(kSetUndone, [&](sqlite3_stmt *s) {
                sqlite3_bind_int(s, 1, history.kind == HistoryWrite::Kind::undo ? 1 : 0);
                sqlite3_bind_int64(s, 2, history.sequence);
            });
            if (!updated)
                return Failure(updated.error());
            if (sqlite3_changes(d.db) != 1)
                return Failure(StoreError{StoreError::Kind::step, QString::fromUtf8(kSetUndone),
                                          QStringLiteral("history step %1 is gone").arg(history.sequence)});
            // Once undone, the live rows no longer hold what redo needs.
            if (history.kind == HistoryWrite::Kind::undo && history.step && history.step->afterFromLiveRows) {
                const std::int64_t seq = history.sequence;
                if (auto done = d.execute(kDeleteDigestRecordsOfStep,
                                          [&](sqlite3_stmt *s) { sqlite3_bind_int64(s, 1, seq); });
                    !done)
                    return Failure(done.error());
                if (auto done = insertNodeRecords(seq, kAfter, {}, history.step->after); !done)
                    return Failure(done.error());
            }
            break;
        }
        }
        for (const QUuid &id : history.trashDelete) {
            if (auto done = deleteTrash(id, workspace); !done)
                return Failure(done.error());
        }
        for (const TrashEntry &entry : history.trashInsert) {
            if (auto done = insertTrash(entry); !done)
                return Failure(done.error());
        }
        return recorded;
    }
};

StoreResult<std::optional<std::int64_t>> WorkspaceStore::saveEdit(const Workspace &workspace, const NodeList &nodes,
                                                                  const HistoryWrite &history)
{
    return saveEditWith(workspace, nodes, history, nullptr);
}

StoreResult<std::optional<std::int64_t>> WorkspaceStore::saveEditInPlace(const Workspace &workspace,
                                                                         const NodeList &nodes,
                                                                         const QList<qsizetype> &positions,
                                                                         const HistoryWrite &history)
{
    return saveEditWith(workspace, nodes, history, &positions);
}

StoreResult<std::optional<std::int64_t>> WorkspaceStore::saveEditWith(const Workspace &workspace,
                                                                      const NodeList &nodes,
                                                                      const HistoryWrite &history,
                                                                      const QList<qsizetype> *inPlace)
{
    std::optional<std::int64_t> recorded;
    const std::string workspaceText = uuidText(workspace.id);
    auto written = writeNodes(
        nodes, workspace.id, &workspace,
        [&]() -> StoreResult<void> {
            auto applied = HistorySql{*d}.apply(history, workspaceText);
            if (!applied)
                return Failure(applied.error());
            recorded = *applied;
            return {};
        },
        inPlace);
    if (!written)
        return Failure(written.error());
    return recorded;
}

StoreResult<QList<HistoryEntry>> WorkspaceStore::fetchHistory(const QUuid &workspaceID)
{
    std::lock_guard guard(m_lock);
    QList<HistoryEntry> entries;
    auto present = HistorySql{*d}.hasTable("edit_history");
    if (!present)
        return Failure(present.error());
    if (!*present)
        return entries;
    const std::string workspace = uuidText(workspaceID);
    auto read = d->query(
        kSelectHistory, [&](sqlite3_stmt *s) { Private::bindText(s, 1, workspace); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            entries.push_back(HistoryEntry{sqlite3_column_int64(s, 0), columnText(s, 1), columnText(s, 2),
                                           sqlite3_column_int(s, 3) != 0});
            return {};
        });
    if (!read)
        return Failure(read.error());
    return entries;
}

StoreResult<HistoryStep> WorkspaceStore::fetchHistoryStep(std::int64_t sequence)
{
    std::lock_guard guard(m_lock);
    HistoryStep step;
    step.sequence = sequence;
    bool found = false;
    auto head = d->query(
        kSelectHistoryStep, [&](sqlite3_stmt *s) { sqlite3_bind_int64(s, 1, sequence); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            found = true;
            step.action = columnText(s, 0);
            step.subject = columnText(s, 1);
            return {};
        });
    if (!head)
        return Failure(head.error());
    if (!found)
        return Failure(decodeError(kSelectHistoryStep, QStringLiteral("history step %1 is missing").arg(sequence)));

    std::vector<std::pair<std::string, std::string>> digests; // id, digest
    auto read = d->query(
        kSelectHistoryRecords, [&](sqlite3_stmt *s) { sqlite3_bind_int64(s, 1, sequence); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            const int role = sqlite3_column_int(s, 0);
            const std::string_view ref = columnView(s, 1);
            const std::string_view json = columnView(s, 2);
            if (role == kAfterDigest) {
                digests.emplace_back(ref, json);
                return {};
            }
            if (role == kTrashAdded || role == kTrashRemoved) {
                auto entry = entryFromHeader(ref, json);
                if (!entry)
                    return Failure(decodeError(kSelectHistoryRecords,
                                               QStringLiteral("history step %1: a trash entry does not decode").arg(sequence)));
                (role == kTrashAdded ? step.trashAdded : step.trashRemoved).push_back(std::move(*entry));
                return {};
            }
            auto node = d->decoder.workspaceNode(json);
            if (!node)
                return Failure(decodeError(kSelectHistoryRecords, QStringLiteral("history step %1: %2")
                                                                      .arg(sequence)
                                                                      .arg(node.error().description())));
            switch (role) {
            case kBefore:
                step.before.push_back(std::move(*node));
                return {};
            case kAfter:
                step.after.push_back(std::move(*node));
                return {};
            case kTrashAddedNode:
            case kTrashRemovedNode: {
                auto &entries = role == kTrashAddedNode ? step.trashAdded : step.trashRemoved;
                const auto owner = parseUuid(ref);
                if (entries.isEmpty() || !owner || entries.last().id != *owner)
                    return Failure(decodeError(kSelectHistoryRecords,
                                               QStringLiteral("history step %1: a trash record has no entry").arg(sequence)));
                entries.last().nodes.push_back(std::move(*node));
                return {};
            }
            default:
                return Failure(decodeError(kSelectHistoryRecords,
                                           QStringLiteral("history step %1: unknown record role %2").arg(sequence).arg(role)));
            }
        });
    if (!read)
        return Failure(read.error());

    step.afterFromLiveRows = !digests.empty();
    std::string scratch;
    for (const auto &[id, digest] : digests) {
        std::optional<WorkspaceNode> live;
        auto found = d->query(
            kSelectLiveNode, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                auto node = d->decoder.workspaceNode(columnView(s, 0));
                if (node)
                    live = std::move(*node);
                return {};
            });
        if (!found)
            return Failure(found.error());
        auto liveDigest = live ? stampFreeDigest(*live, scratch) : Result<std::string, json::EncodeError>(std::string());
        if (!live || !liveDigest || *liveDigest != digest) {
            step.afterChanged = true;
            step.after.clear();
            break;
        }
        step.after.push_back(std::move(*live));
    }
    return step;
}

StoreResult<void> WorkspaceStore::clearHistory(const QUuid &workspaceID)
{
    std::lock_guard guard(m_lock);
    const std::string workspace = uuidText(workspaceID);
    if (auto begun = d->execute(kBegin); !begun)
        return begun;
    HistorySql sql{*d};
    for (bool undone : {false, true}) {
        if (auto done = sql.deleteSteps(workspace, undone, std::numeric_limits<std::int64_t>::min(),
                                        std::numeric_limits<std::int64_t>::max());
            !done) {
            (void)d->execute(kRollback);
            return done;
        }
    }
    if (auto committed = d->execute(kCommit); !committed) {
        (void)d->execute(kRollback);
        return committed;
    }
    return {};
}

StoreResult<QList<TrashSummary>> WorkspaceStore::fetchTrash(const QUuid &workspaceID)
{
    std::lock_guard guard(m_lock);
    QList<TrashSummary> entries;
    auto present = HistorySql{*d}.hasTable("trash");
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
    auto present = HistorySql{*d}.hasTable("trash");
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
    if (auto begun = d->execute(kBegin); !begun)
        return Failure(begun.error());
    auto abandon = [&](const StoreError &error) -> StoreResult<std::int64_t> {
        (void)d->execute(kRollback);
        return Failure(error);
    };
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
            return abandon(read.error());
        if (auto done = sql.deleteTrash(entryID, workspace); !done)
            return abandon(done.error());
        erased += sqlite3_changes(d->db);
    }
    if (undoThrough) {
        if (auto done = sql.deleteSteps(workspace, false, std::numeric_limits<std::int64_t>::min(), *undoThrough); !done)
            return abandon(done.error());
    }
    if (redoFrom) {
        if (auto done = sql.deleteSteps(workspace, true, *redoFrom, std::numeric_limits<std::int64_t>::max()); !done)
            return abandon(done.error());
    }
    if (auto committed = d->execute(kCommit); !committed)
        return abandon(committed.error());
    return erased;
}


// --- snapshots one at a time ----------------------------------------------

namespace {

// memmem: string_view::find stops at every quote of the JSON text.
qint64 countOccurrences(std::string_view text, std::string_view needle)
{
    qint64 count = 0;
    const char *at = text.data();
    const char *end = text.data() + text.size();
    while (const void *found = ::memmem(at, std::size_t(end - at), needle.data(), needle.size())) {
        ++count;
        at = static_cast<const char *>(found) + needle.size();
    }
    return count;
}

// The snapshot's own title from the stored text, whose keys are written in
// sorted order and compactly: its last "title" key is the snapshot's, and only
// "workspaceID" follows it. (Inside a JSON string every quote is escaped, so
// the key's text cannot appear in a value.) None when the text is laid out
// any other way; the caller then decodes it whole.
std::optional<QString> trailingTitle(std::string_view text)
{
    constexpr std::string_view key = "\"title\":\"";
    const std::size_t at = text.rfind(key);
    if (at == std::string_view::npos)
        return std::nullopt;
    const std::size_t open = at + key.size() - 1;
    std::size_t close = open + 1;
    while (close < text.size() && text[close] != '"')
        close += text[close] == '\\' ? 2 : 1;
    if (close >= text.size() || !text.substr(close + 1).starts_with(",\"workspaceID\":\""))
        return std::nullopt;
    QByteArray wrapped;
    wrapped.reserve(qsizetype(close - open + 3));
    wrapped.append('[').append(text.data() + open, qsizetype(close - open + 1)).append(']');
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(wrapped, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray() || !document.array().at(0).isString())
        return std::nullopt;
    return document.array().at(0).toString();
}

// The snapshot without the root's children, copying no more than that.
WorkspaceSnapshot headOf(const WorkspaceSnapshot &snapshot)
{
    WorkspaceSnapshot head;
    head.id = snapshot.id;
    head.workspaceID = snapshot.workspaceID;
    head.title = snapshot.title;
    head.schemaVersion = snapshot.schemaVersion;
    head.createdAt = snapshot.createdAt;
    head.selectedNodeID = snapshot.selectedNodeID;
    head.rootNode = TreeExportNode(snapshot.rootNode.id, snapshot.rootNode.originalNodeID, snapshot.rootNode.title,
                                   snapshot.rootNode.node);
    return head;
}

// One stored snapshot as a list shows it: decoded where this version can
// read it, else with its condition and the title its text names.
WorkspaceStore::ListedSnapshot listedSnapshot(json::BulkDecoder &decoder, const QUuid &id, Timestamp createdAt,
                                              SnapshotOrigin origin, std::string_view text)
{
    WorkspaceStore::ListedSnapshot entry;
    if (auto snapshot = decoder.workspaceSnapshot(text)) {
        entry.summary = summarizeSnapshot(*snapshot, origin);
        entry.snapshot = std::move(*snapshot);
    } else {
        entry.summary.id = id;
        entry.summary.createdAt = createdAt;
        entry.summary.origin = origin;
        entry.summary.title = trailingTitle(text).value_or(QString());
    }
    entry.summary.condition = conditionOf(text, entry.snapshot.has_value(), entry.summary.schemaVersion);
    entry.summary.storedBytes = qint64(text.size());
    return entry;
}

} // namespace

StoreResult<QHash<QUuid, SnapshotTime>> WorkspaceStore::readSnapshotMarksLocked()
{
    QHash<QUuid, SnapshotTime> marks;
    auto read = d->query(kSelectSnapshotMarks, [](sqlite3_stmt *) {}, [&](sqlite3_stmt *s) -> StoreResult<void> {
        const auto id = parseUuid(columnView(s, 0));
        const auto origin = snapshotOriginFromRawValue(columnView(s, 1));
        // A reason this version does not know stays unmarked here, so
        // nothing prunes it.
        if (id && origin)
            marks.insert(*id, SnapshotTime{*id, {}, *origin, parseTimestamp(columnView(s, 2))});
        return {};
    });
    // A read-only connection to a database that no version with marks has
    // opened has no such table, and so no marks.
    if (!read && !(d->mode == OpenMode::readOnly && read.error().kind == StoreError::Kind::prepare))
        return Failure(read.error());
    return marks;
}

StoreResult<QList<SnapshotTime>> WorkspaceStore::fetchSnapshotTimes(const QUuid &workspaceID)
{
    std::lock_guard guard(m_lock);
    auto marks = readSnapshotMarksLocked();
    if (!marks)
        return Failure(marks.error());
    const std::string workspaceText = uuidText(workspaceID);
    QList<SnapshotTime> times;
    auto read = d->query(
        kSelectSnapshotTimes, [&](sqlite3_stmt *s) { Private::bindText(s, 1, workspaceText); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            const auto id = parseUuid(columnView(s, 0));
            const auto createdAt = parseTimestamp(columnView(s, 1));
            if (!id || !createdAt)
                return Failure(StoreError{StoreError::Kind::decode, QString::fromUtf8(kSelectSnapshotTimes),
                                          QStringLiteral("snapshot row with a malformed id or time")});
            const SnapshotTime mark = marks->value(*id);
            times.push_back({*id, *createdAt, mark.origin, mark.treeUpdatedAt});
            return {};
        });
    if (!read)
        return Failure(read.error());
    return times;
}

StoreResult<void> WorkspaceStore::saveMarkedSnapshot(const WorkspaceSnapshot &snapshot, SnapshotOrigin origin,
                                                     std::optional<Timestamp> treeUpdatedAt)
{
    std::lock_guard guard(m_lock);
    return writeSnapshotLocked(snapshot, origin, treeUpdatedAt);
}

StoreResult<void> WorkspaceStore::writeSnapshotLocked(const WorkspaceSnapshot &snapshot, SnapshotOrigin origin,
                                                      std::optional<Timestamp> treeUpdatedAt)
{
    auto json = json::encode(snapshot);
    if (!json)
        return Failure(StoreError{StoreError::Kind::encode, {}, json.error().reason});
    const std::string id = uuidText(snapshot.id);
    const std::string workspaceID = uuidText(snapshot.workspaceID);
    const std::string created = timestampText(snapshot.createdAt);
    const std::string reason(rawValue(origin));
    const std::string treeTime = treeUpdatedAt ? timestampText(*treeUpdatedAt) : std::string();
    const SnapshotSummary summary = summarizeSnapshot(snapshot, origin);
    const QByteArray title = summary.title.toUtf8();
    auto head = json::encode(headOf(snapshot));
    if (!head)
        return Failure(StoreError{StoreError::Kind::encode, {}, head.error().reason});
    if (auto begun = d->execute(kBegin); !begun)
        return begun;
    auto abandon = [&](const StoreError &error) -> StoreResult<void> {
        (void)d->execute(kRollback);
        return Failure(error);
    };
    if (auto saved = d->execute(kUpsertSnapshot,
                                [&](sqlite3_stmt *s) {
                                    Private::bindText(s, 1, id);
                                    Private::bindText(s, 2, workspaceID);
                                    Private::bindText(s, 3, created);
                                    Private::bindText(s, 4, *json);
                                });
        !saved)
        return abandon(saved.error());
    if (auto listed = d->execute(kUpsertSnapshotSummary,
                                 [&](sqlite3_stmt *s) {
                                     Private::bindText(s, 1, id);
                                     Private::bindText(s, 2, title);
                                     sqlite3_bind_int64(s, 3, summary.nodeCount);
                                     sqlite3_bind_int(s, 4, summary.subtree ? 1 : 0);
                                     sqlite3_bind_int64(s, 5, sqlite3_int64(json->size()));
                                 });
        !listed)
        return abandon(listed.error());
    // After the snapshot's row, whose insert drops the head.
    if (auto headed = d->execute(kUpsertSnapshotHead,
                                 [&](sqlite3_stmt *s) {
                                     Private::bindText(s, 1, id);
                                     Private::bindText(s, 2, *head);
                                 });
        !headed)
        return abandon(headed.error());
    // Saving again under an id replaces the snapshot, its mark included.
    if (auto unmarked = d->execute(kDeleteSnapshotMark, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); });
        !unmarked)
        return abandon(unmarked.error());
    if (origin != SnapshotOrigin::manual) {
        if (auto marked = d->execute(kUpsertSnapshotMark,
                                     [&](sqlite3_stmt *s) {
                                         Private::bindText(s, 1, id);
                                         Private::bindText(s, 2, reason);
                                         treeUpdatedAt ? Private::bindText(s, 3, treeTime)
                                                       : void(sqlite3_bind_null(s, 3));
                                     });
            !marked)
            return abandon(marked.error());
    }
    if (auto committed = d->execute(kCommit); !committed)
        return abandon(committed.error());
    return {};
}

StoreResult<QList<SnapshotSummary>> WorkspaceStore::fetchSnapshotSummaries(const QUuid &workspaceID)
{
    std::lock_guard guard(m_lock);
    auto marks = readSnapshotMarksLocked();
    if (!marks)
        return Failure(marks.error());

    const std::string workspaceText = uuidText(workspaceID);
    struct Row {
        sqlite3_int64 rowid;
        SnapshotSummary summary;
        bool listed;
    };
    std::vector<Row> rows;
    auto read = d->query(
        kSelectSnapshotListing, [&](sqlite3_stmt *s) { Private::bindText(s, 1, workspaceText); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            const auto id = parseUuid(columnView(s, 1));
            const auto createdAt = parseTimestamp(columnView(s, 2));
            if (!id || !createdAt)
                return Failure(StoreError{StoreError::Kind::decode, QString::fromUtf8(kSelectSnapshotListing),
                                          QStringLiteral("snapshot row with a malformed id or time")});
            Row row{sqlite3_column_int64(s, 0), {}, sqlite3_column_type(s, 3) != SQLITE_NULL};
            row.summary.id = *id;
            row.summary.createdAt = *createdAt;
            if (row.listed) {
                const std::string_view title = columnView(s, 3);
                row.summary.title = QString::fromUtf8(title.data(), qsizetype(title.size()));
                row.summary.nodeCount = sqlite3_column_int64(s, 4);
                row.summary.subtree = sqlite3_column_int(s, 5) != 0;
                row.summary.storedBytes = sqlite3_column_int64(s, 6);
            }
            row.summary.origin = marks->value(*id).origin;
            rows.push_back(std::move(row));
            return {};
        });
    // A read-only connection to an older database has no summaries table:
    // every snapshot is read from its text then.
    if (!read && d->mode == OpenMode::readOnly && read.error().kind == StoreError::Kind::prepare) {
        rows.clear();
        read = d->query(
            kSelectSnapshotTimes, [&](sqlite3_stmt *s) { Private::bindText(s, 1, workspaceText); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                const auto id = parseUuid(columnView(s, 0));
                const auto createdAt = parseTimestamp(columnView(s, 1));
                if (!id || !createdAt)
                    return Failure(StoreError{StoreError::Kind::decode, QString::fromUtf8(kSelectSnapshotTimes),
                                              QStringLiteral("snapshot row with a malformed id or time")});
                Row row{-qint64(rows.size()), {}, false};
                row.summary.id = *id;
                row.summary.createdAt = *createdAt;
                rows.push_back(std::move(row));
                return {};
            });
    }
    if (!read)
        return Failure(read.error());
    for (Row &row : rows) {
        if (row.listed)
            continue;
        const std::string id = uuidText(row.summary.id);
        auto scanned = d->query(
            kSelectSnapshotByID, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                const std::string_view text = columnView(s, 0);
                const auto title = trailingTitle(text);
                if (title) {
                    row.summary.title = *title;
                    const qint64 entries = countOccurrences(text, "\"children\":");
                    const qint64 copies = countOccurrences(text, "\"originalNodeID\":");
                    row.summary.subtree = entries > 0 && copies == entries;
                    row.summary.nodeCount = row.summary.subtree ? entries : std::max<qint64>(0, entries - 1);
                    row.summary.condition = conditionOf(text, true, row.summary.schemaVersion);
                } else if (auto snapshot = d->decoder.workspaceSnapshot(text)) {
                    const SnapshotOrigin origin = row.summary.origin;
                    row.summary = summarizeSnapshot(*snapshot, origin);
                    row.summary.condition = conditionOf(text, true, row.summary.schemaVersion);
                } else {
                    // Listed all the same, so that one snapshot cannot hide the others.
                    row.summary.condition = conditionOf(text, false, row.summary.schemaVersion);
                }
                row.summary.storedBytes = qint64(text.size());
                return {};
            });
        if (!scanned)
            return Failure(scanned.error());
    }
    if (!read)
        return Failure(read.error());
    std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) {
        if (a.summary.createdAt != b.summary.createdAt)
            return a.summary.createdAt > b.summary.createdAt;
        return a.rowid > b.rowid;
    });
    QList<SnapshotSummary> summaries;
    summaries.reserve(qsizetype(rows.size()));
    for (Row &row : rows)
        summaries.push_back(std::move(row.summary));
    return summaries;
}

StoreResult<QList<WorkspaceStore::ListedSnapshot>> WorkspaceStore::fetchSnapshotList(const QUuid &workspaceID)
{
    std::lock_guard guard(m_lock);
    auto marks = readSnapshotMarksLocked();
    if (!marks)
        return Failure(marks.error());
    const std::string workspaceText = uuidText(workspaceID);
    QList<ListedSnapshot> listed;
    auto malformed = [](const char *sql) {
        return Failure(StoreError{StoreError::Kind::decode, QString::fromUtf8(sql),
                                  QStringLiteral("snapshot row with a malformed id or time")});
    };
    // The id and time every row starts with, and the origin marked for it.
    auto entryOf = [&](sqlite3_stmt *s) -> std::optional<ListedSnapshot> {
        const auto id = parseUuid(columnView(s, 0));
        const auto createdAt = parseTimestamp(columnView(s, 1));
        if (!id || !createdAt)
            return std::nullopt;
        ListedSnapshot entry;
        entry.summary.id = *id;
        entry.summary.createdAt = *createdAt;
        entry.summary.origin = marks->value(*id).origin;
        return entry;
    };
    auto read = d->query(
        kSelectSnapshotHeads, [&](sqlite3_stmt *s) { Private::bindText(s, 1, workspaceText); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            auto started = entryOf(s);
            if (!started)
                return malformed(kSelectSnapshotHeads);
            ListedSnapshot entry = std::move(*started);
            if (sqlite3_column_type(s, 2) != SQLITE_NULL && sqlite3_column_type(s, 6) != SQLITE_NULL) {
                auto head = d->decoder.workspaceSnapshot(columnView(s, 6));
                if (head && head->id == entry.summary.id && head->schemaVersion <= TreeExport::kSchemaVersion &&
                    head->rootNode.children.empty()) {
                    const std::string_view title = columnView(s, 2);
                    entry.summary.title = QString::fromUtf8(title.data(), qsizetype(title.size()));
                    entry.summary.nodeCount = sqlite3_column_int64(s, 3);
                    entry.summary.subtree = sqlite3_column_int(s, 4) != 0;
                    entry.summary.storedBytes = sqlite3_column_int64(s, 5);
                    entry.snapshot = std::move(*head);
                }
            }
            listed.push_back(std::move(entry));
            return {};
        });
    // A read-only connection to an older database has no heads table: every
    // snapshot is decoded then.
    if (!read && d->mode == OpenMode::readOnly && read.error().kind == StoreError::Kind::prepare) {
        listed.clear();
        read = d->query(
            kSelectSnapshotTimes, [&](sqlite3_stmt *s) { Private::bindText(s, 1, workspaceText); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                auto entry = entryOf(s);
                if (!entry)
                    return malformed(kSelectSnapshotTimes);
                listed.push_back(std::move(*entry));
                return {};
            });
    }
    if (!read)
        return Failure(read.error());

    // The snapshots without a trusted head, one at a time, keeping only
    // their heads. One deleted meanwhile by another connection is left out.
    QList<ListedSnapshot> complete;
    complete.reserve(listed.size());
    for (ListedSnapshot &entry : listed) {
        if (entry.snapshot) {
            complete.push_back(std::move(entry));
            continue;
        }
        const std::string id = uuidText(entry.summary.id);
        auto decoded = d->query(
            kSelectSnapshotRowOfWorkspace,
            [&](sqlite3_stmt *s) {
                Private::bindText(s, 1, id);
                Private::bindText(s, 2, workspaceText);
            },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                ListedSnapshot found = listedSnapshot(d->decoder, entry.summary.id, entry.summary.createdAt,
                                                      entry.summary.origin, columnView(s, 1));
                if (found.snapshot)
                    found.snapshot->rootNode.children.clear();
                complete.push_back(std::move(found));
                return {};
            });
        if (!decoded)
            return Failure(decoded.error());
    }
    return complete;
}

StoreResult<std::optional<WorkspaceStore::ListedSnapshot>> WorkspaceStore::fetchListedSnapshot(const QUuid &workspaceID,
                                                                                              const QUuid &snapshotID)
{
    std::lock_guard guard(m_lock);
    auto marks = readSnapshotMarksLocked();
    if (!marks)
        return Failure(marks.error());
    const std::string id = uuidText(snapshotID);
    const std::string workspaceText = uuidText(workspaceID);
    std::optional<ListedSnapshot> found;
    auto read = d->query(
        kSelectSnapshotRowOfWorkspace,
        [&](sqlite3_stmt *s) {
            Private::bindText(s, 1, id);
            Private::bindText(s, 2, workspaceText);
        },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            const auto createdAt = parseTimestamp(columnView(s, 0));
            if (!createdAt)
                return Failure(StoreError{StoreError::Kind::decode, QString::fromUtf8(kSelectSnapshotRowOfWorkspace),
                                          QStringLiteral("snapshot row with a malformed id or time")});
            found = listedSnapshot(d->decoder, snapshotID, *createdAt, marks->value(snapshotID).origin,
                                   columnView(s, 1));
            return {};
        });
    if (!read)
        return Failure(read.error());
    return found;
}

StoreResult<std::optional<WorkspaceSnapshot>> WorkspaceStore::fetchSnapshot(const QUuid &workspaceID,
                                                                           const QUuid &snapshotID)
{
    std::lock_guard guard(m_lock);
    const std::string id = uuidText(snapshotID);
    const std::string workspaceText = uuidText(workspaceID);
    std::optional<WorkspaceSnapshot> found;
    auto read = d->query(
        kSelectSnapshotOfWorkspace,
        [&](sqlite3_stmt *s) {
            Private::bindText(s, 1, id);
            Private::bindText(s, 2, workspaceText);
        },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            const std::string_view text = columnView(s, 0);
            if (text.empty())
                return {};
            auto snapshot = d->decoder.workspaceSnapshot(text);
            if (!snapshot)
                return Failure(unreadableSnapshot(text, snapshot.error(), kSelectSnapshotOfWorkspace));
            found = std::move(*snapshot);
            return {};
        });
    if (!read)
        return Failure(read.error());
    return found;
}

StoreResult<void> WorkspaceStore::deleteSnapshots(const QList<QUuid> &snapshotIDs)
{
    std::lock_guard guard(m_lock);
    if (auto begun = d->execute(kBegin); !begun)
        return begun;
    auto abandon = [&](const StoreError &error) -> StoreResult<void> {
        (void)d->execute(kRollback);
        return Failure(error);
    };
    for (const QUuid &snapshotID : snapshotIDs) {
        const std::string id = uuidText(snapshotID);
        for (const char *sql : {kDeleteOneSnapshot, kDeleteSnapshotMark, kDeleteSnapshotSummary, kDeleteSnapshotHead}) {
            if (auto deleted = d->execute(sql, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); }); !deleted)
                return abandon(deleted.error());
        }
    }
    if (auto committed = d->execute(kCommit); !committed)
        return abandon(committed.error());
    return {};
}

StoreResult<void> WorkspaceStore::renameSnapshot(const QUuid &snapshotID, const QString &title)
{
    std::lock_guard guard(m_lock);
    const std::string id = uuidText(snapshotID);
    if (auto begun = d->execute(kBegin); !begun)
        return begun;
    auto abandon = [&](const StoreError &error) -> StoreResult<void> {
        (void)d->execute(kRollback);
        return Failure(error);
    };
    std::optional<WorkspaceSnapshot> snapshot;
    auto read = d->query(
        kSelectSnapshotByID, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            auto decoded = d->decoder.workspaceSnapshot(columnView(s, 0));
            if (!decoded)
                return Failure(StoreError{StoreError::Kind::decode, QString::fromUtf8(kSelectSnapshotByID),
                                          QStringLiteral("snapshot row: ") + decoded.error().description()});
            snapshot = std::move(*decoded);
            return {};
        });
    if (!read)
        return abandon(read.error());
    if (!snapshot)
        return abandon(StoreError{StoreError::Kind::step, QString::fromUtf8(kSelectSnapshotByID),
                                  QStringLiteral("no snapshot %1").arg(uuidQString(snapshotID))});
    snapshot->title = title;
    auto json = json::encode(*snapshot);
    if (!json)
        return abandon(StoreError{StoreError::Kind::encode, {}, json.error().reason});
    auto head = json::encode(headOf(*snapshot));
    if (!head)
        return abandon(StoreError{StoreError::Kind::encode, {}, head.error().reason});
    if (auto updated = d->execute(kUpdateSnapshotPayload,
                                  [&](sqlite3_stmt *s) {
                                      Private::bindText(s, 1, *json);
                                      Private::bindText(s, 2, id);
                                  });
        !updated)
        return abandon(updated.error());
    const QByteArray titleText = title.toUtf8();
    if (auto relisted = d->execute(kRenameSnapshotSummary,
                                   [&](sqlite3_stmt *s) {
                                       Private::bindText(s, 1, titleText);
                                       sqlite3_bind_int64(s, 2, sqlite3_int64(json->size()));
                                       Private::bindText(s, 3, id);
                                   });
        !relisted)
        return abandon(relisted.error());
    // After the update, which dropped the head.
    if (auto headed = d->execute(kUpsertSnapshotHead,
                                 [&](sqlite3_stmt *s) {
                                     Private::bindText(s, 1, id);
                                     Private::bindText(s, 2, *head);
                                 });
        !headed)
        return abandon(headed.error());
    if (auto committed = d->execute(kCommit); !committed)
        return abandon(committed.error());
    return {};
}

} // namespace tarni
