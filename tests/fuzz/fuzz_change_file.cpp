// The shared folder's readers: the first byte picks what the rest is read
// as. Even: a change file, which must write back the same records, every one
// of the file's device and later than its base. 3 modulo 4: a snapshot file
// (gzip), which must write back the same header and records. Otherwise: a
// path in the folder, which is a name of ours only when it is exactly the
// name that name writes.

#include "FuzzSupport.h"

#include "sync/ChangeFile.h"
#include "sync/SyncFolder.h"

using namespace tarni;
using namespace tarni::sync;

namespace {

void readChangeFile(std::string_view bytes)
{
    auto decoded = decodeChangeFile(bytes);
    if (!decoded)
        return;
    const ChangeFile &file = decoded->file;
    std::size_t previous = 0;
    for (const RefusedChange &refused : decoded->refused) {
        fuzz::require(refused.index >= previous, "refused records out of order");
        fuzz::require(refused.record.has_value() == refused.problem.has_value(),
                      "a refused record read without a reason, or one too large with one");
        previous = refused.index + 1;
    }
    for (const ChangeRecord &record : file.changes) {
        fuzz::require(record.clock.isValid() && record.clock.device == file.device,
                      "a record's clock is not one of the file's device");
        fuzz::require(!record.base || *record.base < record.clock, "a record's base is not before its clock");
    }
    auto encoded = encodeChangeFile(file);
    fuzz::require(encoded.ok(), "a decoded change file does not encode");
    auto again = decodeChangeFile(*encoded);
    fuzz::require(again && again->refused.empty() && again->file == file,
                  "a change file does not survive encoding again");
    auto third = encodeChangeFile(again->file);
    fuzz::require(third && *third == *encoded, "a change file encodes to other text the second time");
}

void readSnapshot(std::string_view bytes)
{
    auto decoded = decodeSnapshotFile(bytes);
    if (!decoded)
        return;
    for (const ChangeRecord &record : decoded->records)
        fuzz::require(record.node() && !record.base && record.clock.isValid(), "a snapshot record is not a node's version");
    auto encoded = encodeSnapshotFile(decoded->header, decoded->records);
    fuzz::require(encoded.ok(), "a decoded snapshot does not encode");
    auto again = decodeSnapshotFile(*encoded);
    fuzz::require(again && again->refused.empty() && again->header == decoded->header &&
                      again->records == decoded->records,
                  "a snapshot does not survive encoding again");
}

void readName(std::string_view path)
{
    auto name = FolderFileName::parse(path);
    if (name)
        fuzz::require(name->relativePath() == path, "a name of ours is not the name it writes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string_view bytes = fuzz::asText(data + 1, size - 1);
    if (data[0] % 2 == 0)
        readChangeFile(bytes);
    else if (data[0] % 4 == 3)
        readSnapshot(bytes);
    else
        readName(bytes);
    return 0;
}
