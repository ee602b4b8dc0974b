#include "windowing/WindowReservationManager.h"

#include "windowing/WindowGeometry.h"

#include <QSettings>

#include <cmath>

namespace tarni {

WindowReservationManager::WindowReservationManager(QSettings &defaults) : m_defaults(defaults) {}

QString WindowReservationManager::settingsKey(const QString &screenIdentifier)
{
    return QStringLiteral("TarniBar.sidebarWidth.") + screenIdentifier;
}

double WindowReservationManager::clamp(double width, double screenWidth) const
{
    return WindowGeometry::sidebarWidth(QRectF(0, 0, screenWidth, 0), width, m_maxSidebarWidth);
}

double WindowReservationManager::persistedSidebarWidth(const QString &screenIdentifier, double screenWidth) const
{
    bool ok = false;
    const double stored = m_defaults.value(settingsKey(screenIdentifier)).toDouble(&ok);
    // Anything that is not a positive number (missing, 0, negative, text,
    // NaN) counts as absent.
    if (ok && stored > 0)
        return stored;
    return clamp(screenWidth * 0.2, screenWidth);
}

void WindowReservationManager::persistSidebarWidth(double width, const QString &screenIdentifier,
                                                   double screenWidth)
{
    if (!std::isfinite(width))
        return;
    m_defaults.setValue(settingsKey(screenIdentifier), clamp(width, screenWidth));
}

QRectF WindowReservationManager::currentSidebarRect(const ScreenDescription &screen) const
{
    const double preferred = persistedSidebarWidth(screen.identifier, screen.visibleFrame.width());
    return WindowGeometry::sidebarRect(screen.visibleFrame, preferred, m_maxSidebarWidth);
}

QRectF WindowReservationManager::currentContentRect(const ScreenDescription &screen) const
{
    const double preferred = persistedSidebarWidth(screen.identifier, screen.visibleFrame.width());
    return WindowGeometry::contentRect(screen.visibleFrame, preferred, m_maxSidebarWidth);
}

} // namespace tarni
