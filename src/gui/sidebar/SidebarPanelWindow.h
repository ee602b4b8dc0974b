#pragma once

#include <QWidget>

namespace tarni {

// The sidebar's top-level window: frameless, with a grip along its right
// edge that the user drags to widen or narrow it. It reports its own
// resizes, moves and closing to the panel manager, which decides where it
// belongs.
class SidebarPanelWindow : public QWidget {
    Q_OBJECT
public:
    explicit SidebarPanelWindow(QWidget *parent = nullptr);

    // Puts `content` in the window, left of the grip.
    void setContent(QWidget *content);

Q_SIGNALS:
    void resized();
    void moved();
    // The user closed the window (Alt+F4, the window manager's close).
    void closed();
    // The native window was created or recreated: its X properties are gone.
    void nativeWindowChanged();
    // Ctrl+] / Ctrl+[: widen or narrow by one step.
    void widthStepRequested(int direction);

protected:
    bool event(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    QWidget *m_contentHolder = nullptr;
};

} // namespace tarni
