#pragma once

#include "windowing/CompositorWindows.h"

#include <QJsonDocument>

#include <functional>
#include <memory>
#include <sys/types.h>

namespace tarni {

class SwayIpc;

// One view (a window with content) in sway's layout tree.
struct SwayView {
    CompositorWindow window;
    // The X window of an XWayland view; 0 for a native Wayland one.
    std::uint32_t x11Window = 0;
    // The whole output the view's workspace is on (logical coordinates).
    QRectF output;
    bool floating = false;
    bool sticky = false;
    // No border or title bar.
    bool borderless = false;

    bool operator==(const SwayView &) const = default;
};

// Every view in a GET_TREE reply, oldest first, with `frame` the outer frame
// including the title bar (sway's `rect` leaves it out). Views in the
// scratchpad count as minimised. None when the reply is not such a tree.
std::optional<QList<SwayView>> parseSwayViews(const QJsonDocument &tree);

// Windows on sway and other compositors with the i3-compatible IPC: listed
// from the layout tree, placed by floating them and giving them a size and
// position. Commands name windows by their numeric container id only.
class SwayWindows final : public CompositorWindows {
public:
    struct Options {
        // How long a command may take to show in the tree.
        int settleTimeoutMs = 1500;
        // Windows of this process are never listed or moved.
        pid_t ownPid = 0;
    };

    SwayWindows(std::shared_ptr<SwayIpc> ipc, Options options);

    bool isAvailable() override;
    std::optional<QList<CompositorWindow>> listWindows() override;
    bool placeWindow(std::uint64_t handle, const QRectF &frame) override;
    bool restoreWindow(std::uint64_t handle, const QRectF &frame, const OriginalWindowState &state) override;

private:
    std::optional<SwayView> view(std::uint64_t handle);
    bool runOn(std::uint64_t handle, const QByteArray &commands);
    // Asks the tree until the view satisfies `done` or the time is up.
    bool settle(std::uint64_t handle, const std::function<bool(const SwayView &)> &done);

    std::shared_ptr<SwayIpc> m_ipc;
    Options m_options;
};

// The sway command text that gives a floating container the outer frame
// `frame`; none for a frame that is not a sane rectangle.
std::optional<QByteArray> swayFrameCommands(const QRectF &frame);

} // namespace tarni
