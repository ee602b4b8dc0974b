#include "sync/ChangeFile.h"

#include "model/JsonReading.h"
#include "model/JsonWriting.h"
#include "model/Uuid.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <zlib.h>

#include <cstring>
#include <new>

namespace tarni::sync {

namespace od = simdjson::ondemand;
using json::JsonPath;
using json::JsonValue;
using json::MaybeError;

QUuid ChangeRecord::nodeID() const
{
    if (const WorkspaceNode *n = node())
        return n->id();
    return std::get<Tombstone>(change).id;
}

QString ChangeFileError::description() const
{
    switch (problem) {
    case ChangeFileProblem::tooLarge:
        if (!nodeID.isNull())
            return QStringLiteral("The change of node %1 is larger than %2 KiB: %3")
                .arg(uuidQString(nodeID))
                .arg(kMaxChangeRecordBytes >> 10)
                .arg(detail);
        return QStringLiteral("The change file is larger than %1 MiB.").arg(kMaxChangeFileBytes >> 20);
    case ChangeFileProblem::damaged: return QStringLiteral("The change file is damaged: ") + detail;
    case ChangeFileProblem::unknownFormat: return QStringLiteral("This is not a change file: ") + detail;
    case ChangeFileProblem::newerSchema:
        return QStringLiteral("The change file was written by a newer version of TarniBar: ") + detail;
    case ChangeFileProblem::cannotEncode: return QStringLiteral("Cannot write the change file: ") + detail;
    }
    return detail;
}

QString RefusedChange::description() const
{
    const QString what = record ? QStringLiteral("The change of node %1").arg(uuidQString(record->nodeID()))
                                : QStringLiteral("Change %1").arg(index);
    if (!problem)
        return what + QStringLiteral(" is larger than %1 KiB.").arg(kMaxChangeRecordBytes >> 10);
    return what + QStringLiteral(" is refused: ") + QString::fromUtf8(entryProblemReason(*problem));
}

namespace {

// What is wrong with a file's own fields, checked the same way before
// writing and after reading, so that every file written reads back.
std::optional<QString> headerProblem(const ChangeFile &file)
{
    if (file.device.isNull())
        return QStringLiteral("\"device\" is the null id");
    if (std::size_t(file.deviceName.toUtf8().size()) > kMaxDeviceNameBytes)
        return QStringLiteral("\"deviceName\" is longer than %1 bytes").arg(kMaxDeviceNameBytes);
    if (file.seq < 1 || file.seq > kMaxChangeSeq)
        return QStringLiteral("\"seq\" %1 is out of range").arg(file.seq);
    for (const auto &[device, seq] : file.after) {
        if (device.isNull())
            return QStringLiteral("\"after\" names the null id");
        if (device == file.device)
            return QStringLiteral("\"after\" names the file's own device");
        if (seq < 1 || seq > kMaxChangeSeq)
            return QStringLiteral("\"after.%1\" %2 is out of range").arg(QString::fromStdString(deviceIdText(device))).arg(seq);
    }
    return std::nullopt;
}

// `device`: the file's device, whose clocks a change file's records all
// carry; null for a snapshot's records, which carry anyone's.
std::optional<QString> recordProblem(const ChangeRecord &record, const QUuid &device)
{
    if (!record.clock.isValid() || (!device.isNull() && record.clock.device != device))
        return QStringLiteral("the clock is not one of the file's device");
    if (device.isNull() && (record.base || !record.node()))
        return QStringLiteral("a snapshot's record holds a \"base\" or a deletion");
    if (record.base && (!record.base->isValid() || *record.base >= record.clock))
        return QStringLiteral("\"base\" is not earlier than \"clock\"");
    if (record.content && (!record.node() || !record.content->isValid() || *record.content > record.clock))
        return QStringLiteral("\"content\" is later than \"clock\" or belongs to no node");
    if (record.nodeID().isNull())
        return QStringLiteral("the node id is the null id");
    return std::nullopt;
}

ChangeFileError damaged(QString detail)
{
    return ChangeFileError{ChangeFileProblem::damaged, std::move(detail), {}};
}

ChangeFileError damagedAt(const JsonPath *path, const QString &detail)
{
    return damaged(json::makeError(path, detail).description());
}

// ---------------------------------------------------------------- writing

using Buffer = rapidjson::GenericStringBuffer<rapidjson::UTF8<>, json::CheckedAllocator>;
using Writer = rapidjson::Writer<Buffer, rapidjson::UTF8<>, rapidjson::UTF8<>, json::CheckedAllocator>;

ChangeFileError cannotEncode(QString detail, QUuid node = {})
{
    return ChangeFileError{ChangeFileProblem::cannotEncode, std::move(detail), node};
}

// A snapshot's records have no "base".
// The newest file of each other device that the writer had applied.
void writeAfter(Writer &w, const std::map<QUuid, std::int64_t, DeviceIdLess> &after)
{
    json::writeKey(w, "after");
    w.StartObject();
    for (const auto &[device, seq] : after) {
        json::writeKey(w, deviceIdText(device));
        w.Int64(seq);
    }
    w.EndObject();
}

// The keys after "after" and "changes", in their order: who wrote the
// file, in which format and schema, and its number.
void writeOrigin(Writer &w, const QUuid &device, const QString &deviceName, std::string_view format,
                 std::int64_t schemaVersion, std::int64_t seq)
{
    json::writeKey(w, "device");
    json::writeString(w, deviceIdText(device));
    json::writeKey(w, "deviceName");
    json::writeString(w, deviceName);
    json::writeKey(w, "format");
    json::writeString(w, format);
    json::writeKey(w, "schemaVersion");
    w.Int64(schemaVersion);
    json::writeKey(w, "seq");
    w.Int64(seq);
}

Result<void, ChangeFileError> writeRecord(Writer &w, const ChangeRecord &record, bool withBase = true)
{
    w.StartObject();
    if (withBase) {
        json::writeKey(w, "base");
        json::writeString(w, record.base ? record.base->toText() : std::string());
    }
    json::writeKey(w, "clock");
    json::writeString(w, record.clock.toText());
    if (const WorkspaceNode *node = record.node()) {
        if (record.content) {
            json::writeKey(w, "content");
            json::writeString(w, record.content->toText());
        }
        json::writeKey(w, "node");
        if (!json::writeFields(w, *node))
            return Failure(cannotEncode(QStringLiteral("the sort order is not a finite number"), node->id()));
    } else {
        json::writeKey(w, "deleted");
        json::writeUuid(w, record.nodeID());
    }
    w.EndObject();
    return {};
}

} // namespace

Result<std::string, ChangeFileError> encodeChangeFile(const ChangeFile &file)
{
    if (auto problem = headerProblem(file))
        return Failure(cannotEncode(*problem));
    for (const ChangeRecord &record : file.changes) {
        if (auto problem = recordProblem(record, file.device))
            return Failure(cannotEncode(*problem, record.nodeID()));
    }
    try {
        Buffer buffer;
        Writer w(buffer);
        w.StartObject();
        writeAfter(w, file.after);
        json::writeKey(w, "changes");
        w.StartArray();
        for (std::size_t i = 0; i < file.changes.size(); ++i) {
            // From the record's brace, not the comma before it, as a reader measures.
            const std::size_t start = buffer.GetSize() + (i > 0 ? 1 : 0);
            if (auto written = writeRecord(w, file.changes[i]); !written)
                return Failure(written.error());
            if (buffer.GetSize() - start > kMaxChangeRecordBytes)
                return Failure(ChangeFileError{ChangeFileProblem::tooLarge,
                                               QStringLiteral("%1 KiB").arg((buffer.GetSize() - start) >> 10),
                                               file.changes[i].nodeID()});
            if (buffer.GetSize() > kMaxChangeFileBytes)
                return Failure(ChangeFileError{ChangeFileProblem::tooLarge, {}, {}});
        }
        w.EndArray();
        writeOrigin(w, file.device, file.deviceName, kChangeFileFormat, kChangeFileSchemaVersion, file.seq);
        w.EndObject();
        if (buffer.GetSize() > kMaxChangeFileBytes)
            return Failure(ChangeFileError{ChangeFileProblem::tooLarge, {}, {}});
        return std::string(buffer.GetString(), buffer.GetSize());
    } catch (const std::bad_alloc &) {
        return Failure(cannotEncode(QStringLiteral("there is not enough memory")));
    }
}

// ---------------------------------------------------------------- reading

namespace {

// Simdjson reads up to this many bytes past the end of the text it is given.
std::string_view padded(std::string &buffer, std::string_view text)
{
    buffer.assign(text);
    buffer.resize(text.size() + simdjson::SIMDJSON_PADDING, '\0');
    return {buffer.data(), text.size()};
}

MaybeError readClock(JsonValue v, const JsonPath *path, std::optional<SyncClock> &out, bool emptyIsNone)
{
    std::string_view text;
    if (auto error = v.get_string().get(text))
        return json::typeError(path, error, "a string");
    if (emptyIsNone && text.empty()) {
        out.reset();
        return std::nullopt;
    }
    out = SyncClock::fromText(text);
    if (!out)
        return json::makeError(path, QStringLiteral("\"%1\" is not a clock")
                                         .arg(QString::fromUtf8(text.data(), qsizetype(std::min<std::size_t>(text.size(), 80)))));
    return std::nullopt;
}

// Marks each known key as it is seen; a key seen twice is an error, since
// two readers could each take a different one.
template <std::size_t N>
struct KnownKeys {
    std::array<std::string_view, N> names;
    std::array<bool, N> seen{};

    // The key's index, N for an unknown key, or an error for a repeated one.
    Result<std::size_t, json::DecodeError> mark(std::string_view key, const JsonPath *at)
    {
        for (std::size_t i = 0; i < N; ++i) {
            if (names[i] != key)
                continue;
            if (seen[i])
                return Failure(json::makeError(at, QStringLiteral("the key appears twice")));
            seen[i] = true;
            return i;
        }
        return N;
    }
    bool has(std::string_view key) const
    {
        for (std::size_t i = 0; i < N; ++i) {
            if (names[i] == key)
                return seen[i];
        }
        return false;
    }
};

class ChangeFileReader {
public:
    Result<DecodedChangeFile, ChangeFileError> read(std::string_view bytes);
    Result<SnapshotHeader, ChangeFileError> readSnapshotHeader(std::string_view line);
    // One record line of a snapshot: to apply, or refused by the entry rules.
    Result<SnapshotDecoder::Item, ChangeFileError> readSnapshotRecord(std::string_view line, std::size_t index);

private:
    // Parses the padded text in m_fileBuffer as one object of that format
    // and a schema this version reads, and leaves `top` at its start.
    std::optional<ChangeFileError> openTop(std::string_view text, od::document &doc, od::object &top,
                                           std::string_view expectedFormat, std::int64_t newestVersion);
    std::optional<ChangeFileError> readVersion(od::object &top, std::string_view expectedFormat,
                                               std::int64_t newestVersion);
    MaybeError readAfter(JsonValue v, const JsonPath *path, std::map<QUuid, std::int64_t, DeviceIdLess> &after);
    // Reads the record's own text with a parser of its own, after the size
    // check. A snapshot's record has no "base".
    MaybeError readRecord(std::string_view text, const JsonPath *path, ChangeRecord &record, bool snapshot = false);

    od::parser m_fileParser;
    od::parser m_recordParser;
    std::string m_fileBuffer;
    std::string m_recordBuffer;
};

std::optional<ChangeFileError> ChangeFileReader::openTop(std::string_view text, od::document &doc, od::object &top,
                                                        std::string_view expectedFormat, std::int64_t newestVersion)
{
    const JsonPath root;
    if (auto error = m_fileParser.iterate(m_fileBuffer.data(), text.size(), m_fileBuffer.size()).get(doc))
        return damaged(json::syntaxError(&root, error).description());
    if (auto error = doc.get_object().get(top)) {
        if (error == simdjson::INCORRECT_TYPE)
            return ChangeFileError{ChangeFileProblem::unknownFormat, QStringLiteral("it is not a JSON object"), {}};
        return damaged(json::syntaxError(&root, error).description());
    }
    // The version decides how to read the rest, so it comes first wherever
    // it stands.
    if (auto refused = readVersion(top, expectedFormat, newestVersion))
        return refused;
    if (auto error = top.reset().error())
        return damaged(json::syntaxError(&root, error).description());
    return std::nullopt;
}

std::optional<ChangeFileError> ChangeFileReader::readVersion(od::object &top, std::string_view expectedFormat,
                                                            std::int64_t newestVersion)
{
    const JsonPath root;
    const JsonPath formatPath{&root, "format"};
    std::string_view format;
    auto formatValue = top.find_field_unordered("format");
    if (formatValue.error() == simdjson::NO_SUCH_FIELD)
        return ChangeFileError{ChangeFileProblem::unknownFormat, QStringLiteral("it has no \"format\""), {}};
    if (auto error = formatValue.get_string().get(format)) {
        if (error == simdjson::INCORRECT_TYPE)
            return ChangeFileError{ChangeFileProblem::unknownFormat, QStringLiteral("\"format\" is not a string"), {}};
        return damaged(json::syntaxError(&formatPath, error).description());
    }
    if (format != expectedFormat)
        return ChangeFileError{ChangeFileProblem::unknownFormat,
                               QStringLiteral("its format is \"%1\"")
                                   .arg(QString::fromUtf8(format.data(), qsizetype(std::min<std::size_t>(format.size(), 64)))),
                               {}};

    const JsonPath versionPath{&root, "schemaVersion"};
    std::int64_t version = 0;
    auto versionValue = top.find_field_unordered("schemaVersion");
    if (versionValue.error() == simdjson::NO_SUCH_FIELD)
        return damaged(json::missingKey(&root, "schemaVersion").description());
    if (auto error = versionValue.get_int64().get(version))
        return damaged(json::typeError(&versionPath, error, "a whole number").description());
    if (version > newestVersion)
        return ChangeFileError{ChangeFileProblem::newerSchema,
                               QStringLiteral("schema %1, and this version reads up to %2")
                                   .arg(version)
                                   .arg(newestVersion),
                               {}};
    if (version < 1)
        return damagedAt(&versionPath, QStringLiteral("%1 is no schema version").arg(version));
    return std::nullopt;
}

// A device id in its one text form.
static MaybeError readDevice(JsonValue value, const JsonPath *at, QUuid &device)
{
    std::string_view text;
    if (auto error = value.get_string().get(text))
        return json::typeError(at, error, "a string");
    const auto id = parseDeviceId(text);
    if (!id)
        return json::makeError(at, QStringLiteral("not a device id"));
    device = *id;
    return std::nullopt;
}

MaybeError ChangeFileReader::readAfter(JsonValue v, const JsonPath *path,
                                       std::map<QUuid, std::int64_t, DeviceIdLess> &after)
{
    return json::forEachField(std::move(v), path, [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
        const auto device = parseDeviceId(key);
        if (!device)
            return json::makeError(at, QStringLiteral("not a device id"));
        std::int64_t seq = 0;
        if (auto error = json::read(std::move(value), at, seq))
            return error;
        if (!after.emplace(*device, seq).second)
            return json::makeError(at, QStringLiteral("the device appears twice"));
        return std::nullopt;
    });
}

MaybeError ChangeFileReader::readRecord(std::string_view text, const JsonPath *path, ChangeRecord &record,
                                        bool snapshot)
{
    text = padded(m_recordBuffer, text);
    od::document doc;
    if (auto error = m_recordParser.iterate(m_recordBuffer.data(), text.size(), m_recordBuffer.size()).get(doc))
        return json::syntaxError(path, error);
    KnownKeys<5> keys{{"clock", "base", "node", "deleted", "content"}};
    std::optional<SyncClock> clock;
    std::optional<WorkspaceNode> node;
    QUuid deleted;
    if (auto error = json::forEachField(doc.get_value(), path, [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
            auto known = keys.mark(key, at);
            if (!known)
                return known.error();
            switch (*known) {
            case 0: return readClock(std::move(value), at, clock, false);
            case 1: return readClock(std::move(value), at, record.base, true);
            case 2: return json::read(std::move(value), at, node.emplace());
            case 3: return json::read(std::move(value), at, deleted);
            case 4: return readClock(std::move(value), at, record.content, false);
            default: return std::nullopt;
            }
        }))
        return error;
    if (!keys.has("clock"))
        return json::missingKey(path, "clock");
    if (keys.has("base") == snapshot)
        return snapshot ? json::makeError(path, QStringLiteral("a snapshot's record has no \"base\""))
                        : json::missingKey(path, "base");
    if (node.has_value() == keys.has("deleted"))
        return json::makeError(path, QStringLiteral("a change holds either \"node\" or \"deleted\""));
    record.clock = *clock;
    if (node)
        record.change = std::move(*node);
    else
        record.change = Tombstone{deleted};
    return std::nullopt;
}

Result<DecodedChangeFile, ChangeFileError> ChangeFileReader::read(std::string_view bytes)
{
    if (bytes.size() > kMaxChangeFileBytes)
        return Failure(ChangeFileError{ChangeFileProblem::tooLarge, {}, {}});
    const std::string_view text = padded(m_fileBuffer, bytes);
    const JsonPath root;
    od::document doc;
    od::object top;
    if (auto refused = openTop(text, doc, top, kChangeFileFormat, kChangeFileSchemaVersion))
        return Failure(std::move(*refused));

    DecodedChangeFile decoded;
    ChangeFile &file = decoded.file;
    // Records in file order; a record too large to read has none.
    std::vector<std::optional<ChangeRecord>> records;
    KnownKeys<7> keys{{"format", "schemaVersion", "device", "deviceName", "seq", "after", "changes"}};
    auto readField = [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
        auto known = keys.mark(key, at);
        if (!known)
            return known.error();
        switch (*known) {
        case 2: return readDevice(std::move(value), at, file.device);
        case 3: return json::read(std::move(value), at, file.deviceName);
        case 4: return json::read(std::move(value), at, file.seq);
        case 5: return readAfter(std::move(value), at, file.after);
        case 6: {
            od::array changes;
            if (auto error = value.get_array().get(changes))
                return json::typeError(at, error, "an array");
            std::int64_t index = 0;
            for (auto element : changes) {
                const JsonPath recordPath{nullptr, "changes", index++};
                od::object object;
                std::string_view recordText;
                if (auto error = element.get_object().get(object))
                    return json::typeError(&recordPath, error, "an object");
                if (auto error = object.raw_json().get(recordText))
                    return json::syntaxError(&recordPath, error);
                if (recordText.size() > kMaxChangeRecordBytes) {
                    records.emplace_back();
                    continue;
                }
                if (auto error = readRecord(recordText, &recordPath, records.emplace_back().emplace()))
                    return error;
            }
            return std::nullopt;
        }
        default: return std::nullopt; // format and schemaVersion are read; unknown keys are ignored
        }
    };
    if (auto error = json::forEachField(top, &root, readField))
        return Failure(damaged(error->description()));
    if (!doc.current_location().error())
        return Failure(damaged(QStringLiteral("there is text after the JSON value")));
    for (std::string_view key : {"device", "deviceName", "seq", "after", "changes"}) {
        if (!keys.has(key))
            return Failure(damaged(json::missingKey(&root, key).description()));
    }
    if (auto problem = headerProblem(file))
        return Failure(damaged(*problem));

    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!records[i]) {
            decoded.refused.push_back(RefusedChange{i, std::nullopt, std::nullopt});
            continue;
        }
        ChangeRecord &record = *records[i];
        if (auto problem = recordProblem(record, file.device)) {
            const JsonPath recordPath{nullptr, "changes", std::int64_t(i)};
            return Failure(damagedAt(&recordPath, *problem));
        }
        std::optional<EntryProblem> refusal;
        if (const WorkspaceNode *node = record.node()) {
            refusal = EntryRules::payloadProblem(node->payload());
            if (!refusal)
                refusal = EntryRules::titleProblem(node->title());
        }
        if (refusal)
            decoded.refused.push_back(RefusedChange{i, std::move(record), refusal});
        else
            file.changes.push_back(std::move(record));
    }
    return decoded;
}

} // namespace

// ---------------------------------------------------------------- snapshots

std::int64_t SnapshotHeader::covered(const QUuid &d) const
{
    if (d == device)
        return seq;
    auto it = after.find(d);
    return it == after.end() ? 0 : it->second;
}

namespace {

constexpr std::string_view kSnapshotEndKey = "{\"end\":";
constexpr int kGzipWindowBits = MAX_WBITS + 16;

std::optional<EntryProblem> entryRefusal(const ChangeRecord &record)
{
    const WorkspaceNode *node = record.node();
    if (!node)
        return std::nullopt;
    if (auto refusal = EntryRules::payloadProblem(node->payload()))
        return refusal;
    return EntryRules::titleProblem(node->title());
}

ChangeFile headerAsFile(const SnapshotHeader &header)
{
    return ChangeFile{header.device, header.deviceName, header.seq, header.after, {}};
}

} // namespace

Result<SnapshotHeader, ChangeFileError> ChangeFileReader::readSnapshotHeader(std::string_view line)
{
    const std::string_view text = padded(m_fileBuffer, line);
    const JsonPath root;
    od::document doc;
    od::object top;
    if (auto refused = openTop(text, doc, top, kSnapshotFileFormat, kSnapshotFileSchemaVersion))
        return Failure(std::move(*refused));
    SnapshotHeader header;
    KnownKeys<6> keys{{"format", "schemaVersion", "device", "deviceName", "seq", "after"}};
    auto readField = [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
        auto known = keys.mark(key, at);
        if (!known)
            return known.error();
        switch (*known) {
        case 2: return readDevice(std::move(value), at, header.device);
        case 3: return json::read(std::move(value), at, header.deviceName);
        case 4: return json::read(std::move(value), at, header.seq);
        case 5: return readAfter(std::move(value), at, header.after);
        default: return std::nullopt;
        }
    };
    if (auto error = json::forEachField(top, &root, readField))
        return Failure(damaged(error->description()));
    if (!doc.current_location().error())
        return Failure(damaged(QStringLiteral("there is text after the JSON value")));
    for (std::string_view key : {"device", "deviceName", "seq", "after"}) {
        if (!keys.has(key))
            return Failure(damaged(json::missingKey(&root, key).description()));
    }
    if (auto problem = headerProblem(headerAsFile(header)))
        return Failure(damaged(*problem));
    return header;
}

Result<SnapshotDecoder::Item, ChangeFileError> ChangeFileReader::readSnapshotRecord(std::string_view line,
                                                                                     std::size_t index)
{
    const JsonPath path{nullptr, "nodes", std::int64_t(index)};
    ChangeRecord record;
    if (auto error = readRecord(line, &path, record, true))
        return Failure(damaged(error->description()));
    if (auto problem = recordProblem(record, QUuid()))
        return Failure(damagedAt(&path, *problem));
    SnapshotDecoder::Item item;
    if (auto refusal = entryRefusal(record))
        item.refused = RefusedChange{index, std::move(record), refusal};
    else
        item.record = std::move(record);
    return item;
}

// ---------------------------------------------------------------- snapshot writing

struct SnapshotEncoder::Impl {
    z_stream zs{};
    bool ready = false;
    std::string out;
    std::int64_t records = 0;
    QUuid device;

    ~Impl()
    {
        if (ready)
            deflateEnd(&zs);
    }

    // Compresses `text` and a newline.
    bool put(std::string_view text, bool last = false)
    {
        std::string line(text);
        line += '\n';
        zs.next_in = reinterpret_cast<Bytef *>(line.data());
        zs.avail_in = uInt(line.size());
        const int flush = last ? Z_FINISH : Z_NO_FLUSH;
        for (;;) {
            char chunk[64 * 1024];
            zs.next_out = reinterpret_cast<Bytef *>(chunk);
            zs.avail_out = sizeof chunk;
            const int rc = deflate(&zs, flush);
            if (rc == Z_STREAM_ERROR)
                return false;
            out.append(chunk, sizeof chunk - zs.avail_out);
            if (last ? rc == Z_STREAM_END : zs.avail_out != 0)
                return true;
        }
    }
};

SnapshotEncoder::SnapshotEncoder() : d(std::make_unique<Impl>()) {}
SnapshotEncoder::~SnapshotEncoder() = default;

std::int64_t SnapshotEncoder::records() const
{
    return d->records;
}

Result<void, ChangeFileError> SnapshotEncoder::begin(const SnapshotHeader &header)
{
    if (auto problem = headerProblem(headerAsFile(header)))
        return Failure(cannotEncode(*problem));
    if (d->ready || deflateInit2(&d->zs, 6, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return Failure(cannotEncode(QStringLiteral("the compressor does not start")));
    d->ready = true;
    d->device = header.device;
    try {
        Buffer buffer;
        Writer w(buffer);
        w.StartObject();
        writeAfter(w, header.after);
        writeOrigin(w, header.device, header.deviceName, kSnapshotFileFormat, kSnapshotFileSchemaVersion, header.seq);
        w.EndObject();
        if (buffer.GetSize() > kMaxSnapshotHeaderBytes)
            return Failure(ChangeFileError{ChangeFileProblem::tooLarge, {}, {}});
        if (!d->put({buffer.GetString(), buffer.GetSize()}))
            return Failure(cannotEncode(QStringLiteral("the compressor failed")));
    } catch (const std::bad_alloc &) {
        return Failure(cannotEncode(QStringLiteral("there is not enough memory")));
    }
    return {};
}

Result<void, ChangeFileError> SnapshotEncoder::add(const ChangeRecord &record)
{
    if (!d->ready)
        return Failure(cannotEncode(QStringLiteral("the snapshot was not begun")));
    if (auto problem = recordProblem(record, QUuid()))
        return Failure(cannotEncode(*problem, record.nodeID()));
    if (d->records >= kMaxSnapshotNodes)
        return Failure(ChangeFileError{ChangeFileProblem::tooLarge, {}, {}});
    try {
        Buffer buffer;
        Writer w(buffer);
        if (auto written = writeRecord(w, record, false); !written)
            return written;
        if (buffer.GetSize() > kMaxChangeRecordBytes)
            return Failure(ChangeFileError{ChangeFileProblem::tooLarge, QStringLiteral("%1 KiB").arg(buffer.GetSize() >> 10),
                                           record.nodeID()});
        if (!d->put({buffer.GetString(), buffer.GetSize()}))
            return Failure(cannotEncode(QStringLiteral("the compressor failed")));
        if (d->out.size() > kMaxSnapshotFileBytes)
            return Failure(ChangeFileError{ChangeFileProblem::tooLarge, {}, {}});
    } catch (const std::bad_alloc &) {
        return Failure(cannotEncode(QStringLiteral("there is not enough memory")));
    }
    ++d->records;
    return {};
}

Result<std::string, ChangeFileError> SnapshotEncoder::finish()
{
    if (!d->ready)
        return Failure(cannotEncode(QStringLiteral("the snapshot was not begun")));
    const std::string end = std::string(kSnapshotEndKey) + std::to_string(d->records) + "}";
    if (!d->put(end, true))
        return Failure(cannotEncode(QStringLiteral("the compressor failed")));
    deflateEnd(&d->zs);
    d->ready = false;
    return std::move(d->out);
}

// ---------------------------------------------------------------- snapshot reading

struct SnapshotDecoder::Impl {
    Source source;
    z_stream zs{};
    bool ready = false;
    bool streamEnded = false;
    bool headerRead = false;
    bool done = false;
    std::uint64_t fileBytes = 0;
    std::uint64_t textBytes = 0;
    std::vector<char> in = std::vector<char>(std::size_t(64) << 10);
    std::string text; // inflated, not yet cut into lines
    std::size_t at = 0;
    std::size_t index = 0;
    ChangeFileReader reader;

    ~Impl()
    {
        if (ready)
            inflateEnd(&zs);
    }

    // More text into `text`; false at the end of the stream.
    Result<bool, ChangeFileError> inflateMore()
    {
        if (streamEnded)
            return false;
        if (zs.avail_in == 0) {
            const std::ptrdiff_t n = source(in.data(), in.size());
            if (n < 0)
                return Failure(damaged(QStringLiteral("the file cannot be read")));
            if (n == 0)
                return Failure(damaged(QStringLiteral("the file is cut short")));
            fileBytes += std::uint64_t(n);
            if (fileBytes > kMaxSnapshotFileBytes)
                return Failure(ChangeFileError{ChangeFileProblem::tooLarge, {}, {}});
            zs.next_in = reinterpret_cast<Bytef *>(in.data());
            zs.avail_in = uInt(n);
        }
        char chunk[64 * 1024];
        zs.next_out = reinterpret_cast<Bytef *>(chunk);
        zs.avail_out = sizeof chunk;
        const int rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
            return Failure(damaged(QStringLiteral("the compressed text is damaged")));
        const std::size_t got = sizeof chunk - zs.avail_out;
        textBytes += got;
        if (textBytes > kMaxSnapshotTextBytes)
            return Failure(ChangeFileError{ChangeFileProblem::tooLarge, {}, {}});
        if (at > 0 && at >= text.size() / 2) {
            text.erase(0, at);
            at = 0;
        }
        text.append(chunk, got);
        if (rc == Z_STREAM_END)
            streamEnded = true;
        return true;
    }

    // The next line, without its newline, at most `limit` bytes.
    Result<std::string_view, ChangeFileError> line(std::size_t limit)
    {
        std::size_t searched = at;
        for (;;) {
            const std::size_t newline = text.find('\n', searched);
            if (newline != std::string::npos) {
                if (newline - at > limit)
                    return Failure(damaged(QStringLiteral("a line is longer than %1 bytes").arg(limit)));
                const std::string_view found(text.data() + at, newline - at);
                at = newline + 1;
                return found;
            }
            if (text.size() - at > limit)
                return Failure(damaged(QStringLiteral("a line is longer than %1 bytes").arg(limit)));
            searched = text.size();
            const std::size_t before = at;
            auto more = inflateMore();
            if (!more)
                return Failure(more.error());
            if (!*more)
                return Failure(damaged(QStringLiteral("the file ends inside a line")));
            searched -= before - at; // the text may have moved
        }
    }

    // After the end line: the stream ends there, and nothing follows it.
    Result<void, ChangeFileError> expectEnd()
    {
        while (!streamEnded) {
            auto more = inflateMore();
            if (!more)
                return Failure(more.error());
        }
        if (at != text.size())
            return Failure(damaged(QStringLiteral("there is text after the end line")));
        char extra = 0;
        if (zs.avail_in != 0 || source(&extra, 1) != 0)
            return Failure(damaged(QStringLiteral("there are bytes after the compressed text")));
        return {};
    }
};

SnapshotDecoder::SnapshotDecoder(Source source) : d(std::make_unique<Impl>())
{
    d->source = std::move(source);
    d->ready = inflateInit2(&d->zs, kGzipWindowBits) == Z_OK;
}

SnapshotDecoder::~SnapshotDecoder() = default;

Result<SnapshotHeader, ChangeFileError> SnapshotDecoder::header()
{
    if (!d->ready || d->headerRead)
        return Failure(damaged(QStringLiteral("the decompressor does not start")));
    d->headerRead = true;
    auto line = d->line(kMaxSnapshotHeaderBytes);
    if (!line)
        return Failure(line.error());
    return d->reader.readSnapshotHeader(*line);
}

Result<std::optional<SnapshotDecoder::Item>, ChangeFileError> SnapshotDecoder::next()
{
    if (!d->headerRead || d->done)
        return std::optional<Item>();
    // A record line, or the end line, which is shorter than any record.
    auto line = d->line(kMaxChangeRecordBytes);
    if (!line)
        return Failure(line.error());
    if (line->substr(0, kSnapshotEndKey.size()) == kSnapshotEndKey) {
        const std::string expected = std::string(kSnapshotEndKey) + std::to_string(d->index) + "}";
        if (*line != expected)
            return Failure(damaged(QStringLiteral("the end line does not count %1 records").arg(d->index)));
        if (auto end = d->expectEnd(); !end)
            return Failure(end.error());
        d->done = true;
        return std::optional<Item>();
    }
    if (std::int64_t(d->index) >= kMaxSnapshotNodes)
        return Failure(ChangeFileError{ChangeFileProblem::tooLarge, {}, {}});
    auto item = d->reader.readSnapshotRecord(*line, d->index++);
    if (!item)
        return Failure(item.error());
    return std::optional<Item>(std::move(*item));
}

Result<DecodedSnapshot, ChangeFileError> decodeSnapshotFile(std::string_view bytes)
{
    std::size_t offset = 0;
    SnapshotDecoder decoder([&](char *buffer, std::size_t size) -> std::ptrdiff_t {
        const std::size_t n = std::min(size, bytes.size() - offset);
        std::memcpy(buffer, bytes.data() + offset, n);
        offset += n;
        return std::ptrdiff_t(n);
    });
    DecodedSnapshot decoded;
    auto header = decoder.header();
    if (!header)
        return Failure(header.error());
    decoded.header = std::move(*header);
    for (;;) {
        auto item = decoder.next();
        if (!item)
            return Failure(item.error());
        if (!*item)
            return decoded;
        if ((*item)->record)
            decoded.records.push_back(std::move(*(*item)->record));
        else
            decoded.refused.push_back(std::move(*(*item)->refused));
    }
}

Result<std::string, ChangeFileError> encodeSnapshotFile(const SnapshotHeader &header,
                                                        const std::vector<ChangeRecord> &records)
{
    SnapshotEncoder encoder;
    if (auto begun = encoder.begin(header); !begun)
        return Failure(begun.error());
    for (const ChangeRecord &record : records)
        if (auto added = encoder.add(record); !added)
            return Failure(added.error());
    return encoder.finish();
}

Result<DecodedChangeFile, ChangeFileError> decodeChangeFile(std::string_view bytes)
{
    ChangeFileReader reader;
    return reader.read(bytes);
}

} // namespace tarni::sync
