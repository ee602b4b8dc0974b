#pragma once

#include "model/NodePayload.h"
#include "model/Timestamp.h"

#include <QSharedDataPointer>
#include <QString>
#include <QUuid>

#include <optional>

namespace tarni {

// One node of the workspace tree; the tree is the flat list linked by
// parentID. A value type with equality over all thirteen fields.
//
// The fields live behind an implicitly shared pointer: copying a node list of
// 100,000 nodes costs a reference count per node, and comparing a node with an
// unchanged copy of itself is a pointer comparison. The store and the tree
// engine rely on that to find the few nodes an edit touched.
class WorkspaceNode {
public:
    struct Fields {
        QUuid id;
        QUuid workspaceID;
        std::optional<QUuid> parentID;
        WorkspaceNodeKind kind = WorkspaceNodeKind::group;
        QString title;
        std::optional<QString> subtitle;
        double sortOrder = 0;
        bool isCollapsed = false;
        std::optional<QString> iconKey;
        Timestamp createdAt{};
        Timestamp updatedAt{};
        std::optional<Timestamp> lastOpenedAt;
        NodePayload payload;

        bool operator==(const Fields &) const = default;
    };

    // An empty group node with null identifiers (used by decoding).
    WorkspaceNode();
    // The memberwise initializer. An absent subtitle is taken from the
    // payload (URL, permalink or path; none for groups); a given one, the
    // empty text included, is kept. Decoding never applies this default.
    WorkspaceNode(QUuid id, QUuid workspaceID, std::optional<QUuid> parentID, WorkspaceNodeKind kind,
                  QString title, std::optional<QString> subtitle, double sortOrder, bool isCollapsed,
                  std::optional<QString> iconKey, Timestamp createdAt, Timestamp updatedAt,
                  std::optional<Timestamp> lastOpenedAt, NodePayload payload);
    explicit WorkspaceNode(Fields fields);

    // The address a payload points at (URL, permalink or path; none for
    // groups), which is also a new node's default subtitle.
    static std::optional<QString> defaultSubtitle(const NodePayload &payload);

    const Fields &fields() const { return d->f; }
    // Mutable access detaches this copy from any others.
    Fields &edit() { return d->f; }

    const QUuid &id() const { return d->f.id; }
    const QUuid &workspaceID() const { return d->f.workspaceID; }
    const std::optional<QUuid> &parentID() const { return d->f.parentID; }
    WorkspaceNodeKind kind() const { return d->f.kind; }
    const QString &title() const { return d->f.title; }
    const std::optional<QString> &subtitle() const { return d->f.subtitle; }
    double sortOrder() const { return d->f.sortOrder; }
    bool isCollapsed() const { return d->f.isCollapsed; }
    const std::optional<QString> &iconKey() const { return d->f.iconKey; }
    Timestamp createdAt() const { return d->f.createdAt; }
    Timestamp updatedAt() const { return d->f.updatedAt; }
    const std::optional<Timestamp> &lastOpenedAt() const { return d->f.lastOpenedAt; }
    const NodePayload &payload() const { return d->f.payload; }

    void setId(const QUuid &v) { d->f.id = v; }
    void setWorkspaceID(const QUuid &v) { d->f.workspaceID = v; }
    void setParentID(const std::optional<QUuid> &v) { d->f.parentID = v; }
    void setKind(WorkspaceNodeKind v) { d->f.kind = v; }
    void setTitle(const QString &v) { d->f.title = v; }
    void setSubtitle(const std::optional<QString> &v) { d->f.subtitle = v; }
    void setSortOrder(double v) { d->f.sortOrder = v; }
    void setIsCollapsed(bool v) { d->f.isCollapsed = v; }
    void setIconKey(const std::optional<QString> &v) { d->f.iconKey = v; }
    void setCreatedAt(Timestamp v) { d->f.createdAt = v; }
    void setUpdatedAt(Timestamp v) { d->f.updatedAt = v; }
    void setLastOpenedAt(const std::optional<Timestamp> &v) { d->f.lastOpenedAt = v; }
    void setPayload(const NodePayload &v) { d->f.payload = v; }

    // True when both share one copy of the fields (so are equal for sure).
    bool isSharedWith(const WorkspaceNode &other) const { return d.constData() == other.d.constData(); }

    bool operator==(const WorkspaceNode &other) const
    {
        return isSharedWith(other) || d->f == other.d->f;
    }

private:
    struct Data : QSharedData {
        Fields f;
    };
    QSharedDataPointer<Data> d;
};

} // namespace tarni

// One pointer: lists move their records with memmove.
Q_DECLARE_TYPEINFO(tarni::WorkspaceNode, Q_RELOCATABLE_TYPE);
