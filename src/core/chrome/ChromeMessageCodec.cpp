#include "chrome/ChromeMessageCodec.h"

#include "model/JsonReading.h"
#include "model/JsonWriting.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <array>
#include <cstring>
#include <string>

namespace tarni {

using namespace json;
using simdjson::error_code;
namespace od = simdjson::ondemand;

// ---------------------------------------------------------------- encoding

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void writeInt(Writer &w, std::string_view key, std::int64_t value)
{
    writeKey(w, key);
    w.Int64(value);
}

void write(Writer &w, const ChromeWindowBounds &bounds)
{
    w.StartObject();
    writeInt(w, "left", bounds.left);
    writeInt(w, "top", bounds.top);
    writeInt(w, "width", bounds.width);
    writeInt(w, "height", bounds.height);
    w.EndObject();
}

void write(Writer &w, const ChromeTabState &tab)
{
    w.StartObject();
    writeInt(w, "id", tab.id);
    writeInt(w, "windowID", tab.windowID);
    writeKey(w, "title");
    writeString(w, tab.title);
    writeKey(w, "url");
    writeString(w, tab.url);
    writeOptionalString(w, "favIconURL", tab.favIconURL);
    writeKey(w, "isActive");
    w.Bool(tab.isActive);
    w.EndObject();
}

void write(Writer &w, const ChromeWindowState &window)
{
    w.StartObject();
    writeInt(w, "id", window.id);
    if (window.bounds) {
        writeKey(w, "bounds");
        write(w, *window.bounds);
    }
    writeKey(w, "tabs");
    w.StartArray();
    for (const ChromeTabState &tab : window.tabs)
        write(w, tab);
    w.EndArray();
    w.EndObject();
}

void write(Writer &w, const RuntimeTabBinding &binding)
{
    w.StartObject();
    writeInt(w, "windowID", binding.windowID);
    writeInt(w, "tabID", binding.tabID);
    w.EndObject();
}

void write(Writer &w, const ChromeOpenedTab &opened)
{
    w.StartObject();
    writeInt(w, "index", opened.index);
    writeInt(w, "windowID", opened.windowID);
    writeInt(w, "tabID", opened.tabID);
    w.EndObject();
}

void writeUrls(Writer &w, const QStringList &urls)
{
    writeKey(w, "urls");
    w.StartArray();
    for (const QString &url : urls)
        writeString(w, url);
    w.EndArray();
}

void writeWindows(Writer &w, const QList<ChromeWindowState> &windows)
{
    writeKey(w, "windows");
    w.StartArray();
    for (const ChromeWindowState &window : windows)
        write(w, window);
    w.EndArray();
}

void write(Writer &w, const ChromeCapturePayload &capture)
{
    w.StartObject();
    writeKey(w, "type");
    if (const auto *tab = capture.asTab()) {
        writeString(w, std::string_view("tab"));
        writeKey(w, "tab");
        writeFields(w, tab->tab);
        if (tab->binding) {
            writeKey(w, "binding");
            write(w, *tab->binding);
        }
    } else if (const auto *window = capture.asWindow()) {
        writeString(w, std::string_view("window"));
        writeKey(w, "window");
        w.StartArray();
        for (const BrowserTarget &target : window->window)
            writeFields(w, target);
        w.EndArray();
        if (!window->bindings.isEmpty()) {
            writeKey(w, "bindings");
            w.StartArray();
            for (const RuntimeTabBinding &binding : window->bindings)
                write(w, binding);
            w.EndArray();
        }
    }
    w.EndObject();
}

void write(Writer &w, const ChromeCommand &command)
{
    w.StartObject();
    writeKey(w, "type");
    writeString(w, command.typeName());
    std::visit(
        [&](const auto &c) {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, ChromeCommand::FocusTab>) {
                writeInt(w, "windowID", c.windowID);
                writeInt(w, "tabID", c.tabID);
            } else if constexpr (std::is_same_v<T, ChromeCommand::OpenURLsInNewWindow>) {
                writeUrls(w, c.urls);
                if (c.bounds) {
                    writeKey(w, "bounds");
                    write(w, *c.bounds);
                }
            } else if constexpr (std::is_same_v<T, ChromeCommand::OpenURLInWindow>) {
                writeKey(w, "url");
                writeString(w, c.url);
                if (c.windowID)
                    writeInt(w, "windowID", *c.windowID);
            } else if constexpr (std::is_same_v<T, ChromeCommand::SetWindowBounds>) {
                writeInt(w, "windowID", c.windowID);
                writeKey(w, "bounds");
                write(w, c.bounds);
            } else if constexpr (std::is_same_v<T, ChromeCommand::OpenURLsInWindow>) {
                writeInt(w, "windowID", c.windowID);
                writeUrls(w, c.urls);
            }
        },
        command.value);
    w.EndObject();
}

void write(Writer &w, const ChromeEvent &event)
{
    w.StartObject();
    writeKey(w, "type");
    writeString(w, event.typeName());
    std::visit(
        [&](const auto &e) {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, ChromeEvent::WindowsState>) {
                writeWindows(w, e.windows);
            } else if constexpr (std::is_same_v<T, ChromeEvent::ActiveTabChanged>) {
                writeKey(w, "tab");
                write(w, e.tab);
            } else if constexpr (std::is_same_v<T, ChromeEvent::TabClosed>) {
                writeInt(w, "tabID", e.tabID);
            } else if constexpr (std::is_same_v<T, ChromeEvent::CaptureResult>) {
                writeKey(w, "capture");
                write(w, e.capture);
            } else if constexpr (std::is_same_v<T, ChromeEvent::SaveSlackThread>) {
                writeKey(w, "slackThread");
                writeFields(w, e.slackThread);
            } else if constexpr (std::is_same_v<T, ChromeEvent::Error>) {
                writeKey(w, "message");
                writeString(w, e.message);
            }
        },
        event.value);
    w.EndObject();
}

void write(Writer &w, const ChromeCommandResponse &response)
{
    w.StartObject();
    writeKey(w, "ok");
    w.Bool(response.ok);
    writeOptionalString(w, "summary", response.summary);
    if (response.windows)
        writeWindows(w, *response.windows);
    if (response.capture) {
        writeKey(w, "capture");
        write(w, *response.capture);
    }
    if (response.opened) {
        writeKey(w, "opened");
        w.StartArray();
        for (const ChromeOpenedTab &opened : *response.opened)
            write(w, opened);
        w.EndArray();
    }
    w.EndObject();
}

void write(Writer &w, const ChromeHostMessage &message)
{
    std::visit([&](const auto &m) { write(w, m); }, message);
}

QByteArray finish(const rapidjson::StringBuffer &buffer)
{
    return QByteArray(buffer.GetString(), qsizetype(buffer.GetSize()));
}

} // namespace

QByteArray ChromeMessageCodec::encode(const ChromeHostEnvelope &envelope)
{
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    writeKey(w, "id");
    writeUuid(w, envelope.id);
    writeKey(w, "message");
    write(w, envelope.message);
    w.EndObject();
    return finish(buffer);
}

QByteArray ChromeMessageCodec::encode(const ChromeHostMessage &message)
{
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    write(w, message);
    return finish(buffer);
}

// ---------------------------------------------------------------- decoding

namespace {

// Reads the object's `type` text, then rewinds so its fields can be read in order.
MaybeError readTypeAndRewind(od::object &object, const JsonPath *path, std::string &type)
{
    auto value = object.find_field_unordered("type");
    if (value.error() == simdjson::NO_SUCH_FIELD)
        return missingKey(path, "type");
    const JsonPath typePath{path, "type"};
    std::string_view text;
    if (auto error = value.get_string().get(text))
        return typeError(&typePath, error, "a string");
    type.assign(text);
    if (auto error = object.reset().error())
        return syntaxError(path, error);
    return std::nullopt;
}

// Reads an object's fields (`source`: a JSON value, or an object already
// opened) with `onField`, then reports the first required key that did not come.
template <std::size_t N, class Source, class Handler>
MaybeError readFields(Source &&source, const JsonPath *path, RequiredKeys<N> required, Handler &&onField)
{
    if (auto error = forEachField(std::forward<Source>(source), path,
                                  [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                                      required.mark(key);
                                      return onField(key, std::move(value), at);
                                  }))
        return error;
    return required.check(path);
}

MaybeError readValue(JsonValue v, const JsonPath *path, QString &out) { return read(std::move(v), path, out); }
MaybeError readValue(JsonValue v, const JsonPath *path, bool &out) { return read(std::move(v), path, out); }
MaybeError readValue(JsonValue v, const JsonPath *path, std::int64_t &out) { return read(std::move(v), path, out); }
MaybeError readValue(JsonValue v, const JsonPath *path, BrowserTarget &out) { return read(std::move(v), path, out); }
MaybeError readValue(JsonValue v, const JsonPath *path, SlackTarget &out) { return read(std::move(v), path, out); }
MaybeError readValue(JsonValue v, const JsonPath *path, ChromeWindowBounds &out);
MaybeError readValue(JsonValue v, const JsonPath *path, ChromeTabState &out);
MaybeError readValue(JsonValue v, const JsonPath *path, ChromeWindowState &out);
MaybeError readValue(JsonValue v, const JsonPath *path, ChromeCapturePayload &out);
MaybeError readValue(JsonValue v, const JsonPath *path, RuntimeTabBinding &out);
MaybeError readValue(JsonValue v, const JsonPath *path, ChromeOpenedTab &out);

template <class T>
MaybeError readValue(JsonValue v, const JsonPath *path, QList<T> &out)
{
    out.clear();
    od::array array;
    if (auto error = v.get_array().get(array))
        return typeError(path, error, "an array");
    std::int64_t index = 0;
    for (auto element : array) {
        const JsonPath elementPath{path->parent, path->key, index++};
        T value{};
        if (auto error = readValue(element, &elementPath, value))
            return error;
        out.push_back(std::move(value));
    }
    return std::nullopt;
}

MaybeError readValue(JsonValue v, const JsonPath *path, QStringList &out)
{
    QList<QString> list;
    if (auto error = readValue<QString>(std::move(v), path, list))
        return error;
    out = QStringList(std::move(list));
    return std::nullopt;
}

// Optional keys: null reads as absent.
template <class T>
MaybeError readValue(JsonValue v, const JsonPath *path, std::optional<T> &out)
{
    return readOptional(std::move(v), path, out, [](JsonValue value, const JsonPath *at, T &target) {
        return readValue(std::move(value), at, target);
    });
}

MaybeError readValue(JsonValue v, const JsonPath *path, ChromeWindowBounds &out)
{
    out = {};
    return readFields(std::move(v), path, RequiredKeys<4>{{"left", "top", "width", "height"}},
                      [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                          if (key == "left")
                              return readValue(std::move(value), at, out.left);
                          if (key == "top")
                              return readValue(std::move(value), at, out.top);
                          if (key == "width")
                              return readValue(std::move(value), at, out.width);
                          if (key == "height")
                              return readValue(std::move(value), at, out.height);
                          return std::nullopt;
                      });
}

MaybeError readValue(JsonValue v, const JsonPath *path, ChromeTabState &out)
{
    out = {};
    return readFields(std::move(v), path, RequiredKeys<5>{{"id", "windowID", "title", "url", "isActive"}},
                      [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                          if (key == "id")
                              return readValue(std::move(value), at, out.id);
                          if (key == "windowID")
                              return readValue(std::move(value), at, out.windowID);
                          if (key == "title")
                              return readValue(std::move(value), at, out.title);
                          if (key == "url")
                              return readValue(std::move(value), at, out.url);
                          if (key == "favIconURL")
                              return readValue(std::move(value), at, out.favIconURL);
                          if (key == "isActive")
                              return readValue(std::move(value), at, out.isActive);
                          return std::nullopt;
                      });
}

MaybeError readValue(JsonValue v, const JsonPath *path, ChromeWindowState &out)
{
    out = {};
    return readFields(std::move(v), path, RequiredKeys<2>{{"id", "tabs"}},
                      [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                          if (key == "id")
                              return readValue(std::move(value), at, out.id);
                          if (key == "bounds")
                              return readValue(std::move(value), at, out.bounds);
                          if (key == "tabs")
                              return readValue(std::move(value), at, out.tabs);
                          return std::nullopt;
                      });
}

MaybeError readValue(JsonValue v, const JsonPath *path, RuntimeTabBinding &out)
{
    out = {};
    return readFields(std::move(v), path, RequiredKeys<2>{{"windowID", "tabID"}},
                      [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                          if (key == "windowID")
                              return readValue(std::move(value), at, out.windowID);
                          if (key == "tabID")
                              return readValue(std::move(value), at, out.tabID);
                          return std::nullopt;
                      });
}

MaybeError readValue(JsonValue v, const JsonPath *path, ChromeOpenedTab &out)
{
    out = {};
    return readFields(std::move(v), path, RequiredKeys<3>{{"index", "windowID", "tabID"}},
                      [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                          if (key == "index")
                              return readValue(std::move(value), at, out.index);
                          if (key == "windowID")
                              return readValue(std::move(value), at, out.windowID);
                          if (key == "tabID")
                              return readValue(std::move(value), at, out.tabID);
                          return std::nullopt;
                      });
}

// Reads the single payload key `key` of a case into `out`; other keys are ignored.
template <class T>
MaybeError readCase(od::object &object, const JsonPath *path, std::string_view key, T &out)
{
    return readFields(object, path, RequiredKeys<1>{{key}},
                      [&](std::string_view name, JsonValue value, const JsonPath *at) -> MaybeError {
                          if (name != key)
                              return std::nullopt;
                          return readValue(std::move(value), at, out);
                      });
}

MaybeError readValue(JsonValue v, const JsonPath *path, ChromeCapturePayload &out)
{
    od::object object;
    if (auto error = v.get_object().get(object))
        return typeError(path, error, "an object");
    std::string type;
    if (auto error = readTypeAndRewind(object, path, type))
        return error;
    // The bindings are optional beside the required payload key.
    if (type == "tab") {
        ChromeCapturePayload::Tab tab;
        if (auto error = readFields(object, path, RequiredKeys<1>{{"tab"}},
                                    [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                                        if (key == "tab")
                                            return readValue(std::move(value), at, tab.tab);
                                        if (key == "binding")
                                            return readValue(std::move(value), at, tab.binding);
                                        return std::nullopt;
                                    }))
            return error;
        out.value = std::move(tab);
        return std::nullopt;
    }
    ChromeCapturePayload::Window window;
    if (auto error = readFields(object, path, RequiredKeys<1>{{"window"}},
                                [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                                    if (key == "window")
                                        return readValue(std::move(value), at, window.window);
                                    if (key != "bindings")
                                        return std::nullopt;
                                    std::optional<QList<RuntimeTabBinding>> bindings;
                                    if (auto error = readValue(std::move(value), at, bindings))
                                        return error;
                                    window.bindings = bindings.value_or(QList<RuntimeTabBinding>());
                                    return std::nullopt;
                                }))
        return error;
    out.value = std::move(window);
    return std::nullopt;
}

MaybeError readCommand(JsonValue v, const JsonPath *path, ChromeCommand &out)
{
    od::object object;
    if (auto error = v.get_object().get(object))
        return typeError(path, error, "an object");
    std::string type;
    if (auto error = readTypeAndRewind(object, path, type))
        return error;

    if (type == "ping" || type == "getCurrentWindowState" || type == "getAllWindowsState" ||
        type == "captureCurrentTab" || type == "captureCurrentWindow") {
        // Payload-free: the remaining keys must still be well-formed JSON.
        if (auto error = forEachField(object, path, [](std::string_view, JsonValue, const JsonPath *) -> MaybeError {
                return std::nullopt;
            }))
            return error;
        if (type == "ping")
            out = ChromeCommand::ping();
        else if (type == "getCurrentWindowState")
            out = ChromeCommand::getCurrentWindowState();
        else if (type == "getAllWindowsState")
            out = ChromeCommand::getAllWindowsState();
        else if (type == "captureCurrentTab")
            out = ChromeCommand::captureCurrentTab();
        else
            out = ChromeCommand::captureCurrentWindow();
        return std::nullopt;
    }
    if (type == "focusTab") {
        ChromeCommand::FocusTab c;
        if (auto error = readFields(object, path, RequiredKeys<2>{{"windowID", "tabID"}},
                                    [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                                        if (key == "windowID")
                                            return readValue(std::move(value), at, c.windowID);
                                        if (key == "tabID")
                                            return readValue(std::move(value), at, c.tabID);
                                        return std::nullopt;
                                    }))
            return error;
        out.value = c;
        return std::nullopt;
    }
    if (type == "openURLsInNewWindow") {
        ChromeCommand::OpenURLsInNewWindow c;
        if (auto error = readFields(object, path, RequiredKeys<1>{{"urls"}},
                                    [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                                        if (key == "urls")
                                            return readValue(std::move(value), at, c.urls);
                                        if (key == "bounds")
                                            return readValue(std::move(value), at, c.bounds);
                                        return std::nullopt;
                                    }))
            return error;
        out.value = std::move(c);
        return std::nullopt;
    }
    if (type == "openURLInWindow") {
        ChromeCommand::OpenURLInWindow c;
        if (auto error = readFields(object, path, RequiredKeys<1>{{"url"}},
                                    [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                                        if (key == "url")
                                            return readValue(std::move(value), at, c.url);
                                        if (key == "windowID")
                                            return readValue(std::move(value), at, c.windowID);
                                        return std::nullopt;
                                    }))
            return error;
        out.value = std::move(c);
        return std::nullopt;
    }
    if (type == "openURLsInWindow") {
        ChromeCommand::OpenURLsInWindow c;
        if (auto error = readFields(object, path, RequiredKeys<2>{{"windowID", "urls"}},
                                    [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                                        if (key == "windowID")
                                            return readValue(std::move(value), at, c.windowID);
                                        if (key == "urls")
                                            return readValue(std::move(value), at, c.urls);
                                        return std::nullopt;
                                    }))
            return error;
        out.value = std::move(c);
        return std::nullopt;
    }
    // Every other type, "setWindowBounds" included, reads as setWindowBounds.
    ChromeCommand::SetWindowBounds c;
    if (auto error = readFields(object, path, RequiredKeys<2>{{"windowID", "bounds"}},
                                [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                                    if (key == "windowID")
                                        return readValue(std::move(value), at, c.windowID);
                                    if (key == "bounds")
                                        return readValue(std::move(value), at, c.bounds);
                                    return std::nullopt;
                                }))
        return error;
    out.value = c;
    return std::nullopt;
}

MaybeError readEvent(JsonValue v, const JsonPath *path, ChromeEvent &out)
{
    od::object object;
    if (auto error = v.get_object().get(object))
        return typeError(path, error, "an object");
    std::string type;
    if (auto error = readTypeAndRewind(object, path, type))
        return error;

    if (type == "windowsState") {
        ChromeEvent::WindowsState e;
        if (auto error = readCase(object, path, "windows", e.windows))
            return error;
        out.value = std::move(e);
    } else if (type == "activeTabChanged") {
        ChromeEvent::ActiveTabChanged e;
        if (auto error = readCase(object, path, "tab", e.tab))
            return error;
        out.value = std::move(e);
    } else if (type == "tabClosed") {
        ChromeEvent::TabClosed e;
        if (auto error = readCase(object, path, "tabID", e.tabID))
            return error;
        out.value = e;
    } else if (type == "captureResult") {
        ChromeEvent::CaptureResult e;
        if (auto error = readCase(object, path, "capture", e.capture))
            return error;
        out.value = std::move(e);
    } else if (type == "saveSlackThread") {
        ChromeEvent::SaveSlackThread e;
        if (auto error = readCase(object, path, "slackThread", e.slackThread))
            return error;
        out.value = std::move(e);
    } else if (type == "connected") {
        if (auto error = forEachField(object, path, [](std::string_view, JsonValue, const JsonPath *) -> MaybeError {
                return std::nullopt;
            }))
            return error;
        out.value = ChromeEvent::Connected{};
    } else {
        // Every other type, "error" included, reads as an error event.
        ChromeEvent::Error e;
        if (auto error = readCase(object, path, "message", e.message))
            return error;
        out.value = std::move(e);
    }
    return std::nullopt;
}

MaybeError readResponse(JsonValue v, const JsonPath *path, ChromeCommandResponse &out)
{
    out = {};
    return readFields(std::move(v), path, RequiredKeys<1>{{"ok"}},
                      [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                          if (key == "ok")
                              return readValue(std::move(value), at, out.ok);
                          if (key == "summary")
                              return readValue(std::move(value), at, out.summary);
                          if (key == "windows")
                              return readValue(std::move(value), at, out.windows);
                          if (key == "capture")
                              return readValue(std::move(value), at, out.capture);
                          if (key == "opened")
                              return readValue(std::move(value), at, out.opened);
                          return std::nullopt;
                      });
}

enum class Candidate { command, event, response };

MaybeError readMessage(JsonValue v, const JsonPath *path, Candidate candidate, ChromeHostMessage &out)
{
    switch (candidate) {
    case Candidate::command: {
        ChromeCommand command;
        if (auto error = readCommand(std::move(v), path, command))
            return error;
        out = std::move(command);
        return std::nullopt;
    }
    case Candidate::event: {
        ChromeEvent event;
        if (auto error = readEvent(std::move(v), path, event))
            return error;
        out = std::move(event);
        return std::nullopt;
    }
    case Candidate::response: {
        ChromeCommandResponse response;
        if (auto error = readResponse(std::move(v), path, response))
            return error;
        out = std::move(response);
        return std::nullopt;
    }
    }
    return std::nullopt;
}

MaybeError readEnvelope(JsonValue v, const JsonPath *path, Candidate candidate, ChromeHostEnvelope &out)
{
    return readFields(std::move(v), path, RequiredKeys<2>{{"id", "message"}},
                      [&](std::string_view key, JsonValue value, const JsonPath *at) -> MaybeError {
                          if (key == "id")
                              return read(std::move(value), at, out.id);
                          if (key == "message")
                              return readMessage(std::move(value), at, candidate, out.message);
                          return std::nullopt;
                      });
}

constexpr Candidate kCandidates[] = {Candidate::command, Candidate::event, Candidate::response};

} // namespace

struct ChromeMessageCodec::Private {
    od::parser parser;
    std::string buffer;

    // Runs `readRoot(value, path)` on the document once per attempt and insists that nothing follows the value.
    template <class T, class ReadRoot>
    Decoded<T> decode(std::string_view json, std::size_t attempts, ReadRoot &&readRoot)
    {
        const std::size_t needed = json.size() + simdjson::SIMDJSON_PADDING;
        if (buffer.size() < needed)
            buffer.resize(needed);
        std::memcpy(buffer.data(), json.data(), json.size());
        std::memset(buffer.data() + json.size(), 0, simdjson::SIMDJSON_PADDING);

        const JsonPath root;
        DecodeError lastError;
        for (std::size_t attempt = 0; attempt < attempts; ++attempt) {
            // A fresh iteration per attempt: rewinding a document that has
            // failed part-way is not safe in this simdjson.
            od::document doc;
            if (auto error = parser.iterate(buffer.data(), json.size(), buffer.size()).get(doc))
                return Failure(syntaxError(&root, error));
            T value{};
            if (auto error = readRoot(doc.get_value(), &root, attempt, value)) {
                lastError = std::move(*error);
                continue;
            }
            if (!doc.current_location().error())
                return Failure(makeError(&root, QStringLiteral("unexpected text after the JSON value")));
            return value;
        }
        return Failure(std::move(lastError));
    }
};

ChromeMessageCodec::ChromeMessageCodec()
    : d(new Private)
{
}

ChromeMessageCodec::~ChromeMessageCodec()
{
    delete d;
}

Decoded<ChromeHostEnvelope> ChromeMessageCodec::decodeEnvelope(std::string_view json)
{
    return d->decode<ChromeHostEnvelope>(json, 3, [](JsonValue v, const JsonPath *path, std::size_t attempt, ChromeHostEnvelope &out) {
        return readEnvelope(std::move(v), path, kCandidates[attempt], out);
    });
}

Decoded<ChromeHostMessage> ChromeMessageCodec::decodeMessage(std::string_view json)
{
    return d->decode<ChromeHostMessage>(json, 3, [](JsonValue v, const JsonPath *path, std::size_t attempt, ChromeHostMessage &out) {
        return readMessage(std::move(v), path, kCandidates[attempt], out);
    });
}

Decoded<ChromeCommand> ChromeMessageCodec::decodeCommand(std::string_view json)
{
    return d->decode<ChromeCommand>(json, 1, [](JsonValue v, const JsonPath *path, std::size_t, ChromeCommand &out) {
        return readCommand(std::move(v), path, out);
    });
}

Decoded<ChromeEvent> ChromeMessageCodec::decodeEvent(std::string_view json)
{
    return d->decode<ChromeEvent>(json, 1, [](JsonValue v, const JsonPath *path, std::size_t, ChromeEvent &out) {
        return readEvent(std::move(v), path, out);
    });
}

Decoded<ChromeCommandResponse> ChromeMessageCodec::decodeResponse(std::string_view json)
{
    return d->decode<ChromeCommandResponse>(json, 1, [](JsonValue v, const JsonPath *path, std::size_t, ChromeCommandResponse &out) {
        return readResponse(std::move(v), path, out);
    });
}

} // namespace tarni
