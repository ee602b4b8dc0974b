#pragma once

// Value-level readers for codecs that find a record inside a larger document
// (Chrome messages embed a BrowserTarget, for instance). Everyone else uses
// the document-level functions of JsonDecoding.h.

#include "model/JsonDecoding.h"

#include <simdjson.h>

#include <cstdint>
#include <optional>

namespace tarni::json {

// A key path kept on the stack while reading; rendered only on error.
struct JsonPath {
    const JsonPath *parent = nullptr;
    std::string_view key;      // empty for the document itself
    std::int64_t index = -1;   // >= 0: the key's value is an array and this is the element
};

QString renderPath(const JsonPath *path);

using JsonValue = simdjson::simdjson_result<simdjson::ondemand::value>;
using MaybeError = std::optional<DecodeError>;

DecodeError makeError(const JsonPath *path, QString reason);
DecodeError syntaxError(const JsonPath *path, simdjson::error_code code);

MaybeError read(JsonValue v, const JsonPath *path, QString &out);
MaybeError read(JsonValue v, const JsonPath *path, QUuid &out);
MaybeError read(JsonValue v, const JsonPath *path, Timestamp &out);
MaybeError read(JsonValue v, const JsonPath *path, double &out);
MaybeError read(JsonValue v, const JsonPath *path, bool &out);
MaybeError read(JsonValue v, const JsonPath *path, std::int64_t &out);
MaybeError read(JsonValue v, const JsonPath *path, QByteArray &base64Bytes);
MaybeError read(JsonValue v, const JsonPath *path, WorkspaceNodeKind &out);
MaybeError read(JsonValue v, const JsonPath *path, BrowserOpenMode &out);
MaybeError read(JsonValue v, const JsonPath *path, SlackOpenMode &out);
MaybeError read(JsonValue v, const JsonPath *path, GroupPayload &out);
MaybeError read(JsonValue v, const JsonPath *path, BrowserTarget &out);
MaybeError read(JsonValue v, const JsonPath *path, WebLinkTarget &out);
MaybeError read(JsonValue v, const JsonPath *path, SlackTarget &out);
MaybeError read(JsonValue v, const JsonPath *path, FileTarget &out);
MaybeError read(JsonValue v, const JsonPath *path, NodePayload &out);
MaybeError read(JsonValue v, const JsonPath *path, WorkspaceNode &out);
MaybeError read(JsonValue v, const JsonPath *path, Workspace &out);
MaybeError read(JsonValue v, const JsonPath *path, TreeExportNode &out, std::size_t maxDepth = kMaxTreeDepth);

// Optional fields: a JSON null reads as absent.
template <class T>
MaybeError read(JsonValue v, const JsonPath *path, std::optional<T> &out)
{
    bool isNull = false;
    if (auto error = v.is_null().get(isNull))
        return syntaxError(path, error);
    if (isNull) {
        out.reset();
        return std::nullopt;
    }
    T value{};
    if (auto error = read(std::move(v), path, value))
        return error;
    out = std::move(value);
    return std::nullopt;
}

} // namespace tarni::json
