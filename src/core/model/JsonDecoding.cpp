#include "model/JsonDecoding.h"

#include "model/JsonReading.h"
#include "model/Uuid.h"

#include <QStringList>

#include <rapidjson/error/error.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstring>
#include <deque>
#include <vector>

namespace tarni::json {

using simdjson::error_code;
namespace od = simdjson::ondemand;

// ---------------------------------------------------------------- errors

QString renderPath(const JsonPath *path)
{
    std::vector<const JsonPath *> segments;
    for (const JsonPath *p = path; p; p = p->parent) {
        if (!p->key.empty() || p->index >= 0)
            segments.push_back(p);
    }
    auto segmentText = [](const JsonPath *p) {
        QString text = QString::fromUtf8(p->key.data(), qsizetype(p->key.size()));
        if (p->index >= 0)
            text += QStringLiteral("[%1]").arg(p->index);
        return text;
    };
    // Deep export bodies would give paths of thousands of segments; keep the
    // first and last few and say how many were left out.
    constexpr std::size_t kHead = 3, kTail = 6;
    QStringList parts;
    const std::size_t n = segments.size();
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t fromRoot = n - 1 - i;
        if (n > kHead + kTail + 1 && i == kHead) {
            parts << QStringLiteral("…(%1 more)…").arg(n - kHead - kTail);
            i = n - kTail - 1;
            continue;
        }
        parts << segmentText(segments[fromRoot]);
    }
    return parts.join(QLatin1Char('.'));
}

DecodeError makeError(const JsonPath *path, QString reason)
{
    return DecodeError{renderPath(path), std::move(reason)};
}

DecodeError syntaxError(const JsonPath *path, error_code code)
{
    return makeError(path, QStringLiteral("malformed JSON (%1)").arg(QString::fromUtf8(simdjson::error_message(code))));
}

DecodeError typeError(const JsonPath *path, error_code code, const char *expected)
{
    if (code == simdjson::INCORRECT_TYPE)
        return makeError(path, QStringLiteral("expected %1").arg(QLatin1String(expected)));
    if (code == simdjson::NUMBER_ERROR || code == simdjson::NUMBER_OUT_OF_RANGE)
        return makeError(path, QStringLiteral("expected %1, found a number out of range").arg(QLatin1String(expected)));
    return syntaxError(path, code);
}

DecodeError missingKey(const JsonPath *recordPath, std::string_view key)
{
    const JsonPath keyPath{recordPath, key};
    return makeError(&keyPath, QStringLiteral("required key is missing"));
}

// ---------------------------------------------------------------- scalars

static MaybeError readText(JsonValue v, const JsonPath *path, std::string_view &out)
{
    if (auto error = v.get_string().get(out))
        return typeError(path, error, "a string");
    return std::nullopt;
}

MaybeError read(JsonValue v, const JsonPath *path, QString &out)
{
    std::string_view text;
    if (auto error = readText(std::move(v), path, text))
        return error;
    out = QString::fromUtf8(text.data(), qsizetype(text.size()));
    return std::nullopt;
}

MaybeError read(JsonValue v, const JsonPath *path, QUuid &out)
{
    std::string_view text;
    if (auto error = readText(std::move(v), path, text))
        return error;
    const auto id = parseUuid(text);
    if (!id)
        return makeError(path, QStringLiteral("\"%1\" is not a UUID (expected 8-4-4-4-12 hexadecimal digits)")
                                   .arg(QString::fromUtf8(text.data(), qsizetype(std::min<std::size_t>(text.size(), 64)))));
    out = *id;
    return std::nullopt;
}

MaybeError read(JsonValue v, const JsonPath *path, Timestamp &out)
{
    std::string_view text;
    if (auto error = readText(std::move(v), path, text))
        return error;
    const auto t = parseTimestamp(text);
    if (!t)
        return makeError(path, QStringLiteral("\"%1\" is not a timestamp of the form 2024-03-01T09:30:00Z "
                                              "(UTC, whole seconds)")
                                   .arg(QString::fromUtf8(text.data(), qsizetype(std::min<std::size_t>(text.size(), 64)))));
    out = *t;
    return std::nullopt;
}

MaybeError read(JsonValue v, const JsonPath *path, double &out)
{
    if (auto error = v.get_double().get(out))
        return typeError(path, error, "a number");
    return std::nullopt;
}

MaybeError read(JsonValue v, const JsonPath *path, bool &out)
{
    if (auto error = v.get_bool().get(out))
        return typeError(path, error, "true or false");
    return std::nullopt;
}

MaybeError read(JsonValue v, const JsonPath *path, std::int64_t &out)
{
    if (auto error = v.get_int64().get(out))
        return typeError(path, error, "a whole number");
    return std::nullopt;
}

MaybeError read(JsonValue v, const JsonPath *path, QByteArray &base64Bytes)
{
    std::string_view text;
    if (auto error = readText(std::move(v), path, text))
        return error;
    auto decoded = QByteArray::fromBase64Encoding(QByteArray(text.data(), qsizetype(text.size())),
                                                  QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return makeError(path, QStringLiteral("not valid Base64"));
    base64Bytes = std::move(*decoded);
    return std::nullopt;
}

template <class Enum>
static MaybeError readEnum(JsonValue v, const JsonPath *path, Enum &out, const char *what)
{
    std::string_view text;
    if (auto error = readText(std::move(v), path, text))
        return error;
    const auto value = fromRawValue<Enum>(text);
    if (!value)
        return makeError(path, QStringLiteral("\"%1\" is not a %2")
                                   .arg(QString::fromUtf8(text.data(), qsizetype(std::min<std::size_t>(text.size(), 64))),
                                        QLatin1String(what)));
    out = *value;
    return std::nullopt;
}

MaybeError read(JsonValue v, const JsonPath *path, WorkspaceNodeKind &out)
{
    return readEnum(std::move(v), path, out, "node kind");
}

MaybeError read(JsonValue v, const JsonPath *path, BrowserOpenMode &out)
{
    return readEnum(std::move(v), path, out, "browser open mode");
}

MaybeError read(JsonValue v, const JsonPath *path, SlackOpenMode &out)
{
    return readEnum(std::move(v), path, out, "Slack open mode");
}

// ---------------------------------------------------------------- objects

MaybeError read(JsonValue v, const JsonPath *path, GroupPayload &out)
{
    out = {};
    return forEachField(std::move(v), path, [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
        if (key == "tintHex")
            return read(std::move(value), at, out.tintHex);
        return std::nullopt;
    });
}

MaybeError read(JsonValue v, const JsonPath *path, BrowserTarget &out)
{
    out = {};
    RequiredKeys<3> required{{"url", "titleSnapshot", "preferredOpenMode"}};
    if (auto error = forEachField(std::move(v), path, [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
            required.mark(key);
            if (key == "url")
                return read(std::move(value), at, out.url);
            if (key == "titleSnapshot")
                return read(std::move(value), at, out.titleSnapshot);
            if (key == "favIconURL")
                return read(std::move(value), at, out.favIconURL);
            if (key == "preferredOpenMode")
                return read(std::move(value), at, out.preferredOpenMode);
            return std::nullopt;
        }))
        return error;
    return required.check(path);
}

MaybeError read(JsonValue v, const JsonPath *path, WebLinkTarget &out)
{
    out = {};
    RequiredKeys<1> required{{"url"}};
    if (auto error = forEachField(std::move(v), path, [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
            required.mark(key);
            if (key == "url")
                return read(std::move(value), at, out.url);
            if (key == "preferredBrowser")
                return read(std::move(value), at, out.preferredBrowser);
            return std::nullopt;
        }))
        return error;
    return required.check(path);
}

MaybeError read(JsonValue v, const JsonPath *path, SlackTarget &out)
{
    out = {};
    RequiredKeys<2> required{{"permalinkURL", "preferredOpenMode"}};
    if (auto error = forEachField(std::move(v), path, [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
            required.mark(key);
            if (key == "permalinkURL")
                return read(std::move(value), at, out.permalinkURL);
            if (key == "teamID")
                return read(std::move(value), at, out.teamID);
            if (key == "channelID")
                return read(std::move(value), at, out.channelID);
            if (key == "messageTS")
                return read(std::move(value), at, out.messageTS);
            if (key == "preferredOpenMode")
                return read(std::move(value), at, out.preferredOpenMode);
            return std::nullopt;
        }))
        return error;
    return required.check(path);
}

MaybeError read(JsonValue v, const JsonPath *path, FileTarget &out)
{
    out = {};
    RequiredKeys<1> required{{"path"}};
    if (auto error = forEachField(std::move(v), path, [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
            required.mark(key);
            if (key == "path")
                return read(std::move(value), at, out.path);
            if (key == "bookmarkData")
                return read(std::move(value), at, out.bookmarkData);
            return std::nullopt;
        }))
        return error;
    return required.check(path);
}

// "type" names the case and the key that holds its value; other case keys are
// ignored. The two may come in any order, so the object is searched by key.
MaybeError read(JsonValue v, const JsonPath *path, NodePayload &out)
{
    od::object object;
    if (auto error = v.get_object().get(object))
        return typeError(path, error, "an object");

    std::string_view typeText;
    {
        const JsonPath typePath{path, "type"};
        auto typeValue = object.find_field_unordered("type");
        if (typeValue.error() == simdjson::NO_SUCH_FIELD)
            return missingKey(path, "type");
        if (auto error = readText(std::move(typeValue), &typePath, typeText))
            return error;
        const auto kind = fromRawValue<WorkspaceNodeKind>(typeText);
        if (!kind)
            return makeError(&typePath, QStringLiteral("\"%1\" is not a node kind")
                                            .arg(QString::fromUtf8(typeText.data(),
                                                                   qsizetype(std::min<std::size_t>(typeText.size(), 64)))));
        typeText = rawValue(*kind); // the parser's buffer is reused below
    }

    const JsonPath casePath{path, typeText};
    auto caseValue = object.find_field_unordered(typeText);
    if (caseValue.error() == simdjson::NO_SUCH_FIELD)
        return missingKey(path, typeText);

    const WorkspaceNodeKind kind = *fromRawValue<WorkspaceNodeKind>(typeText);
    MaybeError error;
    switch (kind) {
    case WorkspaceNodeKind::group: {
        GroupPayload value;
        if (!(error = read(std::move(caseValue), &casePath, value)))
            out = NodePayload::group(std::move(value));
        break;
    }
    case WorkspaceNodeKind::chromeTab: {
        BrowserTarget value;
        if (!(error = read(std::move(caseValue), &casePath, value)))
            out = NodePayload::chromeTab(std::move(value));
        break;
    }
    case WorkspaceNodeKind::webLink: {
        WebLinkTarget value;
        if (!(error = read(std::move(caseValue), &casePath, value)))
            out = NodePayload::webLink(std::move(value));
        break;
    }
    case WorkspaceNodeKind::slackThread: {
        SlackTarget value;
        if (!(error = read(std::move(caseValue), &casePath, value)))
            out = NodePayload::slackThread(std::move(value));
        break;
    }
    case WorkspaceNodeKind::file:
    case WorkspaceNodeKind::folder: {
        FileTarget value;
        if (!(error = read(std::move(caseValue), &casePath, value)))
            out = kind == WorkspaceNodeKind::file ? NodePayload::file(std::move(value))
                                                  : NodePayload::folder(std::move(value));
        break;
    }
    }
    return error;
}

MaybeError read(JsonValue v, const JsonPath *path, WorkspaceNode &out)
{
    // Read into the caller's record, which is new or dropped on an error:
    // a record of its own would cost one more allocation per node.
    WorkspaceNode::Fields &f = out.edit();
    f = WorkspaceNode::Fields{};
    RequiredKeys<9> required{
        {"id", "workspaceID", "kind", "title", "sortOrder", "isCollapsed", "createdAt", "updatedAt", "payload"}};
    if (auto error = forEachField(std::move(v), path, [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
            required.mark(key);
            if (key == "id")
                return read(std::move(value), at, f.id);
            if (key == "workspaceID")
                return read(std::move(value), at, f.workspaceID);
            if (key == "parentID")
                return read(std::move(value), at, f.parentID);
            if (key == "kind")
                return read(std::move(value), at, f.kind);
            if (key == "title")
                return read(std::move(value), at, f.title);
            if (key == "subtitle")
                return read(std::move(value), at, f.subtitle);
            if (key == "sortOrder")
                return read(std::move(value), at, f.sortOrder);
            if (key == "isCollapsed")
                return read(std::move(value), at, f.isCollapsed);
            if (key == "iconKey")
                return read(std::move(value), at, f.iconKey);
            if (key == "createdAt")
                return read(std::move(value), at, f.createdAt);
            if (key == "updatedAt")
                return read(std::move(value), at, f.updatedAt);
            if (key == "lastOpenedAt")
                return read(std::move(value), at, f.lastOpenedAt);
            if (key == "payload")
                return read(std::move(value), at, f.payload);
            return std::nullopt;
        }))
        return error;
    if (auto error = required.check(path))
        return error;
    // Everything that reads a node trusts its kind to say what the payload
    // holds.
    if (f.payload.kind() != f.kind) {
        const JsonPath payloadPath{path, "payload"};
        const auto payloadKind = rawValue(f.payload.kind());
        const auto nodeKind = rawValue(f.kind);
        return makeError(&payloadPath, QStringLiteral("a \"%1\" payload does not fit a node of kind \"%2\"")
                                           .arg(QLatin1String(payloadKind.data(), qsizetype(payloadKind.size())),
                                                QLatin1String(nodeKind.data(), qsizetype(nodeKind.size()))));
    }
    // Most subtitles are the payload's address; a million nodes then keep
    // one copy of each address instead of two.
    if (f.subtitle) {
        if (auto address = WorkspaceNode::defaultSubtitle(f.payload); address && *address == *f.subtitle)
            f.subtitle = std::move(address);
    }
    return std::nullopt;
}

MaybeError read(JsonValue v, const JsonPath *path, Workspace &out)
{
    out = {};
    RequiredKeys<4> required{{"id", "title", "createdAt", "updatedAt"}};
    if (auto error = forEachField(std::move(v), path, [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
            required.mark(key);
            if (key == "id")
                return read(std::move(value), at, out.id);
            if (key == "title")
                return read(std::move(value), at, out.title);
            if (key == "createdAt")
                return read(std::move(value), at, out.createdAt);
            if (key == "updatedAt")
                return read(std::move(value), at, out.updatedAt);
            return std::nullopt;
        }))
        return error;
    return required.check(path);
}

// Entries nest to any depth, so the walk keeps its own stack of frames, one
// per open entry, instead of recursing.
MaybeError read(JsonValue v, const JsonPath *path, TreeExportNode &out, std::size_t maxDepth)
{
    struct Frame {
        TreeExportNode *entry;
        od::object_iterator field, fieldsEnd;
        od::array_iterator child, childrenEnd;
        bool inChildren = false;
        bool childPending = false;
        std::int64_t childIndex = -1;
        RequiredKeys<4> required{{"id", "title", "node", "children"}};
    };
    // Paths must stay put while frames come and go: a deque grows at the end
    // without moving what it holds.
    std::deque<JsonPath> framePaths;
    std::vector<Frame> stack;

    auto open = [&](JsonValue value, TreeExportNode *entry, const JsonPath *entryPath) -> MaybeError {
        if (stack.size() >= maxDepth)
            return makeError(entryPath, QStringLiteral("entries are nested deeper than %1 levels").arg(maxDepth));
        od::object object;
        if (auto error = value.get_object().get(object))
            return typeError(entryPath, error, "an object");
        Frame frame{entry, {}, {}, {}, {}};
        if (auto error = object.begin().get(frame.field))
            return syntaxError(entryPath, error);
        if (auto error = object.end().get(frame.fieldsEnd))
            return syntaxError(entryPath, error);
        stack.push_back(frame);
        return std::nullopt;
    };
    auto entryPathOf = [&](std::size_t level) -> const JsonPath * {
        return level == 0 ? path : &framePaths[level - 1];
    };

    out = TreeExportNode();
    if (auto error = open(std::move(v), &out, path))
        return error;

    while (!stack.empty()) {
        const std::size_t level = stack.size() - 1;
        Frame &frame = stack.back();
        const JsonPath *entryPath = entryPathOf(level);

        if (frame.inChildren) {
            if (frame.childPending) {
                ++frame.child;
                frame.childPending = false;
            }
            if (frame.child != frame.childrenEnd) {
                ++frame.childIndex;
                frame.entry->children.emplace_back();
                TreeExportNode *childEntry = &frame.entry->children.back();
                frame.childPending = true;
                auto childValue = *frame.child;
                framePaths.resize(level + 1);
                framePaths[level] = JsonPath{entryPath, "children", frame.childIndex};
                if (auto error = open(std::move(childValue), childEntry, &framePaths[level]))
                    return error;
                continue;
            }
            frame.inChildren = false;
            ++frame.field;
            continue;
        }

        if (frame.field != frame.fieldsEnd) {
            auto field = *frame.field;
            std::string_view key;
            if (auto error = field.unescaped_key().get(key))
                return syntaxError(entryPath, error);
            frame.required.mark(key);
            const JsonPath keyPath{entryPath, key};
            if (key == "children") {
                od::array children;
                if (auto error = field.value().get_array().get(children))
                    return typeError(&keyPath, error, "an array");
                if (auto error = children.begin().get(frame.child))
                    return syntaxError(&keyPath, error);
                if (auto error = children.end().get(frame.childrenEnd))
                    return syntaxError(&keyPath, error);
                frame.entry->children.clear();
                frame.childIndex = -1;
                frame.inChildren = true;
                continue;
            }
            MaybeError error;
            if (key == "id")
                error = read(field.value(), &keyPath, frame.entry->id);
            else if (key == "originalNodeID")
                error = read(field.value(), &keyPath, frame.entry->originalNodeID);
            else if (key == "title")
                error = read(field.value(), &keyPath, frame.entry->title);
            else if (key == "node")
                error = read(field.value(), &keyPath, frame.entry->node);
            if (error)
                return error;
            ++frame.field;
            continue;
        }

        if (auto error = frame.required.check(entryPath))
            return error;
        stack.pop_back();
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- documents

namespace {

// simdjson notices a syntax error wherever its lazy walk reaches it, and says
// so in its own terms. When decoding has failed, a validating pass names the
// byte where the text stops being JSON instead. None when the text is JSON
// (the failure was about its content) or only has text after the value.
std::optional<DecodeError> notJsonError(std::string_view json)
{
    rapidjson::MemoryStream stream(json.data(), json.size());
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    const auto result = reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(stream, handler);
    if (!result.IsError() || result.Code() == rapidjson::kParseErrorDocumentRootNotSingular)
        return std::nullopt;
    if (result.Code() == rapidjson::kParseErrorDocumentEmpty)
        return DecodeError{{}, QStringLiteral("there is no text"), true};
    if (result.Code() == rapidjson::kParseErrorStringInvalidEncoding)
        return DecodeError{{}, QStringLiteral("invalid UTF-8 at byte %1").arg(result.Offset()), true};
    return DecodeError{{}, QStringLiteral("invalid at byte %1").arg(result.Offset()), true};
}

struct DocumentDecoder {
    od::parser parser;
    std::string buffer;

    // Runs `readRoot` on the document's root value and insists that nothing
    // follows it.
    std::size_t maxTreeDepth = kMaxTreeDepth;

    template <class T>
    Decoded<T> decode(std::string_view json)
    {
        const std::size_t needed = json.size() + simdjson::SIMDJSON_PADDING;
        if (buffer.size() < needed)
            buffer.resize(needed);
        std::memcpy(buffer.data(), json.data(), json.size());
        std::memset(buffer.data() + json.size(), 0, simdjson::SIMDJSON_PADDING);

        const JsonPath root;
        od::document doc;
        if (auto error = parser.iterate(buffer.data(), json.size(), buffer.size()).get(doc))
            return Failure(notJsonError(json).value_or(syntaxError(&root, error)));
        T value{};
        if (auto error = readRoot(doc, &root, value, maxTreeDepth)) {
            if (auto notJson = notJsonError(json))
                return Failure(std::move(*notJson));
            return Failure(std::move(*error));
        }
        // Record readers walk every field, so the root is consumed and the
        // iterator stands just past it. A payload is searched by key instead
        // and may stop inside; skip it once more from the start.
        if constexpr (std::is_same_v<T, NodePayload>) {
            doc.rewind();
            if (auto error = doc.raw_json().error())
                return Failure(syntaxError(&root, error));
        }
        if (!doc.current_location().error())
            return Failure(makeError(&root, QStringLiteral("unexpected text after the JSON value")));
        return value;
    }

    template <class T>
    static MaybeError readRoot(od::document &doc, const JsonPath *root, T &value, std::size_t /*maxDepth*/)
    {
        return read(doc.get_value(), root, value);
    }

    static MaybeError readTopObject(od::document &doc, const JsonPath *root, TreeExport &document, std::size_t maxDepth);
    static MaybeError readTopObject(od::document &doc, const JsonPath *root, WorkspaceSnapshot &snapshot,
                                    std::size_t maxDepth);
};

} // namespace

MaybeError DocumentDecoder::readTopObject(od::document &doc, const JsonPath *root, TreeExport &document,
                                          std::size_t maxDepth)
{
    RequiredKeys<4> required{{"schemaVersion", "exportedAt", "app", "rootNode"}};
    if (auto error = forEachField(doc.get_value(), root, [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
            required.mark(key);
            if (key == "schemaVersion")
                return read(std::move(value), at, document.schemaVersion);
            if (key == "exportedAt")
                return read(std::move(value), at, document.exportedAt);
            if (key == "app")
                return read(std::move(value), at, document.app);
            if (key == "rootNode")
                return read(std::move(value), at, document.rootNode, maxDepth);
            return std::nullopt;
        }))
        return error;
    return required.check(root);
}

MaybeError DocumentDecoder::readTopObject(od::document &doc, const JsonPath *root, WorkspaceSnapshot &snapshot,
                                          std::size_t maxDepth)
{
    RequiredKeys<6> required{{"id", "workspaceID", "title", "schemaVersion", "createdAt", "rootNode"}};
    if (auto error = forEachField(doc.get_value(), root, [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
            required.mark(key);
            if (key == "id")
                return read(std::move(value), at, snapshot.id);
            if (key == "workspaceID")
                return read(std::move(value), at, snapshot.workspaceID);
            if (key == "title")
                return read(std::move(value), at, snapshot.title);
            if (key == "schemaVersion")
                return read(std::move(value), at, snapshot.schemaVersion);
            if (key == "createdAt")
                return read(std::move(value), at, snapshot.createdAt);
            if (key == "selectedNodeID")
                return read(std::move(value), at, snapshot.selectedNodeID);
            if (key == "rootNode")
                return read(std::move(value), at, snapshot.rootNode, maxDepth);
            return std::nullopt;
        }))
        return error;
    return required.check(root);
}

template <>
MaybeError DocumentDecoder::readRoot<TreeExport>(od::document &doc, const JsonPath *root, TreeExport &value,
                                                 std::size_t maxDepth)
{
    return readTopObject(doc, root, value, maxDepth);
}

template <>
MaybeError DocumentDecoder::readRoot<WorkspaceSnapshot>(od::document &doc, const JsonPath *root,
                                                        WorkspaceSnapshot &value, std::size_t maxDepth)
{
    return readTopObject(doc, root, value, maxDepth);
}

struct BulkDecoder::Private : DocumentDecoder {
};

BulkDecoder::BulkDecoder()
    : d(new Private)
{
}

BulkDecoder::~BulkDecoder()
{
    delete d;
}

Decoded<WorkspaceNode> BulkDecoder::workspaceNode(std::string_view json)
{
    return d->decode<WorkspaceNode>(json);
}

Decoded<Workspace> BulkDecoder::workspace(std::string_view json)
{
    return d->decode<Workspace>(json);
}

Decoded<WorkspaceSnapshot> BulkDecoder::workspaceSnapshot(std::string_view json)
{
    return d->decode<WorkspaceSnapshot>(json);
}

// One-off documents get a parser of their own: a large import should not
// leave its buffers behind in a long-lived parser.
template <class T>
static Decoded<T> decodeOnce(std::string_view json)
{
    DocumentDecoder decoder;
    return decoder.decode<T>(json);
}

Decoded<WorkspaceNode> decodeWorkspaceNode(std::string_view json) { return decodeOnce<WorkspaceNode>(json); }
Decoded<NodePayload> decodeNodePayload(std::string_view json) { return decodeOnce<NodePayload>(json); }
Decoded<BrowserTarget> decodeBrowserTarget(std::string_view json) { return decodeOnce<BrowserTarget>(json); }
Decoded<Workspace> decodeWorkspace(std::string_view json) { return decodeOnce<Workspace>(json); }
Decoded<TreeExport> decodeTreeExport(std::string_view json, std::size_t maxDepth)
{
    DocumentDecoder decoder;
    decoder.maxTreeDepth = maxDepth;
    return decoder.decode<TreeExport>(json);
}
Decoded<WorkspaceSnapshot> decodeWorkspaceSnapshot(std::string_view json) { return decodeOnce<WorkspaceSnapshot>(json); }

} // namespace tarni::json
