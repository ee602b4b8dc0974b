#include "app/WorkspaceImport.h"

#include "interop/InteropBuilder.h"
#include "util/Localized.h"

#include <algorithm>
#include <vector>

namespace tarni {

QString ImportFailure::description() const
{
    if (snapshotError)
        return snapshotError->description();
    if (treeError)
        return treeError->description();
    return {};
}

QString skippedEntriesText(const ImportSummary &summary)
{
    if (summary.skipped <= 0)
        return {};
    // Problems that read alike in a summary ("not a web address" for both a
    // wrong scheme and a missing host) are counted together.
    QList<std::pair<QString, std::int64_t>> reasons;
    for (std::size_t i = 0; i < kEntryProblemCount; ++i) {
        if (summary.refused.counts[i] <= 0)
            continue;
        const QString reason = localized(entryProblemReason(EntryProblem(i)));
        auto same = std::find_if(reasons.begin(), reasons.end(), [&](const auto &r) { return r.first == reason; });
        if (same == reasons.end())
            reasons.append({reason, summary.refused.counts[i]});
        else
            same->second += summary.refused.counts[i];
    }
    // A count that came without its reasons (over the bus) is said as it is.
    if (reasons.isEmpty())
        return formatted(localized("%d items were not imported"), {QString::number(summary.skipped)});
    QStringList listed;
    for (const auto &[reason, n] : std::as_const(reasons))
        listed << (reasons.size() == 1 ? reason : QStringLiteral("%1 (%2)").arg(reason).arg(n));
    return formatted(localized("%d items were not imported: %@"),
                     {QString::number(summary.skipped), listed.join(QStringLiteral(", "))});
}

WorkspaceImport::WorkspaceImport(TreeViewModel &tree, SnapshotService &snapshots, const TreeArchiveService &archive)
    : m_tree(tree), m_snapshots(snapshots), m_archive(archive)
{
}

Result<ImportReport, ImportFailure> WorkspaceImport::run(InteropImport imported, const std::optional<QUuid> &parentID,
                                                         const QString &safetySnapshotTitle)
{
    if (!m_tree.isLoaded()) {
        if (auto loaded = m_tree.load(); !loaded)
            return Failure(ImportFailure{std::nullopt, loaded.error()});
    }
    ImportReport report;
    report.summary = imported.summary;
    const EntryProblemCounts refused = applyEntryRules(imported.document);
    for (std::size_t i = 0; i < kEntryProblemCount; ++i)
        report.summary.refused.counts[i] += refused.counts[i];
    report.summary.skipped += refused.total();

    ImportedTree tree = m_archive.importSubtreeResult(imported.document, m_tree.workspace()->id, parentID);
    if (imported.format != InteropFormat::tarnibar)
        keepImportedCreationDates(imported.document, tree.nodes);
    // The nodes hold everything the document said: let it go before the
    // tree and the store make their copies.
    imported.document = TreeExport();
    report.added = tree.nodes.size();
    if (tree.nodes.isEmpty())
        return report;
    report.firstNodeID = tree.nodes.front().id();

    // A large import is hard to pick out again by hand; an empty tree has
    // nothing to keep.
    if (report.added > kSnapshotThreshold && !m_tree.nodes().isEmpty()) {
        auto saved = m_snapshots.saveAutomatic(SnapshotOrigin::beforeImport, safetySnapshotTitle);
        if (!saved)
            return Failure(ImportFailure{saved.error(), std::nullopt});
        report.safetySnapshot = std::move(*saved);
    }
    if (auto appended = m_tree.appendNodes(std::move(tree.nodes), parentID); !appended)
        return Failure(ImportFailure{std::nullopt, appended.error()});
    return report;
}

} // namespace tarni
