#pragma once

#include "model/TreeExport.h"

#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>

namespace tarni {

// An entry of a snapshot: its position among the entries below the root in
// pre-order (the root's first child is 0) and its own identifier.
struct SnapshotEntryRef {
    qsizetype position = -1;
    QUuid entryID;
};

// A saved export body attached to a workspace, with the selection at the time.
struct WorkspaceSnapshot {
    QUuid id;
    QUuid workspaceID;
    QString title;
    std::int64_t schemaVersion = TreeExport::kSchemaVersion;
    Timestamp createdAt{};
    std::optional<QUuid> selectedNodeID;
    TreeExportNode rootNode;

    bool operator==(const WorkspaceSnapshot &) const = default;
};

} // namespace tarni
