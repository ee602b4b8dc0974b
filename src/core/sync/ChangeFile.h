#pragma once

#include "model/EntryRules.h"
#include "model/WorkspaceNode.h"
#include "sync/DeviceId.h"
#include "sync/HybridClock.h"
#include "util/Result.h"

#include <QString>
#include <QUuid>

#include <cstdint>
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

} // namespace tarni::sync
