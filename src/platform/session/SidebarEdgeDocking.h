#pragma once

#include <QRectF>

class QWindow;

namespace tarni {

// Docks the sidebar where the compositor ignores X11 struts but offers a way
// of its own to keep a window at the screen's left edge and the other windows
// beside it. The X11 strut (DockWindow) goes on being set regardless.
class SidebarEdgeDocking {
public:
    virtual ~SidebarEdgeDocking() = default;

    // Keeps `window` at the left edge of its output, `frame.width()` wide
    // and the output's full height, and keeps that width free of tiled
    // windows. Called again on every change of the frame; a window the
    // compositor does not show yet is looked for again for a while.
    virtual void dock(QWindow &window, const QRectF &frame) = 0;
    // Gives the edge back to the other windows.
    virtual void release() = 0;
    // Whether the window was found in its docked state. Until then the
    // compositor may have laid it out as it would any window, and its size
    // says nothing about the width the user wants.
    virtual bool isDocked() const = 0;

protected:
    SidebarEdgeDocking() = default;
    SidebarEdgeDocking(const SidebarEdgeDocking &) = default;
    SidebarEdgeDocking &operator=(const SidebarEdgeDocking &) = default;
};

} // namespace tarni
