#include "gui/SidebarRootView.h"

#include "app/AppModel.h"
#include "util/Localized.h"
#include "gui/AppActions.h"
#include "gui/GuiSupport.h"
#include "gui/HeaderView.h"
#include "gui/NodeContextMenu.h"
#include "gui/inspector/InspectorView.h"
#include "gui/onboarding/OnboardingView.h"
#include "gui/outline/WorkspaceItemModel.h"
#include "gui/outline/WorkspaceOutlineView.h"
#include "gui/settings/SettingsWindow.h"

#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedLayout>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace tarni {

namespace {

// The inspector never takes more of the sidebar than this, however much it
// has to show: the tree keeps the rest.
constexpr double kInspectorShare = 0.4;
// A query this long is shortened in the line saying it matched nothing.
constexpr qsizetype kShownQueryLength = 60;

QLabel *statusLine(QWidget *parent, const QString &name)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.9);
    label->setFont(font);
    return label;
}

} // namespace

SidebarRootView::SidebarRootView(AppModel &model, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
{
    setObjectName(QStringLiteral("sidebarRoot"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_pages = new QStackedWidget(this);
    layout->addWidget(m_pages);

    // The page's actions only answer their shortcuts while the page is
    // shown. Settings and quit belong to the whole application: they work
    // during the onboarding, and from the content-area and settings windows.
    m_main = new QWidget(m_pages);
    m_actions = new AppActions(m_model, m_main);
    for (QAction *action : {m_actions->settings, m_actions->quit}) {
        action->setShortcutContext(Qt::ApplicationShortcut);
        addAction(action);
    }
    connect(m_actions->settings, &QAction::triggered, this, &SidebarRootView::showSettings);
    connect(m_actions->browseSnapshots, &QAction::triggered, this, &SidebarRootView::showSnapshotBrowser);
    connect(m_actions->quit, &QAction::triggered, this, &SidebarRootView::quitRequested);
    connect(m_actions->focusSearch, &QAction::triggered, this, [this] {
        m_search->setFocus(Qt::ShortcutFocusReason);
        m_search->selectAll();
    });
    buildMainPage();
    m_pages->addWidget(m_main);
    m_onboarding = new OnboardingView(m_model, *m_actions, m_pages);
    m_pages->addWidget(m_onboarding);

    // Renaming happens in the inspector, so it shows again for it.
    auto rename = [this] {
        if (!m_model.showInspector())
            m_model.setShowInspector(true);
        m_inspector->beginRename();
    };
    connect(m_actions->rename, &QAction::triggered, m_inspector, rename);
    // A new group is named right away; Esc keeps "New Group".
    connect(m_actions->addGroup, &QAction::triggered, m_inspector, rename);
    connect(m_inspector, &InspectorView::editingDone, this, [this] { m_outline->setFocus(Qt::OtherFocusReason); });
    m_outline->setContextMenuItems(
        [this](const QUuid &id) { return nodeContextMenuItems(m_model, *m_actions, id); });

    auto showPage = [this] { m_pages->setCurrentWidget(m_model.showOnboarding() ? m_onboarding : m_main); };
    showPage();
    connect(&m_model, &AppModel::showOnboardingChanged, this, showPage);
    connect(&m_model, &AppModel::alertMessageChanged, this, &SidebarRootView::showAlertIfAny);
    for (auto signal : {&AppModel::lastOpenSummaryChanged, &AppModel::latestImportStatusChanged,
                        &AppModel::sidebarWidthDescriptionChanged})
        connect(&m_model, signal, this, &SidebarRootView::refreshStatus);
    TreeViewModel &tree = m_model.treeViewModel();
    connect(&tree, &TreeViewModel::writeFailed, this, [this](const QString &description) {
        m_writeFailure->setText(localized("The last change could not be saved."));
        m_writeFailure->setToolTip(description);
        m_writeFailure->show();
    });
    connect(&tree, &TreeViewModel::writeSucceeded, m_writeFailure, &QWidget::hide);
    connect(&tree, &TreeViewModel::searchQueryChanged, this, [this] {
        if (m_search->text() != m_model.treeViewModel().searchQuery())
            m_search->setText(m_model.treeViewModel().searchQuery());
    });
    connect(m_actions, &AppActions::busyChanged, this, [this](int count) { m_busy->setVisible(count > 0); });
    connect(&tree, &TreeViewModel::searchQueryChanged, this, &SidebarRootView::refreshNoMatches);
    connect(m_outline->itemModel(), &WorkspaceItemModel::synced, this, &SidebarRootView::refreshNoMatches);
    connect(m_outline->itemModel(), &QAbstractItemModel::modelReset, this, &SidebarRootView::refreshNoMatches);
    connect(&m_model, &AppModel::showInspectorChanged, this, &SidebarRootView::applyInspectorShown);
    connect(m_showInspector, &QAction::toggled, this, [this](bool on) {
        if (on != m_model.showInspector())
            m_model.setShowInspector(on);
    });
    applyInspectorShown();
    refreshNoMatches();

    relabel();
    refreshStatus();
    onLanguageChange(m_model, this, [this] { relabel(); });
    showAlertIfAny();
    m_outline->setFocus(Qt::OtherFocusReason);
}

SidebarRootView::~SidebarRootView()
{
    // The settings window is a window of its own, not a child.
    delete m_settings.data();
    delete m_snapshotBrowser.data();
}

QWidget *SidebarRootView::buildMainPage()
{
    auto *column = new QVBoxLayout(m_main);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);

    m_header = new HeaderView(m_model, *m_actions, m_main);
    column->addWidget(m_header);

    m_search = new QLineEdit(m_main);
    m_search->setObjectName(QStringLiteral("searchField"));
    m_search->setClearButtonEnabled(true);
    m_search->addAction(themedIcon(QStringLiteral("edit-find"), QStyle::SP_FileDialogContentsView),
                        QLineEdit::LeadingPosition);
    m_search->installEventFilter(this);
    connect(m_search, &QLineEdit::textChanged, this,
            [this](const QString &text) { m_model.treeViewModel().setSearchQuery(text); });
    auto *searchRow = new QHBoxLayout;
    searchRow->setContentsMargins(8, 0, 8, 0);
    searchRow->addWidget(m_search);
    column->addLayout(searchRow);

    auto *toolbar = new QHBoxLayout;
    toolbar->setContentsMargins(6, 0, 6, 0);
    toolbar->setSpacing(1);
    auto *addMenu = new QMenu(m_main);
    addMenu->addActions({m_actions->addGroup, m_actions->addWebLink, m_actions->addSlackThread,
                         m_actions->addFile, m_actions->addFolder});
    m_addButton = new QToolButton(m_main);
    m_addButton->setObjectName(QStringLiteral("addMenuButton"));
    m_addButton->setIcon(themedIcon(QStringLiteral("list-add"), QStyle::SP_FileDialogNewFolder));
    m_addButton->setMenu(addMenu);
    m_addButton->setPopupMode(QToolButton::InstantPopup);
    m_addButton->setAutoRaise(true);
    toolbar->addWidget(m_addButton);
    for (QAction *action : {m_actions->captureTab, m_actions->captureWindow, m_actions->open,
                            m_actions->restoreBrowserSession, m_actions->saveWorkspaceSnapshot,
                            m_actions->restoreLatestSnapshot, m_actions->exportTree, m_actions->importTree}) {
        auto *button = new QToolButton(m_main);
        button->setDefaultAction(action);
        button->setAutoRaise(true);
        button->setIconSize(QSize(18, 18));
        toolbar->addWidget(button);
    }
    toolbar->addStretch(1);
    column->addLayout(toolbar);

    m_writeFailure = new QLabel(m_main);
    m_writeFailure->setObjectName(QStringLiteral("writeFailureBanner"));
    m_writeFailure->setWordWrap(true);
    m_writeFailure->setStyleSheet(QStringLiteral(
        "QLabel { background: #fdecea; color: #8a1c1c; border: 1px solid #e8b4b0; border-radius: 4px; padding: 4px 6px; }"));
    m_writeFailure->hide();
    auto *bannerRow = new QHBoxLayout;
    bannerRow->setContentsMargins(8, 0, 8, 0);
    bannerRow->addWidget(m_writeFailure);
    column->addLayout(bannerRow);

    // Shown while a search finds more matches than the outline shows.
    m_moreMatches = new QLabel(m_main);
    m_moreMatches->setObjectName(QStringLiteral("moreSearchMatches"));
    m_moreMatches->setWordWrap(true);
    m_moreMatches->setContentsMargins(12, 2, 12, 4);
    m_moreMatches->setForegroundRole(QPalette::PlaceholderText);
    m_moreMatches->hide();
    column->addWidget(m_moreMatches);

    // The tree takes the height the inspector does not need.
    auto *outlineArea = new QWidget(m_main);
    m_outlinePages = new QStackedLayout(outlineArea);
    m_outline = new WorkspaceOutlineView(m_model, outlineArea);
    m_noMatches = new QLabel(outlineArea);
    m_noMatches->setObjectName(QStringLiteral("noSearchMatches"));
    m_noMatches->setWordWrap(true);
    m_noMatches->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_noMatches->setContentsMargins(12, 16, 12, 16);
    m_noMatches->setForegroundRole(QPalette::PlaceholderText);
    m_outlinePages->addWidget(m_outline);
    m_outlinePages->addWidget(m_noMatches);
    column->addWidget(outlineArea, 1);

    m_inspectorRule = new QFrame(m_main);
    m_inspectorRule->setFrameShape(QFrame::HLine);
    m_inspectorRule->setFrameShadow(QFrame::Sunken);
    column->addWidget(m_inspectorRule);
    m_inspectorArea = new QScrollArea(m_main);
    m_inspectorArea->setObjectName(QStringLiteral("inspectorArea"));
    m_inspectorArea->setFrameShape(QFrame::NoFrame);
    m_inspectorArea->setWidgetResizable(true);
    m_inspectorArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_inspector = new InspectorView(m_model, *m_actions, m_inspectorArea);
    m_inspectorArea->setWidget(m_inspector);
    m_inspector->installEventFilter(this);
    m_main->installEventFilter(this);
    column->addWidget(m_inspectorArea);

    m_showInspector = new QAction(m_main);
    m_showInspector->setObjectName(QStringLiteral("showInspector"));
    m_showInspector->setCheckable(true);
    m_showInspector->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_I));
    m_showInspector->setShortcutContext(Qt::WindowShortcut);
    m_main->addAction(m_showInspector);
    m_header->menu()->insertAction(m_actions->settings, m_showInspector);
    m_header->menu()->insertSeparator(m_actions->settings);

    column->addWidget(buildStatusArea(m_main));

    setTabOrder(m_header->menuButton(), m_search);
    setTabOrder(m_search, m_addButton);
    setTabOrder(m_addButton, m_outline);
    setTabOrder(m_outline, m_inspector->titleField());
    return m_main;
}

QWidget *SidebarRootView::buildStatusArea(QWidget *parent)
{
    auto *area = new QWidget(parent);
    area->setObjectName(QStringLiteral("statusArea"));
    auto *column = new QVBoxLayout(area);
    column->setContentsMargins(8, 2, 8, 8);
    column->setSpacing(2);

    m_busy = new QWidget(area);
    m_busy->setObjectName(QStringLiteral("busyIndicator"));
    auto *busyRow = new QHBoxLayout(m_busy);
    busyRow->setContentsMargins(0, 0, 0, 0);
    auto *spinner = new QProgressBar(m_busy);
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setMaximumHeight(8);
    m_busyLabel = statusLine(m_busy, QStringLiteral("busyLabel"));
    busyRow->addWidget(spinner, 1);
    busyRow->addWidget(m_busyLabel);
    m_busy->hide();
    column->addWidget(m_busy);

    m_openSummary = statusLine(area, QStringLiteral("lastOpenSummary"));
    m_generalStatus = statusLine(area, QStringLiteral("generalStatus"));
    m_showExport = new QToolButton(area);
    m_showExport->setObjectName(QStringLiteral("showExportButton"));
    m_showExport->setDefaultAction(m_actions->showExport);
    m_showExport->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_showExport->setAutoRaise(true);
    m_showExport->hide();
    m_sidebarWidth = statusLine(area, QStringLiteral("sidebarWidth"));
    m_sidebarWidth->setForegroundRole(QPalette::PlaceholderText);
    column->addWidget(m_openSummary);
    column->addWidget(m_generalStatus);
    column->addWidget(m_showExport, 0, Qt::AlignLeft);
    column->addWidget(m_sidebarWidth);
    return area;
}

void SidebarRootView::relabel()
{
    m_search->setPlaceholderText(localized("Search titles, URLs, or paths"));
    m_search->setAccessibleName(localized("Search"));
    m_addButton->setToolTip(localized("Add"));
    m_addButton->setAccessibleName(localized("Add"));
    m_busyLabel->setText(localized("Working…"));
    m_showInspector->setText(localized("Show Inspector"));
    refreshNoMatches();
    if (m_writeFailure->isVisible())
        m_writeFailure->setText(localized("The last change could not be saved."));
}

void SidebarRootView::refreshStatus()
{
    m_openSummary->setText(m_model.lastOpenSummary());
    m_generalStatus->setText(m_model.latestImportStatus());
    m_generalStatus->setVisible(!m_model.latestImportStatus().isEmpty());
    m_showExport->setVisible(m_model.latestImportStatusNamesExport());
    m_sidebarWidth->setText(m_model.sidebarWidthDescription());
    m_sidebarWidth->setVisible(!m_model.sidebarWidthDescription().isEmpty());
}

bool SidebarRootView::isShowingOnboarding() const
{
    return m_pages->currentWidget() == m_onboarding;
}

void SidebarRootView::showSettings()
{
    if (!m_settings)
        m_settings = new SettingsWindow(m_model, *m_actions);
    m_settings->show();
    m_settings->raise();
    m_settings->activateWindow();
}

void SidebarRootView::showSnapshotBrowser()
{
    if (!m_snapshotBrowser)
        m_snapshotBrowser = new SnapshotBrowserWindow(m_model);
    else
        m_snapshotBrowser->reload();
    m_snapshotBrowser->show();
    m_snapshotBrowser->raise();
    m_snapshotBrowser->activateWindow();
}

// One dialog at a time; a newer alert replaces the text of the one shown.
// Closing it, however, clears the model's alert.
void SidebarRootView::showAlertIfAny()
{
    const auto &message = m_model.alertMessage();
    if (!message) {
        if (m_alert)
            m_alert->close();
        return;
    }
    if (!m_alert) {
        m_alert = new QMessageBox(QMessageBox::Warning, productName(), *message,
                                  QMessageBox::Ok, this);
        m_alert->setObjectName(QStringLiteral("alertDialog"));
        m_alert->setAttribute(Qt::WA_DeleteOnClose);
        m_alert->button(QMessageBox::Ok)->setText(localized("Close"));
        connect(m_alert, &QMessageBox::finished, this, [this] { m_model.dismissAlert(); });
        m_alert->open();
    } else {
        m_alert->setText(*message);
    }
}

void SidebarRootView::applyInspectorShown()
{
    const bool shown = m_model.showInspector();
    m_showInspector->setChecked(shown);
    if (!shown && m_inspector->isAncestorOf(QApplication::focusWidget()))
        m_outline->setFocus(Qt::OtherFocusReason);
    m_inspectorArea->setVisible(shown);
    m_inspectorRule->setVisible(shown);
    fitInspector();
}

void SidebarRootView::fitInspector()
{
    // The frame spans the page; its own width may not have caught up yet.
    const int width = m_main->width();
    const int content =
        m_inspector->hasHeightForWidth() ? m_inspector->heightForWidth(width) : m_inspector->sizeHint().height();
    const int share = int(m_main->height() * kInspectorShare);
    m_inspectorArea->setFixedHeight(std::max(0, std::min(content, share)));
}

void SidebarRootView::refreshNoMatches()
{
    const TreeViewModel &tree = m_model.treeViewModel();
    const bool none = tree.projection().isFiltering() && m_outline->itemModel()->rowCount() == 0;
    if (none) {
        QString query = tree.searchQuery().simplified();
        if (query.size() > kShownQueryLength)
            query = query.left(kShownQueryLength) + QStringLiteral("…");
        m_noMatches->setText(formatted(localized("No nodes match “%@”."), {query}));
    }
    m_outlinePages->setCurrentWidget(none ? static_cast<QWidget *>(m_noMatches) : m_outline);
    const bool limited = tree.projection().isMatchLimited();
    if (limited) {
        m_moreMatches->setText(formatted(localized("Showing the first %lld matches. Type more to narrow the search."),
                                         {QLocale().toString(qulonglong(WorkspaceOutlineView::kSearchMatchLimit))}));
    }
    m_moreMatches->setVisible(limited);
}

bool SidebarRootView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_search && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Escape) {
            m_search->clear();
            m_outline->setFocus(Qt::ShortcutFocusReason);
            return true;
        }
        if (key == Qt::Key_Down && m_outline->isVisible()) {
            m_outline->enterFromSearch();
            return true;
        }
    }
    if ((watched == m_inspector && event->type() == QEvent::LayoutRequest) ||
        (watched == m_main && event->type() == QEvent::Resize))
        fitInspector();
    return QWidget::eventFilter(watched, event);
}

} // namespace tarni
