#pragma once

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>
#include <QPointer>

#include <QUuid>

#include <functional>
#include <optional>

class QAction;
class QWidget;

namespace tarni {

class AppModel;
class ImportPreviewDialog;
class MoveToDialog;
class NodeClipboard;

// Every command of the sidebar as one action with its shortcut, so that the
// menus, the toolbar, the inspector and the context menus share one label,
// one shortcut and one enabled state. The actions belong to the sidebar
// window: their shortcuts work anywhere inside it.
//
// Commands that run for a while (opening, restoring, captures, revealing)
// disable their action until they finish and are counted in `busy`, so the
// window can show that something is under way; none of them blocks.
class AppActions : public QObject {
    Q_OBJECT
public:
    // `window` is where the shortcuts live and what the dialogs belong to.
    AppActions(AppModel &model, QWidget *window);
    ~AppActions() override;

    // Application.
    QAction *settings = nullptr;
    QAction *checkForUpdates = nullptr;
    QAction *reopenOnboarding = nullptr;
    QAction *recoverUnreachableNodes = nullptr;
    QAction *quit = nullptr;
    QAction *focusSearch = nullptr;
    // Adding.
    QAction *addGroup = nullptr;
    QAction *addWebLink = nullptr;
    QAction *addSlackThread = nullptr;
    QAction *addFile = nullptr;
    QAction *addFolder = nullptr;
    QAction *captureTab = nullptr;
    QAction *captureWindow = nullptr;
    // The selected node.
    QAction *open = nullptr;
    QAction *openInSlackApp = nullptr;
    QAction *restoreBrowserSession = nullptr;
    QAction *reveal = nullptr;
    QAction *rename = nullptr;
    QAction *duplicate = nullptr;
    QAction *remove = nullptr;
    QAction *exportTree = nullptr;
    QAction *saveSubtreeSnapshot = nullptr;
    // Moving the selected node; disabled where it would not move.
    QAction *moveUp = nullptr;
    QAction *moveDown = nullptr;
    QAction *moveOutOfGroup = nullptr;
    QAction *moveIntoGroupAbove = nullptr;
    QAction *moveTo = nullptr;
    // The clipboard. A focused text field keeps these keys for its text.
    QAction *cut = nullptr;
    QAction *copy = nullptr;
    QAction *paste = nullptr;
    // The workspace.
    QAction *importTree = nullptr;
    QAction *saveWorkspaceSnapshot = nullptr;
    QAction *restoreLatestSnapshot = nullptr;
    // History and trash. Undo and redo name the step they would take back;
    // a focused text field keeps these keys for its own text.
    QAction *undo = nullptr;
    QAction *redo = nullptr;
    QAction *showTrash = nullptr;
    // The versions sync kept; disabled when this run has no sync.
    QAction *showSyncConflicts = nullptr;
    QAction *browseSnapshots = nullptr;
    // Other tools' formats.
    QAction *importOtherFormat = nullptr;
    QAction *exportAs = nullptr;
    // The latest export's file in the file manager.
    QAction *showExport = nullptr;

    QList<QAction *> all() const { return m_all; }

    // Whether restoring the browser session of `node` may find tabs: a tab
    // itself, or a node with anything below it. Cheap enough for every edit;
    // the command says so when there turn out to be none.
    bool mayHaveBrowserSession(const std::optional<QUuid> &nodeID) const;

    // Commands under way.
    int busyCount() const { return m_busy; }

    // Runs a command that takes a while: `action` (if any) stays disabled
    // and the command counts as busy until it finishes.
    void runLong(QAction *action, std::function<QCoro::Task<>()> command);
    // The window learns the outcome from the model's texts, not the result.
    void runLong(QAction *action, std::function<QCoro::Task<bool>()> command);

    // Asks for a file and imports it under the insertion parent.
    void chooseImportFile();
    // Asks for a file in another tool's format, previews it, then imports it.
    void chooseInteropImportFile();
    // Shows the preview of `path` (the file dialog's choice, or a test's).
    ImportPreviewDialog *previewImport(const QString &path);
    // Asks for a file name and format, then exports the selection there.
    void chooseExportFile();
    // Offers the groups the selected node can go into, then moves it.
    MoveToDialog *chooseMoveDestination();
    NodeClipboard &clipboard() const { return *m_clipboard; }

Q_SIGNALS:
    void busyChanged(int count);
    // A sync conflict was restored or dismissed in the conflicts window.
    void syncConflictsChanged();

private:
    QAction *make(const char *key, const QKeySequence &shortcut, const QString &iconName = {});
    void retranslate();
    void updateEnabled();
    void confirmDelete();
    // Saves a manual snapshot (of the selection's subtree or the whole
    // tree), asking first when the limit means the oldest ones go.
    void saveManualSnapshot(bool subtree);
    void updateUndoRedo();

    AppModel &m_model;
    QPointer<QWidget> m_window;
    QList<QAction *> m_all;
    QList<QAction *> m_running;
    int m_busy = 0;
    QPointer<QWidget> m_trashWindow;
    QPointer<QWidget> m_syncConflictsWindow;
    NodeClipboard *m_clipboard = nullptr;
};

} // namespace tarni
