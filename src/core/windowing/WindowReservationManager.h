#pragma once

#include "windowing/NodeOpenOwner.h"

#include <QHash>
#include <QRectF>
#include <QString>

class QSettings;

namespace tarni {

// A screen as the reservation sees it: its identifier (the platform's screen
// name) and its visible frame, which is the work area without the sidebar's
// own reservation, so the sidebar is never subtracted twice.
struct ScreenDescription {
    QString identifier;
    QRectF visibleFrame;
};

// Decides per screen how wide the sidebar is, where it lies and where the
// content area beside it lies, and keeps the user's chosen width per screen
// in the settings under "TarniBar.sidebarWidth." + the screen identifier.
class WindowReservationManager {
public:
    static constexpr double defaultMaxSidebarWidth = 640.0;

    // The settings object must outlive the manager.
    explicit WindowReservationManager(QSettings &defaults);

    static QString settingsKey(const QString &screenIdentifier);

    double maxSidebarWidth() const { return m_maxSidebarWidth; }
    // w raised to at least 300, then capped at half the screen width and at
    // the maximum (the cap wins).
    double clamp(double width, double screenWidth) const;

    // The stored width as stored when it is a positive number, otherwise the
    // default of 20 % of the screen width, clamped.
    double persistedSidebarWidth(const QString &screenIdentifier, double screenWidth) const;
    // Stores the clamped width; a width that is not a finite number is ignored.
    void persistSidebarWidth(double width, const QString &screenIdentifier, double screenWidth);

    QRectF currentSidebarRect(const ScreenDescription &screen) const;
    QRectF currentContentRect(const ScreenDescription &screen) const;

    QHash<NodeOpenOwner, QString> &reservations() { return m_reservations; }
    const QHash<NodeOpenOwner, QString> &reservations() const { return m_reservations; }

private:
    QSettings &m_defaults;
    QHash<NodeOpenOwner, QString> m_reservations;
    double m_maxSidebarWidth = defaultMaxSidebarWidth;
};

} // namespace tarni
