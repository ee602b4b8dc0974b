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
    QRect frame = window.frameGeometry();
    const QRect client = window.geometry();
    QMargins decorations(client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
                         frame.bottom() - client.bottom());
    if (decorations.isNull())
        decorations.setTop(kAssumedTitleBar);
    const QSize room = available.size().shrunkBy(decorations);
    const QSize size = client.size().boundedTo(room).expandedTo(window.minimumSize());
    if (size != client.size())
        window.resize(size);
    frame = QRect(window.pos(), size.grownBy(decorations));
    // Moved in from the right and bottom first, so that a window larger than
    // the screen keeps its top-left corner (and title bar) in view.
    QPoint topLeft = frame.topLeft();
    topLeft.setX(std::max(std::min(topLeft.x(), available.right() + 1 - frame.width()), available.left()));
    topLeft.setY(std::max(std::min(topLeft.y(), available.bottom() + 1 - frame.height()), available.top()));
    if (topLeft != frame.topLeft())
        window.move(topLeft);
}

void keepWindowsOnScreen(QCoreApplication &app)
{
    app.installEventFilter(new ScreenFitFilter(&app));
}

} // namespace tarni
