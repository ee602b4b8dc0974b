// The update feed, as downloaded: parsing, then picking the newest release.

#include "FuzzSupport.h"

#include "update/Appcast.h"

using namespace tarni;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray xml = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    auto items = parseAppcast(xml);
    if (!items.ok())
        return 0;
    const auto newest = newestItem(*items);
    for (const AppcastItem &item : *items) {
        (void)item.displayVersion();
        auto self = compareVersions(item.version, item.version);
        fuzz::require(!self || *self == 0, "a version that differs from itself");
        if (newest && self) {
            auto order = compareVersions(newest->version, item.version);
            fuzz::require(order && *order >= 0, "a release newer than the newest");
            auto reverse = compareVersions(item.version, newest->version);
            fuzz::require(reverse && (*reverse > 0) == (*order < 0), "version order that is not antisymmetric");
        }
    }
    return 0;
}
