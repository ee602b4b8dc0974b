#pragma once

#include <QRect>

#include <cstdint>
#include <optional>

class QWindow;

namespace tarni {

// Makes a top-level Qt window behave as the docked sidebar on X11: on every
// desktop, above normal windows, out of the task bar and pager, and
// reserving its width at the left edge of the screen (_NET_WM_STRUT_PARTIAL)
// so that maximised windows stay beside it.
//
// The window keeps the normal type on purpose: openbox never gives keyboard
// focus to dock-type windows, and the sidebar must take focus when clicked.
//
// Everything here does nothing unless the application runs on the xcb
// platform.
class DockWindow {
public:
    // Whether the application talks to an X server (the xcb platform).
    static bool isAvailable();

    // Sets the window type, the states and the desktop. Call after winId()
    // and before show(), and again after the native window was recreated;
    // on a mapped window the states are also requested from the window
    // manager, which ignores property changes once a window is mapped.
    static void applyProperties(QWindow &window);

    // Keeps a window of ours below every normal window and out of the task
    // bar and pager. Call before show() and again before showing it after a
    // hide: the window manager forgets the states of a withdrawn window.
    static void keepBelowOthers(QWindow &window);

    // Reserves `frame` (device pixels in root coordinates, the sidebar's own
    // rectangle) at the left edge of the root window: its right edge from
    // the root's left edge, over its vertical span. An empty frame reserves
    // nothing.
    static void reserveLeftEdge(QWindow &window, const QRect &frame);

    // Asks the window manager to give the window the keyboard focus.
    static void activate(QWindow &window);

    // The window manager's frame around the window as the X server has it
    // now (device pixels, root coordinates), which Qt's own geometry is not:
    // Qt takes a request as done when it sends it. None without X or before
    // mapping.
    static std::optional<QRect> outerFrame(const QWindow &window);

    // Asks the window manager to put the outer frame on `frame` (device
    // pixels), whatever Qt believes the window's geometry to be.
    static void requestOuterFrame(QWindow &window, const QRect &frame);

    // The X window of a Qt window, 0 when it has none yet.
    static std::uint32_t nativeId(const QWindow &window);
};

} // namespace tarni
