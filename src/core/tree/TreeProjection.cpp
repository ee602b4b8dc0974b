#include "tree/TreeProjection.h"

#include <QSet>

#include <algorithm>
#include <cmath>

namespace tarni {

const std::vector<TreeProjection::SlotId> TreeProjection::s_noSlots;

namespace {

// Ascending with NaN last, so that a stray NaN cannot break the ordering.
bool lessOrder(double a, double b)
{
    if (std::isnan(a))
        return false;
    if (std::isnan(b))
        return true;
    return a < b;
}

bool sameOrder(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

std::optional<QString> payloadAddress(const NodePayload &payload)
{
    if (const auto *tab = payload.asChromeTab())
        return tab->url;
    if (const auto *link = payload.asWebLink())
        return link->url;
    if (const auto *slack = payload.asSlackThread())
        return slack->permalinkURL;
    if (const auto *file = payload.asFileTarget())
        return file->path;
    return std::nullopt;
}

bool sameSearchParts(const WorkspaceNode &a, const WorkspaceNode &b)
{
    return a.title() == b.title() && a.subtitle() == b.subtitle() && payloadAddress(a.payload()) == payloadAddress(b.payload());
}

} // namespace

TreeProjection::TreeProjection()
{
    reset({});
}

TreeProjection::TreeProjection(const NodeList &nodes, SearchIndex search)
{
    reset(nodes, search);
}

QString TreeProjection::searchText(const WorkspaceNode &node)
{
    // Each part is lower-cased on its own, as it will be matched.
    QString text = node.title().toLower();
    if (const auto &subtitle = node.subtitle()) {
        text += QLatin1Char(' ');
        text += subtitle->toLower();
    }
    if (const auto address = payloadAddress(node.payload())) {
        text += QLatin1Char(' ');
        text += address->toLower();
    }
    return text;
}

bool TreeProjection::before(SlotId a, SlotId b) const
{
    const double x = m_slots[a].node.sortOrder();
    const double y = m_slots[b].node.sortOrder();
    if (lessOrder(x, y))
        return true;
    if (lessOrder(y, x))
        return false;
    return m_slots[a].seq < m_slots[b].seq;
}

TreeProjection::GroupId TreeProjection::findGroup(const std::optional<QUuid> &key) const
{
    if (!key)
        return 0;
    return m_groupOfId.value(*key, GroupId(~GroupId(0)));
}

TreeProjection::GroupId TreeProjection::groupFor(const std::optional<QUuid> &key)
{
    if (!key)
        return 0;
    auto it = m_groupOfId.constFind(*key);
    if (it != m_groupOfId.constEnd())
        return *it;
    GroupId id;
    if (!m_freeGroups.empty()) {
        id = m_freeGroups.back();
        m_freeGroups.pop_back();
    } else {
        id = GroupId(m_groups.size());
        m_groups.emplace_back();
    }
    Group &group = m_groups[id];
    group = Group{};
    group.key = key;
    group.live = true;
    m_groupOfId.insert(*key, id);
    return id;
}

void TreeProjection::releaseIfUnused(GroupId id)
{
    Group &group = m_groups[id];
    if (id == 0 || !group.members.empty() || !group.owners.empty())
        return;
    m_groupOfId.remove(*group.key);
    group = Group{};
    m_freeGroups.push_back(id);
}

void TreeProjection::markDirty(GroupId id)
{
    Group &group = m_groups[id];
    if (group.normalized) {
        group.normalized = false;
        m_dirtyGroups.push_back(id);
    }
}

void TreeProjection::insertMember(GroupId id, SlotId slot)
{
    auto &members = m_groups[id].members;
    auto pos = std::upper_bound(members.begin(), members.end(), slot,
                                [this](SlotId a, SlotId b) { return before(a, b); });
    // Appending the next whole number keeps a renumbered group renumbered.
    const bool keepsNumbering =
        pos == members.end() && m_slots[slot].node.sortOrder() == double(members.size());
    members.insert(pos, slot);
    if (!keepsNumbering)
        markDirty(id);
}

void TreeProjection::removeMember(GroupId id, SlotId slot)
{
    auto &members = m_groups[id].members;
    auto pos = std::lower_bound(members.begin(), members.end(), slot,
                                [this](SlotId a, SlotId b) { return before(a, b); });
    if (pos == members.end() || *pos != slot)
        pos = std::find(members.begin(), members.end(), slot);
    if (pos == members.end())
        return;
    const bool wasLast = pos + 1 == members.end();
    members.erase(pos);
    if (!wasLast)
        markDirty(id);
}

void TreeProjection::addOwner(GroupId id, SlotId slot)
{
    auto &owners = m_groups[id].owners;
    owners.push_back(slot);
    if (owners.size() == 2)
        ++m_repeatedIds;
}

void TreeProjection::removeOwner(GroupId id, SlotId slot)
{
    auto &owners = m_groups[id].owners;
    auto pos = std::find(owners.begin(), owners.end(), slot);
    if (pos == owners.end())
        return;
    owners.erase(pos);
    if (owners.size() == 1)
        --m_repeatedIds;
}

void TreeProjection::attach(SlotId slot)
{
    const GroupId parent = groupFor(m_slots[slot].node.parentID());
    const GroupId own = groupFor(m_slots[slot].node.id());
    m_slots[slot].parentGroup = parent;
    m_slots[slot].ownGroup = own;
    insertMember(parent, slot);
    addOwner(own, slot);
}

void TreeProjection::detach(SlotId slot)
{
    const GroupId parent = m_slots[slot].parentGroup;
    const GroupId own = m_slots[slot].ownGroup;
    removeMember(parent, slot);
    removeOwner(own, slot);
    releaseIfUnused(parent);
    if (own != parent)
        releaseIfUnused(own);
}

void TreeProjection::reset(const NodeList &nodes, SearchIndex search)
{
    m_slots.clear();
    m_freeSlots.clear();
    m_groups.clear();
    m_freeGroups.clear();
    m_groupOfId.clear();
    m_dirtyGroups.clear();
    m_repeatedIds = 0;
    m_groups.emplace_back();
    m_groups[0].live = true;

    const auto count = std::size_t(nodes.size());
    m_slots.resize(count);
    m_groupOfId.reserve(qsizetype(count));
    for (std::size_t i = 0; i < count; ++i) {
        Slot &slot = m_slots[i];
        slot.node = nodes[qsizetype(i)];
        slot.seq = i;
        slot.live = true;
        slot.parentGroup = groupFor(slot.node.parentID());
        slot.ownGroup = groupFor(slot.node.id());
        m_groups[slot.parentGroup].members.push_back(SlotId(i));
        addOwner(slot.ownGroup, SlotId(i));
    }
    m_liveCount = count;
    m_nextSeq = count;

    for (GroupId id = 0; id < m_groups.size(); ++id) {
        Group &group = m_groups[id];
        std::sort(group.members.begin(), group.members.end(), [this](SlotId a, SlotId b) { return before(a, b); });
        for (std::size_t i = 0; i < group.members.size(); ++i) {
            if (m_slots[group.members[i]].node.sortOrder() != double(i)) {
                markDirty(id);
                break;
            }
        }
    }

    m_searchIndexed = false;
    if (search == SearchIndex::build || isFiltering())
        ensureSearchIndex();
    if (isFiltering()) {
        for (Slot &slot : m_slots)
            slot.matches = textMatches(slot);
    }
    m_visibilityDirty = true;
}

TreeProjection::SlotId TreeProjection::append(const WorkspaceNode &node)
{
    SlotId id;
    if (!m_freeSlots.empty()) {
        id = m_freeSlots.back();
        m_freeSlots.pop_back();
    } else {
        id = SlotId(m_slots.size());
        m_slots.emplace_back();
    }
    Slot &slot = m_slots[id];
    slot = Slot{};
    slot.node = node;
    slot.seq = m_nextSeq++;
    slot.live = true;
    if (m_searchIndexed)
        slot.searchText = searchText(node);
    attach(id);
    if (isFiltering())
        m_slots[id].matches = textMatches(m_slots[id]);
    ++m_liveCount;
    m_visibilityDirty = true;
    return id;
}

void TreeProjection::remove(SlotId id)
{
    if (id >= m_slots.size() || !m_slots[id].live)
        return;
    detach(id);
    m_slots[id] = Slot{};
    m_freeSlots.push_back(id);
    --m_liveCount;
    m_visibilityDirty = true;
}

void TreeProjection::update(SlotId id, const WorkspaceNode &node)
{
    Slot &slot = m_slots[id];
    if (slot.node.isSharedWith(node))
        return;
    const bool moves = slot.node.id() != node.id() || slot.node.parentID() != node.parentID() ||
                       !sameOrder(slot.node.sortOrder(), node.sortOrder());
    const bool textChanges = !sameSearchParts(slot.node, node);
    if (moves) {
        detach(id);
        m_slots[id].node = node;
        attach(id);
        m_visibilityDirty = true;
    } else {
        slot.node = node;
    }
    if (textChanges) {
        Slot &changed = m_slots[id];
        if (m_searchIndexed)
            changed.searchText = searchText(node);
        if (isFiltering()) {
            const bool matches = textMatches(changed);
            if (matches != changed.matches) {
                changed.matches = matches;
                m_visibilityDirty = true;
            }
        }
    }
}

TreeProjection::SlotId TreeProjection::firstSlotWithId(const QUuid &id) const
{
    const GroupId group = findGroup(id);
    if (group >= m_groups.size())
        return kNoSlot;
    SlotId first = kNoSlot;
    for (SlotId slot : m_groups[group].owners) {
        if (first == kNoSlot || m_slots[slot].seq < m_slots[first].seq)
            first = slot;
    }
    return first;
}

std::vector<TreeProjection::SlotId> TreeProjection::slotsWithId(const QUuid &id) const
{
    const GroupId group = findGroup(id);
    return group < m_groups.size() ? m_groups[group].owners : std::vector<SlotId>{};
}

const std::vector<TreeProjection::SlotId> &TreeProjection::siblings(const std::optional<QUuid> &parentID) const
{
    const GroupId group = findGroup(parentID);
    return group < m_groups.size() ? m_groups[group].members : s_noSlots;
}

double TreeProjection::nextSortOrder(const std::optional<QUuid> &parentID) const
{
    const auto &members = siblings(parentID);
    if (members.empty())
        return 0.0;
    // Members are in ascending order with NaN last; the largest number is
    // the last one that is not NaN.
    for (auto it = members.rbegin(); it != members.rend(); ++it) {
        const double order = m_slots[*it].node.sortOrder();
        if (!std::isnan(order))
            return order + 1.0;
    }
    return 0.0;
}

std::vector<TreeProjection::SlotId> TreeProjection::descendantSlots(const QUuid &id) const
{
    std::vector<SlotId> result;
    const GroupId start = findGroup(id);
    if (start >= m_groups.size())
        return result;
    const std::uint32_t mark = ++m_visitMark;
    std::vector<GroupId> pending{start};
    m_groups[start].visitMark = mark;
    while (!pending.empty()) {
        const GroupId group = pending.back();
        pending.pop_back();
        for (SlotId slot : m_groups[group].members) {
            result.push_back(slot);
            const GroupId own = m_slots[slot].ownGroup;
            if (m_groups[own].visitMark != mark) {
                m_groups[own].visitMark = mark;
                pending.push_back(own);
            }
        }
    }
    return result;
}

std::vector<TreeProjection::SlotId> TreeProjection::renumber(const std::optional<QUuid> &overridingParentID,
                                                             const std::optional<QUuid> &movedNodeID,
                                                             std::optional<qsizetype> desiredIndex)
{
    std::vector<SlotId> changed;
    auto assign = [&](Group &group) {
        for (std::size_t i = 0; i < group.members.size(); ++i) {
            Slot &slot = m_slots[group.members[i]];
            if (slot.node.sortOrder() != double(i)) {
                slot.node.setSortOrder(double(i));
                changed.push_back(group.members[i]);
            }
        }
        group.normalized = true;
    };

    const GroupId overriding = findGroup(overridingParentID);
    if (movedNodeID && desiredIndex && overriding < m_groups.size()) {
        Group &group = m_groups[overriding];
        auto moved = std::find_if(group.members.begin(), group.members.end(),
                                  [&](SlotId slot) { return m_slots[slot].node.id() == *movedNodeID; });
        if (moved != group.members.end()) {
            const SlotId slot = *moved;
            group.members.erase(moved);
            const auto index = std::clamp<qsizetype>(*desiredIndex, 0, qsizetype(group.members.size()));
            group.members.insert(group.members.begin() + index, slot);
            assign(group);
        }
    }
    for (GroupId id : m_dirtyGroups) {
        Group &group = m_groups[id];
        if (group.live && !group.normalized)
            assign(group);
    }
    m_dirtyGroups.clear();
    return changed;
}

bool TreeProjection::textMatches(const Slot &slot) const
{
    return slot.live && slot.searchText.contains(m_loweredQuery);
}

void TreeProjection::ensureSearchIndex()
{
    if (m_searchIndexed)
        return;
    for (Slot &slot : m_slots) {
        if (slot.live)
            slot.searchText = searchText(slot.node);
    }
    m_searchIndexed = true;
}

void TreeProjection::setQuery(const QString &query)
{
    if (query == m_query)
        return;
    const QString previous = m_loweredQuery;
    m_query = query;
    m_loweredQuery = query.toLower();
    m_visibilityDirty = true;
    if (m_query.isEmpty())
        return;
    ensureSearchIndex();
    // Text that contains the longer query contains the shorter one too, so
    // typing one more character only re-tests the nodes that matched.
    const bool narrows = !previous.isEmpty() && m_loweredQuery.contains(previous);
    for (Slot &slot : m_slots) {
        if (!narrows || slot.matches)
            slot.matches = textMatches(slot);
    }
}

void TreeProjection::refreshVisibility() const
{
    if (!m_visibilityDirty)
        return;
    m_visibilityDirty = false;
    for (const Slot &slot : m_slots)
        slot.visible = false;
    for (const Group &group : m_groups)
        group.visibleMembers = 0;
    // A node is shown when it matches or a child is shown: walk up from each
    // match until an already shown node. Every node turns visible once.
    std::vector<SlotId> pending;
    for (SlotId start = 0; start < m_slots.size(); ++start) {
        if (!m_slots[start].live || !m_slots[start].matches || m_slots[start].visible)
            continue;
        pending.push_back(start);
        while (!pending.empty()) {
            const SlotId slot = pending.back();
            pending.pop_back();
            if (m_slots[slot].visible)
                continue;
            m_slots[slot].visible = true;
            const Group &parent = m_groups[m_slots[slot].parentGroup];
            ++parent.visibleMembers;
            for (SlotId owner : parent.owners) {
                if (!m_slots[owner].visible)
                    pending.push_back(owner);
            }
        }
    }
}

bool TreeProjection::isDisplayed(SlotId slot) const
{
    if (!isFiltering())
        return true;
    refreshVisibility();
    return m_slots[slot].visible;
}

std::vector<TreeProjection::SlotId> TreeProjection::displayedChildSlots(const std::optional<QUuid> &parentID) const
{
    const auto &members = siblings(parentID);
    if (!isFiltering())
        return members;
    refreshVisibility();
    std::vector<SlotId> shown;
    for (SlotId slot : members) {
        if (m_slots[slot].visible)
            shown.push_back(slot);
    }
    return shown;
}

QList<WorkspaceNode> TreeProjection::displayedChildren(const std::optional<QUuid> &parentID) const
{
    QList<WorkspaceNode> result;
    const auto slots = displayedChildSlots(parentID);
    result.reserve(qsizetype(slots.size()));
    for (SlotId slot : slots)
        result.push_back(m_slots[slot].node);
    return result;
}

QList<WorkspaceTreeNode> TreeProjection::displayedTree() const
{
    const bool filtering = isFiltering();
    if (filtering)
        refreshVisibility();
    // Without repeated identifiers no parent link can lead back to a node
    // reachable from the top level; with them, a node already on the path is
    // shown without descending into it again.
    const bool guardPath = m_repeatedIds > 0;
    QSet<QUuid> onPath;

    struct Frame {
        WorkspaceTreeNode entry;
        const std::vector<SlotId> *members;
        std::size_t next;
        bool onPath;
    };
    QList<WorkspaceTreeNode> roots;
    std::vector<Frame> stack;
    std::size_t rootNext = 0;
    const std::vector<SlotId> &rootMembers = m_groups[0].members;
    for (;;) {
        const std::vector<SlotId> &members = stack.empty() ? rootMembers : *stack.back().members;
        std::size_t &next = stack.empty() ? rootNext : stack.back().next;
        if (next < members.size()) {
            const SlotId slot = members[next++];
            const Slot &s = m_slots[slot];
            if (filtering && !s.visible)
                continue;
            bool descend = true;
            if (guardPath) {
                descend = !onPath.contains(s.node.id());
                if (descend)
                    onPath.insert(s.node.id());
            }
            stack.push_back(Frame{WorkspaceTreeNode(s.node), descend ? &m_groups[s.ownGroup].members : &s_noSlots,
                                  0, guardPath && descend});
            continue;
        }
        if (stack.empty())
            break;
        Frame done = std::move(stack.back());
        stack.pop_back();
        if (done.onPath)
            onPath.remove(done.entry.node.id());
        (stack.empty() ? roots : stack.back().entry.children).push_back(std::move(done.entry));
    }
    return roots;
}

} // namespace tarni
