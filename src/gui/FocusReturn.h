#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>

namespace tarni {

// Gives the keyboard back when one of our dialogs or windows closes. Window
// managers pass the focus on to whatever window they like once a dialog is
// gone, often another application's, and the sidebar keeps no focus of its
// own to fall back on: so whichever of our windows closes while it has the
// focus, the window it came from (a dialog's parent) or else the sidebar is
// activated again through the window manager, and `focusSidebar` puts the
// keyboard focus where the user left off (the outline).
//
// One application-wide event filter does it for every window, Qt's own file
// dialogs and message boxes included, so no dialog needs code of its own.
class FocusReturn : public QObject {
    Q_OBJECT
public:
    FocusReturn(QWidget &sidebar, std::function<void()> focusSidebar, QObject *parent = nullptr);
    ~FocusReturn() override;

    // How long the window manager gets to give the focus to another window
    // of ours (the next dialog of a chain, a window the user clicked) before
    // it is taken back.
    static constexpr int kSettleMs = 60;

    // Activates `window` now, through Qt and through the window manager.
    static void activate(QWidget &window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool takesPart(const QWidget &window) const;
    void returnFocus(QPointer<QWidget> closed, QPointer<QWidget> origin);

    QPointer<QWidget> m_sidebar;
    std::function<void()> m_focusSidebar;
};

} // namespace tarni
