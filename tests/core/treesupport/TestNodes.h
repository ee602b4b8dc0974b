#pragma once

#include "model/NodeList.h"
#include "model/Timestamp.h"

#include <optional>

namespace tarni::testing {

inline const Timestamp kTestTime = Timestamp(std::chrono::seconds(1'700'000'000));
inline const QUuid kTestWorkspace = QUuid::createUuid();

inline WorkspaceNode groupNode(const QString &title, std::optional<QUuid> parent = std::nullopt, double order = 0,
                               const QUuid &workspaceID = kTestWorkspace)
{
    return WorkspaceNode(QUuid::createUuid(), workspaceID, parent, WorkspaceNodeKind::group, title, std::nullopt, order,
                         false, std::nullopt, kTestTime, kTestTime, std::nullopt, NodePayload::group());
}

// Each node the only child of the one before, titled "level 0", "level 1", ...
inline NodeList groupChain(int depth, const QUuid &workspaceID = kTestWorkspace)
{
    NodeList chain;
    chain.reserve(depth);
    std::optional<QUuid> parent;
    for (int i = 0; i < depth; ++i) {
        chain.append(groupNode(QStringLiteral("level %1").arg(i), parent, 0, workspaceID));
        parent = chain.last().id();
    }
    return chain;
}

} // namespace tarni::testing
