#pragma once

#include <filesystem>
#include <optional>

namespace tarni {

// The folder of the application's own files (string tables, the extension,
// the host program): "<prefix>/share/tarnibar" beside an installed
// executable, else the source tree's "resources" when running from a build.
std::filesystem::path resourceDirectory();

// The companion extension's folder we ship: "ChromeExtension" in the
// resource folder, or the source tree's "extension/ChromeExtension" beside
// its "resources"; absent when neither exists.
std::optional<std::filesystem::path> bundledChromeExtensionDirectory(const std::filesystem::path &resources);

} // namespace tarni
