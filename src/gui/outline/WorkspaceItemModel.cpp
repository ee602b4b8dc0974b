#include "gui/outline/WorkspaceItemModel.h"

#include "app/AppModel.h"
#include "app/Resources.h"

#include <QMimeData>

namespace tarni {

OutlineDrop convertOutlineDrop(const QUuid &moved, const std::optional<QUuid> &newParentID, int viewRow,
                               const QList<QUuid> &shownSiblings, const QList<QUuid> &allSiblings)
{
    QList<QUuid> others = allSiblings;
    others.removeAll(moved);
    // Onto the row itself: last among its children, wherever its old
    // sortOrder would have put it.
    if (viewRow < 0)
        return {newParentID, others.size()};
    // The view counts the dragged row where it still is; the move counts
    // without it, and over the siblings the search hides as well.
    int row = viewRow;
    const auto shownAt = shownSiblings.indexOf(moved);
    if (shownAt >= 0 && shownAt < viewRow)
        --row;
    QList<QUuid> shownOthers = shownSiblings;
    shownOthers.removeAll(moved);
    if (row < shownOthers.size())
        return {newParentID, others.indexOf(shownOthers[row])};
    if (!shownOthers.isEmpty())
        return {newParentID, others.indexOf(shownOthers.last()) + 1};
    const auto own = allSiblings.indexOf(moved);
    return {newParentID, own >= 0 ? own : others.size()};
}

WorkspaceItemModel::WorkspaceItemModel(AppModel &model, QObject *parent)
    : QAbstractItemModel(parent)
    , m_model(model)
    , m_tree(model.treeViewModel())
{
    m_tree.setListener(this);
    connect(&m_tree, &DisplayedTree::synced, this, &WorkspaceItemModel::synced);
}

WorkspaceItemModel::~WorkspaceItemModel()
{
    m_tree.setListener(nullptr);
}

QModelIndex WorkspaceItemModel::indexOfSlot(SlotId slot) const
{
    if (slot == DisplayedTree::kRoot || !m_tree.isShown(slot))
        return {};
    return createIndex(m_tree.rowOf(slot), 0, quintptr(slot));
}

QModelIndex WorkspaceItemModel::indexForNode(const QUuid &id) const
{
    return indexOfSlot(m_tree.shownSlot(id));
}

QModelIndexList WorkspaceItemModel::rowsToExpand(const QModelIndex &root, bool all) const
{
    QModelIndexList rows;
    if (const auto *parents = root.isValid() ? nullptr : m_tree.parentsSinceReset()) {
        // Parents come before their children: a row is expanded when its
        // parent row is (or it is at the top), it is not too deep, and its
        // node is not collapsed unless `all`.
        m_expanding.assign(m_tree.projection().slotCapacity(), 0);
        rows.reserve(qsizetype(parents->size()));
        for (SlotId slot : *parents) {
            const SlotId parent = m_tree.parentOf(slot);
            const int depth = parent == DisplayedTree::kRoot ? 0 : m_expanding[parent];
            if ((parent != DisplayedTree::kRoot && depth == 0) || depth >= kMaxExpandedDepth ||
                (!all && m_tree.node(slot).isCollapsed()))
                continue;
            m_expanding[slot] = depth + 1;
            rows.append(createIndex(m_tree.rowOf(slot), 0, quintptr(slot)));
        }
        return rows;
    }
    std::vector<std::pair<SlotId, int>> pending{{slotOf(root), root.isValid() ? depth(root) + 1 : 0}};
    while (!pending.empty()) {
        const auto [parent, childDepth] = pending.back();
        pending.pop_back();
        if (childDepth >= kMaxExpandedDepth)
            continue;
        const int count = m_tree.childCount(parent);
        for (int row = 0; row < count; ++row) {
            const SlotId child = m_tree.childAt(parent, row);
            if (m_tree.childCount(child) == 0 || (!all && m_tree.node(child).isCollapsed()))
                continue;
            rows.append(createIndex(row, 0, quintptr(child)));
            pending.push_back({child, childDepth + 1});
        }
    }
    return rows;
}

int WorkspaceItemModel::depth(const QModelIndex &index) const
{
    int depth = -1;
    for (SlotId slot = slotOf(index); slot != DisplayedTree::kRoot; slot = m_tree.parentOf(slot))
        ++depth;
    return depth;
}

std::optional<QUuid> WorkspaceItemModel::nodeId(const QModelIndex &index) const
{
    const SlotId slot = slotOf(index);
    if (slot == DisplayedTree::kRoot || !m_tree.isShown(slot))
        return std::nullopt;
    return m_tree.node(slot).id();
}

QModelIndex WorkspaceItemModel::index(int row, int column, const QModelIndex &parent) const
{
    if (column != 0 || row < 0 || parent.column() > 0)
        return {};
    const SlotId parentSlot = slotOf(parent);
    if (parentSlot != DisplayedTree::kRoot && !m_tree.isShown(parentSlot))
        return {};
    const SlotId child = m_tree.childAt(parentSlot, row);
    return child == DisplayedTree::kRoot ? QModelIndex() : createIndex(row, 0, quintptr(child));
}

QModelIndex WorkspaceItemModel::parent(const QModelIndex &child) const
{
    const SlotId slot = slotOf(child);
    if (slot == DisplayedTree::kRoot || !m_tree.isShown(slot))
        return {};
    return indexOfSlot(m_tree.parentOf(slot));
}

int WorkspaceItemModel::rowCount(const QModelIndex &parent) const
{
    if (parent.column() > 0)
        return 0;
    const SlotId slot = slotOf(parent);
    if (slot != DisplayedTree::kRoot && !m_tree.isShown(slot))
        return 0;
    return m_tree.childCount(slot);
}

int WorkspaceItemModel::columnCount(const QModelIndex &) const
{
    return 1;
}

bool WorkspaceItemModel::hasChildren(const QModelIndex &parent) const
{
    return rowCount(parent) > 0;
}

QString WorkspaceItemModel::dragText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

const QIcon &WorkspaceItemModel::kindIcon(WorkspaceNodeKind kind) const
{
    auto &icon = m_icons[std::size_t(kind)];
    if (icon)
        return *icon;
    // The desktop's icon theme first, our own drawing where it has none.
    struct Names {
        const char *theme;
        const char *fallbackTheme;
        const char *bundled;
    };
    static constexpr std::array<Names, 6> names{{
        {"folder", "inode-directory", "group"},
        {"web-browser", "applications-internet", "chrome-tab"},
        {"text-html", "emblem-web", "web-link"},
        {"internet-chat", "mail-message", "slack-thread"},
        {"text-x-generic", "application-octet-stream", "file"},
        {"folder-open", "inode-directory", "folder"},
    }};
    const Names &n = names[std::size_t(kind)];
    const auto bundledPath = resourceDirectory() / "icons" / (std::string(n.bundled) + ".svg");
    const QIcon bundled(QString::fromStdString(bundledPath.string()));
    icon = QIcon::fromTheme(QLatin1String(n.theme), QIcon::fromTheme(QLatin1String(n.fallbackTheme), bundled));
    return *icon;
}

QVariant WorkspaceItemModel::data(const QModelIndex &index, int role) const
{
    const SlotId slot = slotOf(index);
    if (slot == DisplayedTree::kRoot || !m_tree.isShown(slot))
        return {};
    const WorkspaceNode &node = m_tree.node(slot);
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleDescriptionRole:
        return node.title();
    case SubtitleRole:
        if (node.subtitle() && !node.subtitle()->isEmpty())
            return *node.subtitle();
        return {};
    case Qt::DecorationRole:
        return kindIcon(node.kind());
    case Qt::AccessibleTextRole:
        return QStringLiteral("node-") + dragText(node.id());
    case Qt::ToolTipRole: {
        const auto address = WorkspaceNode::defaultSubtitle(node.payload());
        if (address && !address->isEmpty() && *address != node.title())
            return node.title() + QLatin1Char('\n') + *address;
        return node.title();
    }
    case NodeIdRole:
        return QVariant::fromValue(node.id());
    case KindRole:
        return int(node.kind());
    case IsCollapsedRole:
        return node.isCollapsed();
    case MatchesSearchRole:
        return m_tree.projection().matchesQuery(slot);
    default:
        return {};
    }
}

Qt::ItemFlags WorkspaceItemModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::ItemIsDropEnabled;
    Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
    // Lets the tree view skip its expanded-row lookup for the many rows
    // without children when it lays out; the flag follows the rows, and
    // rows inserted under such a node are announced as usual.
    if (m_tree.childCount(slotOf(index)) == 0)
        result |= Qt::ItemNeverHasChildren;
    return result;
}

QStringList WorkspaceItemModel::mimeTypes() const
{
    return {QStringLiteral("text/plain")};
}

QMimeData *WorkspaceItemModel::mimeData(const QModelIndexList &indexes) const
{
    for (const QModelIndex &index : indexes) {
        if (const auto id = nodeId(index)) {
            auto *data = new QMimeData;
            data->setText(dragText(*id));
            return data;
        }
    }
    return nullptr;
}

Qt::DropActions WorkspaceItemModel::supportedDragActions() const
{
    return Qt::MoveAction;
}

Qt::DropActions WorkspaceItemModel::supportedDropActions() const
{
    return Qt::MoveAction;
}

std::optional<QUuid> WorkspaceItemModel::droppedNode(const QMimeData *data) const
{
    if (!data || !data->hasText())
        return std::nullopt;
    const QUuid id = QUuid::fromString(data->text().trimmed());
    if (id.isNull())
        return std::nullopt;
    return id;
}

std::optional<std::pair<QUuid, OutlineDrop>> WorkspaceItemModel::dropMove(const QMimeData *data, int row,
                                                                         const QModelIndex &parent) const
{
    const auto moved = droppedNode(data);
    if (!moved)
        return std::nullopt;
    const SlotId parentSlot = slotOf(parent);
    if (parentSlot != DisplayedTree::kRoot && !m_tree.isShown(parentSlot))
        return std::nullopt;
    std::optional<QUuid> parentID;
    if (parentSlot != DisplayedTree::kRoot)
        parentID = m_tree.node(parentSlot).id();
    if (m_model.treeViewModel().canMove(*moved, parentID))
        return std::nullopt;
    QList<QUuid> shown;
    QList<QUuid> all;
    if (row >= 0) {
        const int count = m_tree.childCount(parentSlot);
        shown.reserve(count);
        for (int r = 0; r < count; ++r)
            shown.append(m_tree.node(m_tree.childAt(parentSlot, r)).id());
    }
    for (SlotId s : m_tree.projection().childSlots(parentSlot))
        all.append(m_tree.node(s).id());
    return std::pair{*moved, convertOutlineDrop(*moved, parentID, row, shown, all)};
}

bool WorkspaceItemModel::canDropMimeData(const QMimeData *data, Qt::DropAction action, int, int column,
                                         const QModelIndex &parent) const
{
    if (action != Qt::MoveAction || column > 0)
        return false;
    // Asked on every move of the pointer: no sibling lists here.
    const auto moved = droppedNode(data);
    const SlotId parentSlot = slotOf(parent);
    if (!moved || (parentSlot != DisplayedTree::kRoot && !m_tree.isShown(parentSlot)))
        return false;
    const std::optional<QUuid> parentID =
        parentSlot == DisplayedTree::kRoot ? std::nullopt : std::optional(m_tree.node(parentSlot).id());
    return !m_model.treeViewModel().canMove(*moved, parentID);
}

bool WorkspaceItemModel::dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                                      const QModelIndex &parent)
{
    if (action != Qt::MoveAction || column > 0)
        return false;
    const auto move = dropMove(data, row, parent);
    if (!move)
        return false;
    m_model.moveNode(move->first, move->second.parentID, move->second.index);
    // The row has moved already; the view's clean-up of a moved drag finds
    // nothing to remove (this model removes no rows on request).
    return true;
}

void WorkspaceItemModel::aboutToReset()
{
    beginResetModel();
}

void WorkspaceItemModel::didReset()
{
    endResetModel();
}

void WorkspaceItemModel::aboutToInsert(SlotId parent, int first, int last)
{
    beginInsertRows(indexOfSlot(parent), first, last);
}

void WorkspaceItemModel::didInsert()
{
    endInsertRows();
}

void WorkspaceItemModel::aboutToRemove(SlotId parent, int first, int last)
{
    beginRemoveRows(indexOfSlot(parent), first, last);
}

void WorkspaceItemModel::didRemove()
{
    endRemoveRows();
}

void WorkspaceItemModel::aboutToMove(SlotId from, int first, int last, SlotId to, int destinationRow)
{
    m_moveRefused = !beginMoveRows(indexOfSlot(from), first, last, indexOfSlot(to), destinationRow);
    Q_ASSERT(!m_moveRefused);
}

void WorkspaceItemModel::didMove()
{
    // Should a move ever be one Qt cannot express, views start afresh
    // rather than keep rows that are not there.
    if (std::exchange(m_moveRefused, false)) {
        beginResetModel();
        endResetModel();
        return;
    }
    endMoveRows();
}

void WorkspaceItemModel::nodeChanged(SlotId slot)
{
    const QModelIndex index = indexOfSlot(slot);
    if (index.isValid())
        Q_EMIT dataChanged(index, index);
}

} // namespace tarni
