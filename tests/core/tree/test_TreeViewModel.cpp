#include "FakeWorkspaceStore.h"
#include "RawDatabase.h"
#include "TestNodes.h"
#include "model/SlackURLParser.h"
#include "tree/TreeViewModel.h"

#include "storage/WorkspaceStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::testing;

namespace {

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
    FakeWorkspaceStore store;
    TreeViewModel model;
    Timestamp clock = kTestTime;
};

TEST_F(TreeViewModelTest, AddOperationsTitlesAndPayloads)
{
    struct LinkCase {
        const char *url;
        std::optional<QString> title;
        const char *expected;
    };
    const LinkCase links[] = {
        {"https://docs.example.org/a?b=c", std::nullopt, "docs.example.org"},
        {"https://example.com", QStringLiteral("Named"), "Named"},
    };
    for (const auto &c : links) {
        auto link = model.addWebLink(QString::fromUtf8(c.url), c.title);
        ASSERT_TRUE(link);
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

    // What the entry rules refuse is never added, whichever add it is.
    const qsizetype before = model.nodes().size();
    const QList<std::pair<TreeResult<WorkspaceNode>, EntryProblem>> refused{
        {model.addWebLink(QStringLiteral("not a url")), EntryProblem::notWebAddress},
        {model.addWebLink(QStringLiteral("https://example.com"), QString()), EntryProblem::blankTitle},
        {model.addSlackPermalink(QStringLiteral("https://example.com/archives/C1")), EntryProblem::notSlackAddress},
        {model.addChromeTarget(BrowserTarget{QStringLiteral("chrome://settings"), QStringLiteral("S"), {}, {}, {}}),
         EntryProblem::notWebAddress},
        {model.addFile(QUrl(QStringLiteral("file:relative/path.txt")), false), EntryProblem::notAbsolutePath},
        {model.addGroup(QStringLiteral(" ")), EntryProblem::blankTitle},
    };
    for (const auto &[result, problem] : refused) {
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().entryProblem, problem);
    }
    EXPECT_FALSE(model.rename(thread->id(), QString()));
    EXPECT_EQ(model.nodes().size(), before);

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
}

TEST_F(TreeViewModelTest, ADuplicateGoesAfterItsSiblingsAndComesFirstInTheResult)
{
    // A child that the list holds before its parent (it was moved there).
    const QUuid child = model.addGroup(QStringLiteral("child"))->id();
    const QUuid first = model.addGroup(QStringLiteral("first"))->id();
    ASSERT_TRUE(model.move(child, first));
    for (int i = 0; i < 1500; ++i)
        ASSERT_TRUE(model.addGroup(QStringLiteral("sibling")));

    auto copies = model.duplicateSubtree(first);
    ASSERT_TRUE(copies);
    ASSERT_EQ(copies->size(), 2);
    EXPECT_EQ(copies->first().title(), QStringLiteral("first"));
    const auto top = model.displayedChildren(std::nullopt);
    EXPECT_EQ(top.last().id(), copies->first().id());
    EXPECT_EQ(model.displayedChildren(copies->first().id()).size(), 1);
}

// A node list that was not read completely must never be written back: the
// store would delete every row that is missing from it.
TEST(TreeViewModelLoad, AFailedReadBlocksEveryEditUntilALoadSucceeds)
{
    QTemporaryDir dir;
    const auto path = std::filesystem::path(dir.path().toStdString()) / "workspace.sqlite";
    {
        WorkspaceStore store(path);
        TreeViewModel model(store);
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(model.addGroup(QStringLiteral("g%1").arg(i)));
    }
    auto rows = [&] { return RawDatabase(path).value("SELECT count(*) FROM nodes"); };
    RawDatabase(path).exec("UPDATE nodes SET payload_json = '{' WHERE rowid = (SELECT min(rowid) FROM nodes)");

    WorkspaceStore store(path);
    TreeViewModel model(store);
    EXPECT_FALSE(model.load());
    EXPECT_FALSE(model.isLoaded());
    EXPECT_TRUE(model.workspace());
    EXPECT_FALSE(model.addGroup(QStringLiteral("new")));
    EXPECT_FALSE(model.replaceAllNodes({}));
    EXPECT_FALSE(model.appendNodes({}, std::nullopt));
    EXPECT_EQ(rows(), "5");

    // Once every row reads again, the next edit loads first and then writes.
    RawDatabase(path).exec("DELETE FROM nodes WHERE payload_json = '{'");
    ASSERT_TRUE(model.addGroup(QStringLiteral("new")));
    EXPECT_EQ(rows(), "5");
    EXPECT_EQ(model.nodes().size(), 5);
}

// What another program wrote while the tree was loaded survives the next,
// unrelated edit: the model takes it in first.
TEST(TreeViewModelLoad, AChangeAnotherProgramWroteIsTakenInBeforeTheNextEdit)
{
    QTemporaryDir dir;
    const auto path = std::filesystem::path(dir.path().toStdString()) / "workspace.sqlite";
    WorkspaceStore store(path);
    TreeViewModel model(store);
    const WorkspaceNode a = model.addGroup(QStringLiteral("a")).value();
    const WorkspaceNode b = model.addGroup(QStringLiteral("b")).value();
    RawDatabase raw(path);
    raw.exec("UPDATE nodes SET title = 'outside', payload_json = replace(payload_json, '\"title\":\"a\"', "
             "'\"title\":\"outside\"') WHERE title = 'a'");

    ASSERT_TRUE(model.rename(b.id(), QStringLiteral("b2")));
    EXPECT_EQ(raw.value("SELECT group_concat(title, ',') FROM (SELECT title FROM nodes ORDER BY title)"), "b2,outside");
    EXPECT_EQ(model.node(a.id())->title(), QStringLiteral("outside"));
}

TEST_F(TreeViewModelTest, StoreFailuresAreReportedAndEditsKept)
{
    // An edit loads first; a failed load is reported and changes nothing.
    store.failFetchWorkspace = FakeWorkspaceStore::error();
    auto notLoaded = model.addGroup(QStringLiteral("x"));
    ASSERT_FALSE(notLoaded);
    EXPECT_EQ(notLoaded.error().kind, TreeViewModelError::Kind::store);
    EXPECT_TRUE(model.nodes().isEmpty());
    store.failFetchWorkspace.reset();
    store.failFetchNodes = FakeWorkspaceStore::error();
    EXPECT_FALSE(model.addGroup(QStringLiteral("x")));
    EXPECT_EQ(store.writes, 0u);
    store.failFetchNodes.reset();
    ASSERT_TRUE(model.addGroup(QStringLiteral("A")));
    ASSERT_TRUE(model.addGroup(QStringLiteral("B")));
    ASSERT_TRUE(model.addGroup(QStringLiteral("C")));
    EXPECT_EQ(store.nodes.size(), 3);

    store.failReplaceNodes = FakeWorkspaceStore::error();
    auto added = model.addGroup(QStringLiteral("D"));
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().kind, TreeViewModelError::Kind::store);
    EXPECT_EQ(added.error().storeError->message, QStringLiteral("disk full"));
    EXPECT_EQ(model.nodes().size(), 4);
    EXPECT_EQ(store.nodes.size(), 3);

    store.failReplaceNodes.reset();
    store.failSaveWorkspace = FakeWorkspaceStore::error();
    ASSERT_FALSE(model.rename(model.nodes()[0].id(), QStringLiteral("renamed")));
    EXPECT_EQ(model.nodes()[0].title(), QStringLiteral("renamed"));
    EXPECT_EQ(store.nodes[0].title(), QStringLiteral("A"));

    // The next successful write catches the store up.
    store.failSaveWorkspace.reset();
    ASSERT_TRUE(model.toggleCollapse(model.nodes()[0].id()));
    EXPECT_EQ(store.nodes, model.nodes());
}

TEST_F(TreeViewModelTest, ASearchRightAfterLoadingFindsItsNodes)
{
    store.workspace = Workspace{kTestWorkspace, QStringLiteral("W"), kTestTime, kTestTime};
    for (int i = 0; i < 20'000; ++i)
        store.nodes.append(groupNode(QStringLiteral("node %1").arg(i), std::nullopt, i));
    ASSERT_TRUE(model.load());
    model.setSearchQuery(QStringLiteral("NODE 1999"));
    // Both words, anywhere: 1999, 11999 and 19990 to 19999.
    EXPECT_EQ(titlesUnder(std::nullopt).size(), 12);
}

TEST_F(TreeViewModelTest, SearchTextsAreMadeInIdleTimeAfterLoading)
{
    int argc = 1;
    char name[] = "test";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    store.workspace = Workspace{kTestWorkspace, QStringLiteral("W"), kTestTime, kTestTime};
    for (int i = 0; i < 20'000; ++i)
        store.nodes.append(groupNode(QStringLiteral("node %1").arg(i), std::nullopt, i));
    ASSERT_TRUE(model.load());
    EXPECT_FALSE(model.projection().isSearchIndexed());
    QElapsedTimer waited;
    waited.start();
    while (!model.projection().isSearchIndexed() && waited.elapsed() < 20000)
        QCoreApplication::processEvents();
    EXPECT_TRUE(model.projection().isSearchIndexed());
    model.setSearchQuery(QStringLiteral("node 1999"));
    EXPECT_EQ(titlesUnder(std::nullopt).size(), 12);
}

} // namespace
