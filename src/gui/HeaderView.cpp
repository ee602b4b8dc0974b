#include "gui/HeaderView.h"

#include "app/AppModel.h"
#include "util/Localized.h"
#include "gui/AppActions.h"
#include "gui/GuiSupport.h"

#include <QAction>
#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QToolButton>

namespace tarni {

HeaderView::HeaderView(AppModel &model, AppActions &actions, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_actions(actions)
{
    auto *layout = new QGridLayout(this);
    layout->setContentsMargins(8, 8, 4, 4);
    layout->setHorizontalSpacing(4);
    layout->setVerticalSpacing(0);

    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("workspaceTitle"));
    QFont titleFont = m_title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.25);
    titleFont.setBold(true);
    m_title->setFont(titleFont);
    m_title->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    m_chrome = new QLabel(this);
    m_chrome->setObjectName(QStringLiteral("chromeConnection"));
    m_chrome->setForegroundRole(QPalette::PlaceholderText);
    m_chrome->setWordWrap(true);

    m_menu = new QMenu(this);
    m_menu->addAction(actions.undo);
    m_menu->addAction(actions.redo);
    m_menu->addSeparator();
    m_menu->addActions({actions.cut, actions.copy, actions.paste});
    m_moves = m_menu->addMenu(QString());
    m_moves->setObjectName(QStringLiteral("moveMenu"));
    m_moves->addActions({actions.moveTo, actions.moveUp, actions.moveDown, actions.moveOutOfGroup,
                         actions.moveIntoGroupAbove});
    m_menu->addSeparator();
    m_menu->addAction(actions.settings);
    m_menu->addAction(actions.checkForUpdates);
    m_menu->addAction(actions.reopenOnboarding);
    m_menu->addAction(actions.recoverUnreachableNodes);
    m_menu->addAction(actions.importOtherFormat);
    m_menu->addAction(actions.exportAs);
    m_menu->addSeparator();
    m_menu->addAction(actions.restoreLatestSnapshot);
    m_snapshots = m_menu->addMenu(QString());
    m_snapshots->setObjectName(QStringLiteral("snapshotMenu"));
    connect(m_snapshots, &QMenu::aboutToShow, this, &HeaderView::fillSnapshotMenu);
    m_menu->addAction(actions.showTrash);
    m_menu->addAction(actions.showSyncConflicts);
    m_menu->addAction(actions.browseSnapshots);
    m_menu->addSeparator();
    m_menu->addAction(actions.quit);

    m_menuButton = new QToolButton(this);
    m_menuButton->setObjectName(QStringLiteral("applicationMenuButton"));
    m_menuButton->setIcon(themedIcon(QStringLiteral("open-menu"), QStyle::SP_TitleBarMenuButton));
    m_menuButton->setMenu(m_menu);
    m_menuButton->setPopupMode(QToolButton::InstantPopup);
    m_menuButton->setAutoRaise(true);
    m_menuButton->setFocusPolicy(Qt::StrongFocus);

    layout->addWidget(m_title, 0, 0);
    layout->addWidget(m_menuButton, 0, 1, 2, 1, Qt::AlignTop);
    layout->addWidget(m_chrome, 1, 0);
    layout->setColumnStretch(0, 1);

    refresh();
    connect(&m_model, &AppModel::chromeConnectionSummaryChanged, this, &HeaderView::refresh);
    connect(&m_model, &AppModel::updatesConfiguredChanged, this, &HeaderView::refresh);
    connect(&m_model.treeViewModel(), &TreeViewModel::workspaceChanged, this, &HeaderView::refresh);
    onLanguageChange(m_model, this, [this] { refresh(); });
}

void HeaderView::refresh()
{
    const auto &workspace = m_model.treeViewModel().workspace();
    // The store names a new workspace "Workspace" in English; that name is
    // ours, so it follows the interface language.
    const bool defaultTitle = !workspace || workspace->title.isEmpty() || workspace->title == QLatin1String("Workspace");
    const QString title = defaultTitle ? localized("Workspace") : workspace->title;
    m_title->setText(title);
    m_title->setToolTip(title);
    m_chrome->setText(m_model.chromeConnectionSummary());
    m_snapshots->setTitle(localized("Restore Snapshot"));
    m_moves->setTitle(localized("Move"));
    m_menuButton->setToolTip(localized("Menu"));
    m_menuButton->setAccessibleName(localized("Menu"));
    // Automation runs never look for updates.
    m_actions.checkForUpdates->setVisible(m_model.updatesConfigured() &&
                                          !m_model.dependencies().uiTestConfig.isUITestMode);
}

// Read when the menu opens: snapshots are few and change only by commands.
void HeaderView::fillSnapshotMenu()
{
    constexpr qsizetype kShown = 20;
    m_snapshots->clear();
    // Summaries: a year of automatic snapshots is too much to decode for a menu.
    const QList<SnapshotSummary> snapshots = m_model.snapshotSummaries();
    const QLocale locale = interfaceLocale(m_model);
    if (snapshots.isEmpty())
        m_snapshots->addAction(localized("No snapshots available"))->setEnabled(false);
    for (qsizetype i = 0; i < std::min(snapshots.size(), kShown); ++i) {
        const SnapshotSummary &snapshot = snapshots[i];
        const QUuid id = snapshot.id;
        QAction *entry = m_snapshots->addAction(
            QStringLiteral("%1 — %2").arg(snapshot.title, readableTime(snapshot.createdAt, locale)));
        connect(entry, &QAction::triggered, this, [this, id] { m_model.restoreSnapshot(id); });
    }
}

} // namespace tarni
