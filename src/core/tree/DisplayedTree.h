#pragma once

#include "tree/TreeProjection.h"
#include "tree/WorkspaceTreeNode.h"

#include <QObject>
#include <QUuid>

#include <cstdint>
#include <vector>

namespace tarni {

class TreeViewModel;

// The displayed tree (filtered by the search) as rows: the children, parent
// and row of every shown node, kept in step with the tree view model edit by
// edit, and every change announced before and after it happens, the way an
// item model must report it.
//
// Nodes are named by their projection slot, which stays the same while the
// node lives; a slot is announced as removed before it can be handed to
// another node, so a slot is a stable handle for persistent indexes.
//
// After each edit the groups it can have changed (the old and new parents
// of the nodes it touched, and their ancestors while searching) are
// compared with the projection and the differences turned into insertions,
// removals and moves. A change of the search query that shows or hides a
// few rows is announced the same way, so the rows that stay keep their
// places, expansion and selection; one that changes more, a load or a large
// import is announced as a reset: a keystroke may show or hide tens of
// thousands of rows, which a view takes in faster as a new tree than as as
// many row changes.
class DisplayedTree : public QObject {
    Q_OBJECT
public:
    using SlotId = TreeProjection::SlotId;
    static constexpr SlotId kRoot = TreeProjection::kNoSlot;

    // Rows follow Qt's conventions: `first`..`last` inclusive, and a move's
    // `destinationRow` counted before the rows are taken out.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void aboutToReset() {}
        virtual void didReset() {}
        virtual void aboutToInsert(SlotId parent, int first, int last) = 0;
        virtual void didInsert() = 0;
        virtual void aboutToRemove(SlotId parent, int first, int last) = 0;
        virtual void didRemove() = 0;
        virtual void aboutToMove(SlotId from, int first, int last, SlotId to, int destinationRow) = 0;
        virtual void didMove() = 0;
        virtual void nodeChanged(SlotId slot) = 0;
    };

    explicit DisplayedTree(TreeViewModel &model, QObject *parent = nullptr);

    // Null stops the announcements.
    void setListener(Listener *listener);
    const TreeProjection &projection() const;

    int childCount(SlotId parent) const { return int(children(parent).size()); }
    SlotId childAt(SlotId parent, int row) const;
    // kRoot for a top-level node.
    SlotId parentOf(SlotId slot) const { return m_parent[slot]; }
    int rowOf(SlotId slot) const { return int(m_row[slot]); }
    bool isShown(SlotId slot) const { return slot < m_shown.size() && m_shown[slot]; }
    // The shown node with this identifier, or kRoot.
    SlotId shownSlot(const QUuid &id) const;
    const WorkspaceNode &node(SlotId slot) const { return projection().node(slot); }

    // Right after a reset: every shown node with shown children, each after
    // its parent, so a view can expand them without walking the rows again.
    // Null once an edit has changed the rows.
    const std::vector<SlotId> *parentsSinceReset() const { return m_parentsValid ? &m_parents : nullptr; }

    // True while rows are shown or hidden for a new query rather than for
    // an edit: a selected row that goes is hidden, not gone.
    bool isFollowingQuery() const { return m_followingQuery; }

    // The rows as nested values, for comparing with the projection.
    QList<WorkspaceTreeNode> tree() const;

Q_SIGNALS:
    // After the rows have caught up with an edit or a new query.
    void synced();

private:
    class NoListener : public Listener {
        void aboutToInsert(SlotId, int, int) override {}
        void didInsert() override {}
        void aboutToRemove(SlotId, int, int) override {}
        void didRemove() override {}
        void aboutToMove(SlotId, int, int, SlotId, int) override {}
        void didMove() override {}
        void nodeChanged(SlotId) override {}
    };

    const std::vector<SlotId> &children(SlotId parent) const
    {
        return parent == kRoot ? m_rootChildren : m_children[parent];
    }
    std::vector<SlotId> &children(SlotId parent) { return parent == kRoot ? m_rootChildren : m_children[parent]; }

    // Above this many rows shown or hidden by a new query, a reset is
    // cheaper for a view than the row changes: each one updates every
    // persistent index the view holds (one per expanded row).
    static constexpr std::size_t kMaxRowsChangedByQuery = 64;

    void rebuild();
    void followQuery();
    void arrangeByDepth(std::vector<SlotId> groups);
    void syncEdit();
    void nextEpoch();
    void markNewState();
    // Whether the projection now shows the node (setting its new parent).
    bool reachable(SlotId slot);
    void arrange(const std::vector<SlotId> &groups, bool everything);
    void placeChildren(SlotId parent);
    void removeStrays(SlotId parent);
    void grow();
    void attachRows(SlotId parent, int from);
    void forgetSubtree(SlotId slot);
    bool newlyUnder(SlotId slot, SlotId parent) { return reachable(slot) && m_newParent[slot] == parent; }

    TreeViewModel &m_model;
    Listener *m_listener = nullptr;
    QString m_query;
    bool m_skipNextSync = false;
    bool m_followingQuery = false;
    std::vector<SlotId> m_parents;
    bool m_parentsValid = false;

    std::vector<SlotId> m_rootChildren;
    std::vector<std::vector<SlotId>> m_children;
    std::vector<SlotId> m_parent;
    std::vector<std::uint32_t> m_row;
    std::vector<std::uint8_t> m_shown;

    // What the projection now shows, worked out per node as an edit is
    // followed; marks equal to m_epoch belong to the current edit.
    std::vector<std::uint32_t> m_newMark;
    std::vector<std::uint8_t> m_newState;
    std::vector<SlotId> m_newParent;
    std::vector<std::uint32_t> m_visiting;
    std::vector<std::uint32_t> m_groupMark;
    std::vector<std::uint32_t> m_insertedMark;
    std::vector<SlotId> m_chain;
    std::uint32_t m_epoch = 0;
};

} // namespace tarni
