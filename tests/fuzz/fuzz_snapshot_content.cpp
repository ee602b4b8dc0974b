// The readers of snapshots stored by content: the first byte picks what the
// rest is read as. 0: a compressed entry list (then nested below a root with
// one stand-in record for every address it names); 1: a block of records;
// 2: a plain record; 3: records (split at each 0xff) packed in a block and
// read back.

#include "FuzzSupport.h"

#include "storage/SnapshotContent.h"

#include <algorithm>

using namespace tarni;
using namespace tarni::snapshotcontent;

namespace {

void readShape(std::string_view bytes)
{
    const QUuid root = QUuid::fromString(QStringLiteral("{8c0f0a2e-8f0b-4a43-9a53-3f5d5a2b0000}"));
    auto shape = decodeShape(bytes, root);
    if (!shape)
        return;
    fuzz::require(shape->depths.size() == shape->size() && shape->ids.size() == shape->size(),
                  "the entry list's columns differ in length");
    auto again = decodeShape(encodeShape(*shape, root), root);
    fuzz::require(again && again->records == shape->records && again->depths == shape->depths &&
                      again->ids == shape->ids,
                  "an entry list does not survive encoding again");
    const TreeExportNode standIn;
    TreeExportNode top;
    // Odd addresses stand for records that are not stored.
    auto nested = assemble(top, *shape, [&](std::int64_t rowid) { return rowid % 2 ? nullptr : &standIn; });
    if (nested)
        fuzz::require(top.subtreeSize() == shape->size() + 1, "the tree does not hold every entry");
}

void readRecord(std::string_view plain)
{
    json::BulkDecoder decoder;
    auto record = decodeRecord(plain, decoder);
    if (!record)
        return;
    auto encoded = plainRecord(*record);
    fuzz::require(encoded.ok(), "a decoded record does not encode");
    auto again = decodeRecord(*encoded, decoder);
    fuzz::require(again && *again == *record, "a record does not survive encoding again");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string_view bytes = fuzz::asText(data + 1, size - 1);
    switch (data[0] % 4) {
    case 0:
        readShape(bytes);
        break;
    case 1:
        if (auto records = unpackBlock(bytes)) {
            fuzz::require(!records->empty() && records->size() <= kMaxBlockRecords, "a block of no or too many records");
            for (const std::string &plain : *records)
                readRecord(plain);
        }
        break;
    case 2:
        readRecord(bytes);
        break;
    case 3: {
        std::vector<std::string_view> records;
        std::string_view rest = bytes;
        while (records.size() + 1 < kMaxBlockRecords) {
            const std::size_t cut = rest.find('\xff');
            if (cut == std::string_view::npos)
                break;
            records.push_back(rest.substr(0, cut));
            rest.remove_prefix(cut + 1);
        }
        records.push_back(rest);
        auto unpacked = unpackBlock(packBlock(records));
        fuzz::require(unpacked && std::equal(unpacked->begin(), unpacked->end(), records.begin(), records.end()),
                      "a packed block does not read back");
        break;
    }
    }
    return 0;
}
