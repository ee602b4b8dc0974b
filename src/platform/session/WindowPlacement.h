#pragma once

#include "platform/session/DisplaySession.h"

#include <QString>

#include <functional>
#include <memory>

namespace tarni {

class CompositorWindows;

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

// The text the settings show for the facility ("Window placement: …"), in
// English: the string tables translate it.
QString placementFacilityText(PlacementFacility facility);

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

} // namespace tarni
