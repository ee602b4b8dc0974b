#include "archive/TreeArchiveService.h"

#include "model/Uuid.h"
#include "tree/TreeNodeBuilder.h"

#include <QSet>

#include <cmath>
#include <utility>
#include <vector>

namespace tarni {

namespace {

// Fresh entry ids, numbered in pre-order from a random one (see nextEntryID).
void numberEntries(TreeExportNode &root)
{
    QUuid id = newUuid();
    std::vector<TreeExportNode *> pending{&root};
    while (!pending.empty()) {
        TreeExportNode *entry = pending.back();
        pending.pop_back();
        entry->id = id;
        id = nextEntryID(id);
        for (std::size_t i = entry->children.size(); i-- > 0;)
            pending.push_back(&entry->children[i]);
    }
}

TreeExport makeDocument(TreeExportNode root, Timestamp exportedAt)
{
    numberEntries(root);
    TreeExport document;
    document.schemaVersion = TreeExport::kSchemaVersion;
    document.exportedAt = exportedAt;
    document.app = QString::fromLatin1(TreeExport::kAppName);
    document.rootNode = std::move(root);
    return document;
}

// The node record is carried unchanged; makeDocument gives the entries ids.
TreeExportNode convert(const WorkspaceTreeNode &tree)
{
    auto fill = [](TreeExportNode &entry, const WorkspaceTreeNode &source) {
        entry.originalNodeID = source.node.id();
        entry.title = source.node.title();
        entry.node = source.node;
    };
    TreeExportNode root;
    fill(root, tree);
    std::vector<std::pair<TreeExportNode *, const WorkspaceTreeNode *>> pending{{&root, &tree}};
    while (!pending.empty()) {
        auto [target, source] = pending.back();
        pending.pop_back();
        // Sized once and never again, so the pointers taken below stay valid.
        target->children.resize(std::size_t(source->children.size()));
        for (qsizetype i = 0; i < source->children.size(); ++i) {
            fill(target->children[std::size_t(i)], source->children[i]);
            if (!source->children[i].children.isEmpty())
                pending.emplace_back(&target->children[std::size_t(i)], &source->children[i]);
        }
    }
    return root;
}

const WorkspaceTreeNode *findPreOrder(const QList<WorkspaceTreeNode> &roots, const QUuid &id)
{
    std::vector<const WorkspaceTreeNode *> pending;
    for (qsizetype i = roots.size(); i-- > 0;)
        pending.push_back(&roots[i]);
    while (!pending.empty()) {
        const WorkspaceTreeNode *entry = pending.back();
        pending.pop_back();
        if (entry->node.id() == id)
            return entry;
        for (qsizetype i = entry->children.size(); i-- > 0;)
            pending.push_back(&entry->children[i]);
    }
    return nullptr;
}

} // namespace

TreeArchiveService::TreeArchiveService(Clock clock)
    : m_clock(std::move(clock))
{
}

Result<TreeExport, TreeArchiveError> TreeArchiveService::exportSubtree(const QUuid &rootNodeID,
                                                                      const NodeList &nodes) const
{
    const QList<WorkspaceTreeNode> trees = TreeNodeBuilder(nodes).build();
    const WorkspaceTreeNode *match = findPreOrder(trees, rootNodeID);
    if (!match)
        return Failure(TreeArchiveError{TreeArchiveError::Kind::missingRoot});
    return makeDocument(convert(*match), m_clock());
}

TreeExport TreeArchiveService::exportWorkspace(const NodeList &nodes) const
{
    const Timestamp time = m_clock();
    const QUuid workspaceID = nodes.isEmpty() ? newUuid() : nodes.first().workspaceID();
    const QString title = QStringLiteral("Workspace");
    WorkspaceNode added(newUuid(), workspaceID, std::nullopt, WorkspaceNodeKind::group, title, std::nullopt, 0.0,
                        false, std::nullopt, time, time, std::nullopt, NodePayload::group());

    TreeExportNode root(QUuid(), std::nullopt, title, added);
    const QList<WorkspaceTreeNode> trees = TreeNodeBuilder(nodes).build();
    root.children.reserve(std::size_t(trees.size()));
    for (const WorkspaceTreeNode &tree : trees)
        root.children.push_back(convert(tree));
    return makeDocument(std::move(root), time);
}

WorkspaceSnapshot TreeArchiveService::makeSnapshot(const QString &title, const QUuid &workspaceID, TreeExport document,
                                                   const std::optional<QUuid> &selectedNodeID) const
{
    return WorkspaceSnapshot{newUuid(),      workspaceID,    title, document.schemaVersion,
                             m_clock(),      selectedNodeID, std::move(document.rootNode)};
}

ImportedTree TreeArchiveService::importSubtreeResult(const TreeExport &document, const QUuid &workspaceID,
                                                     const std::optional<QUuid> &parentID) const
{
    struct Pending {
        const TreeExportNode *entry;
        std::optional<QUuid> parentID;
        double sortBase;
    };
    ImportedTree result;
    const Timestamp time = m_clock();
    std::vector<Pending> pending;
    const TreeExportNode &root = document.rootNode;
    if (root.originalNodeID) {
        pending.push_back({&root, parentID, 0.0});
    } else {
        // A whole-workspace document: its added root is not imported.
        for (std::size_t i = root.children.size(); i-- > 0;)
            pending.push_back({&root.children[i], parentID, double(i)});
    }
    result.nodes.reserve(qsizetype(root.subtreeSize()));
    UuidSequence ids;
    while (!pending.empty()) {
        const Pending item = pending.back();
        pending.pop_back();
        WorkspaceNode node = item.entry->node;
        auto &f = node.edit();
        f.id = ids.next();
        f.workspaceID = workspaceID;
        f.parentID = item.parentID;
        f.sortOrder = item.sortBase;
        f.updatedAt = time;
        f.createdAt = time;
        if (item.entry->originalNodeID)
            result.originalToImportedIDs.insert(*item.entry->originalNodeID, f.id);
        result.nodes.append(node);
        const auto &children = item.entry->children;
        for (std::size_t i = children.size(); i-- > 0;)
            pending.push_back({&children[i], f.id, double(i)});
    }
    return result;
}

ImportedTree TreeArchiveService::restoreWorkspaceResult(const TreeExport &document, const QUuid &workspaceID,
                                                        const NodeList &present) const
{
    struct Pending {
        const TreeExportNode *entry;
        std::optional<QUuid> parentID;
        double sortOrder;
    };
    QHash<QUuid, qsizetype> presentAt;
    presentAt.reserve(present.size());
    for (qsizetype i = 0; i < present.size(); ++i)
        presentAt.insert(present[i].id(), i);

    ImportedTree result;
    const Timestamp time = m_clock();
    const TreeExportNode &root = document.rootNode;
    std::vector<Pending> pending;
    for (std::size_t i = root.children.size(); i-- > 0;)
        pending.push_back({&root.children[i], std::nullopt, double(i)});
    result.nodes.reserve(qsizetype(root.subtreeSize()) - 1);
    // The identifiers given out: the originals (each to its first entry)
    // and fresh ones for the rest.
    QSet<QUuid> taken;
    taken.reserve(qsizetype(root.subtreeSize()));
    UuidSequence fresh;
    const bool unique = presentAt.size() == present.size();
    for (qsizetype position = 0; !pending.empty(); ++position) {
        const Pending item = pending.back();
        pending.pop_back();
        const WorkspaceNode &stored = item.entry->node;
        const std::optional<QUuid> &original = item.entry->originalNodeID;
        const QUuid id = original && !original->isNull() && !taken.contains(*original) ? *original : fresh.next();
        taken.insert(id);
        if (original)
            result.originalToImportedIDs.insert(*original, id);
        const auto now = presentAt.constFind(id);
        const WorkspaceNode *current = now != presentAt.constEnd() ? &present[*now] : nullptr;
        // The entry's record is the present node's when it holds the node
        // as it is now (-0 and 0 are equal but not the same text).
        const bool unchanged = current && *current == stored && original == id &&
                               std::signbit(stored.sortOrder()) == std::signbit(current->sortOrder());
        if (unchanged && unique && item.entry->title == stored.title())
            result.unchangedEntries.insert(id, SnapshotEntryRef{position, item.entry->id});
        if (unchanged && current->parentID() == item.parentID && current->sortOrder() == item.sortOrder &&
            current->workspaceID() == workspaceID) {
            // The usual case: the node as it is, in its place.
            result.nodes.append(*current);
        } else {
            WorkspaceNode node = stored;
            auto &f = node.edit();
            f.id = id;
            f.workspaceID = workspaceID;
            f.parentID = item.parentID;
            f.sortOrder = item.sortOrder;
            if (!current) {
                f.updatedAt = time;
            } else if (*current == node) {
                node = *current;
            } else {
                // Moved among its siblings only, or not changed but for its
                // stamp: the present node in its new place, as a renumbering
                // leaves it; anything else is an edit made now.
                WorkspaceNode same = node;
                same.edit().sortOrder = current->sortOrder();
                same.edit().updatedAt = current->updatedAt();
                if (same == *current) {
                    same.edit().sortOrder = node.sortOrder();
                    node = std::move(same);
                } else {
                    node.edit().updatedAt = time;
                }
            }
            result.nodes.append(std::move(node));
        }
        const auto &children = item.entry->children;
        for (std::size_t i = children.size(); i-- > 0;)
            pending.push_back({&children[i], id, double(i)});
    }
    return result;
}

} // namespace tarni
