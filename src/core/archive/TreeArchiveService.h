#pragma once

#include "model/NodeList.h"
#include "model/TreeExport.h"
#include "model/WorkspaceSnapshot.h"
#include "util/Result.h"

#include <QHash>
#include <QString>
#include <QUuid>

#include <functional>
#include <optional>

namespace tarni {

struct TreeArchiveError {
    enum class Kind {
        missingRoot, // the node asked for as export root is not in the tree
    };
    Kind kind = Kind::missingRoot;

    QString description() const { return QStringLiteral("The node to export is not in the workspace tree."); }
    bool operator==(const TreeArchiveError &) const = default;
};

struct ImportedTree {
    // Depth-first pre-order of the document: each parent before its children.
    NodeList nodes;
    // Document originalNodeID -> identifier of the node made from it.
    QHash<QUuid, QUuid> originalToImportedIDs;
    // restoreWorkspaceResult only: each present node whose entry copies it
    // as it is now, under its own identifier and title, and that entry.
    QHash<QUuid, SnapshotEntryRef> unchangedEntries;
};

// Converts between a workspace's flat node list and the nested export
// document. No file or database access here. Nothing recurses on the depth
// of the tree.
class TreeArchiveService {
public:
    using Clock = std::function<Timestamp()>;

    explicit TreeArchiveService(Clock clock = &currentTimestamp);

    // The subtree of the first node with that identifier in display order
    // (pre-order). Nodes the tree cannot reach are never exported.
    Result<TreeExport, TreeArchiveError> exportSubtree(const QUuid &rootNodeID, const NodeList &nodes) const;
    // Every top-level tree under an added "Workspace" group.
    TreeExport exportWorkspace(const NodeList &nodes) const;
    // New nodes with fresh identifiers for the target workspace: a subtree
    // document's root, or each top-level entry of a whole-workspace document,
    // goes under `parentID`; siblings get sort orders 0, 1, 2, ...
    ImportedTree importSubtreeResult(const TreeExport &document, const QUuid &workspaceID,
                                     const std::optional<QUuid> &parentID) const;
    // The tree a whole-workspace document holds, to replace the present one
    // (`present`) with: each entry becomes the node it copies again, under
    // its identifier (a fresh one where the entry has none or an earlier
    // entry took it), nested as the document nests it, siblings numbered
    // 0, 1, 2, ... A node equal to its present version is that version
    // itself, one that differs from it in its sort order only keeps its
    // present stamp; one that differs in more, or is not present, is stamped
    // as updated now. Only what changed since the document was made differs.
    // Identifiers repeated in `present` leave unchangedEntries empty.
    ImportedTree restoreWorkspaceResult(const TreeExport &document, const QUuid &workspaceID,
                                        const NodeList &present) const;

    // A snapshot of `document` taken now, attached to the workspace.
    WorkspaceSnapshot makeSnapshot(const QString &title, const QUuid &workspaceID, TreeExport document,
                                   const std::optional<QUuid> &selectedNodeID) const;

    // The time by this service's clock.
    Timestamp now() const { return m_clock(); }

private:
    Clock m_clock;
};

} // namespace tarni
