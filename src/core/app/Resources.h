#pragma once

#include <filesystem>

namespace tarni {

// The folder of the application's own files (string tables, the extension,
// the host program): "<prefix>/share/tarnibar" beside an installed
// executable, else the source tree's "resources" when running from a build.
std::filesystem::path resourceDirectory();

} // namespace tarni
