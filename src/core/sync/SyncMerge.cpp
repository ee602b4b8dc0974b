#include "sync/SyncMerge.h"

#include "model/JsonEncoding.h"

#include <QCryptographicHash>
#include <QSet>

#include <algorithm>

namespace tarni::sync {

namespace {

std::optional<Timestamp> laterOpening(const std::optional<Timestamp> &a, const std::optional<Timestamp> &b)
{
    if (!a)
        return b;
    if (!b)
        return a;
    return std::max(*a, *b);
}

WorkspaceNode withOpening(WorkspaceNode node, const std::optional<Timestamp> &opened)
{
    if (node.lastOpenedAt() != opened)
        node.edit().lastOpenedAt = opened;
    return node;
}

} // namespace

namespace {

WorkspaceNode::Fields contentFields(const WorkspaceNode &node)
{
    WorkspaceNode::Fields fields = node.fields();
    fields.lastOpenedAt.reset();
    fields.sortOrder = 0;
    fields.workspaceID = QUuid();
    return fields;
}

} // namespace

bool differsInContent(const WorkspaceNode &a, const WorkspaceNode &b)
{
    return a != b && !(contentFields(a) == contentFields(b));
}

std::string contentDigest(const WorkspaceNode &node)
{
    auto text = json::encode(WorkspaceNode(contentFields(node)));
    if (!text)
        return {};
    const QByteArray hash = QCryptographicHash::hash(QByteArrayView(text->data(), qsizetype(text->size())),
                                                     QCryptographicHash::Md5);
    return hash.toHex().toStdString();
}

namespace {

// A version's rank: (content clock or deleted version, deletion above a row,
// clock). None ranks below all.
struct Rank {
    std::optional<SyncClock> content;
    int kind = 0; // 0 a row never sent or received, 1 a row, 2 a deletion
    std::optional<SyncClock> clock;

    std::strong_ordering operator<=>(const Rank &other) const
    {
        if (auto c = content <=> other.content; c != 0)
            return c;
        if (auto c = kind <=> other.kind; c != 0)
            return c;
        return clock <=> other.clock;
    }
};

Rank rankOf(const LocalVersion &local)
{
    if (!local.clock)
        return {};
    return {local.contentClock, local.node ? 1 : 2, local.clock};
}

Rank rankOf(const ChangeRecord &record)
{
    if (record.node())
        return {record.content ? record.content : std::optional(record.clock), 1, record.clock};
    return {record.base, 2, record.clock};
}

} // namespace

MergeOutcome mergeChange(const LocalVersion &local, const ChangeRecord &incoming)
{
    MergeOutcome out;
    const WorkspaceNode *received = incoming.node();
    const bool incomingWins = rankOf(incoming) > rankOf(local);

    if (!incomingWins) {
        out.clock = local.clock;
        out.contentClock = local.contentClock;
        out.deleted = local.clock && !local.node;
        if (local.node && received) {
            // The later opening stamp is kept whichever version wins.
            const auto opened = laterOpening(received->lastOpenedAt(), local.node->lastOpenedAt());
            if (opened != local.node->lastOpenedAt()) {
                out.action = MergeOutcome::Action::write;
                out.node = withOpening(*local.node, opened);
            }
            if (differsInContent(*received, *local.node))
                out.lost = *received;
        }
        return out;
    }

    const Rank rank = rankOf(incoming);
    out.clock = incoming.clock;
    out.contentClock = rank.content;
    if (!received) {
        out.deleted = true;
        if (local.node)
            out.action = MergeOutcome::Action::remove;
        return out;
    }
    out.action = MergeOutcome::Action::write;
    out.node = local.node ? withOpening(*received, laterOpening(received->lastOpenedAt(), local.node->lastOpenedAt()))
                          : *received;
    // A version made from the one here replaces it; only a concurrent one
    // makes it lost.
    if (local.node && local.clock != incoming.base && differsInContent(*received, *local.node)) {
        out.lost = *local.node;
        out.lostLocal = true;
    }
    return out;
}

WorkspaceNode recoveredGroup(const QUuid &workspaceID)
{
    // A name-based id: the same on every machine, whatever its workspace's id.
    static const QUuid kNamespace(QStringLiteral("{5b0f3c52-8f0e-4d7a-9a57-6f1d6c2e7a10}"));
    const QUuid id = QUuid::createUuidV5(kNamespace, QStringLiteral("sync-recovered"));
    // Fixed fields, so that the group two machines make is one record. It
    // sorts after the top level's usual orders.
    constexpr double kSortOrder = 1.0e12;
    const Timestamp epoch{};
    return WorkspaceNode(id, workspaceID, std::nullopt, WorkspaceNodeKind::group, QStringLiteral("Recovered"),
                         std::nullopt, kSortOrder, false, std::nullopt, epoch, epoch, std::nullopt,
                         NodePayload::group());
}

AncestorWalk walkAncestors(const QUuid &start, const ParentLookup &parentOf)
{
    AncestorWalk walk;
    std::vector<QUuid> path;
    QSet<QUuid> seen;
    QUuid current = start;
    for (;;) {
        if (seen.contains(current)) {
            const auto from = std::find(path.begin(), path.end(), current);
            walk.cycle.assign(from, path.end());
            return walk;
        }
        const auto parent = parentOf(current);
        if (!parent) {
            // `current` does not exist: the node below it is an orphan.
            if (!path.empty())
                walk.orphan = path.back();
            return walk;
        }
        seen.insert(current);
        path.push_back(current);
        if (!*parent)
            return walk;
        current = **parent;
    }
}

QUuid cycleBreaker(const std::vector<QUuid> &cycle,
                   const std::function<std::optional<SyncClock>(const QUuid &)> &clockOf)
{
    QUuid best;
    std::optional<SyncClock> bestClock;
    bool first = true;
    for (const QUuid &id : cycle) {
        const auto clock = clockOf(id);
        const bool newer = first || (clock && (!bestClock || *clock > *bestClock)) ||
                           (clock == bestClock && compareDeviceIds(id, best) > 0);
        if (newer) {
            best = id;
            bestClock = clock;
            first = false;
        }
    }
    return best;
}

} // namespace tarni::sync
