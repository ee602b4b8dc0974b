#pragma once

// Value-level readers for codecs that find a record inside a larger document
// (Chrome messages embed a BrowserTarget, for instance). Everyone else uses
// the document-level functions of JsonDecoding.h.

#include "model/JsonDecoding.h"

#include <simdjson.h>

#include <array>
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
// "expected <what>" for a value of the wrong JSON type, else a syntax error.
DecodeError typeError(const JsonPath *path, simdjson::error_code code, const char *expected);
DecodeError missingKey(const JsonPath *recordPath, std::string_view key);

// Calls onField(key, value, keyPath) for each field in document order. The
// handler must consume or ignore the value before returning.
template <class Handler>
MaybeError forEachField(simdjson::ondemand::object &object, const JsonPath *path, Handler &&onField)
{
    for (auto field : object) {
        std::string_view key;
        if (auto error = field.unescaped_key().get(key))
            return syntaxError(path, error);
        const JsonPath keyPath{path, key};
        if (auto error = onField(key, field.value(), &keyPath))
            return error;
    }
    return std::nullopt;
}

template <class Handler>
MaybeError forEachField(JsonValue v, const JsonPath *path, Handler &&onField)
{
    simdjson::ondemand::object object;
    if (auto error = v.get_object().get(object))
        return typeError(path, error, "an object");
    return forEachField(object, path, std::forward<Handler>(onField));
}

// Tracks which required keys were seen; the first one missing is reported.
template <std::size_t N>
struct RequiredKeys {
    std::array<std::string_view, N> names;
    std::array<bool, N> seen{};

    void mark(std::string_view key)
    {
        for (std::size_t i = 0; i < N; ++i) {
            if (names[i] == key)
                seen[i] = true;
        }
    }
    MaybeError check(const JsonPath *path) const
    {
        for (std::size_t i = 0; i < N; ++i) {
            if (!seen[i])
                return missingKey(path, names[i]);
        }
        return std::nullopt;
    }
};

template <>
struct RequiredKeys<0> {
    void mark(std::string_view) {}
    MaybeError check(const JsonPath *) const { return std::nullopt; }
};

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

// Optional fields: a JSON null reads as absent; anything else is read with
// `readValue(value, path, T&)`.
template <class T, class Reader>
MaybeError readOptional(JsonValue v, const JsonPath *path, std::optional<T> &out, Reader &&readValue)
{
    bool isNull = false;
    if (auto error = v.is_null().get(isNull))
        return syntaxError(path, error);
    if (isNull) {
        out.reset();
        return std::nullopt;
    }
    T value{};
    if (auto error = readValue(std::move(v), path, value))
        return error;
    out = std::move(value);
    return std::nullopt;
}

template <class T>
MaybeError read(JsonValue v, const JsonPath *path, std::optional<T> &out)
{
    return readOptional(std::move(v), path, out,
                        [](JsonValue value, const JsonPath *at, T &target) { return read(std::move(value), at, target); });
}

} // namespace tarni::json
