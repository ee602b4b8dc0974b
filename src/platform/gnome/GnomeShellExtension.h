#pragma once

#include <QDBusConnection>
#include <QString>

#include <filesystem>
#include <optional>

namespace tarni {

// Our GNOME Shell extension's identity, as `gnome-extensions enable` takes it.
QString gnomeShellExtensionUuid();

// The running shell's major version (its ShellVersion property), none when
// no GNOME Shell answers on the bus.
std::optional<int> gnomeShellMajorVersion(const QDBusConnection &bus);

// The folder holding the extension's build for that shell version: the
// installed copy below `resources`, else the build tree's.
std::optional<std::filesystem::path> bundledGnomeShellExtension(const std::filesystem::path &resources,
                                                                 int shellMajorVersion);

// Copies the build in `source` into `dataHome`/gnome-shell/extensions/<uuid>
// where its files differ (each written atomically); true when the user's copy
// matches the build afterwards. The shell reads a new extension only at its
// next start, and runs it only once the user has turned it on.
bool installGnomeShellExtension(const std::filesystem::path &source, const std::filesystem::path &dataHome,
                                QString *error);

// All of the above for this session: finds the shell, installs the matching
// build for the user. Quiet about a shell that does not answer.
void ensureGnomeShellExtensionInstalled(const QDBusConnection &bus);

} // namespace tarni
