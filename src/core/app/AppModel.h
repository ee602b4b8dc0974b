#pragma once

#include "app/AppLanguage.h"
#include "app/AppModelDependencies.h"
#include "app/ClipboardContent.h"
#include "archive/SnapshotService.h"
#include "chrome/ChromeHostMessages.h"
#include "chrome/NativeHostRegistration.h"
#include "model/SnapshotSummary.h"
#include "interop/InteropFormat.h"
#include "model/WorkspaceSnapshot.h"
#include "opening/NodeProvider.h"
#include "opening/RestoreCoordinator.h"
#include "tree/InspectorViewModel.h"
#include "tree/SelectionCoordinator.h"
#include "tree/TreeViewModel.h"

#include <QCoro/QCoroTask>
#include <QLocale>
#include <QObject>

#include <array>
#include <QTimer>
#include <QRectF>
#include <QString>
#include <QUrl>
#include <QUuid>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

namespace tarni {

class StoreWorker;
class SyncCoordinator;

// One status line: a looked-up text with the values filled into it, written
// again in the new language when the language changes; or a text taken as
// it is (a browser's or the shell's own words).
struct StatusLine {
    QString text;
    QString key; // empty: a text taken as it is
    QStringList values;

    static StatusLine lookedUp(const QString &key, QStringList values = {});
    static StatusLine lookedUp(const char *key, QStringList values = {})
    {
        return lookedUp(QString::fromUtf8(key), std::move(values));
    }
    static StatusLine plain(QString text) { return {std::move(text), {}, {}}; }
    // Writes the text again in the current language; true when it changed.
    bool relocalize();
};

inline constexpr const char *kAutoCheckUpdatesSettingsKey = "autoCheckUpdatesEnabled";
inline constexpr const char *kOnboardingCompletedSettingsKey = "TarniBar.OnboardingCompleted";
// Days a deleted subtree stays in the trash; older entries are erased at start.
inline constexpr const char *kTrashRetentionDaysSettingsKey = "trashRetentionDays";
inline constexpr int kDefaultTrashRetentionDays = 30;
inline constexpr int kMaxTrashRetentionDays = 3650;
// Whether a click on a row opens its node as well as selecting it (else a
// double click or Enter opens it).
inline constexpr const char *kOpenWithSingleClickSettingsKey = "TarniBar.openWithSingleClick";
inline constexpr const char *kShowInspectorSettingsKey = "TarniBar.showInspector";
// Whether the window that marks the content area beside the sidebar shows.
inline constexpr const char *kShowsManagedTargetWindowSettingsKey = "TarniBar.showsManagedTargetWindow";

// The one object the views talk to: it owns the tree, the selection and the
// inspector, holds every status text and preference the sidebar, onboarding
// and settings show, runs the start-up and carries out the user's commands.
//
// A failed command shows its error in alertMessage and leaves the status
// texts alone; a successful one writes one status line. Commands that need a
// selection do nothing without one. In automation mode the state is dumped
// to the root's state.json after launch and after every command.
class AppModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString lastOpenSummary READ lastOpenSummary NOTIFY lastOpenSummaryChanged)
    Q_PROPERTY(QString chromeConnectionSummary READ chromeConnectionSummary NOTIFY chromeConnectionSummaryChanged)
    Q_PROPERTY(QString latestExportPath READ latestExportPath NOTIFY latestExportPathChanged)
    Q_PROPERTY(QString latestImportStatus READ latestImportStatus NOTIFY latestImportStatusChanged)
    Q_PROPERTY(QString sidebarWidthDescription READ sidebarWidthDescription NOTIFY sidebarWidthDescriptionChanged)
    Q_PROPERTY(QString alertMessage READ alertMessageText NOTIFY alertMessageChanged)
    Q_PROPERTY(bool showOnboarding READ showOnboarding NOTIFY showOnboardingChanged)
    Q_PROPERTY(QString appLanguage READ appLanguageRawValue NOTIFY appLanguageChanged)
    Q_PROPERTY(bool autoCheckUpdatesEnabled READ autoCheckUpdatesEnabled NOTIFY autoCheckUpdatesEnabledChanged)
    Q_PROPERTY(bool updatesConfigured READ updatesConfigured NOTIFY updatesConfiguredChanged)
    Q_PROPERTY(QString updatesStatus READ updatesStatus NOTIFY updatesStatusChanged)
    Q_PROPERTY(bool openWithSingleClick READ openWithSingleClick NOTIFY openWithSingleClickChanged)
    Q_PROPERTY(bool showInspector READ showInspector NOTIFY showInspectorChanged)

public:
    // The services must outlive the model.
    explicit AppModel(AppModelDependencies dependencies, QObject *parent = nullptr);
    ~AppModel() override;

    const AppModelDependencies &dependencies() const { return m_dependencies; }
    TreeViewModel &treeViewModel() { return m_treeViewModel; }
    // Sync through a shared folder, when the environment set it up.
    SyncCoordinator *sync() const { return m_sync; }
    void attachSync(SyncCoordinator *sync) { m_sync = sync; }
    const TreeViewModel &treeViewModel() const { return m_treeViewModel; }
    SelectionCoordinator &selectionCoordinator() { return m_selection; }
    const InspectorViewModel &inspectorViewModel() const { return m_inspector; }

    const QString &lastOpenSummary() const { return m_lastOpenSummary.text; }
    const QString &chromeConnectionSummary() const { return m_chromeConnectionSummary.text; }
    // The file the latest export wrote; empty before the first.
    const QString &latestExportPath() const { return m_latestExportPath; }
    // Whether the general status line is the report of the latest export,
    // so that the file it names can be shown.
    bool latestImportStatusNamesExport() const;
    const QString &latestImportStatus() const { return m_latestImportStatus.text; }
    const QString &sidebarWidthDescription() const { return m_sidebarWidthDescription.text; }
    const std::optional<QString> &alertMessage() const { return m_alertMessage; }
    QString alertMessageText() const { return m_alertMessage.value_or(QString()); }
    bool showOnboarding() const { return m_showOnboarding; }
    AppLanguage appLanguage() const { return m_appLanguage; }
    QString appLanguageRawValue() const { return rawValue(m_appLanguage); }
    bool autoCheckUpdatesEnabled() const { return m_autoCheckUpdatesEnabled; }
    bool updatesConfigured() const { return m_updatesConfigured; }
    const QString &updatesStatus() const { return m_updatesStatus.text; }

    // Where windows that opening creates go: set by the sidebar once it
    // exists; absent before, or when the sidebar has no screen.
    void setContentRectProvider(std::function<std::optional<QRectF>()> provider);

    // Load (or seed) the workspace, decide the onboarding, compute the
    // status texts. Called once.
    QCoro::Task<> launch();

    // Selects the node (none: clears) and opens it; the open runs on its own.
    //
    // A node that becomes selected, by these or by a command, is shown: a
    // search that filters it out ends, and the groups above it expand (as
    // one undo step with the command that selected it, or as a step of its
    // own). A selection that a collapse or an undo hides moves to the
    // collapsed group that shows in its place.
    void selectNode(const std::optional<QUuid> &nodeID);
    void selectNodeWithoutOpening(const std::optional<QUuid> &nodeID);
    // The selected node when the outline shows it, else none: what commands
    // started by a key act on.
    std::optional<QUuid> shownSelectedNodeID() const;
    void sidebarWidthDidChange(double width);
    void completeOnboarding();
    void reopenOnboarding();
    // Puts back every window the application moved.
    QCoro::Task<> restoreManagedWindows();
    // The text that a manual update check started (ignored unless a string).
    void updateCheckStarted(const QVariant &text);
    // Clears the alert once shown.
    void dismissAlert();
    // Also for a command run on someone's behalf whose failure the status
    // lines would not bring to the user's notice (a desktop shortcut's).
    void setAlert(const QString &description);

    // Commands.
    void addGroup();
    void addWebLink(const QString &text);
    void addSlackPermalink(const QString &text);
    void addFile(const QUrl &url, bool isFolder);
    void deleteSelectedNode();
    void duplicateSelectedNode();
    void renameSelectedNode(const QString &title);
    void toggleCollapse(const QUuid &nodeID);
    void setCollapsed(const QUuid &nodeID, bool collapsed);
    void moveNode(const QUuid &nodeID, const std::optional<QUuid> &newParentID, std::optional<qsizetype> index);
    // These say whether they opened or captured anything. Why not is in the
    // alert or, for a refused open or an unanswered capture, a status line.
    QCoro::Task<bool> openSelectedNode();
    // True when at least one node opened.
    QCoro::Task<bool> restoreSelectedSubtree();
    QCoro::Task<> revealSelectedInFinder();
    void openSelectedInSlackApp();
    // A capture goes under the selected node (at the top level without one)
    // and leaves the selection alone, so captures in a row line up side by
    // side; the nodes above it are expanded so that it shows.
    QCoro::Task<bool> captureCurrentChromeTab();
    QCoro::Task<bool> captureCurrentChromeWindow();
    // The node the last capture that succeeded added (a window's group).
    std::optional<QUuid> lastCapturedNodeID() const { return m_lastCapturedNodeID; }
    // Registers the native host with every browser found and says so.
    void installNativeHostManifest();
    // What the latest registration found and wrote, per browser.
    const std::vector<BrowserRegistration> &browserRegistrations() const { return m_browserRegistrations; }
    QCoro::Task<> revealBundledChromeExtension();
    // The manual snapshots, oldest first, that saving one more removes
    // (the retention policy keeps a limited number): none below the limit.
    // Whoever saves asks the user about them first and passes their ids.
    QList<SnapshotSummary> manualSnapshotsToRemove();
    int manualSnapshotLimit() const { return m_snapshots.retentionPolicy().manualLimit; }
    // `agreedRemovals`: the snapshots the user agreed to remove for this
    // one. When the limit needs others (or any while none were agreed),
    // nothing is saved and the alert says why.
    void saveSnapshotOfWorkspace(const QList<QUuid> &agreedRemovals = {});
    void saveSnapshotOfSelectedSubtree(const QList<QUuid> &agreedRemovals = {});
    // Snapshots of the loaded workspace, newest first (empty on error, which
    // is then shown).
    QList<WorkspaceSnapshot> snapshots();
    // False when nothing was restored: no snapshot (the status line says so) or an error (the alert).
    bool restoreLatestSnapshot();
    void restoreSnapshot(const QUuid &snapshotID);
    // Writes the selection (the workspace without one) to a new dated file
    // in Exports; never replaces an earlier export.
    void exportSelectedSubtree();
    // Shows the latest export in the file manager; false (and an alert when
    // nothing could show it) when it was not shown.
    QCoro::Task<bool> revealLatestExport();
    // The locale of the interface language, for dates and numbers.
    QLocale interfaceLocale() const;
    void importTree(const QUrl &fileURL);
    // Adds a document's nodes under the insertion parent, or under
    // `parentOverride` when given (nullopt inside it: the top level); the
    // entry point of every import. A large one is preceded by an automatic
    // snapshot, and does not happen when that snapshot cannot be saved.
    void importDocument(const TreeExport &document,
                        std::optional<std::optional<QUuid>> parentOverride = std::nullopt);

    // Snapshots for the snapshot browser. Listing reads no trees.
    QList<SnapshotSummary> snapshotSummaries();
    // One snapshot with its tree; none (and an alert) when it is gone.
    std::optional<WorkspaceSnapshot> snapshot(const QUuid &snapshotID);
    // Adds the snapshot's tree at the top level, after the present nodes,
    // as an import.
    void addSnapshotBeside(const QUuid &snapshotID);
    void renameSnapshot(const QUuid &snapshotID, const QString &title);
    void deleteSnapshot(const QUuid &snapshotID);
    // Writes the snapshot as an export document; true when written.
    bool exportSnapshot(const QUuid &snapshotID, const QString &path);
    // Takes the daily automatic snapshot when it is due. Run at launch and
    // every hour while running. With a worker (a database file among the
    // dependencies) the snapshot is written there and this returns at once;
    // dailySnapshotChecked follows either way, unless a check is running
    // already (then this does nothing).
    void takeDailySnapshotIfDue();
    // Adds a parsed import (another tool's format, see interop/) under the
    // insertion parent as one edit.
    void importInteropDocument(const InteropImport &imported);
    // Writes the selected subtree (the workspace without a selection) to
    // `file` in `format`, atomically.
    void exportSelectedSubtreeAs(InteropFormat format, const QString &file);
    // Moves nodes that no tree can show under a new "Recovered" group, after
    // saving the tree as a snapshot.
    void recoverUnreachableNodes();
    void setLanguage(AppLanguage language);
    void setAutoCheckUpdatesEnabled(bool enabled);
    void requestCheckForUpdates();

    // Undo and redo of the latest step. The status line names the step; a
    // step that cannot be applied shows why. Gives the step's label
    // ("Delete “Research”"), or none when nothing happened.
    std::optional<QString> undo();
    std::optional<QString> redo();
    // The menu texts: "Undo Delete “Research”", or "Undo" with nothing to undo.
    QString undoMenuTitle() const;
    QString redoMenuTitle() const;
    // A step's label in the current language.
    static QString stepLabel(const HistoryEntry &entry);
    // The trash, newest first (empty on error, which is then shown).
    QList<TrashSummary> trashEntries();
    // Restores the entry and selects its top node.
    void restoreFromTrash(const QUuid &entryID);
    void eraseFromTrash(const QUuid &entryID);
    // With a worker, the entries are erased there and the status line (or
    // the alert) and trashChanged follow when it is done.
    void emptyTrash();
    int trashRetentionDays() const { return m_trashRetentionDays; }
    // Clamped to 1 … kMaxTrashRetentionDays.
    void setTrashRetentionDays(int days);
    bool openWithSingleClick() const { return m_openWithSingleClick; }
    void setOpenWithSingleClick(bool on);
    bool showInspector() const { return m_showInspector; }
    void setShowInspector(bool shown);
    bool showsManagedTargetWindow() const { return m_showsManagedTargetWindow; }
    void setShowsManagedTargetWindow(bool shows);

    // Automation: replaces the tree with a seed's content (snapshots stay).
    void applySeed(UITestWorkspaceSeed seed);
    // The automation state dump as JSON text.
    std::string stateJson() const;

    // Where new content goes: into a selected group, beside any other
    // selected node, at the top level without a selection.
    std::optional<QUuid> selectedInsertionParentID() const;

    // Moving the selected node without a mouse. Each is one step and keeps
    // the node selected and in sight.
    enum class NodeMove {
        up,             // before the sibling above
        down,           // after the sibling below
        outOfGroup,     // right after its group, in the group's parent
        intoGroupAbove, // last into the sibling just above, which is a group
    };
    // Whether each move (indexed by NodeMove) would change anything, worked
    // out together: the menus ask after every edit, and each answer scans
    // the siblings. Never while a search filters the tree: the moves follow
    // the whole tree's order, which the filtered rows do not show.
    std::array<bool, 4> possibleMoves() const;
    void moveSelectedNode(NodeMove move);
    // Moves the selected node last under `parentID` (none: the top level).
    void moveSelectedNodeInto(const std::optional<QUuid> &parentID);

    // Pasting. The view reads and writes the clipboard; these decide where
    // the content goes and add it as one step, then select it.
    struct PastePlace {
        std::optional<QUuid> parentID;
        // Among the parent's children without the pasted node; none: last.
        std::optional<qsizetype> index;
    };
    // Last under a selected group; right after any other selected node, in
    // its parent; last at the top level without a selection.
    PastePlace pastePlace(const std::optional<QUuid> &movingNodeID = std::nullopt) const;
    // The selected subtree as an export document; none without a selection.
    std::optional<TreeExport> selectedSubtreeDocument();
    // A copy: new nodes with new identifiers, through the import's rules.
    void pasteDocument(const TreeExport &document);
    // A cut: moves the node itself. When it is no longer in the tree, pastes
    // `document` (the cut's copy) instead and says so.
    void pasteCutNode(const QUuid &nodeID, const TreeExport &document);
    // Web links from pasted text; refused lines are named in the status.
    void pasteLinks(const ClipboardContent::PastedLinks &links);
    // A status line of the view's own (what was copied, why nothing was).
    void showGeneralStatus(StatusLine line)
    {
        setLatestImportStatus(std::move(line));
        writeStateDump();
    }

Q_SIGNALS:
    void lastOpenSummaryChanged();
    void chromeConnectionSummaryChanged();
    void browserRegistrationsChanged();
    void latestExportPathChanged();
    void latestImportStatusChanged();
    void sidebarWidthDescriptionChanged();
    void alertMessageChanged();
    void showOnboardingChanged();
    void appLanguageChanged();
    void autoCheckUpdatesEnabledChanged();
    void updatesConfiguredChanged();
    void updatesStatusChanged();
    // The tree or the selection changed.
    void changed();
    // To the application shell: apply the automatic-check setting to the updater.
    void autoCheckUpdatesChangeRequested(bool enabled);
    // To the application shell: start a manual update check.
    void checkForUpdatesRequested();
    // Launch has finished (after the first state dump in automation mode).
    void launched();
    // The undo history or the trash changed.
    void historyChanged();
    void trashChanged();
    void trashRetentionDaysChanged();
    void openWithSingleClickChanged();
    void showInspectorChanged();
    void showsManagedTargetWindowChanged();
    // A snapshot was saved, renamed or deleted.
    void snapshotsChanged();
    // A daily snapshot check ended: taken, not due, or failed (then alerted).
    void dailySnapshotChecked();

private:
    // Undo (`undoing`) or redo, with the status line and the selection after it.
    std::optional<QString> takeHistoryStep(bool undoing);
    // Every import goes through WorkspaceImport from here; `selectFirst`
    // selects what it added.
    void runImport(InteropImport imported, const std::optional<QUuid> &parentID, bool selectFirst);
    class CommandScope;
    friend class CommandScope;

    // Sends a capture command: the capture when Chrome answered with one;
    // otherwise says why (alert or connection summary) and gives none.
    QCoro::Task<std::optional<ChromeCapturePayload>> requestCapture(ChromeCommand command);
    // Expands `nodeID` and every collapsed node above it.
    void expandDownTo(const std::optional<QUuid> &nodeID);
    struct KeyboardMove {
        std::optional<QUuid> parentID;
        qsizetype index = 0;
        bool possible = false;
    };
    // Indexed by NodeMove.
    std::array<KeyboardMove, 4> keyboardMoves() const;
    std::optional<KeyboardMove> keyboardMove(NodeMove move) const;
    void bindCapturedTab(const QUuid &nodeID, const std::optional<RuntimeTabBinding> &tab);

    void setLastOpenSummary(StatusLine line);
    void setLastOpenSummary(const QString &text) { setLastOpenSummary(StatusLine::plain(text)); }
    void setChromeConnectionSummary(StatusLine line);
    void setChromeConnectionSummary(const QString &text) { setChromeConnectionSummary(StatusLine::plain(text)); }
    void setLatestImportStatus(StatusLine line);
    void setLatestImportStatus(const QString &text) { setLatestImportStatus(StatusLine::plain(text)); }
    void setSidebarWidthDescription(StatusLine line);
    void setSidebarWidthDescription(const QString &text) { setSidebarWidthDescription(StatusLine::plain(text)); }
    void setShowOnboarding(bool show);
    void setUpdatesStatus(StatusLine line);
    void setUpdatesStatus(const QString &text) { setUpdatesStatus(StatusLine::plain(text)); }
    void setUpdatesConfigured(bool configured);

    template <class T, class E>
    bool failed(const Result<T, E> &result);
    // The manual-snapshot limit for a save that `agreedRemovals` allows;
    // none (after the alert) when the removals the limit needs now differ.
    std::optional<ManualLimit> manualLimitFor(const QList<QUuid> &agreedRemovals);
    bool savedManually(const SnapshotResult<WorkspaceSnapshot> &saved);
    // `announce`: the user asked, so the outcome goes to the status line
    // and a failure to the alert; else only the log hears of a failure.
    void registerNativeHost(bool announce);
    void select(const std::optional<QUuid> &nodeID);
    // Ends a search that filters the node out and expands the groups above it.
    void reveal(const QUuid &nodeID);
    // Moves a selection that collapsed groups hide onto the outermost of them.
    void keepSelectionShown();
    void seedSampleWorkspace();
    void reportUnreachableNodes();
    bool restoreSnapshotEntry(const WorkspaceSnapshot &snapshot, bool latest);
    StatusLine sidebarWidthString() const;
    void relocalizeStatusLines();
    bool decideOnboarding() const;
    void simulateChrome();
    void importFixture();
    void bindBridge();
    // `envelopeID` names the message it came in (null when simulated).
    void handleCapturedSlackThread(const SlackTarget &target, const QUuid &envelopeID);
    OpenContext openContext() const;
    void writeStateDump();
    void dailySnapshotFailed(const SnapshotError &error);

    AppModelDependencies m_dependencies;
    TreeViewModel m_treeViewModel;
    SelectionCoordinator m_selection;
    RestoreCoordinator m_restoreCoordinator;
    std::optional<QUuid> m_lastCapturedNodeID;
    InspectorViewModel m_inspector;
    SnapshotService m_snapshots;
    std::function<std::optional<QRectF>()> m_contentRect;

    StatusLine m_lastOpenSummary;
    StatusLine m_chromeConnectionSummary;
    std::vector<BrowserRegistration> m_browserRegistrations;
    QString m_latestExportPath;
    StatusLine m_latestImportStatus;
    StatusLine m_sidebarWidthDescription;
    std::optional<QString> m_alertMessage;
    bool m_showOnboarding = false;
    AppLanguage m_appLanguage = AppLanguage::system;
    bool m_autoCheckUpdatesEnabled = true;
    bool m_updatesConfigured = false;
    StatusLine m_updatesStatus;
    int m_trashRetentionDays = kDefaultTrashRetentionDays;
    bool m_openWithSingleClick = true;
    bool m_showInspector = true;
    bool m_showsManagedTargetWindow = true;
    QTimer *m_dailySnapshotTimer = nullptr;
    bool m_dailySnapshotFailed = false;
    bool m_dailySnapshotRunning = false;
    // Last: destroyed first, so that no result comes back to a model half gone.
    std::unique_ptr<StoreWorker> m_storeWorker;
    SyncCoordinator *m_sync = nullptr;
};

} // namespace tarni
