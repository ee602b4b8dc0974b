#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarni::host {

// Starts the application, detached and in the background, when a message
// arrives for it and it is not running.
class ApplicationLauncher {
public:
    explicit ApplicationLauncher(std::filesystem::path root);

    // Whether the application holds the data root's instance lock (or someone
    // who has not said who they are yet).
    bool isApplicationRunning() const;

    // Launches unless the application runs or was launched moments ago: a burst
    // of browser events must not start a crowd of instances that all lose the
    // race for the lock.
    void launchIfNotRunning();

    // The command line that would start the application now: the desktop
    // entry's Exec line when the entry is installed, else the recorded
    // executable; each followed by the background argument. Empty when neither
    // is available.
    std::vector<std::string> launchCommand() const;

    static constexpr std::chrono::seconds kRelaunchInterval{5};

private:
    std::filesystem::path m_root;
    std::optional<std::chrono::steady_clock::time_point> m_lastLaunch;
};

// The desktop entry file named `entryName` in the XDG data directories
// ($XDG_DATA_HOME, then $XDG_DATA_DIRS), the first one found.
std::optional<std::filesystem::path> findDesktopEntry(std::string_view entryName);

// The arguments of a desktop entry's Exec value: quoting and escapes resolved,
// field codes (%f, %U, ...) removed, "%%" kept as "%". Empty when the value is
// malformed (an unterminated quote, a reserved character outside quotes).
std::vector<std::string> parseDesktopExec(std::string_view exec);

// The value of `key` in the [Desktop Entry] group of a desktop file's text,
// with the string escapes (\s \n \t \r \\) resolved.
std::optional<std::string> desktopEntryValue(std::string_view fileText, std::string_view key);

} // namespace tarni::host
