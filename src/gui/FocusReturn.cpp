#include "gui/FocusReturn.h"

#include "platform/x11/DockWindow.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWindow>

namespace tarni {

FocusReturn::FocusReturn(QWidget &sidebar, std::function<void()> focusSidebar, QObject *parent)
    : QObject(parent)
    , m_sidebar(&sidebar)
    , m_focusSidebar(std::move(focusSidebar))
{
    qApp->installEventFilter(this);
}

FocusReturn::~FocusReturn()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

void FocusReturn::activate(QWidget &window)
{
    window.raise();
    window.activateWindow();
    // Qt's own request is a hint that window managers may refuse as focus
    // stealing; the request as a pager makes is honoured.
    if (QWindow *handle = window.windowHandle())
        DockWindow::activate(*handle);
}

// Popups, tool tips and windows that never take the focus (the content-area
// marker) come and go without the focus moving.
bool FocusReturn::takesPart(const QWidget &window) const
{
    switch (window.windowType()) {
    case Qt::Window:
    case Qt::Dialog:
    case Qt::Sheet:
    case Qt::Tool:
        break;
    default:
        return false;
    }
    return !window.testAttribute(Qt::WA_ShowWithoutActivating) &&
        !window.windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus) &&
        !window.testAttribute(Qt::WA_DontShowOnScreen);
}

bool FocusReturn::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Hide || !watched->isWidgetType())
        return QObject::eventFilter(watched, event);
    auto *window = static_cast<QWidget *>(watched);
    // Only a window that had the focus as it closed: one closed while the
    // user works elsewhere must not pull the focus back. The window system's
    // focus is still on the closing window here (Qt's active window is
    // already cleared).
    if (!window->isWindow() || window == m_sidebar || !takesPart(*window) || !window->windowHandle() ||
        QGuiApplication::focusWindow() != window->windowHandle())
        return QObject::eventFilter(watched, event);
    QWidget *origin = window->parentWidget() ? window->parentWidget()->window() : nullptr;
    QTimer::singleShot(kSettleMs, this, [this, closed = QPointer<QWidget>(window), origin = QPointer<QWidget>(origin)] {
        returnFocus(closed, origin);
    });
    return QObject::eventFilter(watched, event);
}

void FocusReturn::returnFocus(QPointer<QWidget> closed, QPointer<QWidget> origin)
{
    // The next step of a chain (a preview after its file dialog) or a
    // window the user chose keeps the focus it got.
    if (QWidget *modal = QApplication::activeModalWidget(); modal && modal->isVisible())
        return;
    QWidget *active = QApplication::activeWindow();
    if (active && active == m_sidebar) {
        if (m_focusSidebar)
            m_focusSidebar();
        return;
    }
    if (active && active != closed && active->isVisible() && takesPart(*active))
        return;
    if (closed && closed->isVisible())
        return;
    if (origin && origin != m_sidebar && origin->isVisible() && takesPart(*origin)) {
        activate(*origin);
        return;
    }
    if (!m_sidebar || !m_sidebar->isVisible())
        return;
    activate(*m_sidebar);
    if (m_focusSidebar)
        m_focusSidebar();
}

} // namespace tarni
