#pragma once

#include <QList>
#include <QRect>
#include <QSize>

namespace tarni {

// A client's reservation at the edges of the X screen (_NET_WM_STRUT_PARTIAL):
// widths measured from the root window's edges, each with the span along
// that edge it covers.
struct Strut {
    int left = 0, right = 0, top = 0, bottom = 0;
    int leftStartY = 0, leftEndY = 0, rightStartY = 0, rightEndY = 0;
    int topStartX = 0, topEndX = 0, bottomStartX = 0, bottomEndX = 0;

    // The 12 values of _NET_WM_STRUT_PARTIAL, or the 4 of _NET_WM_STRUT,
    // which span whole edges.
    static Strut fromPartial(const quint32 (&values)[12]);
    static Strut fromFull(quint32 left, quint32 right, quint32 top, quint32 bottom, const QSize &root);
};

// The part of one monitor that other clients' struts leave free. Each strut
// only counts on the monitors it actually touches, so a panel along the
// bottom of one monitor does not shorten its neighbour (the single
// _NET_WORKAREA rectangle of the desktop gets that wrong).
QRect visibleFrame(const QRect &monitor, const QSize &root, const QList<Strut> &struts);

// A Wayland shell's own panels (GNOME's top bar) are no X clients with
// struts; they show only in the work area the compositor publishes. Its top
// and bottom edges are taken where they fall inside the monitor; left and
// right stay with the struts, since the work area leaves out our own too.
QRect withWorkAreaEdges(const QRect &frame, const QRect &monitor, const QRect &workArea);

} // namespace tarni
