#pragma once

#include "model/TreeExport.h"
#include "model/Workspace.h"
#include "model/WorkspaceSnapshot.h"
#include "util/Result.h"

#include <QString>

#include <array>
#include <functional>
#include <string>
#include <string_view>

namespace tarni::json {

struct EncodeError {
    QString reason;
    QString description() const { return QStringLiteral("Cannot encode JSON: ") + reason; }
};

// The most JSON text one node's record may take. Nothing a person keeps in a
// node comes near it; it keeps one oversized record (a title of hundreds of
// megabytes in an imported file) from taking the store and the memory with it.
inline constexpr std::size_t kMaxNodeRecordBytes = std::size_t(4) << 20;

enum class JsonStyle {
    compact, // one line, no spaces: the store's and the wire's form
    pretty,  // indented, for files people read
};

// UTF-8 JSON text of a record. Keys are sorted at every level. A node whose
// record exceeds kMaxNodeRecordBytes, and a text that does not fit in
// memory, are errors.
Result<std::string, EncodeError> encode(const WorkspaceNode &node, JsonStyle style = JsonStyle::compact);
Result<std::string, EncodeError> encode(const NodePayload &payload, JsonStyle style = JsonStyle::compact);
Result<std::string, EncodeError> encode(const BrowserTarget &target, JsonStyle style = JsonStyle::compact);
Result<std::string, EncodeError> encode(const Workspace &workspace, JsonStyle style = JsonStyle::compact);
Result<std::string, EncodeError> encode(const TreeExport &document, JsonStyle style = JsonStyle::compact);
Result<std::string, EncodeError> encode(const WorkspaceSnapshot &snapshot, JsonStyle style = JsonStyle::compact);
// The same text as encode(snapshot, style), handed to `sink` in pieces of
// about 64 KiB as it is written, so that it is never held whole. Stops
// passing text on when `sink` returns false (not an error here). On an
// error, part of the text may have gone to `sink` already.
Result<void, EncodeError> encodeTo(const WorkspaceSnapshot &snapshot, JsonStyle style,
                                   const std::function<bool(std::string_view)> &sink);

// Appends the compact form of a node to `out` (for building arrays without
// copying each node's text).
Result<void, EncodeError> appendCompact(std::string &out, const WorkspaceNode &node);

// Where a node's compact form holds the stamps that change without an undo
// step: the "lastOpenedAt" member (an empty stretch when there is none) and
// the "updatedAt" member, each with the comma before it, as offsets into the
// text appendCompact added.
struct StampSpans {
    std::size_t lastOpenedBegin = 0;
    std::size_t lastOpenedEnd = 0;
    std::size_t updatedBegin = 0;
    std::size_t updatedEnd = 0;
};
Result<void, EncodeError> appendCompact(std::string &out, const WorkspaceNode &node, StampSpans &stamps);

// The compact form of the same node with updatedAt the zero time and no
// lastOpenedAt, made from `text` (a compact form and its spans) without
// encoding the node again: the pieces, in order, whose concatenation it is.
std::array<std::string_view, 4> stampFreePieces(std::string_view text, const StampSpans &stamps);

// Tells whether texts are exactly the compact form of their nodes (what the
// store writes), reusing one buffer for all of them. One per thread.
class CompactFormCheck {
public:
    CompactFormCheck();
    ~CompactFormCheck();
    CompactFormCheck(const CompactFormCheck &) = delete;
    CompactFormCheck &operator=(const CompactFormCheck &) = delete;

    // False also when the node cannot be encoded.
    bool matches(const WorkspaceNode &node, std::string_view text);

private:
    struct Private;
    Private *d;
};

} // namespace tarni::json
