#include "OpeningTestSupport.h"

#include "opening/RestoreCoordinator.h"

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::test;

namespace {

QStringList urlsOf(const NodeList &nodes)
{
    QStringList urls;
    for (const WorkspaceNode &n : nodes)
        urls.append(n.payload().asChromeTab()->url);
    return urls;
}

const RestoreCoordinator coordinator;

TEST(RestoreCoordinator, NothingWithoutAKnownSelectionAndATabAlone)
{
    const WorkspaceNode top = tab(QStringLiteral("top"));
    const NodeList nodes{top, tab(QStringLiteral("child"), top.id())};
    EXPECT_TRUE(coordinator.browserRestorableNodes(std::nullopt, nodes).isEmpty());
    EXPECT_TRUE(coordinator.browserRestorableNodes(QUuid::createUuid(), nodes).isEmpty());
    EXPECT_EQ(urlsOf(coordinator.browserRestorableNodes(top.id(), nodes)), QStringList{QStringLiteral("top")});
}

TEST(RestoreCoordinator, OneStableSortAcrossLevelsAfterADepthFirstWalk)
{
    const WorkspaceNode root = group();
    const WorkspaceNode sub = group(root.id(), 1);
    const WorkspaceNode viaLink = link(QStringLiteral("https://l.example"), root.id(), 3);
    const NodeList nodes{
        root,
        tab(QStringLiteral("top5"), root.id(), 5),
        sub,
        tab(QStringLiteral("nested0"), sub.id(), 0),
        tab(QStringLiteral("a1"), root.id(), 1),
        tab(QStringLiteral("under-link1"), viaLink.id(), 1),
        viaLink,
        tab(QStringLiteral("nested1"), sub.id(), 1),
        group(), // another root's content is not included
    };
    // Equal sortOrder keeps the walk order: root's children in list order,
    // each followed by what is below it.
    EXPECT_EQ(urlsOf(coordinator.browserRestorableNodes(root.id(), nodes)),
              (QStringList{QStringLiteral("nested0"), QStringLiteral("nested1"), QStringLiteral("a1"),
                           QStringLiteral("under-link1"), QStringLiteral("top5")}));
    EXPECT_TRUE(coordinator.browserRestorableNodes(nodes.last().id(), nodes).isEmpty());
}

TEST(RestoreCoordinator, AParentCycleInDamagedDataEnds)
{
    WorkspaceNode a = group();
    WorkspaceNode b = group(a.id());
    a.setParentID(b.id());
    const NodeList nodes{a, b, tab(QStringLiteral("t"), b.id())};
    EXPECT_EQ(urlsOf(coordinator.browserRestorableNodes(a.id(), nodes)), QStringList{QStringLiteral("t")});
}

} // namespace
