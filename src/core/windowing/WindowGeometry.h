#pragma once

#include <QRectF>

namespace tarni {

// How a screen's visible frame splits into the sidebar at its left edge and
// the content rectangle beside it. Coordinates have their origin at the top
// left for screens and windows alike, so nothing is ever flipped.
struct WindowGeometry {
    static constexpr double minimumSidebarWidth = 300.0;

    // The preferred width raised to the minimum, then capped at half the
    // visible width and at `maxWidth`; the cap wins when they cross, so on a
    // screen narrower than twice the minimum the sidebar takes half of it.
    // A width that is not a finite number counts as no preference, and the
    // result is never negative.
    static double sidebarWidth(const QRectF &visibleFrame, double preferredWidth, double maxWidth);
    static QRectF sidebarRect(const QRectF &visibleFrame, double preferredWidth, double maxWidth);
    // Everything right of the sidebar, full height, never of negative width.
    static QRectF contentRect(const QRectF &visibleFrame, double preferredWidth, double maxWidth);
};

// True when any of x, y, width and height differ by strictly more than
// `tolerance`.
bool isDifferent(const QRectF &a, const QRectF &b, double tolerance);

// A frame a window can be given or have had: finite numbers, within a
// million points of the origin, no negative size. Frames come from files
// and other programs.
bool isPlausibleFrame(const QRectF &rect);

} // namespace tarni
