#pragma once

#include <QList>
#include <QMutex>
#include <QPoint>
#include <QRect>
#include <QRectF>

#include <memory>

class QObject;
class QScreen;

namespace tarni {

// Converts between the logical pixels the rest of the application works in
// and the device pixels of the X server, for one screen, the way Qt maps
// them: a screen keeps its top-left corner, and distances from that corner
// scale by the screen's device pixel ratio. Everything that hands a
// rectangle to X or takes one from it goes through a mapping.
class PixelMapping {
public:
    // No scaling: no screen, or no GUI application.
    PixelMapping() = default;
    PixelMapping(double ratio, QPoint origin);
    static PixelMapping of(const QScreen *screen);

    double ratio() const { return m_ratio; }
    QPoint origin() const { return m_origin; }

    // Edges are mapped and rounded one by one, so rectangles that touch in
    // logical pixels touch in device pixels too.
    QRect toDevice(const QRectF &logical) const;
    QRectF toLogical(const QRectF &device) const;
    // The device rectangle Qt itself gives a window of this logical
    // geometry: position and size rounded one by one.
    QRect windowToDevice(const QRect &logical) const;
    double toLogicalX(double deviceX) const;

    bool operator==(const PixelMapping &) const = default;

private:
    double m_ratio = 1.0;
    QPoint m_origin;
};

// The mappings of all screens, readable from any thread: the window
// controller works on a thread of its own, where QScreen must not be used.
class ScreenMappings {
public:
    struct Screen {
        QRect logicalGeometry;
        PixelMapping mapping;
    };

    ScreenMappings() = default;
    explicit ScreenMappings(QList<Screen> screens);

    // The application's screens now, kept current for as long as `context`
    // lives (screens added, removed or changed). Empty without a GUI
    // application.
    static std::shared_ptr<ScreenMappings> follow(QObject *context);

    void replace(QList<Screen> screens);
    // The screen under the rectangle's centre, else the first screen; no
    // scaling when there are none.
    PixelMapping forLogical(const QRectF &rect) const;

private:
    mutable QMutex m_mutex;
    QList<Screen> m_screens;
};

} // namespace tarni
