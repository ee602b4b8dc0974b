#include "windowing/WindowReservationManager.h"

#include <QSettings>
#include <QTemporaryDir>

#include <limits>

#include <gtest/gtest.h>

using namespace tarni;

namespace {

class WindowReservation : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_settings = std::make_unique<QSettings>(m_dir.filePath(QStringLiteral("defaults.ini")), QSettings::IniFormat);
        m_manager = std::make_unique<WindowReservationManager>(*m_settings);
    }

    void store(const QString &screen, const QVariant &value)
    {
        m_settings->setValue(WindowReservationManager::settingsKey(screen), value);
    }

    QTemporaryDir m_dir;
    std::unique_ptr<QSettings> m_settings;
    std::unique_ptr<WindowReservationManager> m_manager;
};

struct WidthCase {
    const char *name;
    double screenWidth;
    QVariant stored; // invalid: nothing stored
    double expectedPersisted;
    double expectedSidebar;
};

class PersistedWidth : public WindowReservation, public testing::WithParamInterface<WidthCase> {};

} // namespace

TEST_P(PersistedWidth, DefaultsAndClamps)
{
    const WidthCase &c = GetParam();
    if (c.stored.isValid())
        store(QStringLiteral("DP-1"), c.stored);
    EXPECT_DOUBLE_EQ(m_manager->persistedSidebarWidth(QStringLiteral("DP-1"), c.screenWidth), c.expectedPersisted);
    const ScreenDescription screen{QStringLiteral("DP-1"), QRectF(0, 0, c.screenWidth, 1000)};
    EXPECT_DOUBLE_EQ(m_manager->currentSidebarRect(screen).width(), c.expectedSidebar);
    EXPECT_DOUBLE_EQ(m_manager->currentContentRect(screen).x(), c.expectedSidebar);
    EXPECT_DOUBLE_EQ(m_manager->currentContentRect(screen).width(), c.screenWidth - c.expectedSidebar);
}

const WidthCase widthCases[] = {
    WidthCase{"defaultRaisedToMinimum", 1440, QVariant(), 300, 300},
                    WidthCase{"defaultTwentyPercent", 2000, QVariant(), 400, 400},
                    WidthCase{"defaultCappedAtMaximum", 4000, QVariant(), 640, 640},
                    WidthCase{"defaultOnNarrowScreen", 500, QVariant(), 250, 250},
                    WidthCase{"storedReturnedAsStoredButClamped", 3000, QVariant(900.0), 900, 640},
                    WidthCase{"storedSmallRaised", 1440, QVariant(120.0), 120, 300},
                    WidthCase{"storedKept", 1440, QVariant(412.5), 412.5, 412.5},
                    WidthCase{"storedZeroIsAbsent", 1440, QVariant(0.0), 300, 300},
                    WidthCase{"storedNegativeIsAbsent", 3000, QVariant(-20.0), 600, 600},
                    WidthCase{"storedTextIsAbsent", 3000, QVariant(QStringLiteral("wide")), 600, 600},
                    WidthCase{"storedNanIsAbsent", 3000, QVariant(QStringLiteral("nan")), 600, 600}};

INSTANTIATE_TEST_SUITE_P(
    WindowReservation, PersistedWidth, testing::ValuesIn(widthCases),
    [](const testing::TestParamInfo<WidthCase> &info) { return std::string(info.param.name); });

TEST_F(WindowReservation, WidthsAreStoredClampedPerScreenAndReadByALaterInstance)
{
    m_manager->persistSidebarWidth(1000, QStringLiteral("DP-1"), 1920);
    m_manager->persistSidebarWidth(std::numeric_limits<double>::quiet_NaN(), QStringLiteral("DP-1"), 1920);
    m_manager->persistSidebarWidth(100, QStringLiteral("HDMI-1"), 1280);
    m_settings->sync();

    QSettings reopened(m_dir.filePath(QStringLiteral("defaults.ini")), QSettings::IniFormat);
    EXPECT_DOUBLE_EQ(reopened.value(QStringLiteral("TarniBar.sidebarWidth.DP-1")).toDouble(), 640);
    WindowReservationManager later(reopened);
    EXPECT_DOUBLE_EQ(later.persistedSidebarWidth(QStringLiteral("HDMI-1"), 1280), 300);
    EXPECT_DOUBLE_EQ(later.persistedSidebarWidth(QStringLiteral("DP-2"), 1920), 384);
}

TEST_F(WindowReservation, RectanglesFollowTheVisibleFrameOfTheirScreen)
{
    m_manager->persistSidebarWidth(400, QStringLiteral("HDMI-1"), 1280);
    // A second monitor right of the first, with a panel on top.
    const ScreenDescription screen{QStringLiteral("HDMI-1"), QRectF(1920, 32, 1280, 992)};
    EXPECT_EQ(m_manager->currentSidebarRect(screen), QRectF(1920, 32, 400, 992));
    EXPECT_EQ(m_manager->currentContentRect(screen), QRectF(2320, 32, 880, 992));
}
