// Keyboard only, as a user works: every dialog and window of the sidebar,
// closed with Esc or Enter, gives the keyboard back to the sidebar (or to
// the window it came from), so that the next shortcut works at once. Run
// against the real window manager, which decides where the focus goes.

#include "X11Probe.h"
#include "XvfbSession.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/wait.h>

using namespace tarni::test;

namespace {

class FocusReturnTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QString error;
        m_session = XvfbSession::start({1600, 1000, true}, &error);
        ASSERT_TRUE(m_session) << "cannot start the X server for this test: " << error.toStdString();
        m_probe = std::make_unique<X11Probe>(m_session->display());
        const auto path = [this](const char *name) { return m_dir.filePath(QLatin1String(name)); };
        m_children << spawnProcess(QStringLiteral(TARNIBAR_EXECUTABLE), {},
                                   {asanOptionsForXcbClient(), QStringLiteral("DISPLAY=") + m_session->display(),
                                    QStringLiteral("QT_QPA_PLATFORM=xcb"), QStringLiteral("TARNI_UITEST_MODE=1"),
                                    QStringLiteral("TARNI_UITEST_SEED=sample"), QStringLiteral("LANGUAGE=en"),
                                    QStringLiteral("TARNI_UITEST_ROOT=") + path("root"),
                                    QStringLiteral("XDG_CONFIG_HOME=") + path("config"),
                                    QStringLiteral("XDG_DATA_HOME=") + path("data"), QStringLiteral("HOME=") + path("home"),
                                    QStringLiteral("DBUS_SESSION_BUS_ADDRESS=unix:path=") + path("no-bus")});
        ASSERT_GT(m_children.back(), 0);
        const auto sidebar = m_probe->waitForClient(QStringLiteral("Tarni Bar"));
        ASSERT_TRUE(sidebar);
        m_sidebar = *sidebar;
        ASSERT_TRUE(sidebarIsActive());
    }

    void TearDown() override
    {
        for (pid_t pid : m_children)
            stopProcess(pid);
        m_probe.reset();
        m_session.reset();
    }

    bool sidebarIsActive() { return X11Probe::waitFor([&] { return m_probe->activeWindow() == m_sidebar; }, 5000); }

    void xdotool(const QStringList &arguments)
    {
        const pid_t pid = spawnProcess(QStringLiteral("xdotool"), arguments,
                                       {QStringLiteral("DISPLAY=") + m_session->display()});
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    void key(const QString &keys)
    {
        for (const QString &one : keys.split(QLatin1Char(' ')))
            xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), one});
    }
    // Replaces the focused field's text.
    void type(const QString &text)
    {
        key(QStringLiteral("ctrl+a"));
        xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("5"), text});
    }

    // Opens a window with `keys` and gives it until it has the focus.
    std::optional<xcb_window_t> open(const QString &keys, const QString &title)
    {
        key(keys);
        const auto window = m_probe->waitForClient(title, 5000);
        if (window && !X11Probe::waitFor([&] { return m_probe->activeWindow() == window; }, 5000))
            return std::nullopt;
        return window;
    }

    QTemporaryDir m_dir;
    std::unique_ptr<XvfbSession> m_session;
    std::unique_ptr<X11Probe> m_probe;
    QList<pid_t> m_children;
    xcb_window_t m_sidebar = XCB_WINDOW_NONE;
};

TEST_F(FocusReturnTest, EveryDialogGivesTheKeyboardBackWhenItCloses)
{
    struct Case {
        const char *keys;
        const char *title;
        const char *close;
        QString typed = {};
    };
    // Enter where it closes the window: with a default button it does.
    const Case cases[] = {
        {"ctrl+l", "Add Web Link", "Escape"},
        {"ctrl+shift+l", "Add Slack Thread", "Escape"},
        {"ctrl+comma", "Settings", "Escape"},
        {"ctrl+shift+Delete", "Trash", "Escape"},
        {"ctrl+shift+s", "Snapshots", "Escape"},
        {"ctrl+i", "Import", "Escape"},
        {"ctrl+shift+e", "Export As", "Escape"},
        {"ctrl+shift+e", "Export As", "Return", m_dir.filePath(QStringLiteral("exported"))},
        // The sample's first row is a group with children: deleting asks.
        {"Home Delete", "Delete", "Escape"},
        {"Home Delete", "Delete", "Return"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.title) + " closed with " + c.close);
        const auto window = open(QString::fromLatin1(c.keys), QString::fromLatin1(c.title));
        ASSERT_TRUE(window) << "did not open with the keyboard";
        if (!c.typed.isEmpty())
            type(c.typed);
        key(QString::fromLatin1(c.close));
        ASSERT_TRUE(m_probe->waitUntilGone(*window));
        EXPECT_TRUE(sidebarIsActive()) << "the focus went to " << m_probe->activeWindow().value_or(0);
        // The next shortcut reaches the sidebar.
        const auto next = open(QStringLiteral("ctrl+l"), QStringLiteral("Add Web Link"));
        ASSERT_TRUE(next) << "a shortcut did not work after it";
        key(QStringLiteral("Escape"));
        ASSERT_TRUE(m_probe->waitUntilGone(*next));
        ASSERT_TRUE(sidebarIsActive());
    }

    // Adding with Enter: the dialog closes on the new link, and the keys
    // are the sidebar's again.
    const auto add = open(QStringLiteral("ctrl+l"), QStringLiteral("Add Web Link"));
    ASSERT_TRUE(add);
    type(QStringLiteral("https://example.org/"));
    key(QStringLiteral("Return"));
    ASSERT_TRUE(m_probe->waitUntilGone(*add));
    EXPECT_TRUE(sidebarIsActive());
}

// A dialog of another window gives the keyboard back to that window, and
// closing that window gives it to the sidebar.
TEST_F(FocusReturnTest, ADialogOfAWindowReturnsToThatWindow)
{
    key(QStringLiteral("ctrl+s"));
    const auto browser = open(QStringLiteral("ctrl+shift+s"), QStringLiteral("Snapshots"));
    ASSERT_TRUE(browser);
    for (const char *close : {"Escape", "Return"}) {
        SCOPED_TRACE(close);
        const auto rename = open(QStringLiteral("F2"), QStringLiteral("Rename Snapshot"));
        ASSERT_TRUE(rename);
        key(QString::fromLatin1(close));
        ASSERT_TRUE(m_probe->waitUntilGone(*rename));
        EXPECT_TRUE(X11Probe::waitFor([&] { return m_probe->activeWindow() == browser; }, 5000));
    }
    key(QStringLiteral("Escape"));
    ASSERT_TRUE(m_probe->waitUntilGone(*browser));
    EXPECT_TRUE(sidebarIsActive());
}

} // namespace
