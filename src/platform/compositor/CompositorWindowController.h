#pragma once

#include "windowing/AXWindowControlling.h"
#include "windowing/CompositorWindows.h"
#include "windowing/ManagedWindowRegistry.h"
#include "platform/xdg/DefaultApplicationLookup.h"

#include <memory>

namespace tarni {

// Places other applications' windows on a Wayland compositor through its own
// facility (behind CompositorWindows), with the same rules as on X11: only
// the window an open request made is placed, every moved window is
// remembered and put back, and after a crash only windows still where they
// were put go back.
//
// Frames are the compositor's logical coordinates throughout, both the ones
// asked for and the ones recorded.
class CompositorWindowController final : public AXWindowControlling {
public:
    struct Options {
        // Decides which application owns a file or folder.
        DefaultApplicationLookup applications = DefaultApplicationLookup();
        // How often the window list is read while waiting for a new window.
        int pollIntervalMs = 100;
        // Our own windows are never placed; 0: this process.
        std::int32_t ownPid = 0;
    };

    // The registry must outlive the controller.
    CompositorWindowController(ManagedWindowRegistry &registry, std::unique_ptr<CompositorWindows> windows,
                               Options options);
    ~CompositorWindowController() override;

    PermissionStatus permissionStatus() override;
    void requestPermissionIfNeeded() override;
    bool moveWindow(const QString &identifier, const QRectF &frame) override;
    int restoreManagedWindows() override;
    WindowBaseline windowBaseline() override;
    bool moveOpenedWindow(const OpenedWindowRequest &request) override;
    int restoreWindowsLeftBehind(const QList<ManagedWindowRecord> &records) override;

    // Frames within this many points count as the same place: compositors
    // round logical coordinates.
    static constexpr double frameTolerance = 2.0;

private:
    using WindowList = QList<CompositorWindow>;

    std::optional<WindowList> listOthers();
    std::optional<CompositorWindow> resolve(const QString &identifier, const WindowList &windows);
    std::optional<CompositorWindow> resolveRecord(const ManagedWindowRecord &record, const WindowList &windows);
    std::optional<CompositorWindow> bestOf(std::int32_t pid, const WindowList &windows,
                                           const std::optional<QString> &preferredTitle,
                                           const std::optional<QRectF> &preferredFrame);
    std::optional<std::int32_t> preferredRunningApplication(const QString &identifier, const WindowList &windows);
    std::optional<CompositorWindow> openedWindow(const OpenedWindowRequest &request, const DesktopEntry &application,
                                                 const WindowList &windows);
    bool moveResolved(const QString &identifier, const CompositorWindow &window, const QRectF &target);
    bool restoreRecord(const ManagedWindowRecord &record, const WindowList &windows);

    ManagedWindowRegistry &m_registry;
    std::unique_ptr<CompositorWindows> m_windows;
    Options m_options;
};

// Whether a window shows the application of a desktop entry: its app id is
// the entry's id (with or without ".desktop", or its last reverse-DNS part),
// its StartupWMClass or its program's name, or its process runs the entry's
// executable.
bool windowBelongsTo(const CompositorWindow &window, const DesktopEntry &application);

} // namespace tarni
