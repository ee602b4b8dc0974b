#include "app/ApplicationDBusService.h"

#include "app/AppModel.h"
#include "app/ApplicationBusNames.h"
#include "app/WorkspaceImport.h"
#include "archive/SnapshotService.h"
#include "archive/TreeArchiveService.h"
#include "archive/TreeExportFile.h"
#include "interop/InteropFormat.h"
#include "model/Timestamp.h"
#include "model/Uuid.h"
#include "storage/WorkspaceStoreProtocol.h"
#include "app/SyncCoordinator.h"
#include "sync/ChangeFile.h"
#include "sync/SharedFolder.h"
#include "sync/SyncJson.h"
#include "model/UnreachableNodes.h"
#include "util/Localized.h"
#include "windowing/AsyncWindowController.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <limits>
#include <variant>

Q_LOGGING_CATEGORY(lcDBus, "tarnibar.dbus")

namespace tarni {

namespace {

struct BusError {
    QString name;
    QString message;
};

BusError failure(const QString &message)
{
    return {QString::fromLatin1(bus::kErrorFailed), message};
}

BusError invalidArgs(const QString &message)
{
    return {QString::fromLatin1(bus::kErrorInvalidArgs), message};
}

BusError fromStoreError(const StoreError &error)
{
    const char *name = bus::kErrorFailed;
    if (error.kind == StoreError::Kind::decode)
        name = bus::kErrorBadData;
    else if (error.isBusy())
        name = bus::kErrorBusy;
    else if (error.isCorrupt())
        name = bus::kErrorCorrupt;
    return {QString::fromLatin1(name), error.description()};
}

BusError fromTreeError(const TreeViewModelError &error)
{
    if (error.kind == TreeViewModelError::Kind::invalidEntry)
        return invalidArgs(error.description());
    if (error.kind == TreeViewModelError::Kind::unknownNode)
        return {QString::fromLatin1(bus::kErrorUnknownNode), error.description()};
    return error.storeError ? fromStoreError(*error.storeError) : failure(error.description());
}

BusError fromSnapshotError(const SnapshotError &error)
{
    if (error.treeError)
        return fromTreeError(*error.treeError);
    if (error.storeError)
        return fromStoreError(*error.storeError);
    if (error.kind == SnapshotError::Kind::manualLimit)
        return failure(error.description() + QStringLiteral(" Set the option \"replaceOldest\" to remove them."));
    return failure(error.description());
}

QDBusConnection sessionBus()
{
    return QDBusConnection::sessionBus();
}

// The first alert the model shows while a command runs: that command's error.
class AlertWatch {
public:
    explicit AlertWatch(AppModel &model)
    {
        m_connection = QObject::connect(&model, &AppModel::alertMessageChanged, &model, [this, &model] {
            if (!m_text && model.alertMessage())
                m_text = *model.alertMessage();
        });
    }
    ~AlertWatch() { QObject::disconnect(m_connection); }
    AlertWatch(const AlertWatch &) = delete;
    AlertWatch &operator=(const AlertWatch &) = delete;

    const std::optional<QString> &text() const { return m_text; }

private:
    QMetaObject::Connection m_connection;
    std::optional<QString> m_text;
};

// What a finished command answers: the reply's arguments, or an error.
using Answer = std::variant<QVariantList, BusError>;

// Replies to `message` once the window command `command` has finished: with
// the alert it showed as the error; else, when it did nothing, with the
// error `answer` gives, left in the alert as well (a shortcut's user has
// no other way to learn of it); else with what `answer` makes of the model.
QCoro::Task<> replyWhenDone(QDBusMessage message, QPointer<AppModel> model, std::unique_ptr<AlertWatch> watch,
                            QCoro::Task<bool> command, std::function<Answer(AppModel &, bool done)> answer)
{
    const bool done = co_await command;
    QDBusConnection bus = sessionBus();
    if (!model) {
        bus.send(message.createErrorReply(QString::fromLatin1(bus::kErrorFailed),
                                          QStringLiteral("TarniBar quit before the command finished")));
        co_return;
    }
    if (watch->text()) {
        bus.send(message.createErrorReply(QString::fromLatin1(bus::kErrorFailed), *watch->text()));
        co_return;
    }
    const Answer result = answer(*model, done);
    if (const auto *error = std::get_if<BusError>(&result)) {
        model->setAlert(error->message);
        bus.send(message.createErrorReply(error->name, error->message));
    } else {
        bus.send(message.createReply(std::get<QVariantList>(result)));
    }
}

// What Open and Restore answer: the status line they wrote, as the error
// when nothing opened.
Answer openSummary(AppModel &model, bool opened)
{
    if (!opened)
        return failure(model.lastOpenSummary());
    return QVariantList{model.lastOpenSummary()};
}

} // namespace

// The exported object. Methods that end at once answer as they return; the
// others answer later (delayed replies) so the event loop never waits on
// them. An error is sent as a delayed reply too, which is why every method
// sees its message.
//
// The methods named after the window's commands (AddGroup, Open, Import …)
// run those very commands: they work on the selection as the window does,
// show their status lines, and an alert they raise is both sent back as the
// error and left for the window to show, since a desktop shortcut has no
// other way to tell its user. The methods that edit a node named by its
// identifier change the tree directly, answer with the engine's own error
// and raise no alert: their caller (a script, tarnibar-cli) reports it.
class ApplicationDBusService::Adaptor : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarni.bar.Application")

public:
    explicit Adaptor(ApplicationDBusService &service)
        : QObject(&service)
        , m_service(service)
        , m_model(service.m_model)
    {
    }

public Q_SLOTS:
    Q_SCRIPTABLE QString DataRoot() { return bus::canonicalDataRoot(m_service.m_dataRoot); }

    Q_SCRIPTABLE QString State() { return QString::fromStdString(m_model.stateJson()); }

    Q_SCRIPTABLE void Select(const QString &id, const QDBusMessage &message)
    {
        std::optional<QUuid> node;
        if (!id.isEmpty() && !(node = requireNode(id, message)))
            return;
        m_model.selectNodeWithoutOpening(node);
    }

    Q_SCRIPTABLE QString Open(const QString &id, const QDBusMessage &message)
    {
        const auto node = requireNode(id, message);
        if (!node)
            return {};
        auto watch = std::make_unique<AlertWatch>(m_model);
        m_model.selectNodeWithoutOpening(node);
        message.setDelayedReply(true);
        replyWhenDone(message, &m_model, std::move(watch), m_model.openSelectedNode(), openSummary);
        return {};
    }

    // An empty identifier restores the whole workspace.
    Q_SCRIPTABLE QString Restore(const QString &id, const QDBusMessage &message)
    {
        std::optional<QUuid> node;
        if (!id.isEmpty() && !(node = requireNode(id, message)))
            return {};
        auto watch = std::make_unique<AlertWatch>(m_model);
        m_model.selectNodeWithoutOpening(node);
        message.setDelayedReply(true);
        replyWhenDone(message, &m_model, std::move(watch), m_model.restoreSelectedSubtree(), openSummary);
        return {};
    }

    Q_SCRIPTABLE QString CaptureCurrentTab(const QDBusMessage &message)
    {
        return capture(message, &AppModel::captureCurrentChromeTab);
    }

    Q_SCRIPTABLE QString CaptureCurrentWindow(const QDBusMessage &message)
    {
        return capture(message, &AppModel::captureCurrentChromeWindow);
    }

    Q_SCRIPTABLE QString AddGroup(const QDBusMessage &message)
    {
        return added(message, [this] { m_model.addGroup(); });
    }

    Q_SCRIPTABLE QString AddWebLink(const QString &url, const QDBusMessage &message)
    {
        return added(message, [&] { m_model.addWebLink(url); });
    }

    Q_SCRIPTABLE QString AddSlackPermalink(const QString &text, const QDBusMessage &message)
    {
        return added(message, [&] { m_model.addSlackPermalink(text); });
    }

    Q_SCRIPTABLE QString AddFile(const QString &path, const QDBusMessage &message)
    {
        return addFile(path, false, message);
    }

    Q_SCRIPTABLE QString AddFolder(const QString &path, const QDBusMessage &message)
    {
        return addFile(path, true, message);
    }

    Q_SCRIPTABLE void Rename(const QString &id, const QString &title, const QDBusMessage &message)
    {
        const auto node = requireNode(id, message);
        if (node)
            edited(message, m_model.treeViewModel().rename(*node, title));
    }

    // An empty parent moves to the top level; index -1 puts the node last.
    // Unknown nodes and moves into the node's own subtree are the engine's
    // to refuse.
    Q_SCRIPTABLE void Move(const QString &id, const QString &parentID, int index, const QDBusMessage &message)
    {
        const auto node = requireNodeIdentifier(id, message);
        if (!node)
            return;
        std::optional<QUuid> parent;
        if (!parentID.isEmpty() && !(parent = requireNodeIdentifier(parentID, message)))
            return;
        if (index < -1) {
            fail(message, invalidArgs(QStringLiteral("the index must be -1 (last) or at least 0, not %1").arg(index)));
            return;
        }
        // The engine clamps the index, so the largest one puts the node last.
        edited(message, m_model.treeViewModel().move(
                            *node, parent, index < 0 ? std::numeric_limits<qsizetype>::max() : qsizetype(index)));
    }

    Q_SCRIPTABLE void Delete(const QString &id, const QDBusMessage &message)
    {
        if (const auto node = requireNode(id, message))
            edited(message, m_model.treeViewModel().deleteNode(*node));
    }

    Q_SCRIPTABLE QString Duplicate(const QString &id, const QDBusMessage &message)
    {
        const auto node = requireNode(id, message);
        if (!node)
            return {};
        auto copies = m_model.treeViewModel().duplicateSubtree(*node);
        if (!edited(message, copies))
            return {};
        return copies->isEmpty() ? QString() : uuidQString(copies->first().id());
    }

    Q_SCRIPTABLE void ToggleCollapse(const QString &id, const QDBusMessage &message)
    {
        if (const auto node = requireNode(id, message))
            edited(message, m_model.treeViewModel().toggleCollapse(*node));
    }

    Q_SCRIPTABLE QString SaveSnapshot(bool subtree, const QDBusMessage &message)
    {
        return statusOf(message, [&] {
            if (subtree)
                m_model.saveSnapshotOfSelectedSubtree();
            else
                m_model.saveSnapshotOfWorkspace();
        });
    }

    Q_SCRIPTABLE QString RestoreLatestSnapshot(const QDBusMessage &message)
    {
        bool restored = false;
        const QString status = statusOf(message, [&] { restored = m_model.restoreLatestSnapshot(); });
        if (restored || message.isDelayedReply())
            return status;
        // Nothing to restore: the status line says so, as the error and in
        // the alert, like the other window commands that did nothing.
        m_model.setAlert(status);
        return fail(message, failure(status));
    }

    Q_SCRIPTABLE QString Export(const QDBusMessage &message)
    {
        AlertWatch watch(m_model);
        m_model.exportSelectedSubtree();
        if (watch.text())
            return fail(message, failure(*watch.text()));
        return m_model.latestExportPath();
    }

    Q_SCRIPTABLE QString Import(const QString &path, const QDBusMessage &message)
    {
        if (!QDir::isAbsolutePath(path))
            return fail(message, invalidArgs(QStringLiteral("the path must be absolute: \"%1\"").arg(path)));
        return statusOf(message, [&] { m_model.importTree(QUrl::fromLocalFile(path)); });
    }

    Q_SCRIPTABLE QString SetLanguage(const QString &language, const QDBusMessage &message)
    {
        const auto parsed = appLanguageFromRawValue(language);
        if (!parsed) {
            QStringList known;
            for (AppLanguage each : kAllAppLanguages)
                known << rawValue(each);
            return fail(message, invalidArgs(QStringLiteral("unknown language \"%1\" (one of: %2)")
                                                 .arg(language, known.join(QStringLiteral(", ")))));
        }
        m_model.setLanguage(*parsed);
        return m_model.appLanguageRawValue();
    }

    Q_SCRIPTABLE int RestoreManagedWindows(const QDBusMessage &message)
    {
        QPointer<AsyncWindowController> controller = m_model.dependencies().axWindowController;
        if (!controller)
            return 0;
        message.setDelayedReply(true);
        [](QDBusMessage message, QPointer<AsyncWindowController> controller) -> QCoro::Task<> {
            const int restored = co_await controller->restoreManagedWindows();
            sessionBus().send(message.createReply(QVariantList{restored}));
        }(message, controller);
        return 0;
    }

    Q_SCRIPTABLE void ShowSidebar()
    {
        if (m_service.m_shell.showSidebar)
            m_service.m_shell.showSidebar();
    }

    // Answers first: quitting may take the bus connection with it.
    Q_SCRIPTABLE void Quit()
    {
        if (m_service.m_shell.quit)
            QTimer::singleShot(0, &m_service, [quit = m_service.m_shell.quit] { quit(); });
    }

    // For clients that say where things go (tarnibar-cli): kind is one of
    // group, link, slack, file, folder; text the title, address, permalink
    // or absolute path; an empty parent is the top level. Option "title"
    // (links only) names the link.
    Q_SCRIPTABLE QString AddNode(const QString &kind, const QString &text, const QString &parentID,
                                 const QVariantMap &options, const QDBusMessage &message)
    {
        std::optional<QUuid> parent;
        if (!parentID.isEmpty() && !(parent = requireNode(parentID, message)))
            return {};
        const auto title = options.contains(QStringLiteral("title"))
            ? std::optional<QString>(options.value(QStringLiteral("title")).toString())
            : std::nullopt;
        if (title && kind != QLatin1String("link"))
            return fail(message, invalidArgs(QStringLiteral("only a link takes a title")));
        TreeViewModel &tree = m_model.treeViewModel();
        TreeResult<WorkspaceNode> node = Failure(TreeViewModelError::missingWorkspace());
        if (kind == QLatin1String("group")) {
            node = tree.addGroup(text, parent);
        } else if (kind == QLatin1String("link")) {
            node = tree.addWebLink(text, title, parent);
        } else if (kind == QLatin1String("slack")) {
            node = tree.addSlackPermalink(text, parent);
        } else if (kind == QLatin1String("file") || kind == QLatin1String("folder")) {
            if (!QDir::isAbsolutePath(text))
                return fail(message, invalidArgs(QStringLiteral("the path must be absolute: \"%1\"").arg(text)));
            node = tree.addFile(QUrl::fromLocalFile(QDir::cleanPath(text)), kind == QLatin1String("folder"), parent);
        } else {
            return fail(message, invalidArgs(QStringLiteral("unknown kind \"%1\"").arg(kind)));
        }
        if (!edited(message, node))
            return {};
        return uuidQString(node->id());
    }

    // Appends the tree in an export file after the children of `parentID`
    // (empty: the top level); answers how many nodes it added.
    Q_SCRIPTABLE int ImportFile(const QString &path, const QString &parentID, const QDBusMessage &message)
    {
        std::optional<QUuid> parent;
        if (!parentID.isEmpty() && !(parent = requireNode(parentID, message)))
            return 0;
        if (!QDir::isAbsolutePath(path))
            return fail(message, invalidArgs(QStringLiteral("the path must be absolute: \"%1\"").arg(path)));
        auto document = TreeExportFile::read(std::filesystem::path(path.toStdString()));
        if (!document)
            return fail(message, BusError{QString::fromLatin1(bus::kErrorBadData), document.error().description()});
        InteropImport imported;
        imported.document = std::move(*document);
        const auto report = importTree(std::move(imported), parent, message);
        return report ? int(report->added) : 0;
    }

    // Imports a file in another tool's format (`format` one of the import
    // names; empty: told from the content) into a new group named after the
    // file, after the children of `parentID`. Answers how many nodes it
    // added and, of those below the new group, the groups and links, and how
    // many entries were skipped.
    Q_SCRIPTABLE int ImportFileAs(const QString &path, const QString &parentID, const QString &format,
                                  const QDBusMessage &message, qlonglong &groups, qlonglong &links,
                                  qlonglong &skipped)
    {
        groups = links = skipped = 0;
        std::optional<QUuid> parent;
        if (!parentID.isEmpty() && !(parent = requireNode(parentID, message)))
            return 0;
        if (!QDir::isAbsolutePath(path))
            return fail(message, invalidArgs(QStringLiteral("the path must be absolute: \"%1\"").arg(path)));
        std::optional<InteropFormat> named;
        if (!format.isEmpty()) {
            named = interopFormatFromName(format);
            if (!named || !canImport(*named))
                return fail(message, invalidArgs(QStringLiteral("no import format \"%1\"").arg(format)));
        }
        ImportOptions options;
        options.groupTitle = QFileInfo(path).fileName();
        options.now = currentTimestamp();
        auto imported = importInteropFile(std::filesystem::path(path.toStdString()), named, options);
        if (!imported)
            return fail(message, BusError{QString::fromLatin1(bus::kErrorBadData), imported.error().description()});
        const auto report = importTree(std::move(*imported), parent, message);
        if (!report)
            return 0;
        groups = report->summary.groups;
        links = report->summary.links;
        skipped = report->summary.skipped;
        return int(report->added);
    }

    // Saves the subtree of `nodeID` (empty: the whole workspace); option
    // "title" names the snapshot. Once the manual snapshots kept at most are
    // there, the save is refused unless option "replaceOldest" is true,
    // which removes the oldest ones. Answers its identifier.
    Q_SCRIPTABLE QString SaveSnapshotOf(const QString &nodeID, const QVariantMap &options,
                                        const QDBusMessage &message)
    {
        std::optional<QUuid> node;
        if (!nodeID.isEmpty() && !(node = requireNode(nodeID, message)))
            return {};
        const auto title = options.contains(QStringLiteral("title"))
            ? std::optional<QString>(options.value(QStringLiteral("title")).toString())
            : std::nullopt;
        const ManualLimit limit = options.value(QStringLiteral("replaceOldest")).toBool() ? ManualLimit::removeOldest
                                                                                            : ManualLimit::refuse;
        SnapshotService snapshots = snapshotService();
        auto saved = node ? snapshots.saveSubtree(*node, title, limit)
                          : snapshots.saveWorkspace(title.value_or(QStringLiteral("Workspace Snapshot")), std::nullopt,
                                                    limit);
        if (!saved)
            return fail(message, fromSnapshotError(saved.error()));
        return uuidQString(saved->id);
    }

    // Restores a snapshot (a subtree one after the children of `parentID`).
    // Answers the number of nodes restored, whether it was a subtree, its
    // title, and the snapshot that keeps the tree as it was (empty when a
    // subtree was added).
    Q_SCRIPTABLE int RestoreSnapshot(const QString &snapshotID, const QString &parentID, const QDBusMessage &message,
                                     bool &subtree, QString &title, QString &safetyID, QString &safetyTitle)
    {
        subtree = false;
        std::optional<QUuid> parent;
        if (!parentID.isEmpty() && !(parent = requireNode(parentID, message)))
            return 0;
        const auto id = parseUuid(snapshotID);
        if (!id)
            return fail(message, invalidArgs(QStringLiteral("\"%1\" is not a snapshot identifier").arg(snapshotID)));
        SnapshotService snapshots = snapshotService();
        auto found = snapshots.find(*id);
        if (!found)
            return fail(message, fromSnapshotError(found.error()));
        if (*found) {
            const WorkspaceSnapshot &snapshot = **found;
            auto restored = snapshots.restore(
                snapshot, parent, QStringLiteral("Before restore %1").arg(timestampQString(currentTimestamp())));
            if (!edited(message, restored, fromSnapshotError))
                return 0;
            subtree = restored->subtree;
            title = snapshot.title;
            if (restored->safetySnapshot) {
                safetyID = uuidQString(restored->safetySnapshot->id);
                safetyTitle = restored->safetySnapshot->title;
            }
            return restored->nodeCount;
        }
        return fail(message, failure(QStringLiteral("no snapshot %1 in the workspace").arg(uuidQString(*id))));
    }

    // Moves the nodes no tree can show under a new "Recovered" group, after
    // saving the tree as it is shown as a snapshot. Answers how many moved,
    // the group and the snapshot (both empty when nothing moved).
    Q_SCRIPTABLE int Repair(const QDBusMessage &message, QString &groupID, QString &snapshotID)
    {
        TreeViewModel &tree = m_model.treeViewModel();
        if (!tree.isLoaded() || !tree.workspace())
            return fail(message, fromTreeError(TreeViewModelError::missingWorkspace()));
        const int unreachable = findUnreachableNodes(tree.nodes()).count;
        if (unreachable == 0)
            return 0;
        const TreeArchiveService &archive = *m_model.dependencies().treeArchiveService;
        const WorkspaceSnapshot before = archive.makeSnapshot(QStringLiteral("Before repair Snapshot"),
                                                              tree.workspace()->id, archive.exportWorkspace(tree.nodes()),
                                                              std::nullopt);
        if (auto saved = m_model.dependencies().workspaceStore->saveSnapshot(before); !saved)
            return fail(message, fromStoreError(saved.error()));
        auto recovered = tree.recoverUnreachableNodes(QStringLiteral("Recovered"));
        if (!edited(message, recovered))
            return 0;
        if (*recovered)
            groupID = uuidQString((*recovered)->id());
        snapshotID = uuidQString(before.id);
        return unreachable;
    }

    // The label of the step taken back ("Delete “Research”"); an error when
    // there is none or it cannot be applied.
    Q_SCRIPTABLE QString Undo(const QDBusMessage &message) { return stepped(message, true); }
    Q_SCRIPTABLE QString Redo(const QDBusMessage &message) { return stepped(message, false); }

    // The trash as a JSON array, newest first: {"id", "title", "deletedAt",
    // "nodeCount", "parentID" (or null), "position"}.
    Q_SCRIPTABLE QString TrashList(const QDBusMessage &message)
    {
        auto entries = m_model.treeViewModel().trash();
        if (!entries)
            return fail(message, fromTreeError(entries.error()));
        return trashSummariesJson(*entries);
    }

    // Puts an entry back where it was; the identifier of its top node.
    Q_SCRIPTABLE QString TrashRestore(const QString &id, const QDBusMessage &message)
    {
        const auto entry = parseUuid(id);
        if (!entry)
            return fail(message, invalidArgs(QStringLiteral("\"%1\" is not a trash entry identifier").arg(id)));
        auto restored = m_model.treeViewModel().restoreFromTrash(*entry);
        if (!edited(message, restored))
            return {};
        return uuidQString(restored->id());
    }

    // Erases one entry (TrashErase) or all (TrashEmpty) for good; the number erased.
    Q_SCRIPTABLE qlonglong TrashErase(const QString &id, const QDBusMessage &message)
    {
        const auto entry = parseUuid(id);
        if (!entry)
            return fail(message, invalidArgs(QStringLiteral("\"%1\" is not a trash entry identifier").arg(id)));
        auto erased = m_model.treeViewModel().eraseFromTrash({*entry});
        if (!erased)
            return fail(message, fromTreeError(erased.error()));
        return *erased;
    }

    Q_SCRIPTABLE qlonglong TrashEmpty(const QDBusMessage &message)
    {
        auto erased = m_model.treeViewModel().emptyTrash();
        if (!erased)
            return fail(message, fromTreeError(erased.error()));
        return *erased;
    }

    // Sync through a shared folder (docs/sync.md). The JSON texts are those
    // of `tarnibar-cli sync … --json`.
    Q_SCRIPTABLE QString SyncStatus(const QDBusMessage &message)
    {
        SyncCoordinator *sync = syncOf(message);
        if (!sync)
            return {};
        auto status = sync->status();
        if (!status)
            return fail(message, fromStoreError(status.error()));
        return QString::fromStdString(sync::syncStatusJson(*status));
    }

    Q_SCRIPTABLE QString SyncNow(const QDBusMessage &message)
    {
        SyncCoordinator *sync = syncOf(message);
        if (!sync)
            return {};
        if (!sync->isOn())
            return fail(message, failure(QStringLiteral("sync is off")));
        auto run = sync->syncNow();
        if (!run)
            return fail(message, fromStoreError(run.error()));
        return QString::fromStdString(sync::syncRunJson(*run));
    }

    Q_SCRIPTABLE QString SyncEnable(const QString &folder, const QString &deviceName, const QDBusMessage &message)
    {
        SyncCoordinator *sync = syncOf(message);
        if (!sync)
            return {};
        if (!QDir::isAbsolutePath(folder))
            return fail(message, invalidArgs(QStringLiteral("the folder must be absolute: \"%1\"").arg(folder)));
        if (deviceName.trimmed().isEmpty() || deviceName.toUtf8().size() > qsizetype(sync::kMaxDeviceNameBytes))
            return fail(message, invalidArgs(QStringLiteral("the device name must be 1 to %1 bytes")
                                                 .arg(sync::kMaxDeviceNameBytes)));
        if (sync->isOn())
            return fail(message, failure(QStringLiteral("sync is on already; turn it off first")));
        auto prepared = sync::prepareSharedFolder(folder, m_service.m_dataRoot);
        if (!prepared)
            return fail(message, prepared.error().kind == sync::SharedFolderProblem::Kind::unusable
                                     ? failure(prepared.error().text)
                                     : invalidArgs(prepared.error().text));
        auto enabled = sync->enable(*prepared, deviceName.trimmed());
        if (!enabled)
            return fail(message, fromStoreError(enabled.error()));
        auto status = sync->status();
        if (!status)
            return fail(message, fromStoreError(status.error()));
        return QString::fromStdString(sync::syncStatusJson(*status));
    }

    Q_SCRIPTABLE void SyncDisable(const QDBusMessage &message)
    {
        SyncCoordinator *sync = syncOf(message);
        if (!sync)
            return;
        if (auto done = sync->disable(); !done)
            fail(message, fromStoreError(done.error()));
    }

    Q_SCRIPTABLE QString SyncConflicts(const QDBusMessage &message)
    {
        SyncCoordinator *sync = syncOf(message);
        if (!sync)
            return {};
        auto conflicts = sync->conflicts();
        if (!conflicts)
            return fail(message, fromStoreError(conflicts.error()));
        return QString::fromStdString(sync::syncConflictsJson(*conflicts));
    }

    Q_SCRIPTABLE QString SyncConflictRestore(qlonglong id, const QDBusMessage &message)
    {
        SyncCoordinator *sync = syncOf(message);
        if (!sync)
            return {};
        auto restored = sync->restoreConflict(id);
        if (!restored)
            return fail(message, failure(restored.error()));
        return uuidQString(restored->id());
    }

    Q_SCRIPTABLE bool SyncConflictDismiss(qlonglong id, const QDBusMessage &message)
    {
        SyncCoordinator *sync = syncOf(message);
        if (!sync)
            return false;
        auto dismissed = sync->dismissConflict(id);
        if (!dismissed)
            return fail(message, fromStoreError(dismissed.error()));
        return *dismissed;
    }

private:
    QString stepped(const QDBusMessage &message, bool undoing)
    {
        TreeViewModel &tree = m_model.treeViewModel();
        auto step = undoing ? tree.undo() : tree.redo();
        if (!edited(message, step))
            return {};
        return TreeViewModel::stepLabel(*step);
    }

private:
    // Sends `error` as the answer to `message`; the slot's own return value
    // is then ignored.
    struct Ignored {
        template <class T>
        operator T() const
        {
            return T();
        }
    };
    SyncCoordinator *syncOf(const QDBusMessage &message)
    {
        SyncCoordinator *sync = m_model.sync();
        if (!sync)
            fail(message, failure(QStringLiteral("sync is not available in this run")));
        return sync;
    }

    Ignored fail(const QDBusMessage &message, const BusError &error)
    {
        message.setDelayedReply(true);
        sessionBus().send(message.createErrorReply(error.name, error.message));
        return {};
    }

    // The identifier in `text`; none (having answered why) when it is not one.
    std::optional<QUuid> requireNodeIdentifier(const QString &text, const QDBusMessage &message)
    {
        const auto id = parseUuid(text);
        if (!id)
            fail(message, invalidArgs(QStringLiteral("\"%1\" is not a node identifier").arg(text)));
        return id;
    }

    // The node an identifier names; none (having answered why) otherwise.
    std::optional<QUuid> requireNode(const QString &text, const QDBusMessage &message)
    {
        const auto id = requireNodeIdentifier(text, message);
        if (!id)
            return std::nullopt;
        if (!m_model.treeViewModel().node(*id)) {
            fail(message, fromTreeError(TreeViewModelError::unknownNode(*id)));
            return std::nullopt;
        }
        return id;
    }

    // After a direct edit: answers its error, or keeps the selection valid
    // (a deleted node is no longer selected) and lets the model record the
    // command as it records its own.
    template <class T, class E, class Map = BusError (*)(const TreeViewModelError &)>
    bool edited(const QDBusMessage &message, const Result<T, E> &result, Map map = fromTreeError)
    {
        if (!result) {
            fail(message, map(result.error()));
            return false;
        }
        auto selected = m_model.selectionCoordinator().selectedNodeID();
        if (selected && !m_model.treeViewModel().node(*selected))
            selected.reset();
        m_model.selectNodeWithoutOpening(selected);
        return true;
    }

    // Runs a command of the window that selects what it added; answers the
    // new node's identifier.
    template <class Command>
    QString added(const QDBusMessage &message, Command &&command)
    {
        AlertWatch watch(m_model);
        const auto count = m_model.treeViewModel().nodes().size();
        command();
        if (watch.text())
            return fail(message, failure(*watch.text()));
        const auto selected = m_model.selectionCoordinator().selectedNodeID();
        if (!selected || m_model.treeViewModel().nodes().size() <= count)
            return fail(message, failure(QStringLiteral("nothing was added: the workspace is not loaded")));
        return uuidQString(*selected);
    }

    QString addFile(const QString &path, bool isFolder, const QDBusMessage &message)
    {
        if (!QDir::isAbsolutePath(path))
            return fail(message, invalidArgs(QStringLiteral("the path must be absolute: \"%1\"").arg(path)));
        return added(message, [&] { m_model.addFile(QUrl::fromLocalFile(QDir::cleanPath(path)), isFolder); });
    }

    // Runs a command of the window that reports in the import status line;
    // answers that line.
    template <class Command>
    QString statusOf(const QDBusMessage &message, Command &&command)
    {
        // These commands do nothing, silently, before the tree is loaded.
        if (!m_model.treeViewModel().isLoaded())
            return fail(message, fromTreeError(TreeViewModelError::missingWorkspace()));
        AlertWatch watch(m_model);
        command();
        if (watch.text())
            return fail(message, failure(*watch.text()));
        return m_model.latestImportStatus();
    }

    // A capture adds the tab (or a group of the window's tabs) and selects it;
    // when the browser captured nothing, the connection line says why.
    QString capture(const QDBusMessage &message, QCoro::Task<bool> (AppModel::*command)())
    {
        auto watch = std::make_unique<AlertWatch>(m_model);
        message.setDelayedReply(true);
        replyWhenDone(message, &m_model, std::move(watch), (m_model.*command)(), [](AppModel &model, bool captured) -> Answer {
            const auto added = model.lastCapturedNodeID();
            if (!captured || !added)
                return failure(model.chromeConnectionSummary());
            return QVariantList{uuidQString(*added)};
        });
        return {};
    }

    // The one import path, as a direct edit: it answers its own errors and
    // leaves the selection alone.
    std::optional<ImportReport> importTree(InteropImport imported, const std::optional<QUuid> &parent,
                                           const QDBusMessage &message)
    {
        TreeViewModel &tree = m_model.treeViewModel();
        if (!tree.isLoaded() || !tree.workspace()) {
            fail(message, fromTreeError(TreeViewModelError::missingWorkspace()));
            return std::nullopt;
        }
        SnapshotService snapshots = snapshotService();
        snapshots.setRetentionPolicy(RetentionPolicy::fromSettings(*m_model.dependencies().settings));
        const QString title = localized("Before import") + QLatin1Char(' ') +
            QLocale().toString(QDateTime::currentDateTime(), QLocale::ShortFormat);
        auto report = WorkspaceImport(tree, snapshots, *m_model.dependencies().treeArchiveService)
                          .run(std::move(imported), parent, title);
        if (!report) {
            const ImportFailure &error = report.error();
            fail(message, error.snapshotError ? fromSnapshotError(*error.snapshotError)
                                              : fromTreeError(*error.treeError));
            return std::nullopt;
        }
        if (report->safetySnapshot)
            Q_EMIT m_model.snapshotsChanged();
        if (!edited(message, Result<void, TreeViewModelError>()))
            return std::nullopt;
        return std::move(*report);
    }

    SnapshotService snapshotService()
    {
        return SnapshotService(*m_model.dependencies().workspaceStore, m_model.treeViewModel(),
                               *m_model.dependencies().treeArchiveService);
    }

    ApplicationDBusService &m_service;
    AppModel &m_model;
};

// A call that arrives while the tree is being written (the event loop turns
// then, see TreeViewModel::isWriting) waits for the write: once it is done,
// the same call is made again to this object through the bus, and its
// answer, or error, goes to the caller. Until those calls are answered, later
// ones take the same way, so that none overtakes them. Calls that neither
// edit nor read the store are answered at once.
class ApplicationDBusService::HeldAdaptor final : public Adaptor {
public:
    explicit HeldAdaptor(ApplicationDBusService &service)
        : Adaptor(service)
        , m_tree(service.m_model.treeViewModel())
    {
    }

    int qt_metacall(QMetaObject::Call call, int id, void **arguments) override
    {
        if (call != QMetaObject::InvokeMetaMethod || !calledFromDBus())
            return Adaptor::qt_metacall(call, id, arguments);
        const bool again = message().service() == connection().baseService();
        if (!m_tree.isWriting() && (again || m_held == 0))
            return Adaptor::qt_metacall(call, id, arguments);
        const QString member = message().member();
        if (member == QLatin1String("DataRoot") || member == QLatin1String("State") ||
            member == QLatin1String("ShowSidebar"))
            return Adaptor::qt_metacall(call, id, arguments);
        setDelayedReply(true);
        ++m_held;
        m_tree.whenIdle(this, [this, bus = connection(), held = message()] { callAgain(bus, held); });
        return -1; // handled: QtDBus sends no answer of its own
    }

private:
    void callAgain(QDBusConnection bus, const QDBusMessage &held)
    {
        QDBusMessage again =
            QDBusMessage::createMethodCall(bus.baseService(), held.path(), held.interface(), held.member());
        again.setArguments(held.arguments());
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(again, std::numeric_limits<int>::max()), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, held, watcher, bus]() mutable {
            watcher->deleteLater();
            --m_held;
            const QDBusMessage answer = watcher->reply();
            if (answer.type() == QDBusMessage::ErrorMessage)
                bus.send(held.createErrorReply(answer.errorName(), answer.errorMessage()));
            else if (held.isReplyRequired())
                bus.send(held.createReply(answer.arguments()));
        });
    }

    TreeViewModel &m_tree;
    // Calls held and not yet answered.
    int m_held = 0;
};

ApplicationDBusService::ApplicationDBusService(AppModel &model, std::filesystem::path dataRoot, Shell shell,
                                               QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_dataRoot(std::move(dataRoot))
    , m_shell(std::move(shell))
    , m_adaptor(new HeldAdaptor(*this))
{
}

ApplicationDBusService::~ApplicationDBusService()
{
    if (!m_registered)
        return;
    QDBusConnection bus = sessionBus();
    bus.unregisterObject(QString::fromLatin1(bus::kObjectPath));
    bus.unregisterService(bus::serviceNameForDataRoot(m_dataRoot));
    bus.unregisterService(QString::fromLatin1(bus::kServiceName));
}

bool ApplicationDBusService::registerOnSessionBus(QString *error)
{
    auto refuse = [error](const QString &reason) {
        if (error)
            *error = reason;
        return false;
    };
    QDBusConnection bus = sessionBus();
    if (!bus.isConnected())
        return refuse(QStringLiteral("no session bus: %1").arg(bus.lastError().message()));
    const QString path = QString::fromLatin1(bus::kObjectPath);
    if (!m_registered) {
        if (!bus.registerObject(path, m_adaptor, QDBusConnection::ExportScriptableSlots))
            return refuse(QStringLiteral("cannot offer %1 on the session bus").arg(path));
        m_registered = true;
    }
    QDBusConnectionInterface *names = bus.interface();
    const QString rootName = bus::serviceNameForDataRoot(m_dataRoot);
    const auto own = names->registerService(rootName, QDBusConnectionInterface::DontQueueService,
                                            QDBusConnectionInterface::DontAllowReplacement);
    if (!own.isValid() || own.value() != QDBusConnectionInterface::ServiceRegistered) {
        bus.unregisterObject(path);
        m_registered = false;
        return refuse(own.isValid() ? QStringLiteral("another TarniBar already serves \"%1\" on the session bus")
                                          .arg(bus::canonicalDataRoot(m_dataRoot))
                                    : own.error().message());
    }
    // Queued: when the application that holds it quits, the next one gets it.
    const auto common = names->registerService(QString::fromLatin1(bus::kServiceName),
                                               QDBusConnectionInterface::QueueService,
                                               QDBusConnectionInterface::DontAllowReplacement);
    if (!common.isValid())
        qCWarning(lcDBus, "Cannot ask for %s: %s", bus::kServiceName, qPrintable(common.error().message()));
    return true;
}

bool ApplicationDBusService::activateRunningInstance(const std::filesystem::path &dataRoot)
{
    constexpr int kTimeoutMs = 3000;
    QDBusConnection bus = sessionBus();
    if (!bus.isConnected())
        return false;
    auto call = [&](const char *method) {
        return bus.call(QDBusMessage::createMethodCall(bus::serviceNameForDataRoot(dataRoot),
                                                       QString::fromLatin1(bus::kObjectPath),
                                                       QString::fromLatin1(bus::kInterface),
                                                       QString::fromLatin1(method)),
                        QDBus::Block, kTimeoutMs);
    };
    const QDBusMessage root = call("DataRoot");
    if (root.type() != QDBusMessage::ReplyMessage ||
        root.arguments().value(0).toString() != bus::canonicalDataRoot(dataRoot))
        return false;
    return call("ShowSidebar").type() == QDBusMessage::ReplyMessage;
}

} // namespace tarni

#include "ApplicationDBusService.moc"
