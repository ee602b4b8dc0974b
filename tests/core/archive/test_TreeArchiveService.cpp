#include "archive/TreeArchiveService.h"

#include <gtest/gtest.h>

#include <QSet>

using namespace tarni;

namespace {

const Timestamp kT0 = Timestamp(std::chrono::seconds(1'700'000'000));
const Timestamp kLater = kT0 + std::chrono::hours(24);
const QUuid kSource = QUuid::createUuid();
const QUuid kTarget = QUuid::createUuid();

WorkspaceNode node(const QString &title, std::optional<QUuid> parent = std::nullopt, double order = 0)
{
    return WorkspaceNode(QUuid::createUuid(), kSource, parent, WorkspaceNodeKind::group, title, std::nullopt, order,
                         false, std::nullopt, kT0, kT0, std::nullopt, NodePayload::group());
}

class TreeArchiveServiceTest : public ::testing::Test {
protected:
    TreeArchiveServiceTest()
        : service([this] { return clock; })
    {
        work = node(QStringLiteral("Work"), std::nullopt, 1);
        home = node(QStringLiteral("Home"), std::nullopt, 0);
        doc = WorkspaceNode(QUuid::createUuid(), kSource, work.id(), WorkspaceNodeKind::webLink, QStringLiteral("Doc"),
                            QStringLiteral("sub"), 7, true, QStringLiteral("icon"), kT0, kT0, kT0 + std::chrono::seconds(5),
                            NodePayload::webLink(WebLinkTarget{QStringLiteral("https://d.example"), {}}));
        leaf = node(QStringLiteral("Leaf"), doc.id());
        orphan = node(QStringLiteral("Orphan"), QUuid::createUuid());
        nodes = {work, home, doc, leaf, orphan};
    }

    Timestamp clock = kT0;
    TreeArchiveService service;
    WorkspaceNode work, home, doc, leaf, orphan;
    NodeList nodes;
};

TEST_F(TreeArchiveServiceTest, ExportingALeaf)
{
    auto document = service.exportSubtree(leaf.id(), nodes);
    ASSERT_TRUE(document);
    EXPECT_EQ(document->schemaVersion, 1);
    EXPECT_EQ(document->app, QStringLiteral("TarniBar"));
    EXPECT_EQ(document->exportedAt, kT0);
    EXPECT_EQ(document->rootNode.originalNodeID, leaf.id());
    EXPECT_EQ(document->rootNode.title, QStringLiteral("Leaf"));
    EXPECT_EQ(document->rootNode.node, leaf);
    EXPECT_TRUE(document->rootNode.children.empty());
    EXPECT_NE(document->rootNode.id, leaf.id());
}

TEST_F(TreeArchiveServiceTest, ExportingASubtreeKeepsRecordsAndOrder)
{
    const auto second = node(QStringLiteral("Second"), work.id(), 9);
    nodes.append(second);
    auto document = service.exportSubtree(work.id(), nodes);
    ASSERT_TRUE(document);
    const auto &root = document->rootNode;
    ASSERT_EQ(root.children.size(), 2u);
    EXPECT_EQ(root.children[0].node, doc);
    EXPECT_EQ(root.children[1].node, second);
    ASSERT_EQ(root.children[0].children.size(), 1u);
    EXPECT_EQ(root.children[0].children[0].originalNodeID, leaf.id());
}

TEST_F(TreeArchiveServiceTest, UnreachableOrUnknownRootsAreMissing)
{
    for (const QUuid &id : {orphan.id(), QUuid::createUuid()}) {
        auto document = service.exportSubtree(id, nodes);
        ASSERT_FALSE(document);
        EXPECT_EQ(document.error().kind, TreeArchiveError::Kind::missingRoot);
    }
}

TEST_F(TreeArchiveServiceTest, WholeWorkspaceUnderAnAddedRoot)
{
    const TreeExport document = service.exportWorkspace(nodes);
    const auto &root = document.rootNode;
    EXPECT_FALSE(root.originalNodeID);
    EXPECT_EQ(root.title, QStringLiteral("Workspace"));
    EXPECT_EQ(root.node.title(), QStringLiteral("Workspace"));
    EXPECT_EQ(root.node.kind(), WorkspaceNodeKind::group);
    EXPECT_EQ(root.node.workspaceID(), kSource);
    EXPECT_FALSE(root.node.parentID());
    EXPECT_FALSE(root.node.subtitle());
    EXPECT_EQ(root.node.createdAt(), kT0);
    EXPECT_EQ(root.node.payload(), NodePayload::group());
    ASSERT_EQ(root.children.size(), 2u); // the orphan is not part of it
    EXPECT_EQ(root.children[0].node, home);
    EXPECT_EQ(root.children[1].node, work);
    EXPECT_EQ(root.subtreeSize(), 5u);
}

TEST_F(TreeArchiveServiceTest, EmptyWorkspaceExportsAndImportsNothing)
{
    const TreeExport document = service.exportWorkspace({});
    EXPECT_TRUE(document.rootNode.children.empty());
    EXPECT_FALSE(document.rootNode.node.workspaceID().isNull());
    const ImportedTree imported = service.importSubtreeResult(document, kTarget, std::nullopt);
    EXPECT_TRUE(imported.nodes.isEmpty());
    EXPECT_TRUE(imported.originalToImportedIDs.isEmpty());
}

TEST_F(TreeArchiveServiceTest, ExportingTwiceGivesNewEntryIdentifiers)
{
    auto first = service.exportSubtree(work.id(), nodes);
    clock = kLater;
    auto second = service.exportSubtree(work.id(), nodes);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->rootNode.id, second->rootNode.id);
    EXPECT_EQ(first->rootNode.originalNodeID, second->rootNode.originalNodeID);
    EXPECT_EQ(first->rootNode.node, second->rootNode.node);
    EXPECT_EQ(first->rootNode.children[0].node, second->rootNode.children[0].node);
    EXPECT_NE(first->exportedAt, second->exportedAt);
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
    EXPECT_EQ(first.nodes[1].title(), QStringLiteral("Doc"));
    EXPECT_EQ(first.nodes[2].title(), QStringLiteral("Leaf"));
    EXPECT_EQ(first.nodes[0].parentID(), parent);
    EXPECT_EQ(first.nodes[1].parentID(), first.nodes[0].id());
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

    // Fresh identity and times; everything else as in the document.
    const WorkspaceNode &copy = first.nodes[1];
    EXPECT_EQ(copy.workspaceID(), kTarget);
    EXPECT_EQ(copy.createdAt(), kLater);
    EXPECT_EQ(copy.updatedAt(), kLater);
    EXPECT_EQ(copy.lastOpenedAt(), doc.lastOpenedAt());
    EXPECT_TRUE(copy.isCollapsed());
    EXPECT_EQ(copy.iconKey(), QStringLiteral("icon"));
    EXPECT_EQ(copy.subtitle(), QStringLiteral("sub"));
    EXPECT_EQ(copy.payload(), doc.payload());
    EXPECT_EQ(copy.sortOrder(), 0.0); // its index, not the 7 it had
}

TEST_F(TreeArchiveServiceTest, WholeWorkspaceImportSkipsTheAddedRoot)
{
    nodes.append(node(QStringLiteral("Third"), std::nullopt, 5));
    const TreeExport document = service.exportWorkspace(nodes);
    const ImportedTree imported = service.importSubtreeResult(document, kTarget, std::nullopt);
    QList<double> topOrders;
    for (const auto &n : imported.nodes) {
        EXPECT_NE(n.title(), QStringLiteral("Workspace"));
        if (!n.parentID())
            topOrders << n.sortOrder();
    }
    EXPECT_EQ(topOrders, (QList<double>{0, 1, 2}));
    EXPECT_EQ(imported.nodes.size(), 5);
}

// Chains as deep as a workspace allows: nothing may recurse.
TEST_F(TreeArchiveServiceTest, AChainOfOneHundredThousandNodes)
{
    constexpr int kDepth = 100'000;
    NodeList chain;
    chain.reserve(kDepth);
    std::optional<QUuid> parent;
    for (int i = 0; i < kDepth; ++i) {
        chain.append(node(QStringLiteral("n%1").arg(i), parent));
        parent = chain.last().id();
    }
    auto document = service.exportSubtree(chain[0].id(), chain);
    ASSERT_TRUE(document);
    EXPECT_EQ(document->rootNode.depth(), std::size_t(kDepth));
    const ImportedTree imported = service.importSubtreeResult(*document, kTarget, std::nullopt);
    ASSERT_EQ(imported.nodes.size(), kDepth);
    for (int i = 1; i < kDepth; ++i)
        ASSERT_EQ(imported.nodes[i].parentID(), imported.nodes[i - 1].id()) << i;
    EXPECT_EQ(imported.nodes.last().title(), QStringLiteral("n99999"));
    const TreeExport whole = service.exportWorkspace(chain);
    EXPECT_EQ(whole.rootNode.depth(), std::size_t(kDepth + 1));
}

} // namespace
