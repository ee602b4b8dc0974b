#pragma once

#include <QWidget>

class QFormLayout;
class QLabel;
class QPushButton;
class QSpinBox;

namespace tarni {

class AppActions;
class AppModel;

// How many automatic snapshots stay, as three numbers written to the
// settings at once (the next automatic snapshot applies them), and the way
// to the snapshot browser.
class SnapshotRetentionView : public QWidget {
    Q_OBJECT
public:
    SnapshotRetentionView(AppModel &model, AppActions &actions, QWidget *parent = nullptr);

    QSpinBox *keepLastBox() const { return m_keepLast; }
    QSpinBox *dailyDaysBox() const { return m_dailyDays; }
    QSpinBox *monthlyMonthsBox() const { return m_monthlyMonths; }

private:
    void relabel();

    AppModel &m_model;
    QFormLayout *m_form = nullptr;
    QSpinBox *m_keepLast = nullptr;
    QSpinBox *m_dailyDays = nullptr;
    QSpinBox *m_monthlyMonths = nullptr;
    QSpinBox *m_manualLimit = nullptr;
    QPushButton *m_browse = nullptr;
};

} // namespace tarni
