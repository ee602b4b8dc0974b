#pragma once

#include "gui/outline/WorkspaceOutlineView.h"

namespace tarni {

class AppActions;
class AppModel;

// The context menu of one node: the ways to open it that its kind offers,
// then editing, then moving content in and out. Each entry runs the same
// action as the menus and the toolbar, on that node.
QList<OutlineContextMenuItem> nodeContextMenuItems(AppModel &model, AppActions &actions, const QUuid &nodeID);

} // namespace tarni
