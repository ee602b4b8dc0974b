#pragma once

#include "model/JsonDecoding.h"
#include "model/JsonEncoding.h"
#include "model/TreeExport.h"
#include "util/Result.h"

#include <QByteArray>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarni::snapshotcontent {

// How a snapshot is stored by content: every entry without its id and
// children is a record, kept once however many snapshots hold it. Records
// new to the store are compressed together in blocks of up to
// kMaxBlockRecords (neighbouring records share most of their words, which
// compressing them one by one could not use); a record's address is its
// block's row id times 256 plus its slot. A snapshot is its head (the
// snapshot without the root's children) and its shape, which lists the
// entries in pre-order as (record address, depth, entry id), compressed.
// Everything read back is checked: a damaged block or shape is an error,
// never a partial tree.

// The hash that finds a record already stored (BLAKE2b-256 of the plain
// record; SHA-256 would take most of a snapshot's time).
inline constexpr std::size_t kHashBytes = 32;
// The most a plain record may take: the node's JSON at its limit and an
// entry title of the same size.
inline constexpr std::size_t kMaxRecordBytes = 2 * json::kMaxNodeRecordBytes + 64;
inline constexpr std::size_t kMaxBlockRecords = 64;
// A block is closed once its records pass this size; one record may still
// take it past, up to kMaxRecordBytes.
inline constexpr std::size_t kBlockBytes = std::size_t(256) << 10;
inline constexpr std::size_t kMaxBlockBytes = kBlockBytes + kMaxRecordBytes + 16 * kMaxBlockRecords;

inline constexpr std::int64_t blockOf(std::int64_t address) { return address >> 8; }
inline constexpr std::size_t slotOf(std::int64_t address) { return std::size_t(address & 0xff); }
inline constexpr std::int64_t addressOf(std::int64_t block, std::size_t slot) { return block << 8 | std::int64_t(slot); }
// The most a shape may take uncompressed: 16 bytes and three varints an
// entry for many millions of entries.
inline constexpr std::size_t kMaxShapeBytes = std::size_t(1) << 30;

// The plain record of an entry: a flag byte, the original node id and the
// entry's title where they differ from the node's, then the node's compact
// JSON. Equal entries (ids aside) give equal bytes.
Result<std::string, json::EncodeError> plainRecord(const TreeExportNode &entry);
QByteArray recordHash(std::string_view plain);
// The entry of a plain record, with a null id and no children.
Result<TreeExportNode, QString> decodeRecord(std::string_view plain, json::BulkDecoder &decoder);

// A block: its records' lengths and bytes, as one zlib stream with a
// dictionary of the words node records are made of (which a small block of
// one edited record needs most).
std::string packBlock(const std::vector<std::string_view> &records);
// The block's records, or why the stored bytes are not a block.
Result<std::vector<std::string>, QString> unpackBlock(std::string_view stored);

// The entries below a snapshot's root, in pre-order.
struct TreeShape {
    std::vector<std::int64_t> records; // addresses of the records
    std::vector<std::uint32_t> depths; // 1: a child of the root
    std::vector<QUuid> ids;            // the entries' own ids

    std::size_t size() const { return records.size(); }
};

// The root's id starts the count of entry ids (nextEntryID): an entry whose
// id follows the one before it costs a bit.
std::string encodeShape(const TreeShape &shape, const QUuid &rootID);
// With recordsOnly, only the records column is read (and checked).
Result<TreeShape, QString> decodeShape(std::string_view stored, const QUuid &rootID, bool recordsOnly = false);

// The entries of a tree below its root, in pre-order, with their depths.
struct Flattened {
    std::vector<const TreeExportNode *> entries;
    std::vector<std::uint32_t> depths;
};
Flattened flatten(const TreeExportNode &root);

// Nests copies of the decoded records below `root` as the shape says.
// `recordOf` gives the decoded record at an address (or null: an error).
template <class RecordOf>
Result<void, QString> assemble(TreeExportNode &root, const TreeShape &shape, RecordOf &&recordOf);

// Zero-based varints, the shape's unit; exposed for the fuzz target.
void appendVarint(std::string &out, std::uint64_t value);
bool readVarint(std::string_view &in, std::uint64_t &value);

template <class RecordOf>
Result<void, QString> assemble(TreeExportNode &root, const TreeShape &shape, RecordOf &&recordOf)
{
    // The path from the root to the last entry placed; an entry goes below
    // the one at its depth minus one, which is the last child of its
    // parent, so no pointer on the path moves while it is on the path.
    std::vector<TreeExportNode *> path{&root};
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const std::uint32_t depth = shape.depths[i];
        if (depth == 0 || depth > path.size())
            return Failure(QStringLiteral("entry %1 is nested at depth %2 below depth %3")
                               .arg(i)
                               .arg(depth)
                               .arg(path.size() - 1));
        const TreeExportNode *record = recordOf(shape.records[i]);
        if (!record)
            return Failure(QStringLiteral("entry %1 names record %2, which is not stored").arg(i).arg(shape.records[i]));
        path.resize(depth);
        TreeExportNode &entry = path.back()->children.emplace_back(shape.ids[i], record->originalNodeID,
                                                                   record->title, record->node);
        path.push_back(&entry);
    }
    return {};
}

} // namespace tarni::snapshotcontent
