#pragma once

#include <QKeySequence>
#include <QList>
#include <QString>
#include <QTreeView>
#include <QUuid>

#include <functional>

namespace tarni {

class AppModel;

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
class WorkspaceOutlineView : public QTreeView {
    Q_OBJECT
public:
    explicit WorkspaceOutlineView(AppModel &model, QWidget *parent = nullptr);
    ~WorkspaceOutlineView() override;

    // The entries of a node's context menu; the sidebar decides them per kind.
    void setContextMenuItems(std::function<QList<OutlineContextMenuItem>(const QUuid &)> items);

private:
    AppModel &m_model;
    std::function<QList<OutlineContextMenuItem>(const QUuid &)> m_contextMenuItems;
};

} // namespace tarni
