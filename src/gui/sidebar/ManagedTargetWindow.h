#pragma once

#include <QTimer>
#include <QWidget>

class QLabel;

namespace tarni {

class AppModel;

// The window that marks the content rectangle beside the sidebar, where
// Chrome windows and managed native windows are placed. It shows what the
// latest open did, never takes the focus when shown, and stays below the
// user's windows (the panel manager keeps it there).
class ManagedTargetWindow : public QWidget {
    Q_OBJECT
public:
    explicit ManagedTargetWindow(AppModel &model, QWidget *parent = nullptr);

    // Places the outer frame (decorations included) on `frame`, in logical
    // pixels.
    void placeFrame(const QRectF &frame);
    // The latest frame asked for by placeFrame().
    QRectF wantedFrame() const { return m_wantedFrame; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void relabel();
    void checkPlacement();

    AppModel &m_model;
    // Where the window should be, and how often it was asked there again
    // since: the window manager's late answers to an earlier placement can
    // leave it at an old rectangle.
    QRectF m_wantedFrame;
    int m_replacements = 0;
    QTimer *m_placementCheck = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_purpose = nullptr;
    QLabel *m_explanation = nullptr;
    QLabel *m_summary = nullptr;
};

} // namespace tarni
