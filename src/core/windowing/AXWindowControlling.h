#pragma once

#include "windowing/ManagedWindowRecord.h"
#include "windowing/PermissionStatus.h"

#include <QHash>
#include <QList>
#include <QRectF>
#include <QString>

#include <cstdint>
#include <optional>

namespace tarni {

// The windows there were just before an open request, so that the window the
// request creates can be told apart from them.
struct WindowBaseline {
    // False when the windows could not be listed: without the list every
    // window would look new, so nothing may be moved.
    bool taken = false;
    QList<std::uint64_t> windows;
    QHash<std::uint64_t, QString> titles;
    std::optional<std::uint64_t> activeWindow;

    bool operator==(const WindowBaseline &) const = default;
};

// Which window an open request made, and where it goes.
struct OpenedWindowRequest {
    // The registry's key; for files and folders the absolute path.
    QString identifier;
    QRectF frame;
    WindowBaseline baseline;
    // What a window of an application that opens the item in an existing
    // window shows in its title (a file's name).
    QString itemName;
    // The program expected to show the window (its executable, its WM_CLASS);
    // both empty: the default application of `identifier` taken as a path.
    QString executable;
    QString windowClass;
    // How long the window may take to appear.
    int timeoutMs = 5000;
};

// Moves windows of other applications into the content area and puts them
// back. Failures are silent: they show only as false or a count of zero.
// Identifiers are free-form; file and folder nodes use the absolute path.
class AXWindowControlling {
public:
    virtual ~AXWindowControlling() = default;

    // Evaluated on every call; nothing is cached.
    virtual PermissionStatus permissionStatus() = 0;
    // Asks for the permission where the platform can; callers read the
    // status again afterwards.
    virtual void requestPermissionIfNeeded() = 0;
    // Places the outer frame of the identifier's window on `frame` (screen
    // coordinates, origin top left) and remembers where it was before.
    virtual bool moveWindow(const QString &identifier, const QRectF &frame) = 0;
    // Puts every remembered window back; returns how many went back.
    virtual int restoreManagedWindows() = 0;

    virtual WindowBaseline windowBaseline() = 0;
    // Waits for the window that the open request after `request.baseline`
    // created: a new window of the item's application, or one of its
    // existing windows that became active showing the item's name. Moves and
    // records only that window; false (and nothing moved) when none came.
    virtual bool moveOpenedWindow(const OpenedWindowRequest &request) = 0;

    // Puts back the windows an earlier process moved and recorded but never
    // put back (it died): each one that still exists, is still the same
    // window and still stands where it was put. Windows the user has moved
    // since stay. Returns how many went back. A controller that moves no
    // real windows has nothing to put back.
    virtual int restoreWindowsLeftBehind(const QList<ManagedWindowRecord> &records)
    {
        (void)records;
        return 0;
    }

protected:
    AXWindowControlling() = default;
    AXWindowControlling(const AXWindowControlling &) = default;
    AXWindowControlling &operator=(const AXWindowControlling &) = default;
};

} // namespace tarni
