// sync: turning sync through a shared folder on and off, sending and applying
// changes, the status and the conflicts. While the application runs, the
// changes go through it; the status and the conflicts are read from the
// database either way. Both ways print from the same JSON, so they look the
// same.

#include "ApplicationLink.h"
#include "CliSession.h"

#include "app/SyncCoordinator.h"
#include "archive/SnapshotService.h"
#include "sync/SharedFolder.h"
#include "sync/SyncFolder.h"
#include "sync/SyncJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace tarni::cli {

namespace {

constexpr const char *kUsage = "sync enable FOLDER [--device NAME] | disable | now [--json] | status [--json] | "
                               "conflicts [--json] | conflicts restore ID | conflicts dismiss ID";
constexpr const char *kBeforeSyncTitle = "Before sync";

namespace fs = std::filesystem;

QString pathText(const fs::path &path)
{
    return QString::fromStdString(path.string());
}

QJsonObject objectOf(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

QJsonArray arrayOf(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).array();
}

QString fromJson(const std::string &text)
{
    return QString::fromStdString(text);
}

QString timeText(const QJsonValue &value)
{
    return value.isString() ? value.toString() : QStringLiteral("never");
}

QString statusLines(const QJsonObject &status)
{
    if (!status.value(QStringLiteral("enabled")).toBool()) {
        QString out = QStringLiteral("Sync is off.\n");
        if (status.contains(QStringLiteral("folder")))
            out += QStringLiteral("It was last on as \"%1\" with the folder \"%2\".\n")
                       .arg(visibleText(status.value(QStringLiteral("deviceName")).toString()),
                            visibleText(status.value(QStringLiteral("folder")).toString()));
        return out;
    }
    QString out = QStringLiteral("Sync is on.\n");
    out += QStringLiteral("Device: %1 (%2)\n")
               .arg(visibleText(status.value(QStringLiteral("deviceName")).toString()),
                    visibleText(status.value(QStringLiteral("device")).toString()));
    out += QStringLiteral("Folder: %1\n").arg(visibleText(status.value(QStringLiteral("folder")).toString()));
    const qint64 sent = status.value(QStringLiteral("lastSentSeq")).toInteger();
    if (sent > 0)
        out += QStringLiteral("Last sent: change file %1 at %2\n")
                   .arg(sent)
                   .arg(timeText(status.value(QStringLiteral("lastSentAt"))));
    else
        out += QStringLiteral("Last sent: nothing yet\n");
    out += QStringLiteral("Last received: %1\n").arg(timeText(status.value(QStringLiteral("lastReceivedAt"))));
    out += QStringLiteral("Waiting to be sent: %1 node(s)\n").arg(status.value(QStringLiteral("pendingNodes")).toInteger());
    const qint64 conflicts = status.value(QStringLiteral("conflicts")).toInteger();
    out += QStringLiteral("Conflicts: %1%2\n")
               .arg(conflicts)
               .arg(conflicts > 0 ? QStringLiteral(" (see: tarnibar-cli sync conflicts)") : QString());
    const QJsonArray peers = status.value(QStringLiteral("peers")).toArray();
    if (peers.isEmpty()) {
        out += QStringLiteral("Other machines: none seen yet\n");
        return out;
    }
    out += QStringLiteral("Other machines:\n");
    for (const QJsonValue &value : peers) {
        const QJsonObject peer = value.toObject();
        const QString name = peer.value(QStringLiteral("name")).toString();
        const qint64 applied = peer.value(QStringLiteral("appliedSeq")).toInteger();
        out += QStringLiteral("  %1 (%2): %3\n")
                   .arg(name.isEmpty() ? QStringLiteral("(no name yet)") : visibleText(name),
                        visibleText(peer.value(QStringLiteral("device")).toString()),
                        applied > 0 ? QStringLiteral("applied up to change file %1, last at %2")
                                          .arg(applied)
                                          .arg(timeText(peer.value(QStringLiteral("lastAppliedAt"))))
                                    : QStringLiteral("nothing applied yet"));
        if (peer.value(QStringLiteral("clockAhead")).toBool())
            out += QStringLiteral("    warning: its clock is more than a day ahead of this machine's; its edits win "
                                  "every conflict until it is set right\n");
        const qint64 failed = peer.value(QStringLiteral("failedSeq")).toInteger();
        if (failed > 0)
            out += QStringLiteral("    problem: change file %1 cannot be used (%2); it is tried again once it changes\n")
                       .arg(failed)
                       .arg(visibleText(peer.value(QStringLiteral("failedReason")).toString()));
    }
    return out;
}

QString runLines(const QJsonObject &run)
{
    const auto number = [&](const char *key) { return run.value(QLatin1String(key)).toInteger(); };
    QString out;
    if (number("filesSent") == 0 && number("filesApplied") == 0) {
        out = QStringLiteral("Nothing to send or apply.\n");
    } else {
        out = QStringLiteral("Sent %1 change file(s) with %2 change(s); applied %3 change file(s) with %4 change(s).\n")
                  .arg(number("filesSent"))
                  .arg(number("changesSent"))
                  .arg(number("filesApplied"))
                  .arg(number("changesApplied"));
    }
    if (const qint64 conflicts = number("newConflicts"))
        out += QStringLiteral("%1 new conflict(s) (see: tarnibar-cli sync conflicts)\n").arg(conflicts);
    for (const QJsonValue &problem : run.value(QStringLiteral("problems")).toArray())
        out += QStringLiteral("Not used yet: %1\n").arg(visibleText(problem.toString()));
    return out;
}

QString conflictLines(const QJsonArray &conflicts)
{
    if (conflicts.isEmpty())
        return QStringLiteral("No conflicts.\n");
    QString out;
    for (const QJsonValue &value : conflicts) {
        const QJsonObject conflict = value.toObject();
        const QString reason = conflict.value(QStringLiteral("reason")).toString();
        const QJsonObject node = conflict.value(QStringLiteral("node")).toObject();
        const QString title = node.isEmpty() ? QStringLiteral("(no record)")
                                             : QLatin1Char('"') + visibleText(node.value(QStringLiteral("title")).toString()) +
                                                   QLatin1Char('"');
        QString what;
        const QString lost = visibleText(conflict.value(QStringLiteral("lostDevice")).toString());
        const QString kept = visibleText(conflict.value(QStringLiteral("keptDevice")).toString());
        if (reason == QLatin1String("lost"))
            what = kept.isEmpty() ? QStringLiteral("%1's version lost").arg(lost)
                                  : QStringLiteral("%1's version lost to %2's").arg(lost, kept);
        else if (reason == QLatin1String("refused"))
            what = QStringLiteral("refused from %1").arg(lost);
        else
            what = QStringLiteral("not sent from %1").arg(lost);
        const QString detail = conflict.value(QStringLiteral("detail")).toString();
        out += QStringLiteral("%1  %2  %3  %4  %5%6\n")
                   .arg(conflict.value(QStringLiteral("id")).toInteger())
                   .arg(conflict.value(QStringLiteral("detectedAt")).toString(),
                        visibleText(conflict.value(QStringLiteral("nodeId")).toString()), title, what,
                        detail.isEmpty() ? QString() : QStringLiteral(": ") + visibleText(detail));
    }
    return out;
}

// What `enable` did, from the status afterwards.
QString enabledLines(const QJsonObject &status)
{
    QString out = QStringLiteral("Sync is on: device \"%1\" (%2), folder \"%3\".\n")
                      .arg(visibleText(status.value(QStringLiteral("deviceName")).toString()),
                           visibleText(status.value(QStringLiteral("device")).toString()),
                           visibleText(status.value(QStringLiteral("folder")).toString()));
    QStringList machines;
    for (const QJsonValue &value : status.value(QStringLiteral("peers")).toArray()) {
        const QJsonObject peer = value.toObject();
        if (!peer.value(QStringLiteral("name")).toString().isEmpty())
            machines << QLatin1Char('"') + visibleText(peer.value(QStringLiteral("name")).toString()) + QLatin1Char('"');
    }
    if (machines.isEmpty())
        out += QStringLiteral("This machine's tree is in the folder now.\n");
    else
        out += QStringLiteral("Took in the tree from %1.\n").arg(machines.join(QStringLiteral(", ")));
    return out;
}

// Reads the status (or the conflicts) straight from the database, as JSON.
int readStatusJson(const CliContext &context, std::string &json)
{
    ReadSession session;
    if (int code = openForReading(context, session, false))
        return code;
    auto status = session.store->fetchSyncStatus();
    if (!status)
        return reportStoreError(status.error());
    json = sync::syncStatusJson(*status);
    return kExitOk;
}

int readConflictsJson(const CliContext &context, std::string &json)
{
    ReadSession session;
    if (int code = openForReading(context, session, false))
        return code;
    auto conflicts = session.store->fetchSyncConflicts();
    if (!conflicts)
        return reportStoreError(conflicts.error());
    json = sync::syncConflictsJson(*conflicts);
    return kExitOk;
}

// The changes sync makes go through the store, not the tree: the model is
// loaded with no nodes.
ScopeChoice withoutNodes()
{
    return [](EditSession &) -> StoreResult<std::optional<WorkspaceStore::NodeScope>> {
        return std::optional(WorkspaceStore::NodeScope{});
    };
}

int refuseWhenOff(const std::optional<sync::SyncSetup> &setup)
{
    if (setup && setup->enabled)
        return kExitOk;
    printError(QStringLiteral("sync is off for this data root; turn it on with: tarnibar-cli sync enable FOLDER"));
    return kExitFailed;
}

// The folder, absolute and made if missing, or the exit code (having said why).
int prepareFolder(const CliContext &context, const QString &given, fs::path &folder)
{
    auto prepared = sync::prepareSharedFolder(given, context.root);
    if (!prepared) {
        printError(prepared.error().text);
        return prepared.error().kind == sync::SharedFolderProblem::Kind::unusable ? kExitFailed : kExitUsage;
    }
    folder = *prepared;
    return kExitOk;
}

int syncEnable(CliContext &context, const Arguments &args)
{
    if (args.positional.size() != 2 || args.flags.contains(QStringLiteral("--json")))
        return usage("sync enable FOLDER [--device NAME]");
    QString name = args.value("--device").value_or(QSysInfo::machineHostName()).trimmed();
    if (args.value("--device") && name.isEmpty()) {
        printError(QStringLiteral("the device name must not be blank"));
        return kExitUsage;
    }
    if (name.isEmpty())
        name = QStringLiteral("TarniBar");
    if (int code = requireRoot(context))
        return code;
    fs::path folder;
    if (int code = prepareFolder(context, args.positional[1], folder))
        return code;

    EditSession session;
    if (int code = openForEditing(context, session)) {
        if (!session.applicationRunning)
            return code;
        QVariantList reply;
        if (int code = callApplication(context, "SyncEnable", {pathText(folder), name}, &reply))
            return code;
        printOut(enabledLines(objectOf(reply.value(0).toString())));
        return kExitOk;
    }
    auto setup = session.store->fetchSyncSetup();
    if (!setup)
        return reportStoreError(setup.error());
    if (*setup && (*setup)->enabled) {
        printError(QStringLiteral("sync is already on with the folder \"%1\"; turn it off first (tarnibar-cli sync "
                                  "disable)")
                       .arg(pathText((*setup)->folder)));
        return kExitFailed;
    }
    // Joining a tree: this one is replaced, so it is kept first.
    if (sync::folderHoldsTree(folder) && !session.model->nodes().isEmpty()) {
        const TreeArchiveService archive;
        SnapshotService snapshots(*session.store, *session.model, archive);
        snapshots.setRetentionPolicy(userRetentionPolicy());
        auto saved = snapshots.saveAutomatic(SnapshotOrigin::beforeRestore, QString::fromLatin1(kBeforeSyncTitle));
        if (!saved) {
            const SnapshotError &error = saved.error();
            if (error.storeError)
                return reportStoreError(*error.storeError);
            if (error.treeError)
                return reportTreeError(*error.treeError);
            printError(error.description());
            return kExitFailed;
        }
        printOut(QStringLiteral("The folder holds another machine's tree, which replaces this one. The tree here "
                                "(%1 node(s)) is kept as snapshot %2 \"%3\".\n")
                     .arg(session.model->nodes().size())
                     .arg(uuidQString(saved->id), visibleText(saved->title)));
    }
    auto enabled = session.store->enableSync(folder, name);
    if (!enabled)
        return reportStoreError(enabled.error());
    // A database made for this is kept, empty or not: it holds the setup.
    session.createdDatabase.clear();
    auto status = session.store->fetchSyncStatus();
    if (!status)
        return reportStoreError(status.error());
    printOut(enabledLines(objectOf(fromJson(sync::syncStatusJson(*status)))));
    return kExitOk;
}

int syncDisable(CliContext &context, const Arguments &args)
{
    if (args.positional.size() != 1 || args.flags.contains(QStringLiteral("--json")))
        return usage("sync disable");
    if (int code = requireExistingDatabase(context))
        return code;
    EditSession session;
    if (int code = openForEditing(context, session, withoutNodes())) {
        if (!session.applicationRunning)
            return code;
        if (int code = callApplication(context, "SyncDisable", {}))
            return code;
        printOut(QStringLiteral("Sync is off. The shared folder is left as it is.\n"));
        return kExitOk;
    }
    auto setup = session.store->fetchSyncSetup();
    if (!setup)
        return reportStoreError(setup.error());
    if (!*setup || !(*setup)->enabled) {
        printOut(QStringLiteral("Sync is off already.\n"));
        return kExitOk;
    }
    if (auto done = session.store->disableSync(); !done)
        return reportStoreError(done.error());
    printOut(QStringLiteral("Sync is off. The shared folder is left as it is.\n"));
    return kExitOk;
}

int syncNow(CliContext &context, const Arguments &args)
{
    if (args.positional.size() != 1)
        return usage("sync now [--json]");
    const bool asJson = args.flags.contains(QStringLiteral("--json"));
    if (int code = requireExistingDatabase(context))
        return code;
    QString json;
    EditSession session;
    if (int code = openForEditing(context, session, withoutNodes())) {
        if (!session.applicationRunning)
            return code;
        QVariantList reply;
        if (int code = callApplication(context, "SyncNow", {}, &reply))
            return code;
        json = reply.value(0).toString();
    } else {
        auto setup = session.store->fetchSyncSetup();
        if (!setup)
            return reportStoreError(setup.error());
        if (int code = refuseWhenOff(*setup))
            return code;
        auto run = session.store->syncNow();
        if (!run)
            return reportStoreError(run.error());
        json = fromJson(sync::syncRunJson(*run));
    }
    printOut(asJson ? json + QLatin1Char('\n') : runLines(objectOf(json)));
    return kExitOk;
}

int syncStatus(CliContext &context, const Arguments &args)
{
    if (args.positional.size() != 1)
        return usage("sync status [--json]");
    std::string json;
    if (int code = readStatusJson(context, json))
        return code;
    if (args.flags.contains(QStringLiteral("--json")))
        printOut(json + '\n');
    else
        printOut(statusLines(objectOf(fromJson(json))));
    return kExitOk;
}

std::optional<std::int64_t> parseConflictID(const QString &text)
{
    bool ok = false;
    const qint64 id = text.toLongLong(&ok);
    if (ok && id > 0)
        return id;
    printError(QStringLiteral("\"%1\" is not a conflict number (see: tarnibar-cli sync conflicts)").arg(text));
    return std::nullopt;
}

int noConflict(std::int64_t id)
{
    printError(QStringLiteral("no conflict %1 (see: tarnibar-cli sync conflicts)").arg(id));
    return kExitFailed;
}

// A restore adds a copy after the last child of the version's parent (the
// top level when that is gone): it reads that group whole and the parent.
ScopeChoice restoreScope(std::int64_t id)
{
    return [id](EditSession &session) -> StoreResult<std::optional<WorkspaceStore::NodeScope>> {
        WorkspaceStore::NodeScope scope;
        std::optional<QUuid> parent;
        // A conflict that is gone is reported by the restore, which reads it again.
        auto conflicts = session.store->fetchSyncConflicts();
        if (!conflicts)
            return Failure(conflicts.error());
        for (const sync::SyncConflict &conflict : std::as_const(*conflicts)) {
            if (conflict.id == id && conflict.node)
                parent = conflict.node->parentID();
        }
        if (parent) {
            auto node = session.store->fetchNode(session.model->workspace()->id, *parent);
            if (!node)
                return Failure(node.error());
            if (*node) {
                scope.nodes = {*parent};
                scope.ancestorsOf = {*parent};
            } else {
                parent.reset();
            }
        }
        scope.groups = {parent};
        return std::optional(scope);
    };
}

int conflictEdit(CliContext &context, const Arguments &args)
{
    const bool restore = args.positional[1] == QLatin1String("restore");
    if (args.positional.size() != 3 || args.flags.contains(QStringLiteral("--json")))
        return usage("sync conflicts restore ID | conflicts dismiss ID");
    const auto id = parseConflictID(args.positional[2]);
    if (!id)
        return kExitUsage;
    if (int code = requireExistingDatabase(context))
        return code;
    EditSession session;
    if (int code = openForEditing(context, session, restore ? restoreScope(*id) : withoutNodes())) {
        if (!session.applicationRunning)
            return code;
        QVariantList reply;
        if (int code = callApplication(context, restore ? "SyncConflictRestore" : "SyncConflictDismiss",
                                       {QVariant::fromValue(qlonglong(*id))}, &reply))
            return code;
        if (restore)
            return printReplyID(reply);
        if (!reply.value(0).toBool())
            return noConflict(*id);
        printOut(QStringLiteral("Dismissed conflict %1\n").arg(*id));
        return kExitOk;
    }
    if (!restore) {
        auto dismissed = session.store->dismissSyncConflict(*id);
        if (!dismissed)
            return reportStoreError(dismissed.error());
        if (!*dismissed)
            return noConflict(*id);
        printOut(QStringLiteral("Dismissed conflict %1\n").arg(*id));
        return kExitOk;
    }
    auto restored = SyncCoordinator::restoreConflict(*session.store, *session.model, *id);
    if (!restored) {
        const ConflictRestoreError &error = restored.error();
        switch (error.kind) {
        case ConflictRestoreError::Kind::noSuchConflict: return noConflict(*id);
        case ConflictRestoreError::Kind::nothingKept:
            printError(QStringLiteral("conflict %1 keeps no version to restore").arg(*id));
            return kExitFailed;
        case ConflictRestoreError::Kind::tree: break;
        }
        return reportTreeError(*error.tree);
    }
    return printID(restored->id());
}

int syncConflicts(CliContext &context, const Arguments &args)
{
    if (args.positional.size() >= 2 &&
        (args.positional[1] == QLatin1String("restore") || args.positional[1] == QLatin1String("dismiss")))
        return conflictEdit(context, args);
    if (args.positional.size() != 1)
        return usage("sync conflicts [--json] | conflicts restore ID | conflicts dismiss ID");
    std::string json;
    if (int code = readConflictsJson(context, json))
        return code;
    if (args.flags.contains(QStringLiteral("--json")))
        printOut(json + '\n');
    else
        printOut(conflictLines(arrayOf(fromJson(json))));
    return kExitOk;
}

} // namespace

int runSync(CliContext &context, const QStringList &arguments)
{
    auto args = parseArguments(arguments, {QStringLiteral("--device")}, {QStringLiteral("--json")});
    if (!args || args->positional.isEmpty())
        return usage(kUsage);
    const QString verb = args->positional.first();
    if (verb != QLatin1String("enable") && args->value("--device"))
        return usage(kUsage);
    if (verb == QLatin1String("enable"))
        return syncEnable(context, *args);
    if (verb == QLatin1String("disable"))
        return syncDisable(context, *args);
    if (verb == QLatin1String("now"))
        return syncNow(context, *args);
    if (verb == QLatin1String("status"))
        return syncStatus(context, *args);
    if (verb == QLatin1String("conflicts"))
        return syncConflicts(context, *args);
    return usage(kUsage);
}

} // namespace tarni::cli
