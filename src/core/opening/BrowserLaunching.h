#pragma once

#include "model/EntryRules.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace tarni {

// The browser a launch started, as the window controller recognises its
// windows.
struct LaunchedBrowser {
    QString executable;
    QString windowClass;
    bool operator==(const LaunchedBrowser &) const = default;
};

// Starts a browser itself when the extension is not there to open tabs.
class BrowserLaunching {
public:
    virtual ~BrowserLaunching() = default;
    // Opens the URLs, in order, as the tabs of one new window of the
    // default browser, else of the first browser installed. Nothing when
    // none is installed or it could not be started.
    virtual std::optional<LaunchedBrowser> openInNewWindow(const QList<AcceptedAddress> &addresses) = 0;

protected:
    BrowserLaunching() = default;
};

} // namespace tarni
