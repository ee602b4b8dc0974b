#pragma once

#include <QWidget>

class QLabel;
class QMenu;
class QToolButton;

namespace tarni {

class AppActions;
class AppModel;

// The top of the sidebar: the workspace title, the Chrome connection line
// and the application menu.
class HeaderView : public QWidget {
    Q_OBJECT
public:
    HeaderView(AppModel &model, AppActions &actions, QWidget *parent = nullptr);

    QToolButton *menuButton() const { return m_menuButton; }
    QMenu *menu() const { return m_menu; }

private:
    void refresh();
    void fillSnapshotMenu();

    AppModel &m_model;
    AppActions &m_actions;
    QLabel *m_title = nullptr;
    QLabel *m_chrome = nullptr;
    QToolButton *m_menuButton = nullptr;
    QMenu *m_menu = nullptr;
    QMenu *m_snapshots = nullptr;
    QMenu *m_moves = nullptr;
};

} // namespace tarni
