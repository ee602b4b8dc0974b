#include "model/TreeExportReader.h"

#include "model/JsonReading.h"

#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <vector>

namespace tarni::json {

namespace od = simdjson::ondemand;

namespace {

constexpr std::size_t kChunkBytes = std::size_t(256) << 10;
constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

// A RapidJSON input stream over a ByteSource, one chunk at a time. After
// limitNext(n) it hands out at most n bytes and then acts as if the text
// ended, which bounds what the parser collects for one string or number.
class ChunkStream {
public:
    using Ch = char;

    explicit ChunkStream(const ByteSource &source)
        : m_source(source)
        , m_buffer(kChunkBytes)
    {
        // Editors on some systems start UTF-8 files with a byte-order mark.
        std::size_t have = 0;
        while (have < 3 && !m_ended) {
            const std::size_t n = std::min(m_source(m_buffer.data() + have, m_buffer.size() - have), m_buffer.size() - have);
            m_ended = n == 0;
            have += n;
        }
        m_pos = m_buffer.data();
        m_end = m_dataEnd = m_buffer.data() + have;
        if (have >= 3 && std::memcmp(m_pos, "\xEF\xBB\xBF", 3) == 0) {
            m_pos += 3;
            m_skipped = 3;
        }
    }

    Ch Peek() { return m_pos != m_end || refill() ? *m_pos : '\0'; }
    Ch Take() { return m_pos != m_end || refill() ? *m_pos++ : '\0'; }
    std::size_t Tell() const { return m_base + std::size_t(m_pos - m_buffer.data()) - m_skipped; }

    void limitNext(std::size_t bytes)
    {
        m_limit = bytes == kUnlimited ? kUnlimited : Tell() + bytes;
        m_end = limitedEnd();
    }
    // The text was cut at the limit.
    bool cutShort() const { return m_cutShort; }
    // Every byte has been taken.
    bool exhausted()
    {
        limitNext(kUnlimited);
        return m_pos == m_end && !refill();
    }

    // Up to `max` of the bytes not taken yet; none when there are more.
    std::string rest(std::size_t max)
    {
        std::string out;
        limitNext(kUnlimited);
        while (out.size() <= max && (m_pos != m_end || refill())) {
            const std::size_t n = std::min(std::size_t(m_end - m_pos), max + 1 - out.size());
            out.append(m_pos, n);
            m_pos += n;
        }
        if (out.size() > max)
            out.clear();
        return out;
    }

    // Only in-situ parsing writes to its stream.
    Ch *PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    std::size_t PutEnd(Ch *) { return 0; }

private:
    const char *limitedEnd() const
    {
        const std::size_t left = std::size_t(m_dataEnd - m_pos);
        if (m_limit == kUnlimited || m_limit - Tell() >= left)
            return m_dataEnd;
        return m_pos + (m_limit - Tell());
    }

    bool refill()
    {
        if (m_limit != kUnlimited && Tell() >= m_limit) {
            m_cutShort = true;
            return false;
        }
        if (m_pos == m_dataEnd) {
            if (m_ended)
                return false;
            m_base += std::size_t(m_dataEnd - m_buffer.data());
            const std::size_t n = std::min(m_source(m_buffer.data(), m_buffer.size()), m_buffer.size());
            m_pos = m_buffer.data();
            m_end = m_dataEnd = m_pos + n;
            if (n == 0) {
                m_ended = true;
                return false;
            }
        }
        m_end = limitedEnd();
        return true;
    }

    const ByteSource &m_source;
    std::vector<char> m_buffer;
    const char *m_pos = nullptr;
    const char *m_end = nullptr;     // where Peek stops: the data's end or the limit
    const char *m_dataEnd = nullptr;
    std::size_t m_base = 0;          // offset of the buffer's first byte in the input
    std::size_t m_skipped = 0;       // the byte-order mark
    std::size_t m_limit = kUnlimited;
    bool m_ended = false;
    bool m_cutShort = false;
};

// Values of the document the record readers decode.
enum class Field { entryID, originalNodeID, entryTitle, entryNode, schemaVersion, exportedAt, app };

// What the next value in the document is to the reader.
enum class Slot { document, entry, children, field, ignored };

// Builds the document from the parser's events. The tree's shape (the top
// object, entries, their children arrays) is followed here; every other value
// the document keeps is written out again as a small JSON text and decoded by
// the same record readers decodeTreeExport uses, so that errors read the
// same. Values nobody reads are skipped.
class ExportHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, ExportHandler> {
public:
    ExportHandler(ChunkStream &stream, std::size_t maxDepth, std::size_t maxValueBytes)
        : m_stream(stream)
        , m_maxDepth(maxDepth)
        , m_maxValueBytes(maxValueBytes)
        , m_maxNesting(2 * maxDepth + kMaxImportValueNesting)
        , m_writer(m_captured)
    {
        m_stream.limitNext(m_maxValueBytes);
    }

    TreeExport &document() { return m_document; }
    const MaybeError &contentError() const { return m_contentError; }
    const MaybeError &limitError() const { return m_limitError; }
    // For a string or number cut short at the limit.
    DecodeError tooLarge() const { return makeError(currentPath(), tooLargeText()); }

    bool Default() { return false; } // numbers come as RawNumber only
    bool Null()
    {
        return scalar([this] { return m_writer.Null(); });
    }
    bool Bool(bool b)
    {
        return scalar([this, b] { return m_writer.Bool(b); });
    }
    bool RawNumber(const char *text, rapidjson::SizeType length, bool)
    {
        return scalar([this, text, length] { return m_writer.RawValue(text, length, rapidjson::kNumberType); });
    }
    bool String(const char *text, rapidjson::SizeType length, bool)
    {
        return scalar([this, text, length] { return m_writer.String(text, length); });
    }

    bool StartObject() { return startContainer(true); }
    bool StartArray() { return startContainer(false); }
    bool EndObject(rapidjson::SizeType) { return endContainer(true); }
    bool EndArray(rapidjson::SizeType) { return endContainer(false); }

    bool Key(const char *text, rapidjson::SizeType length, bool)
    {
        m_stream.limitNext(m_maxValueBytes);
        if (m_contentError || m_mode == Mode::skip)
            return true;
        if (m_mode == Mode::capture)
            return m_writer.Key(text, length) && capturedFits();
        Frame &frame = m_frames.back();
        const std::string_view key(text, length);
        frame.required.mark(key);
        m_key.assign(key);
        m_keyPath = JsonPath{frame.path, m_key};
        m_keyPending = true;
        m_next = Slot::ignored;
        if (frame.kind == Frame::Kind::top) {
            if (key == "schemaVersion")
                expectField(Field::schemaVersion);
            else if (key == "exportedAt")
                expectField(Field::exportedAt);
            else if (key == "app")
                expectField(Field::app);
            else if (key == "rootNode")
                m_next = Slot::entry;
        } else if (key == "children") {
            m_next = Slot::children;
        } else if (key == "id") {
            expectField(Field::entryID);
        } else if (key == "originalNodeID") {
            expectField(Field::originalNodeID);
        } else if (key == "title") {
            expectField(Field::entryTitle);
        } else if (key == "node") {
            expectField(Field::entryNode);
        }
        return true;
    }

private:
    struct Frame {
        enum class Kind { top, entry, children } kind;
        TreeExportNode *entry = nullptr;
        const JsonPath *path = nullptr; // the entry's, or the document's for the top object
        std::size_t level = 0;          // of the entry, counted from the document's root entry
        std::int64_t childIndex = -1;
        RequiredKeys<4> required{};
    };
    enum class Mode { follow, capture, skip };

    void expectField(Field field)
    {
        m_next = Slot::field;
        m_field = field;
    }

    Slot nextSlot() const
    {
        if (m_frames.empty())
            return Slot::document;
        if (m_frames.back().kind == Frame::Kind::children)
            return Slot::entry;
        return m_next;
    }

    // Continues reading after a content error so that a text that is not
    // JSON further on is reported as such, as decodeTreeExport does.
    bool fail(DecodeError error)
    {
        m_contentError = std::move(error);
        return true;
    }
    bool refuse(const JsonPath *path, QString reason)
    {
        m_limitError = makeError(path, std::move(reason));
        return false;
    }
    const JsonPath *currentPath() const
    {
        if (m_mode != Mode::follow || m_keyPending)
            return &m_keyPath;
        return m_frames.empty() ? &m_root : m_frames.back().path;
    }
    bool capturedFits()
    {
        if (m_captured.GetSize() <= m_maxValueBytes)
            return true;
        return refuse(&m_keyPath, tooLargeText());
    }
    QString tooLargeText() const
    {
        return QStringLiteral("the value is larger than %1 bytes, the most one value may hold").arg(qulonglong(m_maxValueBytes));
    }

    void startCapture()
    {
        m_mode = Mode::capture;
        m_modeDepth = 0;
        m_captured.Clear();
        m_writer.Reset(m_captured);
        // Wrapped in an array: the record readers take a value, and a
        // document's root is one only when it is an array or an object.
        m_writer.StartArray();
    }

    bool finishCapture()
    {
        m_mode = Mode::follow;
        m_writer.EndArray();
        const std::size_t length = m_captured.GetSize();
        std::memset(m_captured.Push(simdjson::SIMDJSON_PADDING), 0, simdjson::SIMDJSON_PADDING);
        od::document doc;
        if (auto error = m_parser.iterate(m_captured.GetString(), length, length + simdjson::SIMDJSON_PADDING).get(doc))
            return fail(syntaxError(&m_keyPath, error));
        od::array wrapper;
        if (auto error = doc.get_array().get(wrapper))
            return fail(syntaxError(&m_keyPath, error));
        for (auto value : wrapper) {
            if (auto error = readField(std::move(value)))
                return fail(std::move(*error));
            break;
        }
        return true;
    }

    MaybeError readField(JsonValue value)
    {
        TreeExportNode *entry = m_frames.back().entry;
        switch (m_field) {
        case Field::entryID: return read(std::move(value), &m_keyPath, entry->id);
        case Field::originalNodeID: return read(std::move(value), &m_keyPath, entry->originalNodeID);
        case Field::entryTitle: return read(std::move(value), &m_keyPath, entry->title);
        case Field::entryNode: return read(std::move(value), &m_keyPath, entry->node);
        case Field::schemaVersion: return read(std::move(value), &m_keyPath, m_document.schemaVersion);
        case Field::exportedAt: return read(std::move(value), &m_keyPath, m_document.exportedAt);
        case Field::app: return read(std::move(value), &m_keyPath, m_document.app);
        }
        return std::nullopt;
    }

    // An entry starts: the document's root entry or the next child of the
    // entry on top.
    bool openEntry(bool isObject)
    {
        const bool isRoot = m_frames.back().kind == Frame::Kind::top;
        const std::size_t level = isRoot ? 0 : m_frames.back().level + 1;
        m_entryPaths.resize(level + 1);
        if (isRoot)
            m_entryPaths[0] = JsonPath{&m_root, "rootNode"};
        else
            m_entryPaths[level] = JsonPath{&m_entryPaths[level - 1], "children", ++m_frames.back().childIndex};
        const JsonPath *path = &m_entryPaths[level];
        if (level >= m_maxDepth)
            return fail(makeError(path, QStringLiteral("entries are nested deeper than %1 levels").arg(m_maxDepth)));
        if (!isObject)
            return fail(makeError(path, QStringLiteral("expected an object")));
        TreeExportNode *entry = nullptr;
        if (isRoot) {
            m_document.rootNode = TreeExportNode();
            entry = &m_document.rootNode;
        } else {
            entry = &m_frames.back().entry->children.emplace_back();
        }
        m_frames.push_back(Frame{Frame::Kind::entry, entry, path, level, -1, {{"id", "title", "node", "children"}}});
        return true;
    }

    template <class Write>
    bool scalar(Write write)
    {
        m_stream.limitNext(m_maxValueBytes);
        if (m_contentError || m_mode == Mode::skip)
            return true;
        if (m_mode == Mode::capture)
            return write() && capturedFits();
        m_keyPending = false;
        switch (nextSlot()) {
        // As simdjson words it for decodeTreeExport.
        case Slot::document: return fail(syntaxError(&m_root, simdjson::SCALAR_DOCUMENT_AS_VALUE));
        case Slot::entry: return openEntry(false);
        case Slot::children: return fail(makeError(&m_keyPath, QStringLiteral("expected an array")));
        case Slot::field:
            startCapture();
            return write() && capturedFits() && finishCapture();
        case Slot::ignored: return true;
        }
        return true;
    }

    bool startContainer(bool isObject)
    {
        m_stream.limitNext(m_maxValueBytes);
        if (++m_nesting > m_maxNesting) {
            if (m_contentError)
                return false;
            return refuse(currentPath(), QStringLiteral("values are nested deeper than %1 levels").arg(m_maxNesting));
        }
        if (m_contentError)
            return true;
        if (m_mode == Mode::skip) {
            ++m_modeDepth;
            return true;
        }
        if (m_mode == Mode::capture) {
            ++m_modeDepth;
            return (isObject ? m_writer.StartObject() : m_writer.StartArray()) && capturedFits();
        }
        m_keyPending = false;
        switch (nextSlot()) {
        case Slot::document:
            if (!isObject)
                return fail(makeError(&m_root, QStringLiteral("expected an object")));
            m_frames.push_back(Frame{Frame::Kind::top, nullptr, &m_root, 0, -1,
                                     {{"schemaVersion", "exportedAt", "app", "rootNode"}}});
            return true;
        case Slot::entry: return openEntry(isObject);
        case Slot::children: {
            if (isObject)
                return fail(makeError(&m_keyPath, QStringLiteral("expected an array")));
            Frame &entry = m_frames.back();
            entry.entry->children.clear();
            m_frames.push_back(Frame{Frame::Kind::children, entry.entry, entry.path, entry.level, -1, {}});
            return true;
        }
        case Slot::field:
            startCapture();
            m_modeDepth = 1;
            return (isObject ? m_writer.StartObject() : m_writer.StartArray()) && capturedFits();
        case Slot::ignored:
            m_mode = Mode::skip;
            m_modeDepth = 1;
            return true;
        }
        return true;
    }

    bool endContainer(bool isObject)
    {
        m_stream.limitNext(m_maxValueBytes);
        --m_nesting;
        if (m_contentError)
            return true;
        if (m_mode == Mode::skip) {
            if (--m_modeDepth == 0)
                m_mode = Mode::follow;
            return true;
        }
        if (m_mode == Mode::capture) {
            if (!(isObject ? m_writer.EndObject() : m_writer.EndArray()) || !capturedFits())
                return false;
            return --m_modeDepth > 0 || finishCapture();
        }
        const Frame frame = m_frames.back();
        m_frames.pop_back();
        m_next = Slot::ignored;
        if (frame.kind == Frame::Kind::children)
            return true;
        if (auto error = frame.required.check(frame.path))
            return fail(std::move(*error));
        // What may follow the document is only looked at, never kept.
        if (frame.kind == Frame::Kind::top)
            m_stream.limitNext(kUnlimited);
        return true;
    }

    ChunkStream &m_stream;
    const std::size_t m_maxDepth;
    const std::size_t m_maxValueBytes;
    const std::size_t m_maxNesting;

    TreeExport m_document;
    MaybeError m_contentError;
    MaybeError m_limitError;

    const JsonPath m_root;
    // Paths must stay put while entries open and close: a deque grows and
    // shrinks at the end without moving what it holds.
    std::deque<JsonPath> m_entryPaths;
    std::vector<Frame> m_frames;
    std::string m_key;
    JsonPath m_keyPath;
    bool m_keyPending = false; // the last event was a key whose value is still to come
    Slot m_next = Slot::document;
    Field m_field = Field::entryID;
    std::size_t m_nesting = 0;

    Mode m_mode = Mode::follow;
    std::size_t m_modeDepth = 0;
    rapidjson::StringBuffer m_captured;
    rapidjson::Writer<rapidjson::StringBuffer> m_writer;
    od::parser m_parser;
};

} // namespace

Decoded<TreeExport> readTreeExport(const ByteSource &source, std::size_t maxDepth, std::size_t maxValueBytes)
{
    ChunkStream stream(source);
    ExportHandler handler(stream, maxDepth, maxValueBytes);
    rapidjson::Reader reader;
    const auto result = reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
                                     rapidjson::kParseNumbersAsStringsFlag>(stream, handler);
    const JsonPath root;
    // Text after the document's value. decodeTreeExport's parser looks at the
    // whole text before the content, and calls a string left open there
    // (or invalid UTF-8) malformed JSON.
    auto trailingText = [&]() -> DecodeError {
        const std::string rest = stream.rest(maxValueBytes);
        if (!rest.empty()) {
            od::parser parser;
            const simdjson::padded_string padded(rest);
            if (auto error = parser.iterate(padded).error())
                return syntaxError(&root, error);
        }
        if (handler.contentError())
            return *handler.contentError();
        return makeError(&root, QStringLiteral("unexpected text after the JSON value"));
    };
    if (result.IsError()) {
        if (stream.cutShort() || result.Code() == rapidjson::kParseErrorTermination) {
            if (handler.contentError())
                return Failure(*handler.contentError());
            return Failure(handler.limitError() ? *handler.limitError() : handler.tooLarge());
        }
        if (result.Code() == rapidjson::kParseErrorDocumentRootNotSingular)
            return Failure(trailingText());
        if (result.Code() == rapidjson::kParseErrorDocumentEmpty)
            return Failure(DecodeError{{}, QStringLiteral("there is no text"), true});
        if (result.Code() == rapidjson::kParseErrorStringInvalidEncoding)
            return Failure(DecodeError{{}, QStringLiteral("invalid UTF-8 at byte %1").arg(result.Offset()), true});
        return Failure(DecodeError{{}, QStringLiteral("invalid at byte %1").arg(result.Offset()), true});
    }
    // The parser takes a NUL byte for the end of the text.
    if (!stream.exhausted())
        return Failure(trailingText());
    if (handler.contentError())
        return Failure(*handler.contentError());
    return std::move(handler.document());
}

} // namespace tarni::json
