#include "FakeWorkspaceStore.h"
#include "tree/InspectorViewModel.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::testing;

namespace {

TEST(SelectionCoordinator, StartsEmptyAndAnnouncesEverySelect)
{
    SelectionCoordinator selection;
    EXPECT_FALSE(selection.selectedNodeID());
    QSignalSpy spy(&selection, &SelectionCoordinator::selectedNodeIDChanged);
    const QUuid id = QUuid::createUuid();
    selection.select(id);
    selection.select(id);
    selection.select(std::nullopt);
    EXPECT_EQ(spy.count(), 3);
    EXPECT_FALSE(selection.selectedNodeID());
}

TEST(InspectorViewModel, ResolvesTheSelectionOnEveryRead)
{
    FakeWorkspaceStore store;
    TreeViewModel tree(store);
    SelectionCoordinator selection;
    InspectorViewModel inspector(tree, selection);
    EXPECT_FALSE(inspector.selectedNode());

    const auto node = tree.addGroup(QStringLiteral("Today")).value();
    selection.select(node.id());
    EXPECT_EQ(inspector.selectedNode()->title(), QStringLiteral("Today"));
    ASSERT_TRUE(tree.rename(node.id(), QStringLiteral("Tomorrow")));
    EXPECT_EQ(inspector.selectedNode()->title(), QStringLiteral("Tomorrow"));

    ASSERT_TRUE(tree.deleteNode(node.id()));
    EXPECT_EQ(selection.selectedNodeID(), node.id()); // stale, and read as none
    EXPECT_FALSE(inspector.selectedNode());
    EXPECT_STREQ(InspectorViewModel::kNoSelectionText, "Select a node to inspect it.");
}

TEST(InspectorViewModel, RenamesTheSelectedNodeExactlyAsTyped)
{
    FakeWorkspaceStore store;
    TreeViewModel tree(store);
    SelectionCoordinator selection;
    InspectorViewModel inspector(tree, selection);
    const auto node = tree.addGroup(QStringLiteral("Today")).value();

    store.calls.clear();
    ASSERT_TRUE(inspector.renameSelectedNode(QStringLiteral("ignored")));
    EXPECT_EQ(store.writes(), 0u);
    selection.select(QUuid::createUuid());
    ASSERT_TRUE(inspector.renameSelectedNode(QStringLiteral("ignored")));
    EXPECT_EQ(store.writes(), 0u);

    selection.select(node.id());
    ASSERT_TRUE(inspector.renameSelectedNode(QStringLiteral("  padded")));
    EXPECT_EQ(store.nodes[0].title(), QStringLiteral("  padded"));
    ASSERT_TRUE(inspector.renameSelectedNode(QString()));
    EXPECT_EQ(tree.node(node.id())->title(), QString());

    store.failReplaceNodes = FakeWorkspaceStore::error();
    auto failed = inspector.renameSelectedNode(QStringLiteral("x"));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, TreeViewModelError::Kind::store);
}

} // namespace
