#pragma once

#include "windowing/PermissionStatus.h"

#include <QRectF>
#include <QString>

namespace tarni {

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

protected:
    AXWindowControlling() = default;
    AXWindowControlling(const AXWindowControlling &) = default;
    AXWindowControlling &operator=(const AXWindowControlling &) = default;
};

} // namespace tarni
