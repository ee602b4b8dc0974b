// Syncthing's config.xml, another program's file: whatever it holds, the
// only address accepted is a plain http one on loopback, with a key that
// can go into a header as it is.

#include "FuzzSupport.h"

#include "platform/syncthing/SyncthingConfig.h"

#include <QHostAddress>

using namespace tarni;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray xml = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto endpoint = parseSyncthingConfig(xml, QStringLiteral("config.xml"));
    if (!endpoint.ok()) {
        fuzz::require(!endpoint.error().text().isEmpty(), "a refusal without a text");
        return 0;
    }
    const QUrl &url = endpoint->baseUrl;
    fuzz::require(url.scheme() == QLatin1String("http"), "a scheme other than http");
    fuzz::require(QHostAddress(url.host()).isLoopback(), "an address off this computer");
    fuzz::require(url.port() > 0 && url.path().isEmpty() && url.userInfo().isEmpty(), "more than a host and port");
    fuzz::require(!endpoint->apiKey.isEmpty(), "an empty key");
    for (const char c : endpoint->apiKey)
        fuzz::require(c > 0x20 && c < 0x7f, "a key that is not visible ASCII");
    return 0;
}
