#include "chrome/BrowserCatalogue.h"

#include <QFileInfo>

namespace tarni {

namespace {

// Where each folder comes from:
// - Chrome's own documentation (developer.chrome.com, "Native messaging"):
//   ~/.config/google-chrome/NativeMessagingHosts and
//   /etc/opt/chrome/native-messaging-hosts; Chromium's ~/.config/chromium/...
//   and /etc/chromium/native-messaging-hosts.
// - Mozilla's own documentation (MDN, "Native manifests"):
//   ~/.mozilla/native-messaging-hosts and /usr/lib/mozilla/native-messaging-hosts.
// - Everything else is what other hosts' installers use, no browser's own
//   word: the profile folders google-chrome-beta, google-chrome-unstable,
//   BraveSoftware/Brave-Browser, vivaldi, vivaldi-snapshot, microsoft-edge
//   (-beta, -dev) and opera; ~/.librewolf/native-messaging-hosts and
//   /usr/lib/librewolf/native-messaging-hosts; /etc/opt/edge, /etc/brave and
//   /etc/opt/vivaldi (installers disagree on Brave's and Vivaldi's). No
//   system folder is given where none was found: Chrome's and Edge's other
//   channels, Vivaldi Snapshot, Opera.
// - Flatpak ids: those Flathub publishes; a sandboxed browser finds its
//   manifests in its own folder under ~/.var/app (see NativeHostRegistration).
constexpr BrowserInfo kBrowsers[] = {
    {"google-chrome", "Google Chrome", BrowserFamily::chromium, "google-chrome", "",
     "/etc/opt/chrome/native-messaging-hosts", "google-chrome-stable google-chrome",
     "google-chrome.desktop com.google.Chrome.desktop", "com.google.Chrome", "chrome://extensions", "google-chrome"},
    {"google-chrome-beta", "Google Chrome Beta", BrowserFamily::chromium, "google-chrome-beta", "", "",
     "google-chrome-beta", "google-chrome-beta.desktop", "", "chrome://extensions", "google-chrome-beta"},
    {"google-chrome-unstable", "Google Chrome Dev", BrowserFamily::chromium, "google-chrome-unstable", "", "",
     "google-chrome-unstable", "google-chrome-unstable.desktop", "", "chrome://extensions", "google-chrome-unstable"},
    {"chromium", "Chromium", BrowserFamily::chromium, "chromium", "", "/etc/chromium/native-messaging-hosts",
     "chromium chromium-browser", "chromium.desktop chromium-browser.desktop org.chromium.Chromium.desktop",
     "org.chromium.Chromium", "chrome://extensions", "chromium"},
    {"brave", "Brave", BrowserFamily::chromium, "BraveSoftware/Brave-Browser", "", "/etc/brave/native-messaging-hosts",
     "brave-browser brave-browser-stable brave", "brave-browser.desktop com.brave.Browser.desktop", "com.brave.Browser",
     "brave://extensions", "brave-browser"},
    {"vivaldi", "Vivaldi", BrowserFamily::chromium, "vivaldi", "", "/etc/opt/vivaldi/native-messaging-hosts",
     "vivaldi-stable vivaldi", "vivaldi-stable.desktop com.vivaldi.Vivaldi.desktop", "com.vivaldi.Vivaldi",
     "vivaldi://extensions", "vivaldi-stable"},
    {"vivaldi-snapshot", "Vivaldi Snapshot", BrowserFamily::chromium, "vivaldi-snapshot", "", "", "vivaldi-snapshot",
     "vivaldi-snapshot.desktop", "", "vivaldi://extensions", "vivaldi-snapshot"},
    {"microsoft-edge", "Microsoft Edge", BrowserFamily::chromium, "microsoft-edge", "",
     "/etc/opt/edge/native-messaging-hosts", "microsoft-edge-stable microsoft-edge",
     "microsoft-edge.desktop com.microsoft.Edge.desktop", "com.microsoft.Edge", "edge://extensions", "microsoft-edge"},
    {"microsoft-edge-beta", "Microsoft Edge Beta", BrowserFamily::chromium, "microsoft-edge-beta", "", "",
     "microsoft-edge-beta", "microsoft-edge-beta.desktop", "",
     "edge://extensions", "microsoft-edge-beta"},
    {"microsoft-edge-dev", "Microsoft Edge Dev", BrowserFamily::chromium, "microsoft-edge-dev", "", "",
     "microsoft-edge-dev", "microsoft-edge-dev.desktop", "",
     "edge://extensions", "microsoft-edge-dev"},
    {"opera", "Opera", BrowserFamily::chromium, "opera", "", "", "opera", "opera.desktop com.opera.Opera.desktop",
     "com.opera.Opera", "opera://extensions", "opera"},
    {"firefox", "Firefox", BrowserFamily::firefox, ".mozilla", ".mozilla/firefox",
     "/usr/lib/mozilla/native-messaging-hosts", "firefox firefox-esr",
     "firefox.desktop firefox-esr.desktop org.mozilla.firefox.desktop firefox_firefox.desktop", "org.mozilla.firefox",
     "about:debugging#/runtime/this-firefox", "firefox"},
    {"librewolf", "LibreWolf", BrowserFamily::firefox, ".librewolf", ".librewolf",
     "/usr/lib/librewolf/native-messaging-hosts", "librewolf",
     "librewolf.desktop io.gitlab.librewolf-community.desktop", "io.gitlab.librewolf-community", "about:debugging#/runtime/this-firefox",
     "librewolf"},
};

QStringList words(const char *list)
{
    return QString::fromLatin1(list).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

} // namespace

QStringList BrowserInfo::executableList() const
{
    return words(executables);
}

QStringList BrowserInfo::desktopEntryList() const
{
    return words(desktopEntries);
}

std::span<const BrowserInfo> browserCatalogue()
{
    return kBrowsers;
}

const BrowserInfo *browserByKey(QStringView key)
{
    for (const BrowserInfo &b : kBrowsers) {
        if (key == QLatin1String(b.key))
            return &b;
    }
    return nullptr;
}

const BrowserInfo *browserByDesktopEntry(QStringView id)
{
    for (const BrowserInfo &b : kBrowsers) {
        if (b.desktopEntryList().contains(id))
            return &b;
    }
    return nullptr;
}

const BrowserInfo *browserByExecutable(QStringView path)
{
    const QString name = QFileInfo(path.toString()).fileName();
    if (name.isEmpty())
        return nullptr;
    for (const BrowserInfo &b : kBrowsers) {
        if (b.executableList().contains(name))
            return &b;
    }
    return nullptr;
}

QStringList newWindowArguments(const BrowserInfo &browser, const QStringList &addresses)
{
    QStringList arguments;
    if (browser.family == BrowserFamily::chromium) {
        // "--" ends Chromium's switches. Some wrapper scripts drop it and pass
        // what follows on as switches, which is why only accepted addresses
        // come here: each starts with its scheme.
        arguments << QStringLiteral("--new-window") << QStringLiteral("--") << addresses;
        return arguments;
    }
    // Firefox has no end of options. A running Firefox opens a single
    // address in a tab of its last window unless told --new-window, and
    // several addresses as the tabs of one new window (so Firefox ESR 153
    // does); --new-window takes one address only.
    if (addresses.size() == 1)
        arguments << QStringLiteral("--new-window");
    arguments << addresses;
    return arguments;
}

} // namespace tarni
