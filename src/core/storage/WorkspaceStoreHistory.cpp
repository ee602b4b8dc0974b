#include "storage/WorkspaceStorePrivate.h"

#include "storage/SqlTransaction.h"

#include "model/JsonEncoding.h"
#include "model/Uuid.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <limits>
#include <tuple>

namespace tarni {

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
// (updatedAt, lastOpenedAt), as it is stored: lowercase hex of the MD5 of its
// compact JSON. Writing a digest instead of the record keeps a step's size to
// one short row per record, which halves what a large import writes.
using HexDigest = std::array<char, 32>;

HexDigest hexDigest(const std::array<char, 16> &digest)
{
    static constexpr char kHex[] = "0123456789abcdef";
    HexDigest hex;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const auto byte = static_cast<unsigned char>(digest[i]);
        hex[2 * i] = kHex[byte >> 4];
        hex[2 * i + 1] = kHex[byte & 0xf];
    }
    return hex;
}

std::string_view view(const HexDigest &hex)
{
    return {hex.data(), hex.size()};
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

StoreResult<void> WorkspaceStore::HistorySql::insertRecord(std::int64_t step, int role, std::string_view ref,
                                                           std::string_view json)
{
    return d.execute(kInsertHistoryRecord, [&](sqlite3_stmt *s) {
        sqlite3_bind_int64(s, 1, step);
        sqlite3_bind_int(s, 2, role);
        Private::bindText(s, 3, ref.data(), ref.size());
        Private::bindText(s, 4, json.data(), json.size());
    });
}

StoreResult<void> WorkspaceStore::HistorySql::insertNodeRecords(std::int64_t step, int role, const std::string &ref,
                                                                const NodeList &nodes)
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

StoreResult<void> WorkspaceStore::HistorySql::insertStepRecords(std::int64_t step, const HistoryStep &history)
{
    if (auto done = insertNodeRecords(step, kBefore, {}, history.before); !done)
        return done;
    std::string scratch;
    std::size_t cursor = 0;
    QHash<QUuid, std::size_t> index;
    char id[kUuidTextLength];
    for (const WorkspaceNode &node : history.after) {
        Private::Digest digest;
        if (const Private::Digest *written = d.writtenDigest(node, cursor, index)) {
            digest = *written;
        } else {
            auto encoded = d.stampFreeDigest(node, scratch);
            if (!encoded)
                return Failure(StoreError{StoreError::Kind::encode, {}, encoded.error().reason});
            digest = *encoded;
        }
        formatUuid(node.id(), id);
        if (auto done = insertRecord(step, kAfterDigest, std::string_view(id, kUuidTextLength), view(hexDigest(digest)));
            !done)
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

StoreResult<void> WorkspaceStore::HistorySql::deleteSteps(const std::string &workspace, bool undone, std::int64_t from,
                                                          std::int64_t to)
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

StoreResult<void> WorkspaceStore::HistorySql::trim(const std::string &workspace)
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

StoreResult<std::optional<std::int64_t>> WorkspaceStore::HistorySql::apply(const HistoryWrite &history,
                                                                          const std::string &workspace)
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

StoreResult<std::optional<std::int64_t>> WorkspaceStore::saveEdit(const Workspace &workspace, const NodeList &nodes,
                                                                  const HistoryWrite &history)
{
    return saveEditWith(workspace, nodes, history, nullptr);
}

StoreResult<std::optional<std::int64_t>> WorkspaceStore::saveEditInPlace(const Workspace &workspace,
                                                                         const NodeList &nodes,
                                                                         const NodeListEdit &edit,
                                                                         const HistoryWrite &history)
{
    return saveEditWith(workspace, nodes, history, &edit);
}

StoreResult<std::optional<std::int64_t>> WorkspaceStore::saveEditWith(const Workspace &workspace,
                                                                      const NodeList &nodes,
                                                                      const HistoryWrite &history,
                                                                      const NodeListEdit *inPlace)
{
    std::optional<std::int64_t> recorded;
    const std::string workspaceText = uuidText(workspace.id);
    // The step's records of the rows written take the digests made with them.
    const bool digestsWanted = history.step && !history.step->after.isEmpty() &&
                               (history.kind == HistoryWrite::Kind::record || history.kind == HistoryWrite::Kind::amend);
    auto written = writeNodes(
        nodes, workspace.id, &workspace,
        [&]() -> StoreResult<void> {
            auto applied = HistorySql{*d}.apply(history, workspaceText);
            if (!applied)
                return Failure(applied.error());
            recorded = *applied;
            return {};
        },
        inPlace, digestsWanted);
    if (!written)
        return Failure(written.error());
    return recorded;
}

StoreResult<QList<HistoryEntry>> WorkspaceStore::fetchHistory(const QUuid &workspaceID)
{
    std::lock_guard guard(m_lock);
    QList<HistoryEntry> entries;
    auto present = d->hasTable("edit_history");
    if (!present)
        return Failure(present.error());
    if (!*present)
        return entries;
    const std::string workspace = uuidText(workspaceID);
    auto read = d->query(
        kSelectHistory, [&](sqlite3_stmt *s) { Private::bindText(s, 1, workspace); },
        [&](sqlite3_stmt *s) -> StoreResult<void> {
            entries.push_back(HistoryEntry{sqlite3_column_int64(s, 0), columnText(s, 1), columnText(s, 2),
                                           sqlite3_column_int(s, 3) != 0, sqlite3_column_int64(s, 4)});
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
        auto liveDigest = live ? d->stampFreeDigest(*live, scratch)
                               : Result<Private::Digest, json::EncodeError>(Failure(json::EncodeError{}));
        if (!live || !liveDigest || view(hexDigest(*liveDigest)) != digest) {
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
    SqlTransaction transaction(*d);
    if (auto begun = transaction.begin(); !begun)
        return begun;
    HistorySql sql{*d};
    for (bool undone : {false, true}) {
        if (auto done = sql.deleteSteps(workspace, undone, std::numeric_limits<std::int64_t>::min(),
                                        std::numeric_limits<std::int64_t>::max());
            !done)
            return done;
    }
    return transaction.commit();
}

} // namespace tarni
