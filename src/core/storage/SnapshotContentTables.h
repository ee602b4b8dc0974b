#pragma once

#include "model/WorkspaceSnapshot.h"
#include "storage/SnapshotContent.h"
#include "storage/StoreError.h"
#include "storage/WorkspaceStoreProtocol.h"

#include <QHash>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tarni::snapshotcontent {

// What a snapshot stored by content keeps in `snapshots.payload_json`, which
// may not be empty. Older versions read it as a snapshot of a newer schema
// and refuse to restore it instead of restoring an empty tree.
inline constexpr std::string_view kPayloadMarker = "{\"contentStored\":1,\"schemaVersion\":2}";
bool isStoredByContent(std::string_view payload);

// The tables beside `snapshots`, created with the store's other tables.
// snapshot_blocks: the records, compressed in blocks;
// snapshot_records: where each distinct record is, by its hash;
// snapshot_trees: per snapshot its head's JSON and its compressed shape;
// snapshot_sweeps: how often records were deleted, so that a writer that
// looked records up before its write transaction can tell whether they
// are all still there.
extern const char *const kCreateContentTables;
extern const char *const kDeleteAllTrees;
extern const char *const kDeleteAllRecords;
extern const char *const kDeleteAllBlocks;
// Run by whatever deletes records, in its transaction.
extern const char *const kCountSweep;

// A snapshot encoded and looked up before the write transaction: what the
// transaction itself still has to do is insert the new records and one row.
struct PreparedSnapshot {
    std::string snapshotID;
    std::string headJson;
    QUuid rootID;
    Flattened flat;
    std::vector<std::size_t> recordOfEntry;  // index into the distinct records
    std::vector<QByteArray> hashes;          // distinct records
    std::vector<std::size_t> firstEntry;     // of each distinct record
    std::vector<std::string> plain;          // kept only until looked up
    std::vector<std::int64_t> addresses;     // 0: not stored yet
    // The records not stored yet, packed in blocks: each block's bytes and
    // its records (distinct indexes, by slot).
    struct Block {
        std::string bytes;
        std::vector<std::size_t> records;
    };
    std::vector<Block> blocks;
    std::vector<bool> packed;
    std::int64_t sweepsSeen = -1;
};

// The statements over those tables, compiled once per connection. Each
// call runs inside the caller's transaction, except prepare, which reads
// in one of its own.
class ContentTables {
public:
    explicit ContentTables(sqlite3 *db);
    ~ContentTables();
    ContentTables(const ContentTables &) = delete;
    ContentTables &operator=(const ContentTables &) = delete;

    // Encodes and hashes every entry, looks the records up and compresses
    // the ones not stored yet: all the work that needs no write lock. An
    // entry `hint` names takes the record of the stored snapshot's entry
    // without being encoded (unless a sweep since makes it look it up).
    StoreResult<PreparedSnapshot> prepare(const WorkspaceSnapshot &snapshot, const std::string &headJson,
                                          const SnapshotRecordHint *hint = nullptr);
    // In the write transaction. Returns the bytes the snapshot added (its
    // shape, its head and its new records). A snapshot replaced under the
    // same id leaves its unshared records to sweep().
    StoreResult<qint64> write(PreparedSnapshot &prepared);
    // The whole snapshot; a damaged row or record is a decode error.
    StoreResult<WorkspaceSnapshot> read(const std::string &snapshotID);
    // The new head's JSON, for the caller's other tables.
    StoreResult<std::string> rename(const std::string &snapshotID, const QString &title);
    StoreResult<void> forget(const std::string &snapshotID);
    // Deletes the blocks no snapshot's shape names a record of any more
    // (and where their records were), and the shapes whose snapshot row is
    // gone. Nothing when a shape cannot be read (what it names is
    // unknown). Returns the blocks deleted.
    StoreResult<qint64> sweep();

private:
    Result<sqlite3_stmt *, StoreError> statement(const char *sql);
    StoreError sqliteError(StoreError::Kind kind, const char *sql) const;
    StoreResult<void> lookUp(PreparedSnapshot &prepared, bool all);
    // The shape of a stored snapshot whose root entry is `rootID`, and the
    // sweeps done when it was read; none for a snapshot without a readable
    // shape or with another root.
    struct StoredShape {
        TreeShape shape;
        std::int64_t sweeps = -1;
    };
    StoreResult<std::optional<StoredShape>> storedShape(const std::string &snapshotID, const QUuid &rootID);
    StoreResult<std::int64_t> sweepsDone();
    // The snapshot's row of its head and shape: the statement standing on
    // it (the caller resets it), or null when there is none.
    StoreResult<sqlite3_stmt *> selectTree(const std::string &snapshotID);

    sqlite3 *m_db;
    std::unordered_map<const char *, sqlite3_stmt *> m_statements;
    json::BulkDecoder m_decoder;
};

} // namespace tarni::snapshotcontent
