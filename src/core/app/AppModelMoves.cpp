// Moving nodes without a mouse, and pasting: where things go and the one
// step each takes.

#include "app/AppModel.h"
#include "app/WorkspaceImport.h"
#include "util/Localized.h"

#include <QDateTime>
#include <QLocale>
#include <QScopeGuard>

#include <algorithm>

namespace tarni {

namespace {

const char *stepName(AppModel::NodeMove move)
{
    switch (move) {
    case AppModel::NodeMove::up:
        return textKey("Move Up");
    case AppModel::NodeMove::down:
        return textKey("Move Down");
    case AppModel::NodeMove::outOfGroup:
        return textKey("Move Out of Group");
    case AppModel::NodeMove::intoGroupAbove:
        break;
    }
    return textKey("Move into Group Above");
}

qsizetype positionOf(const TreeProjection &projection, const std::vector<TreeProjection::SlotId> &slots,
                     const QUuid &id)
{
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (projection.node(slots[i]).id() == id)
            return qsizetype(i);
    }
    return -1;
}

// Whether a move of `node` to `index` under `parentID` would leave it where
// it is (the index counts the siblings without the node, as move() does).
bool isAlreadyAt(const TreeProjection &projection, const WorkspaceNode &node, const std::optional<QUuid> &parentID,
                 qsizetype index)
{
    if (node.parentID() != parentID)
        return false;
    const auto &siblings = projection.siblings(parentID);
    return positionOf(projection, siblings, node.id()) == std::clamp<qsizetype>(index, 0, qsizetype(siblings.size()) - 1);
}

} // namespace

std::array<AppModel::KeyboardMove, 4> AppModel::keyboardMoves() const
{
    std::array<KeyboardMove, 4> moves{};
    const auto selected = m_inspector.selectedNode();
    const TreeProjection &projection = m_treeViewModel.projection();
    if (!selected || projection.isFiltering())
        return moves;
    const std::optional<QUuid> parentID = selected->parentID();
    const auto &siblings = projection.siblings(parentID);
    const qsizetype position = positionOf(projection, siblings, selected->id());
    if (position < 0)
        return moves;
    auto slot = [&moves](NodeMove move) -> KeyboardMove & { return moves[std::size_t(move)]; };
    if (position > 0)
        slot(NodeMove::up) = KeyboardMove{parentID, position - 1, true};
    if (position + 1 < qsizetype(siblings.size()))
        slot(NodeMove::down) = KeyboardMove{parentID, position + 1, true};
    if (const auto parent = m_treeViewModel.node(parentID)) {
        const qsizetype parentPosition =
            positionOf(projection, projection.siblings(parent->parentID()), parent->id());
        if (parentPosition >= 0)
            slot(NodeMove::outOfGroup) = KeyboardMove{parent->parentID(), parentPosition + 1, true};
    }
    if (position > 0) {
        const WorkspaceNode &above = projection.node(siblings[std::size_t(position - 1)]);
        if (above.kind() == WorkspaceNodeKind::group)
            slot(NodeMove::intoGroupAbove) = KeyboardMove{above.id(), qsizetype(projection.siblings(above.id()).size()), true};
    }
    return moves;
}

std::optional<AppModel::KeyboardMove> AppModel::keyboardMove(NodeMove move) const
{
    const KeyboardMove found = keyboardMoves()[std::size_t(move)];
    if (!found.possible)
        return std::nullopt;
    return found;
}

std::array<bool, 4> AppModel::possibleMoves() const
{
    const auto moves = keyboardMoves();
    std::array<bool, 4> possible{};
    for (std::size_t i = 0; i < moves.size(); ++i)
        possible[i] = moves[i].possible;
    return possible;
}

void AppModel::moveSelectedNode(NodeMove move)
{
    auto dump = qScopeGuard([this] { writeStateDump(); });
    const auto target = keyboardMove(move);
    const auto selected = m_inspector.selectedNode();
    if (!target || !selected)
        return;
    auto command = m_treeViewModel.beginCommand(stepName(move), selected->title());
    if (failed(m_treeViewModel.move(selected->id(), target->parentID, target->index)))
        return;
    // Into a collapsed group the node would drop out of sight.
    expandDownTo(target->parentID);
}

void AppModel::moveSelectedNodeInto(const std::optional<QUuid> &parentID)
{
    auto dump = qScopeGuard([this] { writeStateDump(); });
    const auto selected = m_inspector.selectedNode();
    if (!selected)
        return;
    const auto count = qsizetype(m_treeViewModel.projection().siblings(parentID).size());
    if (isAlreadyAt(m_treeViewModel.projection(), *selected, parentID, count))
        return;
    auto command = m_treeViewModel.beginCommand(textKey("Move"), selected->title());
    if (failed(m_treeViewModel.move(selected->id(), parentID, count)))
        return;
    expandDownTo(parentID);
}

AppModel::PastePlace AppModel::pastePlace(const std::optional<QUuid> &movingNodeID) const
{
    const auto selected = m_inspector.selectedNode();
    if (!selected)
        return {};
    // A group that is itself being moved cannot take itself in.
    if (selected->kind() == WorkspaceNodeKind::group && selected->id() != movingNodeID)
        return {selected->id(), std::nullopt};
    const TreeProjection &projection = m_treeViewModel.projection();
    qsizetype position = 0;
    for (const auto slot : projection.siblings(selected->parentID())) {
        const QUuid id = projection.node(slot).id();
        if (id == selected->id())
            return {selected->parentID(), id == movingNodeID ? position : position + 1};
        if (id != movingNodeID)
            ++position;
    }
    return {selected->parentID(), std::nullopt};
}

std::optional<TreeExport> AppModel::selectedSubtreeDocument()
{
    const auto selected = m_inspector.selectedNode();
    if (!selected)
        return std::nullopt;
    auto exported = m_dependencies.treeArchiveService->exportSubtree(selected->id(), m_treeViewModel.nodes());
    if (failed(exported))
        return std::nullopt;
    return std::move(*exported);
}

void AppModel::pasteDocument(const TreeExport &document)
{
    auto dump = qScopeGuard([this] { writeStateDump(); });
    if (!m_treeViewModel.isLoaded())
        return;
    const PastePlace place = pastePlace();
    auto command = m_treeViewModel.beginCommand(textKey("Paste"), document.rootNode.title);
    m_snapshots.setRetentionPolicy(RetentionPolicy::fromSettings(*m_dependencies.settings));
    const QString safetyTitle = localized("Before import") + QLatin1Char(' ') +
        QLocale().toString(QDateTime::currentDateTime(), QLocale::ShortFormat);
    WorkspaceImport import(m_treeViewModel, m_snapshots, *m_dependencies.treeArchiveService);
    InteropImport imported;
    imported.document = document;
    auto report = import.run(std::move(imported), place.parentID, safetyTitle);
    if (!report) {
        setAlert(localized(report.error().description()));
        return;
    }
    if (report->safetySnapshot)
        Q_EMIT snapshotsChanged();
    const QString skipped = skippedEntriesText(report->summary);
    if (!report->firstNodeID) {
        setLatestImportStatus(StatusLine::plain(skipped.isEmpty() ? localized("There was nothing to paste.") : skipped));
        return;
    }
    if (place.index && failed(m_treeViewModel.move(*report->firstNodeID, place.parentID, place.index)))
        return;
    expandDownTo(place.parentID);
    select(report->firstNodeID);
    const StatusLine pasted = StatusLine::lookedUp(textKey("Pasted %d node(s)"), {QString::number(report->added)});
    if (skipped.isEmpty())
        setLatestImportStatus(pasted);
    else
        setLatestImportStatus(StatusLine::plain(pasted.text + QStringLiteral("; ") + skipped));
}

void AppModel::pasteCutNode(const QUuid &givenID, const TreeExport &document)
{
    const QUuid nodeID = givenID;
    auto dump = qScopeGuard([this] { writeStateDump(); });
    const auto node = m_treeViewModel.node(nodeID);
    if (!node) {
        pasteDocument(document);
        if (!m_alertMessage)
            setLatestImportStatus(StatusLine::lookedUp(textKey("“%@” was no longer in the tree; pasted a copy of it."),
                                                       {document.rootNode.title}));
        return;
    }
    const PastePlace place = pastePlace(nodeID);
    // Without an index move() would keep the node's old sort order.
    const qsizetype index =
        place.index.value_or(qsizetype(m_treeViewModel.projection().siblings(place.parentID).size()));
    if (isAlreadyAt(m_treeViewModel.projection(), *node, place.parentID, index)) {
        select(nodeID);
        return;
    }
    auto command = m_treeViewModel.beginCommand(textKey("Move"), node->title());
    if (failed(m_treeViewModel.move(nodeID, place.parentID, index)))
        return;
    expandDownTo(place.parentID);
    select(nodeID);
    setLatestImportStatus(StatusLine::lookedUp(textKey("Moved “%@”"), {node->title()}));
}

void AppModel::pasteLinks(const ClipboardContent::PastedLinks &links)
{
    auto dump = qScopeGuard([this] { writeStateDump(); });
    if (links.problem) {
        setLatestImportStatus(StatusLine::lookedUp(QString::fromUtf8(links.problem->key), links.problem->values));
        return;
    }
    const QString refused = links.refusedLines.join(QStringLiteral(", "));
    if (links.links.isEmpty()) {
        setLatestImportStatus(
            links.refusedCount > 0
                ? StatusLine::lookedUp(textKey("Nothing was pasted: the copied text holds no web address (%@)."),
                                       {refused})
                : StatusLine::lookedUp(textKey("Nothing was pasted: the clipboard holds no nodes and no web address.")));
        return;
    }
    const PastePlace place = pastePlace();
    const ClipboardContent::PastedLink &first = links.links.front();
    auto command = m_treeViewModel.beginCommand(textKey("Paste"), links.links.size() == 1
                                                                       ? first.title.value_or(first.url)
                                                                       : QString());
    std::optional<qsizetype> index = place.index;
    std::optional<QUuid> firstID;
    for (const auto &link : links.links) {
        auto added = m_treeViewModel.addWebLink(link.url, link.title, place.parentID);
        if (failed(added))
            return;
        if (!firstID)
            firstID = added->id();
        if (index && failed(m_treeViewModel.move(added->id(), place.parentID, (*index)++)))
            return;
    }
    expandDownTo(place.parentID);
    select(firstID);
    const StatusLine pasted =
        StatusLine::lookedUp(textKey("Added %d web link(s)"), {QString::number(links.links.size())});
    if (links.refusedCount == 0)
        setLatestImportStatus(pasted);
    else
        setLatestImportStatus(StatusLine::plain(
            pasted.text + QStringLiteral("; ") +
            formatted(localized("%d line(s) were not web addresses: %@"), {QString::number(links.refusedCount), refused})));
}

} // namespace tarni
