#include "gui/WindowScreenFit.h"

#include <QCoreApplication>
#include <QEvent>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace tarni {

namespace {

// Before the window manager framed a window its decorations are unknown;
// this much is kept free for a title bar.
constexpr int kAssumedTitleBar = 32;

class ScreenFitFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            auto *widget = static_cast<QWidget *>(watched);
            const Qt::WindowType type = widget->windowType();
            if (widget->isWindow() && (type == Qt::Window || type == Qt::Dialog))
                fitOnScreen(*widget);
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

void fitOnScreen(QWidget &window)
{
    const QScreen *screen = window.screen();
    if (!screen || window.property(kPlacesItselfProperty).toBool())
        return;
    const QRect available = screen->availableGeometry();
    const QRect frame = window.frameGeometry();
    const QRect client = window.geometry();
    const bool framed = frame != client;
    const QMargins decorations = framed ? QMargins(client.left() - frame.left(), client.top() - frame.top(),
                                                   frame.right() - client.right(), frame.bottom() - client.bottom())
                                        : QMargins(0, kAssumedTitleBar, 0, 0);
    const QSize room = available.size().shrunkBy(decorations);
    const QSize size = client.size().boundedTo(room).expandedTo(window.minimumSize());
    if (size != client.size())
        window.resize(size);
    // A window nobody placed is left to the window manager, which puts new
    // windows on the screen by itself.
    if (!window.testAttribute(Qt::WA_Moved))
        return;
    QRect outer(client.topLeft() - QPoint(decorations.left(), decorations.top()), size.grownBy(decorations));
    // Moved in from the right and bottom first, so that a window larger than
    // the screen keeps its top-left corner (and title bar) in view.
    outer.moveLeft(std::max(std::min(outer.left(), available.right() + 1 - outer.width()), available.left()));
    outer.moveTop(std::max(std::min(outer.top(), available.bottom() + 1 - outer.height()), available.top()));
    // Qt places the frame once the window manager framed the window, and
    // the client before.
    const QPoint position = framed ? outer.topLeft() : outer.topLeft() + QPoint(decorations.left(), decorations.top());
    if (position != window.pos())
        window.move(position);
}

void keepWindowsOnScreen(QCoreApplication &app)
{
    app.installEventFilter(new ScreenFitFilter(&app));
}

} // namespace tarni
