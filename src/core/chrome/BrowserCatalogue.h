#pragma once

#include <QString>
#include <QStringList>

#include <span>

namespace tarni {

// Which extension platform a browser runs: the Chromium one (manifests with
// "allowed_origins", folders named NativeMessagingHosts) or Firefox's
// ("allowed_extensions", native-messaging-hosts).
enum class BrowserFamily { chromium, firefox };

// One browser (one release channel of it) as far as the extension and the
// no-extension launcher need to know it. Lists are space-separated.
struct BrowserInfo {
    const char *key;         // "google-chrome": stable, for logs and tests
    const char *displayName; // a product name, shown as it is
    BrowserFamily family;
    // Chromium family: the profile folder under $XDG_CONFIG_HOME, whose
    // NativeMessagingHosts the browser reads. Firefox family: the folder
    // under $HOME that holds native-messaging-hosts.
    const char *userFolder;
    // Firefox family: its profiles' folder under $HOME, there once it has
    // run; empty for the Chromium family, whose userFolder is that.
    const char *profileFolder;
    // The folder manifests for every user go to; empty when the browser has
    // none of its own.
    const char *systemFolder;
    const char *executables;
    const char *desktopEntries;
    // The Flatpak application; empty when it has none.
    const char *flatpakID;
    // Where the user loads an unpacked extension.
    const char *extensionsPage;
    // WM_CLASS of its windows when the desktop entry does not say.
    const char *windowClass;

    QStringList executableList() const;
    QStringList desktopEntryList() const;
};

// Every browser we register the host with and know how to start, in the
// order the no-extension launcher tries them when the default browser is
// none of them: Chrome first, the browser the extension is made for.
std::span<const BrowserInfo> browserCatalogue();
const BrowserInfo *browserByKey(QStringView key);
// The browser a desktop entry id ("firefox-esr.desktop") belongs to.
const BrowserInfo *browserByDesktopEntry(QStringView id);
// The browser whose program this is (compared by file name: "/usr/bin/vivaldi-stable").
const BrowserInfo *browserByExecutable(QStringView path);

// The arguments that open `addresses` as the tabs of one new window, after
// any switches of the caller's own. The addresses must be accepted web
// addresses (they start with their scheme, so none reads as a switch).
QStringList newWindowArguments(const BrowserInfo &browser, const QStringList &addresses);

} // namespace tarni
