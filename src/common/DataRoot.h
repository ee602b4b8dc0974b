#pragma once

#include <filesystem>
#include <string>

namespace tarni {

// Every file the application writes itself lives below one directory, the
// data root: $XDG_DATA_HOME/TarniBar (default ~/.local/share/TarniBar), or
// TarniBarUITests beside it in automation mode. TARNI_UITEST_ROOT replaces
// either. The native messaging host computes the normal root on its own.
enum class DataRootMode { normal, automation };

std::filesystem::path dataHomeDirectory();
std::filesystem::path dataRoot(DataRootMode mode = DataRootMode::normal);

// Creates the directory (and missing parents) private to the user. Returns
// false with a reason when it cannot be created or is not a directory.
bool ensurePrivateDirectory(const std::filesystem::path &dir, std::string *error = nullptr);

inline constexpr const char *kWorkspaceDatabaseName = "workspace.sqlite";

} // namespace tarni
