#include "windowing/WindowGeometry.h"

#include <algorithm>
#include <cmath>

namespace tarni {

double WindowGeometry::sidebarWidth(const QRectF &visibleFrame, double preferredWidth, double maxWidth)
{
    const double lower = std::isfinite(preferredWidth) ? std::max(preferredWidth, minimumSidebarWidth)
                                                       : minimumSidebarWidth;
    // A NaN cap is ignored (std::min keeps its first argument); an empty or
    // inverted frame leaves no room for a sidebar at all.
    const double upper = std::min(visibleFrame.width() * 0.5, maxWidth);
    if (!(upper > 0))
        return 0;
    return std::min(upper, lower);
}

QRectF WindowGeometry::sidebarRect(const QRectF &visibleFrame, double preferredWidth, double maxWidth)
{
    const double width = sidebarWidth(visibleFrame, preferredWidth, maxWidth);
    return QRectF(visibleFrame.x(), visibleFrame.y(), width, visibleFrame.height());
}

QRectF WindowGeometry::contentRect(const QRectF &visibleFrame, double preferredWidth, double maxWidth)
{
    const double width = sidebarWidth(visibleFrame, preferredWidth, maxWidth);
    return QRectF(visibleFrame.x() + width, visibleFrame.y(), std::max(visibleFrame.width() - width, 0.0),
                  visibleFrame.height());
}

bool isDifferent(const QRectF &a, const QRectF &b, double tolerance)
{
    return std::abs(a.x() - b.x()) > tolerance || std::abs(a.y() - b.y()) > tolerance
        || std::abs(a.width() - b.width()) > tolerance || std::abs(a.height() - b.height()) > tolerance;
}

bool isPlausibleFrame(const QRectF &rect)
{
    constexpr double limit = 1e6;
    return std::isfinite(rect.x()) && std::isfinite(rect.y()) && std::isfinite(rect.width())
        && std::isfinite(rect.height()) && std::abs(rect.x()) < limit && std::abs(rect.y()) < limit
        && rect.width() >= 0 && rect.height() >= 0 && rect.width() < limit && rect.height() < limit;
}

} // namespace tarni
