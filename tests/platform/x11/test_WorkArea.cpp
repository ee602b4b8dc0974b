#include "platform/x11/WorkArea.h"

#include <gtest/gtest.h>

using namespace tarni;

namespace {

// Two monitors side by side: 1920x1080 on the left, 1280x1024 on the right.
const QSize root(3200, 1080);
const QRect leftMonitor(0, 0, 1920, 1080);
const QRect rightMonitor(1920, 0, 1280, 1024);

Strut partial(std::initializer_list<quint32> values)
{
    quint32 v[12] = {};
    std::copy(values.begin(), values.end(), v);
    return Strut::fromPartial(v);
}

struct Case {
    const char *name;
    QRect monitor;
    QList<Strut> struts;
    QRect expected;
};

class VisibleFrame : public testing::TestWithParam<Case> {};

} // namespace

TEST_P(VisibleFrame, SubtractsOnlyTheStrutsThatTouchTheMonitor)
{
    EXPECT_EQ(visibleFrame(GetParam().monitor, root, GetParam().struts), GetParam().expected);
}

const Case cases[] = {
    {"noStruts", leftMonitor, {}, leftMonitor},
    {"leftDockMissesRightMonitor", rightMonitor, {partial({300, 0, 0, 0, 0, 1079})}, rightMonitor},
    {"topPanelOnRightMonitorOnly", leftMonitor, {partial({0, 0, 30, 0, 0, 0, 0, 0, 1920, 3199})}, leftMonitor},
    {"topPanelOnRightMonitor", rightMonitor, {partial({0, 0, 30, 0, 0, 0, 0, 0, 1920, 3199})},
     QRect(1920, 30, 1280, 994)},
    // The right monitor is shorter: a bottom panel on the left monitor
    // reserves 40 pixels from the root's bottom edge, which never reaches it.
    {"bottomPanelOnTallerMonitor", leftMonitor, {partial({0, 0, 0, 40, 0, 0, 0, 0, 0, 0, 0, 1919})},
     QRect(0, 0, 1920, 1040)},
    {"bottomPanelDoesNotShortenNeighbour", rightMonitor, {partial({0, 0, 0, 40, 0, 0, 0, 0, 0, 0, 0, 1919})},
     rightMonitor},
    {"rightDockOnRightMonitor", rightMonitor, {partial({0, 64, 0, 0, 0, 0, 0, 1023})}, QRect(1920, 0, 1216, 1024)},
    {"fullStrutSpansEverything", rightMonitor, {Strut::fromFull(0, 0, 25, 0, root)}, QRect(1920, 25, 1280, 999)},
    {"widestOfTwoLeftDocks", leftMonitor, {partial({200, 0, 0, 0, 0, 1079}), partial({260, 0, 0, 0, 0, 500})},
     QRect(260, 0, 1660, 1080)},
    {"absurdStrutLeavesNothing", leftMonitor, {partial({0xFFFFFFFF, 0, 0, 0, 0, 1079})}, QRect(0, 0, 0, 0)},
    {"emptySpanIgnored", leftMonitor, {partial({300, 0, 0, 0, 900, 100})}, leftMonitor},
};

INSTANTIATE_TEST_SUITE_P(WorkArea, VisibleFrame, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// GNOME's top bar on Wayland is seen only in the work area, which also
// leaves out our own sidebar on the left: only its top and bottom count.
TEST(WorkAreaEdges, TakeTheShellsPanelsButNotTheSidebarNorAnotherMonitorsEdge)
{
    const QRect monitor(0, 0, 1280, 800);
    const QRect frame(0, 0, 1280, 800);
    EXPECT_EQ(withWorkAreaEdges(frame, monitor, QRect(300, 32, 980, 768)), QRect(0, 32, 1280, 768));
    EXPECT_EQ(withWorkAreaEdges(frame, monitor, QRect(300, 0, 980, 760)), QRect(0, 0, 1280, 760));
    // A work area right of this monitor, or one that leaves nothing, changes nothing.
    EXPECT_EQ(withWorkAreaEdges(frame, monitor, QRect(1280, 32, 1920, 1048)), frame);
    EXPECT_EQ(withWorkAreaEdges(QRect(0, 40, 1280, 760), monitor, QRect(0, 20, 1280, 780)), QRect(0, 40, 1280, 760));
}
