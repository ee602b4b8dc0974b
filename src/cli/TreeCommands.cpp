// The tree commands: show, edit, export and import the workspace through the
// same tree engine and archive code the application uses.

#include "ApplicationLink.h"
#include "CliSession.h"
#include "InteropCommands.h"

#include "archive/TreeArchiveService.h"
#include "archive/TreeExportFile.h"
#include "interop/InteropFormat.h"
#include "model/JsonWriting.h"
#include "model/Uuid.h"
#include "tree/TreeViewModel.h"
#include "model/UnreachableNodes.h"

#include <QDir>
#include <QFileInfo>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace tarni::cli {

namespace {

// Plain output indents two spaces per level up to this depth; deeper lines
// say their depth instead of growing wider.
constexpr int kMaxPlainIndent = 32;

QString plainLine(const WorkspaceNode &node, int depth, bool hasChildren)
{
    QString line;
    if (depth <= kMaxPlainIndent)
        line = QString(depth * 2, QLatin1Char(' '));
    else
        line = QString(kMaxPlainIndent * 2, QLatin1Char(' ')) + QStringLiteral("(depth %1) ").arg(depth);
    line += node.isCollapsed() && hasChildren ? QStringLiteral("+ ") : QStringLiteral("- ");
    line += visibleText(node.title());
    if (node.subtitle() && !node.subtitle()->isEmpty())
        line += QStringLiteral(" \u2014 ") + visibleText(*node.subtitle());
    line += QStringLiteral("  [%1 %2]\n").arg(QString::fromLatin1(rawValue(node.kind()).data()), uuidQString(node.id()));
    return line;
}

std::string plainTree(const QList<WorkspaceTreeNode> &roots)
{
    std::string out;
    std::vector<std::pair<const WorkspaceTreeNode *, int>> pending;
    for (qsizetype i = roots.size(); i-- > 0;)
        pending.emplace_back(&roots[i], 0);
    while (!pending.empty()) {
        auto [entry, depth] = pending.back();
        pending.pop_back();
        out += plainLine(entry->node, depth, !entry->children.isEmpty()).toStdString();
        for (qsizetype i = entry->children.size(); i-- > 0;)
            pending.emplace_back(&entry->children[i], depth + 1);
    }
    return out;
}

// [{"children":[...],"node":{...}}, ...] on one line, written without
// recursion. Keys in byte order, as everywhere.
std::optional<std::string> jsonTree(const QList<WorkspaceTreeNode> &roots)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    struct Frame {
        const QList<WorkspaceTreeNode> *list;
        qsizetype next;
        const WorkspaceTreeNode *owner; // whose "node" closes this frame; null for the top level
    };
    std::vector<Frame> stack{{&roots, 0, nullptr}};
    writer.StartArray();
    while (!stack.empty()) {
        Frame &top = stack.back();
        if (top.next < top.list->size()) {
            const WorkspaceTreeNode &entry = (*top.list)[top.next++];
            writer.StartObject();
            json::writeKey(writer, "children");
            writer.StartArray();
            stack.push_back({&entry.children, 0, &entry}); // invalidates `top`
            continue;
        }
        const WorkspaceTreeNode *owner = top.owner;
        stack.pop_back();
        writer.EndArray();
        if (owner) {
            json::writeKey(writer, "node");
            if (!json::writeFields(writer, owner->node))
                return std::nullopt;
            writer.EndObject();
        }
    }
    return std::string(buffer.GetString(), buffer.GetSize()) + '\n';
}

using NodeScope = WorkspaceStore::NodeScope;
using ScopeResult = StoreResult<std::optional<NodeScope>>;

// What each edit reads of the tree: the rows it changes, the complete
// sibling groups it renumbers, and the nodes its checks look at.

// Rename and collapse change the node in place.
ScopeChoice nodeScope(const QUuid &id)
{
    return [id](EditSession &) -> ScopeResult {
        NodeScope scope;
        scope.nodes = {id};
        return std::optional(scope);
    };
}

// An add appends after the last sibling, and renumbers nothing.
ScopeChoice addScope(const std::optional<QUuid> &parent)
{
    return [parent](EditSession &) -> ScopeResult {
        NodeScope scope;
        scope.lastOfGroups = {parent};
        if (parent)
            scope.nodes = {*parent};
        return std::optional(scope);
    };
}

// An import appends after the last sibling too, but renumbers the group it
// adds to (TreeViewModel::appendNodes): it reads that group whole.
ScopeChoice importScope(const std::optional<QUuid> &parent)
{
    return [parent](EditSession &) -> ScopeResult {
        NodeScope scope;
        scope.groups = {parent};
        if (parent)
            scope.nodes = {*parent};
        return std::optional(scope);
    };
}

// A move renumbers the groups it leaves and enters, and climbs from the new
// parent to refuse a move below the node itself.
ScopeChoice moveScope(const QUuid &id, const std::optional<QUuid> &parent)
{
    return [id, parent](EditSession &session) -> ScopeResult {
        auto node = session.store->fetchNode(session.model->workspace()->id, id);
        if (!node)
            return Failure(node.error());
        NodeScope scope;
        if (*node)
            scope.groups = {(*node)->parentID()};
        scope.groups.append(parent);
        if (parent)
            scope.ancestorsOf = {*parent};
        return std::optional(scope);
    };
}

// A delete or a copy takes the node's subtree and renumbers its siblings.
ScopeChoice subtreeScope(const QUuid &id)
{
    return [id](EditSession &session) -> ScopeResult {
        auto node = session.store->fetchNode(session.model->workspace()->id, id);
        if (!node)
            return Failure(node.error());
        NodeScope scope;
        if (*node) {
            scope.groups = {(*node)->parentID()};
            scope.subtreesOf = {id};
        }
        return std::optional(scope);
    };
}

// Whether a document may bring more nodes than an import takes a snapshot
// before (counting the added root of a whole-workspace document too). That
// snapshot holds the whole tree, so such an import reads it whole.
bool mayTakeSnapshot(const TreeExport &document)
{
    qsizetype count = 0;
    std::vector<const TreeExportNode *> pending{&document.rootNode};
    while (!pending.empty() && count <= WorkspaceImport::kSnapshotThreshold) {
        const TreeExportNode *node = pending.back();
        pending.pop_back();
        ++count;
        for (const TreeExportNode &child : node->children)
            pending.push_back(&child);
    }
    return count > WorkspaceImport::kSnapshotThreshold;
}

} // namespace

int runTree(CliContext &context, const QStringList &arguments)
{
    auto args = parseArguments(arguments, {QStringLiteral("--search")}, {QStringLiteral("--json")});
    if (!args || !args->positional.isEmpty())
        return usage("tree [--search TEXT] [--json]");
    ReadSession session;
    if (int code = openForReading(context, session))
        return code;
    TreeProjection projection(session.nodes, TreeProjection::SearchIndex::onFirstQuery);
    projection.setQuery(args->value("--search").value_or(QString()));
    const auto tree = projection.displayedTree();
    if (args->flags.contains(QStringLiteral("--json"))) {
        auto text = jsonTree(tree);
        if (!text) {
            printError(QStringLiteral("a node's sortOrder is not a finite number"));
            return kExitBadData;
        }
        printOut(*text);
    } else {
        printOut(plainTree(tree));
    }
    return kExitOk;
}

int runAdd(CliContext &context, const QStringList &arguments)
{
    const char *kUsage = "add group TITLE | link URL [--title T] | slack TEXT | file PATH | folder PATH [--under ID]";
    auto args = parseArguments(arguments, {QStringLiteral("--under"), QStringLiteral("--title")}, {});
    if (!args || args->positional.size() != 2)
        return usage(kUsage);
    const QString kind = args->positional[0];
    const QString text = args->positional[1];
    static const QStringList kKinds{QStringLiteral("group"), QStringLiteral("link"), QStringLiteral("slack"),
                                    QStringLiteral("file"), QStringLiteral("folder")};
    if (!kKinds.contains(kind) || (args->value("--title") && kind != QLatin1String("link")))
        return usage(kUsage);

    const bool isPath = kind == QLatin1String("file") || kind == QLatin1String("folder");
    const QString path = isPath ? QDir::cleanPath(QFileInfo(text).absoluteFilePath()) : QString();

    // Only to choose what to read: a bad identifier is reported below.
    const auto under = args->value("--under");
    const std::optional<QUuid> scopeParent = under ? parseUuid(*under) : std::nullopt;
    EditSession session;
    if (int code = openForEditing(context, session, addScope(scopeParent))) {
        if (!session.applicationRunning)
            return code;
        QString parent;
        if (int code = parseUnderText(*args, parent))
            return code;
        QVariantMap options;
        if (auto title = args->value("--title"))
            options.insert(QStringLiteral("title"), *title);
        QVariantList reply;
        if (int code = callApplication(context, "AddNode", {kind, isPath ? path : text, parent, options}, &reply))
            return code;
        return printReplyID(reply);
    }
    TreeViewModel &model = *session.model;
    std::optional<QUuid> parent;
    if (int code = parseUnder(*args, model, parent))
        return code;

    TreeResult<WorkspaceNode> added = Failure(TreeViewModelError::missingWorkspace());
    if (kind == QLatin1String("group")) {
        added = model.addGroup(text, parent);
    } else if (kind == QLatin1String("link")) {
        added = model.addWebLink(text, args->value("--title"), parent);
    } else if (kind == QLatin1String("slack")) {
        added = model.addSlackPermalink(text, parent);
    } else {
        added = model.addFile(QUrl::fromLocalFile(path), kind == QLatin1String("folder"), parent);
    }
    if (!added)
        return reportTreeError(added.error());
    return printID(added->id());
}

int runRename(CliContext &context, const QStringList &arguments)
{
    auto args = parseArguments(arguments, {}, {});
    if (!args || args->positional.size() != 2)
        return usage("rename ID TITLE");
    const auto id = parseID(args->positional[0]);
    if (!id)
        return kExitUsage;
    EditSession session;
    if (int code = openForEditing(context, session, nodeScope(*id))) {
        if (!session.applicationRunning)
            return code;
        if (int code = callApplication(context, "Rename", {uuidQString(*id), args->positional[1]}))
            return code;
        return printID(*id);
    }
    if (int code = requireNode(*session.model, *id))
        return code;
    if (auto renamed = session.model->rename(*id, args->positional[1]); !renamed)
        return reportTreeError(renamed.error());
    return printID(*id);
}

int runMove(CliContext &context, const QStringList &arguments)
{
    auto args = parseArguments(arguments, {QStringLiteral("--under"), QStringLiteral("--index")}, {});
    if (!args || args->positional.size() != 1)
        return usage("move ID [--under ID] [--index N]");
    const auto id = parseID(args->positional[0]);
    if (!id)
        return kExitUsage;
    std::optional<qsizetype> index;
    if (auto text = args->value("--index")) {
        bool ok = false;
        index = text->toLongLong(&ok);
        if (!ok || *index < 0) {
            printError(QStringLiteral("--index needs a whole number of 0 or more, not \"%1\"").arg(*text));
            return kExitUsage;
        }
    }
    std::optional<QUuid> parent;
    if (auto under = args->value("--under"); under && !(parent = parseID(*under)))
        return kExitUsage;
    EditSession session;
    if (int code = openForEditing(context, session, moveScope(*id, parent))) {
        if (!session.applicationRunning)
            return code;
        // The bus takes a 32-bit index, -1 for "last"; any larger index is last too.
        const int busIndex = !index ? -1 : int(std::clamp<qsizetype>(*index, 0, std::numeric_limits<int>::max()));
        const QString parentText = parent ? uuidQString(*parent) : QString();
        if (int code = callApplication(context, "Move", {uuidQString(*id), parentText, busIndex}))
            return code;
        return printID(*id);
    }
    // Without --index the node goes last, as it does through the bus.
    const auto moved = session.model->move(*id, parent, index.value_or(std::numeric_limits<qsizetype>::max()));
    if (!moved)
        return reportTreeError(moved.error());
    return printID(*id);
}

// The commands that take exactly one node id and edit that node.
// `method` is the application's method for the same edit, which answers
// with the identifier to print (or nothing: the node's own).
template <class Edit>
int editOneNode(CliContext &context, const QStringList &arguments, const char *usageText, const char *method,
                ScopeChoice (*scope)(const QUuid &), Edit &&edit)
{
    auto args = parseArguments(arguments, {}, {});
    if (!args || args->positional.size() != 1)
        return usage(usageText);
    const auto id = parseID(args->positional[0]);
    if (!id)
        return kExitUsage;
    EditSession session;
    if (int code = openForEditing(context, session, scope(*id))) {
        if (!session.applicationRunning)
            return code;
        QVariantList reply;
        if (int code = callApplication(context, method, {uuidQString(*id)}, &reply))
            return code;
        return reply.isEmpty() ? printID(*id) : printReplyID(reply);
    }
    if (int code = requireNode(*session.model, *id))
        return code;
    return edit(*session.model, *id);
}

int runDelete(CliContext &context, const QStringList &arguments)
{
    return editOneNode(context, arguments, "delete ID", "Delete", subtreeScope,
                       [](TreeViewModel &model, const QUuid &id) {
                           if (auto deleted = model.deleteNode(id); !deleted)
                               return reportTreeError(deleted.error());
                           return printID(id);
                       });
}

int runDuplicate(CliContext &context, const QStringList &arguments)
{
    return editOneNode(context, arguments, "duplicate ID", "Duplicate", subtreeScope,
                       [](TreeViewModel &model, const QUuid &id) {
                           auto copies = model.duplicateSubtree(id);
                           if (!copies)
                               return reportTreeError(copies.error());
                           return printID(copies->first().id());
                       });
}

int runCollapse(CliContext &context, const QStringList &arguments)
{
    return editOneNode(context, arguments, "collapse ID", "ToggleCollapse", nodeScope,
                       [](TreeViewModel &model, const QUuid &id) {
                           if (auto toggled = model.toggleCollapse(id); !toggled)
                               return reportTreeError(toggled.error());
                           return printID(id);
                       });
}

int runExport(CliContext &context, const QStringList &arguments)
{
    auto args = parseArguments(arguments, {QStringLiteral("--node"), QStringLiteral("-o"), QStringLiteral("--format")},
                               {QStringLiteral("--compact")});
    if (!args || !args->positional.isEmpty())
        return usage("export [--format F] [--node ID] [--compact] [-o FILE]");
    const auto layout = args->flags.contains(QStringLiteral("--compact")) ? TreeExportFile::Layout::compact
                                                                          : TreeExportFile::Layout::pretty;
    InteropFormat format = InteropFormat::tarnibar;
    if (auto name = args->value("--format")) {
        const auto named = interopFormatFromName(*name);
        if (!named || !canExport(*named)) {
            printError(QStringLiteral("cannot export as \"%1\"; the formats are tarnibar, bookmarks, onetab, "
                                      "markdown, text and html").arg(*name));
            return kExitUsage;
        }
        format = *named;
    }
    if (layout == TreeExportFile::Layout::compact && format != InteropFormat::tarnibar) {
        printError(QStringLiteral("--compact applies to the tarnibar format only"));
        return kExitUsage;
    }
    std::optional<QUuid> root;
    if (auto text = args->value("--node")) {
        root = parseID(*text);
        if (!root)
            return kExitUsage;
    }
    ReadSession session;
    if (int code = openForReading(context, session))
        return code;
    const TreeArchiveService service;
    TreeExport document;
    if (root) {
        auto subtree = service.exportSubtree(*root, session.nodes);
        if (!subtree) {
            printError(QStringLiteral("no node %1 in the workspace tree").arg(uuidQString(*root)));
            return kExitFailed;
        }
        document = std::move(subtree).value();
    } else {
        document = service.exportWorkspace(session.nodes);
    }

    if (format != InteropFormat::tarnibar)
        return writeInteropExport(document, format, args->value("-o"));
    if (auto file = args->value("-o")) {
        const std::filesystem::path path = std::filesystem::absolute(file->toStdString());
        if (auto written = TreeExportFile::write(document, path, layout); !written) {
            printError(written.error().description());
            return kExitFailed;
        }
        printOut(QStringLiteral("Exported %1\n").arg(QString::fromStdString(path.filename().string())));
        return kExitOk;
    }
    auto text = TreeExportFile::encode(document, layout);
    if (!text) {
        printError(text.error().description());
        return kExitBadData;
    }
    printOut(text.value());
    return kExitOk;
}

int runImport(CliContext &context, const QStringList &arguments)
{
    auto args = parseArguments(arguments, {QStringLiteral("--under"), QStringLiteral("--format")}, {});
    if (!args || args->positional.size() != 1)
        return usage("import [--format F] FILE [--under ID]");
    // Without --format the content decides; our own documents keep the
    // import they always had.
    std::optional<InteropFormat> format;
    if (auto name = args->value("--format")) {
        format = interopFormatFromName(*name);
        if (!format || !canImport(*format)) {
            printError(QStringLiteral("cannot import \"%1\"; the formats are tarnibar, bookmarks, onetab, sessions, "
                                      "markdown and text").arg(*name));
            return kExitUsage;
        }
    }
    if (format != InteropFormat::tarnibar) {
        const auto path = std::filesystem::absolute(args->positional[0].toStdString());
        auto detected = detectFormatOfFile(path, format);
        if (!detected)
            return kExitBadData;
        if (*detected != InteropFormat::tarnibar)
            return importInteropFormat(context, *args, path, *detected);
    }
    // Read and decode first: a bad file changes nothing.
    auto document = TreeExportFile::read(std::filesystem::absolute(args->positional[0].toStdString()));
    if (!document) {
        printError(document.error().description());
        return kExitBadData;
    }
    // Only to choose what to read: a bad identifier is reported below.
    const auto under = args->value("--under");
    const std::optional<QUuid> scopeParent = under ? parseUuid(*under) : std::nullopt;
    const ScopeChoice scope = mayTakeSnapshot(*document) ? ScopeChoice() : importScope(scopeParent);
    EditSession session;
    if (int code = openForEditing(context, session, scope)) {
        if (!session.applicationRunning)
            return code;
        QString parent;
        if (int code = parseUnderText(*args, parent))
            return code;
        const QString file = QString::fromStdString(std::filesystem::absolute(args->positional[0].toStdString()).string());
        QVariantList reply;
        if (int code = callApplication(context, "ImportFile", {file, parent}, &reply))
            return code;
        printOut(QStringLiteral("Imported %1 node(s)\n").arg(reply.value(0).toInt()));
        return kExitOk;
    }
    TreeViewModel &model = *session.model;
    std::optional<QUuid> parent;
    if (int code = parseUnder(*args, model, parent))
        return code;
    InteropImport imported;
    imported.document = std::move(document).value();
    ImportReport report;
    if (int code = importIntoWorkspace(session, std::move(imported), parent, report))
        return code;
    const QString skipped = skippedEntriesText(report.summary);
    printOut(QStringLiteral("Imported %1 node(s)%2\n")
                 .arg(report.added)
                 .arg(skipped.isEmpty() ? QString() : QStringLiteral("; ") + skipped));
    return kExitOk;
}

int runRepair(CliContext &context, const QStringList &arguments)
{
    if (!arguments.isEmpty())
        return usage("repair");
    EditSession session;
    if (int code = openForEditing(context, session)) {
        if (!session.applicationRunning)
            return code;
        QVariantList reply;
        if (int code = callApplication(context, "Repair", {}, &reply))
            return code;
        if (reply.value(0).toInt() == 0)
            printOut(QStringLiteral("Every node is reachable; nothing to repair\n"));
        else
            printOut(QStringLiteral("Moved %1 unreachable node(s) under \"%2\" %3 (snapshot %4 saved before)\n")
                         .arg(reply.value(0).toInt())
                         .arg(QLatin1String(kRecoveredGroupTitle), reply.value(1).toString(),
                              reply.value(2).toString()));
        return kExitOk;
    }
    TreeViewModel &model = *session.model;
    const int unreachable = findUnreachableNodes(model.nodes()).count;
    if (unreachable == 0) {
        printOut(QStringLiteral("Every node is reachable; nothing to repair\n"));
        return kExitOk;
    }
    // What the tree shows now, kept so that the repair can be undone.
    const TreeArchiveService archive;
    const WorkspaceSnapshot before = archive.makeSnapshot(QStringLiteral("Before repair Snapshot"), model.workspace()->id,
                                                          archive.exportWorkspace(model.nodes()), std::nullopt);
    if (auto saved = session.store->saveSnapshot(before); !saved)
        return reportStoreError(saved.error());
    auto recovered = model.recoverUnreachableNodes(QString::fromLatin1(kRecoveredGroupTitle));
    if (!recovered)
        return reportTreeError(recovered.error());
    printOut(QStringLiteral("Moved %1 unreachable node(s) under \"%2\" %3 (snapshot %4 saved before)\n")
                 .arg(unreachable)
                 .arg(QLatin1String(kRecoveredGroupTitle), uuidQString((*recovered)->id()), uuidQString(before.id)));
    return kExitOk;
}

} // namespace tarni::cli
