#pragma once

#include "chrome/BrowserCatalogue.h"
#include "opening/BrowserLaunching.h"

#include <QProcessEnvironment>

#include <chrono>
#include <functional>

namespace tarni {

// Starts the user's default browser (xdg-settings' default-web-browser) when
// it is one of the catalogue's, else the first of the catalogue's browsers
// that is installed: its desktop entries first, then its programs on the PATH.
class XdgBrowserLauncher final : public BrowserLaunching {
public:
    struct Options {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // Put before the browser's own arguments (tests give a profile).
        QStringList extraArguments;
        // Asked at each start: true on a Wayland session whose windows we
        // place through X11, where the browser must be an X11 client too or
        // its window is out of reach.
        std::function<bool()> asX11Client = nullptr;
        // The longest wait for xdg-settings.
        std::chrono::milliseconds defaultBrowserTimeout{2000};
    };

    XdgBrowserLauncher() : XdgBrowserLauncher(Options{}) {}
    explicit XdgBrowserLauncher(Options options) : m_options(std::move(options)) {}

    // The browser that openInNewWindow would start, without starting it.
    std::optional<LaunchedBrowser> installedBrowser() const;
    std::optional<LaunchedBrowser> openInNewWindow(const QList<AcceptedAddress> &addresses) override;

private:
    struct Choice {
        const BrowserInfo *browser;
        LaunchedBrowser launched;
    };
    std::optional<Choice> choose() const;
    std::optional<Choice> defaultBrowser() const;

    Options m_options;
};

} // namespace tarni
