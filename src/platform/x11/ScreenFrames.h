#pragma once

#include "windowing/WindowReservationManager.h"

#include <QByteArray>

#include <cstdint>
#include <memory>

class QScreen;

namespace tarni {

class X11Display;

// The identifier under which a screen's sidebar width is kept: the output
// name ("DP-1"), or its model when the platform gives no name.
QString screenIdentifier(const QScreen &screen);

// The visible frames of monitors, worked out from the struts of every
// client except the sidebar itself, so the sidebar is never subtracted twice.
class ScreenFrames {
public:
    // Empty display name: $DISPLAY.
    explicit ScreenFrames(QByteArray displayName = {});
    ~ScreenFrames();

    // `sidebarWindow` is the X window of our own sidebar (0 if none). The
    // frame is in logical pixels; without an X display it is the screen's
    // available geometry.
    ScreenDescription describe(const QScreen &screen, std::uint32_t sidebarWindow);
    // The same in device pixels for a monitor given in device pixels (root
    // coordinates); nothing without a display.
    std::optional<QRect> visibleFrame(const QRect &monitor, std::uint32_t sidebarWindow);

private:
    QByteArray m_displayName;
    std::unique_ptr<X11Display> m_display;
};

} // namespace tarni
