// The readers of snapshots stored by content: the first byte picks what the
// rest is read as. 0: a compressed entry list (then nested below a root with
// one stand-in record for every row id it names); 1: a compressed record;
// 2: a plain record; 3: a plain record packed and read back.

#include "FuzzSupport.h"

#include "storage/SnapshotContent.h"

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
    // Odd row ids stand for records that are not stored.
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
    RecordPacker packer;
    switch (data[0] % 4) {
    case 0:
        readShape(bytes);
        break;
    case 1:
        if (auto plain = packer.unpack(bytes))
            readRecord(*plain);
        break;
    case 2:
        readRecord(bytes);
        break;
    case 3: {
        auto plain = packer.unpack(packer.pack(bytes));
        fuzz::require(plain && *plain == bytes, "a packed record does not read back");
        break;
    }
    }
    return 0;
}
