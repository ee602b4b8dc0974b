#pragma once

#include "windowing/ManagedWindowRecord.h"

#include <QList>
#include <QRectF>
#include <QString>

#include <cstdint>
#include <optional>

namespace tarni {

// One top-level window as a Wayland compositor reports it.
struct CompositorWindow {
    // Stable for the window's life and never 0; never reused by another
    // window while the compositor runs.
    std::uint64_t handle = 0;
    // 0 when the compositor does not know it.
    std::int32_t pid = 0;
    // The Wayland app id, or for an XWayland window its WM_CLASS class.
    QString appId;
    QString title;
    // The outer frame (decorations included) in the compositor's logical
    // coordinates, origin top left of the whole desktop.
    QRectF frame;
    bool focused = false;
    bool maximized = false;
    bool minimized = false;
    bool fullscreen = false;
    // Laid out by a tiling compositor rather than floating.
    bool tiled = false;

    bool operator==(const CompositorWindow &) const = default;
};

// The window list and window moves of one compositor, reached through the
// facility that compositor offers (an IPC socket, a script, a shell
// extension). Calls are synchronous and run on the window controller's
// thread; each gives up after a short wait for the compositor.
class CompositorWindows {
public:
    virtual ~CompositorWindows() = default;

    // Whether the compositor answers now; asked at the start of every
    // operation, so a compositor that restarts is found again.
    virtual bool isAvailable() = 0;
    // Every normal top-level window, oldest first; none when the list could
    // not be read (then nothing may be moved: every window would look new).
    virtual std::optional<QList<CompositorWindow>> listWindows() = 0;
    // Brings the window to the normal state (not minimised, maximised or
    // fullscreen; floating where the compositor tiles) and gives its outer
    // frame `frame`. True once the compositor reports it there.
    virtual bool placeWindow(std::uint64_t handle, const QRectF &frame) = 0;
    // Gives the window its outer frame `frame` and then the state it had
    // (tiled again, maximised, fullscreen or minimised).
    virtual bool restoreWindow(std::uint64_t handle, const QRectF &frame, const OriginalWindowState &state) = 0;

protected:
    CompositorWindows() = default;
    CompositorWindows(const CompositorWindows &) = default;
    CompositorWindows &operator=(const CompositorWindows &) = default;
};

} // namespace tarni
