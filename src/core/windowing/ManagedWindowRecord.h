#pragma once

#include <QRectF>
#include <QString>

#include <cstdint>
#include <optional>

namespace tarni {

// How a window was shown before it was first moved, beyond its frame: a
// maximised or minimised window is put back maximised or minimised, on its
// own desktop.
struct OriginalWindowState {
    bool maximizedHorizontally = false;
    bool maximizedVertically = false;
    bool minimized = false;
    bool fullscreen = false;
    // The desktop it was on; absent when it was on all desktops or unknown.
    std::optional<std::uint32_t> desktop;
    // The frame the window had once it was back in the normal state (the
    // window manager's remembered unmaximised frame). Restoring puts it there
    // before maximising again, so that unmaximising later still gives the
    // user's own size.
    std::optional<QRectF> normalFrame;
    // Laid out by a tiling compositor; it goes back into the layout.
    bool tiled = false;

    bool isMaximized() const { return maximizedHorizontally || maximizedVertically; }
    bool isNormal() const { return !maximizedHorizontally && !maximizedVertically && !minimized && !fullscreen; }
    bool operator==(const OriginalWindowState &) const = default;
};

// What the registry remembers about one moved window.
struct ManagedWindowRecord {
    QString identifier;
    std::optional<std::int32_t> appPID;
    std::optional<QString> windowTitle;
    // The frame before the window was first moved.
    std::optional<QRectF> originalFrame;
    // The frame the window was last given.
    std::optional<QRectF> currentFrame;
    std::optional<OriginalWindowState> originalState;
    // The platform's handle of the window (an X window id), when known. A
    // window is identified by it first, so a restore never moves another
    // window of the same application in its place.
    std::optional<std::uint64_t> windowHandle;

    bool operator==(const ManagedWindowRecord &) const = default;
};

} // namespace tarni
