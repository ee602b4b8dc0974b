#include "tree/TreeViewModel.h"

#include "model/Uuid.h"
#include "model/UnreachableNodes.h"
#include "util/Localized.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <thread>

namespace tarni {

namespace {

// The records of `now` that differ from `old` (matched by identifier):
// `before` gets the old forms of changed and removed ones, `after` the new
// forms of changed and added ones. Records still shared with the old list
// are unchanged, so an edit's stretch is found by walking in from both ends.
// False when an identifier repeats.
bool changedRecords(const NodeList &old, const NodeList &now, NodeList &before, NodeList &after)
{
    const qsizetype n = now.size();
    const qsizetype m = old.size();
    auto sameId = [](const WorkspaceNode &a, const WorkspaceNode &b) { return a.isSharedWith(b) || a.id() == b.id(); };
    auto compare = [&](const WorkspaceNode &o, const WorkspaceNode &c) {
        if (!(o == c)) {
            before.append(o);
            after.append(c);
        }
    };
    qsizetype prefix = 0;
    while (prefix < n && prefix < m && sameId(now[prefix], old[prefix])) {
        compare(old[prefix], now[prefix]);
        ++prefix;
    }
    qsizetype suffix = 0;
    while (suffix < n - prefix && suffix < m - prefix && sameId(now[n - 1 - suffix], old[m - 1 - suffix])) {
        compare(old[m - 1 - suffix], now[n - 1 - suffix]);
        ++suffix;
    }
    if (prefix + suffix == n && prefix + suffix == m)
        return true;
    QHash<QUuid, std::pair<qsizetype, bool>> middle;
    middle.reserve(m - prefix - suffix);
    for (qsizetype j = prefix; j < m - suffix; ++j) {
        if (middle.contains(old[j].id()))
            return false;
        middle.insert(old[j].id(), {j, false});
    }
    for (qsizetype i = prefix; i < n - suffix; ++i) {
        auto found = middle.find(now[i].id());
        if (found == middle.end()) {
            after.append(now[i]);
            continue;
        }
        if (found->second)
            return false;
        found->second = true;
        compare(old[found->first], now[i]);
    }
    for (qsizetype j = prefix; j < m - suffix; ++j) {
        if (!middle.value(old[j].id()).second)
            before.append(old[j]);
    }
    return true;
}

// Equal but for the stamps that opening a node changes without a step.
bool sameButStamps(const WorkspaceNode &a, const WorkspaceNode &b)
{
    if (a == b)
        return true;
    WorkspaceNode x = a;
    x.edit().updatedAt = b.updatedAt();
    x.edit().lastOpenedAt = b.lastOpenedAt();
    return x == b;
}

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

qsizetype nodeCount(const QList<TrashEntry> &entries)
{
    qsizetype count = 0;
    for (const TrashEntry &entry : entries)
        count += entry.nodes.size();
    return count;
}

// About how many records a write changes: those of the list (`edit` where
// the edit is told by position, else the whole list, which the store then
// compares), of the step and of the trash entries written.
qsizetype recordsWritten(const HistoryWrite &write, const NodeListEdit *edit, qsizetype listSize)
{
    qsizetype count = edit ? edit->changed.size() + edit->removed.size() : listSize;
    if (write.step)
        count += write.step->before.size() + write.step->after.size() + nodeCount(write.step->trashAdded) +
                 nodeCount(write.step->trashRemoved);
    return count + nodeCount(write.trashInsert);
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

void TreeViewModel::setSearchMatchLimit(std::optional<std::size_t> limit)
{
    m_projection.setMatchLimit(limit);
    if (m_projection.isFiltering())
        Q_EMIT searchQueryChanged();
}

TreeResult<void> TreeViewModel::load()
{
    if (m_writing)
        return refuseWhileWriting();
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
    // Part of the tree holds groups cut short; only what the edit touches is
    // renumbered then, and that is always whole (see WorkspaceStore::NodeScope).
    if (m_store.readsPartialTree())
        m_projection.acceptNumbering();
    m_loaded = true;
    rebase();
    m_command.reset();
    reloadHistory();
    m_lastEdit = {};
    Q_EMIT nodesReset();
    Q_EMIT nodesChanged();
    return {};
}

TreeResult<void> TreeViewModel::takeInStoredChanges()
{
    if (m_writing)
        return refuseWhileWriting();
    if (!m_loaded || m_store.readsPartialTree())
        return load();
    auto stored = m_store.fetchNodes(m_workspace->id);
    if (!stored)
        return Failure(TreeViewModelError::store(stored.error()));
    const NodeList &nodes = *stored;

    // The difference, by identifier. A list that holds an identifier twice
    // is not matched node for node: it is shown afresh.
    QHash<QUuid, qsizetype> storedAt;
    storedAt.reserve(nodes.size());
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        if (storedAt.contains(nodes[i].id()))
            return load();
        storedAt.insert(nodes[i].id(), i);
    }
    EditScope scope{true, true, {}};
    std::vector<TreeProjection::SlotId> gone;
    QSet<QUuid> held;
    for (qsizetype i = 0; i < m_nodes.size(); ++i) {
        const WorkspaceNode &node = m_nodes[i];
        if (held.contains(node.id()))
            return load();
        held.insert(node.id());
        const auto slot = m_slotAt[std::size_t(i)];
        const auto it = storedAt.constFind(node.id());
        if (it == storedAt.constEnd()) {
            gone.push_back(slot);
            scope.inPlace = false;
            scope.nodes.append(TouchedNode{node.id(), false, node.parentID()});
            continue;
        }
        const WorkspaceNode &now = nodes[*it];
        if (now == node)
            continue;
        if (now.parentID() != node.parentID() || now.sortOrder() != node.sortOrder())
            scope.inPlace = false;
        scope.nodes.append(TouchedNode{node.id(), false, node.parentID()});
        m_projection.update(slot, now);
        Q_EMIT nodeUpdated(node.id());
    }
    // New nodes before the removals, so that no new node takes a removed
    // one's slot, which views would take for that row moving.
    for (const WorkspaceNode &node : nodes) {
        if (held.contains(node.id()))
            continue;
        m_projection.append(node);
        scope.inPlace = false;
        scope.nodes.append(TouchedNode{node.id(), true, std::nullopt});
    }
    for (auto slot : gone)
        m_projection.remove(slot);
    if (scope.nodes.isEmpty())
        return {};

    // The list as stored, in the store's order: the next edit is written
    // from it as from any list just read.
    m_nodes = nodes;
    m_slotAt.assign(std::size_t(nodes.size()), TreeProjection::kNoSlot);
    m_positionOf.assign(m_projection.slotCapacity(), -1);
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        const auto slot = m_projection.firstSlotWithId(nodes[i].id());
        m_slotAt[std::size_t(i)] = slot;
        m_positionOf[slot] = i;
    }
    m_projection.acceptNumbering();
    rebase();
    m_lastEdit = std::move(scope);
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
    // An edit made while a write runs would change the list that is being
    // written, or come between the write and what follows it.
    if (m_writing)
        return refuseWhileWriting();
    if (!m_loaded)
        return load();
    // Another program's change is taken in before the edit is made, so that
    // the edit's write keeps it rather than being refused.
    auto changed = m_store.nodesChangedElsewhere(m_workspace->id);
    if (!changed)
        return Failure(TreeViewModelError::store(changed.error()));
    if (*changed)
        return load();
    return {};
}

bool TreeViewModel::reloadIfChangedElsewhere(const TreeViewModelError &error)
{
    if (!error.storeError || error.storeError->kind != StoreError::Kind::changedElsewhere)
        return false;
    // The edit was made on rows another program has since replaced; it is
    // dropped with them, and the tree shows what is stored.
    m_pendingTrash.clear();
    m_pendingTrashRemoved.clear();
    m_nextStepName.reset();
    (void)load();
    return true;
}

void TreeViewModel::resetNodes(const NodeList &nodes)
{
    m_nodes = nodes;
    // The outline is shown first; the search texts follow in idle time, or
    // with the first query if that comes sooner.
    m_projection.reset(nodes, TreeProjection::SearchIndex::onFirstQuery);
    scheduleSearchIndexing();
    m_slotAt.resize(std::size_t(nodes.size()));
    m_positionOf.assign(std::size_t(nodes.size()), -1);
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        m_slotAt[std::size_t(i)] = TreeProjection::SlotId(i);
        m_positionOf[std::size_t(i)] = i;
    }
}

void TreeViewModel::scheduleSearchIndexing()
{
    if (m_indexingScheduled || m_projection.isSearchIndexed() || !QCoreApplication::instance())
        return;
    m_indexingScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_indexingScheduled = false;
        // Short turns, so that input and painting go on in between: a
        // million texts take about a second.
        constexpr std::size_t kNodesPerStep = 2000;
        constexpr qint64 kTurnMs = 10;
        QElapsedTimer turn;
        turn.start();
        while (!m_projection.indexSearchText(kNodesPerStep)) {
            if (turn.elapsed() >= kTurnMs) {
                scheduleSearchIndexing();
                return;
            }
        }
    });
}

void TreeViewModel::appendNode(const WorkspaceNode &node)
{
    if (m_baseInPlace && !m_addedRepeatsID &&
        (m_projection.firstSlotWithId(node.id()) != TreeProjection::kNoSlot || m_removedIDs.contains(node.id()))) {
        // The step would then have to match records by more than position.
        m_addedRepeatsID = true;
        if (!m_removedFromBase.isEmpty())
            keepWholeBase();
    }
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
    QList<qsizetype> positions;
    positions.reserve(qsizetype(slots.size()));
    for (auto slot : slots)
        positions.append(m_positionOf[slot]);
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    if (!noteRemoval(positions))
        keepWholeBase();
    for (auto slot : slots) {
        m_positionOf[slot] = -1;
        m_projection.remove(slot);
    }
    // The remaining nodes close up in their order, from the first removed
    // one on.
    removePositions(m_nodes, positions);
    qsizetype out = positions.front();
    qsizetype k = 0;
    for (qsizetype i = out; i < qsizetype(m_slotAt.size()); ++i) {
        if (k < positions.size() && positions[k] == i) {
            ++k;
            continue;
        }
        m_slotAt[std::size_t(out)] = m_slotAt[std::size_t(i)];
        m_positionOf[m_slotAt[std::size_t(out)]] = out;
        ++out;
    }
    m_slotAt.resize(std::size_t(out));
}

void TreeViewModel::storeSlot(TreeProjection::SlotId slot)
{
    // Share the projection's record instead of keeping a second copy.
    noteInPlaceChange(m_positionOf[slot]);
    m_nodes[m_positionOf[slot]] = m_projection.node(slot);
}

qsizetype TreeViewModel::basePosition(qsizetype position) const
{
    if (position >= m_baseSize - m_removedFromBase.size())
        return -1;
    // position + k, k counting the removed base positions up to there:
    // those whose position less the removed ones before them is at most
    // `position` (a count that grows with the index).
    qsizetype low = 0;
    qsizetype high = m_removedFromBase.size();
    while (low < high) {
        const qsizetype middle = (low + high) / 2;
        if (m_removedFromBase[middle] - middle <= position)
            low = middle + 1;
        else
            high = middle;
    }
    return position + low;
}

void TreeViewModel::noteInPlaceChange(qsizetype position)
{
    if (!m_baseInPlace)
        return;
    const qsizetype base = basePosition(position);
    if (base >= 0 && !m_formerRecords.contains(base))
        m_formerRecords.insert(base, m_nodes[position]);
}

bool TreeViewModel::noteRemoval(const QList<qsizetype> &positions)
{
    if (!m_baseInPlace || m_addedRepeatsID)
        return false;
    // Nodes added since the base are removed only by the whole comparison.
    // The others were in the list as last written too, and in its order.
    if (positions.back() >= m_baseSize - m_removedFromBase.size())
        return false;
    for (qsizetype position : positions) {
        if (m_projection.slotsWithId(m_nodes[position].id()).size() != 1)
            return false;
    }
    QList<qsizetype> fromBase;
    QList<qsizetype> fromWrite;
    fromBase.reserve(positions.size());
    fromWrite.reserve(positions.size());
    qsizetype k = 0;
    for (qsizetype position : positions) {
        const qsizetype base = basePosition(position);
        fromBase.append(base);
        if (!m_formerRecords.contains(base))
            m_formerRecords.insert(base, m_nodes[position]);
        m_removedIDs.insert(m_nodes[position].id());
        while (k < m_removedSinceWrite.size() && m_removedSinceWrite[k] <= position + k)
            ++k;
        fromWrite.append(position + k);
    }
    auto merged = [](const QList<qsizetype> &a, const QList<qsizetype> &b) {
        QList<qsizetype> out;
        out.reserve(a.size() + b.size());
        std::merge(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
        return out;
    };
    m_removedFromBase = merged(m_removedFromBase, fromBase);
    m_removedSinceWrite = merged(m_removedSinceWrite, fromWrite);
    return true;
}

void TreeViewModel::keepWholeBase()
{
    if (!m_baseInPlace)
        return;
    if (m_removedFromBase.isEmpty()) {
        m_base = m_nodes.size() == m_baseSize ? m_nodes : m_nodes.first(m_baseSize);
        for (auto it = m_formerRecords.constBegin(); it != m_formerRecords.constEnd(); ++it)
            m_base[it.key()] = it.value();
    } else {
        m_base.clear();
        m_base.reserve(m_baseSize);
        qsizetype position = 0;
        qsizetype k = 0;
        for (qsizetype base = 0; base < m_baseSize; ++base) {
            if (k < m_removedFromBase.size() && m_removedFromBase[k] == base) {
                m_base.append(m_formerRecords.value(base));
                ++k;
                continue;
            }
            const auto former = m_formerRecords.constFind(base);
            m_base.append(former != m_formerRecords.constEnd() ? *former : m_nodes[position]);
            ++position;
        }
    }
    m_formerRecords.clear();
    m_removedFromBase.clear();
    m_removedIDs.clear();
    m_removedSinceWrite.clear();
    m_baseInPlace = false;
}

void TreeViewModel::rebase()
{
    m_base = {};
    m_formerRecords.clear();
    m_removedFromBase.clear();
    m_removedIDs.clear();
    m_removedSinceWrite.clear();
    m_addedRepeatsID = false;
    m_baseSize = m_nodes.size();
    m_baseInPlace = true;
}

std::vector<std::pair<qsizetype, qsizetype>> TreeViewModel::changedSinceBase() const
{
    QList<qsizetype> bases = m_formerRecords.keys();
    std::sort(bases.begin(), bases.end());
    std::vector<std::pair<qsizetype, qsizetype>> changed;
    changed.reserve(std::size_t(bases.size()));
    qsizetype k = 0;
    for (qsizetype base : std::as_const(bases)) {
        while (k < m_removedFromBase.size() && m_removedFromBase[k] < base)
            ++k;
        if (k < m_removedFromBase.size() && m_removedFromBase[k] == base)
            continue;
        changed.emplace_back(base, base - k);
    }
    return changed;
}

NodeListEdit TreeViewModel::changesSinceWrite() const
{
    // Every change since the base: a superset of those since the write.
    NodeListEdit edit;
    edit.removed = m_removedSinceWrite;
    const auto changed = changedSinceBase();
    edit.changed.reserve(qsizetype(changed.size()));
    for (const auto &[base, position] : changed)
        edit.changed.append(position);
    for (qsizetype i = m_baseSize - m_removedFromBase.size(); i < m_nodes.size(); ++i)
        edit.changed.append(i);
    return edit;
}

void TreeViewModel::applyRenumber(const std::optional<QUuid> &overridingParentID,
                                  const std::optional<QUuid> &movedNodeID, std::optional<qsizetype> desiredIndex)
{
    for (auto slot : m_projection.renumber(overridingParentID, movedNodeID, desiredIndex))
        storeSlot(slot);
}

TreeResult<WorkspaceNode> TreeViewModel::addNode(WorkspaceNodeKind kind, const QString &title,
                                                 const NodePayload &payload, const std::optional<QUuid> &parentID,
                                                 const std::optional<QUuid> &nodeID)
{
    if (auto loaded = ensureLoaded(); !loaded)
        return Failure(loaded.error());
    const Timestamp time = now();
    WorkspaceNode node(nodeID.value_or(newUuid()), m_workspace->id, parentID, kind, title, std::nullopt,
                       m_projection.nextSortOrder(parentID), false, std::nullopt, time, time, std::nullopt, payload);
    appendNode(node);
    m_lastEdit = EditScope{true, false, {TouchedNode{node.id(), true, std::nullopt}}};
    Q_EMIT nodesChanged();
    if (!m_nextStepName)
        m_nextStepName = StepName{QString::fromUtf8(textKey("Add")), title};
    if (auto saved = persist(); !saved)
        return Failure(saved.error());
    return node;
}

TreeResult<WorkspaceNode> TreeViewModel::addGroup(const QString &title, const std::optional<QUuid> &parentID)
{
    if (const auto problem = EntryRules::titleProblem(title))
        return Failure(TreeViewModelError::invalidEntry(*problem));
    return addNode(WorkspaceNodeKind::group, title, NodePayload::group(), parentID);
}

TreeResult<WorkspaceNode> TreeViewModel::addWebLink(const QString &url, const std::optional<QString> &title,
                                                    const std::optional<QUuid> &parentID)
{
    const auto address = EntryRules::webAddress(url);
    if (!address)
        return Failure(TreeViewModelError::invalidEntry(address.error()));
    if (title) {
        if (const auto problem = EntryRules::titleProblem(*title))
            return Failure(TreeViewModelError::invalidEntry(*problem));
    }
    const QString text = url.trimmed();
    return addNode(WorkspaceNodeKind::webLink, title.value_or(address->url().host()),
                   NodePayload::webLink(WebLinkTarget{text, std::nullopt}), parentID);
}

TreeResult<WorkspaceNode> TreeViewModel::addChromeTarget(const BrowserTarget &target,
                                                         const std::optional<QUuid> &parentID)
{
    if (auto address = EntryRules::webAddress(target.url); !address)
        return Failure(TreeViewModelError::invalidEntry(address.error()));
    // A tab without a title is still worth keeping; it is named by its address.
    const QString title = EntryRules::titleProblem(target.titleSnapshot) ? target.url.trimmed() : target.titleSnapshot;
    return addNode(WorkspaceNodeKind::chromeTab, title, NodePayload::chromeTab(target), parentID);
}

TreeResult<WorkspaceNode> TreeViewModel::addSlackPermalink(const QString &text, const std::optional<QUuid> &parentID,
                                                          const std::optional<QUuid> &nodeID)
{
    auto target = EntryRules::slackAddress(text);
    if (!target)
        return Failure(TreeViewModelError::invalidEntry(target.error()));
    const QString title = target->channelID.value_or(QStringLiteral("Slack Thread"));
    return addNode(WorkspaceNodeKind::slackThread, title, NodePayload::slackThread(*target), parentID, nodeID);
}

TreeResult<WorkspaceNode> TreeViewModel::addFile(const QUrl &url, bool isFolder, const std::optional<QUuid> &parentID)
{
    auto accepted = EntryRules::absolutePath(url.isLocalFile() ? url.toLocalFile() : QString());
    if (!accepted)
        return Failure(TreeViewModelError::invalidEntry(accepted.error()));
    const QString path = withoutTrailingSlashes(*accepted);
    FileTarget target{path, std::nullopt};
    return addNode(isFolder ? WorkspaceNodeKind::folder : WorkspaceNodeKind::file, lastPathComponent(path),
                   isFolder ? NodePayload::folder(std::move(target)) : NodePayload::file(std::move(target)), parentID);
}

template <class Edit>
TreeResult<void> TreeViewModel::editInPlace(const QUuid &givenID, Edit edit, const char *action)
{
    // Callers often pass a node's own identifier, which the edit below
    // releases together with the node's old record.
    const QUuid nodeID = givenID;
    if (auto loaded = ensureLoaded(); !loaded)
        return loaded;
    const auto slot = m_projection.firstSlotWithId(nodeID);
    if (slot == TreeProjection::kNoSlot)
        return {};
    noteInPlaceChange(m_positionOf[slot]);
    WorkspaceNode &node = m_nodes[m_positionOf[slot]];
    edit(node);
    m_projection.update(slot, node);
    if (!action)
        m_recordStep = false;
    else if (!m_nextStepName)
        m_nextStepName = StepName{QString::fromUtf8(action), node.title()};
    m_lastEdit = EditScope{true, true, {TouchedNode{nodeID, false, node.parentID()}}};
    Q_EMIT nodeUpdated(nodeID);
    Q_EMIT nodesChanged();
    return persist();
}

TreeResult<void> TreeViewModel::rename(const QUuid &nodeID, const QString &title)
{
    if (const auto problem = EntryRules::titleProblem(title))
        return Failure(TreeViewModelError::invalidEntry(*problem));
    return editInPlace(nodeID, [&](WorkspaceNode &node) {
        node.setTitle(title);
        node.setUpdatedAt(now());
    }, textKey("Rename"));
}

TreeResult<void> TreeViewModel::toggleCollapse(const QUuid &nodeID)
{
    const auto current = node(nodeID);
    return editInPlace(nodeID, [&](WorkspaceNode &node) {
        node.setIsCollapsed(!node.isCollapsed());
        node.setUpdatedAt(now());
    }, current && !current->isCollapsed() ? textKey("Collapse") : textKey("Expand"));
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
    }, collapsed ? textKey("Collapse") : textKey("Expand"));
}

TreeResult<void> TreeViewModel::markNodeOpened(const QUuid &nodeID)
{
    return editInPlace(nodeID, [&](WorkspaceNode &node) {
        const Timestamp time = now();
        node.setLastOpenedAt(time);
        node.setUpdatedAt(time);
    }, nullptr);
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
    if (auto refusal = canMove(nodeID, newParentID))
        return Failure(std::move(*refusal));
    const auto slot = m_projection.firstSlotWithId(nodeID);
    noteInPlaceChange(m_positionOf[slot]);
    WorkspaceNode &node = m_nodes[m_positionOf[slot]];
    m_lastEdit = EditScope{true, false, {TouchedNode{nodeID, false, node.parentID()}}};
    node.setParentID(newParentID);
    node.setUpdatedAt(now());
    m_projection.update(slot, node);
    if (!m_nextStepName)
        m_nextStepName = StepName{QString::fromUtf8(textKey("Move")), node.title()};
    applyRenumber(newParentID, nodeID, index);
    Q_EMIT nodesChanged();
    return persist();
}

std::optional<TreeViewModelError> TreeViewModel::canMove(const QUuid &nodeID,
                                                         const std::optional<QUuid> &newParentID) const
{
    if (m_projection.firstSlotWithId(nodeID) == TreeProjection::kNoSlot)
        return TreeViewModelError::unknownNode(nodeID);
    if (!newParentID)
        return std::nullopt;
    if (m_projection.firstSlotWithId(*newParentID) == TreeProjection::kNoSlot)
        return TreeViewModelError::unknownNode(*newParentID);
    if (m_projection.isInSubtree(*newParentID, nodeID))
        return TreeViewModelError::cycle(nodeID);
    return std::nullopt;
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
    const auto top = m_projection.firstSlotWithId(nodeID);
    if (top != TreeProjection::kNoSlot) {
        // The subtree goes to the trash in the same write, top node first and
        // the rest in the list's order, as the records were.
        TrashEntry entry{newUuid(), m_workspace->id, now(), m_projection.node(top).title(),
                         m_projection.node(top).parentID(), 0, {}};
        const auto &siblings = m_projection.siblings(entry.parentID);
        entry.position = std::find(siblings.begin(), siblings.end(), top) - siblings.begin();
        std::vector<TreeProjection::SlotId> ordered = doomed;
        std::sort(ordered.begin(), ordered.end(), [this, top](auto a, auto b) {
            if ((a == top) != (b == top))
                return a == top;
            return m_positionOf[a] < m_positionOf[b];
        });
        for (auto slot : ordered)
            entry.nodes.append(m_projection.node(slot));
        if (!m_nextStepName)
            m_nextStepName = StepName{QString::fromUtf8(textKey("Delete")), entry.title};
        m_pendingTrash.append(std::move(entry));
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
    if (!m_nextStepName && !copies.isEmpty())
        m_nextStepName = StepName{QString::fromUtf8(textKey("Duplicate")), copies.first().title()};
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
    keepWholeBase();
    resetNodes(nodes);
    applyRenumber();
    if (!m_nextStepName)
        m_nextStepName = StepName{QString::fromUtf8(textKey("Replace All")), {}};
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
    if (!m_nextStepName)
        m_nextStepName = StepName{QString::fromUtf8(textKey("Import")), {}};
    for (WorkspaceNode &node : nodes) {
        if (node.parentID() == parentID)
            node.setSortOrder(node.sortOrder() + base);
    }
    // A small import is added like any other node, so that views see rows
    // inserted; a large one is cheaper to show as a new tree. Not so with
    // part of the tree: a new tree renumbers every group, cut short or not.
    constexpr qsizetype kLargeImport = 1000;
    if (nodes.size() > kLargeImport && !m_store.readsPartialTree())
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
    if (!m_nextStepName)
        m_nextStepName = StepName{QString::fromUtf8(textKey("Recover")), groupTitle};
    if (auto replaced = replaceAllNodes(nodes); !replaced)
        return Failure(replaced.error());
    return std::optional(group);
}

TreeResult<void> TreeViewModel::persist()
{
    const bool record = std::exchange(m_recordStep, true);
    std::optional<StepName> name = std::exchange(m_nextStepName, std::nullopt);
    const QList<TrashEntry> trashAdded = std::exchange(m_pendingTrash, {});
    const QList<TrashEntry> trashRemoved = std::exchange(m_pendingTrashRemoved, {});
    if (!m_loaded || !m_workspace)
        return Failure(TreeViewModelError::missingWorkspace());

    HistoryWrite write;
    for (const TrashEntry &entry : trashAdded)
        write.trashInsert.append(entry);
    for (const TrashEntry &entry : trashRemoved)
        write.trashDelete.append(entry.id);
    HistoryStep step;
    bool comparable = true;
    if (record || m_command) {
        if (m_command) {
            m_command->trashAdded += trashAdded;
            m_command->trashRemoved += trashRemoved;
            if (m_command->name.action.isEmpty() && name)
                m_command->name = *name;
            if (!m_command->name.action.isEmpty())
                name = m_command->name;
            step.trashAdded = m_command->trashAdded;
            step.trashRemoved = m_command->trashRemoved;
        } else {
            step.trashAdded = trashAdded;
            step.trashRemoved = trashRemoved;
        }
        if (m_baseInPlace) {
            recordChangesSinceBase(step);
        } else {
            comparable = changedRecords(m_base, m_nodes, step.before, step.after);
        }
        const bool changed = !step.before.isEmpty() || !step.after.isEmpty() || !step.trashAdded.isEmpty() ||
                             !step.trashRemoved.isEmpty();
        if (comparable && changed) {
            step.action = name ? name->action : QString::fromUtf8(textKey("Edit"));
            step.subject = name ? name->subject : QString();
            write.step = &step;
            if (m_command && m_command->sequence) {
                write.kind = HistoryWrite::Kind::amend;
                write.sequence = *m_command->sequence;
            } else {
                write.kind = HistoryWrite::Kind::record;
            }
        }
    }
    auto saved = persistWithHistory(std::move(write), comparable);
    if (!saved && !reloadIfChangedElsewhere(saved.error())) {
        // The edit stays in memory and goes out with the next write, so its
        // trash changes must too: otherwise a deleted subtree would reach the
        // file without its trash entry, and be gone.
        if (m_command) {
            m_command->trashAdded.resize(m_command->trashAdded.size() - trashAdded.size());
            m_command->trashRemoved.resize(m_command->trashRemoved.size() - trashRemoved.size());
        } else if (!m_nextStepName) {
            m_nextStepName = name;
        }
        m_pendingTrash = trashAdded + m_pendingTrash;
        m_pendingTrashRemoved = trashRemoved + m_pendingTrashRemoved;
    }
    return saved;
}

void TreeViewModel::recordChangesSinceBase(HistoryStep &step) const
{
    // In the order changedRecords gives them: walking in from the front to
    // the first removed node, then from the back (to the last removed node,
    // unless nodes were added at the end), then the stretch between, with
    // the added nodes, and last the removed records.
    const auto changed = changedSinceBase();
    auto pair = [&](const std::pair<qsizetype, qsizetype> &at) {
        const WorkspaceNode &former = *m_formerRecords.constFind(at.first);
        if (!(former == m_nodes[at.second])) {
            step.before.append(former);
            step.after.append(m_nodes[at.second]);
        }
    };
    const qsizetype kept = m_baseSize - m_removedFromBase.size();
    const bool added = m_nodes.size() > kept;
    auto middle = changed.begin();
    auto back = changed.end();
    if (!m_removedFromBase.isEmpty()) {
        middle = std::partition_point(changed.begin(), changed.end(),
                                      [&](const auto &at) { return at.first < m_removedFromBase.front(); });
        std::for_each(changed.begin(), middle, pair);
        if (!added) {
            back = std::partition_point(middle, changed.end(),
                                        [&](const auto &at) { return at.first < m_removedFromBase.back(); });
            std::for_each(changed.rbegin(), std::make_reverse_iterator(back), pair);
        }
    }
    std::for_each(middle, back, pair);
    for (qsizetype i = kept; i < m_nodes.size(); ++i)
        step.after.append(m_nodes[i]);
    for (qsizetype base : m_removedFromBase)
        step.before.append(*m_formerRecords.constFind(base));
}

TreeResult<void> TreeViewModel::persistWithHistory(HistoryWrite history, bool comparable)
{
    if (!m_loaded || !m_workspace)
        return Failure(TreeViewModelError::missingWorkspace());
    m_workspace->updatedAt = now();
    Q_EMIT workspaceChanged();
    // The thread gets its own handles on the workspace and the list (shared,
    // not copied); this thread keeps to reading them meanwhile.
    const Workspace workspace = *m_workspace;
    std::optional<NodeList> nodes = m_nodes;
    std::optional<NodeListEdit> edit;
    if (m_baseInPlace)
        edit = changesSinceWrite();
    const bool readHistory = history.kind != HistoryWrite::Kind::none || !comparable;
    StoreResult<std::optional<std::int64_t>> saved = std::optional<std::int64_t>();
    std::optional<StoreResult<QList<HistoryEntry>>> readBack;
    runStoreWork(
        [&] {
            saved = edit ? m_store.saveEditInPlace(workspace, *nodes, *edit, history)
                         : m_store.saveEdit(workspace, *nodes, history);
            // The list goes before this thread changes its own again.
            nodes.reset();
            if (!saved)
                return;
            // Repeated identifiers leave no way to tell which record a step meant.
            if (!comparable)
                (void)m_store.clearHistory(workspace.id);
            if (readHistory)
                readBack = m_store.fetchHistory(workspace.id);
        },
        recordsWritten(history, edit ? &*edit : nullptr, m_nodes.size()) >= kThreadedWriteRecords);
    if (!saved) {
        const auto error = TreeViewModelError::store(saved.error());
        // Refused before anything was written: the tree is about to be read
        // again, so it will not hold changes the store lacks.
        if (saved.error().kind != StoreError::Kind::changedElsewhere)
            Q_EMIT writeFailed(error.description());
        return Failure(error);
    }
    m_removedSinceWrite.clear();
    if (m_command && *saved && history.kind == HistoryWrite::Kind::record)
        m_command->sequence = **saved;
    if (!m_command)
        rebase();
    if (readBack)
        takeHistory(std::move(*readBack));
    if (!history.trashInsert.isEmpty() || !history.trashDelete.isEmpty())
        Q_EMIT trashChanged();
    Q_EMIT writeSucceeded();
    return {};
}

void TreeViewModel::reloadHistory()
{
    if (m_workspace) {
        takeHistory(m_store.fetchHistory(m_workspace->id));
        return;
    }
    m_historyError.clear();
    m_history.clear();
    Q_EMIT historyChanged();
}

void TreeViewModel::takeHistory(StoreResult<QList<HistoryEntry>> history)
{
    m_historyError.clear();
    m_history.clear();
    if (history)
        m_history = std::move(*history);
    else
        m_historyError = history.error().description();
    Q_EMIT historyChanged();
}

void TreeViewModel::setWritesOffThread(bool on)
{
    m_writesOffThread = on && m_store.usableFromOtherThreads();
}

TreeResult<void> TreeViewModel::refuseWhileWriting() const
{
    return Failure(TreeViewModelError::refused(localized("Wait until the tree has been saved.")));
}

void TreeViewModel::runStoreWork(const std::function<void()> &work, bool threaded)
{
    if (!threaded || !m_writesOffThread || m_writing || !QCoreApplication::instance() ||
        QThread::currentThread() != thread()) {
        work();
        return;
    }
    m_writing = true;
    Q_EMIT writingChanged(true);
    {
        QEventLoop loop;
        std::atomic<bool> done = false;
        std::thread worker([&] {
            work();
            done = true;
        });
        // The thread posts nothing here; a short timer looks for its end.
        // A call queued from the thread would be an event made there and
        // freed here, inside Qt, where the race checker cannot follow it.
        QTimer poll;
        poll.setInterval(2);
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (done)
                loop.quit();
        });
        poll.start();
        // Input events and socket notifiers (key presses, clicks, files
        // watched, a browser's messages) wait in their queues until the
        // write is done; paint events, timers and queued calls go on.
        // A quitting application leaves the loop early: the write is then
        // waited for here.
        while (!done && loop.exec(QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers) >= 0) {
        }
        worker.join();
    }
    m_writing = false;
    Q_EMIT writingChanged(false);
    if (!m_deferred.isEmpty() && !m_deferredPosted) {
        m_deferredPosted = true;
        QMetaObject::invokeMethod(this, &TreeViewModel::runDeferred, Qt::QueuedConnection);
    }
}

void TreeViewModel::whenIdle(QObject *context, std::function<void()> work)
{
    if (!m_writing && m_deferred.isEmpty()) {
        work();
        return;
    }
    m_deferred.append(Deferred{context, std::move(work)});
    if (!m_writing && !m_deferredPosted) {
        m_deferredPosted = true;
        QMetaObject::invokeMethod(this, &TreeViewModel::runDeferred, Qt::QueuedConnection);
    }
}

void TreeViewModel::runDeferred()
{
    m_deferredPosted = false;
    // Work that starts another threaded write leaves the rest to the end of
    // that one.
    while (!m_writing && !m_deferred.isEmpty()) {
        const Deferred next = m_deferred.takeFirst();
        if (next.context)
            next.work();
    }
}

TreeResult<void> TreeViewModel::clearHistory()
{
    if (auto loaded = ensureLoaded(); !loaded)
        return loaded;
    auto cleared = m_store.clearHistory(m_workspace->id);
    reloadHistory();
    if (!cleared)
        return Failure(TreeViewModelError::store(cleared.error()));
    return {};
}

std::optional<HistoryEntry> TreeViewModel::nextUndo() const
{
    for (auto it = m_history.rbegin(); it != m_history.rend(); ++it) {
        if (!it->undone)
            return *it;
    }
    return std::nullopt;
}

std::optional<HistoryEntry> TreeViewModel::nextRedo() const
{
    for (const HistoryEntry &entry : m_history) {
        if (entry.undone)
            return entry;
    }
    return std::nullopt;
}

QString TreeViewModel::stepLabel(const HistoryEntry &entry)
{
    if (entry.subject.isEmpty())
        return localized(entry.action);
    return formatted(localized("%@ “%@”"), {localized(entry.action), entry.subject});
}

TreeResult<HistoryEntry> TreeViewModel::undo()
{
    if (auto loaded = ensureLoaded(); !loaded)
        return Failure(loaded.error());
    if (m_command)
        return Failure(TreeViewModelError::refused(localized("Wait until the current command has finished.")));
    const auto entry = nextUndo();
    if (!entry)
        return Failure(TreeViewModelError::refused(localized("There is nothing to undo.")));
    return applyStep(*entry, true);
}

TreeResult<HistoryEntry> TreeViewModel::redo()
{
    if (auto loaded = ensureLoaded(); !loaded)
        return Failure(loaded.error());
    if (m_command)
        return Failure(TreeViewModelError::refused(localized("Wait until the current command has finished.")));
    const auto entry = nextRedo();
    if (!entry)
        return Failure(TreeViewModelError::refused(localized("There is nothing to redo.")));
    return applyStep(*entry, false);
}

TreeResult<HistoryEntry> TreeViewModel::applyStep(const HistoryEntry &entry, bool undoing)
{
    // A step that cannot be applied blocks every older one too: forget them
    // all rather than leave a history that always fails.
    auto giveUp = [&](const QString &reason) -> TreeResult<HistoryEntry> {
        (void)m_store.clearHistory(m_workspace->id);
        reloadHistory();
        return Failure(TreeViewModelError::refused(reason));
    };
    // A step can hold a large part of the tree.
    StoreResult<HistoryStep> fetched = HistoryStep{};
    runStoreWork([&] { fetched = m_store.fetchHistoryStep(entry.sequence); },
                 entry.recordCount >= kThreadedWriteRecords);
    if (!fetched)
        return giveUp(formatted(localized("The undo history could not be read and was cleared: %@"),
                                {fetched.error().description()}));
    const HistoryStep &step = *fetched;
    const NodeList &from = undoing ? step.after : step.before;
    const NodeList &to = undoing ? step.before : step.after;

    QHash<QUuid, qsizetype> target;
    for (qsizetype i = 0; i < to.size(); ++i)
        target.insert(to[i].id(), i);
    QSet<QUuid> present;
    std::vector<TreeProjection::SlotId> fromSlots;
    bool matches = !step.afterChanged;
    for (const WorkspaceNode &record : from) {
        present.insert(record.id());
        const auto slots = m_projection.slotsWithId(record.id());
        if (slots.size() != 1 || !sameButStamps(m_projection.node(slots.front()), record)) {
            matches = false;
            break;
        }
        fromSlots.push_back(slots.front());
    }
    for (const WorkspaceNode &record : to) {
        if (!matches)
            break;
        if (!present.contains(record.id()) && m_projection.firstSlotWithId(record.id()) != TreeProjection::kNoSlot)
            matches = false;
    }
    if (!matches)
        return giveUp(formatted(
            undoing ? localized("“%@” cannot be undone: the tree has changed since. The undo history was cleared.")
                    : localized("“%@” cannot be redone: the tree has changed since. The undo history was cleared."),
            {stepLabel(entry)}));

    m_lastEdit = EditScope{true, false, {}};
    std::vector<TreeProjection::SlotId> doomed;
    QList<QUuid> updated;
    for (std::size_t k = 0; k < fromSlots.size(); ++k) {
        const auto slot = fromSlots[k];
        const WorkspaceNode &current = m_projection.node(slot);
        m_lastEdit.nodes.append(TouchedNode{current.id(), false, current.parentID()});
        if (auto found = target.constFind(current.id()); found != target.constEnd()) {
            const WorkspaceNode &record = to[*found];
            updated.append(record.id());
            m_projection.update(slot, record);
            storeSlot(slot);
        } else {
            doomed.push_back(slot);
        }
    }
    removeSlots(doomed);
    for (const WorkspaceNode &record : to) {
        if (present.contains(record.id()))
            continue;
        appendNode(record);
        m_lastEdit.nodes.append(TouchedNode{record.id(), true, std::nullopt});
    }
    Q_EMIT nodesChanged();
    for (const QUuid &id : std::as_const(updated))
        Q_EMIT nodeUpdated(id);

    HistoryWrite write;
    write.kind = undoing ? HistoryWrite::Kind::undo : HistoryWrite::Kind::redo;
    write.sequence = entry.sequence;
    if (undoing && step.afterFromLiveRows)
        write.step = &step;
    const QList<TrashEntry> &putBack = undoing ? step.trashRemoved : step.trashAdded;
    const QList<TrashEntry> &takeOut = undoing ? step.trashAdded : step.trashRemoved;
    write.trashInsert = putBack;
    for (const TrashEntry &trashed : takeOut)
        write.trashDelete.append(trashed.id);
    if (auto saved = persistWithHistory(std::move(write)); !saved) {
        if (reloadIfChangedElsewhere(saved.error()))
            return Failure(saved.error());
        // The step stays applied in memory; the next write takes its trash
        // changes along, as persist() does.
        m_pendingTrash += putBack;
        m_pendingTrashRemoved += takeOut;
        return Failure(saved.error());
    }
    return entry;
}

TreeViewModel::Command::Command(Command &&other) noexcept
    : m_model(other.m_model)
{
    other.m_model = nullptr;
}

TreeViewModel::Command::~Command()
{
    if (m_model)
        m_model->endCommand();
}

TreeViewModel::Command TreeViewModel::beginCommand(const char *action, const QString &subject)
{
    if (m_command) {
        ++m_command->depth;
        if (m_command->name.action.isEmpty() && action && !m_command->sequence)
            m_command->name = StepName{QString::fromUtf8(action), subject};
    } else {
        m_command = RunningCommand{StepName{action ? QString::fromUtf8(action) : QString(), subject}, 1, std::nullopt,
                                   {}, {}};
    }
    return Command(this);
}

void TreeViewModel::endCommand()
{
    if (!m_command || --m_command->depth > 0)
        return;
    m_command.reset();
    rebase();
}

void TreeViewModel::nameNextStep(const char *action, const QString &subject)
{
    m_nextStepName = StepName{QString::fromUtf8(action), subject};
}

TreeResult<QList<TrashSummary>> TreeViewModel::trash()
{
    if (auto loaded = ensureLoaded(); !loaded)
        return Failure(loaded.error());
    auto entries = m_store.fetchTrash(m_workspace->id);
    if (!entries)
        return Failure(TreeViewModelError::store(entries.error()));
    return std::move(*entries);
}

TreeResult<bool> TreeViewModel::trashHolds(const QUuid &nodeID)
{
    auto entries = trash();
    if (!entries)
        return Failure(entries.error());
    for (const TrashSummary &summary : std::as_const(*entries)) {
        auto entry = m_store.fetchTrashEntry(summary.id);
        if (!entry)
            return Failure(TreeViewModelError::store(entry.error()));
        if (*entry && std::any_of((*entry)->nodes.begin(), (*entry)->nodes.end(),
                                  [&](const WorkspaceNode &node) { return node.id() == nodeID; }))
            return true;
    }
    return false;
}

TreeResult<WorkspaceNode> TreeViewModel::restoreFromTrash(const QUuid &entryID)
{
    if (auto loaded = ensureLoaded(); !loaded)
        return Failure(loaded.error());
    // The list tells an entry's size without reading its records.
    bool big = false;
    if (auto entries = m_store.fetchTrash(m_workspace->id)) {
        for (const TrashSummary &summary : std::as_const(*entries))
            big = big || (summary.id == entryID && summary.nodeCount >= kThreadedWriteRecords);
    }
    StoreResult<std::optional<TrashEntry>> fetched = std::optional<TrashEntry>();
    runStoreWork([&] { fetched = m_store.fetchTrashEntry(entryID); }, big);
    if (!fetched)
        return Failure(TreeViewModelError::store(fetched.error()));
    if (!*fetched || (*fetched)->workspaceID != m_workspace->id || (*fetched)->nodes.isEmpty())
        return Failure(TreeViewModelError::refused(localized("That item is no longer in the trash.")));
    const TrashEntry &entry = **fetched;
    for (const WorkspaceNode &record : entry.nodes) {
        if (m_projection.firstSlotWithId(record.id()) != TreeProjection::kNoSlot)
            return Failure(TreeViewModelError::refused(
                formatted(localized("“%@” cannot be restored: its nodes are in the tree already."), {entry.title})));
    }
    std::optional<QUuid> parentID = entry.parentID;
    if (parentID && m_projection.firstSlotWithId(*parentID) == TreeProjection::kNoSlot)
        parentID.reset();
    NodeList nodes = entry.nodes;
    if (nodes.first().parentID() != parentID)
        nodes.first().setParentID(parentID);
    const QUuid topID = nodes.first().id();
    m_lastEdit = EditScope{true, false, {}};
    for (const WorkspaceNode &record : std::as_const(nodes)) {
        appendNode(record);
        m_lastEdit.nodes.append(TouchedNode{record.id(), true, std::nullopt});
    }
    applyRenumber(parentID, topID, qsizetype(entry.position));
    if (!m_nextStepName)
        m_nextStepName = StepName{QString::fromUtf8(textKey("Restore")), entry.title};
    m_pendingTrashRemoved.append(entry);
    Q_EMIT nodesChanged();
    if (auto saved = persist(); !saved)
        return Failure(saved.error());
    return *node(topID);
}

TreeResult<std::int64_t> TreeViewModel::eraseFromTrash(const QList<QUuid> &entryIDs)
{
    if (auto loaded = ensureLoaded(); !loaded)
        return Failure(loaded.error());
    auto erased = m_store.eraseTrash(m_workspace->id, entryIDs);
    if (!erased)
        return Failure(TreeViewModelError::store(erased.error()));
    reloadHistory();
    Q_EMIT trashChanged();
    return *erased;
}

void TreeViewModel::trashErasedElsewhere()
{
    reloadHistory();
    Q_EMIT trashChanged();
}

TreeResult<std::int64_t> TreeViewModel::emptyTrash()
{
    return eraseTrashDeletedBefore(Timestamp::max());
}

TreeResult<std::int64_t> TreeViewModel::eraseTrashDeletedBefore(Timestamp cutoff)
{
    auto entries = trash();
    if (!entries)
        return Failure(entries.error());
    QList<QUuid> old;
    for (const TrashSummary &entry : std::as_const(*entries)) {
        if (entry.deletedAt < cutoff)
            old.append(entry.id);
    }
    if (old.isEmpty())
        return std::int64_t(0);
    return eraseFromTrash(old);
}

} // namespace tarni
