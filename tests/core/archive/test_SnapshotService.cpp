// Saving and restoring snapshots on a real store.

#include "archive/SnapshotService.h"
#include "storage/WorkspaceStore.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarni;

namespace {

// Every node a snapshot holds, in no particular order.
NodeList nodesBelowRoot(const WorkspaceSnapshot &snapshot)
{
    NodeList nodes;
    std::vector<const TreeExportNode *> pending{&snapshot.rootNode};
    while (!pending.empty()) {
        const TreeExportNode *entry = pending.back();
        pending.pop_back();
        if (entry != &snapshot.rootNode)
            nodes.append(entry->node);
        for (const TreeExportNode &child : entry->children)
            pending.push_back(&child);
    }
    return nodes;
}

class SnapshotServiceTest : public ::testing::Test {
protected:
    SnapshotServiceTest()
        : store(std::filesystem::path(dir.path().toStdString()) / "workspace.sqlite")
        , tree(store)
        , snapshots(store, tree, archive)
    {
    }

    QStringList titlesUnder(const std::optional<QUuid> &parent) const
    {
        QStringList titles;
        for (const auto &node : tree.displayedChildren(parent))
            titles << node.title();
        return titles;
    }

    QTemporaryDir dir;
    WorkspaceStore store;
    TreeViewModel tree;
    TreeArchiveService archive;
    SnapshotService snapshots;
};

TEST_F(SnapshotServiceTest, AWorkspaceRestoreKeepsThePresentTreeAsASnapshot)
{
    const QUuid a = tree.addGroup(QStringLiteral("A"))->id();
    const QUuid inner = tree.addGroup(QStringLiteral("inner"), a)->id();
    auto saved = snapshots.saveWorkspace(QStringLiteral("Workspace Snapshot"), inner);
    ASSERT_TRUE(saved);
    ASSERT_TRUE(tree.deleteNode(a));
    ASSERT_TRUE(tree.addGroup(QStringLiteral("made after")));

    auto restored = snapshots.restore(*saved, std::nullopt, QStringLiteral("Before restore"));
    ASSERT_TRUE(restored) << restored.error().description().toStdString();
    EXPECT_FALSE(restored->subtree);
    EXPECT_EQ(restored->nodeCount, 2);
    EXPECT_EQ(titlesUnder(std::nullopt), QStringList{QStringLiteral("A")});
    // The selection at the time maps to its copy.
    ASSERT_TRUE(restored->selectNodeID);
    EXPECT_EQ(tree.node(restored->selectNodeID)->title(), QStringLiteral("inner"));

    // What was replaced can be brought back.
    ASSERT_TRUE(restored->safetySnapshot);
    auto undone = snapshots.restore(*restored->safetySnapshot, std::nullopt, QStringLiteral("Before restore"));
    ASSERT_TRUE(undone);
    EXPECT_EQ(titlesUnder(std::nullopt), QStringList{QStringLiteral("made after")});
    EXPECT_EQ(snapshots.list()->size(), 3);
}

TEST_F(SnapshotServiceTest, AWorkspaceRestoreWritesOnlyWhatChangedAndUndoesExactly)
{
    const QUuid a = tree.addGroup(QStringLiteral("A"))->id();
    const QUuid a1 = tree.addGroup(QStringLiteral("a1"), a)->id();
    const QUuid a2 = tree.addGroup(QStringLiteral("a2"), a)->id();
    const QUuid b = tree.addGroup(QStringLiteral("B"))->id();
    const NodeList saved = tree.nodes();
    auto snapshot = snapshots.saveWorkspace(QStringLiteral("Workspace Snapshot"), a2);
    ASSERT_TRUE(snapshot);
    ASSERT_TRUE(tree.rename(a1, QStringLiteral("renamed")));
    ASSERT_TRUE(tree.deleteNode(b));
    ASSERT_TRUE(tree.addGroup(QStringLiteral("C"), a));
    auto byID = [](NodeList nodes) {
        std::sort(nodes.begin(), nodes.end(), [](const auto &x, const auto &y) { return x.id() < y.id(); });
        return nodes;
    };
    const NodeList beforeRestore = byID(tree.nodes());

    auto restored = snapshots.restore(*snapshot, std::nullopt, QStringLiteral("Before restore"));
    ASSERT_TRUE(restored) << restored.error().description().toStdString();
    EXPECT_EQ(restored->selectNodeID, a2);
    // The snapshot's nodes are back as themselves; the unchanged ones as they were.
    ASSERT_EQ(tree.nodes().size(), 4);
    for (const WorkspaceNode &node : saved) {
        ASSERT_TRUE(tree.node(node.id())) << node.title().toStdString();
        if (node.id() == a || node.id() == a2)
            EXPECT_EQ(*tree.node(node.id()), node);
        else
            EXPECT_EQ(tree.node(node.id())->title(), node.title());
    }
    // The step holds the renamed, the deleted and the added node only.
    ASSERT_FALSE(tree.history().isEmpty());
    auto step = store.fetchHistoryStep(tree.history().last().sequence);
    ASSERT_TRUE(step);
    EXPECT_EQ(step->before.size(), 2);
    EXPECT_EQ(step->after.size(), 2);
    // The tree as it was is stored whole, the unchanged nodes included
    // (their records taken from the restored snapshot).
    ASSERT_TRUE(restored->safetySnapshot);
    auto safety = store.fetchSnapshot(tree.workspace()->id, restored->safetySnapshot->id);
    ASSERT_TRUE(safety && *safety);
    NodeList kept = nodesBelowRoot(**safety);
    EXPECT_EQ(byID(kept), beforeRestore);

    ASSERT_TRUE(tree.undo());
    EXPECT_EQ(byID(tree.nodes()), beforeRestore);
    TreeViewModel reloaded(store);
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(byID(reloaded.nodes()), beforeRestore);
}

TEST_F(SnapshotServiceTest, TheTreeKeptBeforeARestoreIsWholeWhenTheStoredSnapshotIsNotTheOneRestored)
{
    const QUuid a = tree.addGroup(QStringLiteral("A"))->id();
    ASSERT_TRUE(tree.addGroup(QStringLiteral("B")));
    ASSERT_TRUE(tree.addGroup(QStringLiteral("C")));
    auto first = snapshots.saveWorkspace(QStringLiteral("First"), std::nullopt);
    ASSERT_TRUE(first);
    // Moves B and C one entry on in the next snapshot, changing neither.
    ASSERT_TRUE(tree.addGroup(QStringLiteral("x"), a));
    auto second = snapshots.saveWorkspace(QStringLiteral("Second"), std::nullopt);
    ASSERT_TRUE(second);
    NodeList before = tree.nodes();

    // The first tree under the second one's identifier: its entries are not
    // where the stored shape has them.
    WorkspaceSnapshot stale = *first;
    stale.id = second->id;
    auto restored = snapshots.restore(stale, std::nullopt, QStringLiteral("Before restore"));
    ASSERT_TRUE(restored && restored->safetySnapshot);
    EXPECT_EQ(tree.nodes().size(), 3);
    auto safety = store.fetchSnapshot(tree.workspace()->id, restored->safetySnapshot->id);
    ASSERT_TRUE(safety && *safety);
    NodeList kept = nodesBelowRoot(**safety);
    auto byID = [](NodeList &nodes) {
        std::sort(nodes.begin(), nodes.end(), [](const auto &x, const auto &y) { return x.id() < y.id(); });
    };
    byID(kept);
    byID(before);
    EXPECT_EQ(kept, before);
}

TEST_F(SnapshotServiceTest, ASubtreeRestoreAddsACopyAfterThePresentChildren)
{
    const QUuid a = tree.addGroup(QStringLiteral("A"))->id();
    ASSERT_TRUE(tree.addGroup(QStringLiteral("a1"), a));
    const QUuid parent = tree.addGroup(QStringLiteral("P"))->id();
    ASSERT_TRUE(tree.addGroup(QStringLiteral("p1"), parent));
    ASSERT_TRUE(tree.addGroup(QStringLiteral("p2"), parent));
    auto saved = snapshots.saveSubtree(a);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->title, QStringLiteral("A Snapshot"));

    auto restored = snapshots.restore(*saved, parent, QStringLiteral("unused"));
    ASSERT_TRUE(restored);
    EXPECT_TRUE(restored->subtree);
    EXPECT_FALSE(restored->safetySnapshot);
    EXPECT_EQ(titlesUnder(parent), (QStringList{QStringLiteral("p1"), QStringLiteral("p2"), QStringLiteral("A")}));
    EXPECT_EQ(titlesUnder(std::nullopt), (QStringList{QStringLiteral("A"), QStringLiteral("P")}));
    EXPECT_EQ(tree.node(restored->selectNodeID)->parentID(), parent);

    EXPECT_FALSE(snapshots.saveSubtree(QUuid::createUuid()));
    WorkspaceSnapshot newer = *saved;
    newer.schemaVersion = TreeExport::kSchemaVersion + 1;
    auto refused = snapshots.restore(newer, parent, QStringLiteral("unused"));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().description(), QStringLiteral("This file was made by a newer version of TarniBar (schema 2)"));
    EXPECT_EQ(tree.nodes().size(), 7);
}

// Manual snapshots are never pruned: at the limit a save is refused unless
// its caller allows the oldest to go, and a safety copy exceeds the limit.
TEST_F(SnapshotServiceTest, ManualSnapshotsAtTheLimitGoOnlyWhenTheCallerAllows)
{
    ASSERT_TRUE(tree.addGroup(QStringLiteral("A")));
    RetentionPolicy policy;
    policy.manualLimit = 2;
    snapshots.setRetentionPolicy(policy);
    auto titles = [this] {
        QStringList out;
        const auto listed = snapshots.list();
        for (const WorkspaceSnapshot &snapshot : *listed)
            out.prepend(snapshot.title);
        return out;
    };
    // All in one second: the order saved decides which is the oldest.
    ASSERT_TRUE(snapshots.saveWorkspace(QStringLiteral("one"), std::nullopt));
    ASSERT_TRUE(snapshots.saveAutomatic(SnapshotOrigin::daily, QStringLiteral("daily")));
    ASSERT_TRUE(snapshots.saveWorkspace(QStringLiteral("two"), std::nullopt));
    EXPECT_EQ(snapshots.manualSnapshotsToRemove()->size(), 1);

    auto refused = snapshots.saveWorkspace(QStringLiteral("three"), std::nullopt);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, SnapshotError::Kind::manualLimit);
    EXPECT_TRUE(refused.error().description().contains(QStringLiteral("\"one\""))) << refused.error().description().toStdString();
    EXPECT_EQ(titles(), (QStringList{QStringLiteral("one"), QStringLiteral("daily"), QStringLiteral("two")}));

    ASSERT_TRUE(snapshots.saveSubtree(tree.nodes().first().id(), QStringLiteral("three"), ManualLimit::removeOldest));
    EXPECT_EQ(titles(), (QStringList{QStringLiteral("daily"), QStringLiteral("two"), QStringLiteral("three")}));
    ASSERT_TRUE(snapshots.saveWorkspace(QStringLiteral("safety"), std::nullopt, ManualLimit::exceed));
    EXPECT_EQ(titles().size(), 4);

    // A limit lowered below their number takes every one beyond it.
    policy.manualLimit = 1;
    snapshots.setRetentionPolicy(policy);
    ASSERT_TRUE(snapshots.saveWorkspace(QStringLiteral("last"), std::nullopt, ManualLimit::removeOldest));
    EXPECT_EQ(titles(), (QStringList{QStringLiteral("daily"), QStringLiteral("last")}));
}

} // namespace
