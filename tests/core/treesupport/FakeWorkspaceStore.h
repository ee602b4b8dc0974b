#pragma once

#include "storage/WorkspaceStoreProtocol.h"

#include <QHash>

#include <optional>
#include <vector>

namespace tarni::testing {

// An in-memory store that records what it was asked to do and fails on
// request.
class FakeWorkspaceStore final : public WorkspaceStoreProtocol {
public:
    std::optional<Workspace> workspace;
    NodeList nodes;
    std::vector<QString> calls;
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

    std::size_t writes() const
    {
        std::size_t n = 0;
        for (const QString &call : calls)
            n += call == QLatin1String("saveWorkspace") || call == QLatin1String("replaceNodes");
        return n;
    }

    StoreResult<Workspace> fetchOrCreateDefaultWorkspace() override
    {
        calls.push_back(QStringLiteral("fetchOrCreateDefaultWorkspace"));
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
        calls.push_back(QStringLiteral("saveWorkspace"));
        if (failSaveWorkspace)
            return Failure(*failSaveWorkspace);
        workspace = value;
        return {};
    }
    StoreResult<NodeList> fetchNodes(const QUuid &workspaceID) override
    {
        calls.push_back(QStringLiteral("fetchNodes"));
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
        calls.push_back(QStringLiteral("replaceNodes"));
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
