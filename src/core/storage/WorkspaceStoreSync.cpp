// The sync tables: this machine's part in a shared folder, the clock of each
// node's version, the nodes changed since the last change file, what was
// applied of the other machines, and the versions kept on conflict.

#include "storage/WorkspaceStorePrivate.h"

#include "storage/SqlTransaction.h"
#include "sync/ChangeFile.h"
#include "sync/SyncFolder.h"
#include "sync/SyncMerge.h"

#include "model/Uuid.h"

#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>


#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <map>
#include <set>

namespace tarni {

using namespace sync;

namespace {

constexpr const char *kSelectState =
    "SELECT device_id, device_name, folder, enabled, clock, next_seq, last_sent_at, last_received_at\n"
    "FROM sync_state WHERE id = 1;";
constexpr const char *kReplaceState =
    "INSERT OR REPLACE INTO sync_state (id, device_id, device_name, folder, enabled, applying, clock, next_seq,\n"
    "    last_sent_at, last_received_at) VALUES (1, ?, ?, ?, 1, 0, NULL, 1, NULL, NULL);";
constexpr const char *kDisable = "UPDATE sync_state SET enabled = 0 WHERE id = 1;";
constexpr const char *kSetApplying = "UPDATE sync_state SET applying = ? WHERE id = 1;";
constexpr const char *kSaveSent = "UPDATE sync_state SET clock = ?, next_seq = ?, last_sent_at = ? WHERE id = 1;";
constexpr const char *kSaveReceived = "UPDATE sync_state SET clock = ?, last_received_at = ? WHERE id = 1;";

constexpr const char *kSelectPending = "SELECT node_id FROM sync_pending ORDER BY node_id;";
constexpr const char *kCountPending = "SELECT count(*) FROM sync_pending;";
constexpr const char *kDeletePending = "DELETE FROM sync_pending;";
constexpr const char *kMarkAllPending = "INSERT OR IGNORE INTO sync_pending (node_id) SELECT id FROM nodes;";
constexpr const char *kDeleteClocks = "DELETE FROM sync_clocks;";
constexpr const char *kDeleteApplied = "DELETE FROM sync_applied;";

constexpr const char *kSelectClock =
    "SELECT clock, deleted, digest, content_clock FROM sync_clocks WHERE node_id = ?;";
// `digest` is the content digest of the version (of the deleted one, once
// deleted); `content_clock` its LocalVersion::contentClock.
constexpr const char *kSaveClock =
    "INSERT OR REPLACE INTO sync_clocks (node_id, clock, deleted, digest, content_clock) VALUES (?, ?, ?, ?, ?);";
constexpr const char *kSelectRow = "SELECT payload_json FROM nodes WHERE id = ?;";
constexpr const char *kSelectParent = "SELECT parent_id IS NULL, parent_id FROM nodes WHERE id = ?;";
constexpr const char *kSelectChildren = "SELECT id FROM nodes WHERE parent_id = ?;";
constexpr const char *kDeleteRow = "DELETE FROM nodes WHERE id = ?;";
// The nodes put under "Recovered" (orphans, and nodes of cycles), with the
// parent their version names: they go back once it is there again and makes
// no cycle, so that the tree does not depend on the order in which a machine
// received the changes.
constexpr const char *kSaveRecovered = "INSERT OR REPLACE INTO sync_recovered (node_id, parent_id) VALUES (?, ?);";
constexpr const char *kSelectRecovered = "SELECT node_id, parent_id FROM sync_recovered ORDER BY node_id;";
constexpr const char *kDeleteRecovered = "DELETE FROM sync_recovered WHERE node_id = ?;";
constexpr const char *kCountChildren = "SELECT count(*) FROM nodes WHERE parent_id = ?;";
constexpr const char *kCountSiblingsBefore =
    "SELECT count(*) FROM nodes WHERE parent_id IS ? AND workspace_id = ? AND sort_order < ?;";

constexpr const char *kSelectApplied =
    "SELECT device_id, device_name, seq, applied_at, newest_clock, failed_seq, failed_stamp, failed_reason\n"
    "FROM sync_applied;";
constexpr const char *kSaveApplied =
    "INSERT INTO sync_applied (device_id, device_name, seq, applied_at, newest_clock) VALUES (?, ?, ?, ?, ?)\n"
    "ON CONFLICT (device_id) DO UPDATE SET device_name = excluded.device_name, seq = excluded.seq,\n"
    "    applied_at = excluded.applied_at, newest_clock = max(coalesce(newest_clock, ''), excluded.newest_clock),\n"
    "    failed_seq = NULL, failed_stamp = NULL, failed_reason = NULL;";
constexpr const char *kSaveFailure =
    "INSERT INTO sync_applied (device_id, device_name, seq, failed_seq, failed_stamp, failed_reason)\n"
    "VALUES (?, '', 0, ?, ?, ?)\n"
    "ON CONFLICT (device_id) DO UPDATE SET failed_seq = excluded.failed_seq, failed_stamp = excluded.failed_stamp,\n"
    "    failed_reason = excluded.failed_reason;";

constexpr const char *kInsertConflict =
    "INSERT INTO sync_conflicts (node_id, reason, record_json, lost_device, kept_device, detected_at, detail)\n"
    "VALUES (?, ?, ?, ?, ?, ?, ?);";
constexpr const char *kSelectConflicts =
    "SELECT id, node_id, reason, record_json, lost_device, kept_device, detected_at, detail\n"
    "FROM sync_conflicts ORDER BY id;";
constexpr const char *kCountConflicts = "SELECT count(*) FROM sync_conflicts;";
constexpr const char *kDeleteConflict = "DELETE FROM sync_conflicts WHERE id = ?;";

// Change files hold this many records at most, so that a large import makes
// files well under the size limit; a file still too large is halved.
constexpr std::size_t kRecordsPerFile = 10'000;
// A received clock this far ahead of the local wall clock is reported.
constexpr qint64 kClockAheadMs = 24 * 3600 * 1000;
constexpr const char *kDeviceFileFormat = "tarnibar-device";

// A snapshot file is written once this machine's own change files since its
// last one reach either of these.
constexpr std::size_t kSnapshotAfterFiles = 1000;
constexpr std::uint64_t kSnapshotAfterBytes = std::uint64_t(4) << 20;
// Snapshot files of its own a machine keeps.
constexpr std::size_t kKeptSnapshots = 2;
// A device whose device file has not changed for this long no longer holds
// back the deletion of change files it has not applied.
constexpr qint64 kDeviceGoneMs = qint64(90) * 24 * 3600 * 1000;

constexpr const char *kSelectSnapshotRows =
    "SELECT n.payload_json, c.clock, c.content_clock, c.deleted, r.parent_id FROM nodes n\n"
    "LEFT JOIN sync_clocks c ON c.node_id = n.id LEFT JOIN sync_recovered r ON r.node_id = n.id\n"
    "WHERE n.workspace_id = ?;";
constexpr const char *kDeleteAllRecovered = "DELETE FROM sync_recovered;";
constexpr const char *kResetApplied = "UPDATE sync_applied SET seq = 0;";
constexpr const char *kDeleteDeviceApplied = "DELETE FROM sync_applied WHERE device_id = ?;";
constexpr const char *kSetApplied =
    "INSERT INTO sync_applied (device_id, device_name, seq) VALUES (?, ?, ?)\n"
    "ON CONFLICT (device_id) DO UPDATE SET seq = excluded.seq, failed_seq = NULL, failed_stamp = NULL,\n"
    "    failed_reason = NULL;";
constexpr const char *kDeleteWorkspaceNodes = "DELETE FROM nodes WHERE workspace_id = ?;";

struct State {
    SyncSetup setup;
    std::optional<SyncClock> clock;
    std::int64_t nextSeq = 1;
    std::optional<Timestamp> lastSentAt;
    std::optional<Timestamp> lastReceivedAt;
};

// What another device's devices/<device>.json says.
struct PeerFile {
    std::map<QUuid, std::int64_t, DeviceIdLess> applied;
    // The last of its change numbers whose file it removed.
    std::int64_t compacted = 0;
    std::int64_t modifiedMs = 0;
};

// A snapshot file in the folder, by its header.
struct SnapshotCandidate {
    FolderFileName name;
    SnapshotHeader header;
    std::int64_t total = 0; // its changes of all devices
};

// Reads a folder file as a stream through `fd`, which it closes.
class FdSource {
public:
    explicit FdSource(int fd) : m_fd(fd) {}
    ~FdSource()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FdSource(const FdSource &) = delete;
    FdSource &operator=(const FdSource &) = delete;
    std::ptrdiff_t operator()(char *buffer, std::size_t size)
    {
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, size);
            if (n < 0 && errno == EINTR)
                continue;
            return std::ptrdiff_t(n);
        }
    }

private:
    int m_fd;
};

struct Applied {
    QString name;
    std::int64_t seq = 0;
    std::optional<Timestamp> appliedAt;
    std::optional<SyncClock> newestClock;
    std::int64_t failedSeq = 0;
    std::string failedStamp;
    QString failedReason;
};

// Binds a copy of the text: the values here are mostly made in the call.
void bindCopy(sqlite3_stmt *s, int index, std::string_view text)
{
    const int rc = sqlite3_bind_text64(s, index, text.data(), sqlite3_uint64(text.size()), SQLITE_TRANSIENT, SQLITE_UTF8);
    if (rc != SQLITE_OK && SqlConnection::bindFailure == SQLITE_OK)
        SqlConnection::bindFailure = rc;
}

void bindCopy(sqlite3_stmt *s, int index, const QByteArray &text)
{
    bindCopy(s, index, std::string_view(text.constData(), std::size_t(text.size())));
}

std::optional<Timestamp> columnTimestamp(sqlite3_stmt *s, int column)
{
    if (sqlite3_column_type(s, column) == SQLITE_NULL)
        return std::nullopt;
    return parseTimestamp(columnView(s, column));
}

std::string reasonText(SyncConflict::Reason reason)
{
    switch (reason) {
    case SyncConflict::Reason::lost: return "lost";
    case SyncConflict::Reason::refused: return "refused";
    case SyncConflict::Reason::unsent: return "unsent";
    }
    return "lost";
}

} // namespace

struct WorkspaceStore::SyncSql {
    Private &d;

    // None when sync was never set up, also in a file of a version before
    // sync opened read-only, which has no sync tables.
    StoreResult<std::optional<State>> readState()
    {
        std::optional<State> state;
        auto present = d.hasTable("sync_state");
        if (!present)
            return Failure(present.error());
        if (!*present)
            return state;
        auto read = d.query(kSelectState, [](sqlite3_stmt *) {}, [&](sqlite3_stmt *s) -> StoreResult<void> {
            State st;
            auto device = parseDeviceId(columnView(s, 0));
            if (!device)
                return Failure(decodeError(kSelectState, QStringLiteral("the device id is not an id")));
            st.setup.device = *device;
            st.setup.deviceName = columnText(s, 1);
            st.setup.folder = std::filesystem::path(std::string(columnView(s, 2)));
            st.setup.enabled = sqlite3_column_int(s, 3) != 0;
            if (sqlite3_column_type(s, 4) != SQLITE_NULL)
                st.clock = SyncClock::fromText(columnView(s, 4));
            st.nextSeq = std::max<std::int64_t>(1, sqlite3_column_int64(s, 5));
            st.lastSentAt = columnTimestamp(s, 6);
            st.lastReceivedAt = columnTimestamp(s, 7);
            state = std::move(st);
            return {};
        });
        if (!read)
            return Failure(read.error());
        return state;
    }

    StoreResult<std::map<QUuid, Applied, DeviceIdLess>> readApplied()
    {
        std::map<QUuid, Applied, DeviceIdLess> applied;
        auto read = d.query(kSelectApplied, [](sqlite3_stmt *) {}, [&](sqlite3_stmt *s) -> StoreResult<void> {
            auto device = parseDeviceId(columnView(s, 0));
            if (!device)
                return {};
            Applied a;
            a.name = columnText(s, 1);
            a.seq = sqlite3_column_int64(s, 2);
            a.appliedAt = columnTimestamp(s, 3);
            if (sqlite3_column_type(s, 4) != SQLITE_NULL)
                a.newestClock = SyncClock::fromText(columnView(s, 4));
            a.failedSeq = sqlite3_column_int64(s, 5);
            a.failedStamp = std::string(columnView(s, 6));
            a.failedReason = columnText(s, 7);
            applied.emplace(*device, std::move(a));
            return {};
        });
        if (!read)
            return Failure(read.error());
        return applied;
    }

    StoreResult<std::int64_t> count(const char *sql)
    {
        std::int64_t n = 0;
        auto read = d.query(sql, [](sqlite3_stmt *) {}, [&](sqlite3_stmt *s) -> StoreResult<void> {
            n = sqlite3_column_int64(s, 0);
            return {};
        });
        if (!read)
            return Failure(read.error());
        return n;
    }

    // `deleted`: whether the kept clock is that of a deletion; `digest`: the
    // kept content digest.
    StoreResult<LocalVersion> local(const std::string &id, bool *deleted = nullptr, std::string *digest = nullptr)
    {
        LocalVersion version;
        auto clock = d.query(
            kSelectClock, [&](sqlite3_stmt *s) { bindCopy(s, 1, id); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                version.clock = SyncClock::fromText(columnView(s, 0));
                if (deleted)
                    *deleted = sqlite3_column_int(s, 1) != 0;
                if (digest)
                    *digest = std::string(columnView(s, 2));
                if (sqlite3_column_type(s, 3) != SQLITE_NULL)
                    version.contentClock = SyncClock::fromText(columnView(s, 3));
                return {};
            });
        if (!clock)
            return Failure(clock.error());
        auto row = d.query(
            kSelectRow, [&](sqlite3_stmt *s) { bindCopy(s, 1, id); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                auto node = d.decoder.workspaceNode(columnView(s, 0));
                if (!node)
                    return Failure(decodeError(kSelectRow, QStringLiteral("node %1: %2")
                                                               .arg(QString::fromStdString(id),
                                                                    node.error().description())));
                version.node = std::move(*node);
                return {};
            });
        if (!row)
            return Failure(row.error());
        return version;
    }

    StoreResult<void> saveClock(const QUuid &id, const SyncClock &clock, bool deleted, const std::string &digest,
                                const std::optional<SyncClock> &contentClock)
    {
        return d.execute(kSaveClock, [&](sqlite3_stmt *s) {
            bindCopy(s, 1, uuidText(id));
            bindCopy(s, 2, clock.toText());
            sqlite3_bind_int(s, 3, deleted ? 1 : 0);
            bindCopy(s, 4, digest);
            contentClock ? bindCopy(s, 5, contentClock->toText()) : void(sqlite3_bind_null(s, 5));
        });
    }

    StoreResult<void> writeRow(const WorkspaceNode &node)
    {
        Private::NodeRow row;
        auto updated = d.updateNode(row, node, uuidText(node.workspaceID()));
        if (!updated)
            return Failure(updated.error());
        if (*updated == Private::Outcome::needsRewrite)
            return d.insertNode(row, node);
        return {};
    }

    StoreResult<void> keepConflict(const QUuid &nodeID, SyncConflict::Reason reason,
                                   const std::optional<WorkspaceNode> &node, const QString &lostDevice,
                                   const QString &keptDevice, const QString &detail)
    {
        std::string json;
        if (node) {
            auto encoded = json::encode(*node);
            if (!encoded)
                return Failure(StoreError{StoreError::Kind::encode, {}, encoded.error().reason});
            json = std::move(*encoded);
        }
        const QByteArray lost = lostDevice.toUtf8(), kept = keptDevice.toUtf8(), why = detail.toUtf8();
        return d.execute(kInsertConflict, [&](sqlite3_stmt *s) {
            bindCopy(s, 1, uuidText(nodeID));
            bindCopy(s, 2, reasonText(reason));
            node ? bindCopy(s, 3, json) : void(sqlite3_bind_null(s, 3));
            bindCopy(s, 4, lost);
            bindCopy(s, 5, kept);
            bindCopy(s, 6, timestampText(currentTimestamp()));
            bindCopy(s, 7, why);
        });
    }

    StoreResult<void> forgetRecovered(const QUuid &id)
    {
        const std::string text = uuidText(id);
        return d.execute(kDeleteRecovered, [&](sqlite3_stmt *s) { bindCopy(s, 1, text); });
    }

    StoreResult<std::map<QUuid, std::int64_t, DeviceIdLess>> afterList(const QUuid &self)
    {
        auto applied = readApplied();
        if (!applied)
            return Failure(applied.error());
        std::map<QUuid, std::int64_t, DeviceIdLess> after;
        for (const auto &[device, a] : *applied)
            if (a.seq > 0 && device != self)
                after.emplace(device, a.seq);
        return after;
    }

    // Writes one change file of `records`, halving them while the file is
    // too large. Records too large on their own are left out and kept as
    // unsent.
    StoreResult<void> writeChanges(State &state, const std::map<QUuid, std::int64_t, DeviceIdLess> &after,
                                   std::vector<ChangeRecord> records, std::vector<ChangeRecord> &sent, SyncRun &run)
    {
        if (records.empty())
            return {};
        ChangeFile file;
        file.device = state.setup.device;
        file.deviceName = state.setup.deviceName;
        file.after = after;
        file.changes = std::move(records);
        for (;;) {
            file.seq = state.nextSeq;
            auto encoded = encodeChangeFile(file);
            if (!encoded) {
                const ChangeFileError &error = encoded.error();
                if (error.problem == ChangeFileProblem::tooLarge && !error.nodeID.isNull()) {
                    // One record too large for any file.
                    auto it = std::find_if(file.changes.begin(), file.changes.end(),
                                           [&](const ChangeRecord &r) { return r.nodeID() == error.nodeID; });
                    if (it == file.changes.end())
                        return Failure(StoreError{StoreError::Kind::encode, {}, error.description()});
                    auto kept = keepConflict(error.nodeID, SyncConflict::Reason::unsent,
                                             it->node() ? std::optional(*it->node()) : std::nullopt,
                                             state.setup.deviceName, QString(), error.description());
                    if (!kept)
                        return kept;
                    file.changes.erase(it);
                    if (file.changes.empty())
                        return {};
                    continue;
                }
                if (error.problem == ChangeFileProblem::tooLarge && file.changes.size() > 1) {
                    const auto half = file.changes.begin() + std::ptrdiff_t(file.changes.size() / 2);
                    std::vector<ChangeRecord> second(std::make_move_iterator(half),
                                                     std::make_move_iterator(file.changes.end()));
                    file.changes.erase(half, file.changes.end());
                    if (auto done = writeChanges(state, after, std::move(file.changes), sent, run); !done)
                        return done;
                    return writeChanges(state, after, std::move(second), sent, run);
                }
                return Failure(StoreError{StoreError::Kind::encode, {}, error.description()});
            }
            std::string problem;
            const FolderFileName name{FolderFileKind::changes, state.setup.device, file.seq};
            if (writeFolderFile(state.setup.folder, name, *encoded, &problem)) {
                ++state.nextSeq;
                ++run.filesSent;
                run.changesSent += std::int64_t(file.changes.size());
                for (ChangeRecord &record : file.changes)
                    sent.push_back(std::move(record));
                return {};
            }
            // A file of this number is there already: written by a run
            // whose transaction did not commit. The next number is free.
            if (errno == EEXIST && state.nextSeq < kMaxChangeSeq) {
                ++state.nextSeq;
                continue;
            }
            return Failure(StoreError{StoreError::Kind::step, {},
                                      QStringLiteral("cannot write a change file: %1")
                                          .arg(QString::fromStdString(problem))});
        }
    }

    // Inside a write transaction: writes this machine's unsent changes to
    // the folder and records their clocks.
    StoreResult<void> sendPending(State &state, HybridClock &clock, SyncRun &run)
    {
        std::vector<std::string> ids;
        auto read = d.query(kSelectPending, [](sqlite3_stmt *) {}, [&](sqlite3_stmt *s) -> StoreResult<void> {
            ids.emplace_back(columnView(s, 0));
            return {};
        });
        if (!read)
            return read;
        if (ids.empty())
            return {};
        auto after = afterList(state.setup.device);
        if (!after)
            return Failure(after.error());
        std::vector<ChangeRecord> batch, sent;
        // Per node sent: its content digest and the clock of its last
        // content change.
        struct Content {
            std::string digest;
            std::optional<SyncClock> contentClock;
        };
        QHash<QUuid, Content> content;
        for (const std::string &id : ids) {
            auto nodeID = parseUuid(id);
            if (!nodeID)
                continue;
            bool wasDeleted = false;
            std::string keptDigest;
            auto version = local(id, &wasDeleted, &keptDigest);
            if (!version) {
                // A row this version cannot read is not sent.
                qCWarning(lcStore).noquote() << "not sending" << QString::fromStdString(id) << ":"
                                             << version.error().description();
                continue;
            }
            ChangeRecord record;
            record.base = version->clock;
            if (version->node) {
                record.change = *version->node;
            } else {
                // Never sent, or its deletion was: nothing to tell.
                if (!version->clock || wasDeleted)
                    continue;
                record.change = Tombstone{*nodeID};
            }
            record.clock = clock.next();
            if (const WorkspaceNode *node = record.node()) {
                // A row whose content is that of the version before keeps
                // that version's content clock: it only reordered or opened
                // the node. A node brought back after a delete is new content.
                std::string digest = contentDigest(*node);
                const bool sameContent = version->clock && !wasDeleted && version->contentClock &&
                                         !keptDigest.empty() && digest == keptDigest;
                record.content = sameContent ? version->contentClock : std::optional(record.clock);
                content.insert(*nodeID, {std::move(digest), record.content});
            } else {
                content.insert(*nodeID, {keptDigest, version->clock});
            }
            batch.push_back(std::move(record));
            if (batch.size() == kRecordsPerFile) {
                if (auto done = writeChanges(state, *after, std::move(batch), sent, run); !done)
                    return done;
                batch.clear();
            }
        }
        if (auto done = writeChanges(state, *after, std::move(batch), sent, run); !done)
            return done;
        for (const ChangeRecord &record : sent) {
            const Content &c = content[record.nodeID()];
            // A version sent from here names its parent itself, "Recovered"
            // included: the node is no longer one put there by a merge.
            if (auto dropped = forgetRecovered(record.nodeID()); !dropped)
                return dropped;
            if (auto saved = saveClock(record.nodeID(), record.clock, !record.node(), c.digest, c.contentClock); !saved)
                return saved;
        }
        if (auto cleared = d.execute(kDeletePending); !cleared)
            return cleared;
        if (sent.empty())
            return {};
        state.clock = clock.last();
        state.lastSentAt = currentTimestamp();
        return d.execute(kSaveSent, [&](sqlite3_stmt *s) {
            bindCopy(s, 1, state.clock ? state.clock->toText() : std::string());
            sqlite3_bind_int64(s, 2, state.nextSeq);
            bindCopy(s, 3, timestampText(*state.lastSentAt));
        });
    }

    StoreResult<std::optional<std::optional<QUuid>>> parentOf(const QUuid &id)
    {
        std::optional<std::optional<QUuid>> parent;
        auto read = d.query(
            kSelectParent, [&](sqlite3_stmt *s) { bindCopy(s, 1, uuidText(id)); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                if (sqlite3_column_int(s, 0))
                    parent = std::optional<QUuid>();
                else
                    parent = parseUuid(columnView(s, 1));
                return {};
            });
        if (!read)
            return Failure(read.error());
        return parent;
    }

    StoreResult<QList<QUuid>> children(const QUuid &id)
    {
        QList<QUuid> found;
        auto read = d.query(
            kSelectChildren, [&](sqlite3_stmt *s) { bindCopy(s, 1, uuidText(id)); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                if (auto child = parseUuid(columnView(s, 0)))
                    found.push_back(*child);
                return {};
            });
        if (!read)
            return Failure(read.error());
        return found;
    }

    // Puts every orphan and one node of every cycle among `touched` under
    // "Recovered". The outcome depends on the rows and clocks only, so every
    // machine that applied the same changes moves the same nodes.
    StoreResult<bool> recover(const QSet<QUuid> &touched, const QUuid &workspaceID)
    {
        const WorkspaceNode group = recoveredGroup(workspaceID);
        bool changed = false;
        std::optional<StoreError> failure;
        QSet<QUuid> rooted;
        const ParentLookup lookup = [&](const QUuid &id) -> std::optional<std::optional<QUuid>> {
            if (rooted.contains(id))
                return std::optional<QUuid>();
            auto parent = parentOf(id);
            if (!parent) {
                failure = parent.error();
                return std::optional<QUuid>();
            }
            return *parent;
        };
        const auto clockOf = [&](const QUuid &id) -> std::optional<SyncClock> {
            auto version = local(uuidText(id));
            return version ? version->clock : std::nullopt;
        };
        QList<QUuid> order(touched.begin(), touched.end());
        std::sort(order.begin(), order.end(), DeviceIdLess());
        for (const QUuid &id : order) {
            AncestorWalk walk = walkAncestors(id, lookup);
            if (failure)
                return Failure(*failure);
            std::optional<QUuid> move = walk.orphan;
            if (!walk.cycle.empty()) {
                // A cycle through "Recovered" itself is broken above it.
                const bool throughGroup =
                    std::find(walk.cycle.begin(), walk.cycle.end(), group.id()) != walk.cycle.end();
                move = throughGroup ? group.id() : cycleBreaker(walk.cycle, clockOf);
            }
            if (!move) {
                rooted.insert(id);
                continue;
            }
            auto version = local(uuidText(*move));
            if (!version)
                return Failure(version.error());
            if (!version->node)
                continue;
            auto groupHere = parentOf(group.id());
            if (!groupHere)
                return Failure(groupHere.error());
            if (!*groupHere)
                if (auto made = writeRow(group); !made)
                    return Failure(made.error());
            WorkspaceNode node = *version->node;
            if (node.parentID() && *node.parentID() != group.id() && node.id() != group.id()) {
                const std::string nodeText = uuidText(node.id()), parentText = uuidText(*node.parentID());
                if (auto kept = d.execute(kSaveRecovered,
                                          [&](sqlite3_stmt *s) {
                                              bindCopy(s, 1, nodeText);
                                              bindCopy(s, 2, parentText);
                                          });
                    !kept)
                    return Failure(kept.error());
            }
            // "Recovered" itself, when an orphan or in a cycle, goes to the top.
            if (node.id() == group.id())
                node.edit().parentID.reset();
            else
                node.edit().parentID = group.id();
            if (auto written = writeRow(node); !written)
                return Failure(written.error());
            changed = true;
        }
        return changed;
    }

    // Puts recovered orphans back under their parents once those are there
    // (and it makes no cycle), forgets the ones moved elsewhere since, and
    // removes the "Recovered" group once empty, unless someone edited it.
    StoreResult<bool> restoreRecovered(const QUuid &workspaceID)
    {
        const WorkspaceNode group = recoveredGroup(workspaceID);
        std::vector<std::pair<QUuid, QUuid>> entries;
        auto read = d.query(kSelectRecovered, [](sqlite3_stmt *) {}, [&](sqlite3_stmt *s) -> StoreResult<void> {
            auto node = parseUuid(columnView(s, 0));
            auto parent = parseUuid(columnView(s, 1));
            if (node && parent)
                entries.emplace_back(*node, *parent);
            return {};
        });
        if (!read)
            return Failure(read.error());
        bool changed = false;
        for (const auto &[nodeID, parentID] : entries) {
            auto version = local(uuidText(nodeID));
            if (!version)
                return Failure(version.error());
            const bool stillRecovered = version->node && version->node->parentID() == group.id();
            bool back = false;
            if (stillRecovered) {
                std::optional<StoreError> failure;
                const AncestorWalk walk = walkAncestors(parentID, [&](const QUuid &id) {
                    if (id == nodeID)
                        return std::optional<std::optional<QUuid>>(std::optional<QUuid>(nodeID));
                    auto parent = parentOf(id);
                    if (!parent) {
                        failure = parent.error();
                        return std::optional<std::optional<QUuid>>(std::optional<QUuid>());
                    }
                    return *parent;
                });
                if (failure)
                    return Failure(*failure);
                auto parentHere = parentOf(parentID);
                if (!parentHere)
                    return Failure(parentHere.error());
                back = *parentHere && walk.cycle.empty() && !walk.orphan;
                if (back) {
                    WorkspaceNode node = *version->node;
                    node.edit().parentID = parentID;
                    if (auto written = writeRow(node); !written)
                        return Failure(written.error());
                    changed = true;
                }
            }
            if (!stillRecovered || back) {
                const std::string nodeText = uuidText(nodeID);
                if (auto dropped = d.execute(kDeleteRecovered, [&](sqlite3_stmt *s) { bindCopy(s, 1, nodeText); });
                    !dropped)
                    return Failure(dropped.error());
            }
        }
        // Made here by a merge, not by anyone's edit: its row has no version
        // of its own (none, or the deletion of an earlier one).
        bool deletedVersion = false;
        auto groupHere = local(uuidText(group.id()), &deletedVersion);
        if (!groupHere)
            return Failure(groupHere.error());
        if (groupHere->node && (!groupHere->clock || deletedVersion)) {
            const std::string groupText = uuidText(group.id());
            std::int64_t kids = 0;
            auto counted = d.query(
                kCountChildren, [&](sqlite3_stmt *s) { bindCopy(s, 1, groupText); },
                [&](sqlite3_stmt *s) -> StoreResult<void> {
                    kids = sqlite3_column_int64(s, 0);
                    return {};
                });
            if (!counted)
                return Failure(counted.error());
            if (kids == 0) {
                if (auto deleted = d.execute(kDeleteRow, [&](sqlite3_stmt *s) { bindCopy(s, 1, groupText); }); !deleted)
                    return Failure(deleted.error());
                changed = true;
            }
        }
        return changed;
    }

    // The received deletions, as trash entries: one per removed node whose
    // parent stays, holding it and the removed nodes below it.
    StoreResult<void> trashRemoved(const NodeList &removed, const QUuid &workspaceID)
    {
        QHash<QUuid, qsizetype> index;
        for (qsizetype i = 0; i < removed.size(); ++i)
            index.insert(removed[i].id(), i);
        QHash<QUuid, QList<qsizetype>> below;
        QList<qsizetype> tops;
        for (qsizetype i = 0; i < removed.size(); ++i) {
            const auto &parent = removed[i].parentID();
            if (parent && index.contains(*parent))
                below[*parent].push_back(i);
            else
                tops.push_back(i);
        }
        const auto byOrder = [&](qsizetype a, qsizetype b) {
            if (removed[a].sortOrder() != removed[b].sortOrder())
                return removed[a].sortOrder() < removed[b].sortOrder();
            return compareDeviceIds(removed[a].id(), removed[b].id()) < 0;
        };
        HistorySql history{d};
        const std::string workspace = uuidText(workspaceID);
        for (qsizetype top : tops) {
            TrashEntry entry;
            entry.id = newUuid();
            entry.workspaceID = workspaceID;
            entry.deletedAt = currentTimestamp();
            entry.title = removed[top].title();
            entry.parentID = removed[top].parentID();
            std::int64_t position = 0;
            const std::string parent = entry.parentID ? uuidText(*entry.parentID) : std::string();
            auto counted = d.query(
                kCountSiblingsBefore,
                [&](sqlite3_stmt *s) {
                    entry.parentID ? bindCopy(s, 1, parent) : void(sqlite3_bind_null(s, 1));
                    bindCopy(s, 2, workspace);
                    sqlite3_bind_double(s, 3, removed[top].sortOrder());
                },
                [&](sqlite3_stmt *s) -> StoreResult<void> {
                    position = sqlite3_column_int64(s, 0);
                    return {};
                });
            if (!counted)
                return counted;
            entry.position = position;
            // Pre-order, siblings by their order.
            QList<qsizetype> stack{top};
            while (!stack.isEmpty()) {
                const qsizetype at = stack.takeLast();
                entry.nodes.push_back(removed[at]);
                QList<qsizetype> kids = below.value(removed[at].id());
                std::sort(kids.begin(), kids.end(), byOrder);
                for (auto it = kids.rbegin(); it != kids.rend(); ++it)
                    stack.push_back(*it);
            }
            if (auto inserted = history.insertTrash(entry); !inserted)
                return inserted;
        }
        return {};
    }

    // Inside a write transaction: merges one received file. The caller
    // marks the transaction as applying, so that its writes are not sent.
    StoreResult<void> applyFile(const DecodedChangeFile &decoded, const State &state, const QUuid &workspaceID,
                                HybridClock &clock, SyncRun &run)
    {
        const ChangeFile &file = decoded.file;
        const QString sender = file.deviceName.isEmpty() ? QString::fromStdString(deviceIdText(file.device))
                                                         : file.deviceName;
        for (const RefusedChange &refused : decoded.refused) {
            const QUuid id = refused.record ? refused.record->nodeID() : QUuid();
            std::optional<WorkspaceNode> node;
            if (refused.record && refused.record->node())
                node = *refused.record->node();
            if (auto kept = keepConflict(id, SyncConflict::Reason::refused, node, sender, state.setup.deviceName,
                                         refused.description());
                !kept)
                return kept;
            ++run.newConflicts;
        }
        QSet<QUuid> touched;
        NodeList removed;
        std::optional<SyncClock> newest;
        for (const ChangeRecord &received : file.changes) {
            ChangeRecord record = received;
            if (WorkspaceNode *node = std::get_if<WorkspaceNode>(&record.change); node &&
                node->workspaceID() != workspaceID)
                node->setWorkspaceID(workspaceID);
            clock.observe(record.clock);
            if (!newest || record.clock > *newest)
                newest = record.clock;
            const QUuid id = record.nodeID();
            std::string digest;
            auto version = local(uuidText(id), nullptr, &digest);
            if (!version)
                return Failure(version.error());
            MergeOutcome outcome = mergeChange(*version, record);
            switch (outcome.action) {
            case MergeOutcome::Action::write:
                if (auto written = writeRow(*outcome.node); !written)
                    return written;
                if (auto dropped = forgetRecovered(id); !dropped)
                    return dropped;
                touched.insert(id);
                run.treeChanged = true;
                break;
            case MergeOutcome::Action::remove:
                if (auto deleted = d.execute(kDeleteRow, [&](sqlite3_stmt *s) { bindCopy(s, 1, uuidText(id)); });
                    !deleted)
                    return deleted;
                removed.push_back(*version->node);
                run.treeChanged = true;
                break;
            case MergeOutcome::Action::keep: break;
            }
            if (outcome.clock && outcome.clock != version->clock) {
                if (outcome.action == MergeOutcome::Action::write)
                    digest = contentDigest(*outcome.node);
                if (auto saved = saveClock(id, *outcome.clock, outcome.deleted, digest, outcome.contentClock); !saved)
                    return saved;
            }
            if (outcome.lost) {
                const QString lostBy = outcome.lostLocal ? state.setup.deviceName : sender;
                const QString keptBy = outcome.lostLocal ? sender : state.setup.deviceName;
                if (auto kept = keepConflict(id, SyncConflict::Reason::lost, outcome.lost, lostBy, keptBy, QString());
                    !kept)
                    return kept;
                ++run.newConflicts;
            }
            ++run.changesApplied;
        }
        if (!removed.isEmpty()) {
            if (auto trashed = trashRemoved(removed, workspaceID); !trashed)
                return trashed;
            for (const WorkspaceNode &node : std::as_const(removed)) {
                auto kids = children(node.id());
                if (!kids)
                    return Failure(kids.error());
                for (const QUuid &kid : std::as_const(*kids))
                    touched.insert(kid);
            }
        }
        auto recovered = recover(touched, workspaceID);
        if (!recovered)
            return Failure(recovered.error());
        run.treeChanged = run.treeChanged || *recovered;

        const QByteArray name = file.deviceName.toUtf8();
        const std::string now = timestampText(currentTimestamp());
        auto saved = d.execute(kSaveApplied, [&](sqlite3_stmt *s) {
            bindCopy(s, 1, deviceIdText(file.device));
            bindCopy(s, 2, name);
            sqlite3_bind_int64(s, 3, file.seq);
            bindCopy(s, 4, now);
            newest ? bindCopy(s, 5, newest->toText()) : void(sqlite3_bind_null(s, 5));
        });
        if (!saved)
            return saved;
        const auto last = clock.last();
        if (auto received = d.execute(kSaveReceived,
                                      [&](sqlite3_stmt *s) {
                                          last ? bindCopy(s, 1, last->toText()) : void(sqlite3_bind_null(s, 1));
                                          bindCopy(s, 2, now);
                                      });
            !received)
            return received;
        ++run.filesApplied;
        return {};
    }

    // ------------------------------------------------------------ snapshots

    // The last of this machine's change numbers whose file is no longer in
    // the folder: before the first one there, or all when none is.
    static std::int64_t ownCompacted(const State &state)
    {
        const auto files = folderFiles(state.setup.folder, FolderFileKind::changes, state.setup.device);
        return files.empty() ? state.nextSeq - 1 : files.front().seq - 1;
    }

    // The other devices' device files that read, by device.
    static std::map<QUuid, PeerFile, DeviceIdLess> readPeers(const State &state)
    {
        std::map<QUuid, PeerFile, DeviceIdLess> peers;
        const auto number = [](const QJsonValue &v) -> std::int64_t {
            const qint64 n = v.toInteger(-1);
            return n >= 0 && n <= kMaxChangeSeq ? std::int64_t(n) : 0;
        };
        for (const QUuid &device : folderDevices(state.setup.folder, FolderFileKind::device)) {
            if (device == state.setup.device)
                continue;
            const FolderFileRead read =
                readFolderFile(state.setup.folder, FolderFileName{FolderFileKind::device, device, 0}, 1 << 20);
            if (read.status != FolderFileRead::Status::read)
                continue;
            const QJsonObject object =
                QJsonDocument::fromJson(QByteArray::fromRawData(read.bytes.data(), qsizetype(read.bytes.size())))
                    .object();
            if (object.value(QStringLiteral("format")).toString() != QLatin1String(kDeviceFileFormat) ||
                object.value(QStringLiteral("device")).toString() != QString::fromStdString(deviceIdText(device)))
                continue;
            PeerFile peer;
            peer.modifiedMs = read.modifiedMs;
            peer.compacted = number(object.value(QStringLiteral("compacted")));
            const QJsonObject applied = object.value(QStringLiteral("applied")).toObject();
            for (auto it = applied.begin(); it != applied.end(); ++it)
                if (auto other = parseDeviceId(it.key().toStdString()))
                    peer.applied[*other] = number(it.value());
            peers.emplace(device, std::move(peer));
        }
        return peers;
    }

    // What a starting snapshot must include of each device: the changes whose
    // files are gone.
    static std::map<QUuid, std::int64_t, DeviceIdLess> required(const State &state,
                                                               const std::map<QUuid, PeerFile, DeviceIdLess> &peers)
    {
        std::map<QUuid, std::int64_t, DeviceIdLess> need;
        for (const auto &[device, peer] : peers)
            if (peer.compacted > 0)
                need[device] = peer.compacted;
        if (const std::int64_t own = ownCompacted(state); own > 0)
            need[state.setup.device] = own;
        return need;
    }

    static bool complete(const SnapshotHeader &header, const std::map<QUuid, std::int64_t, DeviceIdLess> &need)
    {
        return std::all_of(need.begin(), need.end(),
                           [&](const auto &entry) { return header.covered(entry.first) >= entry.second; });
    }

    static std::optional<SnapshotHeader> readSnapshotHeader(const std::filesystem::path &folder,
                                                            const FolderFileName &name)
    {
        FolderFileRead info;
        const int fd = openFolderFile(folder, name, info);
        if (fd < 0)
            return std::nullopt;
        FdSource source(fd);
        SnapshotDecoder decoder(std::ref(source));
        auto header = decoder.header();
        if (!header || header->device != name.device || header->seq != name.seq)
            return std::nullopt;
        return std::move(*header);
    }

    // The snapshot files in the folder whose headers read, the one including
    // the most changes first.
    static std::vector<SnapshotCandidate> snapshotCandidates(const std::filesystem::path &folder)
    {
        std::vector<SnapshotCandidate> found;
        for (const QUuid &device : folderDevices(folder, FolderFileKind::snapshot))
            for (const FolderEntry &entry : folderFiles(folder, FolderFileKind::snapshot, device)) {
                const FolderFileName name{FolderFileKind::snapshot, device, entry.seq};
                auto header = readSnapshotHeader(folder, name);
                if (!header)
                    continue;
                SnapshotCandidate candidate{name, std::move(*header), 0};
                candidate.total = candidate.header.seq;
                for (const auto &[other, seq] : candidate.header.after)
                    candidate.total += seq;
                found.push_back(std::move(candidate));
            }
        std::sort(found.begin(), found.end(), [](const SnapshotCandidate &a, const SnapshotCandidate &b) {
            if (a.total != b.total)
                return a.total > b.total;
            if (a.header.seq != b.header.seq)
                return a.header.seq > b.header.seq;
            return compareDeviceIds(a.header.device, b.header.device) < 0;
        });
        return found;
    }

    // Inside a write transaction marked as applying: replaces the tree, the
    // clocks and what was applied with the snapshot's. A damaged file
    // (reported in `problem`) leaves the transaction to be rolled back.
    StoreResult<bool> loadSnapshot(const SnapshotCandidate &candidate, State &state, const QUuid &workspaceID,
                                   HybridClock &clock, SyncRun &run, QString &problem)
    {
        FolderFileRead info;
        const int fd = openFolderFile(state.setup.folder, candidate.name, info);
        if (fd < 0) {
            problem = QString::fromStdString(info.error.empty() ? std::string("it is gone") : info.error);
            return false;
        }
        FdSource source(fd);
        SnapshotDecoder decoder(std::ref(source));
        auto header = decoder.header();
        if (!header || !(*header == candidate.header)) {
            problem = header ? QStringLiteral("it changed while read") : header.error().description();
            return false;
        }
        const std::string workspaceText = uuidText(workspaceID);
        if (auto cleared = d.execute(kDeleteWorkspaceNodes, [&](sqlite3_stmt *s) { bindCopy(s, 1, workspaceText); });
            !cleared)
            return Failure(cleared.error());
        for (const char *statement : {kDeleteClocks, kDeleteAllRecovered, kDeletePending, kResetApplied})
            if (auto done = d.execute(statement); !done)
                return Failure(done.error());
        HistorySql history{d};
        for (bool undone : {false, true})
            if (auto done = history.deleteSteps(workspaceText, undone, std::numeric_limits<std::int64_t>::min(),
                                                std::numeric_limits<std::int64_t>::max());
                !done)
                return Failure(done.error());

        const QString sender = header->deviceName.isEmpty() ? QString::fromStdString(deviceIdText(header->device))
                                                            : header->deviceName;
        QHash<QUuid, std::optional<QUuid>> parents;
        for (;;) {
            auto item = decoder.next();
            if (!item) {
                problem = item.error().description();
                return false;
            }
            if (!*item)
                break;
            if ((*item)->refused) {
                const RefusedChange &refused = *(*item)->refused;
                if (auto kept = keepConflict(refused.record ? refused.record->nodeID() : QUuid(),
                                             SyncConflict::Reason::refused,
                                             refused.record && refused.record->node() ? std::optional(*refused.record->node())
                                                                                      : std::nullopt,
                                             sender, state.setup.deviceName, refused.description());
                    !kept)
                    return Failure(kept.error());
                ++run.newConflicts;
                continue;
            }
            ChangeRecord &record = *(*item)->record;
            WorkspaceNode &node = std::get<WorkspaceNode>(record.change);
            if (node.workspaceID() != workspaceID)
                node.setWorkspaceID(workspaceID);
            clock.observe(record.clock);
            if (auto written = writeRow(node); !written)
                return Failure(written.error());
            if (auto saved = saveClock(node.id(), record.clock, false, contentDigest(node),
                                       record.content ? record.content : std::optional(record.clock));
                !saved)
                return Failure(saved.error());
            parents.insert(node.id(), node.parentID());
        }

        // Which nodes reach the top; the others (orphans, cycles) go under
        // "Recovered" as after any merge.
        QHash<QUuid, int> reaches; // 1 yes, 2 no, 3 being walked
        QSet<QUuid> stray;
        for (auto it = parents.cbegin(); it != parents.cend(); ++it) {
            std::vector<QUuid> path;
            QUuid at = it.key();
            int verdict = 0;
            for (;;) {
                const int known = reaches.value(at, 0);
                if (known == 1 || known == 2) {
                    verdict = known;
                    break;
                }
                if (known == 3) { // a cycle
                    verdict = 2;
                    break;
                }
                reaches.insert(at, 3);
                path.push_back(at);
                const auto parent = parents.constFind(at);
                if (parent == parents.cend() || !*parent) {
                    verdict = parent == parents.cend() ? 2 : 1;
                    break;
                }
                if (!parents.contains(**parent)) {
                    verdict = 2;
                    break;
                }
                at = **parent;
            }
            for (const QUuid &id : path) {
                reaches.insert(id, verdict);
                if (verdict == 2)
                    stray.insert(id);
            }
        }
        auto recovered = recover(stray, workspaceID);
        if (!recovered)
            return Failure(recovered.error());

        // What the tree includes counts as applied. This machine's own changes
        // after what it includes are applied again from its files.
        const auto setApplied = [&](const QUuid &device, std::int64_t seq) {
            return d.execute(kSetApplied, [&](sqlite3_stmt *s) {
                bindCopy(s, 1, deviceIdText(device));
                bindCopy(s, 2, device == header->device ? header->deviceName.toUtf8() : QByteArray());
                sqlite3_bind_int64(s, 3, seq);
            });
        };
        std::map<QUuid, std::int64_t, DeviceIdLess> includes = header->after;
        includes[header->device] = header->seq;
        const std::int64_t own = includes.count(state.setup.device) ? includes.at(state.setup.device) : 0;
        includes.erase(state.setup.device);
        for (const auto &[device, seq] : includes)
            if (auto done = setApplied(device, seq); !done)
                return Failure(done.error());
        const std::string self = deviceIdText(state.setup.device);
        if (own < state.nextSeq - 1) {
            if (auto done = setApplied(state.setup.device, own); !done)
                return Failure(done.error());
        } else if (auto done = d.execute(kDeleteDeviceApplied, [&](sqlite3_stmt *s) { bindCopy(s, 1, self); }); !done) {
            return Failure(done.error());
        }
        const auto last = clock.last();
        const std::string now = timestampText(currentTimestamp());
        if (auto received = d.execute(kSaveReceived,
                                      [&](sqlite3_stmt *s) {
                                          last ? bindCopy(s, 1, last->toText()) : void(sqlite3_bind_null(s, 1));
                                          bindCopy(s, 2, now);
                                      });
            !received)
            return Failure(received.error());
        run.treeChanged = true;
        return true;
    }

    // Writes this machine's tree as snapshot file `seq` (its last change
    // file). Rows without a version of their own ("Recovered" as a merge
    // made it) are left out; the nodes a merge put under "Recovered" are
    // written under the parent their version names, so a reader recovers
    // them again the same way.
    StoreResult<std::optional<QString>> writeSnapshot(const State &state, const QUuid &workspaceID)
    {
        auto after = afterList(state.setup.device);
        if (!after)
            return Failure(after.error());
        SnapshotHeader header{state.setup.device, state.setup.deviceName, state.nextSeq - 1, *after};
        SnapshotEncoder encoder;
        if (auto begun = encoder.begin(header); !begun)
            return std::optional(begun.error().description());
        std::optional<QString> problem;
        const std::string workspaceText = uuidText(workspaceID);
        auto read = d.query(
            kSelectSnapshotRows, [&](sqlite3_stmt *s) { bindCopy(s, 1, workspaceText); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                if (problem || sqlite3_column_type(s, 1) == SQLITE_NULL || sqlite3_column_int(s, 3) != 0)
                    return {};
                auto node = d.decoder.workspaceNode(columnView(s, 0));
                auto clockText = SyncClock::fromText(columnView(s, 1));
                if (!node || !clockText)
                    return {};
                if (sqlite3_column_type(s, 4) != SQLITE_NULL)
                    if (auto parent = parseUuid(columnView(s, 4)))
                        node->edit().parentID = *parent;
                std::optional<SyncClock> content;
                if (sqlite3_column_type(s, 2) != SQLITE_NULL)
                    content = SyncClock::fromText(columnView(s, 2));
                if (content && *content > *clockText)
                    content.reset();
                auto added = encoder.add(ChangeRecord{*clockText, std::nullopt, std::move(*node), content});
                if (!added && added.error().nodeID.isNull())
                    problem = added.error().description();
                return {};
            });
        if (!read)
            return Failure(read.error());
        if (problem)
            return problem;
        auto bytes = encoder.finish();
        if (!bytes)
            return std::optional(bytes.error().description());
        std::string failure;
        if (!writeFolderFile(state.setup.folder, FolderFileName{FolderFileKind::snapshot, state.setup.device, header.seq},
                             *bytes, &failure) &&
            errno != EEXIST)
            return std::optional(QString::fromStdString(failure));
        return std::optional<QString>();
    }

    // After a run: a snapshot file once enough own change files gathered
    // since the last, only the newest own snapshot files kept, and the own
    // change files removed that the newest own snapshot includes and every
    // device has applied. Whether anything in the folder changed.
    StoreResult<bool> maintainFolder(const State &state, const QUuid &workspaceID, bool snapshotNow, QStringList &problems)
    {
        const std::filesystem::path &folder = state.setup.folder;
        const QUuid &self = state.setup.device;
        bool changed = false;
        auto snapshots = folderFiles(folder, FolderFileKind::snapshot, self);
        const std::int64_t lastSnapshot = snapshots.empty() ? 0 : snapshots.back().seq;
        const std::int64_t lastSeq = state.nextSeq - 1;
        if (lastSeq > lastSnapshot) {
            std::size_t files = 0;
            std::uint64_t bytes = 0;
            for (const FolderEntry &entry : folderFiles(folder, FolderFileKind::changes, self))
                if (entry.seq > lastSnapshot) {
                    ++files;
                    bytes += entry.bytes;
                }
            auto pending = count(kCountPending);
            if (!pending)
                return Failure(pending.error());
            if (*pending == 0 && (snapshotNow || files >= kSnapshotAfterFiles || bytes >= kSnapshotAfterBytes)) {
                SqlTransaction transaction(d, SqlTransaction::Mode::read);
                if (auto begun = transaction.begin(); !begun)
                    return Failure(begun.error());
                // The state as of the rows read: another program may have sent since.
                auto current = readState();
                if (!current)
                    return Failure(current.error());
                auto stillNone = count(kCountPending);
                if (!stillNone)
                    return Failure(stillNone.error());
                auto written = *current && *stillNone == 0
                                   ? writeSnapshot(**current, workspaceID)
                                   : StoreResult<std::optional<QString>>(std::optional<QString>(QStringLiteral("changes are waiting to be sent")));
                transaction.endRead();
                if (!written)
                    return Failure(written.error());
                if (*written)
                    problems << QStringLiteral("cannot write a snapshot file: %1").arg(**written);
                else
                    changed = true;
                snapshots = folderFiles(folder, FolderFileKind::snapshot, self);
            }
        }
        // The newest two own snapshot files, and of those the older only
        // while no other machine's snapshot file includes all it does: two
        // files in the folder to start from either way.
        if (snapshots.size() > 1) {
            const auto candidates = snapshotCandidates(folder);
            const auto includes = [](const SnapshotHeader &big, const SnapshotHeader &small) {
                if (big.covered(small.device) < small.seq)
                    return false;
                return std::all_of(small.after.begin(), small.after.end(),
                                   [&](const auto &entry) { return big.covered(entry.first) >= entry.second; });
            };
            for (std::size_t i = 0; i + 1 < snapshots.size(); ++i) {
                bool superseded = i + kKeptSnapshots < snapshots.size();
                const auto older = std::find_if(candidates.begin(), candidates.end(), [&](const SnapshotCandidate &c) {
                    return c.name.device == self && c.name.seq == snapshots[i].seq;
                });
                if (older != candidates.end())
                    superseded = superseded || std::any_of(candidates.begin(), candidates.end(), [&](const SnapshotCandidate &c) {
                                     return c.name.device != self && includes(c.header, older->header);
                                 });
                if (superseded &&
                    removeFolderFile(folder, FolderFileName{FolderFileKind::snapshot, self, snapshots[i].seq}))
                    changed = true;
            }
        }
        // Compaction: up to what every device has applied...
        const auto own = folderFiles(folder, FolderFileKind::changes, self);
        if (own.empty())
            return changed;
        const auto peers = readPeers(state);
        std::int64_t upTo = std::numeric_limits<std::int64_t>::max();
        const qint64 now = HybridClock::systemWallClock();
        std::set<QUuid, DeviceIdLess> seen;
        for (const auto &[device, peer] : peers) {
            seen.insert(device);
            if (peer.modifiedMs < now - kDeviceGoneMs)
                continue;
            upTo = std::min(upTo, peer.applied.count(self) ? peer.applied.at(self) : 0);
        }
        // (a device with files but no device file yet holds everything back)
        for (const QUuid &device : changeFileDevices(folder))
            if (device != self && !seen.count(device))
                upTo = 0;
        if (upTo < own.front().seq)
            return changed;
        // ...and what a snapshot file includes that a new machine can start
        // from: one that includes every change another machine removed.
        auto need = required(state, peers);
        need.erase(self);
        std::int64_t included = 0;
        for (const SnapshotCandidate &candidate : snapshotCandidates(folder))
            if (complete(candidate.header, need))
                included = std::max(included, candidate.header.covered(self));
        upTo = std::min(upTo, included);
        for (const FolderEntry &entry : own) {
            if (entry.seq > upTo)
                break;
            if (removeFolderFile(folder, FolderFileName{FolderFileKind::changes, self, entry.seq}))
                changed = true;
        }
        return changed;
    }

    StoreResult<void> saveFailure(const QUuid &device, std::int64_t seq, const std::string &stamp,
                                  const QString &reason)
    {
        const QByteArray why = reason.toUtf8();
        return d.execute(kSaveFailure, [&](sqlite3_stmt *s) {
            bindCopy(s, 1, deviceIdText(device));
            sqlite3_bind_int64(s, 2, seq);
            bindCopy(s, 3, stamp);
            bindCopy(s, 4, why);
        });
    }

    // devices/<device>.json: this machine's name and what it applied, which
    // the other machines show in their status.
    void writeDeviceFile(const State &state, const std::map<QUuid, Applied, DeviceIdLess> &applied)
    {
        QJsonObject appliedObject;
        for (const auto &[device, a] : applied)
            if (a.seq > 0 && device != state.setup.device)
                appliedObject.insert(QString::fromStdString(deviceIdText(device)), double(a.seq));
        QJsonObject object{
            {QStringLiteral("format"), QLatin1String(kDeviceFileFormat)},
            {QStringLiteral("schemaVersion"), 1},
            {QStringLiteral("device"), QString::fromStdString(deviceIdText(state.setup.device))},
            {QStringLiteral("deviceName"), state.setup.deviceName},
            {QStringLiteral("lastSeq"), double(state.nextSeq - 1)},
            {QStringLiteral("applied"), appliedObject},
            {QStringLiteral("compacted"), double(ownCompacted(state))},
        };
        const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);
        std::string problem;
        if (!writeFolderFile(state.setup.folder, FolderFileName{FolderFileKind::device, state.setup.device, 0},
                             std::string_view(bytes.constData(), std::size_t(bytes.size())), &problem))
            qCWarning(lcStore).noquote() << "cannot write the device file:" << QString::fromStdString(problem);
    }
};

StoreResult<std::optional<SyncSetup>> WorkspaceStore::fetchSyncSetup()
{
    std::lock_guard guard(m_lock);
    auto state = SyncSql{*d}.readState();
    if (!state)
        return Failure(state.error());
    if (!*state)
        return std::optional<SyncSetup>();
    return std::optional<SyncSetup>((*state)->setup);
}

StoreResult<SyncSetup> WorkspaceStore::enableSync(const std::filesystem::path &folder, const QString &deviceName,
                                                  const HybridClock::WallClock &wall)
{
    bool firstMachine = false;
    {
        std::lock_guard guard(m_lock);
        SqlTransaction transaction(*d);
        if (auto begun = transaction.begin(); !begun)
            return Failure(begun.error());
        // Turning it on again would make a new device and forget the clocks.
        auto current = SyncSql{*d}.readState();
        if (!current)
            return Failure(current.error());
        if (*current && (*current)->setup.enabled)
            return Failure(StoreError{StoreError::Kind::sync, {}, QStringLiteral("sync is on already; turn it off first")});
        auto workspace = d->fetchFirstWorkspace();
        if (!workspace)
            return Failure(workspace.error());
        if (!*workspace)
            return Failure(StoreError{StoreError::Kind::sync, {}, QStringLiteral("there is no workspace to sync")});
        const QUuid device = newUuid();
        const std::string folderText = folder.string();
        const QByteArray name = deviceName.toUtf8();
        for (const char *statement : {kDeleteClocks, kDeletePending, kDeleteApplied})
            if (auto done = d->execute(statement); !done)
                return Failure(done.error());
        if (auto saved = d->execute(kReplaceState,
                                    [&](sqlite3_stmt *s) {
                                        bindCopy(s, 1, deviceIdText(device));
                                        bindCopy(s, 2, name);
                                        bindCopy(s, 3, folderText);
                                    });
            !saved)
            return Failure(saved.error());
        firstMachine = !folderHoldsTree(folder);
        if (firstMachine) {
            // The first machine: its whole tree is its first changes.
            if (auto marked = d->execute(kMarkAllPending); !marked)
                return Failure(marked.error());
        } else {
            // Joining: the folder's tree replaces this one, without sending
            // the removal. The caller kept this tree as a snapshot.
            if (auto on = d->execute(kSetApplying, [](sqlite3_stmt *s) { sqlite3_bind_int(s, 1, 1); }); !on)
                return Failure(on.error());
            const std::string workspaceText = uuidText((*workspace)->id);
            if (auto cleared = d->execute(kDeleteWorkspaceNodes,
                                          [&](sqlite3_stmt *s) { bindCopy(s, 1, workspaceText); });
                !cleared)
                return Failure(cleared.error());
            HistorySql history{*d};
            for (bool undone : {false, true})
                if (auto done = history.deleteSteps(workspaceText, undone, std::numeric_limits<std::int64_t>::min(),
                                                    std::numeric_limits<std::int64_t>::max());
                    !done)
                    return Failure(done.error());
            if (auto off = d->execute(kSetApplying, [](sqlite3_stmt *s) { sqlite3_bind_int(s, 1, 0); }); !off)
                return Failure(off.error());
        }
        if (auto committed = transaction.commit(); !committed)
            return Failure(committed.error());
        d->invalidateCache();
    }
    if (auto run = syncNow(wall); !run)
        return Failure(run.error());
    if (firstMachine) {
        // The whole tree as a snapshot too, which later machines start from.
        std::lock_guard guard(m_lock);
        SyncSql sql{*d};
        auto state = sql.readState();
        auto workspace = d->fetchFirstWorkspace();
        if (!state || !workspace)
            return Failure(!state ? state.error() : workspace.error());
        QStringList problems;
        if (*state && *workspace) {
            auto kept = sql.maintainFolder(**state, (**workspace).id, true, problems);
            if (!kept)
                return Failure(kept.error());
        }
        for (const QString &problem : std::as_const(problems))
            qCWarning(lcStore).noquote() << problem;
    }
    auto setup = fetchSyncSetup();
    if (!setup)
        return Failure(setup.error());
    return **setup;
}

StoreResult<void> WorkspaceStore::disableSync()
{
    std::lock_guard guard(m_lock);
    SqlTransaction transaction(*d);
    if (auto begun = transaction.begin(); !begun)
        return begun;
    if (auto done = d->execute(kDisable); !done)
        return done;
    if (auto done = d->execute(kDeletePending); !done)
        return done;
    return transaction.commit();
}

StoreResult<SyncRun> WorkspaceStore::syncNow(const HybridClock::WallClock &wall)
{
    std::lock_guard guard(m_lock);
    SyncSql sql{*d};
    SyncRun run;
    auto initial = sql.readState();
    if (!initial)
        return Failure(initial.error());
    if (!*initial || !(*initial)->setup.enabled)
        return Failure(StoreError{StoreError::Kind::sync, {}, QStringLiteral("sync is off")});
    auto workspace = d->fetchFirstWorkspace();
    if (!workspace)
        return Failure(workspace.error());
    if (!*workspace)
        return Failure(StoreError{StoreError::Kind::sync, {}, QStringLiteral("there is no workspace to sync")});
    const QUuid workspaceID = (*workspace)->id;
    State state = **initial;
    HybridClock clock(state.setup.device, wall, state.clock);

    const auto sendAndApply = [&](const DecodedChangeFile *file) -> StoreResult<void> {
        SqlTransaction transaction(*d);
        if (auto begun = transaction.begin(); !begun)
            return begun;
        // Read again inside the transaction: another program may have sent
        // since.
        auto current = sql.readState();
        if (!current)
            return Failure(current.error());
        if (!*current || !(*current)->setup.enabled)
            return Failure(StoreError{StoreError::Kind::sync, {}, QStringLiteral("sync is off")});
        State working = **current;
        HybridClock local(working.setup.device, wall, clock.last() > working.clock ? clock.last() : working.clock);
        SyncRun attempt;
        if (auto sent = sql.sendPending(working, local, attempt); !sent)
            return sent;
        if (auto on = d->execute(kSetApplying, [](sqlite3_stmt *s) { sqlite3_bind_int(s, 1, 1); }); !on)
            return on;
        if (file)
            if (auto applied = sql.applyFile(*file, working, workspaceID, local, attempt); !applied)
                return applied;
        // Also after local edits, which may have emptied "Recovered".
        auto restored = sql.restoreRecovered(workspaceID);
        if (!restored)
            return Failure(restored.error());
        attempt.treeChanged = attempt.treeChanged || *restored;
        if (auto off = d->execute(kSetApplying, [](sqlite3_stmt *s) { sqlite3_bind_int(s, 1, 0); }); !off)
            return off;
        if (auto committed = transaction.commit(); !committed)
            return committed;
        state = working;
        if (auto last = local.last())
            clock.observe(*last);
        run.filesSent += attempt.filesSent;
        run.changesSent += attempt.changesSent;
        run.filesApplied += attempt.filesApplied;
        run.changesApplied += attempt.changesApplied;
        run.newConflicts += attempt.newConflicts;
        run.treeChanged = run.treeChanged || attempt.treeChanged;
        return {};
    };

    // Nothing to send and nothing "Recovered" to tidy: no write, so that
    // polling an idle folder never waits for another program's write.
    bool localWork = true;
    {
        static constexpr const char *kLocalWork =
            "SELECT EXISTS (SELECT 1 FROM sync_pending) OR EXISTS (SELECT 1 FROM sync_recovered)\n"
            "    OR EXISTS (SELECT 1 FROM nodes WHERE id = ?);";
        const std::string group = uuidText(recoveredGroup(workspaceID).id());
        auto read = d->query(
            kLocalWork, [&](sqlite3_stmt *s) { bindCopy(s, 1, group); },
            [&](sqlite3_stmt *s) -> StoreResult<void> {
                localWork = sqlite3_column_int(s, 0) != 0;
                return {};
            });
        if (!read)
            return Failure(read.error());
    }
    if (localWork)
        if (auto sent = sendAndApply(nullptr); !sent)
            return Failure(sent.error());

    // Starting from a snapshot file: a machine that just joined, and one
    // whose next needed change files are gone (it was away while they were
    // removed). Everything of its own was sent above, and its own change
    // files after what the snapshot includes are applied again below.
    QStringList snapshotProblems;
    {
        auto applied = sql.readApplied();
        if (!applied)
            return Failure(applied.error());
        const auto need = SyncSql::required(state, SyncSql::readPeers(state));
        bool anyApplied = false;
        for (const auto &[device, a] : *applied)
            anyApplied = anyApplied || (a.seq > 0 && device != state.setup.device);
        bool behind = false;
        for (const auto &[device, seq] : need)
            if (device != state.setup.device && (applied->count(device) ? applied->at(device).seq : 0) < seq)
                behind = true;
        const bool joined = state.nextSeq == 1 && !anyApplied;
        if (behind || joined) {
            bool loaded = false;
            for (const SnapshotCandidate &candidate : SyncSql::snapshotCandidates(state.setup.folder)) {
                if (!SyncSql::complete(candidate.header, need))
                    continue;
                SqlTransaction transaction(*d);
                if (auto begun = transaction.begin(); !begun)
                    return Failure(begun.error());
                auto current = sql.readState();
                if (!current)
                    return Failure(current.error());
                if (!*current || !(*current)->setup.enabled)
                    return Failure(StoreError{StoreError::Kind::sync, {}, QStringLiteral("sync is off")});
                State working = **current;
                HybridClock local(working.setup.device, wall, clock.last() > working.clock ? clock.last() : working.clock);
                if (auto on = d->execute(kSetApplying, [](sqlite3_stmt *s) { sqlite3_bind_int(s, 1, 1); }); !on)
                    return Failure(on.error());
                SyncRun attempt;
                QString problem;
                auto done = sql.loadSnapshot(candidate, working, workspaceID, local, attempt, problem);
                if (!done)
                    return Failure(done.error());
                if (!*done) {
                    snapshotProblems << QStringLiteral("%1: %2").arg(QString::fromStdString(candidate.name.relativePath()),
                                                                     problem);
                    continue; // rolled back
                }
                if (auto off = d->execute(kSetApplying, [](sqlite3_stmt *s) { sqlite3_bind_int(s, 1, 0); }); !off)
                    return Failure(off.error());
                if (auto committed = transaction.commit(); !committed)
                    return Failure(committed.error());
                state = working;
                if (auto last = local.last())
                    clock.observe(*last);
                run.newConflicts += attempt.newConflicts;
                run.treeChanged = true;
                run.snapshotsLoaded += 1;
                loaded = true;
                break;
            }
            if (!loaded && behind)
                snapshotProblems << QStringLiteral("Changes of another machine are gone from the folder, and no "
                                                   "snapshot file there includes them yet.");
        }
    }

    // Each other device's next file, for as long as one can be applied.
    bool progress = true;
    while (progress) {
        progress = false;
        auto applied = sql.readApplied();
        if (!applied)
            return Failure(applied.error());
        run.problems.clear();
        for (const QUuid &device : changeFileDevices(state.setup.folder)) {
            // This machine's own files only after starting from a snapshot
            // that did not include them all.
            if (device == state.setup.device &&
                (!applied->count(device) || applied->at(device).seq >= state.nextSeq - 1))
                continue;
            const Applied done = applied->count(device) ? applied->at(device) : Applied();
            const FolderFileName name{FolderFileKind::changes, device, done.seq + 1};
            const QString where = QString::fromStdString(name.relativePath());
            FolderFileRead read = readFolderFile(state.setup.folder, name, kMaxChangeFileBytes);
            if (read.status == FolderFileRead::Status::missing)
                continue;
            if (done.failedSeq == name.seq && done.failedStamp == read.stamp) {
                run.problems << QStringLiteral("%1: %2").arg(where, done.failedReason);
                continue;
            }
            std::optional<QString> problem;
            std::optional<DecodedChangeFile> decoded;
            if (read.status == FolderFileRead::Status::unreadable) {
                problem = QString::fromStdString(read.error);
            } else if (auto result = decodeChangeFile(read.bytes); !result) {
                problem = result.error().description();
            } else if (result->file.device != device || result->file.seq != name.seq) {
                problem = QStringLiteral("the file names another device or number than its name");
            } else {
                decoded = std::move(*result);
            }
            if (problem) {
                if (auto saved = sql.saveFailure(device, name.seq, read.stamp, *problem); !saved)
                    return Failure(saved.error());
                run.problems << QStringLiteral("%1: %2").arg(where, *problem);
                continue;
            }
            // Everything the sender had applied first must be applied here.
            bool ready = true;
            for (const auto &[other, seq] : decoded->file.after) {
                if (other == state.setup.device)
                    continue;
                const std::int64_t have = applied->count(other) ? applied->at(other).seq : 0;
                if (have < seq)
                    ready = false;
            }
            if (!ready)
                continue;
            if (auto merged = sendAndApply(&*decoded); !merged)
                return Failure(merged.error());
            progress = true;
            break; // read the applied list again
        }
    }

    run.problems << snapshotProblems;
    auto applied = sql.readApplied();
    if (!applied)
        return Failure(applied.error());
    if (applied->count(state.setup.device) && applied->at(state.setup.device).seq >= state.nextSeq - 1) {
        const std::string self = deviceIdText(state.setup.device);
        if (auto done = d->execute(kDeleteDeviceApplied, [&](sqlite3_stmt *s) { bindCopy(s, 1, self); }); !done)
            return Failure(done.error());
        applied->erase(state.setup.device);
    }
    auto maintained = sql.maintainFolder(state, workspaceID, false, run.problems);
    if (!maintained)
        return Failure(maintained.error());
    const FolderFileName deviceName{FolderFileKind::device, state.setup.device, 0};
    if (run.filesSent || run.filesApplied || run.snapshotsLoaded || *maintained ||
        readFolderFile(state.setup.folder, deviceName, 1 << 20).status == FolderFileRead::Status::missing)
        sql.writeDeviceFile(state, *applied);
    if (run.treeChanged)
        d->invalidateCache();
    return run;
}

StoreResult<SyncStatus> WorkspaceStore::fetchSyncStatus()
{
    std::lock_guard guard(m_lock);
    SyncSql sql{*d};
    SyncStatus status;
    auto state = sql.readState();
    if (!state)
        return Failure(state.error());
    if (!*state)
        return status;
    status.setup = (*state)->setup;
    status.lastSentSeq = (*state)->nextSeq - 1;
    status.lastSentAt = (*state)->lastSentAt;
    status.lastReceivedAt = (*state)->lastReceivedAt;
    auto pending = sql.count(kCountPending);
    auto conflicts = sql.count(kCountConflicts);
    auto applied = sql.readApplied();
    if (!pending || !conflicts || !applied)
        return Failure(!pending ? pending.error() : !conflicts ? conflicts.error() : applied.error());
    status.pendingNodes = *pending;
    status.conflicts = *conflicts;
    const qint64 now = HybridClock::systemWallClock();
    std::map<QUuid, Applied, DeviceIdLess> peers = std::move(*applied);
    for (const QUuid &device : changeFileDevices((*state)->setup.folder))
        if (device != (*state)->setup.device)
            peers.try_emplace(device);
    for (const QUuid &device : folderDevices((*state)->setup.folder, FolderFileKind::snapshot))
        if (device != (*state)->setup.device)
            peers.try_emplace(device);
    peers.erase((*state)->setup.device);
    for (const auto &[device, a] : peers) {
        SyncPeer peer;
        peer.device = device;
        peer.name = a.name;
        peer.appliedSeq = a.seq;
        peer.lastAppliedAt = a.appliedAt;
        peer.clockAhead = a.newestClock && a.newestClock->ms > now + kClockAheadMs;
        peer.failedSeq = a.failedSeq;
        peer.failedReason = a.failedReason;
        status.peers.push_back(peer);
    }
    return status;
}

StoreResult<QList<SyncConflict>> WorkspaceStore::fetchSyncConflicts()
{
    std::lock_guard guard(m_lock);
    QList<SyncConflict> conflicts;
    auto present = d->hasTable("sync_conflicts");
    if (!present)
        return Failure(present.error());
    if (!*present)
        return conflicts;
    auto read = d->query(kSelectConflicts, [](sqlite3_stmt *) {}, [&](sqlite3_stmt *s) -> StoreResult<void> {
        SyncConflict c;
        c.id = sqlite3_column_int64(s, 0);
        c.nodeID = parseUuid(columnView(s, 1)).value_or(QUuid());
        const std::string_view reason = columnView(s, 2);
        c.reason = reason == "refused"  ? SyncConflict::Reason::refused
                   : reason == "unsent" ? SyncConflict::Reason::unsent
                                        : SyncConflict::Reason::lost;
        if (sqlite3_column_type(s, 3) != SQLITE_NULL) {
            auto node = d->decoder.workspaceNode(columnView(s, 3));
            if (node)
                c.node = std::move(*node);
        }
        c.lostDevice = columnText(s, 4);
        c.keptDevice = columnText(s, 5);
        c.detectedAt = parseTimestamp(columnView(s, 6)).value_or(Timestamp{});
        c.detail = columnText(s, 7);
        conflicts.push_back(std::move(c));
        return {};
    });
    if (!read)
        return Failure(read.error());
    return conflicts;
}

StoreResult<bool> WorkspaceStore::dismissSyncConflict(std::int64_t id)
{
    std::lock_guard guard(m_lock);
    if (auto done = d->execute(kDeleteConflict, [&](sqlite3_stmt *s) { sqlite3_bind_int64(s, 1, id); }); !done)
        return Failure(done.error());
    return sqlite3_changes(d->db) > 0;
}

} // namespace tarni
