#include "platform/x11/DockWindow.h"

#include "platform/session/DisplaySession.h"

#include <QGuiApplication>
#include <QList>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <array>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tarni {

namespace {

xcb_connection_t *connection()
{
    auto *app = qGuiApp;
    if (!app || QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    auto *x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    const auto cookie = xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(c, cookie, nullptr);
    if (!reply)
        return XCB_ATOM_NONE;
    const xcb_atom_t result = reply->atom;
    std::free(reply);
    return result;
}

xcb_window_t rootOf(xcb_connection_t *c)
{
    return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
}

void sendToRoot(xcb_connection_t *c, xcb_window_t window, xcb_atom_t type, std::array<uint32_t, 5> data)
{
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    for (std::size_t i = 0; i < data.size(); ++i)
        event.data.data32[i] = data[i];
    xcb_send_event(c, 0, rootOf(c), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char *>(&event));
}

constexpr uint32_t kAllDesktops = 0xFFFFFFFF;
// _NET_WM_STATE actions and the "pager" source of EWMH requests, which
// window managers honour without focus-stealing checks.
constexpr uint32_t kStateAdd = 1;
constexpr uint32_t kSourcePager = 2;

// On a mapped window the states are asked of the window manager, which
// ignores property changes once a window is mapped.
void addStates(xcb_connection_t *c, QWindow &window, xcb_window_t id, const QList<xcb_atom_t> &states)
{
    const xcb_atom_t netWmState = atom(c, "_NET_WM_STATE");
    if (window.isVisible()) {
        for (qsizetype i = 0; i < states.size(); i += 2)
            sendToRoot(c, id, netWmState,
                       {kStateAdd, states[i], i + 1 < states.size() ? states[i + 1] : xcb_atom_t(XCB_ATOM_NONE), kSourcePager, 0});
        return;
    }
    // Qt merges its own states into the property when it maps the window.
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, netWmState, XCB_ATOM_ATOM, 32, uint32_t(states.size()),
                        states.data());
}

} // namespace

bool DockWindow::isAvailable() { return connection() != nullptr; }

std::uint32_t DockWindow::nativeId(const QWindow &window)
{
    return window.handle() ? static_cast<std::uint32_t>(window.winId()) : 0;
}

void DockWindow::applyProperties(QWindow &window)
{
    xcb_connection_t *c = connection();
    const xcb_window_t id = nativeId(window);
    if (!c || !id)
        return;
    // Mutter on Wayland keeps a normal window inside the work area, which
    // our own strut shrinks: the sidebar was pushed off the edge it reserves.
    // A dock is exempt. sway would tile a dock, and the layout's width would
    // be taken for the user's own; a utility window floats from the start.
    const DisplaySession session = currentDisplaySession();
    const char *typeName = session == DisplaySession::waylandWlroots ? "_NET_WM_WINDOW_TYPE_UTILITY"
                         : isWayland(session)                        ? "_NET_WM_WINDOW_TYPE_DOCK"
                                                                     : "_NET_WM_WINDOW_TYPE_NORMAL";
    const xcb_atom_t type = atom(c, typeName);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, atom(c, "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1, &type);
    addStates(c, window, id,
              {atom(c, "_NET_WM_STATE_STICKY"), atom(c, "_NET_WM_STATE_SKIP_TASKBAR"),
               atom(c, "_NET_WM_STATE_SKIP_PAGER"), atom(c, "_NET_WM_STATE_ABOVE")});
    const xcb_atom_t netWmDesktop = atom(c, "_NET_WM_DESKTOP");
    if (window.isVisible())
        sendToRoot(c, id, netWmDesktop, {kAllDesktops, kSourcePager, 0, 0, 0});
    else
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, netWmDesktop, XCB_ATOM_CARDINAL, 32, 1, &kAllDesktops);
    xcb_flush(c);
}

void DockWindow::keepBelowOthers(QWindow &window)
{
    xcb_connection_t *c = connection();
    const xcb_window_t id = nativeId(window);
    if (!c || !id)
        return;
    addStates(c, window, id,
              {atom(c, "_NET_WM_STATE_BELOW"), atom(c, "_NET_WM_STATE_SKIP_TASKBAR"),
               atom(c, "_NET_WM_STATE_SKIP_PAGER")});
    xcb_flush(c);
}

void DockWindow::reserveLeftEdge(QWindow &window, const QRect &frame)
{
    xcb_connection_t *c = connection();
    const xcb_window_t id = nativeId(window);
    if (!c || !id)
        return;
    // left, right, top, bottom, then the start and end of each edge's span.
    std::array<uint32_t, 12> partial{};
    if (!frame.isEmpty()) {
        partial[0] = static_cast<uint32_t>(std::max(0, frame.x() + frame.width()));
        partial[4] = static_cast<uint32_t>(std::max(0, frame.y()));
        partial[5] = static_cast<uint32_t>(std::max(0, frame.y() + frame.height() - 1));
    }
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, atom(c, "_NET_WM_STRUT_PARTIAL"), XCB_ATOM_CARDINAL, 32,
                        static_cast<uint32_t>(partial.size()), partial.data());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, atom(c, "_NET_WM_STRUT"), XCB_ATOM_CARDINAL, 32, 4,
                        partial.data());
    xcb_flush(c);
}

void DockWindow::activate(QWindow &window)
{
    xcb_connection_t *c = connection();
    const xcb_window_t id = nativeId(window);
    if (!c || !id)
        return;
    sendToRoot(c, id, atom(c, "_NET_ACTIVE_WINDOW"), {kSourcePager, XCB_CURRENT_TIME, 0, 0, 0});
    xcb_flush(c);
}

std::optional<QRect> DockWindow::outerFrame(const QWindow &window)
{
    xcb_connection_t *c = connection();
    const xcb_window_t id = nativeId(window);
    if (!c || !id)
        return std::nullopt;
    // A reparenting window manager's frame is the window's ancestor that is
    // a child of the root: its parent for most, its grandparent for KWin,
    // which keeps a wrapper window in between.
    xcb_window_t outer = id;
    for (int depth = 0; depth < 4; ++depth) {
        std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
            xcb_query_tree_reply(c, xcb_query_tree(c, outer), nullptr), &std::free);
        if (!tree)
            return std::nullopt;
        if (tree->parent == tree->root || tree->parent == XCB_WINDOW_NONE)
            break;
        outer = tree->parent;
    }
    std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> geometry(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, outer), nullptr), &std::free);
    if (!geometry)
        return std::nullopt;
    const int border = 2 * geometry->border_width;
    return QRect(geometry->x, geometry->y, geometry->width + border, geometry->height + border);
}

void DockWindow::requestOuterFrame(QWindow &window, const QRect &frame)
{
    xcb_connection_t *c = connection();
    const xcb_window_t id = nativeId(window);
    const std::optional<QRect> outer = outerFrame(window);
    if (!c || !id || !outer)
        return;
    std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> client(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, id), nullptr), &std::free);
    if (!client)
        return;
    // The position is the frame's, the size the client's (NorthWest gravity).
    const int width = frame.width() - (outer->width() - client->width);
    const int height = frame.height() - (outer->height() - client->height);
    if (width <= 0 || height <= 0)
        return;
    constexpr uint32_t kNorthWest = 1;
    constexpr uint32_t kXYWH = (1u << 8) | (1u << 9) | (1u << 10) | (1u << 11);
    sendToRoot(c, id, atom(c, "_NET_MOVERESIZE_WINDOW"),
               {kNorthWest | kXYWH | (kSourcePager << 12), static_cast<uint32_t>(frame.x()),
                static_cast<uint32_t>(frame.y()), static_cast<uint32_t>(width), static_cast<uint32_t>(height)});
    xcb_flush(c);
}

} // namespace tarni
