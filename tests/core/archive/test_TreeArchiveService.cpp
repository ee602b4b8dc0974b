#include "TestNodes.h"
#include "archive/TreeArchiveService.h"

#include <gtest/gtest.h>

#include <QSet>

using namespace tarni;
using namespace tarni::testing;

namespace {

const Timestamp kLater = kTestTime + std::chrono::hours(24);
const QUuid kTarget = QUuid::createUuid();

class TreeArchiveServiceTest : public ::testing::Test {
protected:
    TreeArchiveServiceTest()
        : service([this] { return clock; })
    {
        doc = WorkspaceNode(QUuid::createUuid(), kTestWorkspace, work.id(), WorkspaceNodeKind::webLink,
                            QStringLiteral("Doc"), QStringLiteral("sub"), 7, true, QStringLiteral("icon"), kTestTime,
                            kTestTime, kTestTime + std::chrono::seconds(5),
                            NodePayload::webLink(WebLinkTarget{QStringLiteral("https://d.example"), {}}));
        leaf = groupNode(QStringLiteral("Leaf"), doc.id());
        nodes = {work, home, doc, leaf, orphan};
    }

    Timestamp clock = kTestTime;
    TreeArchiveService service;
    WorkspaceNode work = groupNode(QStringLiteral("Work"), std::nullopt, 1);
    WorkspaceNode home = groupNode(QStringLiteral("Home"));
    WorkspaceNode orphan = groupNode(QStringLiteral("Orphan"), QUuid::createUuid());
    WorkspaceNode doc, leaf;
    NodeList nodes;
};

TEST_F(TreeArchiveServiceTest, ExportingASubtreeKeepsRecordsAndOrder)
{
    const auto second = groupNode(QStringLiteral("Second"), work.id(), 9);
    nodes.append(second);
    auto document = service.exportSubtree(work.id(), nodes);
    ASSERT_TRUE(document);
    EXPECT_EQ(document->schemaVersion, 1);
    EXPECT_EQ(document->app, QStringLiteral("TarniBar"));
    EXPECT_EQ(document->exportedAt, kTestTime);
    const auto &root = document->rootNode;
    EXPECT_EQ(root.originalNodeID, work.id());
    EXPECT_EQ(root.title, QStringLiteral("Work"));
    EXPECT_EQ(root.node, work);
    EXPECT_NE(root.id, work.id());
    ASSERT_EQ(root.children.size(), 2u);
    EXPECT_EQ(root.children[0].node, doc);
    EXPECT_EQ(root.children[1].node, second);
    ASSERT_EQ(root.children[0].children.size(), 1u);
    EXPECT_EQ(root.children[0].children[0].originalNodeID, leaf.id());
    EXPECT_TRUE(root.children[0].children[0].children.empty());
}

TEST_F(TreeArchiveServiceTest, UnreachableOrUnknownRootsAreMissing)
{
    for (const QUuid &id : {orphan.id(), QUuid::createUuid()}) {
        auto document = service.exportSubtree(id, nodes);
        ASSERT_FALSE(document);
        EXPECT_EQ(document.error().kind, TreeArchiveError::Kind::missingRoot);
    }
}

TEST_F(TreeArchiveServiceTest, WholeWorkspaceGoesUnderAnAddedRootThatImportSkips)
{
    nodes.append(groupNode(QStringLiteral("Third"), std::nullopt, 5));
    const TreeExport document = service.exportWorkspace(nodes);
    const auto &root = document.rootNode;
    EXPECT_FALSE(root.originalNodeID);
    EXPECT_EQ(root.title, QStringLiteral("Workspace"));
    EXPECT_EQ(root.node.title(), QStringLiteral("Workspace"));
    EXPECT_EQ(root.node.kind(), WorkspaceNodeKind::group);
    ASSERT_EQ(root.children.size(), 3u); // the orphan is not part of it
    EXPECT_EQ(root.children[0].node, home);
    EXPECT_EQ(root.children[1].node, work);
    EXPECT_EQ(root.subtreeSize(), 6u);

    const ImportedTree imported = service.importSubtreeResult(document, kTarget, std::nullopt);
    QList<double> topOrders;
    for (const auto &n : imported.nodes) {
        EXPECT_NE(n.title(), QStringLiteral("Workspace"));
        if (!n.parentID())
            topOrders << n.sortOrder();
    }
    EXPECT_EQ(topOrders, (QList<double>{0, 1, 2}));
    EXPECT_EQ(imported.nodes.size(), 5);

    const TreeExport empty = service.exportWorkspace({});
    EXPECT_TRUE(empty.rootNode.children.empty());
    EXPECT_TRUE(service.importSubtreeResult(empty, kTarget, std::nullopt).nodes.isEmpty());
}

TEST_F(TreeArchiveServiceTest, ImportGivesFreshNodesInPreOrder)
{
    auto document = service.exportSubtree(work.id(), nodes);
    ASSERT_TRUE(document);
    clock = kLater;
    const QUuid parent = QUuid::createUuid();
    const ImportedTree first = service.importSubtreeResult(*document, kTarget, parent);
    const ImportedTree second = service.importSubtreeResult(*document, kTarget, parent);
    ASSERT_EQ(first.nodes.size(), 3);
    EXPECT_EQ(first.nodes[0].title(), QStringLiteral("Work"));
    EXPECT_EQ(first.nodes[2].title(), QStringLiteral("Leaf"));
    EXPECT_EQ(first.nodes[0].parentID(), parent);
    EXPECT_EQ(first.nodes[2].parentID(), first.nodes[1].id());
    EXPECT_EQ(first.nodes[0].sortOrder(), 0.0);
    EXPECT_EQ(second.nodes[0].sortOrder(), 0.0);
    EXPECT_EQ(first.originalToImportedIDs.value(doc.id()), first.nodes[1].id());
    EXPECT_EQ(first.originalToImportedIDs.size(), 3);

    QSet<QUuid> ids;
    for (const auto &n : first.nodes + second.nodes)
        ids.insert(n.id());
    EXPECT_EQ(ids.size(), 6);
    for (const QUuid &old : {work.id(), doc.id(), leaf.id()})
        EXPECT_FALSE(ids.contains(old));

    // Fresh identity, times and place; everything else as in the document.
    WorkspaceNode expected = doc;
    expected.setId(first.nodes[1].id());
    expected.setWorkspaceID(kTarget);
    expected.setParentID(first.nodes[0].id());
    expected.setCreatedAt(kLater);
    expected.setUpdatedAt(kLater);
    expected.setSortOrder(0); // its index, not the 7 it had
    EXPECT_EQ(first.nodes[1], expected);
}

// Chains as deep as a workspace allows: nothing may recurse.
TEST_F(TreeArchiveServiceTest, AChainOfOneHundredThousandNodes)
{
    constexpr int kDepth = 100'000;
    const NodeList chain = groupChain(kDepth);
    auto document = service.exportSubtree(chain[0].id(), chain);
    ASSERT_TRUE(document);
    EXPECT_EQ(document->rootNode.depth(), std::size_t(kDepth));
    const ImportedTree imported = service.importSubtreeResult(*document, kTarget, std::nullopt);
    ASSERT_EQ(imported.nodes.size(), kDepth);
    for (int i = 1; i < kDepth; ++i)
        ASSERT_EQ(imported.nodes[i].parentID(), imported.nodes[i - 1].id()) << i;
    EXPECT_EQ(imported.nodes.last().title(), QStringLiteral("level 99999"));
    const TreeExport whole = service.exportWorkspace(chain);
    EXPECT_EQ(whole.rootNode.depth(), std::size_t(kDepth + 1));
}

} // namespace
