#pragma once

#include "storage/WorkspaceStoreProtocol.h"

#include <QHash>

#include <optional>

namespace tarni::testing {

// An in-memory store that counts its writes and fails on request.
class FakeWorkspaceStore final : public WorkspaceStoreProtocol {
public:
    std::optional<Workspace> workspace;
    NodeList nodes;
    std::size_t writes = 0;
    std::optional<StoreError> failFetchWorkspace;
    std::optional<StoreError> failFetchNodes;
    std::optional<StoreError> failSaveWorkspace;
    std::optional<StoreError> failReplaceNodes;

    static StoreError error(const QString &message = QStringLiteral("disk full"))
    {
        StoreError e;
        e.kind = StoreError::Kind::step;
        e.message = message;
        return e;
    }

    StoreResult<Workspace> fetchOrCreateDefaultWorkspace() override
    {
        if (failFetchWorkspace)
            return Failure(*failFetchWorkspace);
        if (!workspace) {
            const auto now = currentTimestamp();
            workspace = Workspace{QUuid::createUuid(), QStringLiteral("Workspace"), now, now};
        }
        return *workspace;
    }
    StoreResult<void> saveWorkspace(const Workspace &value) override
    {
        ++writes;
        if (failSaveWorkspace)
            return Failure(*failSaveWorkspace);
        workspace = value;
        return {};
    }
    StoreResult<NodeList> fetchNodes(const QUuid &workspaceID) override
    {
        if (failFetchNodes)
            return Failure(*failFetchNodes);
        NodeList result;
        for (const auto &node : nodes) {
            if (node.workspaceID() == workspaceID)
                result.append(node);
        }
        return result;
    }
    StoreResult<void> replaceNodes(const NodeList &list, const QUuid &) override
    {
        ++writes;
        if (failReplaceNodes)
            return Failure(*failReplaceNodes);
        nodes = list;
        return {};
    }
    // The tree engine never takes snapshots.
    StoreResult<void> saveSnapshot(const WorkspaceSnapshot &) override { return {}; }
    StoreResult<QList<WorkspaceSnapshot>> fetchSnapshots(const QUuid &) override { return QList<WorkspaceSnapshot>(); }
    StoreResult<void> reset() override
    {
        workspace.reset();
        nodes.clear();
        return {};
    }
};

} // namespace tarni::testing
