#pragma once

#include <QWidget>

namespace tarni {

class AppModel;
class WorkspaceOutlineView;

// Everything inside the sidebar: the header with the workspace title, the
// Chrome connection line and the menu; search; the add menu and toolbar;
// the outline; the inspector; the status lines. While the onboarding is
// shown it takes the place of all of that.
class SidebarRootView : public QWidget {
    Q_OBJECT
public:
    explicit SidebarRootView(AppModel &model, QWidget *parent = nullptr);
    ~SidebarRootView() override;

    WorkspaceOutlineView *outline() const { return m_outline; }

Q_SIGNALS:
    // The user chose Quit (menu or Ctrl+Q): the application shell quits.
    void quitRequested();

private:
    AppModel &m_model;
    WorkspaceOutlineView *m_outline = nullptr;
};

} // namespace tarni
