#pragma once

#include <QWidget>

namespace tarni {

// The strip along the sidebar's right edge. Pressing it hands the drag to
// the window manager; when the window manager cannot take it, the grip
// resizes the window itself as the mouse moves.
class SidebarResizeGrip : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 6;

    explicit SidebarResizeGrip(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    bool m_draggingHere = false;
    bool m_hovered = false;
};

} // namespace tarni
