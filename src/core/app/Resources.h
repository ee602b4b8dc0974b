#pragma once

#include <filesystem>
#include <optional>

namespace tarni {

// The folder of the application's own files (string tables, icons, the
// extension): "<prefix>/share/tarnibar" beside an installed
// executable, else the source tree's "resources" when running from a build.
std::filesystem::path resourceDirectory();
// The same for an executable in `applicationDir`.
std::filesystem::path resourceDirectoryFor(const std::filesystem::path &applicationDir);

// The companion extension's folder we ship: "ChromeExtension" in the
// resource folder, or the source tree's "extension/ChromeExtension" beside
// its "resources"; absent when neither exists.
std::optional<std::filesystem::path> bundledChromeExtensionDirectory(const std::filesystem::path &resources);

// The native messaging host shipped with an executable in `applicationDir`:
// "<prefix>/lib/tarnibar" when installed (or unpacked from the tarball), the
// executable's own folder, or the host's build folder beside "app" when
// running from a build directory. The installed place when none exists.
std::filesystem::path nativeHostProgramFor(const std::filesystem::path &applicationDir);

} // namespace tarni
