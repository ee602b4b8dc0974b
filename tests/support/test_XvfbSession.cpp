#include "XvfbSession.h"

#include <gtest/gtest.h>

#include <csignal>

using tarni::test::XvfbSession;

// The fixture every X11 test stands on: it must give a usable display with a
// window manager, and must not leave processes behind.
TEST(XvfbSession, StartsServerAndWindowManagerAndStopsThemByPid)
{
    QString error;
    pid_t server = -1, wm = -1;
    {
        auto session = XvfbSession::start(&error);
        ASSERT_TRUE(session) << error.toStdString();
        EXPECT_TRUE(session->display().startsWith(QLatin1Char(':')));
        EXPECT_TRUE(session->windowManagerIsReady());
        server = session->serverPid();
        wm = session->windowManagerPid();
        ASSERT_GT(server, 0);
        ASSERT_GT(wm, 0);

        session->stopWindowManager();
        EXPECT_FALSE(session->windowManagerIsReady());
        ASSERT_TRUE(session->startWindowManager(&error)) << error.toStdString();
        EXPECT_TRUE(session->windowManagerIsReady());
        wm = session->windowManagerPid();
    }
    // Both were reaped: the pids no longer name our children.
    EXPECT_NE(::kill(server, 0), 0);
    EXPECT_NE(::kill(wm, 0), 0);
}

TEST(XvfbSession, TwoSessionsGetDifferentDisplays)
{
    QString error;
    auto a = XvfbSession::start({.windowManager = false}, &error);
    ASSERT_TRUE(a) << error.toStdString();
    auto b = XvfbSession::start({.windowManager = false}, &error);
    ASSERT_TRUE(b) << error.toStdString();
    EXPECT_NE(a->display(), b->display());
    EXPECT_FALSE(a->windowManagerIsReady());
}
