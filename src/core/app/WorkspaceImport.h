#pragma once

#include "archive/SnapshotService.h"
#include "interop/InteropFormat.h"
#include "tree/TreeViewModel.h"

#include <QString>
#include <QUuid>

#include <optional>

namespace tarni {

// What an import added, and what it left out.
struct ImportReport {
    // Nodes added, the import's own group included.
    qsizetype added = 0;
    // As parsed, with everything the entry rules left out counted in
    // `skipped` and `refused`.
    ImportSummary summary;
    // The first node added: an import's own group, or a document's top entry.
    std::optional<QUuid> firstNodeID;
    // The automatic snapshot taken before a large import.
    std::optional<WorkspaceSnapshot> safetySnapshot;
};

struct ImportFailure {
    // Either the automatic snapshot before the import (then nothing was
    // added) or adding the nodes failed.
    std::optional<SnapshotError> snapshotError;
    std::optional<TreeViewModelError> treeError;

    QString description() const;
};

// Every import reaches the tree through here, whichever way it came in (the
// window, D-Bus, tarnibar-cli, a snapshot added beside the tree): the entry
// rules leave out what they do not accept, a large import into a tree that
// has nodes is preceded by an automatic snapshot (and does not happen when
// that snapshot fails), and the nodes are added after the present children of
// the parent as one step of the history.
class WorkspaceImport {
public:
    // More nodes than this in one import are preceded by a snapshot.
    static constexpr qsizetype kSnapshotThreshold = 100;

    WorkspaceImport(TreeViewModel &tree, SnapshotService &snapshots, const TreeArchiveService &archive);

    Result<ImportReport, ImportFailure> run(InteropImport imported, const std::optional<QUuid> &parentID,
                                            const QString &safetySnapshotTitle);

private:
    TreeViewModel &m_tree;
    SnapshotService &m_snapshots;
    const TreeArchiveService &m_archive;
};

// "3 items were not imported: not a web address", in the current language;
// empty when nothing was left out.
QString skippedEntriesText(const ImportSummary &summary);

} // namespace tarni
