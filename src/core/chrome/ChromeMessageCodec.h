#pragma once

#include "chrome/ChromeHostMessages.h"
#include "model/JsonDecoding.h"

#include <QByteArray>

#include <string_view>

namespace tarni {

// Encodes and decodes the Chrome messages. Encoding writes compact JSON with
// the keys in the records' declared order; decoding ignores unknown keys,
// reads null as absent for optional keys and applies no defaults.
//
// A message carries no tag of its own: decoding tries a command, then an
// event, then a response, and the first that succeeds decides; when all three
// fail, the response's error is the result.
//
// Keeps one parser; not thread-safe (make one per thread).
class ChromeMessageCodec {
public:
    ChromeMessageCodec();
    ~ChromeMessageCodec();
    ChromeMessageCodec(const ChromeMessageCodec &) = delete;
    ChromeMessageCodec &operator=(const ChromeMessageCodec &) = delete;

    static QByteArray encode(const ChromeHostEnvelope &envelope);
    static QByteArray encode(const ChromeHostMessage &message);

    json::Decoded<ChromeHostEnvelope> decodeEnvelope(std::string_view json);
    json::Decoded<ChromeHostMessage> decodeMessage(std::string_view json);
    json::Decoded<ChromeCommand> decodeCommand(std::string_view json);
    json::Decoded<ChromeEvent> decodeEvent(std::string_view json);
    json::Decoded<ChromeCommandResponse> decodeResponse(std::string_view json);

private:
    struct Private;
    Private *d;
};

} // namespace tarni
