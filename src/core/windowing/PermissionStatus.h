#pragma once

namespace tarni {

// Whether this process may move other applications' windows. Controllers that
// can check report granted or denied; unknown is for those that have not looked.
enum class PermissionStatus {
    unknown,
    granted,
    denied,
};

} // namespace tarni
