#pragma once

#include "windowing/CompositorWindows.h"

#include <QDBusConnection>

#include <functional>
#include <optional>

namespace tarni {

// Where our GNOME Shell extension (src/platform/gnome/shell-extension)
// answers on the session bus.
inline constexpr char kGnomeShellPlacementService[] = "com.tarni.bar.WindowPlacement";
inline constexpr char kGnomeShellPlacementPath[] = "/com/tarni/bar/WindowPlacement";
inline constexpr char kGnomeShellPlacementInterface[] = "com.tarni.bar.WindowPlacement";

// The windows of GNOME Shell, through the extension's D-Bus interface: the
// shell lets no other client move an application's window on Wayland.
class GnomeShellWindows final : public CompositorWindows {
public:
    explicit GnomeShellWindows(QDBusConnection bus = QDBusConnection::sessionBus());

    bool isAvailable() override;
    std::optional<QList<CompositorWindow>> listWindows() override;
    bool placeWindow(std::uint64_t handle, const QRectF &frame) override;
    bool restoreWindow(std::uint64_t handle, const QRectF &frame, const OriginalWindowState &state) override;

private:
    // Asks the shell (`ask`, false when it refuses) and waits until it
    // reports the window as `settled` says; false when it never does within
    // the wait or the window is gone.
    template<typename Settled>
    bool waitFor(std::uint64_t handle, Settled settled, const std::function<bool()> &ask);

    QDBusConnection m_bus;
};

// The extension's ListWindows reply (a JSON array), read as hostile: none
// when it is malformed anywhere, too long or lists too many windows.
std::optional<QList<CompositorWindow>> parseGnomeShellWindowList(const QString &json);

} // namespace tarni
