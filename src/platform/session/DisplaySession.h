#pragma once

#include <QByteArray>
#include <QString>

namespace tarni {

// The kind of graphical session we run in, which decides how the sidebar can
// dock and whose windows it can place.
enum class DisplaySession {
    x11,
    // GNOME (Mutter) or KDE Plasma (KWin) with an X display from XWayland:
    // both honour an X11 client's strut for their native windows too.
    waylandWithXStruts,
    // sway and other wlroots compositors: they ignore struts.
    waylandWlroots,
    waylandOther,
    noDisplay,
};

// The variables detection reads, so that tables of sessions can be tested.
struct SessionEnvironment {
    QByteArray sessionType;    // XDG_SESSION_TYPE
    QByteArray currentDesktop; // XDG_CURRENT_DESKTOP, a colon-separated list
    QByteArray waylandDisplay; // WAYLAND_DISPLAY
    QByteArray display;        // DISPLAY
    QByteArray swaySocket;     // SWAYSOCK

    static SessionEnvironment fromProcess();
};

DisplaySession detectDisplaySession(const SessionEnvironment &environment);

bool isWayland(DisplaySession session);

// The Qt platform plugin to ask for before the application object exists:
// "xcb" on any Wayland session whose X display answers, because only an X11
// client can reserve a screen edge there (with its strut) and say where its
// window goes; empty to leave Qt's own choice. A platform the user named
// (QT_QPA_PLATFORM) always stands.
QByteArray qtPlatformFor(DisplaySession session, const QByteArray &userPlatform, bool xDisplayAnswers);

// Whether the sidebar reserves its edge for other windows: in an X11 session
// as always; on Wayland where the compositor honours struts and the sidebar
// is an X11 client (the user may have named another platform), and on a
// wlroots compositor whose IPC docks it (`dockedByCompositor`).
bool sidebarDocks(DisplaySession session, const QString &qtPlatform, bool dockedByCompositor = false);

// Whether the compositor's own facility (sway's IPC) docks the sidebar in
// this run; set by the application once that dock answered.
bool sidebarDockedByCompositor();
void setSidebarDockedByCompositor(bool docked);

// Whether an X server answers on `display` (connects and disconnects).
bool xDisplayAnswers(const QByteArray &display);

// The session this process runs in, decided once in main() before the
// application object is built; x11 until then.
DisplaySession currentDisplaySession();
void setCurrentDisplaySession(DisplaySession session);

// Detects the session, asks Qt for the xcb platform where it applies, and
// records the session for currentDisplaySession(). Call before the
// QGuiApplication is constructed.
DisplaySession prepareDisplayPlatform();
// Takes back the platform prepareDisplayPlatform() chose, once Qt has read
// it: the programs we start (viewers, browsers) choose their own.
void forgetChosenPlatform();

} // namespace tarni
