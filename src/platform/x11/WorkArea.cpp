#include "platform/x11/WorkArea.h"

#include <algorithm>
#include <limits>

namespace tarni {

namespace {
// Struts come from other programs; keep their numbers inside what a screen can be.
int sane(quint32 value)
{
    return int(std::min<quint32>(value, 1u << 20));
}
} // namespace

Strut Strut::fromPartial(const quint32 (&v)[12])
{
    return Strut{sane(v[0]), sane(v[1]), sane(v[2]),  sane(v[3]),  sane(v[4]),  sane(v[5]),
                 sane(v[6]), sane(v[7]), sane(v[8]), sane(v[9]), sane(v[10]), sane(v[11])};
}

Strut Strut::fromFull(quint32 left, quint32 right, quint32 top, quint32 bottom, const QSize &root)
{
    const int maxY = std::max(root.height() - 1, 0);
    const int maxX = std::max(root.width() - 1, 0);
    return Strut{sane(left), sane(right), sane(top), sane(bottom), 0, maxY, 0, maxY, 0, maxX, 0, maxX};
}

QRect visibleFrame(const QRect &monitor, const QSize &root, const QList<Strut> &struts)
{
    int left = monitor.left();
    int top = monitor.top();
    int right = monitor.right();
    int bottom = monitor.bottom();
    // A reserved band counts when it overlaps the monitor; it then pushes the
    // monitor's edge to where the band ends.
    auto overlaps = [&](const QRect &band) { return band.isValid() && band.intersects(monitor); };
    for (const Strut &s : struts) {
        if (s.left > 0 && overlaps(QRect(QPoint(0, s.leftStartY), QPoint(s.left - 1, s.leftEndY))))
            left = std::max(left, s.left);
        if (s.right > 0
            && overlaps(QRect(QPoint(root.width() - s.right, s.rightStartY), QPoint(root.width() - 1, s.rightEndY))))
            right = std::min(right, root.width() - s.right - 1);
        if (s.top > 0 && overlaps(QRect(QPoint(s.topStartX, 0), QPoint(s.topEndX, s.top - 1))))
            top = std::max(top, s.top);
        if (s.bottom > 0
            && overlaps(QRect(QPoint(s.bottomStartX, root.height() - s.bottom), QPoint(s.bottomEndX, root.height() - 1))))
            bottom = std::min(bottom, root.height() - s.bottom - 1);
    }
    if (right < left || bottom < top)
        return QRect(monitor.topLeft(), QSize(0, 0));
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

QRect withWorkAreaEdges(const QRect &frame, const QRect &monitor, const QRect &workArea)
{
    if (workArea.right() < monitor.left() || workArea.left() > monitor.right())
        return frame;
    QRect result = frame;
    if (workArea.top() > monitor.top() && workArea.top() < monitor.bottom())
        result.setTop(std::max(frame.top(), workArea.top()));
    if (workArea.bottom() < monitor.bottom() && workArea.bottom() > monitor.top())
        result.setBottom(std::min(frame.bottom(), workArea.bottom()));
    return result.isValid() ? result : frame;
}

} // namespace tarni
