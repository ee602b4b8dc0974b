#pragma once

#include "archive/TreeArchiveService.h"
#include "model/WorkspaceSnapshot.h"
#include "storage/WorkspaceStoreProtocol.h"
#include "tree/TreeViewModel.h"

#include <QList>
#include <QString>
#include <QUuid>

#include <optional>

namespace tarni {

struct SnapshotError {
    enum class Kind {
        tree,          // loading or writing the tree failed
        store,         // reading or writing snapshots failed
        missingNode,   // the node to save is not in the tree
        newerSchema,   // made by a newer version of TarniBar
    };
    Kind kind = Kind::tree;
    std::optional<TreeViewModelError> treeError;
    std::optional<StoreError> storeError;
    std::int64_t schemaVersion = 0;

    QString description() const;
};

template <class T>
using SnapshotResult = Result<T, SnapshotError>;

// Saving and restoring snapshots of the loaded tree, shared by the
// application model and tarnibar-cli. Titles come from the caller, which
// looks them up in the user's language.
class SnapshotService {
public:
    SnapshotService(WorkspaceStoreProtocol &store, TreeViewModel &tree, const TreeArchiveService &archive);

    // The whole tree, with the selection at the time.
    SnapshotResult<WorkspaceSnapshot> saveWorkspace(const QString &title, const std::optional<QUuid> &selectedNodeID);
    // The subtree of `nodeID`, titled `title` or else after the node followed
    // by " Snapshot".
    SnapshotResult<WorkspaceSnapshot> saveSubtree(const QUuid &nodeID, const std::optional<QString> &title = std::nullopt);
    // Newest first.
    SnapshotResult<QList<WorkspaceSnapshot>> list();

    struct Restored {
        bool subtree = false;
        int nodeCount = 0;
        // The node to select: the copy of the snapshot's selection, else the
        // first restored node.
        std::optional<QUuid> selectNodeID;
        // The tree as it was, saved before a workspace snapshot replaced it.
        std::optional<WorkspaceSnapshot> safetySnapshot;
    };
    // A subtree snapshot adds copies after the present children of
    // `insertionParent`; a workspace snapshot replaces every node, after the
    // present tree was saved as a snapshot titled `safetyTitle`, so that the
    // restore itself can be undone.
    SnapshotResult<Restored> restore(const WorkspaceSnapshot &snapshot, const std::optional<QUuid> &insertionParent,
                                     const QString &safetyTitle);

private:
    SnapshotResult<WorkspaceSnapshot> save(const QString &title, TreeExport document,
                                           const std::optional<QUuid> &selectedNodeID);
    SnapshotResult<QUuid> loadedWorkspace();

    WorkspaceStoreProtocol &m_store;
    TreeViewModel &m_tree;
    const TreeArchiveService &m_archive;
};

} // namespace tarni
