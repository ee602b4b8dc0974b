#include "model/JsonEncoding.h"

#include "model/JsonWriting.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

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

template <class T>
Result<std::string, EncodeError> encodeWith(const T &value, JsonStyle style)
{
    rapidjson::StringBuffer buffer;
    bool ok;
    if (style == JsonStyle::pretty) {
        rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
        writer.SetIndent(' ', 2);
        ok = writeAny(writer, value);
    } else {
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        ok = writeAny(writer, value);
    }
    if (!ok)
        return Failure(EncodeError{QStringLiteral("sortOrder is not a finite number")});
    return std::string(buffer.GetString(), buffer.GetSize());
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
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    if (!writeFields(writer, node))
        return Failure(EncodeError{QStringLiteral("sortOrder is not a finite number")});
    out.append(buffer.GetString(), buffer.GetSize());
    return {};
}

} // namespace tarni::json
