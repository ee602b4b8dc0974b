#include "FakeWorkspaceStore.h"
#include "tree/InspectorViewModel.h"

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::testing;

namespace {

class InspectorTest : public ::testing::Test {
protected:
    FakeWorkspaceStore store;
    TreeViewModel tree{store};
    SelectionCoordinator selection;
    InspectorViewModel inspector{tree, selection};
};

TEST_F(InspectorTest, ResolvesTheSelectionOnEveryRead)
{
    EXPECT_FALSE(inspector.selectedNode());
    const auto node = tree.addGroup(QStringLiteral("Today")).value();
    selection.select(node.id());
    EXPECT_EQ(inspector.selectedNode()->title(), QStringLiteral("Today"));
    ASSERT_TRUE(tree.rename(node.id(), QStringLiteral("Tomorrow")));
    EXPECT_EQ(inspector.selectedNode()->title(), QStringLiteral("Tomorrow"));

    ASSERT_TRUE(tree.deleteNode(node.id()));
    EXPECT_EQ(selection.selectedNodeID(), node.id()); // stale, and read as none
    EXPECT_FALSE(inspector.selectedNode());
}

TEST_F(InspectorTest, RenamesTheSelectedNodeExactlyAsTyped)
{
    const auto node = tree.addGroup(QStringLiteral("Today")).value();
    // Nothing selected, or a node that is gone: nothing is renamed.
    ASSERT_TRUE(inspector.renameSelectedNode(QStringLiteral("ignored")));
    selection.select(QUuid::createUuid());
    ASSERT_TRUE(inspector.renameSelectedNode(QStringLiteral("ignored")));
    EXPECT_EQ(store.nodes[0].title(), QStringLiteral("Today"));

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
