#pragma once

#include "opening/BrowserLaunching.h"

#include <QProcessEnvironment>

#include <functional>

namespace tarni {

// Starts the installed Chrome, else Chromium: the first of their desktop
// entries that is installed, else the first of their programs on the PATH.
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
    };

    XdgBrowserLauncher() : XdgBrowserLauncher(Options{}) {}
    explicit XdgBrowserLauncher(Options options) : m_options(std::move(options)) {}

    // The browser that openInNewWindow would start, without starting it.
    std::optional<LaunchedBrowser> installedBrowser() const;
    std::optional<LaunchedBrowser> openInNewWindow(const QList<AcceptedAddress> &addresses) override;

private:
    Options m_options;
};

} // namespace tarni
