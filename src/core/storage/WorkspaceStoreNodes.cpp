#include "storage/WorkspaceStorePrivate.h"

#include "storage/SqlTransaction.h"

#include "model/JsonEncoding.h"
#include "model/Uuid.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <numeric>

namespace tarni {

namespace {

constexpr const char *kCacheSize = "PRAGMA cache_size;";
// Loading sorts in memory on the same keys as
//   ORDER BY parent_id IS NOT NULL, parent_id, sort_order, created_at
// because letting SQLite sort would spill every row's JSON through its sorter.
constexpr const char *kSelectNodes = "SELECT id, parent_id, sort_order, created_at, payload_json\n"
                                     "FROM nodes\n"
                                     "WHERE workspace_id = ?;";
// The reads of part of the tree (WorkspaceStore::NodeScope); the nodes_parent
// index makes them cost the rows they return.
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
// One row each, and every failure abandons the whole transaction. With the
// default ABORT, the write counter's trigger makes SQLite keep a statement
// journal for every row: the original of each page the statement touches,
// which after the first statement larger than 64 KiB goes to a temporary
// file, several writes a row. FAIL keeps no statement journal; the checks
// that can fail (NOT NULL, the unique id) run before anything is written.
constexpr const char *kInsertNode =
    "INSERT OR FAIL INTO nodes (\n"
    "    id, workspace_id, parent_id, kind, title, subtitle, sort_order,\n"
    "    is_collapsed, icon_key, created_at, updated_at, last_opened_at, payload_json\n"
    ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);";
constexpr const char *kUpdateNode = "UPDATE OR FAIL nodes SET\n"
                                    "    id = ?, workspace_id = ?, parent_id = ?, kind = ?, title = ?, subtitle = ?,\n"
                                    "    sort_order = ?, is_collapsed = ?, icon_key = ?, created_at = ?,\n"
                                    "    updated_at = ?, last_opened_at = ?, payload_json = ?\n"
                                    "WHERE id = ?14 AND workspace_id = ?15;";
constexpr const char *kDeleteNode = "DELETE FROM nodes WHERE id = ? AND workspace_id = ?;";

// A value of one sort-key column, compared the way SQLite orders values:
// NULL, then numbers, then text (bytewise: the BINARY collation), then blobs.
// Text and blob bytes live in one arena per load, not in a string per row.
// Kept small: a load holds three for every row while it sorts them.
struct SqlKey {
    std::uint32_t rank = 0;
    std::uint32_t length = 0; // SQLite keeps values below 2^31 bytes
    union {
        double number = 0;  // rank 1
        std::size_t offset; // ranks 2 and 3
    };

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
        key.length = std::uint32_t(sqlite3_column_bytes(statement, column));
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

} // namespace

// Rows on their way to becoming fetchNodes' list.
struct WorkspaceStore::Private::CollectedRows {
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

StoreResult<void> WorkspaceStore::Private::collectRow(sqlite3_stmt *s, CollectedRows &rows, const char *sql)
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

StoreResult<void> WorkspaceStore::Private::collectScope(const NodeScope &part, const std::string &workspaceID,
                                                       CollectedRows &rows)
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

StoreResult<bool> WorkspaceStore::Private::storedNodesMatchCache(const std::string &workspaceID)
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

StoreResult<bool> WorkspaceStore::Private::cacheHolds(const QUuid &workspace, const std::string &workspaceID,
                                                     sqlite3_int64 version)
{
    if (cachedWorkspace != workspace)
        return false;
    if (cachedDataVersion == version)
        return true;
    const std::optional<sqlite3_int64> writes = nodeWrites();
    if (writes && writes == cachedNodeWrites) {
        cachedDataVersion = version;
        return true;
    }
    auto same = storedNodesMatchCache(workspaceID);
    if (same && *same) {
        cachedDataVersion = version;
        cachedNodeWrites = writes;
    }
    return same;
}

StoreResult<void> WorkspaceStore::Private::NodeRow::fill(const WorkspaceNode &node)
{
    const auto &f = node.fields();
    json.clear();
    if (auto encoded = json::appendCompact(json, node, stamps); !encoded)
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

void WorkspaceStore::Private::NodeRow::bind(sqlite3_stmt *s) const
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

WorkspaceStore::Private::Digest WorkspaceStore::Private::stampFreeDigest(std::string_view json,
                                                                          const json::StampSpans &stamps)
{
    md5.reset();
    for (std::string_view piece : json::stampFreePieces(json, stamps))
        md5.addData(QByteArrayView(piece.data(), qsizetype(piece.size())));
    const QByteArrayView result = md5.resultView();
    Digest digest;
    std::copy(result.begin(), result.end(), digest.begin());
    return digest;
}

Result<WorkspaceStore::Private::Digest, json::EncodeError>
WorkspaceStore::Private::stampFreeDigest(const WorkspaceNode &node, std::string &scratch)
{
    scratch.clear();
    json::StampSpans stamps;
    if (auto encoded = json::appendCompact(scratch, node, stamps); !encoded)
        return Failure(encoded.error());
    return stampFreeDigest(scratch, stamps);
}

const WorkspaceStore::Private::Digest *
WorkspaceStore::Private::writtenDigest(const WorkspaceNode &node, std::size_t &cursor,
                                       QHash<QUuid, std::size_t> &index) const
{
    if (cursor < writtenDigests.size() && writtenDigests[cursor].node == node)
        return &writtenDigests[cursor++].digest;
    if (writtenDigests.empty())
        return nullptr;
    if (index.isEmpty()) {
        index.reserve(qsizetype(writtenDigests.size()));
        for (std::size_t i = 0; i < writtenDigests.size(); ++i)
            index.insert(writtenDigests[i].node.id(), i);
    }
    const auto found = index.constFind(node.id());
    if (found == index.constEnd() || !(writtenDigests[*found].node == node))
        return nullptr;
    cursor = *found + 1;
    return &writtenDigests[*found].digest;
}

void WorkspaceStore::Private::noteWritten(const NodeRow &row, const WorkspaceNode &node)
{
    if (keepWrittenDigests)
        writtenDigests.push_back(WrittenDigest{node, stampFreeDigest(row.json, row.stamps)});
}

StoreResult<void> WorkspaceStore::Private::insertNode(NodeRow &row, const WorkspaceNode &node)
{
    if (auto filled = row.fill(node); !filled)
        return filled;
    if (auto inserted = execute(kInsertNode, [&](sqlite3_stmt *s) { row.bind(s); }); !inserted)
        return inserted;
    noteWritten(row, node);
    return {};
}

Result<WorkspaceStore::Private::Outcome, StoreError> WorkspaceStore::Private::deleteNode(const QUuid &nodeID,
                                                                                     const std::string &workspaceID)
{
    const std::string id = uuidText(nodeID);
    auto deleted = execute(kDeleteNode, [&](sqlite3_stmt *s) {
        bindText(s, 1, id);
        bindText(s, 2, workspaceID);
    });
    if (!deleted)
        return Failure(deleted.error());
    return sqlite3_changes(db) == 1 ? Outcome::written : Outcome::needsRewrite;
}

Result<WorkspaceStore::Private::Outcome, StoreError>
WorkspaceStore::Private::updateNode(NodeRow &row, const WorkspaceNode &node, const std::string &workspaceID)
{
    if (auto filled = row.fill(node); !filled)
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
    noteWritten(row, node);
    return Outcome::written;
}

StoreResult<void> WorkspaceStore::Private::rewriteAll(const NodeList &nodes, const std::string &workspaceID)
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

Result<WorkspaceStore::Private::Outcome, StoreError>
WorkspaceStore::Private::writeInPlace(const NodeList &nodes, const NodeListEdit &edit, const QUuid &workspace,
                                      const std::string &workspaceID)
{
    const QList<qsizetype> &removed = edit.removed;
    const qsizetype cached = cachedNodes.size();
    qsizetype previous = -1;
    for (qsizetype r : removed) {
        if (r <= previous || r >= cached)
            return Outcome::needsRewrite;
        previous = r;
    }
    const qsizetype kept = cached - removed.size();
    if (nodes.size() < kept)
        return Outcome::needsRewrite;
    // Each run of removed records must have had the kept records beside it
    // as neighbours in the cached list.
    for (qsizetype k = 0; k < removed.size();) {
        const qsizetype first = removed[k];
        qsizetype end = first + 1;
        qsizetype next = k + 1;
        while (next < removed.size() && removed[next] == end) {
            ++end;
            ++next;
        }
        const qsizetype at = first - k; // where the record after the run now stands
        if (first > 0 && nodes[at - 1].id() != cachedNodes[first - 1].id())
            return Outcome::needsRewrite;
        if (end < cached && nodes[at].id() != cachedNodes[end].id())
            return Outcome::needsRewrite;
        k = next;
    }
    // The kept record at `i` was at i + k in the cached list, k counting the
    // removed positions up to there.
    qsizetype added = 0;
    qsizetype k = 0;
    previous = -1;
    for (qsizetype i : edit.changed) {
        if (i <= previous || i >= nodes.size() || nodes[i].workspaceID() != workspace)
            return Outcome::needsRewrite;
        previous = i;
        if (i >= kept) {
            ++added;
            continue;
        }
        while (k < removed.size() && removed[k] <= i + k)
            ++k;
        if (nodes[i].id() != cachedNodes[i + k].id())
            return Outcome::needsRewrite;
    }
    if (added != nodes.size() - kept)
        return Outcome::needsRewrite;

    for (qsizetype r : removed) {
        auto deleted = deleteNode(cachedNodes[r].id(), workspaceID);
        if (!deleted || *deleted != Outcome::written)
            return deleted;
    }
    NodeRow row;
    k = 0;
    for (qsizetype i : edit.changed) {
        if (i >= kept) {
            if (auto inserted = insertNode(row, nodes[i]); !inserted)
                return Failure(inserted.error());
            continue;
        }
        while (k < removed.size() && removed[k] <= i + k)
            ++k;
        if (nodes[i] == cachedNodes[i + k])
            continue;
        if (auto updated = updateNode(row, nodes[i], workspaceID); !updated || *updated == Outcome::needsRewrite)
            return updated;
    }
    return Outcome::written;
}

void WorkspaceStore::Private::applyToCache(const NodeList &nodes, const NodeListEdit &edit)
{
    // Sharing `nodes` instead would make the caller's next edit copy it.
    removePositions(cachedNodes, edit.removed);
    const qsizetype kept = cachedNodes.size();
    for (qsizetype i : edit.changed) {
        if (i < kept)
            cachedNodes[i] = nodes[i];
        else
            cachedNodes.append(nodes[i]);
    }
}

Result<WorkspaceStore::Private::Outcome, StoreError>
WorkspaceStore::Private::writeChanges(const NodeList &nodes, const QUuid &workspace, const std::string &workspaceID)
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
        auto deleted = deleteNode(old[j].id(), workspaceID);
        if (!deleted || *deleted != Outcome::written)
            return deleted;
    }
    NodeRow row;
    for (qsizetype i : updates) {
        if (auto updated = updateNode(row, nodes[i], workspaceID); !updated || *updated == Outcome::needsRewrite)
            return updated;
    }
    for (qsizetype i : inserts) {
        if (auto inserted = insertNode(row, nodes[i]); !inserted)
            return Failure(inserted.error());
    }
    return Outcome::written;
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
    SqlTransaction transaction(*d, SqlTransaction::Mode::read);
    if (auto begun = transaction.begin(); !begun)
        return Failure(begun.error());
    auto version = d->dataVersion();
    if (!version)
        return Failure(version.error());
    const std::optional<sqlite3_int64> writes = d->nodeWrites();

    // A whole load passes over every page once. Through the page cache of
    // a store open for writing (16 MiB) it would leave that much memory
    // holding rows no edit is likely to need.
    std::optional<sqlite3_int64> workingCacheSize;
    if (!d->scope && d->mode != OpenMode::readOnly) {
        (void)d->query(kCacheSize, [](sqlite3_stmt *) {}, [&](sqlite3_stmt *s) -> StoreResult<void> {
            workingCacheSize = sqlite3_column_int64(s, 0);
            return {};
        });
        if (workingCacheSize)
            sqlite3_exec(d->db, "PRAGMA cache_size=-1024;", nullptr, nullptr, nullptr);
    }
    Private::CollectedRows rows;
    rows.keepTexts = storedTexts != nullptr;
    auto read = d->scope ? d->collectScope(*d->scope, workspaceText, rows)
                         : d->query(
                               kSelectNodes, [&](sqlite3_stmt *s) { Private::bindText(s, 1, workspaceText); },
                               [&](sqlite3_stmt *s) { return d->collectRow(s, rows, kSelectNodes); });
    if (workingCacheSize) {
        const std::string restore = "PRAGMA cache_size=" + std::to_string(*workingCacheSize) + ";";
        sqlite3_exec(d->db, restore.c_str(), nullptr, nullptr, nullptr);
    }
    transaction.endRead();
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
        d->cachedNodeWrites = writes;
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

bool WorkspaceStore::usableFromOtherThreads() const
{
    return sqlite3_threadsafe() != 0;
}

StoreResult<std::optional<WorkspaceNode>> WorkspaceStore::fetchNode(const QUuid &workspaceID, const QUuid &nodeID)
{
    std::lock_guard guard(m_lock);
    Private::CollectedRows rows;
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
    SqlTransaction transaction(*d, SqlTransaction::Mode::read);
    if (auto begun = transaction.begin(); !begun)
        return Failure(begun.error());
    auto again = d->dataVersion();
    auto holds = again ? d->cacheHolds(workspaceID, uuidText(workspaceID), *again)
                       : StoreResult<bool>(Failure(again.error()));
    transaction.endRead();
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
                                             const NodeListEdit *inPlace, bool keepDigests)
{
    std::lock_guard guard(m_lock);
    const std::string workspaceText = uuidText(workspaceID);
    struct KeptDigests {
        Private &d;
        ~KeptDigests()
        {
            d.keepWrittenDigests = false;
            d.writtenDigests = {};
        }
    } keptDigests{*d};
    d->keepWrittenDigests = keepDigests;

    SqlTransaction transaction(*d);
    if (auto begun = transaction.begin(); !begun)
        return Failure(begun.error());
    // The rollback puts back the rows the cache describes, but whether it
    // did is checked against the rows before the next write.
    auto abandon = [&](const StoreError &error) -> StoreResult<void> {
        d->cachedDataVersion = -1;
        return Failure(error);
    };

    auto version = d->dataVersion();
    if (!version)
        return abandon(version.error());

    // Part of the tree is written only over the rows read for it.
    auto partialRefused = [&]() -> StoreResult<void> {
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
            d->writtenDigests.clear();
            if (auto rolledBack = transaction.rollback(); !rolledBack)
                return abandon(rolledBack.error());
            if (auto begun = transaction.begin(); !begun) {
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
            if (!*holds)
                return Failure(StoreError{StoreError::Kind::changedElsewhere, {}, {}});
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
    const std::optional<sqlite3_int64> writes = d->nodeWrites();
    if (auto committed = transaction.commit(); !committed)
        return abandon(committed.error());

    d->cachedWorkspace = workspaceID;
    d->cachedNodeWrites = writes;
    if (writtenInPlace)
        d->applyToCache(nodes, *inPlace);
    else
        d->cachedNodes = nodes;
    d->cachedDataVersion = *version;
    return {};
}

} // namespace tarni
