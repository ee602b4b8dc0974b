#include "gui/AppActions.h"
#include "gui/sync/SyncConflictsWindow.h"
#include "gui/trash/TrashWindow.h"

#include "app/AppModel.h"
#include "util/Localized.h"
#include "gui/EntryDialogs.h"
#include "gui/GuiSupport.h"
#include "gui/InteropDialogs.h"
#include "gui/MoveToDialog.h"
#include "gui/NodeClipboard.h"

#include <QAction>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

namespace tarni {

namespace {

constexpr const char *kKeyProperty = "tarniTextKey";

std::optional<WorkspaceNodeKind> selectedKind(const AppModel &model)
{
    const auto node = model.inspectorViewModel().selectedNode();
    return node ? std::optional(node->kind()) : std::nullopt;
}

} // namespace

AppActions::AppActions(AppModel &model, QWidget *window)
    : QObject(window)
    , m_model(model)
    , m_window(window)
{
    using K = QKeySequence;
    using S = QStyle;
    settings = make(textKey("Settings…"), K(Qt::CTRL | Qt::Key_Comma), QStringLiteral("preferences-system"));
    checkForUpdates = make(textKey("Check for Updates…"), K(), QStringLiteral("system-software-update"));
    reopenOnboarding = make(textKey("Reopen Onboarding"), K(), QStringLiteral("help-about"));
    recoverUnreachableNodes = make(textKey("Recover Unreachable Nodes"), K());
    quit = make(textKey("Quit"), K(Qt::CTRL | Qt::Key_Q), QStringLiteral("application-exit"));
    focusSearch = make(textKey("Search"), K(Qt::CTRL | Qt::Key_F), QStringLiteral("edit-find"));

    addGroup = make(textKey("Group"), K(Qt::CTRL | Qt::SHIFT | Qt::Key_N), QStringLiteral("folder-new"));
    addWebLink = make(textKey("Web Link…"), K(Qt::CTRL | Qt::Key_L), QStringLiteral("insert-link"));
    addSlackThread = make(textKey("Slack Thread…"), K(Qt::CTRL | Qt::SHIFT | Qt::Key_L), QStringLiteral("chat-message-new"));
    addFile = make(textKey("File…"), K(Qt::CTRL | Qt::Key_O), QStringLiteral("document-open"));
    addFolder = make(textKey("Folder…"), K(Qt::CTRL | Qt::SHIFT | Qt::Key_O), QStringLiteral("folder"));
    captureTab = make(textKey("Capture Current Tab"), K(Qt::CTRL | Qt::SHIFT | Qt::Key_T), QStringLiteral("tab-new"));
    captureWindow =
        make(textKey("Capture Current Window"), K(Qt::CTRL | Qt::SHIFT | Qt::Key_W), QStringLiteral("window-new"));

    open = make(textKey("Open"), K(Qt::CTRL | Qt::Key_Return), QStringLiteral("go-jump"));
    openInSlackApp =
        make(textKey("Open in Slack App"), K(Qt::CTRL | Qt::SHIFT | Qt::Key_K), QStringLiteral("chat-message-new"));
    restoreBrowserSession = make(textKey("Restore Browser Session"), K(Qt::CTRL | Qt::SHIFT | Qt::Key_R),
                                 QStringLiteral("view-restore"));
    reveal = make(textKey("Reveal in File Manager"), K(Qt::CTRL | Qt::SHIFT | Qt::Key_F), QStringLiteral("system-file-manager"));
    rename = make(textKey("Rename"), K(Qt::Key_F2), QStringLiteral("document-edit"));
    duplicate = make(textKey("Duplicate"), K(Qt::CTRL | Qt::Key_D), QStringLiteral("edit-copy"));
    remove = make(textKey("Delete"), K(Qt::Key_Delete), QStringLiteral("edit-delete"));
    exportTree = make(textKey("Export"), K(Qt::CTRL | Qt::Key_E), QStringLiteral("document-send"));
    saveSubtreeSnapshot =
        make(textKey("Save Snapshot"), K(Qt::CTRL | Qt::ALT | Qt::Key_S), QStringLiteral("document-save-as"));
    importTree = make(textKey("Import…"), K(Qt::CTRL | Qt::Key_I), QStringLiteral("insert-object"));
    saveWorkspaceSnapshot =
        make(textKey("Save Workspace Snapshot"), K(Qt::CTRL | Qt::Key_S), QStringLiteral("document-save"));
    restoreLatestSnapshot = make(textKey("Restore Latest Snapshot"), K(Qt::CTRL | Qt::ALT | Qt::Key_R),
                                 QStringLiteral("document-revert"));
    browseSnapshots = make(textKey("Snapshots…"), K(Qt::CTRL | Qt::SHIFT | Qt::Key_S), QStringLiteral("document-open-recent"));

    moveUp = make(textKey("Move Up"), K(Qt::ALT | Qt::Key_Up), QStringLiteral("go-up"));
    moveDown = make(textKey("Move Down"), K(Qt::ALT | Qt::Key_Down), QStringLiteral("go-down"));
    moveOutOfGroup = make(textKey("Move Out of Group"), K(Qt::ALT | Qt::Key_Left), QStringLiteral("go-previous"));
    moveIntoGroupAbove = make(textKey("Move into Group Above"), K(Qt::ALT | Qt::Key_Right), QStringLiteral("go-next"));
    moveTo = make(textKey("Move to…"), K(Qt::CTRL | Qt::Key_M), QStringLiteral("go-jump"));
    cut = make(textKey("Cut"), K(QKeySequence::Cut), QStringLiteral("edit-cut"));
    copy = make(textKey("Copy"), K(QKeySequence::Copy), QStringLiteral("edit-copy"));
    paste = make(textKey("Paste"), K(QKeySequence::Paste), QStringLiteral("edit-paste"));

    undo = make(textKey("Undo"), K(QKeySequence::Undo), QStringLiteral("edit-undo"));
    redo = make(textKey("Redo"), K(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QStringLiteral("edit-redo"));
    redo->setShortcuts({K(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), K(Qt::CTRL | Qt::Key_Y)});
    showTrash = make(textKey("Trash…"), K(Qt::CTRL | Qt::SHIFT | Qt::Key_Delete), QStringLiteral("user-trash"));
    showSyncConflicts = make(textKey("Sync Conflicts…"), K(), QStringLiteral("dialog-warning"));
    importOtherFormat = make(textKey("Import from Other Formats…"), K(Qt::CTRL | Qt::SHIFT | Qt::Key_I),
                             QStringLiteral("document-import"));
    exportAs = make(textKey("Export As…"), K(Qt::CTRL | Qt::SHIFT | Qt::Key_E), QStringLiteral("document-export"));
    showExport = make(textKey("Show in Folder"), K(), QStringLiteral("folder-open"));

    // Icons the theme may lack get the style's own.
    const std::pair<QAction *, S::StandardPixmap> fallbacks[] = {
        {settings, S::SP_FileDialogDetailedView}, {addGroup, S::SP_FileDialogNewFolder},
        {addFile, S::SP_FileIcon},                {addFolder, S::SP_DirIcon},
        {captureTab, S::SP_ArrowDown},            {captureWindow, S::SP_TitleBarNormalButton},
        {open, S::SP_DialogOpenButton},           {restoreBrowserSession, S::SP_BrowserReload},
        {reveal, S::SP_DirOpenIcon},              {remove, S::SP_TrashIcon},
        {exportTree, S::SP_ArrowUp},              {importTree, S::SP_ArrowDown},
        {exportAs, S::SP_ArrowUp},                {importOtherFormat, S::SP_ArrowDown},
        {saveWorkspaceSnapshot, S::SP_DialogSaveButton}, {restoreLatestSnapshot, S::SP_DialogResetButton},
        {quit, S::SP_DialogCloseButton},          {focusSearch, S::SP_FileDialogContentsView},
        {showExport, S::SP_DirOpenIcon},          {showSyncConflicts, S::SP_MessageBoxWarning},
        {moveUp, S::SP_ArrowUp},                  {moveDown, S::SP_ArrowDown},
        {moveOutOfGroup, S::SP_ArrowLeft},        {moveIntoGroupAbove, S::SP_ArrowRight},
    };
    for (QAction *action : std::as_const(m_all)) {
        const QString name = action->property("tarniIconName").toString();
        if (name.isEmpty())
            continue;
        S::StandardPixmap pixmap = S::SP_CustomBase;
        for (const auto &[withFallback, standard] : fallbacks)
            if (withFallback == action)
                pixmap = standard;
        action->setIcon(themedIcon(name, pixmap));
    }

    connect(checkForUpdates, &QAction::triggered, this, [this] { m_model.requestCheckForUpdates(); });
    connect(reopenOnboarding, &QAction::triggered, this, [this] { m_model.reopenOnboarding(); });
    connect(recoverUnreachableNodes, &QAction::triggered, this, [this] { m_model.recoverUnreachableNodes(); });
    connect(addGroup, &QAction::triggered, this, [this] { m_model.addGroup(); });
    connect(addWebLink, &QAction::triggered, this, [this] {
        auto *dialog = AddressEntryDialog::webLink(m_window);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(dialog, &QDialog::accepted, this, [this, dialog] { m_model.addWebLink(dialog->address()); });
        dialog->open();
    });
    connect(addSlackThread, &QAction::triggered, this, [this] {
        auto *dialog = AddressEntryDialog::slackThread(m_window);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(dialog, &QDialog::accepted, this, [this, dialog] { m_model.addSlackPermalink(dialog->address()); });
        dialog->open();
    });
    connect(addFile, &QAction::triggered, this, [this] {
        const QUrl url = QFileDialog::getOpenFileUrl(m_window, localized("Add File"));
        if (url.isLocalFile())
            m_model.addFile(url, false);
    });
    connect(addFolder, &QAction::triggered, this, [this] {
        const QUrl url = QFileDialog::getExistingDirectoryUrl(m_window, localized("Add Folder"));
        if (url.isLocalFile())
            m_model.addFile(url, true);
    });
    connect(captureTab, &QAction::triggered, this,
            [this] { runLong(captureTab, [this] { return m_model.captureCurrentChromeTab(); }); });
    connect(captureWindow, &QAction::triggered, this,
            [this] { runLong(captureWindow, [this] { return m_model.captureCurrentChromeWindow(); }); });
    connect(open, &QAction::triggered, this, [this] { runLong(open, [this] { return m_model.openSelectedNode(); }); });
    connect(openInSlackApp, &QAction::triggered, this, [this] { m_model.openSelectedInSlackApp(); });
    connect(restoreBrowserSession, &QAction::triggered, this,
            [this] { runLong(restoreBrowserSession, [this] { return m_model.restoreSelectedSubtree(); }); });
    connect(reveal, &QAction::triggered, this,
            [this] { runLong(reveal, [this] { return m_model.revealSelectedInFinder(); }); });
    connect(duplicate, &QAction::triggered, this, [this] { m_model.duplicateSelectedNode(); });
    connect(remove, &QAction::triggered, this, &AppActions::confirmDelete);
    connect(exportTree, &QAction::triggered, this, [this] { m_model.exportSelectedSubtree(); });
    connect(saveSubtreeSnapshot, &QAction::triggered, this, [this] { saveManualSnapshot(true); });
    connect(importTree, &QAction::triggered, this, &AppActions::chooseImportFile);
    connect(saveWorkspaceSnapshot, &QAction::triggered, this, [this] { saveManualSnapshot(false); });
    connect(restoreLatestSnapshot, &QAction::triggered, this, [this] { m_model.restoreLatestSnapshot(); });
    connect(undo, &QAction::triggered, this, [this] { m_model.undo(); });
    connect(redo, &QAction::triggered, this, [this] { m_model.redo(); });
    connect(showTrash, &QAction::triggered, this, [this] {
        if (!m_trashWindow) {
            m_trashWindow = new TrashWindow(m_model, m_window);
            m_trashWindow->setAttribute(Qt::WA_DeleteOnClose);
        }
        m_trashWindow->show();
        m_trashWindow->raise();
        m_trashWindow->activateWindow();
    });
    connect(showSyncConflicts, &QAction::triggered, this, [this] {
        if (!m_model.sync())
            return;
        if (!m_syncConflictsWindow) {
            auto *window = new SyncConflictsWindow(m_model, m_window);
            window->setAttribute(Qt::WA_DeleteOnClose);
            connect(window, &SyncConflictsWindow::conflictsChanged, this, &AppActions::syncConflictsChanged);
            m_syncConflictsWindow = window;
        }
        m_syncConflictsWindow->show();
        m_syncConflictsWindow->raise();
        m_syncConflictsWindow->activateWindow();
    });
    showSyncConflicts->setEnabled(m_model.sync() != nullptr);
    connect(&m_model, &AppModel::historyChanged, this, &AppActions::updateUndoRedo);
    const std::pair<QAction *, AppModel::NodeMove> moves[] = {{moveUp, AppModel::NodeMove::up},
                                                              {moveDown, AppModel::NodeMove::down},
                                                              {moveOutOfGroup, AppModel::NodeMove::outOfGroup},
                                                              {moveIntoGroupAbove, AppModel::NodeMove::intoGroupAbove}};
    for (const auto &[action, move] : moves)
        connect(action, &QAction::triggered, this, [this, move = move] { m_model.moveSelectedNode(move); });
    connect(moveTo, &QAction::triggered, this, &AppActions::chooseMoveDestination);
    m_clipboard = new NodeClipboard(m_model, this);
    connect(cut, &QAction::triggered, m_clipboard, &NodeClipboard::cutSelected);
    connect(copy, &QAction::triggered, m_clipboard, &NodeClipboard::copySelected);
    connect(paste, &QAction::triggered, m_clipboard, &NodeClipboard::paste);
    connect(m_clipboard, &NodeClipboard::canPasteChanged, this, &AppActions::updateEnabled);
    connect(&m_model.treeViewModel(), &TreeViewModel::searchQueryChanged, this, &AppActions::updateEnabled);
    connect(importOtherFormat, &QAction::triggered, this, &AppActions::chooseInteropImportFile);
    connect(exportAs, &QAction::triggered, this, &AppActions::chooseExportFile);
    connect(showExport, &QAction::triggered, this,
            [this] { runLong(showExport, [this] { return m_model.revealLatestExport(); }); });

    if (window)
        window->addActions(m_all);
    retranslate();
    updateEnabled();
    onLanguageChange(m_model, this, [this] { retranslate(); });
    connect(&m_model, &AppModel::changed, this, &AppActions::updateEnabled);
    connect(&m_model, &AppModel::latestExportPathChanged, this, &AppActions::updateEnabled);
}

AppActions::~AppActions() = default;

QAction *AppActions::make(const char *key, const QKeySequence &shortcut, const QString &iconName)
{
    auto *action = new QAction(this);
    action->setProperty(kKeyProperty, QString::fromUtf8(key));
    action->setProperty("tarniIconName", iconName);
    action->setShortcut(shortcut);
    action->setShortcutContext(Qt::WindowShortcut);
    m_all.append(action);
    return action;
}

void AppActions::retranslate()
{
    for (QAction *action : std::as_const(m_all)) {
        const QString text = localized(action->property(kKeyProperty).toString());
        action->setText(text);
        const QKeySequence shortcut = action->shortcut();
        action->setToolTip(shortcut.isEmpty()
                               ? text
                               : QStringLiteral("%1 (%2)").arg(text, shortcut.toString(QKeySequence::NativeText)));
    }
    updateUndoRedo();
}

void AppActions::updateUndoRedo()
{
    undo->setText(m_model.undoMenuTitle());
    undo->setEnabled(m_model.treeViewModel().nextUndo().has_value());
    redo->setText(m_model.redoMenuTitle());
    redo->setEnabled(m_model.treeViewModel().nextRedo().has_value());
}

bool AppActions::mayHaveBrowserSession(const std::optional<QUuid> &nodeID) const
{
    const auto node = m_model.treeViewModel().node(nodeID);
    return node &&
        (node->kind() == WorkspaceNodeKind::chromeTab || !m_model.treeViewModel().projection().siblings(node->id()).empty());
}

// Cheap checks only: this runs after every edit.
void AppActions::updateEnabled()
{
    const auto kind = selectedKind(m_model);
    const bool selected = kind.has_value();
    auto enable = [this](QAction *action, bool on) { action->setEnabled(on && !m_running.contains(action)); };
    enable(open, selected && kind != WorkspaceNodeKind::group);
    enable(openInSlackApp, kind == WorkspaceNodeKind::slackThread);
    enable(restoreBrowserSession, mayHaveBrowserSession(m_model.selectionCoordinator().selectedNodeID()));
    enable(reveal, kind == WorkspaceNodeKind::file || kind == WorkspaceNodeKind::folder);
    enable(rename, selected);
    enable(duplicate, selected);
    enable(remove, selected);
    enable(saveSubtreeSnapshot, selected);
    enable(showExport, !m_model.latestExportPath().isEmpty());

    // `selected` is false for a node the outline does not show (a search
    // hides it): nothing acts on it then, not even a paste beside it.
    const bool hiddenSelection = !selected && m_model.selectionCoordinator().selectedNodeID().has_value();
    const std::array<bool, 4> possible = m_model.possibleMoves();
    enable(moveUp, possible[std::size_t(AppModel::NodeMove::up)]);
    enable(moveDown, possible[std::size_t(AppModel::NodeMove::down)]);
    enable(moveOutOfGroup, possible[std::size_t(AppModel::NodeMove::outOfGroup)]);
    enable(moveIntoGroupAbove, possible[std::size_t(AppModel::NodeMove::intoGroupAbove)]);
    enable(moveTo, selected);
    enable(cut, selected);
    enable(copy, selected);
    enable(paste, m_clipboard && m_clipboard->canPaste() && !hiddenSelection);
}

void AppActions::runLong(QAction *action, std::function<QCoro::Task<>()> command)
{
    if (action && m_running.contains(action))
        return;
    if (action) {
        m_running.append(action);
        action->setEnabled(false);
    }
    ++m_busy;
    Q_EMIT busyChanged(m_busy);
    [](QPointer<AppActions> self, QPointer<QAction> action, std::function<QCoro::Task<>()> command) -> QCoro::Task<> {
        co_await command();
        if (!self)
            co_return;
        if (action) {
            self->m_running.removeAll(action.data());
            action->setEnabled(true);
        }
        --self->m_busy;
        self->updateEnabled();
        Q_EMIT self->busyChanged(self->m_busy);
    }(this, action, std::move(command));
}

void AppActions::runLong(QAction *action, std::function<QCoro::Task<bool>()> command)
{
    runLong(action, [command = std::move(command)] {
        return [](QCoro::Task<bool> task) -> QCoro::Task<> { co_await task; }(command());
    });
}

void AppActions::chooseImportFile()
{
    const QUrl url = QFileDialog::getOpenFileUrl(m_window, localized("Import"), {},
                                                 localized("Exported trees (*.json)") + QStringLiteral(";;") +
                                                     localized("All files (*)"));
    if (url.isLocalFile())
        m_model.importTree(url);
}

void AppActions::chooseInteropImportFile()
{
    const QStringList filters = importFileFilters();
    const QString path =
        QFileDialog::getOpenFileName(m_window, localized("Import from Other Formats"), {}, filters.join(QStringLiteral(";;")));
    if (!path.isEmpty())
        previewImport(path);
}

ImportPreviewDialog *AppActions::previewImport(const QString &path)
{
    auto *dialog = new ImportPreviewDialog(path, m_window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        if (const InteropImport *imported = dialog->result())
            m_model.importInteropDocument(*imported);
    });
    dialog->open();
    return dialog;
}

void AppActions::chooseExportFile()
{
    const QStringList filters = exportFileFilters();
    QString filter = filters.front();
    QString path = QFileDialog::getSaveFileName(m_window, localized("Export As"), {}, filters.join(QStringLiteral(";;")),
                                                &filter);
    if (path.isEmpty())
        return;
    const InteropFormat format = exportFormatOfFilter(filter).value_or(InteropFormat::bookmarks);
    if (QFileInfo(path).suffix().isEmpty())
        path += QLatin1Char('.') + interopFileSuffix(format);
    m_model.exportSelectedSubtreeAs(format, path);
}

MoveToDialog *AppActions::chooseMoveDestination()
{
    const auto selected = m_model.selectionCoordinator().selectedNodeID();
    if (!selected || !m_model.treeViewModel().node(selected))
        return nullptr;
    auto *dialog = new MoveToDialog(m_model, *selected, m_window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        // Only the node that was asked about, and only if it is still selected.
        const auto parent = dialog->chosenParent();
        if (parent && m_model.selectionCoordinator().selectedNodeID() == dialog->nodeID())
            m_model.moveSelectedNodeInto(*parent);
    });
    connect(dialog, &QDialog::finished, this, [this] {
        if (m_window)
            m_window->activateWindow();
    });
    dialog->open();
    return dialog;
}

// A node with nothing below it goes at once; one with children takes its
// whole subtree along, so that is asked first.
void AppActions::confirmDelete()
{
    const auto node = m_model.inspectorViewModel().selectedNode();
    if (!node)
        return;
    if (m_model.treeViewModel().projection().siblings(node->id()).empty()) {
        m_model.deleteSelectedNode();
        return;
    }
    const QUuid id = node->id();
    auto *box = new QMessageBox(QMessageBox::Warning, localized("Delete"),
                                formatted(localized("Delete “%@” and everything inside it?"), {node->title()}),
                                QMessageBox::NoButton, m_window);
    box->setObjectName(QStringLiteral("confirmDelete"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *confirm = box->addButton(localized("Delete"), QMessageBox::DestructiveRole);
    box->addButton(localized("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(qobject_cast<QPushButton *>(box->buttons().last()));
    connect(box, &QMessageBox::finished, this, [this, box, confirm, id] {
        // Only the node that was asked about, and only if it is still selected.
        if (box->clickedButton() == confirm && m_model.selectionCoordinator().selectedNodeID() == id)
            m_model.deleteSelectedNode();
    });
    box->open();
}

// Manual snapshots are kept up to a limit; the oldest go only when the user
// agreed, for this save, to exactly those.
void AppActions::saveManualSnapshot(bool subtree)
{
    const QList<SnapshotSummary> doomed = m_model.manualSnapshotsToRemove();
    if (doomed.isEmpty()) {
        subtree ? m_model.saveSnapshotOfSelectedSubtree() : m_model.saveSnapshotOfWorkspace();
        return;
    }
    const QLocale locale = interfaceLocale(m_model);
    const SnapshotSummary &oldest = doomed.first();
    const QString when = locale.toString(
        QDateTime::fromSecsSinceEpoch(oldest.createdAt.time_since_epoch().count()).toLocalTime(), QLocale::ShortFormat);
    const QString question = doomed.size() == 1
        ? formatted(localized("You keep at most %lld manual snapshots. Saving this one deletes the oldest, “%@” of %@."),
                    {QString::number(m_model.manualSnapshotLimit()), oldest.title, when})
        : formatted(localized("You keep at most %lld manual snapshots. Saving this one deletes the %lld oldest, from “%@” of %@ on."),
                    {QString::number(m_model.manualSnapshotLimit()),
                     QString::number(doomed.size()), oldest.title, when});
    auto *box = new QMessageBox(QMessageBox::Warning, localized("Save Snapshot"),
                                question + QStringLiteral("\n\n") +
                                    localized("To keep them, cancel and raise the limit in Settings."),
                                QMessageBox::NoButton, m_window);
    box->setObjectName(QStringLiteral("confirmSnapshotLimit"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *confirm = box->addButton(localized("Delete and Save"), QMessageBox::DestructiveRole);
    box->setDefaultButton(box->addButton(localized("Cancel"), QMessageBox::RejectRole));
    QList<QUuid> ids;
    for (const SnapshotSummary &summary : doomed)
        ids.push_back(summary.id);
    connect(box, &QMessageBox::finished, this, [this, box, confirm, ids, subtree] {
        if (box->clickedButton() != confirm)
            return;
        subtree ? m_model.saveSnapshotOfSelectedSubtree(ids) : m_model.saveSnapshotOfWorkspace(ids);
    });
    box->open();
}

} // namespace tarni
