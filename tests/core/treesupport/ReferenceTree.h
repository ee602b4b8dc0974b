#pragma once

// Straightforward versions of the tree algorithms, written as plainly as
// possible (rebuild everything, recurse, scan the whole list). Tests compare
// the engine's incremental results with these on small trees.

#include "model/NodeList.h"
#include "tree/WorkspaceTreeNode.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <map>
#include <optional>

namespace tarni::testing {

inline QString parentText(const WorkspaceNode &node)
{
    return node.parentID() ? node.parentID()->toString(QUuid::WithoutBraces).toUpper() : QString();
}

inline QList<WorkspaceTreeNode> referenceChildren(const std::optional<QUuid> &parentID,
                                                   const QHash<QString, NodeList> &grouped, int depth)
{
    QList<WorkspaceTreeNode> result;
    if (depth > 200) // only cycles through repeated identifiers get here
        return result;
    NodeList group = grouped.value(parentID ? parentID->toString(QUuid::WithoutBraces).toUpper() : QString());
    std::stable_sort(group.begin(), group.end(),
                     [](const WorkspaceNode &a, const WorkspaceNode &b) { return a.sortOrder() < b.sortOrder(); });
    for (const auto &node : group)
        result.append(WorkspaceTreeNode(node, referenceChildren(node.id(), grouped, depth + 1)));
    return result;
}

inline QList<WorkspaceTreeNode> referenceBuild(const NodeList &nodes)
{
    NodeList sorted = nodes;
    std::stable_sort(sorted.begin(), sorted.end(), [](const WorkspaceNode &a, const WorkspaceNode &b) {
        if (a.parentID() == b.parentID())
            return a.sortOrder() < b.sortOrder();
        return parentText(a) < parentText(b);
    });
    QHash<QString, NodeList> grouped;
    for (const auto &node : sorted)
        grouped[parentText(node)].append(node);
    return referenceChildren(std::nullopt, grouped, 0);
}

// Whole strings at a time: lower-cased, decomposed with the compatibility
// mappings, lower-cased again, Latin, Greek and Cyrillic accents dropped.
inline QString referenceFold(const QString &text)
{
    const QString decomposed = text.toLower().normalized(QString::NormalizationForm_KD).toLower();
    QString result;
    for (const char32_t c : decomposed.toUcs4()) {
        const bool accent = (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF)
                            || (c >= 0x1DC0 && c <= 0x1DFF) || (c >= 0x20D0 && c <= 0x20FF)
                            || (c >= 0xFE20 && c <= 0xFE2F);
        if (!accent)
            result += QString::fromUcs4(&c, 1);
    }
    return result;
}

// Every white-space separated word of the query in the text; a query of
// white space only matches as it is.
inline bool referenceMatches(const QString &text, const QString &query)
{
    const QString folded = referenceFold(text);
    QStringList words{QString()};
    for (const QChar c : query) {
        if (!c.isSpace())
            words.last() += c;
        else if (!words.last().isEmpty())
            words.append(QString());
    }
    words.removeAll(QString());
    if (words.isEmpty())
        return folded.contains(referenceFold(query));
    return std::all_of(words.begin(), words.end(),
                       [&](const QString &word) { return folded.contains(referenceFold(word)); });
}

inline QString referenceSearchText(const WorkspaceNode &node)
{
    QStringList parts{node.title()};
    if (node.subtitle())
        parts << *node.subtitle();
    const auto &payload = node.payload();
    if (auto *tab = payload.asChromeTab())
        parts << tab->url;
    else if (auto *link = payload.asWebLink())
        parts << link->url;
    else if (auto *slack = payload.asSlackThread())
        parts << slack->permalinkURL;
    else if (auto *file = payload.asFileTarget())
        parts << file->path;
    return parts.join(QLatin1Char(' '));
}

inline std::optional<WorkspaceTreeNode> referenceFilter(const WorkspaceTreeNode &tree, const QString &query)
{
    QList<WorkspaceTreeNode> children;
    for (const auto &child : tree.children) {
        if (auto kept = referenceFilter(child, query))
            children.append(*kept);
    }
    const bool matches = referenceMatches(referenceSearchText(tree.node), query);
    if (!matches && children.isEmpty())
        return std::nullopt;
    return WorkspaceTreeNode(tree.node, children);
}

inline QList<WorkspaceTreeNode> referenceDisplayed(const NodeList &nodes, const QString &query)
{
    const auto tree = referenceBuild(nodes);
    if (query.isEmpty())
        return tree;
    QList<WorkspaceTreeNode> result;
    for (const auto &root : tree) {
        if (auto kept = referenceFilter(root, query))
            result.append(*kept);
    }
    return result;
}

// The editing rules on a plain list: every renumbering sorts every group.
struct ReferenceEditor {
    NodeList nodes;

    qsizetype indexOf(const QUuid &id) const
    {
        for (qsizetype i = 0; i < nodes.size(); ++i)
            if (nodes[i].id() == id)
                return i;
        return -1;
    }

    double nextSortOrder(const std::optional<QUuid> &parentID) const
    {
        std::optional<double> best;
        for (const auto &node : nodes)
            if (node.parentID() == parentID)
                best = std::max(best.value_or(node.sortOrder()), node.sortOrder());
        return best ? *best + 1.0 : 0.0;
    }

    QSet<QUuid> descendantIDs(const QUuid &id) const
    {
        QSet<QUuid> result;
        QList<QUuid> pending{id};
        while (!pending.isEmpty()) {
            const QUuid current = pending.takeLast();
            for (const auto &node : nodes) {
                if (node.parentID() == current && !result.contains(node.id())) {
                    result.insert(node.id());
                    pending.append(node.id());
                }
            }
        }
        return result;
    }

    void normalize(const std::optional<QUuid> &overriding = std::nullopt, const std::optional<QUuid> &moved = std::nullopt,
                   std::optional<qsizetype> desiredIndex = std::nullopt)
    {
        QList<std::optional<QUuid>> parents;
        for (const auto &node : nodes)
            if (!parents.contains(node.parentID()))
                parents.append(node.parentID());
        for (const auto &parent : parents) {
            QList<qsizetype> members;
            for (qsizetype i = 0; i < nodes.size(); ++i)
                if (nodes[i].parentID() == parent)
                    members.append(i);
            std::stable_sort(members.begin(), members.end(),
                             [&](qsizetype a, qsizetype b) { return nodes[a].sortOrder() < nodes[b].sortOrder(); });
            if (parent == overriding && moved && desiredIndex) {
                auto it = std::find_if(members.begin(), members.end(),
                                       [&](qsizetype i) { return nodes[i].id() == *moved; });
                if (it != members.end()) {
                    const qsizetype index = *it;
                    members.erase(it);
                    members.insert(std::clamp<qsizetype>(*desiredIndex, 0, members.size()), index);
                }
            }
            for (qsizetype k = 0; k < members.size(); ++k)
                if (nodes[members[k]].sortOrder() != double(k))
                    nodes[members[k]].setSortOrder(double(k));
        }
    }
};

} // namespace tarni::testing
