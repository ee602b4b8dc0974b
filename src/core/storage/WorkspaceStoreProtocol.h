#pragma once

#include "model/NodeList.h"
#include "model/Workspace.h"
#include "model/WorkspaceSnapshot.h"
#include "storage/StoreError.h"

#include <QList>
#include <QUuid>

namespace tarni {

// The workspace, its node list and its snapshots. Synchronous; every
// operation either completes or fails without a partial effect.
class WorkspaceStoreProtocol {
public:
    virtual ~WorkspaceStoreProtocol() = default;

    virtual StoreResult<Workspace> fetchOrCreateDefaultWorkspace() = 0;
    virtual StoreResult<void> saveWorkspace(const Workspace &workspace) = 0;
    // Top-level nodes first, then children grouped by parent id; siblings by
    // ascending sortOrder, then older createdAt. Not a tree order.
    virtual StoreResult<NodeList> fetchNodes(const QUuid &workspaceID) = 0;
    // Afterwards the workspace's rows are exactly `nodes` (all or nothing).
    virtual StoreResult<void> replaceNodes(const NodeList &nodes, const QUuid &workspaceID) = 0;
    // The workspace row and its node list as one durable write where the
    // store can; by default the two writes one after the other.
    virtual StoreResult<void> saveWorkspaceAndNodes(const Workspace &workspace, const NodeList &nodes)
    {
        if (auto saved = saveWorkspace(workspace); !saved)
            return saved;
        return replaceNodes(nodes, workspace.id);
    }
    virtual StoreResult<void> saveSnapshot(const WorkspaceSnapshot &snapshot) = 0;
    // Newest first.
    virtual StoreResult<QList<WorkspaceSnapshot>> fetchSnapshots(const QUuid &workspaceID) = 0;
    // Empties all three tables.
    virtual StoreResult<void> reset() = 0;
};

} // namespace tarni
