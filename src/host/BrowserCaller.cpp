#include "BrowserCaller.h"

#include "core/chrome/ChromeExtensionIdentity.h"

namespace tarni::host {

namespace {

// An argument as it may appear in a message: printable ASCII, cut short.
std::string shown(std::string_view argument)
{
    constexpr std::size_t kMaxShown = 120;
    std::string text;
    for (const char c : argument.substr(0, kMaxShown))
        text += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (argument.size() > kMaxShown)
        text += "...";
    return "\"" + text + "\"";
}

bool isParentWindowOption(std::string_view argument)
{
    constexpr std::string_view kPrefix = "--parent-window=";
    if (!argument.starts_with(kPrefix) || argument.size() == kPrefix.size())
        return false;
    for (const char c : argument.substr(kPrefix.size())) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

std::optional<BrowserCaller> admittedCaller(std::span<const std::string_view> arguments, std::string *error)
{
    constexpr std::string_view kScheme = "chrome-extension://";
    if (arguments.empty()) {
        *error = "Native host refuses to run: no caller named (it is started by the browser)";
        return std::nullopt;
    }
    const std::string_view first = arguments[0];
    if (first.starts_with(kScheme)) {
        const std::string ours = std::string(kScheme) + kChromeExtensionID + "/";
        if (first != ours) {
            *error = "Native host refuses the caller " + shown(first) + ": not the TarniBar extension";
            return std::nullopt;
        }
        for (const std::string_view option : arguments.subspan(1)) {
            if (!isParentWindowOption(option)) {
                *error = "Native host refuses the argument " + shown(option);
                return std::nullopt;
            }
        }
        return BrowserCaller::chromium;
    }
    // Firefox: the manifest's absolute path, then the add-on's id.
    if (arguments.size() == 2 && first.starts_with('/')) {
        if (arguments[1] != kFirefoxExtensionID) {
            *error = "Native host refuses the add-on " + shown(arguments[1]) + ": not the TarniBar extension";
            return std::nullopt;
        }
        return BrowserCaller::firefox;
    }
    *error = "Native host refuses to run: " + shown(first) + " names no browser extension";
    return std::nullopt;
}

} // namespace tarni::host
