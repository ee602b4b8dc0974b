#pragma once

#include <QWidget>

class QCheckBox;
class QGroupBox;
class QLabel;
class QSpinBox;
class QPushButton;
class QScrollArea;

namespace tarni {

class AppActions;
class AppModel;
class SyncSettingsView;

// The preferences in a window of their own: language (switching at once),
// update checks, window placement, Chrome setup, the data folder, sync,
// how many automatic snapshots stay, and the sidebar width. Closing it only hides it.
class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    SettingsWindow(AppModel &model, AppActions &actions, QWidget *parent = nullptr);

    QCheckBox *autoCheckBox() const { return m_autoCheck; }
    QCheckBox *singleClickBox() const { return m_singleClick; }
    SyncSettingsView *syncView() const { return m_sync; }

private:
    struct Text {
        QWidget *widget;
        const char *key;
    };
    QGroupBox *addSection(const char *key);
    template <class W>
    W *labelled(W *widget, const char *key);
    void relabel();
    void refresh();
    // Grows the window when a language or a status needs more lines, up to
    // the height of its screen; the sections scroll beyond that.
    void fitHeight();
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

    AppModel &m_model;
    AppActions &m_actions;
    QList<Text> m_texts;
    QCheckBox *m_autoCheck = nullptr;
    QCheckBox *m_singleClick = nullptr;
    QPushButton *m_checkNow = nullptr;
    QLabel *m_updatesStatus = nullptr;
    QLabel *m_chromeStatus = nullptr;
    QLabel *m_dataFolder = nullptr;
    QLabel *m_sidebarWidth = nullptr;
    QCheckBox *m_showsTargetWindow = nullptr;
    QScrollArea *m_scroll = nullptr;
    QWidget *m_sections = nullptr;
    QLabel *m_trashDaysLabel = nullptr;
    QSpinBox *m_trashDays = nullptr;
    SyncSettingsView *m_sync = nullptr;
    // The general status line is shown once a Chrome button here was used.
    bool m_showGeneralStatus = false;
};

} // namespace tarni
