// Every envelope the extension, the host and the application exchange: a
// message that decodes encodes back to one that decodes to the same record.

#include "FuzzSupport.h"

#include "chrome/ChromeMessageCodec.h"

using namespace tarni;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static ChromeMessageCodec codec;
    const std::string_view json = fuzz::asText(data, size);

    if (auto envelope = codec.decodeEnvelope(json); envelope.ok()) {
        const QByteArray text = ChromeMessageCodec::encode(*envelope);
        auto again = codec.decodeEnvelope(std::string_view(text.constData(), std::size_t(text.size())));
        fuzz::require(again.ok(), "an encoded envelope does not decode");
        fuzz::require(*again == *envelope, "an envelope changes on its way through JSON");
    }
    if (auto message = codec.decodeMessage(json); message.ok()) {
        const QByteArray text = ChromeMessageCodec::encode(*message);
        auto again = codec.decodeMessage(std::string_view(text.constData(), std::size_t(text.size())));
        fuzz::require(again.ok(), "an encoded message does not decode");
        fuzz::require(*again == *message, "a message changes on its way through JSON");
    }
    (void)codec.decodeCommand(json);
    (void)codec.decodeEvent(json);
    (void)codec.decodeResponse(json);
    return 0;
}
