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

namespace {

// A rapidjson output stream that passes its text on in pieces.
class ChunkedStream {
public:
    using Ch = char;
    explicit ChunkedStream(const std::function<bool(std::string_view)> &sink)
        : m_sink(sink)
    {
        m_buffer.reserve(kChunk);
    }
    void Put(char c)
    {
        m_buffer.push_back(c);
        if (m_buffer.size() >= kChunk)
            Flush();
    }
    void Flush()
    {
        if (!m_buffer.empty() && m_open)
            m_open = m_sink(m_buffer);
        m_buffer.clear();
    }

private:
    static constexpr std::size_t kChunk = std::size_t(64) << 10;
    const std::function<bool(std::string_view)> &m_sink;
    std::string m_buffer;
    bool m_open = true;
};

} // namespace

Result<void, EncodeError> encodeTo(const WorkspaceSnapshot &snapshot, JsonStyle style,
                                   const std::function<bool(std::string_view)> &sink)
{
    try {
        ChunkedStream stream(sink);
        bool ok;
        if (style == JsonStyle::pretty) {
            rapidjson::PrettyWriter<ChunkedStream, rapidjson::UTF8<>, rapidjson::UTF8<>, CheckedAllocator> writer(stream);
            writer.SetIndent(' ', 2);
            ok = writeAny(writer, snapshot);
        } else {
            rapidjson::Writer<ChunkedStream, rapidjson::UTF8<>, rapidjson::UTF8<>, CheckedAllocator> writer(stream);
            ok = writeAny(writer, snapshot);
        }
        stream.Flush();
        if (!ok)
            return Failure(notFinite());
        return {};
    } catch (const std::bad_alloc &) {
        return Failure(outOfMemory());
    }
}

namespace {

// One writer and buffer per thread for the records appended one at a time
// (every row the store writes), rather than a buffer grown from nothing for
// each. A buffer grown past what a usual record needs is let go afterwards.
struct CompactScratch {
    Buffer buffer;
    CompactWriter writer{buffer};

    static constexpr std::size_t kKeptCapacity = std::size_t(64) << 10;

    void release()
    {
        if (buffer.GetSize() > kKeptCapacity) {
            buffer.Clear();
            buffer.ShrinkToFit();
        }
    }
};

template <class Edges>
Result<void, EncodeError> appendCompactWith(std::string &out, const WorkspaceNode &node, const Edges &edges,
                                            CompactScratch &scratch)
{
    if (auto refused = checkSize(node, std::nullopt))
        return Failure(*refused);
    try {
        scratch.buffer.Clear();
        scratch.writer.Reset(scratch.buffer);
        if (!writeFields(scratch.writer, node, edges))
            return Failure(notFinite());
        if (auto refused = checkSize(node, std::optional(scratch.buffer.GetSize())))
            return Failure(*refused);
        out.append(scratch.buffer.GetString(), scratch.buffer.GetSize());
        scratch.release();
        return {};
    } catch (const std::bad_alloc &) {
        scratch.release();
        return Failure(outOfMemory());
    }
}

thread_local CompactScratch compactScratch;

} // namespace

Result<void, EncodeError> appendCompact(std::string &out, const WorkspaceNode &node)
{
    return appendCompactWith(out, node, IgnoreStampEdges{}, compactScratch);
}

Result<void, EncodeError> appendCompact(std::string &out, const WorkspaceNode &node, StampSpans &stamps)
{
    CompactScratch &scratch = compactScratch;
    stamps = StampSpans{};
    auto edges = [&](StampEdge edge) {
        const std::size_t at = scratch.buffer.GetSize();
        switch (edge) {
        case StampEdge::lastOpenedBegin:
            stamps.lastOpenedBegin = at;
            break;
        case StampEdge::lastOpenedEnd:
            stamps.lastOpenedEnd = at;
            break;
        case StampEdge::updatedBegin:
            stamps.updatedBegin = at;
            break;
        case StampEdge::updatedEnd:
            stamps.updatedEnd = at;
            break;
        }
    };
    auto appended = appendCompactWith(out, node, edges, scratch);
    if (!appended)
        stamps = StampSpans{};
    return appended;
}

std::array<std::string_view, 4> stampFreePieces(std::string_view text, const StampSpans &stamps)
{
    // The member the writer makes of a zero updatedAt, after the members
    // that come before it (there always is one: createdAt).
    static const std::string zeroUpdated = [] {
        char stamp[kTimestampTextLength];
        formatTimestamp(Timestamp{}, stamp);
        return std::string(",\"updatedAt\":\"") + std::string(stamp, kTimestampTextLength) + '"';
    }();
    const bool opened = stamps.lastOpenedEnd > stamps.lastOpenedBegin;
    const std::size_t cut = opened ? stamps.lastOpenedBegin : stamps.updatedBegin;
    const std::size_t resume = opened ? stamps.lastOpenedEnd : stamps.updatedBegin;
    return {text.substr(0, cut), text.substr(resume, stamps.updatedBegin - resume), zeroUpdated,
            text.substr(stamps.updatedEnd)};
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
