#pragma once

#include "gui/settings/SettingsWindow.h"
#include "gui/snapshots/SnapshotBrowserWindow.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

class QAction;
class QFrame;
class QLabel;
class QLineEdit;
class QProgressBar;
class QScrollArea;
class QStackedLayout;
class QStackedWidget;
class QToolButton;

namespace tarni {

class AppActions;
class AppModel;
class HeaderView;
class InspectorView;
class OnboardingView;
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

    AppActions &actions() const { return *m_actions; }
    HeaderView *header() const { return m_header; }
    QLineEdit *searchField() const { return m_search; }
    InspectorView *inspector() const { return m_inspector; }
    // The inspector's frame: as tall as what the inspector shows, up to a
    // share of the sidebar (it scrolls beyond); hidden when the user hides it.
    QScrollArea *inspectorArea() const { return m_inspectorArea; }
    // Checked while the inspector is shown; remembered in the settings.
    QAction *showInspectorAction() const { return m_showInspector; }
    // Takes the outline's place while a search matches nothing.
    QLabel *noMatchesLabel() const { return m_noMatches; }
    QLabel *moreMatchesLabel() const { return m_moreMatches; }
    OnboardingView *onboarding() const { return m_onboarding; }
    QToolButton *addMenuButton() const { return m_addButton; }
    // The settings window once it was opened.
    SettingsWindow *settingsWindow() const { return m_settings; }
    // The alert being shown, if any.
    QMessageBox *alertBox() const { return m_alert; }
    bool isShowingOnboarding() const;

    void showSettings();
    void showSnapshotBrowser();
    // The snapshot browser once it was opened.
    SnapshotBrowserWindow *snapshotBrowser() const { return m_snapshotBrowser; }

Q_SIGNALS:
    // The user chose Quit (menu or Ctrl+Q): the application shell quits.
    void quitRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *buildMainPage();
    QWidget *buildStatusArea(QWidget *parent);
    void relabel();
    void refreshStatus();
    void showAlertIfAny();
    void fitInspector();
    void applyInspectorShown();
    void refreshNoMatches();

    AppModel &m_model;
    AppActions *m_actions = nullptr;
    QStackedWidget *m_pages = nullptr;
    QWidget *m_main = nullptr;
    HeaderView *m_header = nullptr;
    QLineEdit *m_search = nullptr;
    QToolButton *m_addButton = nullptr;
    WorkspaceOutlineView *m_outline = nullptr;
    QStackedLayout *m_outlinePages = nullptr;
    QLabel *m_noMatches = nullptr;
    QLabel *m_moreMatches = nullptr;
    InspectorView *m_inspector = nullptr;
    QScrollArea *m_inspectorArea = nullptr;
    QFrame *m_inspectorRule = nullptr;
    QAction *m_showInspector = nullptr;
    OnboardingView *m_onboarding = nullptr;
    QLabel *m_writeFailure = nullptr;
    QWidget *m_busy = nullptr;
    QLabel *m_busyLabel = nullptr;
    QLabel *m_openSummary = nullptr;
    QLabel *m_generalStatus = nullptr;
    QToolButton *m_showExport = nullptr;
    QLabel *m_sidebarWidth = nullptr;
    QPointer<SettingsWindow> m_settings;
    QPointer<QMessageBox> m_alert;
    QPointer<SnapshotBrowserWindow> m_snapshotBrowser;
};

} // namespace tarni
