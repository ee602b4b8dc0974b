#pragma once

// Which extension started the host, read from the arguments the browser
// passes. Chromium-based browsers pass the caller's origin
// ("chrome-extension://ID/"), some versions followed by --parent-window=N;
// Firefox passes the path of the host's manifest and the add-on's id. Only
// our own extension is served.

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarni::host {

enum class BrowserCaller { chromium, firefox };

// `arguments` without the program's name. Nothing (and why, in `error`) for
// any other caller or an argument list no browser passes.
std::optional<BrowserCaller> admittedCaller(std::span<const std::string_view> arguments, std::string *error);

} // namespace tarni::host
