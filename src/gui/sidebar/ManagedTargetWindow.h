#pragma once

#include <QWidget>

class QLabel;

namespace tarni {

class AppModel;

// The window that marks the content rectangle beside the sidebar, where
// Chrome windows and managed native windows are placed. It shows what the
// latest open did and never takes the focus when shown.
class ManagedTargetWindow : public QWidget {
    Q_OBJECT
public:
    explicit ManagedTargetWindow(AppModel &model, QWidget *parent = nullptr);

    // Places the outer frame (decorations included) on `frame`.
    void placeFrame(const QRect &frame);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void relabel();

    AppModel &m_model;
    QLabel *m_title = nullptr;
    QLabel *m_explanation = nullptr;
    QLabel *m_summary = nullptr;
};

} // namespace tarni
