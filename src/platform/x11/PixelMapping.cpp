#include "platform/x11/PixelMapping.h"

#include <QGuiApplication>
#include <QMutexLocker>
#include <QScreen>

#include <cmath>

namespace tarni {

PixelMapping::PixelMapping(double ratio, QPoint origin)
    : m_ratio(std::isfinite(ratio) && ratio > 0 ? ratio : 1.0), m_origin(origin)
{
}

PixelMapping PixelMapping::of(const QScreen *screen)
{
    if (!screen)
        return {};
    return PixelMapping(screen->devicePixelRatio(), screen->geometry().topLeft());
}

QRect PixelMapping::toDevice(const QRectF &logical) const
{
    auto x = [&](double v) { return int(std::lround((v - m_origin.x()) * m_ratio)) + m_origin.x(); };
    auto y = [&](double v) { return int(std::lround((v - m_origin.y()) * m_ratio)) + m_origin.y(); };
    const int left = x(logical.left());
    const int top = y(logical.top());
    return QRect(left, top, x(logical.left() + logical.width()) - left, y(logical.top() + logical.height()) - top);
}

QRect PixelMapping::windowToDevice(const QRect &logical) const
{
    return QRect(QPoint(qRound((logical.x() - m_origin.x()) * m_ratio) + m_origin.x(),
                        qRound((logical.y() - m_origin.y()) * m_ratio) + m_origin.y()),
                 QSize(qRound(logical.width() * m_ratio), qRound(logical.height() * m_ratio)));
}

double PixelMapping::toLogicalX(double deviceX) const
{
    return (deviceX - m_origin.x()) / m_ratio + m_origin.x();
}

QRectF PixelMapping::toLogical(const QRectF &device) const
{
    const QPointF origin(m_origin);
    return QRectF((device.topLeft() - origin) / m_ratio + origin, device.size() / m_ratio);
}

ScreenMappings::ScreenMappings(QList<Screen> screens) : m_screens(std::move(screens)) {}

void ScreenMappings::replace(QList<Screen> screens)
{
    QMutexLocker lock(&m_mutex);
    m_screens = std::move(screens);
}

PixelMapping ScreenMappings::forLogical(const QRectF &rect) const
{
    QMutexLocker lock(&m_mutex);
    const QPoint centre = rect.center().toPoint();
    for (const Screen &screen : m_screens) {
        if (screen.logicalGeometry.contains(centre))
            return screen.mapping;
    }
    return m_screens.isEmpty() ? PixelMapping() : m_screens.first().mapping;
}

std::shared_ptr<ScreenMappings> ScreenMappings::follow(QObject *context)
{
    auto mappings = std::make_shared<ScreenMappings>();
    if (!qGuiApp)
        return mappings;
    std::weak_ptr<ScreenMappings> weak = mappings;
    auto refresh = [weak] {
        const auto alive = weak.lock();
        if (!alive)
            return;
        QList<Screen> screens;
        // The primary screen first: it is the one meant when no screen holds a rectangle.
        QList<QScreen *> all = QGuiApplication::screens();
        if (QScreen *primary = QGuiApplication::primaryScreen(); primary && all.removeOne(primary))
            all.prepend(primary);
        for (QScreen *screen : all)
            screens.append({screen->geometry(), PixelMapping::of(screen)});
        alive->replace(std::move(screens));
    };
    auto watch = [context, refresh](QScreen *screen) {
        QObject::connect(screen, &QScreen::geometryChanged, context, refresh);
        QObject::connect(screen, &QScreen::physicalDotsPerInchChanged, context, refresh);
        QObject::connect(screen, &QScreen::logicalDotsPerInchChanged, context, refresh);
    };
    for (QScreen *screen : QGuiApplication::screens())
        watch(screen);
    QObject::connect(qGuiApp, &QGuiApplication::screenAdded, context, [watch, refresh](QScreen *screen) {
        watch(screen);
        refresh();
    });
    // Queued: the screen may still be listed while it is being removed.
    QObject::connect(qGuiApp, &QGuiApplication::screenRemoved, context, refresh, Qt::QueuedConnection);
    QObject::connect(qGuiApp, &QGuiApplication::primaryScreenChanged, context, refresh);
    refresh();
    return mappings;
}

} // namespace tarni
