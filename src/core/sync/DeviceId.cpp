#include "sync/DeviceId.h"

#include "model/Uuid.h"

#include <algorithm>
#include <cstring>

namespace tarni::sync {

std::string deviceIdText(const QUuid &device)
{
    std::string text = uuidText(device);
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return c >= 'A' && c <= 'F' ? char(c + 32) : c; });
    return text;
}

std::optional<QUuid> parseDeviceId(std::string_view text)
{
    if (std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
        return std::nullopt;
    auto id = parseUuid(text);
    if (!id || id->isNull())
        return std::nullopt;
    return id;
}

int compareDeviceIds(const QUuid &a, const QUuid &b)
{
    // The fields in text order; each compares as its big-endian bytes do.
    if (a.data1 != b.data1)
        return a.data1 < b.data1 ? -1 : 1;
    if (a.data2 != b.data2)
        return a.data2 < b.data2 ? -1 : 1;
    if (a.data3 != b.data3)
        return a.data3 < b.data3 ? -1 : 1;
    return std::memcmp(a.data4, b.data4, sizeof a.data4);
}

} // namespace tarni::sync
