#include "model/WorkspaceNode.h"

namespace tarni {

WorkspaceNode::WorkspaceNode()
    : d(new Data)
{
}

WorkspaceNode::WorkspaceNode(Fields fields)
    : d(new Data)
{
    d->f = std::move(fields);
}

WorkspaceNode::WorkspaceNode(QUuid id, QUuid workspaceID, std::optional<QUuid> parentID, WorkspaceNodeKind kind,
                             QString title, std::optional<QString> subtitle, double sortOrder, bool isCollapsed,
                             std::optional<QString> iconKey, Timestamp createdAt, Timestamp updatedAt,
                             std::optional<Timestamp> lastOpenedAt, NodePayload payload)
    : d(new Data)
{
    Fields &f = d->f;
    f.id = id;
    f.workspaceID = workspaceID;
    f.parentID = parentID;
    f.kind = kind;
    f.title = std::move(title);
    f.subtitle = subtitle ? std::move(subtitle) : defaultSubtitle(payload);
    f.sortOrder = sortOrder;
    f.isCollapsed = isCollapsed;
    f.iconKey = std::move(iconKey);
    f.createdAt = createdAt;
    f.updatedAt = updatedAt;
    f.lastOpenedAt = lastOpenedAt;
    f.payload = std::move(payload);
}

std::optional<QString> WorkspaceNode::defaultSubtitle(const NodePayload &payload)
{
    if (const auto *tab = payload.asChromeTab())
        return tab->url;
    if (const auto *link = payload.asWebLink())
        return link->url;
    if (const auto *slack = payload.asSlackThread())
        return slack->permalinkURL;
    if (const auto *file = payload.asFileTarget())
        return file->path;
    return std::nullopt;
}

} // namespace tarni
