#include "platform/session/DisplaySession.h"

#include <QList>

#include <xcb/xcb.h>

#include <atomic>
#include <cstdlib>

namespace tarni {

namespace {

DisplaySession s_current = DisplaySession::x11;
std::atomic<bool> s_dockedByCompositor{false};
bool s_platformChosen = false;

QByteArray variable(const char *name)
{
    const char *value = std::getenv(name);
    return value ? QByteArray(value) : QByteArray();
}

bool desktopNamed(const QByteArray &desktops, std::initializer_list<const char *> names)
{
    for (const QByteArray &entry : desktops.split(':')) {
        const QByteArray lowered = entry.trimmed().toLower();
        for (const char *name : names)
            if (lowered == name)
                return true;
    }
    return false;
}

} // namespace

SessionEnvironment SessionEnvironment::fromProcess()
{
    return {variable("XDG_SESSION_TYPE"), variable("XDG_CURRENT_DESKTOP"), variable("WAYLAND_DISPLAY"),
            variable("DISPLAY"), variable("SWAYSOCK")};
}

DisplaySession detectDisplaySession(const SessionEnvironment &env)
{
    const QByteArray type = env.sessionType.trimmed().toLower();
    // A session that says it is X11 is, even with a nested compositor's
    // socket inherited; one that says nothing is judged by its sockets.
    const bool wayland = type == "wayland" || (type != "x11" && !env.waylandDisplay.isEmpty());
    if (!wayland)
        return env.display.isEmpty() ? DisplaySession::noDisplay : DisplaySession::x11;
    if (!env.swaySocket.isEmpty() || desktopNamed(env.currentDesktop, {"sway", "wlroots"}))
        return DisplaySession::waylandWlroots;
    if (!env.display.isEmpty() && desktopNamed(env.currentDesktop, {"gnome", "kde"}))
        return DisplaySession::waylandWithXStruts;
    return DisplaySession::waylandOther;
}

bool isWayland(DisplaySession session)
{
    return session == DisplaySession::waylandWithXStruts || session == DisplaySession::waylandWlroots
        || session == DisplaySession::waylandOther;
}

QByteArray qtPlatformFor(DisplaySession session, const QByteArray &userPlatform, bool xDisplayAnswers)
{
    if (!userPlatform.isEmpty() || !isWayland(session) || !xDisplayAnswers)
        return {};
    return QByteArrayLiteral("xcb");
}

bool sidebarDocks(DisplaySession session, const QString &qtPlatform, bool dockedByCompositor)
{
    return session == DisplaySession::x11
        || (session == DisplaySession::waylandWithXStruts && qtPlatform == QLatin1String("xcb"))
        || (session == DisplaySession::waylandWlroots && dockedByCompositor);
}

bool sidebarDockedByCompositor()
{
    return s_dockedByCompositor.load();
}

void setSidebarDockedByCompositor(bool docked)
{
    s_dockedByCompositor.store(docked);
}

bool xDisplayAnswers(const QByteArray &display)
{
    if (display.isEmpty())
        return false;
    xcb_connection_t *connection = xcb_connect(display.constData(), nullptr);
    const bool answers = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return answers;
}

DisplaySession currentDisplaySession()
{
    return s_current;
}

void setCurrentDisplaySession(DisplaySession session)
{
    s_current = session;
}

DisplaySession prepareDisplayPlatform()
{
    const SessionEnvironment env = SessionEnvironment::fromProcess();
    const DisplaySession session = detectDisplaySession(env);
    const QByteArray userPlatform = variable("QT_QPA_PLATFORM");
    // Only a Wayland session needs the X display probed; an X11 session
    // reaches it through Qt as always.
    const bool answers = isWayland(session) && userPlatform.isEmpty() && xDisplayAnswers(env.display);
    const QByteArray platform = qtPlatformFor(session, userPlatform, answers);
    if (!platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);
    s_platformChosen = !platform.isEmpty();
    setCurrentDisplaySession(session);
    return session;
}

void forgetChosenPlatform()
{
    if (s_platformChosen)
        qunsetenv("QT_QPA_PLATFORM");
    s_platformChosen = false;
}

} // namespace tarni
