#pragma once

#include "chrome/BrowserCatalogue.h"
#include "chrome/ChromeNativeHostBridgeProtocol.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

namespace tarni {

// The folders the browsers are looked for in, from an environment.
struct BrowserEnvironment {
    QString home;
    QString configHome;          // $XDG_CONFIG_HOME, else ~/.config
    QStringList path;            // $PATH
    QStringList applicationDirs; // the "applications" folders of the XDG data folders
    QString snapBinDir = QStringLiteral("/snap/bin");

    static BrowserEnvironment fromProcessEnvironment(const QProcessEnvironment &environment);
};

// How a found browser runs, which decides where its manifest goes.
enum class BrowserPackaging {
    native,
    // Its manifests and a wrapper that leaves the sandbox live in its
    // folder under ~/.var/app.
    flatpak,
    // Firefox from Snap asks the desktop's WebExtensions portal, which reads
    // the manifests of ~/.mozilla/native-messaging-hosts.
    snap,
};

// One browser found on the system and what registering the host with it did.
struct BrowserRegistration {
    const BrowserInfo *browser = nullptr;
    BrowserPackaging packaging = BrowserPackaging::native;
    // What showed it is there: its program, desktop entry or folder.
    QString foundAt;
    // The manifest written; empty when writing it failed.
    QString manifestPath;
    // Flatpak: the script the manifest names, and the command that lets the
    // browser run it (the sandbox must be allowed to talk to Flatpak).
    QString wrapperPath;
    QString permissionCommand;
    std::optional<ChromeBridgeError> error;

    bool operator==(const BrowserRegistration &) const = default;
};

struct NativeHostIdentity {
    QString hostPath; // absolute
    QString chromiumExtensionID;
    QString firefoxExtensionID;
};

// The browsers installed (program on the PATH or desktop entry), set up (their
// profile folder exists) or sandboxed (a Flatpak folder, Firefox's Snap), in
// catalogue order.
std::vector<BrowserRegistration> findBrowsers(const BrowserEnvironment &environment);

// Writes the host's manifest for each browser found, atomically, each in its
// family's format; a sandboxed browser gets its wrapper too. A browser whose
// folder cannot be written to keeps its error and the others go on.
std::vector<BrowserRegistration> registerNativeHost(const BrowserEnvironment &environment,
                                                    const NativeHostIdentity &identity);

std::string chromiumHostManifest(const QString &hostPath, const QString &extensionID);
std::string firefoxHostManifest(const QString &hostPath, const QString &extensionID);
// The script a Flatpak browser starts in place of the host: it runs the
// host outside the sandbox with the browser's arguments. Nothing when the
// path is not a plain absolute one (no control characters).
std::optional<std::string> flatpakWrapperScript(const QString &hostPath);

} // namespace tarni
