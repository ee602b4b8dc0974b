#include "platform/session/WindowPlacement.h"

#include "platform/sway/SwayIpc.h"
#include "platform/sway/SwayWindows.h"
#include "windowing/CompositorWindows.h"

#include <atomic>

namespace tarni {

namespace {

std::atomic<PlacementFacility> s_current{PlacementFacility::none};

bool desktopIs(const QByteArray &desktops, const char *name)
{
    for (const QByteArray &entry : desktops.split(':'))
        if (entry.trimmed().toLower() == name)
            return true;
    return false;
}

} // namespace

QString placementFacilityText(PlacementFacility facility)
{
    switch (facility) {
    case PlacementFacility::ewmh:
        return QStringLiteral("Window placement: X11 (EWMH)");
    case PlacementFacility::swayIpc:
        return QStringLiteral("Window placement: sway (IPC)");
    case PlacementFacility::kwinScript:
        return QStringLiteral("Window placement: KDE Plasma (KWin script)");
    case PlacementFacility::gnomeShellExtension:
        return QStringLiteral("Window placement: GNOME (Shell extension)");
    case PlacementFacility::none:
        break;
    }
    return QStringLiteral("Window placement: none");
}

QList<PlacementFacility> placementFacilitiesFor(DisplaySession session, const SessionEnvironment &environment)
{
    QList<PlacementFacility> facilities;
    if (session == DisplaySession::waylandWlroots && !environment.swaySocket.isEmpty())
        facilities << PlacementFacility::swayIpc;
    if (isWayland(session) && desktopIs(environment.currentDesktop, "kde"))
        facilities << PlacementFacility::kwinScript;
    if (isWayland(session) && desktopIs(environment.currentDesktop, "gnome"))
        facilities << PlacementFacility::gnomeShellExtension;
    if (session != DisplaySession::noDisplay && !environment.display.isEmpty())
        facilities << PlacementFacility::ewmh;
    return facilities;
}

std::unique_ptr<CompositorWindows> makeCompositorWindows(PlacementFacility facility,
                                                         const SessionEnvironment &environment)
{
    switch (facility) {
    case PlacementFacility::swayIpc:
        if (environment.swaySocket.isEmpty())
            break;
        return std::make_unique<SwayWindows>(std::make_shared<SwayIpc>(environment.swaySocket), SwayWindows::Options{});
    case PlacementFacility::kwinScript:
        break;
    case PlacementFacility::gnomeShellExtension:
        break;
    case PlacementFacility::ewmh:
    case PlacementFacility::none:
        break;
    }
    return nullptr;
}

PlacementFacility currentPlacementFacility()
{
    return s_current.load();
}

void setCurrentPlacementFacility(PlacementFacility facility)
{
    s_current.store(facility);
}

} // namespace tarni
