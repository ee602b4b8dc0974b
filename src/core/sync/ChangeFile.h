#pragma once

#include "model/EntryRules.h"
#include "model/WorkspaceNode.h"
#include "sync/DeviceId.h"
#include "sync/HybridClock.h"
#include "util/Result.h"

#include <QString>
#include <QUuid>

#include <cstdint>
#include <functional>
#include <memory>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarni::sync {

inline constexpr std::string_view kChangeFileFormat = "tarnibar-changes";
inline constexpr std::int64_t kChangeFileSchemaVersion = 1;
inline constexpr std::size_t kMaxChangeFileBytes = std::size_t(16) << 20;
// One record's JSON text, node and clocks together.
inline constexpr std::size_t kMaxChangeRecordBytes = std::size_t(1) << 20;
// File numbers and the numbers in "after" stay below 10^15: they are exact
// in any JSON reader, and their names have at most 15 digits.
inline constexpr std::int64_t kMaxChangeSeq = 999'999'999'999'999;
inline constexpr std::size_t kMaxDeviceNameBytes = 256;

// A deleted node.
struct Tombstone {
    QUuid id;
    bool operator==(const Tombstone &) const = default;
};

// One node's change: the whole node as it is now, or its deletion.
struct ChangeRecord {
    SyncClock clock;
    // The clock of the version the change was made from; none for a new node.
    std::optional<SyncClock> base;
    std::variant<WorkspaceNode, Tombstone> change;
    // For a node: the clock of the version that last changed it in more than
    // its order among its siblings and its opening stamp (at most `clock`).
    // A deletion wins over a version whose content is no newer than the
    // deleted one. None for a deletion, and read as `clock` when absent.
    std::optional<SyncClock> content;

    QUuid nodeID() const;
    const WorkspaceNode *node() const { return std::get_if<WorkspaceNode>(&change); }
    bool operator==(const ChangeRecord &) const = default;
};

// One change file of one device.
struct ChangeFile {
    QUuid device;
    QString deviceName;
    std::int64_t seq = 0;
    // For each other device, the last of its files applied before this one.
    std::map<QUuid, std::int64_t, DeviceIdLess> after;
    std::vector<ChangeRecord> changes;

    bool operator==(const ChangeFile &) const = default;
};

// Why a whole file is not applied.
enum class ChangeFileProblem {
    tooLarge,      // larger than kMaxChangeFileBytes
    damaged,       // not JSON, cut short, or a field of the wrong type or value
    unknownFormat, // JSON, but not a change file
    newerSchema,   // written by a newer version, whose changes this one cannot read
    cannotEncode,  // (writing) a field out of range, a sort order not finite, no memory
};

struct ChangeFileError {
    ChangeFileProblem problem = ChangeFileProblem::damaged;
    QString detail;
    // The node whose record could not be written (encoding only), if any.
    QUuid nodeID;

    QString description() const;
};

// A record of a decoded file that is not to be applied; the rest of the file
// is. `record` is there when the record could be read (not when too large).
struct RefusedChange {
    std::size_t index = 0; // in the file's "changes"
    std::optional<ChangeRecord> record;
    std::optional<EntryProblem> problem; // none: larger than kMaxChangeRecordBytes

    QString description() const;
};

struct DecodedChangeFile {
    ChangeFile file; // only the records to apply
    std::vector<RefusedChange> refused;
};

// Compact UTF-8 JSON with sorted keys. A record over kMaxChangeRecordBytes
// (tooLarge with its node id) or a file over kMaxChangeFileBytes (tooLarge)
// is not written: the caller leaves the node out or splits the changes.
// Neither is anything decoding would refuse as damaged (cannotEncode).
Result<std::string, ChangeFileError> encodeChangeFile(const ChangeFile &file);

// Reads bytes from the shared folder, which anyone who can write there may
// have made: every limit and field is checked. A record whose node the entry
// rules refuse, or that is too large, is refused on its own; anything else
// wrong refuses the file.
Result<DecodedChangeFile, ChangeFileError> decodeChangeFile(std::string_view bytes);

// ---------------------------------------------------------------- snapshots
//
// A snapshot file holds the whole tree as its device had it: one record per
// node, in the record form of change files without "base" (a record's clock
// and content clock may be any device's), after a header with the device,
// its own last change (`seq`) and the `after` list, and before an end line
// with the number of records. Each is one line of compact JSON, and the
// lines are gzip-compressed. It is written and read as a stream, so memory
// does not grow with the tree: a reader holds one line at a time.

inline constexpr std::string_view kSnapshotFileFormat = "tarnibar-snapshot";
inline constexpr std::int64_t kSnapshotFileSchemaVersion = 1;
// The compressed file, and the text it holds.
inline constexpr std::uint64_t kMaxSnapshotFileBytes = std::uint64_t(1) << 30;
inline constexpr std::uint64_t kMaxSnapshotTextBytes = std::uint64_t(8) << 30;
inline constexpr std::size_t kMaxSnapshotHeaderBytes = std::size_t(16) << 20;
inline constexpr std::int64_t kMaxSnapshotNodes = 10'000'000;

struct SnapshotHeader {
    QUuid device;
    QString deviceName;
    // The writer's own last change file that the tree includes.
    std::int64_t seq = 0;
    std::map<QUuid, std::int64_t, DeviceIdLess> after;

    // The last change of `d` that the tree includes: `seq` for the writer.
    std::int64_t covered(const QUuid &d) const;
    bool operator==(const SnapshotHeader &) const = default;
};

// Writes a snapshot into memory, compressed as it goes.
class SnapshotEncoder {
public:
    SnapshotEncoder();
    ~SnapshotEncoder();
    SnapshotEncoder(const SnapshotEncoder &) = delete;
    SnapshotEncoder &operator=(const SnapshotEncoder &) = delete;

    Result<void, ChangeFileError> begin(const SnapshotHeader &header);
    // A node's record (no deletions): tooLarge with its node id when over
    // kMaxChangeRecordBytes, which the caller leaves out.
    Result<void, ChangeFileError> add(const ChangeRecord &record);
    Result<std::string, ChangeFileError> finish();
    std::int64_t records() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Reads a snapshot from `source`, which fills a buffer and returns the bytes
// it put there, 0 at the end, or -1 on a read error. Every limit is checked
// as the text arrives; a reader of the whole applies nothing until next()
// has returned the end, since a fault may show only at the end.
class SnapshotDecoder {
public:
    using Source = std::function<std::ptrdiff_t(char *buffer, std::size_t size)>;
    explicit SnapshotDecoder(Source source);
    ~SnapshotDecoder();
    SnapshotDecoder(const SnapshotDecoder &) = delete;
    SnapshotDecoder &operator=(const SnapshotDecoder &) = delete;

    // First, once.
    Result<SnapshotHeader, ChangeFileError> header();
    // The next record to apply or refuse; none after the end line, once the
    // count and the compressed stream's own check matched and nothing follows.
    struct Item {
        std::optional<ChangeRecord> record;
        std::optional<RefusedChange> refused;
    };
    Result<std::optional<Item>, ChangeFileError> next();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

struct DecodedSnapshot {
    SnapshotHeader header;
    std::vector<ChangeRecord> records;
    std::vector<RefusedChange> refused;
};
// The whole of a snapshot in memory (tests, fuzzing, small trees).
Result<DecodedSnapshot, ChangeFileError> decodeSnapshotFile(std::string_view bytes);
Result<std::string, ChangeFileError> encodeSnapshotFile(const SnapshotHeader &header,
                                                        const std::vector<ChangeRecord> &records);

} // namespace tarni::sync
