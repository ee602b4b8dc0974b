#include "model/JsonEncoding.h"

#include "model/JsonWriting.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <optional>

namespace tarni::json {

namespace {

template <class W, class T>
bool writeAny(W &w, const T &value)
{
    if constexpr (std::is_same_v<decltype(writeFields(w, value)), bool>)
        return writeFields(w, value);
    else {
        writeFields(w, value);
        return true;
    }
}

using Buffer = rapidjson::GenericStringBuffer<rapidjson::UTF8<>, CheckedAllocator>;
using CompactWriter = rapidjson::Writer<Buffer, rapidjson::UTF8<>, rapidjson::UTF8<>, CheckedAllocator>;
using PrettyWriter = rapidjson::PrettyWriter<Buffer, rapidjson::UTF8<>, rapidjson::UTF8<>, CheckedAllocator>;

EncodeError notFinite()
{
    return EncodeError{QStringLiteral("sortOrder is not a finite number")};
}

EncodeError outOfMemory()
{
    return EncodeError{QStringLiteral("there is not enough memory for the record's text")};
}

EncodeError tooLarge(const WorkspaceNode &node)
{
    return EncodeError{QStringLiteral("the node \"%1\" is larger than the %2 MiB of JSON a node may take")
                           .arg(node.title().left(40))
                           .arg(kMaxNodeRecordBytes >> 20)};
}

// Before writing: every UTF-16 unit of the texts takes at least a byte, so a
// title alone can show that the record is too large without encoding it.
template <class T>
std::optional<EncodeError> checkSize(const T &, std::optional<std::size_t>)
{
    return std::nullopt;
}

std::optional<EncodeError> checkSize(const WorkspaceNode &node, std::optional<std::size_t> written)
{
    const std::size_t bytes = written ? *written
                                      : std::size_t(node.title().size() + node.subtitle().value_or(QString()).size());
    if (bytes <= kMaxNodeRecordBytes)
        return std::nullopt;
    return tooLarge(node);
}

template <class T>
Result<std::string, EncodeError> encodeWith(const T &value, JsonStyle style)
{
    if (auto refused = checkSize(value, std::nullopt))
        return Failure(*refused);
    try {
        Buffer buffer;
        bool ok;
        if (style == JsonStyle::pretty) {
            PrettyWriter writer(buffer);
            writer.SetIndent(' ', 2);
            ok = writeAny(writer, value);
        } else {
            CompactWriter writer(buffer);
            ok = writeAny(writer, value);
        }
        if (!ok)
            return Failure(notFinite());
        // The limit is on the stored (compact) form.
        if (style == JsonStyle::compact) {
            if (auto refused = checkSize(value, std::optional(buffer.GetSize())))
                return Failure(*refused);
        }
        return std::string(buffer.GetString(), buffer.GetSize());
    } catch (const std::bad_alloc &) {
        return Failure(outOfMemory());
    }
}

} // namespace

Result<std::string, EncodeError> encode(const WorkspaceNode &node, JsonStyle style)
{
    return encodeWith(node, style);
}

Result<std::string, EncodeError> encode(const NodePayload &payload, JsonStyle style)
{
    return encodeWith(payload, style);
}

Result<std::string, EncodeError> encode(const BrowserTarget &target, JsonStyle style)
{
    return encodeWith(target, style);
}

Result<std::string, EncodeError> encode(const Workspace &workspace, JsonStyle style)
{
    return encodeWith(workspace, style);
}

Result<std::string, EncodeError> encode(const TreeExport &document, JsonStyle style)
{
    return encodeWith(document, style);
}

Result<std::string, EncodeError> encode(const WorkspaceSnapshot &snapshot, JsonStyle style)
{
    return encodeWith(snapshot, style);
}

Result<void, EncodeError> appendCompact(std::string &out, const WorkspaceNode &node)
{
    if (auto refused = checkSize(node, std::nullopt))
        return Failure(*refused);
    try {
        Buffer buffer;
        CompactWriter writer(buffer);
        if (!writeFields(writer, node))
            return Failure(notFinite());
        if (auto refused = checkSize(node, std::optional(buffer.GetSize())))
            return Failure(*refused);
        out.append(buffer.GetString(), buffer.GetSize());
        return {};
    } catch (const std::bad_alloc &) {
        return Failure(outOfMemory());
    }
}

struct CompactFormCheck::Private {
    Buffer buffer;
    CompactWriter writer{buffer};
};

CompactFormCheck::CompactFormCheck()
    : d(new Private)
{
}

CompactFormCheck::~CompactFormCheck()
{
    delete d;
}

bool CompactFormCheck::matches(const WorkspaceNode &node, std::string_view text)
{
    // Longer than any record we write: not ours, and not worth encoding.
    if (text.size() > kMaxNodeRecordBytes)
        return false;
    try {
        d->buffer.Clear();
        d->writer.Reset(d->buffer);
        if (!writeFields(d->writer, node))
            return false;
        return std::string_view(d->buffer.GetString(), d->buffer.GetSize()) == text;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

} // namespace tarni::json
