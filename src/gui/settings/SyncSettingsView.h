#pragma once

#include <QCoro/QCoroTask>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace tarni {

class AppActions;
class AppModel;
class SyncCoordinator;
class SyncthingLink;

// Sync through a shared folder. Off: what it does, the folder and the
// device name, and the button that turns it on (asking first when the
// folder already holds another machine's tree). On: the status, refreshed
// after every run, with the way to the conflicts, Sync Now and Turn Off.
//
// Below either, what the user's Syncthing can do for the folder, found out
// in the background: the offer to share the folder through it (asking
// first), or the three steps that share it by hand.
class SyncSettingsView : public QWidget {
    Q_OBJECT
public:
    SyncSettingsView(AppModel &model, AppActions &actions, QWidget *parent = nullptr);

    // The folder `~/Sync/TarniBar`, where the default field starts.
    static QString defaultFolder();

    QLineEdit *folderField() const { return m_folder; }
    QLineEdit *deviceField() const { return m_device; }
    QPushButton *turnOnButton() const { return m_turnOn; }
    // Looks at Syncthing again (also done as the view is shown).
    void checkSyncthing();
    // Talks to this Syncthing from now on (a test's own); it must outlive
    // the view's requests.
    void setSyncthingLink(SyncthingLink *link) { m_syncthing = link; }

Q_SIGNALS:
    // The Syncthing check ended and its outcome is shown.
    void syncthingChecked();

protected:
    void showEvent(QShowEvent *event) override;

private:
    SyncCoordinator *sync() const;
    void relabel();
    void refresh();
    void chooseFolder();
    void turnOn();
    void turnOff();
    void syncNow();
    void shareWithSyncthing();
    // The folder sync uses, or the one in the field while it is off.
    QString folderInUse() const;
    QCoro::Task<> lookAtSyncthing(QString folder);
    QCoro::Task<> ensureSyncthingFolder(QString folder);
    void showSyncthingState();
    void showError(const QString &text);

    AppModel &m_model;
    AppActions &m_actions;
    SyncthingLink *m_syncthing = nullptr;
    QWidget *m_off = nullptr;
    QWidget *m_on = nullptr;

    // Off.
    QLabel *m_explanation = nullptr;
    QLabel *m_folderLabel = nullptr;
    QLineEdit *m_folder = nullptr;
    QPushButton *m_choose = nullptr;
    QLabel *m_deviceLabel = nullptr;
    QLineEdit *m_device = nullptr;
    QPushButton *m_turnOn = nullptr;

    // On.
    struct StatusLine {
        QString text;
        QString name;
        int indent = 0;
        bool problem = false;
        bool operator==(const StatusLine &) const = default;
    };
    QList<StatusLine> m_shownLines;
    QVBoxLayout *m_statusLines = nullptr;
    QLabel *m_note = nullptr;
    QPushButton *m_showConflicts = nullptr;
    QPushButton *m_syncNow = nullptr;
    QPushButton *m_turnOff = nullptr;

    // Syncthing.
    enum class Syncthing { unknown, checking, offer, shared, absent, unusable };
    Syncthing m_syncthingState = Syncthing::unknown;
    QString m_syncthingDetail; // the problem, or the folder's name in Syncthing
    QString m_syncthingOutcome;
    bool m_syncthingBusy = false;
    QString m_checkedFolder;
    QLabel *m_syncthingProblem = nullptr;
    QLabel *m_syncthingText = nullptr;
    QWidget *m_steps = nullptr;
    QLabel *m_stepLines[3] = {};
    QPushButton *m_share = nullptr;
    QLabel *m_syncthingResult = nullptr;
    QLabel *m_syncthingReminder = nullptr;
};

} // namespace tarni
