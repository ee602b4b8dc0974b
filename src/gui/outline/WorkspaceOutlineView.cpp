#include "gui/outline/WorkspaceOutlineView.h"

#include "app/AppModel.h"
#include "gui/outline/WorkspaceItemModel.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScopedValueRollback>
#include <QStyledItemDelegate>
#include <QTextLayout>

namespace tarni {

namespace {

// Title over an optional subtitle, beside the kind icon; both elided.
class OutlineItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    static constexpr int kIconSize = 18;
    static constexpr int kInset = 8;
    static constexpr int kSpacing = 2;

    static QFont titleFont(const QFont &base)
    {
        QFont font = base;
        font.setPixelSize(13);
        font.setWeight(QFont::DemiBold);
        return font;
    }
    static QFont subtitleFont(const QFont &base)
    {
        QFont font = base;
        font.setPixelSize(11);
        return font;
    }

    // A match is marked with a translucent amber behind the text, which
    // keeps the text's own colour readable on light and dark rows alike; on
    // a selected row, with the selection's text colour instead.
    static QColor matchColor(const QPalette &palette, QPalette::ColorGroup group, bool selected)
    {
        if (selected) {
            QColor color = palette.color(group, QPalette::HighlightedText);
            color.setAlphaF(0.3f);
            return color;
        }
        const bool dark = palette.color(group, QPalette::Base).lightness() < 128;
        return dark ? QColor(255, 196, 0, 110) : QColor(255, 200, 0, 150);
    }

    // One line of text, elided at the right, with the query's matches
    // marked. Rows without a match take the plain path.
    static void drawLine(QPainter *painter, const QRect &rect, const QFont &font, const QColor &color,
                         const QString &text, const SearchQuery *query, const QColor &matchBackground)
    {
        const QFontMetrics metrics(font);
        const QString shown = metrics.elidedText(text, Qt::ElideRight, rect.width());
        painter->setFont(font);
        painter->setPen(color);
        const QList<SearchQuery::Range> ranges =
            query && !query->isEmpty() ? query->highlightRanges(text) : QList<SearchQuery::Range>();
        if (ranges.isEmpty()) {
            painter->drawText(rect, Qt::AlignLeft | Qt::AlignVCenter, shown);
            return;
        }
        // Elision keeps a prefix of the text and adds an ellipsis; matches
        // are marked within that prefix.
        const qsizetype kept = shown == text ? text.size() : std::max<qsizetype>(0, shown.size() - 1);
        QTextCharFormat marked;
        marked.setBackground(matchBackground);
        QList<QTextLayout::FormatRange> formats;
        for (const auto &range : ranges) {
            const qsizetype end = std::min(range.start + range.length, kept);
            if (range.start < end)
                formats.append({int(range.start), int(end - range.start), marked});
        }
        QTextLayout layout(shown, font);
        QTextOption option(Qt::AlignLeft);
        option.setWrapMode(QTextOption::NoWrap);
        layout.setTextOption(option);
        layout.setFormats(formats);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLineWidth(rect.width() + metrics.maxWidth());
        layout.endLayout();
        const qreal top = rect.top() + (rect.height() - line.height()) / 2;
        layout.draw(painter, QPointF(rect.left(), top));
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const override
    {
        return {option.rect.width(), WorkspaceOutlineView::kRowHeight};
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QWidget *widget = opt.widget;
        QStyle *style = widget ? widget->style() : QApplication::style();
        // Background and selection only; the text is ours.
        opt.text.clear();
        opt.icon = QIcon();
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);

        const QRect rect = opt.rect.adjusted(kInset / 2, 0, -kInset, 0);
        const QIcon icon = qvariant_cast<QIcon>(index.data(Qt::DecorationRole));
        const QRect iconRect(rect.left(), rect.center().y() - kIconSize / 2 + 1, kIconSize, kIconSize);
        const bool selected = opt.state & QStyle::State_Selected;
        const QIcon::Mode mode = !(opt.state & QStyle::State_Enabled) ? QIcon::Disabled
                                 : selected                            ? QIcon::Selected
                                                                       : QIcon::Normal;
        icon.paint(painter, iconRect, Qt::AlignCenter, mode);

        const QRect textRect = rect.adjusted(kIconSize + 6, 0, 0, 0);
        const QPalette::ColorGroup group = opt.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;
        const QColor titleColor = opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text);
        QColor subtitleColor = opt.palette.color(group, QPalette::PlaceholderText);
        if (selected) {
            subtitleColor = titleColor;
            subtitleColor.setAlphaF(0.75f);
        }

        const QFont title = titleFont(opt.font);
        const QFont subtitle = subtitleFont(opt.font);
        const QFontMetrics titleMetrics(title);
        const QFontMetrics subtitleMetrics(subtitle);
        const QString subtitleText = index.data(WorkspaceItemModel::SubtitleRole).toString();
        const int titleHeight = titleMetrics.height();
        const int totalHeight = subtitleText.isEmpty() ? titleHeight : titleHeight + kSpacing + subtitleMetrics.height();
        int y = textRect.top() + (textRect.height() - totalHeight) / 2;

        const auto *itemModel = qobject_cast<const WorkspaceItemModel *>(index.model());
        // Only rows that match themselves are marked, not their ancestors.
        const SearchQuery *query = itemModel && index.data(WorkspaceItemModel::MatchesSearchRole).toBool()
                                       ? &itemModel->searchQuery()
                                       : nullptr;
        const QColor matchBackground = matchColor(opt.palette, group, selected);

        painter->save();
        painter->setClipRect(opt.rect);
        drawLine(painter, QRect(textRect.left(), y, textRect.width(), titleHeight), title, titleColor,
                 index.data(Qt::DisplayRole).toString(), query, matchBackground);
        if (!subtitleText.isEmpty()) {
            y += titleHeight + kSpacing;
            drawLine(painter, QRect(textRect.left(), y, textRect.width(), subtitleMetrics.height()), subtitle,
                     subtitleColor, subtitleText, query, matchBackground);
        }
        painter->restore();
    }
};

} // namespace

WorkspaceOutlineView::WorkspaceOutlineView(AppModel &model, QWidget *parent)
    : QTreeView(parent)
    , m_model(model)
    , m_itemModel(new WorkspaceItemModel(model, this))
{
    setObjectName(QStringLiteral("workspaceOutline"));
    model.treeViewModel().setSearchMatchLimit(kSearchMatchLimit);
    setHeaderHidden(true);
    setUniformRowHeights(true);
    setItemDelegate(new OutlineItemDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setExpandsOnDoubleClick(false);
    setAnimated(false);
    setIconSize(QSize(OutlineItemDelegate::kIconSize, OutlineItemDelegate::kIconSize));
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
    setFrameShape(QFrame::NoFrame);
    setModel(m_itemModel);

    connect(this, &QTreeView::expanded, this, [this](const QModelIndex &index) { userToggled(index, true); });
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex &index) { userToggled(index, false); });
    connect(m_itemModel, &QAbstractItemModel::modelReset, this, [this] {
        expandFromModel({});
        syncSelection();
    });
    connect(m_itemModel, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &parent) { syncExpansion(parent); });
    connect(m_itemModel, &QAbstractItemModel::rowsMoved, this,
            [this](const QModelIndex &, int, int, const QModelIndex &destination) { syncExpansion(destination); });
    connect(m_itemModel, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &topLeft) { syncExpansion(topLeft); });
    connect(m_itemModel, &WorkspaceItemModel::synced, this, &WorkspaceOutlineView::syncSelection);
    // The marked matches follow every query, also one that shows the same rows.
    connect(&model.treeViewModel(), &TreeViewModel::searchQueryChanged, viewport(),
            qOverload<>(&QWidget::update));
    connect(&model.selectionCoordinator(), &SelectionCoordinator::selectedNodeIDChanged, this,
            &WorkspaceOutlineView::syncSelection);
    expandFromModel({});
    syncSelection();
}

WorkspaceOutlineView::~WorkspaceOutlineView() = default;

void WorkspaceOutlineView::setContextMenuItems(std::function<QList<OutlineContextMenuItem>(const QUuid &)> items)
{
    m_contextMenuItems = std::move(items);
}

std::optional<QUuid> WorkspaceOutlineView::selectedId() const
{
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? std::nullopt : m_itemModel->nodeId(rows.first());
}

// --- selection ---------------------------------------------------------------

void WorkspaceOutlineView::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected)
{
    QTreeView::selectionChanged(selected, deselected);
    // A search that hides the selected row leaves the node selected.
    if (m_isSynchronizingSelection || m_itemModel->displayedTree().isFollowingQuery())
        return;
    const auto id = selectedId();
    if (!id) {
        m_pendingOpen.reset();
        m_model.selectNode(std::nullopt);
        return;
    }
    if (m_pointerSelecting)
        m_pendingOpen = id;
    m_model.selectNodeWithoutOpening(id);
}

void WorkspaceOutlineView::rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end)
{
    // The view selects a neighbour of a selected row that goes; which node
    // is selected after an edit is the model's to say (syncSelection).
    const QScopedValueRollback quiet(m_isSynchronizingSelection, true);
    QTreeView::rowsAboutToBeRemoved(parent, start, end);
}

void WorkspaceOutlineView::syncSelection()
{
    const auto &wanted = m_model.selectionCoordinator().selectedNodeID();
    const QModelIndex index = wanted ? m_itemModel->indexForNode(*wanted) : QModelIndex();
    if (!index.isValid()) {
        if (selectionModel()->hasSelection()) {
            m_isSynchronizingSelection = true;
            selectionModel()->clearSelection();
            m_isSynchronizingSelection = false;
        }
        return;
    }
    // A node inside a collapsed group has no row to select; no other row
    // is to look selected in its place.
    for (QModelIndex p = index.parent(); p.isValid(); p = p.parent()) {
        if (!isExpanded(p)) {
            if (selectionModel()->hasSelection()) {
                m_isSynchronizingSelection = true;
                selectionModel()->clearSelection();
                m_isSynchronizingSelection = false;
            }
            return;
        }
    }
    if (selectionModel()->isRowSelected(index.row(), index.parent()) && selectionModel()->selectedRows().size() == 1)
        return;
    m_isSynchronizingSelection = true;
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_isSynchronizingSelection = false;
    scrollTo(index);
}

// --- expansion ---------------------------------------------------------------

bool WorkspaceOutlineView::wantsExpanded(const QModelIndex &index) const
{
    if (m_model.treeViewModel().projection().isFiltering())
        return true;
    return !index.data(WorkspaceItemModel::IsCollapsedRole).toBool();
}

void WorkspaceOutlineView::expandFromModel(const QModelIndex &root)
{
    // Right after a reset the view only records what to expand, and lays
    // out once when it next paints.
    const bool all = m_model.treeViewModel().projection().isFiltering();
    m_isSynchronizingExpansion = true;
    {
        // Thousands of rows after a new query: their `expanded` signals
        // would only come back here to be ignored.
        const QSignalBlocker quiet(this);
        for (const QModelIndex &index : m_itemModel->rowsToExpand(root, all))
            expand(index);
    }
    m_isSynchronizingExpansion = false;
}

void WorkspaceOutlineView::syncExpansion(const QModelIndex &index)
{
    if (!index.isValid() || m_itemModel->rowCount(index) == 0)
        return;
    const bool wanted = wantsExpanded(index);
    if (wanted == isExpanded(index) || (wanted && m_itemModel->depth(index) >= WorkspaceItemModel::kMaxExpandedDepth))
        return;
    m_isSynchronizingExpansion = true;
    setExpanded(index, wanted);
    m_isSynchronizingExpansion = false;
    if (wanted)
        expandFromModel(index);
}

void WorkspaceOutlineView::userToggled(const QModelIndex &index, bool expanded)
{
    if (m_isSynchronizingExpansion)
        return;
    // While searching every match is shown expanded; that is not the
    // user's choice to keep.
    if (m_model.treeViewModel().projection().isFiltering())
        return;
    if (const auto id = m_itemModel->nodeId(index))
        m_model.setCollapsed(*id, !expanded);
}

// --- gestures ----------------------------------------------------------------

void WorkspaceOutlineView::openSelected()
{
    [](QPointer<AppModel> model) -> QCoro::Task<> {
        if (model)
            co_await model->openSelectedNode();
    }(&m_model);
}

void WorkspaceOutlineView::mousePressEvent(QMouseEvent *event)
{
    m_openedByClick.reset();
    m_pendingOpen.reset();
    if (event->button() == Qt::RightButton) {
        // The context menu selects its row itself.
        event->accept();
        return;
    }
    m_pointerSelecting = event->button() == Qt::LeftButton;
    QTreeView::mousePressEvent(event);
    m_pointerSelecting = false;
}

void WorkspaceOutlineView::mouseReleaseEvent(QMouseEvent *event)
{
    m_pointerSelecting = event->button() == Qt::LeftButton;
    QTreeView::mouseReleaseEvent(event);
    m_pointerSelecting = false;
    const auto pending = std::exchange(m_pendingOpen, std::nullopt);
    if (!m_model.openWithSingleClick())
        return;
    if (const auto id = pending; id && id == selectedId()) {
        m_openedByClick = id;
        m_model.selectNode(id);
    }
}

void WorkspaceOutlineView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !indexAt(event->position().toPoint()).isValid())
        return;
    const auto id = selectedId();
    // The first click of this double-click opened the node already.
    if (!id || std::exchange(m_openedByClick, std::nullopt) == id)
        return;
    openSelected();
}

void WorkspaceOutlineView::enterFromSearch()
{
    setFocus(Qt::OtherFocusReason);
    // The first row that matches itself, not one shown for a descendant.
    const bool searching = m_model.treeViewModel().projection().isFiltering();
    for (QModelIndex index = m_itemModel->index(0, 0); index.isValid(); index = indexBelow(index)) {
        if (!searching || index.data(WorkspaceItemModel::MatchesSearchRole).toBool()) {
            if (searching || !m_model.shownSelectedNodeID())
                m_model.selectNodeWithoutOpening(m_itemModel->nodeId(index));
            break;
        }
    }
    if (const QModelIndex current = selectionModel()->selectedRows().value(0); current.isValid())
        scrollTo(current);
}

void WorkspaceOutlineView::startDrag(Qt::DropActions supportedActions)
{
    m_pendingOpen.reset();
    QTreeView::startDrag(supportedActions);
}

void WorkspaceOutlineView::keyPressEvent(QKeyEvent *event)
{
    // Alt with an arrow moves the selected node (the window's shortcuts).
    // One that cannot move it arrives here, and must not move the cursor.
    if (event->modifiers() & Qt::AltModifier) {
        switch (event->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Left:
        case Qt::Key_Right:
            event->accept();
            return;
        default:
            break;
        }
    }
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
            openSelected();
            event->accept();
            return;
        }
        break;
    case Qt::Key_Asterisk: {
        // The tree view's own "expand everything below" would lay out a deep
        // chain in one recursion; this one stops where the model's rows do.
        const QModelIndex index = currentIndex();
        if (index.isValid()) {
            scheduleDelayedItemsLayout(); // one layout once all are expanded
            expand(index);
            for (const QModelIndex &row : m_itemModel->rowsToExpand(index, true))
                expand(row);
        }
        event->accept();
        return;
    }
    case Qt::Key_Menu:
    case Qt::Key_F10:
        if (event->key() == Qt::Key_Menu || event->modifiers() == Qt::ShiftModifier) {
            const QModelIndex index = currentIndex();
            if (index.isValid())
                showContextMenu(index, viewport()->mapToGlobal(visualRect(index).center()));
            event->accept();
            return;
        }
        break;
    default:
        break;
    }
    QTreeView::keyPressEvent(event);
}

// --- context menu ------------------------------------------------------------

void WorkspaceOutlineView::contextMenuEvent(QContextMenuEvent *event)
{
    event->accept();
    const QModelIndex index =
        event->reason() == QContextMenuEvent::Mouse ? indexAt(viewport()->mapFrom(this, event->pos())) : currentIndex();
    if (!index.isValid())
        return;
    const QPoint position = event->reason() == QContextMenuEvent::Mouse
                                ? event->globalPos()
                                : viewport()->mapToGlobal(visualRect(index).center());
    showContextMenu(index, position);
}

void WorkspaceOutlineView::showContextMenu(const QModelIndex &index, const QPoint &globalPos)
{
    const auto id = m_itemModel->nodeId(index);
    if (!id)
        return;
    m_isSynchronizingSelection = true;
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_isSynchronizingSelection = false;
    m_model.selectNodeWithoutOpening(id);
    if (auto menu = makeContextMenu(*id))
        menu->exec(globalPos);
}

std::unique_ptr<QMenu> WorkspaceOutlineView::makeContextMenu(const QUuid &nodeID)
{
    if (!m_contextMenuItems)
        return nullptr;
    const QList<OutlineContextMenuItem> items = m_contextMenuItems(nodeID);
    if (items.isEmpty())
        return nullptr;
    auto menu = std::make_unique<QMenu>(this);
    menu->setObjectName(QStringLiteral("outlineContextMenu"));
    for (const OutlineContextMenuItem &item : items) {
        if (item.isSeparator) {
            menu->addSeparator();
            continue;
        }
        QAction *entry = menu->addAction(item.title);
        entry->setEnabled(item.isEnabled);
        if (!item.shortcut.isEmpty()) {
            // Shown only: the window owns the shortcut itself.
            entry->setShortcut(item.shortcut);
            entry->setShortcutContext(Qt::WidgetShortcut);
            entry->setShortcutVisibleInContextMenu(true);
        }
        if (item.action) {
            // Run once the menu has closed and its event loop is gone.
            connect(entry, &QAction::triggered, this, [this, action = item.action] {
                QMetaObject::invokeMethod(this, action, Qt::QueuedConnection);
            });
        }
    }
    return menu;
}

} // namespace tarni
