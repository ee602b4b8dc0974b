#include "tree/TreeViewModel.h"

#include "model/Uuid.h"
#include "tree/UnreachableNodes.h"

#include <QSet>

#include <algorithm>

namespace tarni {

namespace {

// "/home/me/Docs/" -> "/home/me/Docs"; the root stays "/".
QString withoutTrailingSlashes(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

QString lastPathComponent(const QString &path)
{
    if (path == QLatin1String("/"))
        return path;
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

} // namespace

TreeViewModel::TreeViewModel(WorkspaceStoreProtocol &store, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_clock(&currentTimestamp)
{
}

void TreeViewModel::setSearchQuery(const QString &query)
{
    m_searchQuery = query;
    m_projection.setQuery(query);
    Q_EMIT searchQueryChanged();
}

TreeResult<void> TreeViewModel::load()
{
    // Until both reads succeed the list in memory is not the stored one, and
    // writing it back would delete every row that was never read.
    m_loaded = false;
    auto workspace = m_store.fetchOrCreateDefaultWorkspace();
    if (!workspace)
        return Failure(TreeViewModelError::store(workspace.error()));
    m_workspace = std::move(workspace).value();
    Q_EMIT workspaceChanged();

    auto nodes = m_store.fetchNodes(m_workspace->id);
    if (!nodes)
        return Failure(TreeViewModelError::store(nodes.error()));
    resetNodes(nodes.value());
    m_loaded = true;
    m_lastEdit = {};
    Q_EMIT nodesReset();
    Q_EMIT nodesChanged();
    return {};
}

std::optional<WorkspaceNode> TreeViewModel::node(const std::optional<QUuid> &id) const
{
    if (!id)
        return std::nullopt;
    const auto slot = m_projection.firstSlotWithId(*id);
    if (slot == TreeProjection::kNoSlot)
        return std::nullopt;
    return m_projection.node(slot);
}

QList<WorkspaceTreeNode> TreeViewModel::displayedTree() const
{
    return m_projection.displayedTree();
}

QList<WorkspaceNode> TreeViewModel::displayedChildren(const std::optional<QUuid> &parentID) const
{
    return m_projection.displayedChildren(parentID);
}

TreeResult<void> TreeViewModel::ensureLoaded()
{
    if (m_loaded)
        return {};
    return load();
}

void TreeViewModel::resetNodes(const NodeList &nodes)
{
    m_nodes = nodes;
    // The search texts are made here, with the load: made later, the first
    // keystroke after a start would pay for all of them at once.
    m_projection.reset(nodes, TreeProjection::SearchIndex::build);
    m_slotAt.resize(std::size_t(nodes.size()));
    m_positionOf.assign(std::size_t(nodes.size()), -1);
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        m_slotAt[std::size_t(i)] = TreeProjection::SlotId(i);
        m_positionOf[std::size_t(i)] = i;
    }
}

void TreeViewModel::appendNode(const WorkspaceNode &node)
{
    const auto slot = m_projection.append(node);
    m_nodes.append(node);
    m_slotAt.push_back(slot);
    if (m_positionOf.size() <= slot)
        m_positionOf.resize(std::size_t(slot) + 1, -1);
    m_positionOf[slot] = m_nodes.size() - 1;
}

void TreeViewModel::removeSlots(const std::vector<TreeProjection::SlotId> &slots)
{
    if (slots.empty())
        return;
    std::vector<bool> removed(std::size_t(m_nodes.size()), false);
    for (auto slot : slots) {
        removed[std::size_t(m_positionOf[slot])] = true;
        m_positionOf[slot] = -1;
        m_projection.remove(slot);
    }
    // Compact in place: the remaining nodes keep their order.
    qsizetype out = 0;
    for (qsizetype i = 0; i < m_nodes.size(); ++i) {
        if (removed[std::size_t(i)])
            continue;
        if (out != i) {
            m_nodes[out] = std::move(m_nodes[i]);
            m_slotAt[std::size_t(out)] = m_slotAt[std::size_t(i)];
        }
        m_positionOf[m_slotAt[std::size_t(out)]] = out;
        ++out;
    }
    m_nodes.resize(out);
    m_slotAt.resize(std::size_t(out));
}

void TreeViewModel::storeSlot(TreeProjection::SlotId slot)
{
    // Share the projection's record instead of keeping a second copy.
    m_nodes[m_positionOf[slot]] = m_projection.node(slot);
}

void TreeViewModel::applyRenumber(const std::optional<QUuid> &overridingParentID,
                                  const std::optional<QUuid> &movedNodeID, std::optional<qsizetype> desiredIndex)
{
    for (auto slot : m_projection.renumber(overridingParentID, movedNodeID, desiredIndex))
        storeSlot(slot);
}

TreeResult<WorkspaceNode> TreeViewModel::addNode(WorkspaceNodeKind kind, const QString &title,
                                                 const NodePayload &payload, const std::optional<QUuid> &parentID)
{
    if (auto loaded = ensureLoaded(); !loaded)
        return Failure(loaded.error());
    const Timestamp time = now();
    WorkspaceNode node(newUuid(), m_workspace->id, parentID, kind, title, std::nullopt,
                       m_projection.nextSortOrder(parentID), false, std::nullopt, time, time, std::nullopt, payload);
    appendNode(node);
    m_lastEdit = EditScope{true, false, {TouchedNode{node.id(), true, std::nullopt}}};
    Q_EMIT nodesChanged();
    if (auto saved = persist(); !saved)
        return Failure(saved.error());
    return node;
}

TreeResult<WorkspaceNode> TreeViewModel::addGroup(const QString &title, const std::optional<QUuid> &parentID)
{
    return addNode(WorkspaceNodeKind::group, title, NodePayload::group(), parentID);
}

TreeResult<WorkspaceNode> TreeViewModel::addWebLink(const QString &url, const std::optional<QString> &title,
                                                    const std::optional<QUuid> &parentID)
{
    QString nodeTitle = url;
    if (title) {
        nodeTitle = *title;
    } else {
        const QUrl parsed(url, QUrl::StrictMode);
        if (parsed.isValid() && !parsed.host().isEmpty())
            nodeTitle = parsed.host();
    }
    return addNode(WorkspaceNodeKind::webLink, nodeTitle, NodePayload::webLink(WebLinkTarget{url, std::nullopt}),
                   parentID);
}

TreeResult<WorkspaceNode> TreeViewModel::addChromeTarget(const BrowserTarget &target,
                                                         const std::optional<QUuid> &parentID)
{
    return addNode(WorkspaceNodeKind::chromeTab, target.titleSnapshot, NodePayload::chromeTab(target), parentID);
}

TreeResult<WorkspaceNode> TreeViewModel::addSlackPermalink(const QString &text, const std::optional<QUuid> &parentID)
{
    if (auto target = m_slackURLParser.parse(text)) {
        const QString title = target->channelID.value_or(QStringLiteral("Slack Thread"));
        return addNode(WorkspaceNodeKind::slackThread, title, NodePayload::slackThread(*target), parentID);
    }
    const QUrl parsed(text, QUrl::StrictMode);
    const QString title = parsed.isValid() && !text.isEmpty() ? parsed.toString() : text;
    return addNode(WorkspaceNodeKind::webLink, title, NodePayload::webLink(WebLinkTarget{text, std::nullopt}),
                   parentID);
}

TreeResult<WorkspaceNode> TreeViewModel::addFile(const QUrl &url, bool isFolder, const std::optional<QUuid> &parentID)
{
    const QString path = withoutTrailingSlashes(url.isLocalFile() ? url.toLocalFile() : url.path());
    FileTarget target{path, std::nullopt};
    return addNode(isFolder ? WorkspaceNodeKind::folder : WorkspaceNodeKind::file, lastPathComponent(path),
                   isFolder ? NodePayload::folder(std::move(target)) : NodePayload::file(std::move(target)), parentID);
}

template <class Edit>
TreeResult<void> TreeViewModel::editInPlace(const QUuid &givenID, Edit edit)
{
    // Callers often pass a node's own identifier, which the edit below
    // releases together with the node's old record.
    const QUuid nodeID = givenID;
    if (auto loaded = ensureLoaded(); !loaded)
        return loaded;
    const auto slot = m_projection.firstSlotWithId(nodeID);
    if (slot == TreeProjection::kNoSlot)
        return {};
    WorkspaceNode &node = m_nodes[m_positionOf[slot]];
    edit(node);
    m_projection.update(slot, node);
    m_lastEdit = EditScope{true, true, {TouchedNode{nodeID, false, node.parentID()}}};
    Q_EMIT nodeUpdated(nodeID);
    Q_EMIT nodesChanged();
    return persist();
}

TreeResult<void> TreeViewModel::rename(const QUuid &nodeID, const QString &title)
{
    return editInPlace(nodeID, [&](WorkspaceNode &node) {
        node.setTitle(title);
        node.setUpdatedAt(now());
    });
}

TreeResult<void> TreeViewModel::toggleCollapse(const QUuid &nodeID)
{
    return editInPlace(nodeID, [&](WorkspaceNode &node) {
        node.setIsCollapsed(!node.isCollapsed());
        node.setUpdatedAt(now());
    });
}

TreeResult<void> TreeViewModel::setCollapsed(const QUuid &nodeID, bool collapsed)
{
    if (auto loaded = ensureLoaded(); !loaded)
        return loaded;
    const auto current = node(nodeID);
    if (!current || current->isCollapsed() == collapsed)
        return {};
    return editInPlace(nodeID, [&](WorkspaceNode &node) {
        node.setIsCollapsed(collapsed);
        node.setUpdatedAt(now());
    });
}

TreeResult<void> TreeViewModel::markNodeOpened(const QUuid &nodeID)
{
    return editInPlace(nodeID, [&](WorkspaceNode &node) {
        const Timestamp time = now();
        node.setLastOpenedAt(time);
        node.setUpdatedAt(time);
    });
}

QSet<QUuid> TreeViewModel::subtreeIDs(const QUuid &nodeID) const
{
    QSet<QUuid> ids{nodeID};
    for (auto slot : m_projection.descendantSlots(nodeID))
        ids.insert(m_projection.node(slot).id());
    return ids;
}

TreeResult<void> TreeViewModel::move(const QUuid &givenID, const std::optional<QUuid> &givenParentID,
                                     std::optional<qsizetype> index)
{
    // Copies: a caller's references may point into records this edit replaces.
    const QUuid nodeID = givenID;
    const std::optional<QUuid> newParentID = givenParentID;
    if (auto loaded = ensureLoaded(); !loaded)
        return loaded;
    const auto slot = m_projection.firstSlotWithId(nodeID);
    if (slot == TreeProjection::kNoSlot)
        return {};
    if (newParentID) {
        if (*newParentID == nodeID)
            return {};
        for (auto below : m_projection.descendantSlots(nodeID)) {
            if (m_projection.node(below).id() == *newParentID)
                return {};
        }
    }
    WorkspaceNode &node = m_nodes[m_positionOf[slot]];
    m_lastEdit = EditScope{true, false, {TouchedNode{nodeID, false, node.parentID()}}};
    node.setParentID(newParentID);
    node.setUpdatedAt(now());
    m_projection.update(slot, node);
    applyRenumber(newParentID, nodeID, index);
    Q_EMIT nodesChanged();
    return persist();
}

TreeResult<void> TreeViewModel::deleteNode(const QUuid &nodeID)
{
    if (auto loaded = ensureLoaded(); !loaded)
        return loaded;
    std::vector<TreeProjection::SlotId> doomed;
    for (const QUuid &id : subtreeIDs(nodeID)) {
        const auto slots = m_projection.slotsWithId(id);
        doomed.insert(doomed.end(), slots.begin(), slots.end());
    }
    m_lastEdit = EditScope{true, false, {}};
    for (auto slot : doomed)
        m_lastEdit.nodes.append(TouchedNode{m_projection.node(slot).id(), false, m_projection.node(slot).parentID()});
    removeSlots(doomed);
    applyRenumber();
    Q_EMIT nodesChanged();
    return persist();
}

TreeResult<NodeList> TreeViewModel::duplicateSubtree(const QUuid &nodeID)
{
    if (auto loaded = ensureLoaded(); !loaded)
        return Failure(loaded.error());
    std::vector<TreeProjection::SlotId> sources;
    for (const QUuid &id : subtreeIDs(nodeID)) {
        const auto slots = m_projection.slotsWithId(id);
        sources.insert(sources.end(), slots.begin(), slots.end());
    }
    std::sort(sources.begin(), sources.end(), [this](auto a, auto b) {
        return m_projection.sequence(a) < m_projection.sequence(b);
    });

    const Timestamp time = now();
    NodeList copies;
    copies.reserve(qsizetype(sources.size()));
    // Parents are mapped by identifier; were identifiers ever repeated, the
    // first source of one decides where its copies' children go.
    QHash<QUuid, QUuid> newIDs;
    for (auto slot : sources) {
        WorkspaceNode copy = m_projection.node(slot);
        const QUuid fresh = newUuid();
        if (!newIDs.contains(copy.id()))
            newIDs.insert(copy.id(), fresh);
        copy.setId(fresh);
        copies.append(copy);
    }
    for (WorkspaceNode &copy : copies) {
        auto &f = copy.edit();
        if (f.parentID) {
            if (auto it = newIDs.constFind(*f.parentID); it != newIDs.constEnd())
                f.parentID = *it;
        }
        f.updatedAt = time;
        f.createdAt = time;
        f.sortOrder += 1000.0;
    }
    // The copy of the node itself leads the list, whatever order the list
    // held its subtree in, and goes after its siblings even where there are
    // more than the offset counts.
    if (!copies.isEmpty()) {
        const QUuid topCopy = newIDs.value(nodeID);
        auto top = std::find_if(copies.begin(), copies.end(), [&](const WorkspaceNode &c) { return c.id() == topCopy; });
        std::rotate(copies.begin(), top, top + 1);
        const double afterSiblings = m_projection.nextSortOrder(copies.first().parentID());
        if (copies.first().sortOrder() < afterSiblings)
            copies.first().setSortOrder(afterSiblings);
    }
    m_lastEdit = EditScope{true, false, {}};
    for (const WorkspaceNode &copy : copies) {
        appendNode(copy);
        m_lastEdit.nodes.append(TouchedNode{copy.id(), true, std::nullopt});
    }
    applyRenumber();
    Q_EMIT nodesChanged();
    if (auto saved = persist(); !saved)
        return Failure(saved.error());
    return copies;
}

TreeResult<void> TreeViewModel::replaceAllNodes(const NodeList &nodes)
{
    if (auto loaded = ensureLoaded(); !loaded)
        return loaded;
    resetNodes(nodes);
    applyRenumber();
    m_lastEdit = {};
    Q_EMIT nodesReset();
    Q_EMIT nodesChanged();
    return persist();
}

TreeResult<void> TreeViewModel::appendNodes(NodeList nodes, const std::optional<QUuid> &parentID)
{
    if (auto loaded = ensureLoaded(); !loaded)
        return loaded;
    // Imported siblings are numbered from 0; left like that they would
    // interleave with the present children instead of following them.
    const double base = m_projection.nextSortOrder(parentID);
    for (WorkspaceNode &node : nodes) {
        if (node.parentID() == parentID)
            node.setSortOrder(node.sortOrder() + base);
    }
    // A small import is added like any other node, so that views see rows
    // inserted; a large one is cheaper to show as a new tree.
    constexpr qsizetype kLargeImport = 1000;
    if (nodes.size() > kLargeImport)
        return replaceAllNodes(m_nodes + nodes);
    m_lastEdit = EditScope{true, false, {}};
    for (const WorkspaceNode &node : std::as_const(nodes)) {
        appendNode(node);
        m_lastEdit.nodes.append(TouchedNode{node.id(), true, std::nullopt});
    }
    applyRenumber();
    Q_EMIT nodesChanged();
    return persist();
}

TreeResult<std::optional<WorkspaceNode>> TreeViewModel::recoverUnreachableNodes(const QString &groupTitle)
{
    if (auto loaded = ensureLoaded(); !loaded)
        return Failure(loaded.error());
    const UnreachableNodes unreachable = findUnreachableNodes(m_nodes);
    if (unreachable.isEmpty())
        return std::optional<WorkspaceNode>();
    const Timestamp time = now();
    const WorkspaceNode group(newUuid(), m_workspace->id, std::nullopt, WorkspaceNodeKind::group, groupTitle,
                              std::nullopt, m_projection.nextSortOrder(std::nullopt), false, std::nullopt, time, time,
                              std::nullopt, NodePayload::group());
    NodeList nodes = m_nodes;
    double order = 0;
    for (qsizetype i : unreachable.detachedPositions) {
        auto &f = nodes[i].edit();
        f.parentID = group.id();
        f.sortOrder = order++;
        f.updatedAt = time;
    }
    nodes.append(group);
    if (auto replaced = replaceAllNodes(nodes); !replaced)
        return Failure(replaced.error());
    return std::optional(group);
}

TreeResult<void> TreeViewModel::persist()
{
    if (!m_loaded || !m_workspace)
        return Failure(TreeViewModelError::missingWorkspace());
    m_workspace->updatedAt = now();
    Q_EMIT workspaceChanged();
    if (auto saved = m_store.saveWorkspaceAndNodes(*m_workspace, m_nodes); !saved) {
        const auto error = TreeViewModelError::store(saved.error());
        Q_EMIT writeFailed(error.description());
        return Failure(error);
    }
    Q_EMIT writeSucceeded();
    return {};
}

} // namespace tarni
