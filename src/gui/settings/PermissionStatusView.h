#pragma once

#include <QList>
#include <QWidget>

class QLabel;
class QPushButton;

namespace tarni {

class AppActions;
class AppModel;

// Whether this session lets the sidebar place other applications' windows,
// with a button that looks again.
class PermissionStatusView : public QWidget {
    Q_OBJECT
public:
    PermissionStatusView(AppModel &model, AppActions &actions, QWidget *parent = nullptr);

    QPushButton *checkAgainButton() const { return m_checkAgain; }
    QString statusText() const;
    // What the session allows: the placement backend, and where the sidebar
    // cannot dock or only some windows can be placed, a sentence each.
    QStringList sessionNotes() const;

private:
    void refresh();

    AppModel &m_model;
    AppActions &m_actions;
    QLabel *m_status = nullptr;
    QList<QLabel *> m_notes;
    QPushButton *m_checkAgain = nullptr;
};

} // namespace tarni
