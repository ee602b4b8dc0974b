// Logical to device pixels and back, at the scales Qt is run with.

#include "platform/x11/PixelMapping.h"

#include <gtest/gtest.h>

using namespace tarni;

namespace {

struct Case {
    const char *name;
    double ratio;
    QPoint origin;
    QRectF logical;
    QRect device;
};

void PrintTo(const Case &c, std::ostream *out) { *out << c.name; }

class PixelMappingTest : public testing::TestWithParam<Case> {};

TEST_P(PixelMappingTest, MapsAroundTheScreenOriginAndRoundTripsDeviceEdges)
{
    const Case &c = GetParam();
    const PixelMapping mapping(c.ratio, c.origin);
    EXPECT_EQ(mapping.toDevice(c.logical), c.device);
    const QRectF back = mapping.toLogical(QRectF(c.device));
    EXPECT_EQ(mapping.toDevice(back), c.device);
    // A rectangle starting at a device edge mapped to logical starts there again.
    const double edge = mapping.toLogicalX(c.device.right() + 1);
    EXPECT_EQ(mapping.toDevice(QRectF(edge, back.top(), 10, 10)).left(), c.device.right() + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Scales, PixelMappingTest,
    testing::Values(Case{"Scale1", 1.0, {0, 0}, {0, 0, 320.2, 1000}, {0, 0, 320, 1000}},
                    Case{"Scale1_25", 1.25, {0, 0}, {0, 0, 300, 800}, {0, 0, 375, 1000}},
                    // 300.4 * 1.5 = 450.6: edges rounded, not position and size one by one.
                    Case{"Scale1_5", 1.5, {0, 0}, {300.4, 0, 300.4, 666.67}, {451, 0, 450, 1000}},
                    // A second screen keeps its corner: 1600 device pixels in at scale 2.
                    Case{"SecondScreenScale2", 2.0, {1600, 0}, {1700, 10, 300, 480}, {1800, 20, 600, 960}},
                    Case{"NoRatio", 0.0, {0, 0}, {5, 5, 10, 10}, {5, 5, 10, 10}}),
    [](const testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// Qt rounds a window's position and size one by one; the sidebar's strut
// has to match that, not the rounded edges.
TEST(PixelMappingWindowTest, RoundsLikeQtDoesForWindows)
{
    const PixelMapping mapping(1.5, {0, 0});
    EXPECT_EQ(mapping.windowToDevice(QRect(301, 0, 301, 667)), QRect(452, 0, 452, 1001));
    EXPECT_EQ(mapping.toDevice(QRectF(301, 0, 301, 667)), QRect(452, 0, 451, 1001));
}

} // namespace
