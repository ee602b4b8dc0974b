#include "gui/settings/SnapshotRetentionView.h"

#include "app/AppModel.h"
#include "util/Localized.h"
#include "archive/SnapshotRetention.h"
#include "gui/AppActions.h"
#include "gui/GuiSupport.h"

#include <QAction>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

namespace tarni {

SnapshotRetentionView::SnapshotRetentionView(AppModel &model, AppActions &actions, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    m_form = new QFormLayout;
    column->addLayout(m_form);

    QSettings &settings = *m_model.dependencies().settings;
    const RetentionPolicy policy = RetentionPolicy::fromSettings(settings);
    auto spin = [this, &settings](const char *name, const char *key, int value, int low, int high) {
        auto *box = new QSpinBox(this);
        box->setObjectName(QLatin1String(name));
        box->setRange(low, high);
        box->setValue(value);
        connect(box, &QSpinBox::valueChanged, this,
                [&settings, key](int changed) { settings.setValue(QLatin1String(key), changed); });
        return box;
    };
    m_keepLast = spin("retentionKeepLast", kRetentionKeepLastSettingsKey, policy.keepLast, 1, 10000);
    m_dailyDays = spin("retentionDailyDays", kRetentionDailyDaysSettingsKey, policy.dailyDays, 0, 3660);
    m_monthlyMonths = spin("retentionMonthlyMonths", kRetentionMonthlyMonthsSettingsKey, policy.monthlyMonths, 0, 1200);
    m_manualLimit = spin("retentionManualLimit", kManualSnapshotLimitSettingsKey, policy.manualLimit, 1, 10000);
    // Labels of their own: a row added with an empty text gets none.
    for (QSpinBox *box : {m_keepLast, m_dailyDays, m_monthlyMonths, m_manualLimit}) {
        auto *label = new QLabel(this);
        label->setBuddy(box);
        label->setWordWrap(true);
        m_form->addRow(label, box);
    }

    m_browse = new QPushButton(this);
    m_browse->setObjectName(QStringLiteral("openSnapshotBrowser"));
    connect(m_browse, &QPushButton::clicked, actions.browseSnapshots, &QAction::trigger);
    column->addWidget(m_browse, 0, Qt::AlignLeft);

    relabel();
    onLanguageChange(m_model, this, [this] { relabel(); });
}

void SnapshotRetentionView::relabel()
{
    const std::pair<QSpinBox *, const char *> rows[] = {
        {m_keepLast, textKey("Newest automatic snapshots kept")},
        {m_dailyDays, textKey("Days with one kept each")},
        {m_monthlyMonths, textKey("Months with one kept each")},
        {m_manualLimit, textKey("Manual snapshots kept at most")},
    };
    for (const auto &[box, key] : rows) {
        if (auto *label = qobject_cast<QLabel *>(m_form->labelForField(box)))
            label->setText(localized(key));
    }
    m_browse->setText(localized("Snapshots…"));
}

} // namespace tarni
