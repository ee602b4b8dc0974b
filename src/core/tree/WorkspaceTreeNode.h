#pragma once

#include "model/WorkspaceNode.h"

#include <QList>

#include <cstddef>

namespace tarni {

// A node with its displayed children, in display order.
//
// Workspaces may nest arbitrarily deep, so copying, comparing, hashing and
// destroying never recurse.
struct WorkspaceTreeNode {
    WorkspaceNode node;
    QList<WorkspaceTreeNode> children;

    WorkspaceTreeNode() = default;
    explicit WorkspaceTreeNode(WorkspaceNode node, QList<WorkspaceTreeNode> children = {});
    WorkspaceTreeNode(const WorkspaceTreeNode &other);
    WorkspaceTreeNode(WorkspaceTreeNode &&other) noexcept = default;
    WorkspaceTreeNode &operator=(const WorkspaceTreeNode &other);
    WorkspaceTreeNode &operator=(WorkspaceTreeNode &&other) noexcept;
    ~WorkspaceTreeNode();

    const QUuid &id() const { return node.id(); }

    bool operator==(const WorkspaceTreeNode &other) const;

    // Entries in this subtree, this one included.
    std::size_t subtreeSize() const;

private:
    void destroyChildren() noexcept;
};

size_t qHash(const WorkspaceTreeNode &tree, size_t seed = 0);

} // namespace tarni
