#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QStackedWidget;

namespace tarni {

class AppActions;
class AppModel;
class PermissionStatusView;

// The first-run guide, shown in place of the sidebar's content: welcome,
// connecting Chrome, window placement, language, then Complete Setup.
class OnboardingView : public QWidget {
    Q_OBJECT
public:
    OnboardingView(AppModel &model, AppActions &actions, QWidget *parent = nullptr);

    int stepCount() const;
    int currentStep() const;
    void goToStep(int step);
    QPushButton *backButton() const { return m_back; }
    QPushButton *nextButton() const { return m_next; }
    QPushButton *completeButton() const { return m_complete; }

private:
    struct Text {
        QLabel *label;
        const char *key;
    };
    QWidget *addStep(const char *titleKey, const char *bodyKey);
    QLabel *addText(QWidget *step, const char *key);
    void relabel();
    // Per browser found: where, the manifest written, what it still needs
    // and how to load the extension in it.
    void showBrowsers();
    void updateNavigation();

    AppModel &m_model;
    AppActions &m_actions;
    QStackedWidget *m_steps = nullptr;
    QList<Text> m_texts;
    QLabel *m_progress = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_browsers = nullptr;
    QPushButton *m_installHost = nullptr;
    QPushButton *m_revealExtension = nullptr;
    QPushButton *m_back = nullptr;
    QPushButton *m_next = nullptr;
    QPushButton *m_complete = nullptr;
    // The general status line is shown once a Chrome button here was used.
    bool m_showGeneralStatus = false;
};

} // namespace tarni
