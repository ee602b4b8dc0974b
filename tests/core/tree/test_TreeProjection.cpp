#include "ReferenceTree.h"
#include "TestNodes.h"
#include "tree/TreeNodeBuilder.h"
#include "tree/TreeProjection.h"

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::testing;

namespace {

WorkspaceNode link(const QString &title, const QString &url, std::optional<QUuid> parent = std::nullopt,
                   double order = 0)
{
    WorkspaceNode node = groupNode(title, parent, order);
    node.setKind(WorkspaceNodeKind::webLink);
    node.setPayload(NodePayload::webLink(WebLinkTarget{url, {}}));
    return node;
}

// "title(child,child)" for a quick look at a whole tree.
QString shape(const QList<WorkspaceTreeNode> &trees)
{
    QStringList parts;
    for (const auto &tree : trees) {
        QString part = tree.node.title();
        if (!tree.children.isEmpty())
            part += QLatin1Char('(') + shape(tree.children) + QLatin1Char(')');
        parts << part;
    }
    return parts.join(QLatin1Char(','));
}

QString shownWith(const NodeList &nodes, const QString &query)
{
    TreeProjection projection(nodes);
    projection.setQuery(query);
    const auto tree = projection.displayedTree();
    EXPECT_EQ(tree, referenceDisplayed(nodes, query)) << query.toStdString();
    return shape(tree);
}

TEST(TreeProjection, OrphansAndCyclesAreLeftOut)
{
    const auto root = groupNode(QStringLiteral("root"));
    const auto child = groupNode(QStringLiteral("child"), root.id());
    const auto orphan = groupNode(QStringLiteral("orphan"), QUuid::createUuid());
    const auto belowOrphan = groupNode(QStringLiteral("belowOrphan"), orphan.id());
    auto a = groupNode(QStringLiteral("a"));
    const auto b = groupNode(QStringLiteral("b"), a.id());
    a.setParentID(b.id());
    const NodeList nodes{root, child, orphan, belowOrphan, a, b};
    EXPECT_EQ(shape(TreeNodeBuilder(nodes).build()), QStringLiteral("root(child)"));
    EXPECT_EQ(shownWith(nodes, QStringLiteral("orphan")), QString());
    EXPECT_EQ(shownWith(nodes, QStringLiteral("a")), QString());
    // Still indexed as siblings: adding under the orphan's parent continues its numbers.
    TreeProjection projection(nodes);
    EXPECT_EQ(projection.nextSortOrder(orphan.id()), 1.0);
}

TEST(TreeProjection, RepeatedIdentifiersInACycleStillEnd)
{
    // Two records share one identifier; one is a root, the other sits in a
    // cycle below it. Showing the tree must terminate.
    auto top = groupNode(QStringLiteral("top"));
    auto middle = groupNode(QStringLiteral("middle"), top.id());
    auto twin = groupNode(QStringLiteral("twin"), middle.id());
    twin.setId(top.id());
    const NodeList nodes{top, middle, twin};
    const auto tree = TreeNodeBuilder(nodes).build();
    ASSERT_EQ(tree.size(), 1);
    EXPECT_EQ(shape(tree), QStringLiteral("top(middle(twin))"));
    TreeProjection projection(nodes);
    EXPECT_EQ(projection.firstSlotWithId(top.id()), 0u);
    EXPECT_EQ(projection.descendantSlots(top.id()).size(), 2u);
}

TEST(TreeProjection, SubtreeMembershipClimbsFromEveryRecordOfAnIdentifier)
{
    // "top" is also the identifier of a record below "middle", so "top" lies
    // below "middle" as well as above it.
    const auto top = groupNode(QStringLiteral("top"));
    const auto middle = groupNode(QStringLiteral("middle"), top.id());
    auto twin = groupNode(QStringLiteral("twin"), middle.id());
    twin.setId(top.id());
    const auto orphan = groupNode(QStringLiteral("orphan"), QUuid::createUuid());
    const auto belowOrphan = groupNode(QStringLiteral("belowOrphan"), orphan.id());
    const TreeProjection projection(NodeList{top, middle, twin, orphan, belowOrphan});
    const QUuid unknown = QUuid::createUuid();
    const struct {
        QUuid id;
        QUuid root;
        bool expected;
    } rows[] = {
        {middle.id(), top.id(), true},       {top.id(), middle.id(), true},
        {top.id(), top.id(), true},          {belowOrphan.id(), orphan.id(), true},
        {orphan.id(), belowOrphan.id(), false}, {middle.id(), orphan.id(), false},
        {orphan.id(), top.id(), false},      {unknown, top.id(), false},
        {top.id(), unknown, false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(projection.isInSubtree(row.id, row.root), row.expected) << "row " << &row - rows;
}

// Words in any order, each somewhere in title, subtitle or address. How each
// word folds is the search query's own test; here only that the folded forms
// reach the projection.
TEST(TreeProjection, SearchFindsEveryWordInTitleSubtitleOrAddress)
{
    const auto work = groupNode(QStringLiteral("Work"));
    const auto docs = link(QStringLiteral("Docs"), QStringLiteral("https://docs.example/Guide"), work.id(), 0);
    const auto other = link(QStringLiteral("Other"), QStringLiteral("https://other.example"), work.id(), 1);
    auto withSubtitle = groupNode(QStringLiteral("Plans"), std::nullopt, 1);
    withSubtitle.setSubtitle(QStringLiteral("Quarter Two"));
    auto review = groupNode(QStringLiteral("Design review"), std::nullopt, 7);
    review.setKind(WorkspaceNodeKind::slackThread);
    review.setPayload(NodePayload::slackThread(SlackTarget{QStringLiteral("https://acme.slack.com/archives/C1/p1"),
                                                          QStringLiteral("T1"), QStringLiteral("C1"),
                                                          QStringLiteral("1.1")}));
    const NodeList nodes{work, docs, other, withSubtitle,
                         groupNode(QStringLiteral("Empty Work"), std::nullopt, 2),
                         review,
                         groupNode(QStringLiteral("Cafe\u0301 ガイド"), std::nullopt, 9)};

    struct Case {
        const char *query;
        const char *shape;
    };
    const Case cases[] = {
        {"", "Work(Docs,Other),Plans,Empty Work,Design review,Cafe\u0301 ガイド"},
        {"WORK", "Work,Empty Work"},        // a matching group without matching children stands alone
        {"guide", "Work(Docs)"},            // only in a child's URL: the path down to it
        {"quarter plans", "Plans"},         // across title and subtitle, in any order
        {"review  SLACK\u3000design", "Design review"}, // the address counts; any space separates
        {" ", "Work(Docs,Other),Plans,Empty Work,Design review,Cafe\u0301 ガイド"},
        {"nothing", ""},
        {"guide nothing", ""},
        {"café", "Cafe\u0301 ガイド"},     // composed query, decomposed title
    };
    for (const auto &c : cases)
        EXPECT_EQ(shownWith(nodes, QString::fromUtf8(c.query)), QString::fromUtf8(c.shape)) << c.query;

    // A subtitle that repeats the address, one that does not, and one that
    // repeats it with a trailing space (two spaces then meet between them).
    auto mirror = link(QStringLiteral("Mirror"), QStringLiteral("https://mirror.example/Path"));
    mirror.setSubtitle(QStringLiteral("https://mirror.example/Path"));
    auto renamed = link(QStringLiteral("Renamed"), QStringLiteral("https://renamed.example"), std::nullopt, 1);
    renamed.setSubtitle(QStringLiteral("Old name"));
    auto spaced = link(QStringLiteral("Spaced"), QStringLiteral("https://spaced.example "), std::nullopt, 2);
    spaced.setSubtitle(QStringLiteral("https://spaced.example "));
    const NodeList links{mirror, renamed, spaced};
    const Case linkCases[] = {
        {"PATH mirror", "Mirror"},
        {"example/path https", "Mirror"},
        {"renamed.example old", "Renamed"},
        {" ", "Mirror,Renamed,Spaced"},
        {"  ", "Spaced"},
    };
    for (const auto &c : linkCases)
        EXPECT_EQ(shownWith(links, QString::fromUtf8(c.query)), QString::fromUtf8(c.shape)) << c.query;
}

// Search texts made bit by bit while the list changes must end up as if
// made at once.
TEST(TreeProjection, SearchIndexBuiltInStepsWhileEditing)
{
    NodeList nodes;
    for (int i = 0; i < 300; ++i) {
        std::optional<QUuid> parent;
        if (i > 0 && i % 3)
            parent = nodes[i / 2].id();
        nodes.append(link(QStringLiteral("Item %1").arg(i), QStringLiteral("https://h%1.example").arg(i % 7), parent, i % 5));
    }
    TreeProjection projection(nodes, TreeProjection::SearchIndex::onFirstQuery);
    EXPECT_FALSE(projection.isSearchIndexed());
    EXPECT_FALSE(projection.indexSearchText(100));

    // Edits on both sides of the indexing cursor, removals and additions.
    NodeList current = nodes;
    auto renameAt = [&](int i, const QString &title) {
        current[i].setTitle(title);
        projection.update(projection.firstSlotWithId(current[i].id()), current[i]);
    };
    renameAt(10, QStringLiteral("NEEDLE early"));
    renameAt(250, QStringLiteral("needle late"));
    projection.remove(projection.firstSlotWithId(current[20].id()));
    current.removeAt(20);
    const auto added = link(QStringLiteral("added needle"), QStringLiteral("https://n.example"), current[0].id(), 99);
    projection.append(added);
    current.append(added);
    EXPECT_FALSE(projection.indexSearchText(50));

    for (const char *query : {"needle", "h3", "item 2"}) {
        projection.setQuery(QString::fromUtf8(query));
        EXPECT_TRUE(projection.isSearchIndexed());
        ASSERT_EQ(projection.displayedTree(), referenceDisplayed(current, QString::fromUtf8(query))) << query;
    }
    projection.setQuery(QString());
    EXPECT_TRUE(projection.indexSearchText(1));
}

// A limited search shows the first matches; typing more must still find
// the matches past where it stopped, and an edit made meanwhile.
TEST(TreeProjection, ALimitedSearchShowsTheFirstMatchesAndNarrowsPastWhereItStopped)
{
    NodeList nodes;
    for (int i = 0; i < 20; ++i) {
        const bool beta = i == 2 || i == 15 || i == 18;
        const QString title = i == 3 ? QStringLiteral("gamma 3") : QStringLiteral("alpha%1 %2").arg(beta ? QStringLiteral(" beta") : QString()).arg(i);
        nodes.append(link(title, QStringLiteral("https://h.example"), std::nullopt, i));
    }
    TreeProjection projection(nodes);
    projection.setMatchLimit(5);
    projection.setQuery(QStringLiteral("alpha"));
    EXPECT_TRUE(projection.isMatchLimited());
    EXPECT_EQ(shape(projection.displayedTree()), QStringLiteral("alpha 0,alpha 1,alpha beta 2,alpha 4,alpha 5"));

    projection.setQuery(QStringLiteral("alpha b"));
    EXPECT_FALSE(projection.isMatchLimited());
    EXPECT_EQ(projection.displayedTree(), referenceDisplayed(nodes, QStringLiteral("alpha b")));

    projection.setQuery(QStringLiteral("alpha"));
    EXPECT_TRUE(projection.isMatchLimited());
    nodes[3].setTitle(QStringLiteral("alpha beta 3"));
    projection.update(projection.firstSlotWithId(nodes[3].id()), nodes[3]);
    projection.setQuery(QStringLiteral("alpha be"));
    EXPECT_EQ(projection.displayedTree(), referenceDisplayed(nodes, QStringLiteral("alpha be")));

    projection.setMatchLimit(std::nullopt);
    projection.setQuery(QStringLiteral("alpha"));
    EXPECT_FALSE(projection.isMatchLimited());
    EXPECT_EQ(projection.displayedTree(), referenceDisplayed(nodes, QStringLiteral("alpha")));
}

// 100,000 nested nodes: nothing may recurse on the depth.
TEST(TreeProjection, AChainOfOneHundredThousandNodes)
{
    constexpr int kDepth = 100'000;
    const NodeList chain = groupChain(kDepth);
    TreeProjection projection(chain);
    auto tree = projection.displayedTree();
    ASSERT_EQ(tree.size(), 1);
    EXPECT_EQ(tree[0].subtreeSize(), std::size_t(kDepth));

    projection.setQuery(QStringLiteral("level 99999"));
    auto filtered = projection.displayedTree();
    ASSERT_EQ(filtered.size(), 1);
    EXPECT_EQ(filtered[0].subtreeSize(), std::size_t(kDepth));
    projection.setQuery(QStringLiteral("absent"));
    EXPECT_TRUE(projection.displayedTree().isEmpty());

    const auto copy = tree; // shares, then detaches on write without recursing
    EXPECT_EQ(copy, tree);
    EXPECT_EQ(qHash(copy[0]), qHash(tree[0]));
    tree[0].children[0].node.setTitle(QStringLiteral("changed"));
    EXPECT_FALSE(copy == tree);
    EXPECT_EQ(projection.descendantSlots(chain[0].id()).size(), std::size_t(kDepth - 1));
}

} // namespace
