#pragma once

#include "tree/DisplayedTree.h"

#include <QAbstractItemModel>
#include <QIcon>
#include <QUuid>

#include <array>
#include <optional>

namespace tarni {

class AppModel;

// Where a dropped node goes, in TreeViewModel::move's terms.
struct OutlineDrop {
    std::optional<QUuid> parentID;
    std::optional<qsizetype> index;
    bool operator==(const OutlineDrop &) const = default;
};

// Turns the view's drop position into a move. `viewRow` counts the rows
// shown under the new parent before anything is taken out (-1: dropped onto
// the parent itself, which then takes the node last);
// `shownSiblings` are those rows, `allSiblings` every child of the new
// parent in display order, filtered or not. The move's index counts among
// all the new siblings with the moved node taken out.
OutlineDrop convertOutlineDrop(const QUuid &moved, const std::optional<QUuid> &newParentID, int viewRow,
                               const QList<QUuid> &shownSiblings, const QList<QUuid> &allSiblings);

// The displayed tree (filtered by the search) as a one-column item model.
// Edits arrive as row insertions, removals, moves and data changes; only a
// new search query, a load or a large import resets it. An index's internal
// id is the node's projection slot.
class WorkspaceItemModel : public QAbstractItemModel, private DisplayedTree::Listener {
    Q_OBJECT
public:
    enum Role {
        NodeIdRole = Qt::UserRole + 1,
        SubtitleRole,
        KindRole,
        IsCollapsedRole,
        // The node itself matches the search (it may be shown for a descendant).
        MatchesSearchRole,
    };

    // The tree view lays out expanded rows recursively, one stack frame per
    // level: rows this deep (top-level rows are at depth 0) are never
    // expanded for the stored flags or a search, only by the user's hand.
    static constexpr int kMaxExpandedDepth = 1000;

    explicit WorkspaceItemModel(AppModel &model, QObject *parent = nullptr);
    ~WorkspaceItemModel() override;

    const DisplayedTree &displayedTree() const { return m_tree; }
    // The search the rows are filtered by, for marking its matches.
    const SearchQuery &searchQuery() const { return m_tree.projection().searchQuery(); }
    QModelIndex indexForNode(const QUuid &id) const;
    // The rows below `root` with children that are expanded: every one
    // (`all`), or those whose node is not collapsed, under expanded rows;
    // none at kMaxExpandedDepth or deeper.
    QModelIndexList rowsToExpand(const QModelIndex &root, bool all) const;
    // Top-level rows are at depth 0.
    int depth(const QModelIndex &index) const;
    std::optional<QUuid> nodeId(const QModelIndex &index) const;
    // The text a drag carries for a node, and the node a dropped text names.
    static QString dragText(const QUuid &id);
    std::optional<QUuid> droppedNode(const QMimeData *data) const;
    // The move a drop would make, or none when it is refused: unknown or
    // malformed text, or a place inside the dragged node's own subtree.
    std::optional<std::pair<QUuid, OutlineDrop>> dropMove(const QMimeData *data, int row,
                                                           const QModelIndex &parent) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    bool hasChildren(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;
    Qt::DropActions supportedDragActions() const override;
    Qt::DropActions supportedDropActions() const override;
    bool canDropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                         const QModelIndex &parent) const override;
    bool dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                      const QModelIndex &parent) override;

Q_SIGNALS:
    // The rows have caught up with an edit of the tree.
    void synced();

private:
    using SlotId = DisplayedTree::SlotId;
    SlotId slotOf(const QModelIndex &index) const
    {
        return index.isValid() ? SlotId(index.internalId()) : DisplayedTree::kRoot;
    }
    QModelIndex indexOfSlot(SlotId slot) const;
    const QIcon &kindIcon(WorkspaceNodeKind kind) const;

    void aboutToReset() override;
    void didReset() override;
    void aboutToInsert(SlotId parent, int first, int last) override;
    void didInsert() override;
    void aboutToRemove(SlotId parent, int first, int last) override;
    void didRemove() override;
    void aboutToMove(SlotId from, int first, int last, SlotId to, int destinationRow) override;
    void didMove() override;
    void nodeChanged(SlotId slot) override;

    AppModel &m_model;
    DisplayedTree m_tree;
    mutable std::array<std::optional<QIcon>, 6> m_icons;
    bool m_moveRefused = false;
    // Per slot while rowsToExpand runs: 0, or its depth + 1 when expanded.
    mutable std::vector<int> m_expanding;
};

} // namespace tarni
