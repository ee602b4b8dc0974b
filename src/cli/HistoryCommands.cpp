// undo, redo and trash: through the running application when it holds the
// lock, else on the database directly (the history and the trash live there).
#include "ApplicationLink.h"
#include "CliCommand.h"
#include "CliSession.h"

#include "model/Uuid.h"


namespace tarni::cli {

namespace {

// The records the next step puts back or takes out: undo and redo renumber
// nothing, so the rows with those identifiers are all they read.
ScopeChoice stepScope(bool undoing)
{
    return [undoing](EditSession &session) -> StoreResult<std::optional<WorkspaceStore::NodeScope>> {
        WorkspaceStore::NodeScope scope;
        const auto entry = undoing ? session.model->nextUndo() : session.model->nextRedo();
        if (!entry)
            return std::optional(scope);
        // A step that cannot be read is reported by undo() itself, which
        // reads it again.
        if (auto step = session.store->fetchHistoryStep(entry->sequence)) {
            for (const NodeList *records : {&step->before, &step->after}) {
                for (const WorkspaceNode &record : *records)
                    scope.nodes.append(record.id());
            }
        }
        return std::optional(scope);
    };
}

int runStep(CliContext &context, const QStringList &arguments, bool undoing)
{
    auto args = parseArguments(arguments, {}, {});
    if (!args || !args->positional.isEmpty())
        return usage(undoing ? "undo" : "redo");
    EditSession session;
    if (int code = openForEditing(context, session, stepScope(undoing))) {
        if (!session.applicationRunning)
            return code;
        QVariantList reply;
        if (int code = callApplication(context, undoing ? "Undo" : "Redo", {}, &reply))
            return code;
        printOut(visibleText(reply.value(0).toString()) + QLatin1Char('\n'));
        return kExitOk;
    }
    auto step = undoing ? session.model->undo() : session.model->redo();
    if (!step)
        return reportTreeError(step.error());
    printOut(visibleText(TreeViewModel::stepLabel(*step)) + QLatin1Char('\n'));
    return kExitOk;
}

using NodeScope = WorkspaceStore::NodeScope;
using ScopeResult = StoreResult<std::optional<NodeScope>>;

// A restore puts the entry's subtree back into the group it left (the top
// level when that parent is gone) and renumbers that group; it reads the
// group whole, the parent's ancestors, and the rows with the subtree's
// identifiers (to refuse nodes that are in the tree already).
ScopeChoice restoreScope(const QUuid &entryID)
{
    return [entryID](EditSession &session) -> ScopeResult {
        NodeScope scope;
        const QUuid workspace = session.model->workspace()->id;
        auto entry = session.store->fetchTrashEntry(entryID);
        if (!entry)
            return Failure(entry.error());
        // An entry that is gone or not this workspace's is refused by
        // restoreFromTrash itself, which reads it again.
        if (!*entry || (*entry)->workspaceID != workspace)
            return std::optional(scope);
        for (const WorkspaceNode &record : (*entry)->nodes)
            scope.nodes.append(record.id());
        std::optional<QUuid> parent = (*entry)->parentID;
        if (parent) {
            auto node = session.store->fetchNode(workspace, *parent);
            if (!node)
                return Failure(node.error());
            if (*node)
                scope.ancestorsOf = {*parent};
            else
                parent.reset();
        }
        scope.groups = {parent};
        return std::optional(scope);
    };
}

// Erase and empty change the trash alone.
ScopeResult noNodes(EditSession &)
{
    return std::optional(NodeScope{});
}

QString trashLines(const QList<TrashSummary> &entries, bool asJson)
{
    if (asJson)
        return trashSummariesJson(entries) + QLatin1Char('\n');
    QString out;
    for (const TrashSummary &entry : entries)
        out += QStringLiteral("%1  %2  %3 node(s)  %4\n")
                   .arg(uuidQString(entry.id), timestampQString(entry.deletedAt))
                   .arg(entry.nodeCount)
                   .arg(visibleText(entry.title));
    return out;
}

int trashList(CliContext &context, const Arguments &args)
{
    if (args.positional.size() != 1)
        return usage("trash list [--json]");
    ReadSession session;
    if (int code = openForReading(context, session, false))
        return code;
    QList<TrashSummary> entries;
    if (session.workspace) {
        auto read = session.store->fetchTrash(session.workspace->id);
        if (!read)
            return reportStoreError(read.error());
        entries = *read;
    }
    printOut(trashLines(entries, args.flags.contains(QStringLiteral("--json"))));
    return kExitOk;
}

int trashEdit(CliContext &context, const Arguments &args)
{
    const QString verb = args.positional[0];
    const bool restore = verb == QLatin1String("restore");
    const bool erase = verb == QLatin1String("erase");
    std::optional<QUuid> id;
    if (restore || erase) {
        if (args.positional.size() != 2)
            return usage("trash restore ID | erase ID");
        if (!(id = parseID(args.positional[1])))
            return kExitUsage;
    } else if (args.positional.size() != 1) {
        return usage("trash empty");
    }
    EditSession session;
    if (int code = openForEditing(context, session, restore ? restoreScope(*id) : ScopeChoice(noNodes))) {
        if (!session.applicationRunning)
            return code;
        QVariantList reply;
        const char *method = restore ? "TrashRestore" : (erase ? "TrashErase" : "TrashEmpty");
        QVariantList callArgs;
        if (id)
            callArgs << uuidQString(*id);
        if (int code = callApplication(context, method, callArgs, &reply))
            return code;
        if (restore)
            return printReplyID(reply);
        printOut(QStringLiteral("Erased %1 item(s)\n").arg(reply.value(0).toLongLong()));
        return kExitOk;
    }
    if (restore) {
        auto restored = session.model->restoreFromTrash(*id);
        if (!restored)
            return reportTreeError(restored.error());
        return printID(restored->id());
    }
    auto erased = erase ? session.model->eraseFromTrash({*id}) : session.model->emptyTrash();
    if (!erased)
        return reportTreeError(erased.error());
    printOut(QStringLiteral("Erased %1 item(s)\n").arg(*erased));
    return kExitOk;
}

} // namespace

int runUndo(CliContext &context, const QStringList &arguments)
{
    return runStep(context, arguments, true);
}

int runRedo(CliContext &context, const QStringList &arguments)
{
    return runStep(context, arguments, false);
}

int runTrash(CliContext &context, const QStringList &arguments)
{
    auto args = parseArguments(arguments, {}, {QStringLiteral("--json")});
    if (!args || args->positional.isEmpty())
        return usage("trash list [--json] | restore ID | erase ID | empty");
    const QString verb = args->positional[0];
    if (verb == QLatin1String("list"))
        return trashList(context, *args);
    if (verb == QLatin1String("restore") || verb == QLatin1String("erase") || verb == QLatin1String("empty"))
        return trashEdit(context, *args);
    return usage("trash list [--json] | restore ID | erase ID | empty");
}

} // namespace tarni::cli
