// Random edit sequences: the engine's node list, what it hands the store and
// its projection must equal what the plain algorithms give. Duplicates are
// checked by where the copy lands and what it holds.
#include "FakeWorkspaceStore.h"
#include "ReferenceTree.h"
#include "tree/TreeViewModel.h"
#include "model/UnreachableNodes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using namespace tarni;
using namespace tarni::testing;

namespace {

const Timestamp kNow = Timestamp(std::chrono::seconds(1'700'000'000));

const QStringList kTitles{QStringLiteral("Alpha"), QStringLiteral("beta"), QStringLiteral("Émile"),
                          QStringLiteral("émile"), QStringLiteral("日本語メモ"), QStringLiteral("中文笔记"),
                          QStringLiteral("two words"), QStringLiteral("  padded "),
                          QStringLiteral("İstanbul"), QStringLiteral("ΣΟΦΙΑ 😀 Ǆ")};
const QStringList kQueries{QString(), QStringLiteral(" "), QStringLiteral("a"), QStringLiteral("al"),
                           QStringLiteral("alp"), QStringLiteral("É"), QStringLiteral("é"),
                           QStringLiteral("日本"), QStringLiteral("http"), QStringLiteral("example.com/1"),
                           QStringLiteral("zzz"), QStringLiteral("S W"), QStringLiteral("i̇s"),
                           QStringLiteral("σοφ"), QStringLiteral("😀 ǆ"), QStringLiteral("resume"),
                           QStringLiteral("al a"), QStringLiteral("ＡＬ"), QStringLiteral("7"),
                           QStringLiteral("/")};

WorkspaceNode makeNode(const QUuid &workspaceID, std::optional<QUuid> parent, double order, const QString &title,
                       int n)
{
    const auto payload = n % 3 == 0
                             ? NodePayload::group()
                             : NodePayload::webLink(WebLinkTarget{QStringLiteral("https://example.com/%1").arg(n), {}});
    return WorkspaceNode(QUuid::createUuid(), workspaceID, parent,
                         n % 3 == 0 ? WorkspaceNodeKind::group : WorkspaceNodeKind::webLink, title, std::nullopt, order,
                         n % 5 == 0, std::nullopt, kNow, kNow, std::nullopt, payload);
}

class Harness {
public:
    explicit Harness(unsigned seed)
        : rng(seed)
        , model(store)
    {
        model.setClock([this] { return now; });
        const QUuid ws = QUuid::createUuid();
        store.workspace = Workspace{ws, QStringLiteral("Workspace"), kNow, kNow};
        // A messy start: unnumbered orders, ties, an orphan and a cycle.
        NodeList initial;
        for (int i = 0; i < 25; ++i) {
            std::optional<QUuid> parent;
            if (i > 0 && pick(3) != 0)
                parent = initial[pick(initial.size())].id();
            initial.append(makeNode(ws, parent, double(pick(4)) * 1.5, kTitles[pick(kTitles.size())], i));
        }
        initial.append(makeNode(ws, QUuid::createUuid(), 0, QStringLiteral("orphan alpha"), 100));
        auto a = makeNode(ws, std::nullopt, 0, QStringLiteral("cycle a"), 101);
        auto b = makeNode(ws, a.id(), 0, QStringLiteral("cycle b"), 102);
        a.setParentID(b.id());
        initial << a << b;
        store.nodes = initial;
        EXPECT_TRUE(model.load());
        ref.nodes = initial;
        workspaceID = ws;
    }

    qsizetype pick(qsizetype n) { return qsizetype(std::uniform_int_distribution<qsizetype>(0, n - 1)(rng)); }

    QUuid someID()
    {
        if (ref.nodes.isEmpty() || pick(10) == 0)
            return QUuid::createUuid();
        return ref.nodes[pick(ref.nodes.size())].id();
    }
    std::optional<QUuid> someParent()
    {
        if (pick(4) == 0)
            return std::nullopt;
        return someID();
    }

    void step()
    {
        // A new time for every edit, so that each stamp shows which edit made it.
        now += std::chrono::seconds(1);
        switch (pick(11)) {
        case 0:
        case 1: {
            const auto parent = someParent();
            const QString title = kTitles[pick(kTitles.size())];
            auto added = model.addGroup(title, parent);
            ASSERT_TRUE(added);
            const WorkspaceNode expected(added->id(), workspaceID, parent, WorkspaceNodeKind::group, title,
                                         std::nullopt, ref.nextSortOrder(parent), false, std::nullopt, now, now,
                                         std::nullopt, NodePayload::group());
            ASSERT_EQ(added.value(), expected);
            ref.nodes.append(expected);
            break;
        }
        case 2: {
            const auto parent = someParent();
            auto added = model.addWebLink(QStringLiteral("https://example.com/%1").arg(pick(30)), std::nullopt, parent);
            ASSERT_TRUE(added);
            ASSERT_EQ(added->sortOrder(), ref.nextSortOrder(parent));
            ref.nodes.append(added.value());
            break;
        }
        case 3: {
            const QUuid id = someID();
            const QString title = kTitles[pick(kTitles.size())];
            ASSERT_TRUE(model.rename(id, title));
            if (auto i = ref.indexOf(id); i >= 0) {
                ref.nodes[i].setTitle(title);
                ref.nodes[i].setUpdatedAt(now);
            }
            break;
        }
        case 4: {
            const QUuid id = someID();
            const bool open = pick(2) == 0;
            ASSERT_TRUE(open ? model.markNodeOpened(id) : model.toggleCollapse(id));
            if (auto i = ref.indexOf(id); i >= 0) {
                if (open)
                    ref.nodes[i].setLastOpenedAt(now);
                else
                    ref.nodes[i].setIsCollapsed(!ref.nodes[i].isCollapsed());
                ref.nodes[i].setUpdatedAt(now);
            }
            break;
        }
        case 5:
        case 6: {
            const QUuid id = someID();
            const auto parent = someParent();
            std::optional<qsizetype> index;
            if (pick(3) != 0)
                index = pick(8) - 2;
            // The engine climbs from the parent; the reference walks down from the node.
            const auto i = ref.indexOf(id);
            std::optional<TreeViewModelError::Kind> refusal;
            if (i < 0 || (parent && ref.indexOf(*parent) < 0))
                refusal = TreeViewModelError::Kind::unknownNode;
            else if (parent && (*parent == id || ref.descendantIDs(id).contains(*parent)))
                refusal = TreeViewModelError::Kind::cycle;
            const auto asked = model.canMove(id, parent);
            ASSERT_EQ(asked ? std::optional(asked->kind) : std::nullopt, refusal);
            const auto moved = model.move(id, parent, index);
            ASSERT_EQ(moved ? std::nullopt : std::optional(moved.error().kind), refusal);
            if (refusal)
                break;
            ref.nodes[i].setParentID(parent);
            ref.nodes[i].setUpdatedAt(now);
            ref.normalize(parent, id, index);
            break;
        }
        case 7: {
            const QUuid id = someID();
            ASSERT_TRUE(model.deleteNode(id));
            QSet<QUuid> doomed = ref.descendantIDs(id);
            doomed.insert(id);
            ref.nodes.removeIf([&](const WorkspaceNode &n) { return doomed.contains(n.id()); });
            ref.normalize();
            break;
        }
        case 8: {
            // Checked by what a duplicate must look like, not by how it is made:
            // the copied subtree has the source's shape and records; that the
            // copy's root ends up after its siblings and every group is
            // numbered 0..n-1 is the reference's to check below.
            const QUuid id = someID();
            auto copies = model.duplicateSubtree(id);
            ASSERT_TRUE(copies);
            QSet<QUuid> sources;
            if (ref.indexOf(id) >= 0) {
                sources = ref.descendantIDs(id);
                sources.insert(id);
            }
            ASSERT_EQ(copies->size(), sources.size());
            QSet<QUuid> copyIDs;
            for (const auto &copy : *copies)
                copyIDs.insert(copy.id());
            ASSERT_EQ(copyIDs.size(), copies->size());
            NodeList added;
            for (const auto &node : model.nodes())
                if (copyIDs.contains(node.id()))
                    added.append(node);
            ASSERT_EQ(added.size(), copies->size());
            if (!sources.isEmpty() && !ref.descendantIDs(id).contains(id)) {
                const auto root = std::find_if(added.begin(), added.end(), [&](const WorkspaceNode &n) {
                    return !n.parentID() || !copyIDs.contains(*n.parentID());
                });
                ASSERT_NE(root, added.end());
                ASSERT_EQ(root->parentID(), ref.nodes[ref.indexOf(id)].parentID());
                ASSERT_NO_FATAL_FAILURE(checkSameSubtree(id, ref.nodes, root->id(), added));
            }
            // With the shape checked, the reference takes the copies as they
            // are, behind every sibling, and renumbers like the rest.
            for (auto node : added) {
                node.setSortOrder(node.sortOrder() + 1e9);
                ref.nodes.append(node);
            }
            ref.normalize();
            break;
        }
        case 9: {
            if (pick(4) != 0)
                break;
            NodeList list = ref.nodes;
            std::shuffle(list.begin(), list.end(), rng);
            for (auto &n : list)
                if (pick(3) == 0)
                    n.setSortOrder(double(pick(3)) + 0.5);
            ASSERT_TRUE(model.replaceAllNodes(list));
            ref.nodes = list;
            ref.normalize();
            break;
        }
        default:
            query = kQueries[pick(kQueries.size())];
            model.setSearchQuery(query);
            break;
        }
    }

    static NodeList childrenOf(const std::optional<QUuid> &parent, const NodeList &nodes)
    {
        NodeList children;
        for (const auto &node : nodes)
            if (node.parentID() == parent)
                children.append(node);
        std::stable_sort(children.begin(), children.end(),
                         [](const WorkspaceNode &a, const WorkspaceNode &b) { return a.sortOrder() < b.sortOrder(); });
        return children;
    }

    // The copy has the source's records, apart from identity, place and
    // times, and its children in the same order, all the way down.
    void checkSameSubtree(const QUuid &sourceID, const NodeList &sourceNodes, const QUuid &copyID,
                          const NodeList &copyNodes)
    {
        std::vector<std::pair<QUuid, QUuid>> pending{{sourceID, copyID}};
        while (!pending.empty()) {
            const auto [s, c] = pending.back();
            pending.pop_back();
            const auto source = std::find_if(sourceNodes.begin(), sourceNodes.end(),
                                             [&](const WorkspaceNode &n) { return n.id() == s; });
            const auto copy = std::find_if(copyNodes.begin(), copyNodes.end(),
                                           [&](const WorkspaceNode &n) { return n.id() == c; });
            ASSERT_NE(source, sourceNodes.end());
            ASSERT_NE(copy, copyNodes.end());
            ASSERT_EQ(copy->createdAt(), now);
            ASSERT_EQ(copy->updatedAt(), now);
            WorkspaceNode expected = *source;
            expected.setId(copy->id());
            expected.setParentID(copy->parentID());
            expected.setSortOrder(copy->sortOrder());
            expected.setCreatedAt(now);
            expected.setUpdatedAt(now);
            ASSERT_EQ(*copy, expected);
            const NodeList sourceChildren = childrenOf(s, sourceNodes);
            const NodeList copyChildren = childrenOf(c, copyNodes);
            ASSERT_EQ(sourceChildren.size(), copyChildren.size());
            for (qsizetype i = 0; i < sourceChildren.size(); ++i)
                pending.emplace_back(sourceChildren[i].id(), copyChildren[i].id());
        }
    }

    void check()
    {
        ASSERT_EQ(model.nodes(), ref.nodes);
        ASSERT_EQ(store.nodes, ref.nodes);
        const auto expected = referenceDisplayed(ref.nodes, query);
        ASSERT_EQ(model.displayedTree(), expected) << "query \"" << query.toStdString() << '"';
        ASSERT_EQ(model.projection().size() - model.projection().reachableCount(),
                  std::size_t(findUnreachableNodes(ref.nodes).count));
        const TreeProjection &projection = model.projection();
        for (auto slot = TreeProjection::SlotId(0); slot < projection.slotCapacity(); ++slot)
            ASSERT_EQ(projection.hasChildSlots(slot), !projection.childSlots(slot).empty()) << "slot " << slot;
        // The per-parent view the outline reads agrees with the nested value.
        std::vector<std::pair<std::optional<QUuid>, const QList<WorkspaceTreeNode> *>> pending{{std::nullopt, &expected}};
        while (!pending.empty()) {
            auto [parent, children] = pending.back();
            pending.pop_back();
            const auto shown = model.displayedChildren(parent);
            ASSERT_EQ(shown.size(), children->size());
            for (qsizetype i = 0; i < shown.size(); ++i) {
                ASSERT_EQ(shown[i], (*children)[i].node);
                pending.emplace_back((*children)[i].node.id(), &(*children)[i].children);
            }
        }
    }

    std::mt19937 rng;
    FakeWorkspaceStore store;
    TreeViewModel model;
    ReferenceEditor ref;
    QUuid workspaceID;
    QString query;
    Timestamp now = kNow;
};

class TreeViewModelRandomEdits : public ::testing::TestWithParam<unsigned> {};

TEST_P(TreeViewModelRandomEdits, MatchPlainAlgorithms)
{
    Harness h(GetParam());
    ASSERT_NO_FATAL_FAILURE(h.check());
    for (int i = 0; i < 400; ++i) {
        ASSERT_NO_FATAL_FAILURE(h.step()) << "step " << i;
        ASSERT_NO_FATAL_FAILURE(h.check()) << "after step " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TreeViewModelRandomEdits, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u));

} // namespace
