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

// The tabs open in the order the outline shows them: depth first, each
// sibling group by sortOrder with ties in list order, whatever the levels'
// own numbers are.
TEST(RestoreCoordinator, TabsComeInTheOutlinesOrder)
{
    const WorkspaceNode root = group();
    const WorkspaceNode sub = group(root.id(), 0);
    const WorkspaceNode subsub = group(sub.id(), 2);
    const WorkspaceNode viaLink = link(QStringLiteral("https://l.example"), root.id(), 3);
    const WorkspaceNode tied = group(root.id(), 4);
    const NodeList nodes{
        root,
        tab(QStringLiteral("B2"), root.id(), 2),
        tab(QStringLiteral("n8"), sub.id(), 8),
        tab(QStringLiteral("A1"), root.id(), 1),
        sub,
        tab(QStringLiteral("n7"), sub.id(), 7),
        tab(QStringLiteral("under-link"), viaLink.id(), 0),
        subsub,
        tab(QStringLiteral("deep0"), subsub.id(), 0),
        viaLink,
        // Equal sortOrder: the node earlier in the list comes first, with
        // everything below it.
        tab(QStringLiteral("tie-first"), root.id(), 4),
        tied,
        tab(QStringLiteral("tie-child9"), tied.id(), 9),
        tab(QStringLiteral("tie-last"), root.id(), 4),
        group(), // another root's content is not included
    };
    EXPECT_EQ(urlsOf(coordinator.browserRestorableNodes(root.id(), nodes)),
              (QStringList{QStringLiteral("deep0"), QStringLiteral("n7"), QStringLiteral("n8"), QStringLiteral("A1"),
                           QStringLiteral("B2"), QStringLiteral("under-link"), QStringLiteral("tie-first"),
                           QStringLiteral("tie-child9"), QStringLiteral("tie-last")}));
    EXPECT_EQ(urlsOf(coordinator.browserRestorableNodes(sub.id(), nodes)),
              (QStringList{QStringLiteral("deep0"), QStringLiteral("n7"), QStringLiteral("n8")}));
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
