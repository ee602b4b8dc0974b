#include "gui/sidebar/SidebarResizeGrip.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

namespace tarni {

SidebarResizeGrip::SidebarResizeGrip(QWidget *parent) : QWidget(parent)
{
    setFixedWidth(kWidth);
    setCursor(Qt::SizeHorCursor);
    setAttribute(Qt::WA_Hover);
}

void SidebarResizeGrip::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QColor line = palette().color(QPalette::Mid);
    if (m_hovered || m_draggingHere)
        line = palette().color(QPalette::Highlight);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    painter.fillRect(QRect(width() - 2, 0, 2, height()), line);
    // A few dots halfway down say that the edge can be dragged.
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette().color(m_hovered ? QPalette::Highlight : QPalette::Mid));
    const int centre = height() / 2;
    for (int i = -2; i <= 2; ++i)
        painter.drawEllipse(QPointF(width() / 2.0 - 1, centre + i * 6), 1.2, 1.2);
}

void SidebarResizeGrip::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    QWindow *window = this->window()->windowHandle();
    if (window && window->startSystemResize(Qt::RightEdge))
        return;
    m_draggingHere = true;
    update();
}

void SidebarResizeGrip::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_draggingHere)
        return;
    QWidget *top = window();
    const int width = qRound(event->globalPosition().x()) - top->geometry().x() + kWidth / 2;
    if (width > 0 && width != top->width())
        top->resize(width, top->height());
}

void SidebarResizeGrip::mouseReleaseEvent(QMouseEvent *)
{
    m_draggingHere = false;
    update();
}

void SidebarResizeGrip::enterEvent(QEnterEvent *)
{
    m_hovered = true;
    update();
}

void SidebarResizeGrip::leaveEvent(QEvent *)
{
    m_hovered = false;
    update();
}

} // namespace tarni
