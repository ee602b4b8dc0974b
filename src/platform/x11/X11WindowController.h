#pragma once

#include "windowing/AXWindowControlling.h"
#include "windowing/ManagedWindowRegistry.h"
#include "windowing/WindowCandidates.h"
#include "platform/x11/PixelMapping.h"
#include "platform/xdg/DefaultApplicationLookup.h"

#include <QByteArray>

#include <memory>

namespace tarni {

class X11Display;

// Moves other applications' windows on X11 through the EWMH window manager:
// the outer frame lands exactly on the asked rectangle, and a moved window
// goes back to its frame, its maximised or minimised state and its desktop.
//
// Target frames come in logical pixels; everything read from X and recorded
// (original and current frames) is in device pixels.
//
// Calls are synchronous: each waits for the window manager's answer, at most
// `answerTimeoutMs` per step, on a connection of its own.
class X11WindowController final : public AXWindowControlling {
public:
    struct Options {
        // Empty: $DISPLAY.
        QByteArray displayName;
        // Decides which application owns a file or folder.
        DefaultApplicationLookup applications;
        int answerTimeoutMs = 500;
        // How the logical rectangles asked for map onto the X server's
        // pixels; none: they are the same.
        std::shared_ptr<const ScreenMappings> screens;
    };

    // The registry must outlive the controller.
    X11WindowController(ManagedWindowRegistry &registry, Options options);
    ~X11WindowController() override;

    PermissionStatus permissionStatus() override;
    void requestPermissionIfNeeded() override;
    bool moveWindow(const QString &identifier, const QRectF &frame) override;
    int restoreManagedWindows() override;
    WindowBaseline windowBaseline() override;
    bool moveOpenedWindow(const OpenedWindowRequest &request) override;
    int restoreWindowsLeftBehind(const QList<ManagedWindowRecord> &records) override;

private:
    struct ResolvedWindow {
        std::uint32_t window = 0;
        std::int32_t appPID = 0;
        std::optional<QString> title;
        QRectF frame;
    };

    // The connection that isGranted() opened or kept at the start of the
    // current operation.
    X11Display *display();
    bool isGranted();
    std::optional<ResolvedWindow> resolveWindow(const QString &identifier);
    std::optional<ResolvedWindow> resolveRecordWindow(const ManagedWindowRecord &record);
    std::optional<std::int32_t> preferredRunningApplication(const QString &identifier);
    std::optional<std::int32_t> frontmostApplication();
    WindowCandidateList windowsOfProcess(std::int32_t pid);
    std::optional<ResolvedWindow> bestWindow(std::int32_t pid, const std::optional<QString> &preferredTitle,
                                             const std::optional<QRectF> &preferredFrame);
    std::optional<ResolvedWindow> describe(std::uint32_t window);
    QRect toDevice(const QRectF &logical) const;
    bool moveResolved(const QString &identifier, const ResolvedWindow &resolved, const QRect &target);
    // The window of `request`'s application that its open request created,
    // as far as one exists now.
    std::optional<std::uint32_t> openedWindow(const OpenedWindowRequest &request, const DesktopEntry &application);
    bool belongsTo(std::uint32_t window, const DesktopEntry &application);

    bool bringToNormalState(std::uint32_t window);
    bool setFrame(std::uint32_t window, const QRect &target);
    bool frameMatches(std::uint32_t window, const QRect &target);
    void reapplyState(std::uint32_t window, const OriginalWindowState &state);
    // Puts the record's window back and forgets the record; false (record
    // kept) when the window is gone or did not get there.
    bool restoreRecord(const ManagedWindowRecord &record);

    ManagedWindowRegistry &m_registry;
    Options m_options;
    std::unique_ptr<X11Display> m_display;
};

} // namespace tarni
