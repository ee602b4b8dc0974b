#include "tree/DisplayedTree.h"

#include "tree/TreeViewModel.h"

#include <algorithm>

namespace tarni {

DisplayedTree::DisplayedTree(TreeViewModel &model, QObject *parent)
    : QObject(parent)
    , m_model(model)
{
    setListener(nullptr);
    // A reset caused by an edit needs no comparison afterwards.
    connect(&model, &TreeViewModel::nodesReset, this, [this] {
        rebuild();
        m_skipNextSync = true;
    });
    connect(&model, &TreeViewModel::searchQueryChanged, this, [this] {
        if (m_model.searchQuery() != m_query)
            followQuery();
    });
    connect(&model, &TreeViewModel::nodesChanged, this, [this] {
        if (m_skipNextSync)
            m_skipNextSync = false;
        else
            syncEdit();
        Q_EMIT synced();
    });
    connect(&model, &TreeViewModel::nodeUpdated, this, [this](const QUuid &id) {
        const SlotId slot = shownSlot(id);
        if (slot != kRoot)
            m_listener->nodeChanged(slot);
    });
    rebuild();
}

void DisplayedTree::setListener(Listener *listener)
{
    static NoListener none;
    m_listener = listener ? listener : &none;
}

const TreeProjection &DisplayedTree::projection() const
{
    return m_model.projection();
}

DisplayedTree::SlotId DisplayedTree::childAt(SlotId parent, int row) const
{
    const auto &list = children(parent);
    return row >= 0 && std::size_t(row) < list.size() ? list[std::size_t(row)] : kRoot;
}

DisplayedTree::SlotId DisplayedTree::shownSlot(const QUuid &id) const
{
    const SlotId slot = projection().firstSlotWithId(id);
    return isShown(slot) ? slot : kRoot;
}

void DisplayedTree::grow()
{
    const std::size_t capacity = projection().slotCapacity();
    if (m_shown.size() >= capacity)
        return;
    m_children.resize(capacity);
    m_parent.resize(capacity, kRoot);
    m_row.resize(capacity, 0);
    m_shown.resize(capacity, 0);
    m_newMark.resize(capacity, 0);
    m_newState.resize(capacity, 0);
    m_newParent.resize(capacity, kRoot);
    m_visiting.resize(capacity, 0);
    m_groupMark.resize(capacity, 0);
    m_insertedMark.resize(capacity, 0);
}

void DisplayedTree::rebuild()
{
    m_listener->aboutToReset();
    m_query = m_model.searchQuery();
    grow();
    // Only the lists of shown nodes can hold anything.
    for (SlotId slot = 0; slot < m_shown.size(); ++slot) {
        if (m_shown[slot])
            m_children[slot].clear();
    }
    m_rootChildren.clear();
    m_parents.clear();
    std::fill(m_shown.begin(), m_shown.end(), 0);

    const TreeProjection &tree = projection();
    const std::uint8_t *displayed = tree.displayedFlags();
    std::vector<SlotId> pending{kRoot};
    while (!pending.empty()) {
        const SlotId parent = pending.back();
        pending.pop_back();
        auto &list = children(parent);
        for (SlotId child : tree.childSlots(parent)) {
            if (m_shown[child] || (displayed && !displayed[child]))
                continue;
            m_shown[child] = 1;
            m_parent[child] = parent;
            m_row[child] = std::uint32_t(list.size());
            list.push_back(child);
            if (tree.hasChildSlots(child))
                pending.push_back(child);
        }
        if (parent != kRoot && !list.empty())
            m_parents.push_back(parent);
    }
    m_parentsValid = true;
    m_listener->didReset();
}

void DisplayedTree::followQuery()
{
    // Starting or ending a search changes which rows a view expands.
    if (m_query.isEmpty() || m_model.searchQuery().isEmpty()) {
        rebuild();
        return;
    }
    grow();
    // Which rows the new query shows or hides. Nodes the top level does not
    // reach may count here without being rows; that only errs towards a
    // reset.
    const TreeProjection &tree = projection();
    const std::uint8_t *displayed = tree.displayedFlags();
    std::vector<SlotId> changed;
    for (SlotId slot = 0; slot < m_shown.size(); ++slot) {
        const bool wanted = tree.isLive(slot) && (!displayed || displayed[slot]);
        if (wanted != bool(m_shown[slot])) {
            if (changed.size() == kMaxRowsChangedByQuery) {
                rebuild();
                return;
            }
            changed.push_back(slot);
        }
    }
    m_query = m_model.searchQuery();
    if (changed.empty()) {
        Q_EMIT synced();
        return;
    }
    // As an edit that touched these nodes: their old and new parents are
    // arranged, parents before children.
    m_followingQuery = true;
    m_parentsValid = false;
    nextEpoch();
    std::vector<SlotId> groups;
    bool rootAdded = false;
    auto add = [&](SlotId group) {
        if (group == kRoot) {
            if (!std::exchange(rootAdded, true))
                groups.push_back(kRoot);
        } else if (m_groupMark[group] != m_epoch) {
            m_groupMark[group] = m_epoch;
            groups.push_back(group);
        }
    };
    for (SlotId slot : changed) {
        if (isShown(slot))
            add(m_parent[slot]);
        if (reachable(slot))
            add(m_newParent[slot]);
    }
    arrangeByDepth(groups);
    m_followingQuery = false;
    Q_EMIT synced();
}

void DisplayedTree::arrangeByDepth(std::vector<SlotId> groups)
{
    std::vector<std::pair<int, SlotId>> byDepth;
    for (SlotId group : groups) {
        if (!reachable(group))
            continue;
        int depth = 0;
        for (SlotId s = group; s != kRoot; s = m_newParent[s])
            ++depth;
        byDepth.emplace_back(depth, group);
    }
    std::sort(byDepth.begin(), byDepth.end());
    groups.clear();
    for (const auto &entry : byDepth)
        groups.push_back(entry.second);
    arrange(groups, false);
}

void DisplayedTree::nextEpoch()
{
    if (++m_epoch != 0)
        return;
    for (auto *marks : {&m_newMark, &m_visiting, &m_groupMark, &m_insertedMark})
        std::fill(marks->begin(), marks->end(), 0);
    m_epoch = 1;
}

void DisplayedTree::markNewState()
{
    const TreeProjection &tree = projection();
    const std::uint8_t *displayed = tree.displayedFlags();
    std::vector<SlotId> pending{kRoot};
    while (!pending.empty()) {
        const SlotId parent = pending.back();
        pending.pop_back();
        for (SlotId child : tree.childSlots(parent)) {
            if (m_newMark[child] == m_epoch || (displayed && !displayed[child]))
                continue;
            m_newMark[child] = m_epoch;
            m_newState[child] = 1;
            m_newParent[child] = parent;
            pending.push_back(child);
        }
    }
}

bool DisplayedTree::reachable(SlotId slot)
{
    if (slot == kRoot)
        return true;
    if (slot >= m_newMark.size())
        return false;
    // Up the parent links to a node already known, the top level, or a
    // missing or hidden node; every node on the way shares the answer.
    const TreeProjection &tree = projection();
    m_chain.clear();
    bool result = false;
    for (SlotId s = slot;;) {
        if (m_newMark[s] == m_epoch) {
            result = m_newState[s];
            break;
        }
        if (m_visiting[s] == m_epoch)
            break; // a cycle
        m_visiting[s] = m_epoch;
        m_chain.push_back(s);
        if (!tree.isLive(s) || !tree.isDisplayed(s))
            break;
        const auto &parentID = tree.node(s).parentID();
        if (!parentID) {
            m_newParent[s] = kRoot;
            result = true;
            break;
        }
        const SlotId parent = tree.firstSlotWithId(*parentID);
        if (parent == TreeProjection::kNoSlot)
            break;
        m_newParent[s] = parent;
        s = parent;
    }
    for (SlotId s : m_chain) {
        m_newMark[s] = m_epoch;
        m_newState[s] = result;
    }
    return result;
}

void DisplayedTree::attachRows(SlotId parent, int from)
{
    auto &list = children(parent);
    for (std::size_t k = std::size_t(std::max(from, 0)); k < list.size(); ++k) {
        m_row[list[k]] = std::uint32_t(k);
        m_parent[list[k]] = parent;
    }
}

void DisplayedTree::forgetSubtree(SlotId slot)
{
    std::vector<SlotId> pending{slot};
    while (!pending.empty()) {
        const SlotId s = pending.back();
        pending.pop_back();
        m_shown[s] = 0;
        pending.insert(pending.end(), m_children[s].begin(), m_children[s].end());
        m_children[s].clear();
    }
}

void DisplayedTree::syncEdit()
{
    m_parentsValid = false;
    grow();
    nextEpoch();
    const TreeViewModel::EditScope &edit = m_model.lastEdit();
    const TreeProjection &tree = projection();
    const bool filtering = tree.isFiltering();
    if (!edit.known) {
        markNewState();
        arrange({kRoot}, true);
        return;
    }
    // A record changed in place moves nothing unless the search may now
    // show or hide it.
    if (edit.inPlace && !filtering)
        return;

    // The groups an edit can change: the old and the new parent of every
    // node it touched and, while searching, their ancestors, whose
    // visibility follows their descendants'.
    std::vector<SlotId> groups;
    bool rootAdded = false;
    auto add = [&](SlotId group) {
        if (group == kRoot) {
            if (!std::exchange(rootAdded, true))
                groups.push_back(kRoot);
        } else if (m_groupMark[group] != m_epoch) {
            m_groupMark[group] = m_epoch;
            groups.push_back(group);
        }
    };
    for (const auto &touched : edit.nodes) {
        if (!touched.isNew) {
            if (!touched.formerParentID) {
                add(kRoot);
            } else if (const SlotId former = tree.firstSlotWithId(*touched.formerParentID); isShown(former)) {
                add(former);
            }
        }
        const SlotId slot = tree.firstSlotWithId(touched.id);
        if (slot != TreeProjection::kNoSlot && reachable(slot))
            add(m_newParent[slot]);
    }
    if (filtering) {
        for (std::size_t k = 0; k < groups.size(); ++k) {
            const SlotId group = groups[k];
            if (group == kRoot)
                continue;
            if (isShown(group))
                add(m_parent[group]);
            if (reachable(group))
                add(m_newParent[group]);
        }
    }
    // Parents before children, so that every group is in its final place
    // when it is arranged.
    arrangeByDepth(std::move(groups));
}

void DisplayedTree::arrange(const std::vector<SlotId> &groups, bool everything)
{
    // First every shown node is put in its place, top-down: when a group is
    // arranged its own place is final, so every node it gains is either new
    // or taken from a group still to be arranged, together with its rows
    // below (a node dragged out of the only group the search showed it in
    // keeps its row). Rows that no longer belong stay until then. New rows
    // get their children at once.
    std::vector<SlotId> arranged;
    std::vector<SlotId> pending;
    for (SlotId group : groups) {
        if (group != kRoot && !isShown(group))
            continue;
        pending.push_back(group);
        while (!pending.empty()) {
            const SlotId parent = pending.back();
            pending.pop_back();
            placeChildren(parent);
            arranged.push_back(parent);
            for (SlotId child : children(parent)) {
                if (newlyUnder(child, parent) && (everything || m_insertedMark[child] == m_epoch))
                    pending.push_back(child);
            }
        }
    }
    // Then the rows that no longer belong are removed.
    for (SlotId parent : arranged) {
        if (parent == kRoot || isShown(parent))
            removeStrays(parent);
    }
}

void DisplayedTree::placeChildren(SlotId parent)
{
    auto &current = children(parent);
    const auto &members = projection().childSlots(parent);
    // Rows that no longer belong here stay where they are until they are
    // removed; `row` steps over them.
    std::size_t row = 0;
    auto skipStrays = [&] {
        while (row < current.size() && !newlyUnder(current[row], parent))
            ++row;
    };
    for (std::size_t m = 0; m < members.size(); ++m) {
        const SlotId node = members[m];
        if (!newlyUnder(node, parent))
            continue;
        skipStrays();
        if (row < current.size() && current[row] == node) {
            ++row;
            continue;
        }
        if (isShown(node)) {
            const SlotId from = m_parent[node];
            const int fromRow = rowOf(node);
            m_listener->aboutToMove(from, fromRow, fromRow, parent, int(row));
            auto &source = children(from);
            source.erase(source.begin() + fromRow);
            attachRows(from, fromRow);
            current.insert(current.begin() + std::ptrdiff_t(row), node);
            attachRows(parent, int(row));
            m_listener->didMove();
            ++row;
            continue;
        }
        // New rows, as one insertion per run. Their children follow when
        // their own group is arranged.
        std::size_t end = m + 1;
        while (end < members.size() && (!newlyUnder(members[end], parent) || !isShown(members[end])))
            ++end;
        std::vector<SlotId> run;
        for (std::size_t k = m; k < end; ++k) {
            if (newlyUnder(members[k], parent))
                run.push_back(members[k]);
        }
        m_listener->aboutToInsert(parent, int(row), int(row + run.size()) - 1);
        current.insert(current.begin() + std::ptrdiff_t(row), run.begin(), run.end());
        for (SlotId s : run) {
            m_shown[s] = 1;
            m_insertedMark[s] = m_epoch;
            m_children[s].clear();
        }
        attachRows(parent, int(row));
        m_listener->didInsert();
        row += run.size();
        m = end - 1;
    }
}

void DisplayedTree::removeStrays(SlotId parent)
{
    auto &current = children(parent);
    for (int i = int(current.size()) - 1; i >= 0; --i) {
        if (newlyUnder(current[std::size_t(i)], parent))
            continue;
        int first = i;
        while (first > 0 && !newlyUnder(current[std::size_t(first - 1)], parent))
            --first;
        m_listener->aboutToRemove(parent, first, i);
        for (int k = first; k <= i; ++k)
            forgetSubtree(current[std::size_t(k)]);
        current.erase(current.begin() + first, current.begin() + i + 1);
        attachRows(parent, first);
        m_listener->didRemove();
        i = first;
    }
}

QList<WorkspaceTreeNode> DisplayedTree::tree() const
{
    struct Frame {
        WorkspaceTreeNode entry;
        SlotId slot;
        std::size_t next;
    };
    QList<WorkspaceTreeNode> roots;
    std::vector<Frame> stack;
    std::size_t rootNext = 0;
    for (;;) {
        const auto &list = stack.empty() ? m_rootChildren : m_children[stack.back().slot];
        std::size_t &next = stack.empty() ? rootNext : stack.back().next;
        if (next < list.size()) {
            const SlotId slot = list[next++];
            stack.push_back(Frame{WorkspaceTreeNode(node(slot)), slot, 0});
            continue;
        }
        if (stack.empty())
            break;
        Frame done = std::move(stack.back());
        stack.pop_back();
        (stack.empty() ? roots : stack.back().entry.children).push_back(std::move(done.entry));
    }
    return roots;
}

} // namespace tarni
