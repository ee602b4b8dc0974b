#pragma once

#include "windowing/WindowReservationManager.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QRectF>

#include <functional>
#include <memory>
#include <optional>

class QScreen;

namespace tarni {

class AppModel;
class ManagedTargetWindow;
class ScreenFrames;
class SidebarPanelWindow;
class SidebarRootView;
class SidebarEdgeDocking;

// Owns the sidebar panel and the window that marks the content rectangle,
// keeps the panel on the rectangle the reservation manager gives it, and
// remembers the width the user resizes it to, per screen.
class SidebarPanelManager : public QObject {
    Q_OBJECT
public:
    // Differences up to this many pixels in every coordinate count as "in place".
    static constexpr double kFrameTolerance = 0.5;
    // One press of Ctrl+[ or Ctrl+].
    static constexpr double kWidthStep = 20.0;

    struct Options {
        bool showsManagedTargetWindow = true;
        // A screen as the reservation sees it, given the sidebar's own X
        // window (0 before it exists). Defaults to the X work area without
        // our own strut on X11, and the screen's available geometry elsewhere.
        std::function<ScreenDescription(const QScreen &, std::uint32_t sidebarWindow)> describeScreen;
        // Docks the panel where the compositor has its own way of doing it
        // besides the X11 strut; none elsewhere.
        std::shared_ptr<SidebarEdgeDocking> edgeDocking;
    };

    // Both must outlive the manager.
    SidebarPanelManager(WindowReservationManager &reservation, AppModel &model, Options options,
                        QObject *parent = nullptr);
    ~SidebarPanelManager() override;

    // Builds the panel on first use and shows it on the reserved rectangle.
    // With `activate` it is raised and given the focus; without (a start in
    // the background) it appears without taking the focus. Does nothing
    // without any screen.
    void showSidebar(bool activate = true);
    // Raises the panel and gives it the focus; shows it again if closed.
    void raiseAndActivate();

    // The content rectangle of the panel's screen, else of the primary
    // screen, else of the first; absent without any screen.
    std::optional<QRectF> currentContentRect();
    // The primary screen as the reservation sees it.
    std::optional<ScreenDescription> mainScreenDescription();

    // On the panel's own resize (persisting the width) and move (not
    // persisting): stores the clamped width when asked, snaps the panel back
    // onto its rectangle, moves the content window along, and tells the
    // model the width. Ignored while the manager itself sets the frame.
    void synchronizePanelFrame(bool persistWidth);
    // Widens (positive) or narrows the sidebar by `delta` and keeps it.
    void adjustWidth(double delta);

    SidebarPanelWindow *panel() const;
    SidebarRootView *rootView() const { return m_rootView; }
    ManagedTargetWindow *managedTargetWindow() const;

Q_SIGNALS:
    // The user closed the sidebar; managed windows are being put back.
    void panelClosed();

private:
    QScreen *chooseScreen() const;
    ScreenDescription describe(const QScreen &screen);
    void buildPanel();
    void applyReservedFrame(const QRectF &rect);
    void updateLimits(const ScreenDescription &screen);
    // Shows the content window on the content rectangle, or hides it when
    // the user turned it off.
    void ensureManagedTargetWindow(const ScreenDescription &description, const QScreen &screen);
    // The sidebar on `rect` (logical) in the X server's pixels, as Qt
    // places the window there.
    QRect deviceSidebarFrame(const QRectF &rect, const QScreen &screen) const;
    // The reservation's content rectangle, starting where the shown sidebar
    // ends in device pixels.
    QRectF contentRect(const ScreenDescription &description, const QScreen &screen) const;
    // Reserves the sidebar's device pixels at the screen's left edge.
    void reserve(const QRectF &rect, const QScreen &screen);
    void watchScreens();
    void screensChanged();

    WindowReservationManager &m_reservation;
    AppModel &m_model;
    Options m_options;
    std::unique_ptr<ScreenFrames> m_screenFrames;
    QPointer<SidebarPanelWindow> m_panel;
    SidebarRootView *m_rootView = nullptr;
    QPointer<ManagedTargetWindow> m_target;
    bool m_isApplyingReservedFrame = false;
    // Snaps in a row that the window manager did not follow; a window
    // manager that keeps refusing the rectangle must not make us loop.
    int m_unsettledSnaps = 0;
    QRectF m_lastSnapTarget;
    QElapsedTimer m_snapClock;
    bool m_warnedAboutRefusal = false;
    bool m_retryPending = false;
    double m_reportedWidth = -1;
};

} // namespace tarni
