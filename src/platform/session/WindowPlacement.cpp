#include "platform/session/WindowPlacement.h"

#include "platform/compositor/CompositorWindowController.h"
#include "platform/gnome/GnomeShellExtension.h"
#include "platform/gnome/GnomeShellWindows.h"
#include "platform/kwin/KWinScriptWindows.h"
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
        return std::make_unique<KWinScriptWindows>();
    case PlacementFacility::gnomeShellExtension:
        // The extension is ours to ship: the user's copy is brought up to
        // date here, and the settings say how to turn it on.
        ensureGnomeShellExtensionInstalled(QDBusConnection::sessionBus());
        return std::make_unique<GnomeShellWindows>();
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

SessionWindowController::SessionWindowController(ManagedWindowRegistry &registry,
                                                 QList<PlacementFacility> facilities, Factories factories)
    : m_registry(registry), m_facilities(std::move(facilities)), m_factories(std::move(factories))
{
}

SessionWindowController::~SessionWindowController() = default;

void SessionWindowController::choose()
{
    for (PlacementFacility facility : m_facilities) {
        std::unique_ptr<AXWindowControlling> controller;
        if (facility == PlacementFacility::ewmh) {
            if (m_factories.ewmh)
                controller = m_factories.ewmh();
        } else if (m_factories.compositor) {
            if (auto windows = m_factories.compositor(facility); windows && windows->isAvailable()) {
                CompositorWindowController::Options options;
                controller = std::make_unique<CompositorWindowController>(m_registry, std::move(windows),
                                                                          std::move(options));
            }
        }
        if (controller && controller->permissionStatus() == PermissionStatus::granted) {
            m_controller = std::move(controller);
            m_facility = facility;
            setCurrentPlacementFacility(facility);
            return;
        }
    }
    m_controller.reset();
    m_facility = PlacementFacility::none;
    setCurrentPlacementFacility(PlacementFacility::none);
}

AXWindowControlling *SessionWindowController::current()
{
    if (!m_controller)
        choose();
    return m_controller.get();
}

// Records name windows by the handles of the facility that moved them, and
// another facility could mistake them: the choice is made again only while
// no window waits to go back.
PermissionStatus SessionWindowController::permissionStatus()
{
    if (m_registry.isEmpty() && (!m_controller || m_controller->permissionStatus() != PermissionStatus::granted))
        choose();
    return m_controller ? m_controller->permissionStatus() : PermissionStatus::denied;
}

void SessionWindowController::requestPermissionIfNeeded()
{
    // Asked by the user: a better facility may answer by now (an extension
    // enabled since the start).
    if (m_registry.isEmpty())
        choose();
    if (m_controller)
        m_controller->requestPermissionIfNeeded();
}

bool SessionWindowController::moveWindow(const QString &identifier, const QRectF &frame)
{
    AXWindowControlling *controller = current();
    return controller && controller->moveWindow(identifier, frame);
}

int SessionWindowController::restoreManagedWindows()
{
    AXWindowControlling *controller = current();
    return controller ? controller->restoreManagedWindows() : 0;
}

WindowBaseline SessionWindowController::windowBaseline()
{
    AXWindowControlling *controller = current();
    return controller ? controller->windowBaseline() : WindowBaseline{};
}

bool SessionWindowController::moveOpenedWindow(const OpenedWindowRequest &request)
{
    AXWindowControlling *controller = current();
    return controller && controller->moveOpenedWindow(request);
}

int SessionWindowController::restoreWindowsLeftBehind(const QList<ManagedWindowRecord> &records)
{
    AXWindowControlling *controller = current();
    return controller ? controller->restoreWindowsLeftBehind(records) : 0;
}

} // namespace tarni
