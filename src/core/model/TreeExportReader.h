#pragma once

#include "model/JsonDecoding.h"

#include <cstddef>
#include <functional>

namespace tarni::json {

// The reader holds at most one value of the document in memory at a time (a
// node record, a title, a number, a key); a larger one is refused. Records
// of our own exports are well under a kilobyte.
inline constexpr std::size_t kMaxImportValueBytes = std::size_t(16) << 20;
// Values nested inside an entry (a node record's payload, keys the reader
// does not know) may take this many levels beyond the entries themselves.
inline constexpr std::size_t kMaxImportValueNesting = 64;

// Fills `buffer` with up to `size` bytes of the document and gives how many;
// 0 ends the input. A source that fails to read ends the input too and
// reports the failure itself, which then stands in for the decoding error.
using ByteSource = std::function<std::size_t(char *buffer, std::size_t size)>;

// Decodes an export document as it comes from `source`, without holding its
// text, so that a document of any size can be read. Where decodeTreeExport
// refuses a text, this refuses it with the same error, unless one of its own
// limits comes first: a value larger than `maxValueBytes`, or nesting deeper
// than `maxDepth` entries plus kMaxImportValueNesting levels. It accepts what
// that accepts, except that it also looks into values nobody reads and
// refuses text that is not JSON there. Byte positions count after a leading UTF-8
// byte-order mark, which is skipped.
Decoded<TreeExport> readTreeExport(const ByteSource &source, std::size_t maxDepth = kMaxImportDepth,
                                   std::size_t maxValueBytes = kMaxImportValueBytes);

} // namespace tarni::json
