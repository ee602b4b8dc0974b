#include "platform/session/DisplaySession.h"

#include <gtest/gtest.h>

#include <ostream>

using namespace tarni;

namespace {

struct SessionCase {
    const char *name;
    SessionEnvironment environment;
    DisplaySession expected;
};

void PrintTo(const SessionCase &c, std::ostream *os) { *os << c.name; }

class DetectDisplaySession : public ::testing::TestWithParam<SessionCase> {};

TEST_P(DetectDisplaySession, FromTheSessionVariables)
{
    EXPECT_EQ(detectDisplaySession(GetParam().environment), GetParam().expected);
}

// Fields: XDG_SESSION_TYPE, XDG_CURRENT_DESKTOP, WAYLAND_DISPLAY, DISPLAY, SWAYSOCK.
INSTANTIATE_TEST_SUITE_P(
    Sessions, DetectDisplaySession,
    ::testing::Values(
        SessionCase{"X11", {"x11", "XFCE", "", ":0", ""}, DisplaySession::x11},
        SessionCase{"X11WithAnInheritedWaylandSocket", {"x11", "KDE", "wayland-0", ":0", ""}, DisplaySession::x11},
        SessionCase{"UntypedX11", {"", "", "", ":1", ""}, DisplaySession::x11},
        SessionCase{"GnomeWithXWayland", {"wayland", "ubuntu:GNOME", "wayland-0", ":0", ""},
                    DisplaySession::waylandWithXStruts},
        SessionCase{"KdeWithXWayland", {"wayland", "KDE", "wayland-0", ":1", ""}, DisplaySession::waylandWithXStruts},
        SessionCase{"UntypedGnomeJudgedBySocket", {"", "GNOME", "wayland-0", ":0", ""},
                    DisplaySession::waylandWithXStruts},
        SessionCase{"GnomeWithoutXWayland", {"wayland", "GNOME", "wayland-0", "", ""}, DisplaySession::waylandOther},
        SessionCase{"NamedLikeGnomeButNotIt", {"wayland", "GNOME-Flashback-ish", "wayland-0", ":0", ""},
                    DisplaySession::waylandOther},
        SessionCase{"SwayBySocket", {"wayland", "", "wayland-1", ":0", "/run/user/1000/sway-ipc.sock"},
                    DisplaySession::waylandWlroots},
        SessionCase{"SwayByName", {"wayland", "sway", "wayland-1", "", ""}, DisplaySession::waylandWlroots},
        SessionCase{"OtherCompositor", {"wayland", "Hyprland", "wayland-1", ":0", ""}, DisplaySession::waylandOther},
        SessionCase{"Console", {"tty", "", "", "", ""}, DisplaySession::noDisplay},
        SessionCase{"Nothing", {"", "", "", "", ""}, DisplaySession::noDisplay}),
    [](const auto &info) { return std::string(info.param.name); });

struct PlatformCase {
    const char *name;
    DisplaySession session;
    QByteArray userPlatform;
    bool xDisplayAnswers;
    QByteArray expected; // empty: Qt's own choice
    bool docks;          // with the platform Qt then runs on
};

void PrintTo(const PlatformCase &c, std::ostream *os) { *os << c.name; }

class QtPlatformChoice : public ::testing::TestWithParam<PlatformCase> {};

TEST_P(QtPlatformChoice, BeforeTheApplicationExists)
{
    const PlatformCase &c = GetParam();
    const QByteArray chosen = qtPlatformFor(c.session, c.userPlatform, c.xDisplayAnswers);
    EXPECT_EQ(chosen, c.expected);
    const QByteArray running = !chosen.isEmpty() ? chosen
                             : !c.userPlatform.isEmpty() ? c.userPlatform
                             : isWayland(c.session) ? QByteArrayLiteral("wayland") : QByteArrayLiteral("xcb");
    EXPECT_EQ(sidebarDocks(c.session, QString::fromLatin1(running)), c.docks);
}

INSTANTIATE_TEST_SUITE_P(
    Platforms, QtPlatformChoice,
    ::testing::Values(
        PlatformCase{"X11LeftToQt", DisplaySession::x11, "", true, "", true},
        PlatformCase{"GnomeBecomesAnX11Client", DisplaySession::waylandWithXStruts, "", true, "xcb", true},
        PlatformCase{"GnomeWhoseXDisplayIsGone", DisplaySession::waylandWithXStruts, "", false, "", false},
        PlatformCase{"GnomeWhereTheUserChoseWayland", DisplaySession::waylandWithXStruts, "wayland", true, "", false},
        PlatformCase{"SwayStillAnX11Client", DisplaySession::waylandWlroots, "", true, "xcb", false},
        PlatformCase{"OtherWaylandWithoutX", DisplaySession::waylandOther, "", false, "", false},
        PlatformCase{"NoDisplay", DisplaySession::noDisplay, "", false, "", false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SidebarDocks, OnSwayOnlyWhileItsIpcDocksTheSidebar)
{
    EXPECT_FALSE(sidebarDocks(DisplaySession::waylandWlroots, QStringLiteral("xcb")));
    EXPECT_TRUE(sidebarDocks(DisplaySession::waylandWlroots, QStringLiteral("xcb"), true));
    EXPECT_TRUE(sidebarDocks(DisplaySession::waylandWlroots, QStringLiteral("wayland"), true));
    EXPECT_FALSE(sidebarDocks(DisplaySession::waylandOther, QStringLiteral("wayland"), true));
}

} // namespace
