#pragma once

#include <QUuid>

#include <optional>
#include <string>
#include <string_view>

namespace tarni::sync {

// A device id in the shared folder's names and files: lower-case hyphenated
// UUID text without braces. Only that form is read back, and never the null
// UUID, so that one device has exactly one name on every file system.
std::string deviceIdText(const QUuid &device);
std::optional<QUuid> parseDeviceId(std::string_view text);

// The order of the ids' text, which is the order of their bytes. (QUuid's own
// order looks at the variant first.)
int compareDeviceIds(const QUuid &a, const QUuid &b);

struct DeviceIdLess {
    bool operator()(const QUuid &a, const QUuid &b) const { return compareDeviceIds(a, b) < 0; }
};

} // namespace tarni::sync
