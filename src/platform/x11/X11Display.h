#pragma once

#include <QByteArray>
#include <QList>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include "platform/x11/WorkArea.h"

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace tarni {

// One connection to an X display with its EWMH atoms, and the window queries
// the window controller needs. Every query tolerates windows that vanished in
// the meantime (BadWindow answers come back as "nothing").
class X11Display {
public:
    struct FrameExtents {
        int left = 0, right = 0, top = 0, bottom = 0;
    };
    struct WindowState {
        bool maximizedHorizontally = false;
        bool maximizedVertically = false;
        bool hidden = false;
        bool fullscreen = false;
        bool sticky = false;
        bool isMaximized() const { return maximizedHorizontally || maximizedVertically; }
    };
    struct SizeHints {
        int widthIncrement = 1;
        int heightIncrement = 1;
    };

    // Null when the display cannot be reached. An empty name means $DISPLAY.
    static std::unique_ptr<X11Display> open(const QByteArray &displayName);
    ~X11Display();
    X11Display(const X11Display &) = delete;
    X11Display &operator=(const X11Display &) = delete;

    xcb_connection_t *connection() const { return m_connection; }
    xcb_ewmh_connection_t *ewmh() { return &m_ewmh; }
    int screenNumber() const { return m_screenNumber; }
    xcb_window_t root() const { return m_root; }
    bool hasError() const;

    // An EWMH window manager announces itself: the root's
    // _NET_SUPPORTING_WM_CHECK names a window whose own property names itself.
    bool windowManagerIsRunning();

    QList<xcb_window_t> clientList();
    // Bottom to top.
    QList<xcb_window_t> clientListStacking();
    std::optional<xcb_window_t> activeWindow();
    std::optional<std::uint32_t> currentDesktop();
    // The window manager's work area (_NET_WORKAREA) of the current desktop.
    std::optional<QRect> workArea();
    bool isManagedClient(xcb_window_t window);

    // _NET_WM_PID, else the X-Resource extension's answer for the window's client.
    std::optional<std::int32_t> processOf(xcb_window_t window);
    // _NET_WM_NAME, then _NET_WM_VISIBLE_NAME, then WM_NAME.
    std::optional<QString> titleOf(xcb_window_t window);
    // WM_CLASS: instance and class names.
    QStringList classOf(xcb_window_t window);
    // The client area in root coordinates.
    std::optional<QRect> clientRect(xcb_window_t window);
    FrameExtents frameExtents(xcb_window_t window);
    // The outer frame (decorations included) in root coordinates.
    std::optional<QRect> outerFrame(xcb_window_t window);
    std::optional<WindowState> windowState(xcb_window_t window);
    // Absent when the window is on all desktops or says nothing.
    std::optional<std::uint32_t> desktopOf(xcb_window_t window);
    bool isViewable(xcb_window_t window);
    // Docks and desktops are never moved into the content area.
    bool isDockOrDesktop(xcb_window_t window);
    SizeHints sizeHints(xcb_window_t window);
    // _NET_WM_STRUT_PARTIAL, else _NET_WM_STRUT; nothing when it reserves nothing.
    std::optional<Strut> strutOf(xcb_window_t window);
    QSize rootSize() const { return m_rootSize; }

    // Requests to the window manager (client messages to the root window).
    void requestMoveResize(xcb_window_t window, const QRect &clientGeometryWithFrameOrigin);
    void requestState(xcb_window_t window, bool add, xcb_atom_t first, xcb_atom_t second = XCB_ATOM_NONE);
    void requestActivate(xcb_window_t window);
    void requestIconify(xcb_window_t window);
    void requestDesktop(xcb_window_t window, std::uint32_t desktop);
    // Asks for ConfigureNotify and PropertyNotify of the window, so waiting
    // for the window manager's answer can sleep on the connection.
    void watch(xcb_window_t window);

    // Waits up to `timeoutMs` for `done` to become true, re-checking whenever
    // the server sends something (and at least every 20 ms).
    template <class Predicate>
    bool waitUntil(int timeoutMs, Predicate done);

    void flush();

private:
    X11Display() = default;
    bool waitForActivity(int timeoutMs);
    xcb_atom_t internAtom(const char *name);

    xcb_connection_t *m_connection = nullptr;
    xcb_ewmh_connection_t m_ewmh{};
    bool m_ewmhReady = false;
    int m_screenNumber = 0;
    xcb_window_t m_root = XCB_WINDOW_NONE;
    QSize m_rootSize;
    xcb_atom_t m_wmChangeState = XCB_ATOM_NONE;
    bool m_hasRes = false;
};

template <class Predicate>
bool X11Display::waitUntil(int timeoutMs, Predicate done)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done())
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || hasError())
            return done();
        waitForActivity(static_cast<int>(std::min<long long>(left, 20)));
    }
}

} // namespace tarni
