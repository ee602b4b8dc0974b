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
            rebuild();
    });
    connect(&model, &TreeViewModel::nodesChanged, this, [this] {
        if (m_skipNextSync)
            m_skipNextSync = false;
        else
            sync();
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
    m_newParent.resize(capacity, kRoot);
}

void DisplayedTree::rebuild()
{
    m_listener->aboutToReset();
    m_query = m_model.searchQuery();
    grow();
    m_rootChildren.clear();
    for (auto &list : m_children)
        list.clear();
    std::fill(m_shown.begin(), m_shown.end(), 0);

    const TreeProjection &tree = projection();
    std::vector<SlotId> pending{kRoot};
    while (!pending.empty()) {
        const SlotId parent = pending.back();
        pending.pop_back();
        auto &list = children(parent);
        for (SlotId child : tree.childSlots(parent)) {
            if (m_shown[child] || !tree.isDisplayed(child))
                continue;
            m_shown[child] = 1;
            m_parent[child] = parent;
            m_row[child] = std::uint32_t(list.size());
            list.push_back(child);
            pending.push_back(child);
        }
    }
    m_listener->didReset();
}

void DisplayedTree::markNewState()
{
    if (++m_epoch == 0) {
        std::fill(m_newMark.begin(), m_newMark.end(), 0);
        m_epoch = 1;
    }
    const TreeProjection &tree = projection();
    std::vector<SlotId> pending{kRoot};
    while (!pending.empty()) {
        const SlotId parent = pending.back();
        pending.pop_back();
        for (SlotId child : tree.childSlots(parent)) {
            if (m_newMark[child] == m_epoch || !tree.isDisplayed(child))
                continue;
            m_newMark[child] = m_epoch;
            m_newParent[child] = parent;
            pending.push_back(child);
        }
    }
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

void DisplayedTree::sync()
{
    grow();
    markNewState();
    // First every shown node is put in its place, top-down: when a group is
    // arranged its own place is final, so every node it gains is either new
    // or taken from a group still to be arranged, together with its rows
    // below (a node dragged out of the only group the search showed it in
    // keeps its row). Rows that no longer belong stay until then.
    std::vector<SlotId> pending{kRoot};
    while (!pending.empty()) {
        const SlotId parent = pending.back();
        pending.pop_back();
        placeChildren(parent);
        for (SlotId child : children(parent)) {
            if (newlyUnder(child, parent))
                pending.push_back(child);
        }
    }
    // Then the rows that wait are removed.
    pending.push_back(kRoot);
    while (!pending.empty()) {
        const SlotId parent = pending.back();
        pending.pop_back();
        removeStrays(parent);
        const auto &list = children(parent);
        pending.insert(pending.end(), list.begin(), list.end());
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
