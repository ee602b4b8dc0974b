#pragma once

// Shared by the store's source files, which hold one table family each;
// nothing outside src/core/storage includes it.

#include "storage/WorkspaceStore.h"

#include "model/JsonDecoding.h"
#include "model/JsonEncoding.h"
#include "storage/SnapshotContentTables.h"

#include <QCryptographicHash>
#include <QHash>
#include <QLoggingCategory>

#include <sqlite3.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

Q_DECLARE_LOGGING_CATEGORY(lcStore)

namespace tarni {

// One SQLite connection and the statements compiled on it.
struct SqlConnection {
    sqlite3 *db = nullptr;
    std::optional<StoreError> openError;
    std::unordered_map<const char *, sqlite3_stmt *> statements;

    SqlConnection() = default;
    ~SqlConnection();
    SqlConnection(const SqlConnection &) = delete;
    SqlConnection &operator=(const SqlConnection &) = delete;

    StoreError sqliteError(StoreError::Kind kind, const char *sql) const;

    // A compiled statement, reset and ready for new bindings; compiled once
    // per connection and kept (statements are told apart by address).
    Result<sqlite3_stmt *, StoreError> statement(const char *sql);

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

    StoreResult<sqlite3_int64> dataVersion();
    StoreResult<bool> hasTable(const char *name);
    // The count of node row writes; none when the file has no counter (an
    // older file opened read-only) or it cannot be read.
    std::optional<sqlite3_int64> nodeWrites();

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
};

struct WorkspaceStore::Private : SqlConnection {
    std::filesystem::path path;
    OpenMode mode;
    bool createdFile = false; // the file did not exist before this store opened it
    json::BulkDecoder decoder;

    // What this connection last read or wrote for one workspace, and the
    // database's data_version at that time. Nodes that still share data with
    // these copies are unchanged, which makes finding an edit's rows cheap.
    std::optional<QUuid> cachedWorkspace;
    NodeList cachedNodes;
    sqlite3_int64 cachedDataVersion = -1;
    // The node write count that goes with the cached rows.
    std::optional<sqlite3_int64> cachedNodeWrites;
    // Set: the cache (and every read of nodes) is this part of the tree.
    std::optional<NodeScope> scope;
    // Snapshots stored by content; made on first use.
    std::unique_ptr<snapshotcontent::ContentTables> contentTables;

    void invalidateCache()
    {
        cachedWorkspace.reset();
        cachedNodes.clear();
        cachedDataVersion = -1;
        cachedNodeWrites.reset();
    }

    // The workspace row (WorkspaceStore.cpp).
    StoreResult<std::optional<Workspace>> fetchFirstWorkspace();
    StoreResult<void> saveWorkspaceLocked(const Workspace &workspace);

    // The snapshot rows (WorkspaceStoreSnapshots.cpp).
    snapshotcontent::ContentTables &content();
    // A snapshot row's tree: its text decoded or, for a snapshot stored by
    // content, read from the content tables.
    StoreResult<WorkspaceSnapshot> storedSnapshot(std::string_view id, std::string_view text, const char *sql);
    // The list entry written beside a snapshot: its title and stored size.
    StoreResult<std::optional<std::pair<QString, qint64>>> snapshotSummary(const std::string &id);

    // The node rows (WorkspaceStoreNodes.cpp).
    struct CollectedRows;
    // One row of a node query (columns id, parent_id, sort_order,
    // created_at, payload_json and, for partial reads, rowid). `sql` names
    // the statement in an error.
    StoreResult<void> collectRow(sqlite3_stmt *s, CollectedRows &rows, const char *sql);
    // Reads the rows the scope names. Each query serves one group, node or
    // walk, so the cost follows the rows, not the tree.
    StoreResult<void> collectScope(const NodeScope &part, const std::string &workspaceID, CollectedRows &rows);
    // Whether the stored rows of the cached workspace are still exactly the
    // cached list; reads and decodes every row (every row of the scope, when
    // one is set), so only called once the data version says another
    // connection committed.
    StoreResult<bool> storedNodesMatchCache(const std::string &workspaceID);
    // Whether the cache still describes the stored rows of `workspace`;
    // called inside a transaction, so the rows and the version belong
    // together. Confirms the cache at `version` when they do.
    StoreResult<bool> cacheHolds(const QUuid &workspace, const std::string &workspaceID, sqlite3_int64 version);

    // The MD5 of a node's compact form without the stamps that change
    // without an undo step, made from its compact form; a done step keeps
    // it for each of its `after` records, which are live rows.
    using Digest = std::array<char, 16>;
    QCryptographicHash md5{QCryptographicHash::Md5};
    Digest stampFreeDigest(std::string_view json, const json::StampSpans &stamps);
    // The same for a node not at hand as text: encodes it into `scratch`.
    Result<Digest, json::EncodeError> stampFreeDigest(const WorkspaceNode &node, std::string &scratch);

    // While an edit is written with an undo step that has `after` records:
    // the digest of each row the edit wrote, so that a node is encoded once
    // for its row and its record.
    struct WrittenDigest {
        WorkspaceNode node;
        Digest digest;
    };
    bool keepWrittenDigests = false;
    std::vector<WrittenDigest> writtenDigests;
    // The digest written for a node equal to `node`, if any. The records
    // mostly come in the order the rows were written: `cursor` follows them,
    // and `index` (built on the first miss) finds the others.
    const Digest *writtenDigest(const WorkspaceNode &node, std::size_t &cursor, QHash<QUuid, std::size_t> &index) const;

    // Binds the thirteen columns of a node row at positions 1-13.
    struct NodeRow {
        std::string id, workspaceID, parentID, kind, created, updated, lastOpened, json;
        json::StampSpans stamps;
        QByteArray title, subtitle, iconKey;
        bool hasParent = false, hasSubtitle = false, hasIconKey = false, hasLastOpened = false;
        double sortOrder = 0;
        bool isCollapsed = false;

        StoreResult<void> fill(const WorkspaceNode &node);
        void bind(sqlite3_stmt *s) const;
    };

    enum class Outcome { written, needsRewrite };

    // Keeps the digest of a row just written, when keepWrittenDigests asks.
    void noteWritten(const NodeRow &row, const WorkspaceNode &node);
    StoreResult<void> insertNode(NodeRow &row, const WorkspaceNode &node);
    // Rewrites the stored row of the node; needsRewrite when the workspace
    // has no such row.
    Result<Outcome, StoreError> updateNode(NodeRow &row, const WorkspaceNode &node, const std::string &workspaceID);
    // Deletes the stored row of the node; needsRewrite when the workspace
    // has no such row.
    Result<Outcome, StoreError> deleteNode(const QUuid &id, const std::string &workspaceID);
    StoreResult<void> rewriteAll(const NodeList &nodes, const std::string &workspaceID);
    // Deletes the rows `edit` removes, writes the records it names that
    // differ from the cached ones and inserts the added ones, when the cache
    // holds the same identifiers there and beside each removed record and
    // the edit names every added node; the rest of the list is taken to be
    // the cached one.
    Result<Outcome, StoreError> writeInPlace(const NodeList &nodes, const NodeListEdit &edit, const QUuid &workspace,
                                             const std::string &workspaceID);
    // Brings the cached list to `nodes` after writeInPlace wrote `edit`.
    void applyToCache(const NodeList &nodes, const NodeListEdit &edit);
    // Writes the difference between the cached list and `nodes`: the common
    // prefix and suffix (matched by id, position by position) are compared in
    // place; only the stretch between them is matched through a hash map.
    // Anything the cache cannot vouch for asks for the full rewrite instead.
    Result<Outcome, StoreError> writeChanges(const NodeList &nodes, const QUuid &workspace,
                                             const std::string &workspaceID);
};

// The undo history's and the trash's rows, written inside the transaction of
// an edit (WorkspaceStoreHistory.cpp, WorkspaceStoreTrash.cpp).
struct WorkspaceStore::HistorySql {
    Private &d;

    StoreResult<void> insertRecord(std::int64_t step, int role, std::string_view ref, std::string_view json);
    StoreResult<void> insertNodeRecords(std::int64_t step, int role, const std::string &ref, const NodeList &nodes);
    StoreResult<void> insertStepRecords(std::int64_t step, const HistoryStep &history);
    StoreResult<void> deleteSteps(const std::string &workspace, bool undone, std::int64_t from, std::int64_t to);
    // Drops the oldest steps until both bounds hold; the newest always stays.
    StoreResult<void> trim(const std::string &workspace);
    StoreResult<std::optional<std::int64_t>> apply(const HistoryWrite &history, const std::string &workspace);

    StoreResult<void> insertTrash(const TrashEntry &entry);
    StoreResult<void> deleteTrash(const QUuid &entryID, const std::string &workspace);
};

inline QString columnText(sqlite3_stmt *s, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(s, column)) : QString();
}

inline std::string_view columnView(sqlite3_stmt *s, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, column));
    return text ? std::string_view(text, size_t(sqlite3_column_bytes(s, column))) : std::string_view();
}

inline StoreError decodeError(const char *sql, const QString &what)
{
    return StoreError{StoreError::Kind::decode, QString::fromUtf8(sql), what};
}

} // namespace tarni
