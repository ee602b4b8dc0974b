#pragma once

#include <QKeySequence>
#include <QList>
#include <QString>
#include <QTreeView>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

class QMenu;

namespace tarni {

class AppModel;
class WorkspaceItemModel;

// One entry of a node's context menu.
struct OutlineContextMenuItem {
    QString title;
    bool isEnabled = true;
    bool isSeparator = false;
    std::function<void()> action;
    // Shown beside the title; the shortcut itself belongs to the window.
    QKeySequence shortcut;
};

// The workspace tree as an outline list in the sidebar. Holds no workspace
// state of its own: it shows the application model's tree and turns the
// user's gestures into the model's commands.
//
// A click on a row selects and opens its node (when the button comes up, so
// that a drag does not open), or only selects it when the user turned
// single-click opening off; moving with the keyboard only selects; Enter
// and a double-click open the selected node. Expanding and collapsing a row
// is stored with the node, except while a search shows every match expanded.
class WorkspaceOutlineView : public QTreeView {
    Q_OBJECT
public:
    static constexpr int kRowHeight = 34;
    // A search shows at most this many matches (with their ancestors, all
    // expanded): the view lays out every shown row on each keystroke, and
    // more rows than this are not read anyway.
    static constexpr std::size_t kSearchMatchLimit = 5000;

    explicit WorkspaceOutlineView(AppModel &model, QWidget *parent = nullptr);
    ~WorkspaceOutlineView() override;

    // The entries of a node's context menu; the sidebar decides them per kind.
    void setContextMenuItems(std::function<QList<OutlineContextMenuItem>(const QUuid &)> items);

    WorkspaceItemModel *itemModel() const { return m_itemModel; }
    // The context menu of a node as it would be shown, with each entry's
    // action run after the menu has closed; none when it has no entries.
    std::unique_ptr<QMenu> makeContextMenu(const QUuid &nodeID);
    // Takes the keys over from the search field: while searching, the first
    // match becomes selected; otherwise the first row when nothing is.
    void enterFromSearch();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void selectionChanged(const QItemSelection &selected, const QItemSelection &deselected) override;
    void rowsAboutToBeRemoved(const QModelIndex &parent, int start, int end) override;

private:
    std::optional<QUuid> selectedId() const;
    void syncSelection();
    void expandFromModel(const QModelIndex &parent);
    void syncExpansion(const QModelIndex &index);
    bool wantsExpanded(const QModelIndex &index) const;
    void userToggled(const QModelIndex &index, bool expanded);
    void showContextMenu(const QModelIndex &index, const QPoint &globalPos);
    void openSelected();

    AppModel &m_model;
    WorkspaceItemModel *m_itemModel = nullptr;
    std::function<QList<OutlineContextMenuItem>(const QUuid &)> m_contextMenuItems;
    // Set while the view itself brings its selection or expansion in line
    // with the model, so that the change is not reported back.
    bool m_isSynchronizingSelection = false;
    bool m_isSynchronizingExpansion = false;
    bool m_pointerSelecting = false;
    // The node a mouse press selected, opened when the button comes up.
    std::optional<QUuid> m_pendingOpen;
    // The node the first click of a double-click opened.
    std::optional<QUuid> m_openedByClick;
};

} // namespace tarni
