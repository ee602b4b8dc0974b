#include "tree/TreeProjection.h"

#include "tree/SearchQuery.h"

#include <QSet>

#include <algorithm>
#include <cmath>
#include <cstring>

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

bool sameSearchParts(const WorkspaceNode &a, const WorkspaceNode &b)
{
    return a.title() == b.title() && a.subtitle() == b.subtitle() && WorkspaceNode::defaultSubtitle(a.payload()) == WorkspaceNode::defaultSubtitle(b.payload());
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
    std::string text;
    appendSearchText(text, node);
    return QString::fromStdString(text);
}

void TreeProjection::appendSearchText(std::string &out, const WorkspaceNode &node)
{
    // Each part is folded on its own, as it will be matched.
    SearchQuery::appendFolded(out, node.title());
    const auto &subtitle = node.subtitle();
    std::size_t subtitleStart = out.size();
    if (subtitle) {
        out += ' ';
        subtitleStart = out.size();
        SearchQuery::appendFolded(out, *subtitle);
    }
    if (const auto address = WorkspaceNode::defaultSubtitle(node.payload())) {
        // Usually the subtitle is the address. The address once more would
        // match nothing the text does not already match, as long as a query
        // cannot reach across the space between the copies: no word holds a
        // space, and a query of spaces finds the one between title and
        // subtitle as well, unless a copy could begin or end with white
        // space (anything there but printable ASCII counts as such).
        auto printable = [](char c) { return c > ' ' && c < 0x7f; };
        if (subtitle && *subtitle == *address && out.size() > subtitleStart && printable(out[subtitleStart])
            && printable(out.back()))
            return;
        out += ' ';
        SearchQuery::appendFolded(out, *address);
    }
}

bool TreeProjection::before(SlotId a, SlotId b) const
{
    const double x = m_order[a];
    const double y = m_order[b];
    if (lessOrder(x, y))
        return true;
    if (lessOrder(y, x))
        return false;
    return m_seq[a] < m_seq[b];
}

TreeProjection::GroupId TreeProjection::findGroup(const std::optional<QUuid> &key) const
{
    if (!key)
        return 0;
    return m_groupOfId.value(*key, kNoGroup);
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
        m_groupHasMembers.push_back(0);
    }
    Group &group = m_groups[id];
    group = Group{};
    group.key = *key;
    group.live = true;
    m_groupOfId.insert(*key, id);
    return id;
}

void TreeProjection::releaseIfUnused(GroupId id)
{
    Group &group = m_groups[id];
    if (group.topLevel || !group.members.empty() || group.firstOwner != kNoSlot)
        return;
    m_groupOfId.remove(group.key);
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
    const bool keepsNumbering = pos == members.end() && m_order[slot] == double(members.size());
    members.insert(pos, slot);
    m_groupHasMembers[id] = 1;
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
    m_groupHasMembers[id] = !members.empty();
    if (!wasLast)
        markDirty(id);
}

void TreeProjection::addOwner(GroupId id, SlotId slot)
{
    Group &group = m_groups[id];
    if (group.firstOwner == kNoSlot) {
        group.firstOwner = slot;
        return;
    }
    // Kept in list order, so that the first owner is the first such node.
    auto &more = m_moreOwners[id];
    if (more.empty())
        ++m_repeatedIds;
    more.push_back(slot);
    auto bySeq = [this](SlotId a, SlotId b) { return m_seq[a] < m_seq[b]; };
    if (bySeq(slot, group.firstOwner))
        std::swap(group.firstOwner, more.back());
    std::sort(more.begin(), more.end(), bySeq);
}

void TreeProjection::removeOwner(GroupId id, SlotId slot)
{
    Group &group = m_groups[id];
    const auto more = m_moreOwners.find(id);
    if (group.firstOwner == slot) {
        if (more == m_moreOwners.end()) {
            group.firstOwner = kNoSlot;
            return;
        }
        group.firstOwner = more->second.front();
        more->second.erase(more->second.begin());
    } else {
        if (more == m_moreOwners.end())
            return;
        auto pos = std::find(more->second.begin(), more->second.end(), slot);
        if (pos == more->second.end())
            return;
        more->second.erase(pos);
    }
    if (more->second.empty()) {
        m_moreOwners.erase(more);
        --m_repeatedIds;
    }
}

template <class F>
void TreeProjection::forEachOwner(GroupId id, F f) const
{
    const Group &group = m_groups[id];
    if (group.firstOwner == kNoSlot)
        return;
    f(group.firstOwner);
    if (m_repeatedIds == 0)
        return;
    if (const auto more = m_moreOwners.find(id); more != m_moreOwners.end()) {
        for (SlotId slot : more->second)
            f(slot);
    }
}

void TreeProjection::attach(SlotId slot)
{
    const GroupId parent = groupFor(m_nodes[slot].parentID());
    const GroupId own = groupFor(m_nodes[slot].id());
    m_parentGroup[slot] = parent;
    m_ownGroup[slot] = own;
    insertMember(parent, slot);
    addOwner(own, slot);
}

void TreeProjection::detach(SlotId slot)
{
    const GroupId parent = m_parentGroup[slot];
    const GroupId own = m_ownGroup[slot];
    removeMember(parent, slot);
    removeOwner(own, slot);
    releaseIfUnused(parent);
    if (own != parent)
        releaseIfUnused(own);
}

void TreeProjection::indexText(SlotId slot)
{
    const std::size_t start = m_text.size();
    appendSearchText(m_text, m_nodes[slot]);
    m_textOffset[slot] = std::uint32_t(start);
    m_textLength[slot] = std::uint32_t(m_text.size() - start);
    m_textSignature[slot] = SearchQuery::signature(std::string_view(m_text).substr(start));
}

void TreeProjection::dropText(SlotId slot)
{
    m_textGarbage += m_textLength[slot];
    m_textLength[slot] = 0;
    m_textSignature[slot] = 0;
}

void TreeProjection::compactText()
{
    // Rewrites the live texts in slot order once half the bytes are garbage.
    if (m_textGarbage < 512 || m_textGarbage * 2 < m_text.size())
        return;
    std::string compact;
    compact.reserve(m_text.size() - m_textGarbage);
    for (SlotId slot = 0; slot < m_nodes.size(); ++slot) {
        const std::size_t start = compact.size();
        compact.append(m_text, m_textOffset[slot], m_textLength[slot]);
        m_textOffset[slot] = std::uint32_t(start);
    }
    m_text = std::move(compact);
    m_textGarbage = 0;
}

TreeProjection::SlotId TreeProjection::newSlot()
{
    if (!m_freeSlots.empty()) {
        const SlotId id = m_freeSlots.back();
        m_freeSlots.pop_back();
        return id;
    }
    const auto id = SlotId(m_nodes.size());
    m_nodes.emplace_back();
    m_seq.push_back(0);
    m_order.push_back(0);
    m_parentGroup.push_back(0);
    m_ownGroup.push_back(0);
    m_live.push_back(0);
    m_matches.push_back(0);
    m_visible.push_back(0);
    m_textOffset.push_back(0);
    m_textLength.push_back(0);
    m_textSignature.push_back(0);
    return id;
}

void TreeProjection::reset(const NodeList &nodes, SearchIndex search)
{
    const auto count = std::size_t(nodes.size());
    m_nodes.assign(nodes.cbegin(), nodes.cend());
    m_seq.resize(count);
    m_order.resize(count);
    m_parentGroup.resize(count);
    m_ownGroup.resize(count);
    m_live.assign(count, 1);
    m_matches.assign(count, 0);
    m_visible.assign(count, 0);
    m_textOffset.assign(count, 0);
    m_textLength.assign(count, 0);
    m_textSignature.assign(count, 0);
    m_text.clear();
    m_textGarbage = 0;
    m_freeSlots.clear();
    m_groups.clear();
    m_moreOwners.clear();
    m_groupHasMembers.clear();
    m_freeGroups.clear();
    m_groupOfId.clear();
    m_dirtyGroups.clear();
    m_repeatedIds = 0;
    m_groups.emplace_back();
    m_groupHasMembers.push_back(0);
    m_groups[0].topLevel = true;
    m_groups[0].live = true;

    m_groups.reserve(count + 1);
    m_groupOfId.reserve(qsizetype(count));
    // A loaded list keeps siblings together, so most nodes have the parent
    // of the node before them and need no lookup for it.
    const std::optional<QUuid> *lastParent = nullptr;
    GroupId lastParentGroup = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto slot = SlotId(i);
        const WorkspaceNode &node = m_nodes[i];
        m_seq[i] = i;
        m_order[i] = node.sortOrder();
        if (!lastParent || *lastParent != node.parentID()) {
            lastParent = &node.parentID();
            lastParentGroup = groupFor(node.parentID());
        }
        m_parentGroup[i] = lastParentGroup;
        m_ownGroup[i] = groupFor(node.id());
        m_groups[m_parentGroup[i]].members.push_back(slot);
        addOwner(m_ownGroup[i], slot);
    }
    m_liveCount = count;
    m_nextSeq = count;

    for (GroupId id = 0; id < m_groups.size(); ++id) {
        Group &group = m_groups[id];
        m_groupHasMembers[id] = !group.members.empty();
        std::sort(group.members.begin(), group.members.end(), [this](SlotId a, SlotId b) { return before(a, b); });
        for (std::size_t i = 0; i < group.members.size(); ++i) {
            if (m_order[group.members[i]] != double(i)) {
                markDirty(id);
                break;
            }
        }
    }

    m_searchIndexed = false;
    m_indexCursor = 0;
    m_matchListCurrent = false;
    m_recentMatches.clear();
    if (search == SearchIndex::build)
        ensureSearchIndex();
    if (isFiltering())
        findMatches({}, 0);
    m_visibilityDirty = true;
}

TreeProjection::SlotId TreeProjection::append(const WorkspaceNode &node)
{
    const SlotId id = newSlot();
    m_nodes[id] = node;
    m_seq[id] = m_nextSeq++;
    m_order[id] = node.sortOrder();
    m_live[id] = 1;
    m_textLength[id] = 0;
    m_textSignature[id] = 0;
    if (hasText(id))
        indexText(id);
    attach(id);
    m_matches[id] = isFiltering() && tested(id) && textMatches(id);
    m_matchListCurrent = false;
    m_recentMatches.clear();
    ++m_liveCount;
    m_visibilityDirty = true;
    return id;
}

void TreeProjection::remove(SlotId id)
{
    if (id >= m_nodes.size() || !m_live[id])
        return;
    detach(id);
    m_nodes[id] = WorkspaceNode();
    m_live[id] = 0;
    m_matches[id] = 0;
    dropText(id);
    m_matchListCurrent = false;
    m_recentMatches.clear();
    m_freeSlots.push_back(id);
    --m_liveCount;
    m_visibilityDirty = true;
    compactText();
}

void TreeProjection::update(SlotId id, const WorkspaceNode &node)
{
    if (m_nodes[id].isSharedWith(node))
        return;
    const bool moves = m_nodes[id].id() != node.id() || m_nodes[id].parentID() != node.parentID() ||
                       !sameOrder(m_order[id], node.sortOrder());
    const bool textChanges = !sameSearchParts(m_nodes[id], node);
    if (moves) {
        detach(id);
        m_nodes[id] = node;
        m_order[id] = node.sortOrder();
        attach(id);
        m_visibilityDirty = true;
    } else {
        m_nodes[id] = node;
    }
    if (textChanges) {
        m_matchListCurrent = false;
        m_recentMatches.clear();
        if (hasText(id)) {
            dropText(id);
            indexText(id);
            compactText();
        }
        if (isFiltering()) {
            const bool matches = tested(id) && textMatches(id);
            if (matches != bool(m_matches[id])) {
                m_matches[id] = matches;
                m_visibilityDirty = true;
            }
        }
    }
}

TreeProjection::SlotId TreeProjection::firstSlotWithId(const QUuid &id) const
{
    const GroupId group = findGroup(id);
    return group == kNoGroup ? kNoSlot : m_groups[group].firstOwner;
}

std::vector<TreeProjection::SlotId> TreeProjection::slotsWithId(const QUuid &id) const
{
    std::vector<SlotId> slots;
    const GroupId group = findGroup(id);
    if (group != kNoGroup)
        forEachOwner(group, [&](SlotId slot) { slots.push_back(slot); });
    return slots;
}

const std::vector<TreeProjection::SlotId> &TreeProjection::siblings(const std::optional<QUuid> &parentID) const
{
    const GroupId group = findGroup(parentID);
    return group == kNoGroup ? s_noSlots : m_groups[group].members;
}

double TreeProjection::nextSortOrder(const std::optional<QUuid> &parentID) const
{
    const auto &members = siblings(parentID);
    // Members are in ascending order with NaN last; the largest number is
    // the last one that is not NaN.
    for (auto it = members.rbegin(); it != members.rend(); ++it) {
        if (!std::isnan(m_order[*it]))
            return m_order[*it] + 1.0;
    }
    return 0.0;
}

// Visits every group reachable from `start` once, so cycles end.
// `expand(group, reach)` calls reach() with the groups to go on to, and
// returns true to stop the walk (walkGroups then returns true).
template <class Expand>
bool TreeProjection::walkGroups(GroupId start, Expand expand) const
{
    const std::uint32_t mark = ++m_visitMark;
    std::vector<GroupId> pending{start};
    m_groups[start].visitMark = mark;
    auto reach = [&](GroupId next) {
        if (m_groups[next].visitMark != mark) {
            m_groups[next].visitMark = mark;
            pending.push_back(next);
        }
    };
    while (!pending.empty()) {
        const GroupId group = pending.back();
        pending.pop_back();
        if (expand(group, reach))
            return true;
    }
    return false;
}

std::size_t TreeProjection::reachableCount() const
{
    const GroupId top = findGroup(std::nullopt);
    if (top == kNoGroup)
        return 0;
    std::size_t count = 0;
    walkGroups(top, [&](GroupId group, auto &reach) {
        count += m_groups[group].members.size();
        for (SlotId slot : m_groups[group].members)
            reach(m_ownGroup[slot]);
        return false;
    });
    return count;
}

std::vector<TreeProjection::SlotId> TreeProjection::descendantSlots(const QUuid &id) const
{
    std::vector<SlotId> result;
    const GroupId start = findGroup(id);
    if (start == kNoGroup)
        return result;
    walkGroups(start, [&](GroupId group, auto &reach) {
        for (SlotId slot : m_groups[group].members) {
            result.push_back(slot);
            reach(m_ownGroup[slot]);
        }
        return false;
    });
    return result;
}

bool TreeProjection::isInSubtree(const QUuid &id, const QUuid &rootID) const
{
    const GroupId root = findGroup(rootID);
    const GroupId start = findGroup(id);
    if (root == kNoGroup || start == kNoGroup)
        return false;
    // Up from every node with a repeated identifier, since each of them
    // makes the identifier's children its own.
    return walkGroups(start, [&](GroupId group, auto &reach) {
        if (group == root)
            return true;
        forEachOwner(group, [&](SlotId slot) { reach(m_parentGroup[slot]); });
        return false;
    });
}

std::vector<TreeProjection::SlotId> TreeProjection::renumber(const std::optional<QUuid> &overridingParentID,
                                                             const std::optional<QUuid> &movedNodeID,
                                                             std::optional<qsizetype> desiredIndex)
{
    std::vector<SlotId> changed;
    auto assign = [&](Group &group) {
        for (std::size_t i = 0; i < group.members.size(); ++i) {
            const SlotId slot = group.members[i];
            if (m_order[slot] != double(i)) {
                m_order[slot] = double(i);
                m_nodes[slot].setSortOrder(double(i));
                changed.push_back(slot);
            }
        }
        group.normalized = true;
    };

    const GroupId overriding = findGroup(overridingParentID);
    if (movedNodeID && desiredIndex && overriding != kNoGroup) {
        Group &group = m_groups[overriding];
        auto moved = std::find_if(group.members.begin(), group.members.end(),
                                  [&](SlotId slot) { return m_nodes[slot].id() == *movedNodeID; });
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

void TreeProjection::acceptNumbering()
{
    for (GroupId id : m_dirtyGroups)
        m_groups[id].normalized = true;
    m_dirtyGroups.clear();
}

bool TreeProjection::textMatches(SlotId slot) const
{
    if (!m_live[slot] || !m_search.mayMatch(m_textSignature[slot]))
        return false;
    if (m_search.isDecidedBySignature())
        return true;
    return m_search.matches(std::string_view(m_text.data() + m_textOffset[slot], m_textLength[slot]));
}

void TreeProjection::ensureSearchIndex()
{
    indexSearchText(m_nodes.size());
}

bool TreeProjection::indexSearchText(std::size_t maxNodes)
{
    if (m_searchIndexed)
        return true;
    if (m_indexCursor == 0)
        m_text.reserve(m_liveCount * 96);
    // The texts are scattered over the heap; fetching the records a few
    // nodes ahead, and their strings a little later, hides most of the wait.
    constexpr std::size_t kRecordsAhead = 8;
    constexpr std::size_t kTextsAhead = 4;
    const std::size_t count = m_nodes.size();
    const std::size_t end = std::min(count, m_indexCursor + maxNodes);
    for (std::size_t slot = m_indexCursor; slot < end; ++slot) {
        if (slot + kRecordsAhead < count)
            __builtin_prefetch(&m_nodes[slot + kRecordsAhead].fields());
        if (slot + kTextsAhead < count) {
            const auto &f = m_nodes[slot + kTextsAhead].fields();
            __builtin_prefetch(f.title.constData());
            if (f.subtitle)
                __builtin_prefetch(f.subtitle->constData());
        }
        if (m_live[slot]) {
            indexText(SlotId(slot));
        } else {
            m_textLength[slot] = 0;
            m_textSignature[slot] = 0;
        }
    }
    m_indexCursor = end;
    m_searchIndexed = end == count;
    return m_searchIndexed;
}

void TreeProjection::setMatchLimit(std::optional<std::size_t> limit)
{
    if (limit == m_matchLimit)
        return;
    m_matchLimit = limit;
    m_recentMatches.clear();
    if (isFiltering()) {
        findMatches({}, 0);
        m_visibilityDirty = true;
    }
}

void TreeProjection::setQuery(const QString &query)
{
    if (query == m_query)
        return;
    SearchQuery previous = std::move(m_search);
    m_query = query;
    m_search = SearchQuery(query);
    m_visibilityDirty = true;
    if (m_query.isEmpty())
        return;

    auto cached = std::find_if(m_recentMatches.begin(), m_recentMatches.end(),
                               [&](const auto &entry) { return entry.first == m_search.key(); });
    if (cached != m_recentMatches.end()) {
        std::fill(m_matches.begin(), m_matches.end(), 0);
        for (SlotId slot : cached->second.slots)
            m_matches[slot] = 1;
        m_matchList = cached->second.slots;
        m_scanEnd = cached->second.scanEnd;
        m_matchLimited = cached->second.limited;
        m_matchListCurrent = true;
        return;
    }
    // Text that holds the longer words holds the shorter ones too, so typing
    // one more character only re-tests the nodes that matched, and the slots
    // the last search did not reach.
    if (m_matchListCurrent && m_search.narrows(previous)) {
        const std::vector<SlotId> candidates = std::move(m_matchList);
        findMatches(candidates, m_scanEnd);
    } else {
        findMatches({}, 0);
    }
    constexpr std::size_t kRecentQueries = 8;
    if (m_recentMatches.size() == kRecentQueries)
        m_recentMatches.erase(m_recentMatches.begin());
    m_recentMatches.emplace_back(m_search.key(), Matches{m_matchList, m_scanEnd, m_matchLimited});
}

void TreeProjection::findMatches(const std::vector<SlotId> &candidates, SlotId from)
{
    std::fill(m_matches.begin(), m_matches.end(), 0);
    m_matchList.clear();
    m_matchLimited = false;
    m_matchListCurrent = true;
    const std::size_t limit = m_matchLimit.value_or(m_nodes.size());
    // False once a match past the limit turned up: the search stops there.
    auto take = [&](SlotId slot) {
        // The texts are made as far as the search goes: a search that stops
        // early right after the load does not wait for all of them.
        if (!m_searchIndexed && slot >= m_indexCursor)
            indexSearchText(std::max<std::size_t>(slot + 1 - m_indexCursor, 4096));
        if (!textMatches(slot))
            return true;
        if (m_matchList.size() >= limit) {
            m_matchLimited = true;
            m_scanEnd = slot;
            return false;
        }
        m_matchList.push_back(slot);
        m_matches[slot] = 1;
        return true;
    };
    for (SlotId slot : candidates) {
        if (!take(slot))
            return;
    }
    const auto count = SlotId(m_nodes.size());
    for (SlotId slot = from; slot < count; ++slot) {
        if (!take(slot))
            return;
    }
    m_scanEnd = count;
}

void TreeProjection::refreshVisibility() const
{
    if (!m_visibilityDirty)
        return;
    m_visibilityDirty = false;
    std::fill(m_visible.begin(), m_visible.end(), 0);
    // A node is shown when it matches or a child is shown: walk up from each
    // match until an already shown node. Every node turns visible once.
    std::vector<SlotId> pending;
    const auto count = SlotId(m_nodes.size());
    for (SlotId start = 0; start < count; ++start) {
        if (!m_matches[start] || m_visible[start])
            continue;
        pending.push_back(start);
        while (!pending.empty()) {
            const SlotId slot = pending.back();
            pending.pop_back();
            if (m_visible[slot])
                continue;
            m_visible[slot] = 1;
            forEachOwner(m_parentGroup[slot], [&](SlotId owner) {
                if (!m_visible[owner])
                    pending.push_back(owner);
            });
        }
    }
}

bool TreeProjection::isDisplayed(SlotId slot) const
{
    if (!isFiltering())
        return true;
    refreshVisibility();
    return m_visible[slot];
}

const std::uint8_t *TreeProjection::displayedFlags() const
{
    if (!isFiltering())
        return nullptr;
    refreshVisibility();
    return m_visible.data();
}

std::vector<TreeProjection::SlotId> TreeProjection::displayedChildSlots(const std::optional<QUuid> &parentID) const
{
    const auto &members = siblings(parentID);
    if (!isFiltering())
        return members;
    refreshVisibility();
    std::vector<SlotId> shown;
    for (SlotId slot : members) {
        if (m_visible[slot])
            shown.push_back(slot);
    }
    return shown;
}

const std::vector<TreeProjection::SlotId> &TreeProjection::childSlots(SlotId slot) const
{
    if (slot == kNoSlot)
        return m_groups[0].members;
    if (slot >= m_nodes.size() || !m_live[slot])
        return s_noSlots;
    const Group &group = m_groups[m_ownGroup[slot]];
    return group.firstOwner == slot ? group.members : s_noSlots;
}

bool TreeProjection::hasChildSlots(SlotId slot) const
{
    if (slot == kNoSlot)
        return m_groupHasMembers[0];
    if (slot >= m_nodes.size() || !m_live[slot] || !m_groupHasMembers[m_ownGroup[slot]])
        return false;
    return m_groups[m_ownGroup[slot]].firstOwner == slot;
}

QList<WorkspaceNode> TreeProjection::displayedChildren(const std::optional<QUuid> &parentID) const
{
    QList<WorkspaceNode> result;
    const auto slots = displayedChildSlots(parentID);
    result.reserve(qsizetype(slots.size()));
    for (SlotId slot : slots)
        result.push_back(m_nodes[slot]);
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
            if (filtering && !m_visible[slot])
                continue;
            const WorkspaceNode &node = m_nodes[slot];
            bool descend = true;
            if (guardPath) {
                descend = !onPath.contains(node.id());
                if (descend)
                    onPath.insert(node.id());
            }
            stack.push_back(Frame{WorkspaceTreeNode(node), descend ? &m_groups[m_ownGroup[slot]].members : &s_noSlots,
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
