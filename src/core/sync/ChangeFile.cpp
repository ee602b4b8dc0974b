#include "sync/ChangeFile.h"

#include "model/JsonReading.h"
#include "model/JsonWriting.h"
#include "model/Uuid.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

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

std::optional<QString> recordProblem(const ChangeRecord &record, const QUuid &device)
{
    if (!record.clock.isValid() || record.clock.device != device)
        return QStringLiteral("the clock is not one of the file's device");
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

Result<void, ChangeFileError> writeRecord(Writer &w, const ChangeRecord &record)
{
    w.StartObject();
    json::writeKey(w, "base");
    json::writeString(w, record.base ? record.base->toText() : std::string());
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
        json::writeKey(w, "after");
        w.StartObject();
        for (const auto &[device, seq] : file.after) {
            json::writeKey(w, deviceIdText(device));
            w.Int64(seq);
        }
        w.EndObject();
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
        json::writeKey(w, "device");
        json::writeString(w, deviceIdText(file.device));
        json::writeKey(w, "deviceName");
        json::writeString(w, file.deviceName);
        json::writeKey(w, "format");
        json::writeString(w, kChangeFileFormat);
        json::writeKey(w, "schemaVersion");
        w.Int64(kChangeFileSchemaVersion);
        json::writeKey(w, "seq");
        w.Int64(file.seq);
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

private:
    std::optional<ChangeFileError> readVersion(od::object &top);
    MaybeError readAfter(JsonValue v, const JsonPath *path, ChangeFile &file);
    // Reads the record's own text with a parser of its own, after the size check.
    MaybeError readRecord(std::string_view text, const JsonPath *path, ChangeRecord &record);

    od::parser m_fileParser;
    od::parser m_recordParser;
    std::string m_fileBuffer;
    std::string m_recordBuffer;
};

std::optional<ChangeFileError> ChangeFileReader::readVersion(od::object &top)
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
    if (format != kChangeFileFormat)
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
    if (version > kChangeFileSchemaVersion)
        return ChangeFileError{ChangeFileProblem::newerSchema,
                               QStringLiteral("schema %1, and this version reads up to %2")
                                   .arg(version)
                                   .arg(kChangeFileSchemaVersion),
                               {}};
    if (version < 1)
        return damagedAt(&versionPath, QStringLiteral("%1 is no schema version").arg(version));
    return std::nullopt;
}

MaybeError ChangeFileReader::readAfter(JsonValue v, const JsonPath *path, ChangeFile &file)
{
    return json::forEachField(std::move(v), path, [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
        const auto device = parseDeviceId(key);
        if (!device)
            return json::makeError(at, QStringLiteral("not a device id"));
        std::int64_t seq = 0;
        if (auto error = json::read(std::move(value), at, seq))
            return error;
        if (!file.after.emplace(*device, seq).second)
            return json::makeError(at, QStringLiteral("the device appears twice"));
        return std::nullopt;
    });
}

MaybeError ChangeFileReader::readRecord(std::string_view text, const JsonPath *path, ChangeRecord &record)
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
    for (std::string_view key : {"clock", "base"}) {
        if (!keys.has(key))
            return json::missingKey(path, key);
    }
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
    if (auto error = m_fileParser.iterate(m_fileBuffer.data(), text.size(), m_fileBuffer.size()).get(doc))
        return Failure(damaged(json::syntaxError(&root, error).description()));
    if (auto error = doc.get_object().get(top)) {
        if (error == simdjson::INCORRECT_TYPE)
            return Failure(ChangeFileError{ChangeFileProblem::unknownFormat, QStringLiteral("it is not a JSON object"), {}});
        return Failure(damaged(json::syntaxError(&root, error).description()));
    }
    // The version decides how to read the rest, so it comes first wherever
    // it stands.
    if (auto refused = readVersion(top))
        return Failure(std::move(*refused));
    if (auto error = top.reset().error())
        return Failure(damaged(json::syntaxError(&root, error).description()));

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
        case 2: {
            std::string_view device;
            if (auto error = value.get_string().get(device))
                return json::typeError(at, error, "a string");
            const auto id = parseDeviceId(device);
            if (!id)
                return json::makeError(at, QStringLiteral("not a device id"));
            file.device = *id;
            return std::nullopt;
        }
        case 3: return json::read(std::move(value), at, file.deviceName);
        case 4: return json::read(std::move(value), at, file.seq);
        case 5: return readAfter(std::move(value), at, file);
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

Result<DecodedChangeFile, ChangeFileError> decodeChangeFile(std::string_view bytes)
{
    ChangeFileReader reader;
    return reader.read(bytes);
}

} // namespace tarni::sync
