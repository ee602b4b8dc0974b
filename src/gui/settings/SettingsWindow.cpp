#include "gui/settings/SettingsWindow.h"

#include "app/AppModel.h"
#include "util/Localized.h"
#include "gui/AppActions.h"
#include "gui/GuiSupport.h"
#include "gui/WindowScreenFit.h"
#include "gui/settings/LanguagePicker.h"
#include "gui/settings/PermissionStatusView.h"
#include "gui/settings/SnapshotRetentionView.h"
#include "gui/settings/SyncSettingsView.h"
#include "opening/ExternalOpening.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QUrl>
#include <QHBoxLayout>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

namespace tarni {

namespace {

QLabel *statusLabel(QWidget *parent, const QString &name)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

} // namespace

SettingsWindow::SettingsWindow(AppModel &model, AppActions &actions, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_model(model)
    , m_actions(actions)
{
    setObjectName(QStringLiteral("settingsWindow"));
    setAttribute(Qt::WA_QuitOnClose, false);
    auto *layout = new QVBoxLayout(this);
    // The sections scroll when the screen is too short for them; the Close
    // button stays below them, always in view.
    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("settingsScroll"));
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_sections = new QWidget(m_scroll);
    auto *sections = new QVBoxLayout(m_sections);
    sections->setContentsMargins(0, 0, 0, 0);
    m_scroll->setWidget(m_sections);
    layout->addWidget(m_scroll, 1);

    QGroupBox *language = addSection(textKey("Language"));
    language->layout()->addWidget(new LanguagePicker(m_model, language));

    QGroupBox *updates = addSection(textKey("Updates"));
    m_autoCheck = labelled(new QCheckBox(updates), textKey("Check for updates automatically"));
    m_autoCheck->setObjectName(QStringLiteral("autoCheckUpdates"));
    connect(m_autoCheck, &QCheckBox::toggled, this, [this](bool on) {
        if (on != m_model.autoCheckUpdatesEnabled())
            m_model.setAutoCheckUpdatesEnabled(on);
    });
    auto *checkNow = m_checkNow = labelled(new QPushButton(updates), textKey("Check for Updates…"));
    connect(checkNow, &QPushButton::clicked, this, [this] { m_model.requestCheckForUpdates(); });
    m_updatesStatus = statusLabel(updates, QStringLiteral("updatesStatus"));
    updates->layout()->addWidget(m_autoCheck);
    updates->layout()->addWidget(checkNow);
    updates->layout()->addWidget(m_updatesStatus);
    static_cast<QVBoxLayout *>(updates->layout())->setAlignment(checkNow, Qt::AlignLeft);

    QGroupBox *placement = addSection(textKey("Window Placement"));
    placement->layout()->addWidget(new PermissionStatusView(m_model, m_actions, placement));

    QGroupBox *chrome = addSection(textKey("Chrome"));
    auto *install = labelled(new QPushButton(chrome), textKey("Install Native Host Manifest"));
    connect(install, &QPushButton::clicked, this, [this] {
        m_showGeneralStatus = true;
        m_model.installNativeHostManifest();
    });
    auto *reveal = labelled(new QPushButton(chrome), textKey("Reveal Chrome Extension"));
    connect(reveal, &QPushButton::clicked, this, [this] {
        m_showGeneralStatus = true;
        m_actions.runLong(nullptr, [this] { return m_model.revealBundledChromeExtension(); });
    });
    m_chromeStatus = statusLabel(chrome, QStringLiteral("chromeStatus"));
    chrome->layout()->addWidget(install);
    chrome->layout()->addWidget(reveal);
    chrome->layout()->addWidget(m_chromeStatus);

    QGroupBox *data = addSection(textKey("Data Folder"));
    m_dataFolder = statusLabel(data, QStringLiteral("dataFolder"));
    m_dataFolder->setText(QString::fromStdString(m_model.dependencies().uiTestConfig.applicationSupportRoot.string()));
    auto *openData = labelled(new QPushButton(data), textKey("Open Data Folder"));
    connect(openData, &QPushButton::clicked, this, [this] {
        ExternalOpening *opener = m_model.dependencies().externalOpener;
        if (const auto folder = EntryRules::fileAddress(m_dataFolder->text()); opener && folder)
            opener->open(*folder);
    });
    data->layout()->addWidget(m_dataFolder);
    data->layout()->addWidget(openData);
    static_cast<QVBoxLayout *>(data->layout())->setAlignment(openData, Qt::AlignLeft);

    QGroupBox *syncSection = addSection(textKey("Sync"));
    syncSection->setObjectName(QStringLiteral("syncSection"));
    m_sync = new SyncSettingsView(m_model, m_actions, syncSection);
    syncSection->layout()->addWidget(m_sync);

    QGroupBox *snapshots = addSection(textKey("Snapshots"));
    snapshots->layout()->addWidget(new SnapshotRetentionView(m_model, m_actions, snapshots));

    QGroupBox *sidebar = addSection(textKey("Sidebar"));
    m_sidebarWidth = statusLabel(sidebar, QStringLiteral("sidebarWidth"));
    sidebar->layout()->addWidget(m_sidebarWidth);
    m_singleClick = labelled(new QCheckBox(sidebar), textKey("Open with a single click"));
    m_singleClick->setObjectName(QStringLiteral("openWithSingleClick"));
    connect(m_singleClick, &QCheckBox::toggled, this, [this](bool on) {
        if (on != m_model.openWithSingleClick())
            m_model.setOpenWithSingleClick(on);
    });
    sidebar->layout()->addWidget(m_singleClick);
    m_showsTargetWindow = labelled(new QCheckBox(sidebar), textKey("Show the window that marks where opened windows are placed"));
    m_showsTargetWindow->setObjectName(QStringLiteral("showsManagedTargetWindow"));
    connect(m_showsTargetWindow, &QCheckBox::toggled, this, [this](bool on) {
        if (on != m_model.showsManagedTargetWindow())
            m_model.setShowsManagedTargetWindow(on);
    });
    sidebar->layout()->addWidget(m_showsTargetWindow);

    QGroupBox *trash = addSection(textKey("Trash"));
    auto *trashRow = new QHBoxLayout;
    m_trashDaysLabel = new QLabel(trash);
    m_trashDaysLabel->setWordWrap(true);
    m_trashDays = new QSpinBox(trash);
    m_trashDays->setObjectName(QStringLiteral("trashRetentionDays"));
    m_trashDays->setRange(1, kMaxTrashRetentionDays);
    m_trashDaysLabel->setBuddy(m_trashDays);
    connect(m_trashDays, &QSpinBox::valueChanged, this, [this](int days) {
        if (days != m_model.trashRetentionDays())
            m_model.setTrashRetentionDays(days);
    });
    trashRow->addWidget(m_trashDaysLabel, 1);
    trashRow->addWidget(m_trashDays);
    static_cast<QVBoxLayout *>(trash->layout())->addLayout(trashRow);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close);
    auto *escape = new QAction(this);
    escape->setShortcut(QKeySequence(Qt::Key_Escape));
    connect(escape, &QAction::triggered, this, &QWidget::close);
    addAction(escape);
    sections->addStretch(1);
    layout->addWidget(buttons);
    m_texts.append({buttons->button(QDialogButtonBox::Close), textKey("Close")});

    // Scrolling over the sections must not turn the spin boxes and pickers
    // it passes over; they take the wheel once they have the focus.
    for (QWidget *field : m_sections->findChildren<QWidget *>()) {
        if (qobject_cast<QAbstractSpinBox *>(field) || qobject_cast<QComboBox *>(field)) {
            field->setFocusPolicy(Qt::StrongFocus);
            field->installEventFilter(this);
        }
    }

    relabel();
    refresh();
    for (auto signal : {&AppModel::updatesStatusChanged, &AppModel::autoCheckUpdatesEnabledChanged,
                        &AppModel::chromeConnectionSummaryChanged, &AppModel::latestImportStatusChanged,
                        &AppModel::sidebarWidthDescriptionChanged, &AppModel::updatesConfiguredChanged,
                        &AppModel::openWithSingleClickChanged, &AppModel::showsManagedTargetWindowChanged})
        connect(&m_model, signal, this, &SettingsWindow::refresh);
    onLanguageChange(m_model, this, [this] {
        relabel();
        refresh();
    });
    resize(440, 0);
    fitHeight();
}

QGroupBox *SettingsWindow::addSection(const char *key)
{
    auto *box = labelled(new QGroupBox(this), key);
    auto *column = new QVBoxLayout(box);
    column->setSpacing(6);
    m_sections->layout()->addWidget(box);
    return box;
}

template <class W>
W *SettingsWindow::labelled(W *widget, const char *key)
{
    m_texts.append({widget, key});
    return widget;
}

void SettingsWindow::relabel()
{
    setWindowTitle(localized("Settings"));
    m_trashDaysLabel->setText(localized("Erase items in the trash after this many days:"));
    for (const Text &text : std::as_const(m_texts)) {
        const QString label = localized(QString::fromUtf8(text.key));
        if (auto *box = qobject_cast<QGroupBox *>(text.widget))
            box->setTitle(label);
        else if (auto *button = qobject_cast<QAbstractButton *>(text.widget))
            button->setText(label);
    }
}

void SettingsWindow::refresh()
{
    m_autoCheck->setChecked(m_model.autoCheckUpdatesEnabled());
    m_singleClick->setChecked(m_model.openWithSingleClick());
    m_updatesStatus->setText(m_model.updatesStatus());
    // The status line says why when this build cannot look for updates.
    m_checkNow->setEnabled(m_model.updatesConfigured() && !m_model.dependencies().uiTestConfig.isUITestMode);
    QStringList chrome{m_model.chromeConnectionSummary()};
    if (m_showGeneralStatus)
        chrome << m_model.latestImportStatus();
    m_chromeStatus->setText(chrome.join(QLatin1Char('\n')).trimmed());
    m_sidebarWidth->setText(m_model.sidebarWidthDescription());
    m_showsTargetWindow->setChecked(m_model.showsManagedTargetWindow());
    {
        const QSignalBlocker quiet(m_trashDays);
        m_trashDays->setValue(m_model.trashRetentionDays());
    }
    fitHeight();
}

// A status line that wraps onto more lines reaches this window's layout
// only after its group box has laid itself out again: fit then.
bool SettingsWindow::event(QEvent *event)
{
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::LayoutRequest || event->type() == QEvent::ScreenChangeInternal)
        fitHeight();
    return handled;
}

bool SettingsWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Wheel && watched->isWidgetType() && !static_cast<QWidget *>(watched)->hasFocus()) {
        QCoreApplication::sendEvent(m_scroll->verticalScrollBar(), event);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void SettingsWindow::showEvent(QShowEvent *event)
{
    fitHeight();
    fitOnScreen(*this);
    QWidget::showEvent(event);
}

// As tall as the sections need, but never taller than the screen: the rest
// scrolls. Only ever grows on its own, so a height the user chose stays.
void SettingsWindow::fitHeight()
{
    QLayout *sections = m_sections->layout();
    const int sectionsHeight = sections->hasHeightForWidth()
        ? sections->totalHeightForWidth(m_scroll->viewport()->width() > 0 ? m_scroll->viewport()->width() : width())
        : sections->totalSizeHint().height();
    const QMargins margins = layout()->contentsMargins();
    // Never narrower than the sections: they scroll up and down only.
    setMinimumWidth(sections->totalMinimumSize().width() + m_scroll->verticalScrollBar()->sizeHint().width()
                    + margins.left() + margins.right());
    const int chrome = margins.top() + margins.bottom() + layout()->spacing()
        + layout()->itemAt(layout()->count() - 1)->sizeHint().height();
    int wanted = sectionsHeight + chrome;
    // Enough of the sections to see that they scroll.
    setMinimumHeight(std::min(wanted, chrome + 120));
    if (const QScreen *screen = this->screen()) {
        const QRect available = screen->availableGeometry();
        // The window manager's title bar and border come on top.
        const int frame = std::max(frameGeometry().height() - geometry().height(), 0);
        const int room = available.height() - (frame > 0 ? frame : 32);
        wanted = std::min(wanted, room);
        setMaximumHeight(std::max(room, minimumHeight()));
    }
    if (height() < wanted)
        resize(width(), wanted);
}

} // namespace tarni
