#include "windowing/WindowGeometry.h"

#include <gtest/gtest.h>

#include <limits>

using namespace tarni;

namespace {

struct ContentCase {
    const char *name;
    QRectF visible;
    double preferred;
    double maxWidth;
    QRectF expected;
};

class ContentRect : public testing::TestWithParam<ContentCase> {};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

} // namespace

TEST_P(ContentRect, SplitsTheVisibleFrame)
{
    const ContentCase &c = GetParam();
    EXPECT_EQ(WindowGeometry::contentRect(c.visible, c.preferred, c.maxWidth), c.expected);
    const QRectF sidebar = WindowGeometry::sidebarRect(c.visible, c.preferred, c.maxWidth);
    EXPECT_EQ(sidebar.topLeft(), c.visible.topLeft());
    EXPECT_EQ(sidebar.height(), c.visible.height());
    if (c.expected.width() > 0) {
        EXPECT_EQ(sidebar.right(), c.expected.left());
    }
}

const ContentCase contentCases[] = {
    ContentCase{"halfWidthCaps", QRectF(0, 0, 1000, 800), 501, 640, QRectF(500, 0, 500, 800)},
    ContentCase{"exactlyHalf", QRectF(0, 0, 1000, 800), 500, 640, QRectF(500, 0, 500, 800)},
    ContentCase{"narrowScreenIgnoresPreference", QRectF(0, 0, 500, 800), 400, 640, QRectF(250, 0, 250, 800)},
    ContentCase{"justUnderTwiceMinimum", QRectF(0, 0, 599, 800), 0, 640, QRectF(299.5, 0, 299.5, 800)},
    ContentCase{"secondMonitorOffset", QRectF(1920, 30, 1280, 994), 310, 640, QRectF(2230, 30, 970, 994)},
    ContentCase{"emptyFrame", QRectF(10, 10, 0, 500), 300, 640, QRectF(10, 10, 0, 500)},
    ContentCase{"invertedFrame", QRectF(10, 10, -50, 500), 300, 640, QRectF(10, 10, 0, 500)},
    ContentCase{"nanPreferenceIsNoPreference", QRectF(0, 0, 1000, 800), kNaN, 640, QRectF(300, 0, 700, 800)},
    ContentCase{"infinitePreferenceIsNoPreference", QRectF(0, 0, 1000, 800), kInf, 640, QRectF(300, 0, 700, 800)},
    ContentCase{"nanMaximumIgnored", QRectF(0, 0, 1000, 800), 450, kNaN, QRectF(450, 0, 550, 800)},
    ContentCase{"negativeMaximumLeavesNoSidebar", QRectF(0, 0, 1000, 800), 450, -5, QRectF(0, 0, 1000, 800)}};

INSTANTIATE_TEST_SUITE_P(
    WindowGeometry, ContentRect, testing::ValuesIn(contentCases),
    [](const testing::TestParamInfo<ContentCase> &info) { return std::string(info.param.name); });

namespace {
struct DifferenceCase {
    const char *name;
    QRectF other;
    bool different;
};
class IsDifferent : public testing::TestWithParam<DifferenceCase> {};
} // namespace

TEST_P(IsDifferent, ComparesEachCoordinateStrictlyAgainstTheTolerance)
{
    const QRectF base(100, 200, 300, 400);
    EXPECT_EQ(isDifferent(base, GetParam().other, 0.5), GetParam().different);
    EXPECT_EQ(isDifferent(GetParam().other, base, 0.5), GetParam().different);
}

const DifferenceCase differenceCases[] = {
    DifferenceCase{"xByHalf", QRectF(100.5, 200, 300, 400), false},
    DifferenceCase{"xOver", QRectF(100.51, 200, 300, 400), true},
    DifferenceCase{"yOver", QRectF(100, 199.49, 300, 400), true},
    DifferenceCase{"widthOver", QRectF(100, 200, 300.51, 400), true},
    DifferenceCase{"heightOver", QRectF(100, 200, 300, 400.51), true},
    DifferenceCase{"allByHalf", QRectF(100.5, 199.5, 300.5, 399.5), false}};

INSTANTIATE_TEST_SUITE_P(WindowGeometry, IsDifferent, testing::ValuesIn(differenceCases),
                         [](const testing::TestParamInfo<DifferenceCase> &info) { return std::string(info.param.name); });
