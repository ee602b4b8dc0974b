#include "storage/WorkspaceStorePrivate.h"

#include "storage/SqlTransaction.h"

#include "model/JsonEncoding.h"
#include "model/Uuid.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace tarni {

namespace {

constexpr const char *kUpsertSnapshotMark =
    "INSERT OR REPLACE INTO snapshot_marks (snapshot_id, origin, tree_updated_at) VALUES (?, ?, ?);";
constexpr const char *kSelectSnapshotMarks = "SELECT snapshot_id, origin, tree_updated_at FROM snapshot_marks;";
constexpr const char *kUpsertSnapshotSummary = "INSERT OR REPLACE INTO snapshot_summaries\n"
                                               "    (snapshot_id, title, node_count, subtree, stored_bytes)\n"
                                               "VALUES (?, ?, ?, ?, ?);";
constexpr const char *kRenameSnapshotSummary =
    "UPDATE snapshot_summaries SET title = ?, stored_bytes = ? WHERE snapshot_id = ?;";
constexpr const char *kDeleteSnapshotSummary = "DELETE FROM snapshot_summaries WHERE snapshot_id = ?;";
constexpr const char *kUpsertSnapshotHead = "INSERT OR REPLACE INTO snapshot_heads (snapshot_id, head_json) VALUES (?, ?);";
constexpr const char *kDeleteSnapshotHead = "DELETE FROM snapshot_heads WHERE snapshot_id = ?;";
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
constexpr const char *kSelectSnapshotSummary = "SELECT title, stored_bytes FROM snapshot_summaries WHERE snapshot_id = ?;";
constexpr const char *kRetitleSnapshotSummary = "UPDATE snapshot_summaries SET title = ? WHERE snapshot_id = ?;";
constexpr const char *kDeleteOneSnapshot = "DELETE FROM snapshots WHERE id = ?;";
// The payload column is not read, so its overflow pages are not either.
constexpr const char *kSelectSnapshotTimes = "SELECT id, created_at FROM snapshots WHERE workspace_id = ?\n"
                                             "ORDER BY created_at DESC, rowid DESC;";
constexpr const char *kSelectSnapshotOfWorkspace = "SELECT payload_json FROM snapshots WHERE id = ? AND workspace_id = ?;";
constexpr const char *kSelectSnapshotByID = "SELECT payload_json FROM snapshots WHERE id = ?;";
constexpr const char *kUpdateSnapshotPayload = "UPDATE snapshots SET payload_json = ? WHERE id = ?;";
constexpr const char *kUpsertSnapshot =
    "INSERT OR REPLACE INTO snapshots (id, workspace_id, created_at, payload_json)\nVALUES (?, ?, ?, ?);";
constexpr const char *kSelectSnapshots = "SELECT payload_json, id\n"
                                         "FROM snapshots\n"
                                         "WHERE workspace_id = ?\n"
                                         "ORDER BY created_at DESC, rowid DESC;";

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

// The same for a snapshot stored by content, from what reading it gave:
// one that cannot be read is listed as damaged under the title and size
// its list entry names.
StoreResult<WorkspaceStore::ListedSnapshot> listedContentSnapshot(StoreResult<WorkspaceSnapshot> read, const QUuid &id,
                                                                  Timestamp createdAt, SnapshotOrigin origin,
                                                                  const std::optional<std::pair<QString, qint64>> &listed)
{
    if (!read && read.error().kind != StoreError::Kind::decode)
        return Failure(read.error());
    WorkspaceStore::ListedSnapshot entry;
    if (read) {
        entry.summary = summarizeSnapshot(*read, origin);
        entry.snapshot = std::move(*read);
    } else {
        entry.summary.id = id;
        entry.summary.createdAt = createdAt;
        entry.summary.origin = origin;
        entry.summary.condition = SnapshotCondition::damaged;
        entry.summary.title = listed ? listed->first : QString();
    }
    entry.summary.storedBytes = listed ? listed->second : 0;
    return entry;
}

} // namespace

snapshotcontent::ContentTables &WorkspaceStore::Private::content()
{
    if (!contentTables)
        contentTables = std::make_unique<snapshotcontent::ContentTables>(db);
    return *contentTables;
}

StoreResult<WorkspaceSnapshot> WorkspaceStore::Private::storedSnapshot(std::string_view id, std::string_view text,
                                                                       const char *sql)
{
    if (snapshotcontent::isStoredByContent(text))
        return content().read(std::string(id));
    auto snapshot = decoder.workspaceSnapshot(text);
    if (!snapshot)
        return Failure(unreadableSnapshot(text, snapshot.error(), sql));
    return std::move(*snapshot);
}

StoreResult<std::optional<std::pair<QString, qint64>>> WorkspaceStore::Private::snapshotSummary(const std::string &id)
{
    std::optional<std::pair<QString, qint64>> found;
    auto read = query(
        kSelectSnapshotSummary, [&](sqlite3_stmt *s) { bindText(s, 1, id); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            found.emplace(columnText(s, 0), sqlite3_column_int64(s, 1));
            return {};
        });
    if (!read)
        return Failure(read.error());
    return found;
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
            auto snapshot = d->storedSnapshot(columnView(s, 1), stored, kSelectSnapshots);
            if (!snapshot)
                return Failure(snapshot.error());
            snapshots.push_back(std::move(*snapshot));
            return {};
        });
    if (!read)
        return Failure(read.error());
    return snapshots;
}

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
                                                     std::optional<Timestamp> treeUpdatedAt,
                                                     const SnapshotRecordHint *hint)
{
    std::lock_guard guard(m_lock);
    return writeSnapshotLocked(snapshot, origin, treeUpdatedAt, hint);
}

StoreResult<void> WorkspaceStore::writeSnapshotLocked(const WorkspaceSnapshot &snapshot, SnapshotOrigin origin,
                                                      std::optional<Timestamp> treeUpdatedAt,
                                                      const SnapshotRecordHint *hint)
{
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
    // Everything but the new records' rows is done before the write lock is
    // taken: encoding, hashing, finding the records already stored and
    // compressing the others.
    auto prepared = d->content().prepare(snapshot, *head, hint);
    if (!prepared)
        return Failure(prepared.error());
    SqlTransaction transaction(*d);
    if (auto begun = transaction.begin(); !begun)
        return begun;
    // Saving again under an id replaces the snapshot: the records only the
    // replaced one held are swept once the new one is written.
    bool replacing = false;
    if (auto existing = d->query(
            kSelectSnapshotByID, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                replacing = snapshotcontent::isStoredByContent(columnView(s, 0));
                return {};
            });
        !existing)
        return Failure(existing.error());
    auto written = d->content().write(*prepared);
    if (!written)
        return Failure(written.error());
    if (auto saved = d->execute(kUpsertSnapshot,
                                [&](sqlite3_stmt *s) {
                                    Private::bindText(s, 1, id);
                                    Private::bindText(s, 2, workspaceID);
                                    Private::bindText(s, 3, created);
                                    Private::bindText(s, 4, snapshotcontent::kPayloadMarker.data(),
                                                      snapshotcontent::kPayloadMarker.size());
                                });
        !saved)
        return Failure(saved.error());
    if (replacing) {
        if (auto swept = d->content().sweep(); !swept)
            return Failure(swept.error());
    }
    if (auto listed = d->execute(kUpsertSnapshotSummary,
                                 [&](sqlite3_stmt *s) {
                                     Private::bindText(s, 1, id);
                                     Private::bindText(s, 2, title);
                                     sqlite3_bind_int64(s, 3, summary.nodeCount);
                                     sqlite3_bind_int(s, 4, summary.subtree ? 1 : 0);
                                     sqlite3_bind_int64(s, 5, sqlite3_int64(*written));
                                 });
        !listed)
        return Failure(listed.error());
    // After the snapshot's row, whose insert drops the head.
    if (auto headed = d->execute(kUpsertSnapshotHead,
                                 [&](sqlite3_stmt *s) {
                                     Private::bindText(s, 1, id);
                                     Private::bindText(s, 2, *head);
                                 });
        !headed)
        return Failure(headed.error());
    // Saving again under an id replaces the snapshot, its mark included.
    if (auto unmarked = d->execute(kDeleteSnapshotMark, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); });
        !unmarked)
        return Failure(unmarked.error());
    if (origin != SnapshotOrigin::manual) {
        if (auto marked = d->execute(kUpsertSnapshotMark,
                                     [&](sqlite3_stmt *s) {
                                         Private::bindText(s, 1, id);
                                         Private::bindText(s, 2, reason);
                                         treeUpdatedAt ? Private::bindText(s, 3, treeTime)
                                                       : void(sqlite3_bind_null(s, 3));
                                     });
            !marked)
            return Failure(marked.error());
    }
    return transaction.commit();
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
                if (snapshotcontent::isStoredByContent(text)) {
                    // Its list entry went missing: read from what it is made of.
                    auto snapshot = d->content().read(id);
                    if (!snapshot && snapshot.error().kind != StoreError::Kind::decode)
                        return Failure(snapshot.error());
                    const SnapshotOrigin origin = row.summary.origin;
                    if (snapshot)
                        row.summary = summarizeSnapshot(*snapshot, origin);
                    else
                        row.summary.condition = SnapshotCondition::damaged;
                    return {};
                }
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
                ListedSnapshot found;
                if (snapshotcontent::isStoredByContent(columnView(s, 1))) {
                    auto listedEntry = d->snapshotSummary(id);
                    if (!listedEntry)
                        return Failure(listedEntry.error());
                    auto content = listedContentSnapshot(d->content().read(id), entry.summary.id,
                                                         entry.summary.createdAt, entry.summary.origin, *listedEntry);
                    if (!content)
                        return Failure(content.error());
                    found = std::move(*content);
                } else {
                    found = listedSnapshot(d->decoder, entry.summary.id, entry.summary.createdAt, entry.summary.origin,
                                           columnView(s, 1));
                }
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
            const SnapshotOrigin origin = marks->value(snapshotID).origin;
            if (snapshotcontent::isStoredByContent(columnView(s, 1))) {
                auto listedEntry = d->snapshotSummary(id);
                if (!listedEntry)
                    return Failure(listedEntry.error());
                auto content = listedContentSnapshot(d->content().read(id), snapshotID, *createdAt, origin,
                                                     *listedEntry);
                if (!content)
                    return Failure(content.error());
                found = std::move(*content);
                return {};
            }
            found = listedSnapshot(d->decoder, snapshotID, *createdAt, origin, columnView(s, 1));
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
            auto snapshot = d->storedSnapshot(id, text, kSelectSnapshotOfWorkspace);
            if (!snapshot)
                return Failure(snapshot.error());
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
    SqlTransaction transaction(*d);
    if (auto begun = transaction.begin(); !begun)
        return begun;
    for (const QUuid &snapshotID : snapshotIDs) {
        const std::string id = uuidText(snapshotID);
        for (const char *sql : {kDeleteOneSnapshot, kDeleteSnapshotMark, kDeleteSnapshotSummary, kDeleteSnapshotHead}) {
            if (auto deleted = d->execute(sql, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); }); !deleted)
                return Failure(deleted.error());
        }
        if (auto forgotten = d->content().forget(id); !forgotten)
            return Failure(forgotten.error());
    }
    // The records no remaining snapshot holds go in the same transaction.
    if (auto swept = d->content().sweep(); !swept)
        return Failure(swept.error());
    return transaction.commit();
}

StoreResult<void> WorkspaceStore::renameSnapshot(const QUuid &snapshotID, const QString &title)
{
    std::lock_guard guard(m_lock);
    const std::string id = uuidText(snapshotID);
    SqlTransaction transaction(*d);
    if (auto begun = transaction.begin(); !begun)
        return begun;
    std::optional<WorkspaceSnapshot> snapshot;
    bool byContent = false;
    auto read = d->query(
        kSelectSnapshotByID, [&](sqlite3_stmt *s) { Private::bindText(s, 1, id); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            if (snapshotcontent::isStoredByContent(columnView(s, 0))) {
                byContent = true;
                return {};
            }
            auto decoded = d->decoder.workspaceSnapshot(columnView(s, 0));
            if (!decoded)
                return Failure(StoreError{StoreError::Kind::decode, QString::fromUtf8(kSelectSnapshotByID),
                                          QStringLiteral("snapshot row: ") + decoded.error().description()});
            snapshot = std::move(*decoded);
            return {};
        });
    if (!read)
        return Failure(read.error());
    const QByteArray titleText = title.toUtf8();
    std::string headText;
    if (byContent) {
        // Only the head changes; the entries stay as they are.
        auto head = d->content().rename(id, title);
        if (!head)
            return Failure(head.error());
        if (auto relisted = d->execute(kRetitleSnapshotSummary,
                                       [&](sqlite3_stmt *s) {
                                           Private::bindText(s, 1, titleText);
                                           Private::bindText(s, 2, id);
                                       });
            !relisted)
            return Failure(relisted.error());
        headText = std::move(head).value();
    } else {
        if (!snapshot)
            return Failure(StoreError{StoreError::Kind::step, QString::fromUtf8(kSelectSnapshotByID),
                                      QStringLiteral("no snapshot %1").arg(uuidQString(snapshotID))});
        snapshot->title = title;
        auto json = json::encode(*snapshot);
        if (!json)
            return Failure(StoreError{StoreError::Kind::encode, {}, json.error().reason});
        auto head = json::encode(headOf(*snapshot));
        if (!head)
            return Failure(StoreError{StoreError::Kind::encode, {}, head.error().reason});
        if (auto updated = d->execute(kUpdateSnapshotPayload,
                                      [&](sqlite3_stmt *s) {
                                          Private::bindText(s, 1, *json);
                                          Private::bindText(s, 2, id);
                                      });
            !updated)
            return Failure(updated.error());
        if (auto relisted = d->execute(kRenameSnapshotSummary,
                                       [&](sqlite3_stmt *s) {
                                           Private::bindText(s, 1, titleText);
                                           sqlite3_bind_int64(s, 2, sqlite3_int64(json->size()));
                                           Private::bindText(s, 3, id);
                                       });
            !relisted)
            return Failure(relisted.error());
        headText = std::move(head).value();
    }
    // After the update, which dropped the head.
    if (auto headed = d->execute(kUpsertSnapshotHead,
                                 [&](sqlite3_stmt *s) {
                                     Private::bindText(s, 1, id);
                                     Private::bindText(s, 2, headText);
                                 });
        !headed)
        return Failure(headed.error());
    return transaction.commit();
}

} // namespace tarni
