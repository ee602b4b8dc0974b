#include "gui/NodeContextMenu.h"

#include "app/AppModel.h"
#include "util/Localized.h"
#include "gui/AppActions.h"

#include <QAction>
#include <QPointer>

namespace tarni {

namespace {

bool hasChromeTabsBelow(const TreeViewModel &tree, const QUuid &id)
{
    const TreeProjection &projection = tree.projection();
    for (const TreeProjection::SlotId slot : projection.descendantSlots(id)) {
        if (projection.node(slot).kind() == WorkspaceNodeKind::chromeTab)
            return true;
    }
    return false;
}

} // namespace

QList<OutlineContextMenuItem> nodeContextMenuItems(AppModel &model, AppActions &actions, const QUuid &nodeID)
{
    const auto node = model.treeViewModel().node(nodeID);
    if (!node)
        return {};
    const WorkspaceNodeKind kind = node->kind();
    QPointer<AppModel> guardedModel(&model);
    auto entry = [&](QAction *action, std::optional<QString> title = std::nullopt) {
        QPointer<QAction> guarded(action);
        OutlineContextMenuItem item;
        item.title = title.value_or(action->text());
        item.shortcut = action->shortcut();
        // Every entry fits the node's kind; one whose command is still
        // running ignores the click (its action is disabled meanwhile).
        item.isEnabled = true;
        // The menu selected the node already; this makes sure the command
        // still finds it selected when it runs after the menu has closed.
        item.action = [guardedModel, guarded, nodeID] {
            if (!guardedModel || !guarded)
                return;
            if (guardedModel->selectionCoordinator().selectedNodeID() != nodeID)
                guardedModel->selectNodeWithoutOpening(nodeID);
            guarded->trigger();
        };
        return item;
    };
    OutlineContextMenuItem separator;
    separator.isSeparator = true;

    QList<OutlineContextMenuItem> items;
    if (kind != WorkspaceNodeKind::group)
        items << entry(actions.open);
    if (kind == WorkspaceNodeKind::slackThread)
        items << entry(actions.openInSlackApp);
    if (kind == WorkspaceNodeKind::chromeTab || hasChromeTabsBelow(model.treeViewModel(), nodeID))
        items << entry(actions.restoreBrowserSession);
    if (kind == WorkspaceNodeKind::file || kind == WorkspaceNodeKind::folder)
        items << entry(actions.reveal);
    if (!items.isEmpty())
        items << separator;
    items << entry(actions.rename) << entry(actions.duplicate) << entry(actions.remove) << separator;
    items << entry(actions.cut) << entry(actions.copy) << entry(actions.paste);
    items.back().isEnabled = actions.paste->isEnabled();
    items << entry(actions.moveTo);
    // The moves that would change something, judged for this node (the
    // menu selected it before asking).
    const bool isSelected = model.selectionCoordinator().selectedNodeID() == nodeID;
    for (QAction *move : {actions.moveUp, actions.moveDown, actions.moveOutOfGroup, actions.moveIntoGroupAbove}) {
        if (!isSelected || move->isEnabled())
            items << entry(move);
    }
    items << separator;
    if (kind == WorkspaceNodeKind::group)
        items << entry(actions.importTree, localized("Import into Here…"));
    if (kind == WorkspaceNodeKind::group)
        items << entry(actions.importOtherFormat);
    items << entry(actions.exportTree) << entry(actions.exportAs) << entry(actions.saveSubtreeSnapshot);
    return items;
}

} // namespace tarni
