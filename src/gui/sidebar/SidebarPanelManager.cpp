#include "gui/sidebar/SidebarPanelManager.h"

#include "app/AppModel.h"
#include "util/Localized.h"
#include "gui/SidebarRootView.h"
#include "gui/sidebar/ManagedTargetWindow.h"
#include "gui/sidebar/SidebarPanelWindow.h"
#include "platform/session/SidebarEdgeDocking.h"
#include "platform/x11/DockWindow.h"
#include "platform/x11/PixelMapping.h"
#include "platform/x11/ScreenFrames.h"
#include "windowing/WindowGeometry.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <limits>

Q_LOGGING_CATEGORY(lcSidebar, "tarnibar.sidebar")

namespace tarni {

namespace {

QRect pixelRect(const QRectF &rect)
{
    return QRect(qRound(rect.x()), qRound(rect.y()), qRound(rect.width()), qRound(rect.height()));
}

// Beyond this many snaps that the window manager did not follow, the panel
// is left where the window manager keeps it.
constexpr int kMaxUnsettledSnaps = 4;
// How long such a burst is counted, and when the panel is tried again after
// one, so that a refusing window manager costs two snaps a second at most.
constexpr qint64 kSnapRetryMs = 500;

} // namespace

SidebarPanelManager::SidebarPanelManager(WindowReservationManager &reservation, AppModel &model, Options options,
                                         QObject *parent)
    : QObject(parent), m_reservation(reservation), m_model(model), m_options(std::move(options))
{
    if (!m_options.describeScreen) {
        if (DockWindow::isAvailable()) {
            m_screenFrames = std::make_unique<ScreenFrames>();
            m_options.describeScreen = [frames = m_screenFrames.get()](const QScreen &screen, std::uint32_t sidebar) {
                return frames->describe(screen, sidebar);
            };
        } else {
            m_options.describeScreen = [](const QScreen &screen, std::uint32_t) {
                return ScreenDescription{screenIdentifier(screen), QRectF(screen.availableGeometry())};
            };
        }
    }
    watchScreens();
    connect(&m_model, &AppModel::showsManagedTargetWindowChanged, this, [this] {
        if (m_panel && m_panel->isVisible() && m_panel->screen())
            ensureManagedTargetWindow(describe(*m_panel->screen()), *m_panel->screen());
    });
}

SidebarPanelManager::~SidebarPanelManager()
{
    delete m_target;
    delete m_panel;
}

SidebarPanelWindow *SidebarPanelManager::panel() const { return m_panel; }

ManagedTargetWindow *SidebarPanelManager::managedTargetWindow() const { return m_target; }

QScreen *SidebarPanelManager::chooseScreen() const
{
    if (m_panel && m_panel->isVisible() && m_panel->screen())
        return m_panel->screen();
    if (QScreen *primary = QGuiApplication::primaryScreen())
        return primary;
    const QList<QScreen *> screens = QGuiApplication::screens();
    return screens.isEmpty() ? nullptr : screens.first();
}

ScreenDescription SidebarPanelManager::describe(const QScreen &screen)
{
    const std::uint32_t sidebar = m_panel && m_panel->windowHandle() ? DockWindow::nativeId(*m_panel->windowHandle()) : 0;
    return m_options.describeScreen(screen, sidebar);
}

std::optional<ScreenDescription> SidebarPanelManager::mainScreenDescription()
{
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return std::nullopt;
    return describe(*screen);
}

std::optional<QRectF> SidebarPanelManager::currentContentRect()
{
    QScreen *screen = chooseScreen();
    if (!screen)
        return std::nullopt;
    return contentRect(describe(*screen), *screen);
}

QRect SidebarPanelManager::deviceSidebarFrame(const QRectF &rect, const QScreen &screen) const
{
    // The pixels the window gets, not the mapped rectangle: Qt rounds the
    // window's size on its own, which at a fractional scale can be a pixel
    // off. Asking the X server instead would race with the window manager
    // still applying the size.
    return PixelMapping::of(&screen).windowToDevice(pixelRect(rect));
}

QRectF SidebarPanelManager::contentRect(const ScreenDescription &description, const QScreen &screen) const
{
    QRectF content = m_reservation.currentContentRect(description);
    if (!m_panel || !m_panel->isVisible() || m_panel->screen() != &screen)
        return content;
    // Right of the sidebar's last device pixel, which at a fractional scale
    // need not fall on a whole logical pixel.
    const QRect sidebar = deviceSidebarFrame(m_reservation.currentSidebarRect(description), screen);
    const double left = PixelMapping::of(&screen).toLogicalX(sidebar.x() + sidebar.width());
    content.setLeft(std::min(left, content.right()));
    return content;
}

void SidebarPanelManager::reserve(const QRectF &rect, const QScreen &screen)
{
    QWindow *window = m_panel->windowHandle();
    if (!window)
        return;
    DockWindow::reserveLeftEdge(*window, deviceSidebarFrame(rect, screen));
    if (m_options.edgeDocking)
        m_options.edgeDocking->dock(*window, rect);
}

void SidebarPanelManager::buildPanel()
{
    m_panel = new SidebarPanelWindow;
    m_panel->setWindowTitle(localized("Tarni Bar"));
    m_rootView = new SidebarRootView(m_model, m_panel);
    m_panel->setContent(m_rootView);
    connect(&m_model, &AppModel::appLanguageChanged, m_panel, [this] { m_panel->setWindowTitle(localized("Tarni Bar")); });
    connect(m_panel, &SidebarPanelWindow::resized, this, [this] { synchronizePanelFrame(true); });
    connect(m_panel, &SidebarPanelWindow::moved, this, [this] { synchronizePanelFrame(false); });
    connect(m_panel, &SidebarPanelWindow::widthStepRequested, this,
            [this](int direction) { adjustWidth(direction * kWidthStep); });
    connect(m_panel, &SidebarPanelWindow::nativeWindowChanged, this, [this] {
        if (QWindow *window = m_panel->windowHandle()) {
            DockWindow::applyProperties(*window);
            if (m_panel->isVisible() && m_panel->screen())
                reserve(QRectF(m_panel->geometry()), *m_panel->screen());
            else
                DockWindow::reserveLeftEdge(*window, QRect());
        }
    });
    connect(m_panel, &SidebarPanelWindow::closed, this, [this] {
        if (m_target)
            m_target->hide();
        if (m_options.edgeDocking)
            m_options.edgeDocking->release();
        m_model.restoreManagedWindows();
        Q_EMIT panelClosed();
    });
    // The native window exists from here on, so its properties are in place
    // before the window manager first sees it.
    m_panel->winId();
    DockWindow::applyProperties(*m_panel->windowHandle());
}

void SidebarPanelManager::showSidebar(bool activate)
{
    QScreen *screen = chooseScreen();
    if (!screen)
        return;
    if (!m_panel)
        buildPanel();
    // Closing may have destroyed the native window: this makes it again,
    // with its properties, before it is shown.
    m_panel->winId();
    const ScreenDescription description = describe(*screen);
    const QRectF rect = m_reservation.currentSidebarRect(description);
    updateLimits(description);
    m_panel->setAttribute(Qt::WA_ShowWithoutActivating, !activate);
    m_isApplyingReservedFrame = true;
    m_panel->setGeometry(pixelRect(rect));
    reserve(rect, *screen);
    m_panel->show();
    m_isApplyingReservedFrame = false;
    if (activate) {
        m_panel->raise();
        m_panel->activateWindow();
        // Once mapped, the window manager is asked as well: a request from
        // the window itself before mapping can be refused as focus stealing.
        QTimer::singleShot(0, m_panel, [panel = m_panel] {
            if (!panel)
                return;
            panel->raise();
            panel->activateWindow();
            if (QWindow *window = panel->windowHandle())
                DockWindow::activate(*window);
        });
    }
    ensureManagedTargetWindow(description, *screen);
}

void SidebarPanelManager::raiseAndActivate()
{
    if (!m_panel || !m_panel->isVisible()) {
        showSidebar(true);
        return;
    }
    m_panel->raise();
    m_panel->activateWindow();
    if (QWindow *window = m_panel->windowHandle())
        DockWindow::activate(*window);
}

void SidebarPanelManager::updateLimits(const ScreenDescription &screen)
{
    const double width = screen.visibleFrame.width();
    const int minimum = qRound(m_reservation.clamp(0, width));
    const int maximum = qRound(m_reservation.clamp(std::numeric_limits<double>::max(), width));
    m_panel->setMinimumWidth(std::min(minimum, maximum));
    m_panel->setMaximumWidth(maximum);
    // sway floats a window whose height is fixed from its first frame on;
    // laid out as a tiled one first, the panel would get the layout's width.
    if (m_options.edgeDocking)
        m_panel->setFixedHeight(qRound(m_reservation.currentSidebarRect(screen).height()));
}

void SidebarPanelManager::applyReservedFrame(const QRectF &rect)
{
    m_isApplyingReservedFrame = true;
    m_panel->setGeometry(pixelRect(rect));
    m_isApplyingReservedFrame = false;
}

void SidebarPanelManager::synchronizePanelFrame(bool persistWidth)
{
    if (m_isApplyingReservedFrame || !m_panel || !m_panel->isVisible())
        return;
    QScreen *screen = m_panel->screen();
    if (!screen)
        return;
    ScreenDescription description = describe(*screen);
    const QRectF frame(m_panel->geometry());
    if (m_options.edgeDocking && !m_options.edgeDocking->isDocked())
        persistWidth = false;
    if (persistWidth)
        m_reservation.persistSidebarWidth(frame.width(), description.identifier, description.visibleFrame.width());
    const QRectF rect = m_reservation.currentSidebarRect(description);
    updateLimits(description);
    if (isDifferent(frame, rect, kFrameTolerance)) {
        // Counted over a short time only: on a busy machine the window
        // manager's answers to earlier requests still arrive for a while and
        // look like refusals.
        if (rect != m_lastSnapTarget || !m_snapClock.isValid() || m_snapClock.elapsed() > kSnapRetryMs) {
            m_unsettledSnaps = 0;
            m_snapClock.start();
        }
        m_lastSnapTarget = rect;
        if (++m_unsettledSnaps <= kMaxUnsettledSnaps) {
            applyReservedFrame(rect);
        } else {
            if (!m_warnedAboutRefusal)
                qCWarning(lcSidebar) << "the window manager keeps the sidebar at" << frame << "instead of" << rect;
            m_warnedAboutRefusal = true;
            if (!m_retryPending) {
                m_retryPending = true;
                QTimer::singleShot(kSnapRetryMs + 1, this, [this] {
                    m_retryPending = false;
                    synchronizePanelFrame(false);
                });
            }
        }
    } else {
        m_unsettledSnaps = 0;
        m_warnedAboutRefusal = false;
    }
    reserve(rect, *screen);
    if (m_target)
        m_target->placeFrame(contentRect(description, *screen));
    // Work-area changes and a drag's many steps repeat the same width; in
    // automation mode each report writes the state dump.
    if (rect.width() != m_reportedWidth) {
        m_reportedWidth = rect.width();
        m_model.sidebarWidthDidChange(rect.width());
    }
}

void SidebarPanelManager::adjustWidth(double delta)
{
    if (!m_panel || !m_panel->isVisible() || !m_panel->screen())
        return;
    const ScreenDescription description = describe(*m_panel->screen());
    const double width = m_reservation.currentSidebarRect(description).width() + delta;
    m_reservation.persistSidebarWidth(width, description.identifier, description.visibleFrame.width());
    synchronizePanelFrame(false);
}

void SidebarPanelManager::ensureManagedTargetWindow(const ScreenDescription &description, const QScreen &screen)
{
    if (!m_options.showsManagedTargetWindow || !m_model.showsManagedTargetWindow()) {
        if (m_target)
            m_target->hide();
        return;
    }
    if (!m_target)
        m_target = new ManagedTargetWindow(m_model);
    m_target->placeFrame(contentRect(description, screen));
    if (!m_target->isVisible()) {
        // It marks the area where the user's windows go, so it stays under
        // them, also when the sidebar is shown again.
        m_target->winId();
        DockWindow::keepBelowOthers(*m_target->windowHandle());
        m_target->show();
    }
    // The decorations are known once the window manager framed it. The
    // rectangle may have changed meanwhile: the latest one is placed again.
    QTimer::singleShot(100, m_target, [this] {
        if (m_target)
            m_target->placeFrame(m_target->wantedFrame());
    });
}

void SidebarPanelManager::watchScreens()
{
    auto watch = [this](QScreen *screen) {
        connect(screen, &QScreen::availableGeometryChanged, this, &SidebarPanelManager::screensChanged);
        connect(screen, &QScreen::geometryChanged, this, &SidebarPanelManager::screensChanged);
    };
    for (QScreen *screen : QGuiApplication::screens())
        watch(screen);
    connect(qGuiApp, &QGuiApplication::screenAdded, this, [this, watch](QScreen *screen) {
        watch(screen);
        screensChanged();
    });
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, &SidebarPanelManager::screensChanged);
    connect(qGuiApp, &QGuiApplication::primaryScreenChanged, this, &SidebarPanelManager::screensChanged);
}

void SidebarPanelManager::screensChanged()
{
    // Our own strut changes the work area too; the description leaves it
    // out, so that change finds the panel in place.
    QTimer::singleShot(0, this, [this] { synchronizePanelFrame(false); });
}

} // namespace tarni
