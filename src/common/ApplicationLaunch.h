#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tarni {

// How the native messaging host starts the application when a message
// arrives and nobody holds the data root's instance lock: through the desktop
// entry when it is installed, else through the executable the application
// recorded in the data root at its last start.
inline constexpr const char *kDesktopEntryName = "com.tarni.bar.desktop";
inline constexpr const char *kRecordedExecutableFileName = "application-executable";
// Passed to the application by the host: start without raising or focusing
// any window.
inline constexpr const char *kBackgroundLaunchArgument = "--background";

// The application calls this at start so the host can find it later.
bool recordApplicationExecutable(const std::filesystem::path &root, const std::filesystem::path &executable,
                                 std::string *error = nullptr);
// The recorded path when the file holds an absolute path to an executable file.
std::optional<std::filesystem::path> recordedApplicationExecutable(const std::filesystem::path &root);

} // namespace tarni
