#pragma once

#include "platform/session/DisplaySession.h"
#include "windowing/AXWindowControlling.h"
#include "windowing/CompositorWindows.h"
#include "windowing/ManagedWindowRegistry.h"

#include <QString>

#include <functional>
#include <memory>

namespace tarni {

// The facility through which windows of other applications are placed.
enum class PlacementFacility {
    none,
    // X11 and XWayland windows, through the EWMH window manager.
    ewmh,
    // sway and other compositors with the i3-compatible IPC socket.
    swayIpc,
    // KDE Plasma: a KWin script loaded over D-Bus.
    kwinScript,
    // GNOME: our GNOME Shell extension on the session bus.
    gnomeShellExtension,
};

// The facilities worth trying in this session, best first: each Wayland
// desktop's own facility ahead of EWMH, which reaches XWayland windows only.
QList<PlacementFacility> placementFacilitiesFor(DisplaySession session, const SessionEnvironment &environment);

// The compositor-side backend of a Wayland facility; none for EWMH and none.
std::unique_ptr<CompositorWindows> makeCompositorWindows(PlacementFacility facility,
                                                         const SessionEnvironment &environment);

// The facility the window controller uses now, for the settings; set by the
// controller's thread, read by the GUI's.
PlacementFacility currentPlacementFacility();
void setCurrentPlacementFacility(PlacementFacility facility);

// The window controller of the session: the first facility of
// placementFacilitiesFor() that answers, looked for again while no window it
// moved is waiting to go back (a compositor restarted, an extension enabled
// after we started). Until one answers, the status is denied.
class SessionWindowController final : public AXWindowControlling {
public:
    struct Factories {
        std::function<std::unique_ptr<AXWindowControlling>()> ewmh;
        std::function<std::unique_ptr<CompositorWindows>(PlacementFacility)> compositor;
    };

    SessionWindowController(ManagedWindowRegistry &registry, QList<PlacementFacility> facilities,
                            Factories factories);
    ~SessionWindowController() override;

    PermissionStatus permissionStatus() override;
    void requestPermissionIfNeeded() override;
    bool moveWindow(const QString &identifier, const QRectF &frame) override;
    int restoreManagedWindows() override;
    WindowBaseline windowBaseline() override;
    bool moveOpenedWindow(const OpenedWindowRequest &request) override;
    int restoreWindowsLeftBehind(const QList<ManagedWindowRecord> &records) override;

    PlacementFacility facility() const { return m_facility; }

private:
    // The controller in use, chosen again first when nothing waits on it.
    AXWindowControlling *current();
    void choose();

    ManagedWindowRegistry &m_registry;
    QList<PlacementFacility> m_facilities;
    Factories m_factories;
    std::unique_ptr<AXWindowControlling> m_controller;
    PlacementFacility m_facility = PlacementFacility::none;
};

} // namespace tarni
