#include "ReferenceTree.h"
#include "tree/TreeNodeBuilder.h"
#include "tree/TreeProjection.h"

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::testing;

namespace {

const Timestamp kT0 = Timestamp(std::chrono::seconds(1'700'000'000));
const QUuid kWorkspace = QUuid::createUuid();

WorkspaceNode group(const QString &title, std::optional<QUuid> parent = std::nullopt, double order = 0,
                    bool collapsed = false)
{
    return WorkspaceNode(QUuid::createUuid(), kWorkspace, parent, WorkspaceNodeKind::group, title, std::nullopt, order,
                         collapsed, std::nullopt, kT0, kT0, std::nullopt, NodePayload::group());
}

WorkspaceNode link(const QString &title, const QString &url, std::optional<QUuid> parent = std::nullopt,
                   double order = 0)
{
    return WorkspaceNode(QUuid::createUuid(), kWorkspace, parent, WorkspaceNodeKind::webLink, title, std::nullopt, order,
                         false, std::nullopt, kT0, kT0, std::nullopt, NodePayload::webLink(WebLinkTarget{url, {}}));
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

TEST(TreeProjection, EmptyListGivesAnEmptyTree)
{
    EXPECT_TRUE(TreeNodeBuilder({}).build().isEmpty());
    EXPECT_EQ(shownWith({}, QStringLiteral("x")), QString());
    EXPECT_EQ(TreeProjection().nextSortOrder(std::nullopt), 0.0);
}

TEST(TreeProjection, SiblingsSortByOrderWithTiesInListOrder)
{
    const auto two = group(QStringLiteral("two"), std::nullopt, 2);
    const auto zero = group(QStringLiteral("zero"), std::nullopt, 0);
    const auto one = group(QStringLiteral("one"), std::nullopt, 1);
    EXPECT_EQ(shape(TreeNodeBuilder({two, zero, one}).build()), QStringLiteral("zero,one,two"));

    const auto tieA = group(QStringLiteral("tieA"), std::nullopt, 1);
    const auto tieB = group(QStringLiteral("tieB"), std::nullopt, 1);
    EXPECT_EQ(shape(TreeNodeBuilder({tieB, tieA}).build()), QStringLiteral("tieB,tieA"));
    EXPECT_EQ(shape(TreeNodeBuilder({tieA, tieB}).build()), QStringLiteral("tieA,tieB"));
}

TEST(TreeProjection, OrphansAndCyclesAreLeftOut)
{
    const auto root = group(QStringLiteral("root"));
    const auto child = group(QStringLiteral("child"), root.id());
    const auto orphan = group(QStringLiteral("orphan"), QUuid::createUuid());
    const auto belowOrphan = group(QStringLiteral("belowOrphan"), orphan.id());
    auto a = group(QStringLiteral("a"));
    const auto b = group(QStringLiteral("b"), a.id());
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
    auto top = group(QStringLiteral("top"));
    auto middle = group(QStringLiteral("middle"), top.id());
    auto twin = group(QStringLiteral("twin"), middle.id());
    twin.setId(top.id());
    const NodeList nodes{top, middle, twin};
    const auto tree = TreeNodeBuilder(nodes).build();
    ASSERT_EQ(tree.size(), 1);
    EXPECT_EQ(shape(tree), QStringLiteral("top(middle(twin))"));
    TreeProjection projection(nodes);
    EXPECT_EQ(projection.firstSlotWithId(top.id()), 0u);
    EXPECT_EQ(projection.descendantSlots(top.id()).size(), 2u);
}

TEST(TreeProjection, SearchMatchesTitleSubtitleAndAddress)
{
    const auto work = group(QStringLiteral("Work"));
    const auto docs = link(QStringLiteral("Docs"), QStringLiteral("https://docs.example/Guide"), work.id(), 0);
    const auto other = link(QStringLiteral("Other"), QStringLiteral("https://other.example"), work.id(), 1);
    auto withSubtitle = group(QStringLiteral("Plans"), std::nullopt, 1);
    withSubtitle.setSubtitle(QStringLiteral("Quarter Two"));
    const auto empty = group(QStringLiteral("Empty Work"), std::nullopt, 2);
    const NodeList nodes{work, docs, other, withSubtitle, empty};

    struct Case {
        const char *query;
        const char *shape;
    };
    const Case cases[] = {
        {"", "Work(Docs,Other),Plans,Empty Work"},
        {"WORK", "Work,Empty Work"},        // a matching group without matching children stands alone
        {"guide", "Work(Docs)"},            // only in a child's URL: the path down to it
        {"plans quarter", "Plans"},         // across title and subtitle with the joining space
        {"docs https", "Work(Docs)"},       // across title and address
        {"quarter two", "Plans"},
        {" ", "Work(Docs,Other),Plans,Empty Work"}, // two parts, or a title with a space
        {"nothing", ""},
        {"guide x", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(shownWith(nodes, QString::fromUtf8(c.query)), QString::fromUtf8(c.shape)) << c.query;
}

TEST(TreeProjection, SearchLowerCasesUnicodeAndLeavesOtherScriptsAlone)
{
    const auto accented = group(QStringLiteral("Élan"));
    const auto japanese = group(QStringLiteral("日本語のメモ"), std::nullopt, 1);
    const auto chinese = group(QStringLiteral("中文笔记"), std::nullopt, 2);
    const auto greek = group(QStringLiteral("ΣΟΦΙΑ"), std::nullopt, 3);
    const NodeList nodes{accented, japanese, chinese, greek};
    EXPECT_EQ(shownWith(nodes, QStringLiteral("é")), QStringLiteral("Élan"));
    EXPECT_EQ(shownWith(nodes, QStringLiteral("É")), QStringLiteral("Élan"));
    EXPECT_EQ(shownWith(nodes, QStringLiteral("e")), QString()); // no diacritic folding
    EXPECT_EQ(shownWith(nodes, QStringLiteral("のメモ")), QStringLiteral("日本語のメモ"));
    EXPECT_EQ(shownWith(nodes, QStringLiteral("笔记")), QStringLiteral("中文笔记"));
    EXPECT_EQ(shownWith(nodes, QStringLiteral("σοφ")), QStringLiteral("ΣΟΦΙΑ"));
}

TEST(TreeProjection, CollapsedAncestorsStayCollapsedDuringSearch)
{
    const auto folded = group(QStringLiteral("Folded"), std::nullopt, 0, true);
    const auto inside = link(QStringLiteral("Inside"), QStringLiteral("https://x.example"), folded.id());
    TreeProjection projection({folded, inside});
    projection.setQuery(QStringLiteral("inside"));
    const auto tree = projection.displayedTree();
    ASSERT_EQ(tree.size(), 1);
    EXPECT_TRUE(tree[0].node.isCollapsed());
    ASSERT_EQ(tree[0].children.size(), 1);
    // Building ignores the flag too.
    EXPECT_EQ(shape(TreeNodeBuilder({folded, inside}).build()), QStringLiteral("Folded(Inside)"));
}

TEST(TreeProjection, NarrowingAndWideningTheQueryAgree)
{
    NodeList nodes;
    for (int i = 0; i < 200; ++i) {
        std::optional<QUuid> parent;
        if (i > 0)
            parent = nodes[(i * 7) % i].id();
        nodes.append(link(QStringLiteral("item %1").arg(i), QStringLiteral("https://h%1.example").arg(i % 13), parent, i % 4));
    }
    TreeProjection projection(nodes);
    // Type "h12.", then delete back to "h1", then replace with "item 1".
    for (const char *query : {"h", "h1", "h12", "h12.", "h12", "h1", "", "item 1", "item 19", "ITEM 1"}) {
        projection.setQuery(QString::fromUtf8(query));
        ASSERT_EQ(projection.displayedTree(), referenceDisplayed(nodes, QString::fromUtf8(query))) << query;
    }
}

TEST(TreeProjection, RenumberTouchesOnlyGroupsThatNeedIt)
{
    const auto a = group(QStringLiteral("a"), std::nullopt, 0);
    const auto b = group(QStringLiteral("b"), std::nullopt, 1);
    const auto c1 = group(QStringLiteral("c1"), a.id(), 5);
    const auto c2 = group(QStringLiteral("c2"), a.id(), 5);
    TreeProjection projection({a, b, c1, c2});
    const auto changed = projection.renumber();
    ASSERT_EQ(changed.size(), 2u);
    EXPECT_EQ(projection.node(changed[0]).sortOrder() + projection.node(changed[1]).sortOrder(), 1.0);
    EXPECT_TRUE(projection.renumber().empty());
    // Appending the next number keeps a numbered group numbered.
    const auto slot = projection.append(group(QStringLiteral("c3"), a.id(), projection.nextSortOrder(a.id())));
    EXPECT_EQ(projection.node(slot).sortOrder(), 2.0);
    EXPECT_TRUE(projection.renumber().empty());
    // Removing from the middle leaves a gap to close.
    projection.remove(projection.firstSlotWithId(c1.id()));
    EXPECT_EQ(projection.renumber().size(), 2u);
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

// 100,000 nested nodes: nothing may recurse on the depth.
TEST(TreeProjection, AChainOfOneHundredThousandNodes)
{
    constexpr int kDepth = 100'000;
    NodeList chain;
    chain.reserve(kDepth);
    std::optional<QUuid> parent;
    for (int i = 0; i < kDepth; ++i) {
        chain.append(group(i == kDepth - 1 ? QStringLiteral("needle") : QStringLiteral("level"), parent));
        parent = chain.last().id();
    }
    TreeProjection projection(chain);
    auto tree = projection.displayedTree();
    ASSERT_EQ(tree.size(), 1);
    EXPECT_EQ(tree[0].subtreeSize(), std::size_t(kDepth));

    projection.setQuery(QStringLiteral("needle"));
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
