// Snapshots of the workspace: saved, listed, shown and restored with the same
// code the application uses.

#include "ApplicationLink.h"
#include "CliSession.h"

#include "archive/SnapshotService.h"
#include "model/JsonEncoding.h"
#include "model/Timestamp.h"
#include "model/Uuid.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace tarni::cli {

namespace {

constexpr const char *kUsage = "snapshot save [--node ID] [--title T] [--replace-oldest] | list [--json] | show ID | restore ID [--under ID]";

int reportSnapshotError(const SnapshotError &error)
{
    if (error.treeError)
        return reportTreeError(*error.treeError);
    if (error.storeError)
        return reportStoreError(*error.storeError);
    if (error.kind == SnapshotError::Kind::manualLimit)
        printError(error.description() + QStringLiteral(" Add --replace-oldest to remove them, or raise the limit in "
                                                         "the application's Settings."));
    else
        printError(error.description());
    return kExitFailed;
}

// The snapshot with that identifier, or none (having said why).
std::optional<WorkspaceSnapshot> findSnapshot(SnapshotService &snapshots, const QString &text, int &code)
{
    const auto id = parseID(text);
    if (!id) {
        code = kExitUsage;
        return std::nullopt;
    }
    auto found = snapshots.find(*id);
    if (!found) {
        code = reportSnapshotError(found.error());
        return std::nullopt;
    }
    if (*found)
        return std::move(**found);
    printError(QStringLiteral("no snapshot %1 in the workspace").arg(uuidQString(*id)));
    code = kExitFailed;
    return std::nullopt;
}

// What a restore reads of the tree. A subtree snapshot is added after the
// last child of --under (or at the top level) like an import, which
// renumbers that group: it reads the group whole. A workspace
// snapshot replaces the tree and keeps it as a snapshot first, so it reads it
// whole. The --under node is read in any case: it is checked first.
ScopeChoice restoreScope(const QString &snapshotText, const std::optional<QUuid> &parent)
{
    return [snapshotText, parent](EditSession &session) -> StoreResult<std::optional<WorkspaceStore::NodeScope>> {
        WorkspaceStore::NodeScope scope;
        scope.groups = {parent};
        if (parent)
            scope.nodes = {*parent};
        const auto id = parseUuid(snapshotText);
        if (!id)
            return std::optional(scope); // reported below
        auto listed = session.store->fetchSnapshotList(session.model->workspace()->id);
        if (!listed)
            return Failure(listed.error());
        for (const WorkspaceStore::ListedSnapshot &entry : std::as_const(*listed)) {
            if (entry.summary.id == *id && !entry.summary.subtree)
                return std::optional<WorkspaceStore::NodeScope>();
        }
        return std::optional(scope);
    };
}

// Printed as it is (an unreadable one would come out changed or not at all).
bool readable(const SnapshotSummary &summary)
{
    return summary.condition == SnapshotCondition::readable;
}

QString conditionText(const SnapshotSummary &summary)
{
    if (summary.condition == SnapshotCondition::newerVersion)
        return QStringLiteral("made by a newer version of TarniBar (schema %1); this version cannot read it")
            .arg(summary.schemaVersion);
    return QStringLiteral("damaged; it cannot be read");
}

} // namespace

int runSnapshot(CliContext &context, const QStringList &arguments)
{
    auto args = parseArguments(arguments, {QStringLiteral("--node"), QStringLiteral("--title"), QStringLiteral("--under")},
                               {QStringLiteral("--json"), QStringLiteral("--replace-oldest")});
    if (!args || args->positional.isEmpty())
        return usage(kUsage);
    const QString verb = args->positional.takeFirst();
    const bool replaceOldest = args->flags.contains(QStringLiteral("--replace-oldest"));
    if (replaceOldest && verb != QLatin1String("save"))
        return usage(kUsage);
    const TreeArchiveService archive;

    if (verb == QLatin1String("list") || verb == QLatin1String("show")) {
        const bool list = verb == QLatin1String("list");
        if (args->value("--node") || args->value("--title") || args->value("--under") ||
            args->positional.size() != (list ? 0 : 1) || (!list && args->flags.contains(QStringLiteral("--json"))))
            return usage(kUsage);
        ReadSession session;
        if (int code = openForReading(context, session, false))
            return code;
        if (list) {
            // Each snapshot without its body: the body can be large. One
            // this version cannot read says why instead.
            QList<WorkspaceStore::ListedSnapshot> none;
            auto snapshots = session.workspace ? session.store->fetchSnapshotList(session.workspace->id)
                                               : StoreResult<QList<WorkspaceStore::ListedSnapshot>>(none);
            if (!snapshots)
                return reportStoreError(snapshots.error());
            if (args->flags.contains(QStringLiteral("--json"))) {
                std::string out = "[";
                for (const auto &[summary, snapshot] : *snapshots) {
                    std::string text;
                    if (readable(summary)) {
                        auto encoded = json::encode(*snapshot);
                        if (!encoded)
                            return reportStoreError(StoreError{StoreError::Kind::encode, {}, encoded.error().reason});
                        text = std::move(*encoded);
                    } else {
                        text = QJsonDocument(QJsonObject{{QStringLiteral("id"), uuidQString(summary.id)},
                                                         {QStringLiteral("createdAt"), timestampQString(summary.createdAt)},
                                                         {QStringLiteral("title"), summary.title},
                                                         {QStringLiteral("schemaVersion"), qint64(summary.schemaVersion)},
                                                         {QStringLiteral("unreadable"), conditionText(summary)}})
                                   .toJson(QJsonDocument::Compact)
                                   .toStdString();
                    }
                    out += (out.size() > 1 ? "," : "") + text;
                }
                printOut(out + "]\n");
            } else {
                QString out;
                for (const auto &entry : *snapshots) {
                    const SnapshotSummary &summary = entry.summary;
                    out += QStringLiteral("%1  %2  %3 (%4)\n")
                               .arg(uuidQString(summary.id), timestampQString(summary.createdAt),
                                    visibleText(summary.title),
                                    readable(summary) ? QStringLiteral("%1 node(s)").arg(summary.nodeCount)
                                                      : conditionText(summary));
                }
                printOut(out);
            }
            return kExitOk;
        }
        const auto id = parseID(args->positional.first());
        if (!id)
            return kExitUsage;
        auto found = session.workspace ? session.store->fetchListedSnapshot(session.workspace->id, *id)
                                       : StoreResult<std::optional<WorkspaceStore::ListedSnapshot>>(std::nullopt);
        if (!found)
            return reportStoreError(found.error());
        if (*found) {
            const auto &[summary, snapshot] = **found;
            if (!readable(summary)) {
                printError(QStringLiteral("snapshot %1 %2").arg(uuidQString(*id), conditionText(summary)));
                return kExitBadData;
            }
            // Written as it is encoded: the text of a large tree is never held whole.
            auto written = json::encodeTo(*snapshot, json::JsonStyle::pretty, [](std::string_view piece) {
                printOut(piece);
                return std::ferror(stdout) == 0;
            });
            if (!written)
                return reportStoreError(StoreError{StoreError::Kind::encode, {}, written.error().reason});
            printOut(std::string_view("\n"));
            return kExitOk;
        }
        printError(QStringLiteral("no snapshot %1 in the workspace").arg(uuidQString(*id)));
        return kExitFailed;
    }

    if (verb == QLatin1String("save")) {
        if (!args->positional.isEmpty() || args->value("--under") || args->flags.contains(QStringLiteral("--json")))
            return usage(kUsage);
        std::optional<QUuid> node;
        if (auto text = args->value("--node")) {
            node = parseID(*text);
            if (!node)
                return kExitUsage;
        }
        EditSession session;
        if (int code = openForEditing(context, session)) {
            if (!session.applicationRunning)
                return code;
            QVariantMap options;
            if (auto title = args->value("--title"))
                options.insert(QStringLiteral("title"), *title);
            if (replaceOldest)
                options.insert(QStringLiteral("replaceOldest"), true);
            QVariantList reply;
            if (int code = callApplication(context, "SaveSnapshotOf",
                                           {node ? uuidQString(*node) : QString(), options}, &reply))
                return code;
            return printReplyID(reply);
        }
        SnapshotService snapshots(*session.store, *session.model, archive);
        snapshots.setRetentionPolicy(userRetentionPolicy());
        const ManualLimit limit = replaceOldest ? ManualLimit::removeOldest : ManualLimit::refuse;
        auto saved = node ? snapshots.saveSubtree(*node, args->value("--title"), limit)
                          : snapshots.saveWorkspace(args->value("--title").value_or(QStringLiteral("Workspace Snapshot")),
                                                    std::nullopt, limit);
        if (!saved)
            return reportSnapshotError(saved.error());
        printOut(uuidQString(saved->id) + QLatin1Char('\n'));
        return kExitOk;
    }

    if (verb == QLatin1String("restore")) {
        if (args->positional.size() != 1 || args->value("--node") || args->value("--title") ||
            args->flags.contains(QStringLiteral("--json")))
            return usage(kUsage);
        // Only to choose what to read: a bad identifier is reported below.
        const auto under = args->value("--under");
        const std::optional<QUuid> scopeParent = under ? parseUuid(*under) : std::nullopt;
        EditSession session;
        if (int code = openForEditing(context, session, restoreScope(args->positional.first(), scopeParent))) {
            if (!session.applicationRunning)
                return code;
            QString parent;
            if (int code = parseUnderText(*args, parent))
                return code;
            const auto id = parseID(args->positional.first());
            if (!id)
                return kExitUsage;
            QVariantList reply;
            if (int code = callApplication(context, "RestoreSnapshot", {uuidQString(*id), parent}, &reply))
                return code;
            QString out = QStringLiteral("Restored %1 node(s) from %2 snapshot \"%3\"\n")
                              .arg(reply.value(0).toInt())
                              .arg(reply.value(1).toBool() ? QStringLiteral("subtree") : QStringLiteral("workspace"),
                                   visibleText(reply.value(2).toString()));
            if (!reply.value(3).toString().isEmpty())
                out += QStringLiteral("The tree as it was is kept as snapshot %1 \"%2\"\n")
                           .arg(visibleText(reply.value(3).toString()), visibleText(reply.value(4).toString()));
            printOut(out);
            return kExitOk;
        }
        std::optional<QUuid> parent;
        if (int code = parseUnder(*args, *session.model, parent))
            return code;
        SnapshotService snapshots(*session.store, *session.model, archive);
        snapshots.setRetentionPolicy(userRetentionPolicy());
        int code = kExitOk;
        const auto snapshot = findSnapshot(snapshots, args->positional.first(), code);
        if (!snapshot)
            return code;
        // The list said subtree, the snapshot says workspace: read the tree
        // whole after all.
        if (!snapshot->rootNode.originalNodeID && session.store->readsPartialTree()) {
            session.store->setNodeScope(std::nullopt);
            if (auto loaded = session.model->load(); !loaded)
                return reportTreeError(loaded.error());
        }
        const QString safetyTitle =
            QStringLiteral("Before restore %1").arg(timestampQString(currentTimestamp()));
        auto restored = snapshots.restore(*snapshot, parent, safetyTitle);
        if (!restored)
            return reportSnapshotError(restored.error());
        QString out = QStringLiteral("Restored %1 node(s) from %2 snapshot \"%3\"\n")
                          .arg(restored->nodeCount)
                          .arg(restored->subtree ? QStringLiteral("subtree") : QStringLiteral("workspace"),
                               visibleText(snapshot->title));
        if (restored->safetySnapshot)
            out += QStringLiteral("The tree as it was is kept as snapshot %1 \"%2\"\n")
                       .arg(uuidQString(restored->safetySnapshot->id), visibleText(restored->safetySnapshot->title));
        printOut(out);
        return kExitOk;
    }
    return usage(kUsage);
}

} // namespace tarni::cli
