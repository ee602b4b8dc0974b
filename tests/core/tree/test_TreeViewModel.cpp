#include "FakeWorkspaceStore.h"
#include "tree/TreeViewModel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::testing;

namespace {

const Timestamp kT0 = Timestamp(std::chrono::seconds(1'700'000'000));

class TreeViewModelTest : public ::testing::Test {
protected:
    TreeViewModelTest()
        : model(store)
    {
        model.setClock([this] { return clock; });
    }

    QStringList titlesUnder(const std::optional<QUuid> &parent) const
    {
        QStringList titles;
        for (const auto &node : model.displayedChildren(parent))
            titles << node.title();
        return titles;
    }
    QList<double> ordersUnder(const std::optional<QUuid> &parent) const
    {
        QList<double> orders;
        for (const auto &node : model.displayedChildren(parent))
            orders << node.sortOrder();
        return orders;
    }
    // Three groups A, B, C under `parent`, numbered 0, 1, 2.
    QList<QUuid> abc(const std::optional<QUuid> &parent = std::nullopt)
    {
        QList<QUuid> ids;
        for (const char *title : {"A", "B", "C"})
            ids << model.addGroup(QString::fromLatin1(title), parent)->id();
        return ids;
    }

    FakeWorkspaceStore store;
    TreeViewModel model;
    Timestamp clock = kT0;
};

TEST_F(TreeViewModelTest, LoadKeepsTheStoredOrderAndNumbers)
{
    const QUuid ws = QUuid::createUuid();
    store.workspace = Workspace{ws, QStringLiteral("Mine"), kT0, kT0};
    WorkspaceNode a(QUuid::createUuid(), ws, std::nullopt, WorkspaceNodeKind::group, QStringLiteral("a"), {}, 7.5,
                    false, {}, kT0, kT0, {}, NodePayload::group());
    WorkspaceNode b(QUuid::createUuid(), ws, std::nullopt, WorkspaceNodeKind::group, QStringLiteral("b"), {}, 2.0,
                    false, {}, kT0, kT0, {}, NodePayload::group());
    store.nodes = {a, b};
    QSignalSpy workspaceSpy(&model, &TreeViewModel::workspaceChanged);
    QSignalSpy nodesSpy(&model, &TreeViewModel::nodesChanged);
    ASSERT_TRUE(model.load());
    EXPECT_EQ(model.workspace()->title, QStringLiteral("Mine"));
    EXPECT_EQ(model.nodes(), (NodeList{a, b}));
    EXPECT_EQ(titlesUnder(std::nullopt), (QStringList{QStringLiteral("b"), QStringLiteral("a")}));
    EXPECT_EQ(store.writes(), 0u);
    EXPECT_EQ(workspaceSpy.count(), 1);
    EXPECT_EQ(nodesSpy.count(), 1);
}

TEST_F(TreeViewModelTest, LoadErrorsPropagateAndEditsLoadFirst)
{
    store.failFetchWorkspace = FakeWorkspaceStore::error();
    auto added = model.addGroup(QStringLiteral("x"));
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().kind, TreeViewModelError::Kind::store);
    EXPECT_TRUE(model.nodes().isEmpty());

    store.failFetchWorkspace.reset();
    ASSERT_TRUE(model.addGroup(QStringLiteral("x")));
    EXPECT_TRUE(model.workspace());
    EXPECT_EQ(store.nodes.size(), 1);
}

TEST_F(TreeViewModelTest, AddingPlacesAfterTheLargestSibling)
{
    const auto parent = model.addGroup(QStringLiteral("P"))->id();
    EXPECT_EQ(model.addGroup(QStringLiteral("first"), parent)->sortOrder(), 0.0);
    // Children at 0, 1 and 5: the next one gets 6.
    NodeList list = model.nodes();
    list.append(WorkspaceNode(QUuid::createUuid(), model.workspace()->id, parent, WorkspaceNodeKind::group,
                              QStringLiteral("one"), {}, 1.0, false, {}, kT0, kT0, {}, NodePayload::group()));
    list.append(WorkspaceNode(QUuid::createUuid(), model.workspace()->id, parent, WorkspaceNodeKind::group,
                              QStringLiteral("five"), {}, 5.0, false, {}, kT0, kT0, {}, NodePayload::group()));
    store.nodes = list;
    ASSERT_TRUE(model.load());
    EXPECT_EQ(model.addGroup(QStringLiteral("six"), parent)->sortOrder(), 6.0);
    EXPECT_EQ(ordersUnder(parent), (QList<double>{0, 1, 5, 6}));
    EXPECT_EQ(store.nodes, model.nodes());
}

TEST_F(TreeViewModelTest, AddOperationsTitlesAndPayloads)
{
    auto group = model.addGroup(QStringLiteral("  Today "));
    ASSERT_TRUE(group);
    EXPECT_EQ(group->title(), QStringLiteral("  Today "));
    EXPECT_EQ(group->payload(), NodePayload::group());
    EXPECT_FALSE(group->subtitle());
    EXPECT_EQ(group->createdAt(), kT0);
    EXPECT_FALSE(group->isCollapsed());
    EXPECT_FALSE(group->iconKey());
    EXPECT_FALSE(group->lastOpenedAt());
    EXPECT_EQ(group->workspaceID(), model.workspace()->id);

    struct LinkCase {
        const char *url;
        std::optional<QString> title;
        const char *expected;
    };
    const LinkCase links[] = {
        {"https://docs.example.org/a?b=c", std::nullopt, "docs.example.org"},
        {"justaword", std::nullopt, "justaword"},
        {"not a url", std::nullopt, "not a url"},
        {"https://example.com", QString(), ""},
        {"https://example.com", QStringLiteral("Named"), "Named"},
    };
    for (const auto &c : links) {
        auto link = model.addWebLink(QString::fromUtf8(c.url), c.title);
        ASSERT_TRUE(link);
        EXPECT_EQ(link->kind(), WorkspaceNodeKind::webLink);
        EXPECT_EQ(link->title(), QString::fromUtf8(c.expected)) << c.url;
        EXPECT_EQ(link->payload(), NodePayload::webLink(WebLinkTarget{QString::fromUtf8(c.url), std::nullopt}));
        EXPECT_EQ(link->subtitle(), QString::fromUtf8(c.url));
    }

    BrowserTarget target{QStringLiteral("https://a.example/x"), QStringLiteral("Tab title"), {},
                         BrowserOpenMode::newTab, RuntimeTabBinding{1, 2}};
    auto tab = model.addChromeTarget(target);
    ASSERT_TRUE(tab);
    EXPECT_EQ(tab->title(), QStringLiteral("Tab title"));
    EXPECT_EQ(tab->payload(), NodePayload::chromeTab(target));

    auto thread = model.addSlackPermalink(QStringLiteral("https://acme.slack.com/archives/C123/p1712345678123456"));
    ASSERT_TRUE(thread);
    EXPECT_EQ(thread->kind(), WorkspaceNodeKind::slackThread);
    EXPECT_EQ(thread->title(), QStringLiteral("C123"));
    EXPECT_EQ(thread->payload().asSlackThread()->messageTS, QStringLiteral("1712345678.123456"));

    auto noChannel = model.addSlackPermalink(QStringLiteral("https://slack.com/?team=T1"));
    ASSERT_TRUE(noChannel);
    EXPECT_EQ(noChannel->title(), QStringLiteral("Slack Thread"));

    auto notSlack = model.addSlackPermalink(QStringLiteral("https://example.com/archives/C1"));
    ASSERT_TRUE(notSlack);
    EXPECT_EQ(notSlack->kind(), WorkspaceNodeKind::webLink);
    EXPECT_EQ(notSlack->title(), QStringLiteral("https://example.com/archives/C1"));
    auto word = model.addSlackPermalink(QStringLiteral("hello there"));
    ASSERT_TRUE(word);
    EXPECT_EQ(word->title(), QStringLiteral("hello there"));
    EXPECT_EQ(word->payload().asWebLink()->url, QStringLiteral("hello there"));

    auto file = model.addFile(QUrl::fromLocalFile(QStringLiteral("/home/me/Notes/plan é.txt")), false);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->kind(), WorkspaceNodeKind::file);
    EXPECT_EQ(file->title(), QStringLiteral("plan é.txt"));
    EXPECT_EQ(file->payload(), NodePayload::file(FileTarget{QStringLiteral("/home/me/Notes/plan é.txt"), std::nullopt}));
    EXPECT_EQ(file->subtitle(), QStringLiteral("/home/me/Notes/plan é.txt"));

    auto folder = model.addFile(QUrl(QStringLiteral("file:///home/me/Notes/")), true);
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->kind(), WorkspaceNodeKind::folder);
    EXPECT_EQ(folder->title(), QStringLiteral("Notes"));
    EXPECT_EQ(folder->payload().asFolder()->path, QStringLiteral("/home/me/Notes"));
    EXPECT_FALSE(folder->payload().asFolder()->bookmarkData);

    // Top-level siblings numbered one after the other.
    EXPECT_EQ(ordersUnder(std::nullopt).size(), model.nodes().size());
    EXPECT_EQ(ordersUnder(std::nullopt).last(), double(model.nodes().size() - 1));
}

TEST_F(TreeViewModelTest, EveryEditPersistsTheWorkspaceThenTheList)
{
    const auto ids = abc();
    store.calls.clear();
    clock = kT0 + std::chrono::seconds(60);
    ASSERT_TRUE(model.rename(ids[0], QStringLiteral(" spaced ")));
    EXPECT_EQ(store.calls, (std::vector<QString>{QStringLiteral("saveWorkspace"), QStringLiteral("replaceNodes")}));
    EXPECT_EQ(store.workspace->updatedAt, clock);
    EXPECT_EQ(store.nodes, model.nodes());
    EXPECT_EQ(model.node(ids[0])->title(), QStringLiteral(" spaced "));
    EXPECT_EQ(model.node(ids[0])->updatedAt(), clock);
    EXPECT_EQ(model.node(ids[0])->sortOrder(), 0.0);

    ASSERT_TRUE(model.toggleCollapse(ids[1]));
    EXPECT_TRUE(store.nodes[1].isCollapsed());
    ASSERT_TRUE(model.toggleCollapse(ids[1]));
    EXPECT_FALSE(store.nodes[1].isCollapsed());

    clock += std::chrono::seconds(5);
    ASSERT_TRUE(model.markNodeOpened(ids[2]));
    EXPECT_EQ(model.node(ids[2])->lastOpenedAt(), clock);
    EXPECT_EQ(model.node(ids[2])->updatedAt(), clock);
    EXPECT_EQ(store.nodes, model.nodes());
}

TEST_F(TreeViewModelTest, UnknownIdentifiersChangeAndWriteNothing)
{
    abc();
    const NodeList before = model.nodes();
    store.calls.clear();
    QSignalSpy nodesSpy(&model, &TreeViewModel::nodesChanged);
    const QUuid unknown = QUuid::createUuid();
    EXPECT_TRUE(model.rename(unknown, QStringLiteral("x")));
    EXPECT_TRUE(model.toggleCollapse(unknown));
    EXPECT_TRUE(model.markNodeOpened(unknown));
    EXPECT_TRUE(model.move(unknown, std::nullopt, 0));
    EXPECT_EQ(store.writes(), 0u);
    EXPECT_EQ(nodesSpy.count(), 0);
    EXPECT_EQ(model.nodes(), before);
    EXPECT_FALSE(model.node(unknown));
    EXPECT_FALSE(model.node(std::nullopt));

    // Delete and duplicate still renumber and write.
    EXPECT_TRUE(model.deleteNode(unknown));
    auto copies = model.duplicateSubtree(unknown);
    ASSERT_TRUE(copies);
    EXPECT_TRUE(copies->isEmpty());
    EXPECT_EQ(store.writes(), 4u);
    EXPECT_EQ(model.nodes(), before);
}

struct MoveCase {
    const char *name;
    std::optional<qsizetype> index;
    const char *expected;
};

class MoveWithinParent : public TreeViewModelTest, public ::testing::WithParamInterface<MoveCase> {};

TEST_P(MoveWithinParent, IndexCountsWithTheMovedNodeTakenOut)
{
    const auto parent = model.addGroup(QStringLiteral("P"))->id();
    const auto ids = abc(parent);
    ASSERT_TRUE(model.move(ids[0], parent, GetParam().index));
    EXPECT_EQ(titlesUnder(parent).join(QString()), QString::fromLatin1(GetParam().expected));
    EXPECT_EQ(ordersUnder(parent), (QList<double>{0, 1, 2}));
    EXPECT_EQ(store.nodes, model.nodes());
}

INSTANTIATE_TEST_SUITE_P(Indexes, MoveWithinParent,
                         ::testing::Values(MoveCase{"absent", std::nullopt, "ABC"}, MoveCase{"negative", -3, "ABC"},
                                           MoveCase{"zero", 0, "ABC"}, MoveCase{"one", 1, "BAC"},
                                           MoveCase{"two", 2, "BCA"}, MoveCase{"end", 3, "BCA"},
                                           MoveCase{"beyond", 99, "BCA"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(TreeViewModelTest, MoveToAnotherParent)
{
    const auto p = model.addGroup(QStringLiteral("P"))->id();
    const auto q = model.addGroup(QStringLiteral("Q"))->id();
    const auto ps = abc(p);
    const auto qs = abc(q);
    clock += std::chrono::seconds(9);
    ASSERT_TRUE(model.move(ps[1], q, 1));
    EXPECT_EQ(titlesUnder(p), (QStringList{QStringLiteral("A"), QStringLiteral("C")}));
    EXPECT_EQ(ordersUnder(p), (QList<double>{0, 1}));
    EXPECT_EQ(titlesUnder(q).join(QString()), QStringLiteral("ABBC"));
    EXPECT_EQ(ordersUnder(q), (QList<double>{0, 1, 2, 3}));
    EXPECT_EQ(model.node(ps[1])->parentID(), q);
    EXPECT_EQ(model.node(ps[1])->updatedAt(), clock);
    // Renumbered nodes keep their updatedAt.
    EXPECT_EQ(model.node(ps[2])->updatedAt(), kT0);

    // Without an index the node sorts by the order it brings along: 1, equal
    // to the moved B's, which comes first in the list.
    ASSERT_TRUE(model.move(ps[2], q, std::nullopt));
    EXPECT_EQ(titlesUnder(q).join(QString()), QStringLiteral("ABCBC"));
    EXPECT_EQ(model.displayedChildren(q)[1].id(), ps[1]);
    EXPECT_EQ(model.displayedChildren(q)[2].id(), ps[2]);

    // To the top level at the front.
    ASSERT_TRUE(model.move(qs[0], std::nullopt, 0));
    EXPECT_EQ(titlesUnder(std::nullopt), (QStringList{QStringLiteral("A"), QStringLiteral("P"), QStringLiteral("Q")}));
    EXPECT_FALSE(model.node(qs[0])->parentID());
    EXPECT_EQ(store.nodes, model.nodes());
}

TEST_F(TreeViewModelTest, MoveUnderItselfOrADescendantIsIgnored)
{
    const auto p = model.addGroup(QStringLiteral("P"))->id();
    const auto child = model.addGroup(QStringLiteral("child"), p)->id();
    const auto grandchild = model.addGroup(QStringLiteral("grandchild"), child)->id();
    const NodeList before = model.nodes();
    store.calls.clear();
    EXPECT_TRUE(model.move(p, p, 0));
    EXPECT_TRUE(model.move(p, child, 0));
    EXPECT_TRUE(model.move(p, grandchild, std::nullopt));
    EXPECT_EQ(model.nodes(), before);
    EXPECT_EQ(store.writes(), 0u);
}

TEST_F(TreeViewModelTest, DeleteRemovesTheSubtreeAndClosesGaps)
{
    const auto ids = abc();
    const auto child = model.addGroup(QStringLiteral("child"), ids[1])->id();
    ASSERT_TRUE(model.addGroup(QStringLiteral("grandchild"), child));
    const auto keep = model.addGroup(QStringLiteral("keep"), ids[2])->id();
    ASSERT_TRUE(model.deleteNode(ids[1]));
    EXPECT_EQ(model.nodes().size(), 3);
    EXPECT_EQ(titlesUnder(std::nullopt), (QStringList{QStringLiteral("A"), QStringLiteral("C")}));
    EXPECT_EQ(ordersUnder(std::nullopt), (QList<double>{0, 1}));
    EXPECT_FALSE(model.node(child));
    EXPECT_TRUE(model.node(keep));
    EXPECT_EQ(store.nodes, model.nodes());
}

TEST_F(TreeViewModelTest, DuplicatePlacesTheCopyAfterItsSiblings)
{
    const auto ids = abc();
    const auto c1 = model.addGroup(QStringLiteral("b1"), ids[1])->id();
    const auto c2 = model.addWebLink(QStringLiteral("https://example.com"), QStringLiteral("b2"), ids[1])->id();
    clock += std::chrono::seconds(30);
    auto copies = model.duplicateSubtree(ids[1]);
    ASSERT_TRUE(copies);
    ASSERT_EQ(copies->size(), 3);
    const auto &top = copies.value()[0];
    EXPECT_NE(top.id(), ids[1]);
    EXPECT_EQ(top.title(), QStringLiteral("B"));
    EXPECT_FALSE(top.parentID());
    EXPECT_EQ(top.sortOrder(), 1001.0); // as returned, before renumbering
    EXPECT_EQ(top.createdAt(), clock);
    for (int i = 1; i < 3; ++i) {
        EXPECT_EQ(copies.value()[i].parentID(), top.id());
        EXPECT_NE(copies.value()[i].id(), c1);
        EXPECT_NE(copies.value()[i].id(), c2);
    }
    EXPECT_EQ(copies.value()[2].payload(), model.node(c2)->payload());
    EXPECT_EQ(titlesUnder(std::nullopt).join(QString()), QStringLiteral("ABCB"));
    EXPECT_EQ(ordersUnder(std::nullopt), (QList<double>{0, 1, 2, 3}));
    EXPECT_EQ(titlesUnder(top.id()), (QStringList{QStringLiteral("b1"), QStringLiteral("b2")}));
    EXPECT_EQ(model.nodes().size(), 8);
    EXPECT_EQ(store.nodes, model.nodes());
}

TEST_F(TreeViewModelTest, ReplaceAllRenumbersWithTiesInListOrder)
{
    ASSERT_TRUE(model.load());
    const QUuid ws = model.workspace()->id;
    auto make = [&](const char *title, double order) {
        return WorkspaceNode(QUuid::createUuid(), ws, std::nullopt, WorkspaceNodeKind::group,
                             QString::fromLatin1(title), {}, order, false, {}, kT0, kT0, {}, NodePayload::group());
    };
    ASSERT_TRUE(model.replaceAllNodes({make("ten", 10), make("first", 3.5), make("second", 3.5)}));
    EXPECT_EQ(titlesUnder(std::nullopt),
              (QStringList{QStringLiteral("first"), QStringLiteral("second"), QStringLiteral("ten")}));
    EXPECT_EQ(store.nodes[0].sortOrder(), 2.0);
    EXPECT_EQ(store.nodes[1].sortOrder(), 0.0);
    EXPECT_EQ(store.nodes[2].sortOrder(), 1.0);
}

TEST_F(TreeViewModelTest, AppendedNodesFollowThePresentChildren)
{
    const auto parent = model.addGroup(QStringLiteral("P"))->id();
    abc(parent);
    const QUuid ws = model.workspace()->id;
    auto make = [&](const char *title, std::optional<QUuid> under, double order) {
        return WorkspaceNode(QUuid::createUuid(), ws, under, WorkspaceNodeKind::group, QString::fromLatin1(title), {},
                             order, false, {}, kT0, kT0, {}, NodePayload::group());
    };
    const auto x = make("X", parent, 0);
    const auto y = make("Y", parent, 1);
    const auto inner = make("inner", x.id(), 0);
    ASSERT_TRUE(model.appendNodes({x, inner, y}, parent));
    EXPECT_EQ(titlesUnder(parent).join(QString()), QStringLiteral("ABCXY"));
    EXPECT_EQ(ordersUnder(parent), (QList<double>{0, 1, 2, 3, 4}));
    EXPECT_EQ(titlesUnder(x.id()), (QStringList{QStringLiteral("inner")}));
    EXPECT_EQ(model.node(inner.id())->sortOrder(), 0.0);
    EXPECT_EQ(store.nodes, model.nodes());
}

TEST_F(TreeViewModelTest, AFailedWriteKeepsTheEditAndReportsIt)
{
    abc();
    store.failReplaceNodes = FakeWorkspaceStore::error();
    auto added = model.addGroup(QStringLiteral("D"));
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().kind, TreeViewModelError::Kind::store);
    EXPECT_EQ(added.error().storeError->message, QStringLiteral("disk full"));
    EXPECT_EQ(model.nodes().size(), 4);
    EXPECT_EQ(store.nodes.size(), 3);

    store.failReplaceNodes.reset();
    store.failSaveWorkspace = FakeWorkspaceStore::error();
    store.calls.clear();
    ASSERT_FALSE(model.rename(model.nodes()[0].id(), QStringLiteral("renamed")));
    EXPECT_EQ(store.calls, (std::vector<QString>{QStringLiteral("saveWorkspace")}));
    EXPECT_EQ(model.nodes()[0].title(), QStringLiteral("renamed"));

    // The next successful write catches the store up.
    store.failSaveWorkspace.reset();
    ASSERT_TRUE(model.toggleCollapse(model.nodes()[0].id()));
    EXPECT_EQ(store.nodes, model.nodes());
}

TEST_F(TreeViewModelTest, SignalsAnnounceEveryChange)
{
    QSignalSpy nodesSpy(&model, &TreeViewModel::nodesChanged);
    QSignalSpy querySpy(&model, &TreeViewModel::searchQueryChanged);
    QSignalSpy updatedSpy(&model, &TreeViewModel::nodeUpdated);
    const auto id = model.addGroup(QStringLiteral("g"))->id();
    EXPECT_EQ(nodesSpy.count(), 2); // load, then the add
    ASSERT_TRUE(model.rename(id, QStringLiteral("h")));
    EXPECT_EQ(updatedSpy.count(), 1);
    EXPECT_EQ(updatedSpy.at(0).at(0).value<QUuid>(), id);
    model.setSearchQuery(QStringLiteral("h"));
    model.setSearchQuery(QStringLiteral("h"));
    EXPECT_EQ(querySpy.count(), 2);
    EXPECT_EQ(model.searchQuery(), QStringLiteral("h"));
}

TEST_F(TreeViewModelTest, SearchTextsAreMadeInIdleTimeAfterLoading)
{
    int argc = 1;
    char name[] = "test";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    const QUuid ws = QUuid::createUuid();
    store.workspace = Workspace{ws, QStringLiteral("W"), kT0, kT0};
    for (int i = 0; i < 20'000; ++i)
        store.nodes.append(WorkspaceNode(QUuid::createUuid(), ws, std::nullopt, WorkspaceNodeKind::group,
                                         QStringLiteral("node %1").arg(i), {}, i, false, {}, kT0, kT0, {},
                                         NodePayload::group()));
    ASSERT_TRUE(model.load());
    EXPECT_FALSE(model.projection().isSearchIndexed());
    EXPECT_EQ(model.displayedChildren(std::nullopt).size(), 20'000);
    QElapsedTimer timer;
    timer.start();
    while (!model.projection().isSearchIndexed() && timer.elapsed() < 10'000)
        QCoreApplication::processEvents();
    EXPECT_TRUE(model.projection().isSearchIndexed());
    model.setSearchQuery(QStringLiteral("NODE 1999"));
    EXPECT_EQ(titlesUnder(std::nullopt).size(), 11); // 1999 and 19990 to 19999
}

TEST_F(TreeViewModelTest, SearchFollowsEdits)
{
    const auto ids = abc();
    const auto child = model.addWebLink(QStringLiteral("https://needle.example"), QStringLiteral("link"), ids[1])->id();
    model.setSearchQuery(QStringLiteral("NEEDLE"));
    EXPECT_EQ(titlesUnder(std::nullopt), (QStringList{QStringLiteral("B")}));
    ASSERT_TRUE(model.move(child, ids[2], std::nullopt));
    EXPECT_EQ(titlesUnder(std::nullopt), (QStringList{QStringLiteral("C")}));
    ASSERT_TRUE(model.rename(ids[0], QStringLiteral("needles")));
    EXPECT_EQ(titlesUnder(std::nullopt), (QStringList{QStringLiteral("needles"), QStringLiteral("C")}));
    ASSERT_TRUE(model.deleteNode(child));
    EXPECT_EQ(titlesUnder(std::nullopt), (QStringList{QStringLiteral("needles")}));
    model.setSearchQuery(QString());
    EXPECT_EQ(titlesUnder(std::nullopt).size(), 3);
}

} // namespace
