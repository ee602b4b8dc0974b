#include "FakeWorkspaceStore.h"
#include "tree/DisplayedTree.h"
#include "tree/TreeViewModel.h"

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::testing;

namespace {

// Writes down every announcement as text, with parents by title.
class Recorder : public DisplayedTree::Listener {
public:
    explicit Recorder(const DisplayedTree &tree) : m_tree(tree) {}
    QStringList calls;

    void aboutToReset() override { calls << QStringLiteral("reset"); }
    void aboutToInsert(DisplayedTree::SlotId parent, int first, int last) override
    {
        calls << QStringLiteral("insert %1 %2-%3").arg(name(parent)).arg(first).arg(last);
    }
    void didInsert() override {}
    void aboutToRemove(DisplayedTree::SlotId parent, int first, int last) override
    {
        calls << QStringLiteral("remove %1 %2-%3").arg(name(parent)).arg(first).arg(last);
    }
    void didRemove() override {}
    void aboutToMove(DisplayedTree::SlotId from, int first, int last, DisplayedTree::SlotId to, int row) override
    {
        calls << QStringLiteral("move %1 %2-%3 to %4 %5").arg(name(from)).arg(first).arg(last).arg(name(to)).arg(row);
    }
    void didMove() override {}
    void nodeChanged(DisplayedTree::SlotId slot) override { calls << QStringLiteral("changed ") + name(slot); }

private:
    QString name(DisplayedTree::SlotId slot) const
    {
        return slot == DisplayedTree::kRoot ? QStringLiteral("top") : m_tree.node(slot).title();
    }
    const DisplayedTree &m_tree;
};

class DisplayedTreeTest : public ::testing::Test {
protected:
    DisplayedTreeTest()
        : model(store)
        , tree(model)
        , recorder(tree)
    {
        EXPECT_TRUE(model.load());
        a = model.addGroup(QStringLiteral("A"))->id();
        b = model.addGroup(QStringLiteral("B"))->id();
        a1 = model.addGroup(QStringLiteral("a1"), a)->id();
        a2 = model.addGroup(QStringLiteral("a2"), a)->id();
        tree.setListener(&recorder);
    }
    FakeWorkspaceStore store;
    TreeViewModel model;
    DisplayedTree tree;
    Recorder recorder;
    QUuid a, b, a1, a2;
};

// While searching, rows appear and vanish with their matches' ancestors; a
// new query resets.
TEST_F(DisplayedTreeTest, FollowsVisibilityWhileSearching)
{
    model.setSearchQuery(QStringLiteral("a1"));
    EXPECT_EQ(recorder.calls, QStringList{QStringLiteral("reset")});
    EXPECT_EQ(tree.childCount(DisplayedTree::kRoot), 1);
    recorder.calls.clear();

    // Moving the only match out of A hides A; the match keeps its row.
    ASSERT_TRUE(model.move(a1, b, std::nullopt));
    EXPECT_EQ(recorder.calls, (QStringList{QStringLiteral("insert top 1-1"), QStringLiteral("move A 0-0 to B 0"),
                                           QStringLiteral("remove top 0-0")}));
    EXPECT_EQ(tree.tree(), model.displayedTree());

    recorder.calls.clear();
    ASSERT_TRUE(model.rename(a2, QStringLiteral("a1 too")));
    EXPECT_EQ(recorder.calls, (QStringList{QStringLiteral("insert top 0-0"), QStringLiteral("insert A 0-0")}));
    EXPECT_EQ(tree.tree(), model.displayedTree());

    // A new query that shows or hides a few rows changes just those; one
    // that matches the same nodes changes nothing.
    recorder.calls.clear();
    model.setSearchQuery(QStringLiteral("A1 TOO"));
    EXPECT_EQ(recorder.calls, QStringList{QStringLiteral("remove top 1-1")});
    EXPECT_EQ(tree.tree(), model.displayedTree());
    recorder.calls.clear();
    model.setSearchQuery(QStringLiteral("too a1"));
    model.setSearchQuery(QStringLiteral("a"));
    EXPECT_EQ(recorder.calls, (QStringList{QStringLiteral("insert top 1-1"), QStringLiteral("insert B 0-0")}));
    EXPECT_EQ(tree.tree(), model.displayedTree());
    // Ending the search starts afresh: a view expands differently then.
    recorder.calls.clear();
    model.setSearchQuery(QString());
    EXPECT_EQ(recorder.calls, QStringList{QStringLiteral("reset")});
}

} // namespace
