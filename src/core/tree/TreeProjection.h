#pragma once

#include "model/NodeList.h"
#include "tree/SearchQuery.h"
#include "tree/WorkspaceTreeNode.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tarni {

// The flat node list indexed as a tree, kept up to date edit by edit.
//
// Every node lives in a slot. Slots are grouped by parent identifier; each
// group keeps its members in display order (ascending sortOrder, ties in list
// order), so the children of a node, the next sort order under a parent and
// the renumbering of a sibling group never need the whole list. Each slot
// also keeps its folded search text (see SearchQuery), so a change of the
// search query only compares text.
//
// "List order" is the order of the caller's flat list: nodes are appended at
// its end and removed from anywhere, which never reorders the others, so a
// sequence number handed out on append is enough to break ties.
class TreeProjection {
public:
    using SlotId = std::uint32_t;
    static constexpr SlotId kNoSlot = ~SlotId(0);

    // When the folded search texts are made: all at once, or as far as
    // the queries need them (and bit by bit through indexSearchText()).
    enum class SearchIndex { build, onFirstQuery };

    TreeProjection();
    explicit TreeProjection(const NodeList &nodes, SearchIndex search = SearchIndex::build);

    // Replaces everything; slot i holds nodes[i].
    void reset(const NodeList &nodes, SearchIndex search = SearchIndex::build);
    // Adds a node after every other one in list order.
    SlotId append(const WorkspaceNode &node);
    void remove(SlotId slot);
    // Replaces the record of a slot; its place in list order stays.
    void update(SlotId slot, const WorkspaceNode &node);

    std::size_t size() const { return m_liveCount; }
    const WorkspaceNode &node(SlotId slot) const { return m_nodes[slot]; }
    // The first node in list order with this identifier, or kNoSlot.
    SlotId firstSlotWithId(const QUuid &id) const;
    // Every node with this identifier (one, unless identifiers repeat).
    std::vector<SlotId> slotsWithId(const QUuid &id) const;
    // Position in list order relative to the other slots.
    std::uint64_t sequence(SlotId slot) const { return m_seq[slot]; }

    // Every node whose parentID is `parentID` (reachable or not), in display
    // order; absent means the top level.
    const std::vector<SlotId> &siblings(const std::optional<QUuid> &parentID) const;
    // One more than the largest sortOrder under `parentID`; 0 for none.
    double nextSortOrder(const std::optional<QUuid> &parentID) const;
    // Every slot below the nodes with identifier `id`, following parent links
    // (not the node itself). Each group is visited once, so cycles end.
    std::vector<SlotId> descendantSlots(const QUuid &id) const;
    // Whether a node with identifier `id` is `rootID` or lies below it.
    // Walks parent links upwards, so it costs the depth, not the subtree;
    // cycles end.
    bool isInSubtree(const QUuid &id, const QUuid &rootID) const;
    // How many nodes the top level reaches through parent links; the rest
    // are unreachable (their parent is missing, or they form a cycle).
    std::size_t reachableCount() const;

    // Sets sortOrder 0, 1, 2, ... in display order in every sibling group
    // that does not already have exactly those values. In the group of
    // `overridingParentID`, `movedNodeID` is first taken out and put back at
    // `desiredIndex` (clamped), when both are given and it is a member.
    // Returns the slots whose record changed.
    std::vector<SlotId> renumber(const std::optional<QUuid> &overridingParentID = std::nullopt,
                                 const std::optional<QUuid> &movedNodeID = std::nullopt,
                                 std::optional<qsizetype> desiredIndex = std::nullopt);

    // Takes every sibling group as numbered the way it stands, so that
    // renumber() touches only the groups changed from here on. For a list
    // that holds only part of the tree, whose groups may be incomplete.
    void acceptNumbering();

    // The search filter. Empty shows everything; otherwise a node is shown
    // when its search text holds every word of the query (SearchQuery), or a
    // descendant's does.
    void setQuery(const QString &query);
    const SearchQuery &searchQuery() const { return m_search; }
    // Makes the search texts of up to `maxNodes` more nodes; true when every
    // node has its text, so the work can be spread over several turns.
    bool indexSearchText(std::size_t maxNodes);
    bool isSearchIndexed() const { return m_searchIndexed; }
    const QString &query() const { return m_query; }
    bool isFiltering() const { return !m_query.isEmpty(); }
    bool isDisplayed(SlotId slot) const;
    // Caps how many matching nodes a query shows: the first `limit` found,
    // in slot order, with their ancestors. Past it the search stops looking,
    // so a keystroke in a very large tree costs what it shows rather than a
    // test of every text. None (the default) shows every match.
    void setMatchLimit(std::optional<std::size_t> limit);
    // Whether the query matches more nodes than the limit lets it show.
    bool isMatchLimited() const { return isFiltering() && m_matchLimited; }
    // Whether the node's own text matches the query (not only a descendant's).
    bool matchesQuery(SlotId slot) const { return isFiltering() && slot < m_matches.size() && m_matches[slot]; }

    // The displayed children of `parentID` (absent: the top level), in
    // display order, filtered.
    QList<WorkspaceNode> displayedChildren(const std::optional<QUuid> &parentID) const;
    std::vector<SlotId> displayedChildSlots(const std::optional<QUuid> &parentID) const;
    // The whole displayed tree as nested values (one linear pass).
    QList<WorkspaceTreeNode> displayedTree() const;

    // Slot-level walking for views that keep their own row bookkeeping.
    // The children of `slot` (kNoSlot: the top level), unfiltered, in
    // display order. When identifiers repeat, only the first node with an
    // identifier has the children: every slot then has at most one parent.
    const std::vector<SlotId> &childSlots(SlotId slot) const;
    // !childSlots(slot).empty(), without reading the group of a node that
    // has no children (most nodes): walks over the whole tree stay in
    // small per-slot arrays.
    bool hasChildSlots(SlotId slot) const;
    bool isLive(SlotId slot) const { return slot < m_live.size() && m_live[slot]; }
    // isDisplayed() for every slot at once, for walks over the whole tree:
    // null while nothing is filtered. Valid until the next change.
    const std::uint8_t *displayedFlags() const;
    // One past the largest slot ever handed out.
    std::size_t slotCapacity() const { return m_nodes.size(); }

    // The folded text a query is matched against: title, subtitle and the
    // payload's address, each folded, joined with single spaces.
    static QString searchText(const WorkspaceNode &node);
    // The same text as UTF-8, appended to `out`.
    static void appendSearchText(std::string &out, const WorkspaceNode &node);

private:
    using GroupId = std::uint32_t;
    static constexpr GroupId kNoGroup = ~GroupId(0);

    // Nodes are grouped by identifier: the group of an identifier holds the
    // children of the node(s) with that identifier, and the node(s) with it.
    struct Group {
        QUuid key;
        bool topLevel = false;
        bool live = false;
        bool normalized = true;
        SlotId firstOwner = kNoSlot;      // first node with this identifier
        std::vector<SlotId> members;      // display order
        mutable std::uint32_t visitMark = 0;
    };

    bool before(SlotId a, SlotId b) const;
    GroupId groupFor(const std::optional<QUuid> &key);
    GroupId findGroup(const std::optional<QUuid> &key) const;
    void releaseIfUnused(GroupId group);
    void insertMember(GroupId group, SlotId slot);
    void removeMember(GroupId group, SlotId slot);
    void addOwner(GroupId group, SlotId slot);
    void removeOwner(GroupId group, SlotId slot);
    template <class F>
    void forEachOwner(GroupId group, F f) const;
    template <class Expand>
    bool walkGroups(GroupId start, Expand expand) const;
    void markDirty(GroupId group);
    void attach(SlotId slot);
    void detach(SlotId slot);
    SlotId newSlot();
    void indexText(SlotId slot);
    void dropText(SlotId slot);
    void compactText();
    bool textMatches(SlotId slot) const;
    void ensureSearchIndex();
    // Tests `candidates` (in slot order), then every slot from `from` on,
    // until the limit is reached; the matches found become the query's.
    void findMatches(const std::vector<SlotId> &candidates, SlotId from);
    // Whether a slot edited during a search may be counted as a match: not
    // when it lies where a limited search stopped looking.
    bool tested(SlotId slot) const { return !m_matchLimited || slot < m_scanEnd; }
    void refreshVisibility() const;

    // Per slot, in parallel arrays so that sorting and searching read
    // little memory.
    std::vector<WorkspaceNode> m_nodes;
    std::vector<std::uint64_t> m_seq;
    std::vector<double> m_order;
    std::vector<GroupId> m_parentGroup;
    std::vector<GroupId> m_ownGroup;
    std::vector<std::uint8_t> m_live;
    std::vector<std::uint8_t> m_matches;
    mutable std::vector<std::uint8_t> m_visible;
    // Folded search texts as UTF-8, one after the other; a changed text
    // is appended anew and the old bytes are garbage until compaction.
    std::string m_text;
    std::vector<std::uint32_t> m_textOffset;
    std::vector<std::uint32_t> m_textLength;
    // SearchQuery::signature() of each text: a query rejects most texts,
    // and decides a word of one letter, without reading the text.
    std::vector<std::uint64_t> m_textSignature;
    std::size_t m_textGarbage = 0;

    std::vector<SlotId> m_freeSlots;
    std::vector<Group> m_groups; // group 0 is the top level
    // The owners after the first, in list order, of the groups whose
    // identifier repeats (rare: kept out of Group, of which there is one
    // per node).
    std::unordered_map<GroupId, std::vector<SlotId>> m_moreOwners;
    std::vector<std::uint8_t> m_groupHasMembers; // per group: !members.empty()
    std::vector<GroupId> m_freeGroups;
    QHash<QUuid, GroupId> m_groupOfId;
    std::vector<GroupId> m_dirtyGroups;
    std::size_t m_liveCount = 0;
    std::size_t m_repeatedIds = 0; // groups with more than one owner
    std::uint64_t m_nextSeq = 0;
    mutable std::uint32_t m_visitMark = 0;

    QString m_query;
    SearchQuery m_search;
    // The matches of the query in slot order, and where the search stopped:
    // every slot below m_scanEnd was tested. Edits keep the flags in
    // m_matches right but not this list (m_matchListCurrent).
    struct Matches {
        std::vector<SlotId> slots;
        SlotId scanEnd = 0;
        bool limited = false;
    };
    std::optional<std::size_t> m_matchLimit;
    std::vector<SlotId> m_matchList;
    SlotId m_scanEnd = 0;
    bool m_matchLimited = false;
    bool m_matchListCurrent = false;
    // The matches of the last few queries, newest last, so that deleting
    // characters again costs a copy instead of a search. Any change of the
    // texts empties it.
    std::vector<std::pair<std::string, Matches>> m_recentMatches;
    bool m_searchIndexed = true;
    std::size_t m_indexCursor = 0; // before completion: slots below it have their text
    bool hasText(SlotId slot) const { return m_searchIndexed || slot < m_indexCursor; }
    mutable bool m_visibilityDirty = false;
    static const std::vector<SlotId> s_noSlots;
};

} // namespace tarni
