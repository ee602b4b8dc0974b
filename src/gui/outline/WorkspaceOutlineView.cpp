#include "gui/outline/WorkspaceOutlineView.h"

#include "app/AppModel.h"

namespace tarni {

WorkspaceOutlineView::WorkspaceOutlineView(AppModel &model, QWidget *parent)
    : QTreeView(parent)
    , m_model(model)
{
    setObjectName(QStringLiteral("workspaceOutline"));
    setHeaderHidden(true);
}

WorkspaceOutlineView::~WorkspaceOutlineView() = default;

void WorkspaceOutlineView::setContextMenuItems(std::function<QList<OutlineContextMenuItem>(const QUuid &)> items)
{
    m_contextMenuItems = std::move(items);
}

} // namespace tarni
