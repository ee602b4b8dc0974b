#include "platform/x11/X11Display.h"

#include "platform/x11/X11Logging.h"

#include <xcb/res.h>
#include <xcb/xcb_icccm.h>

#include <cstdlib>
#include <cstring>
#include <poll.h>

namespace tarni {

namespace {

// Frees xcb replies and errors, which come from malloc.
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <class T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

template <class T>
XcbReply<T> adopt(T *reply, xcb_generic_error_t *error)
{
    std::free(error);
    return XcbReply<T>(reply);
}

} // namespace

std::unique_ptr<X11Display> X11Display::open(const QByteArray &displayName)
{
    std::unique_ptr<X11Display> display(new X11Display);
    int screen = 0;
    display->m_connection = xcb_connect(displayName.isEmpty() ? nullptr : displayName.constData(), &screen);
    if (xcb_connection_has_error(display->m_connection))
        return nullptr;
    display->m_screenNumber = screen;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(display->m_connection));
    for (int i = 0; i < screen && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem)
        return nullptr;
    display->m_root = it.data->root;
    display->m_rootSize = QSize(it.data->width_in_pixels, it.data->height_in_pixels);

    xcb_intern_atom_cookie_t *cookies = xcb_ewmh_init_atoms(display->m_connection, &display->m_ewmh);
    if (!xcb_ewmh_init_atoms_replies(&display->m_ewmh, cookies, nullptr))
        return nullptr;
    display->m_ewmhReady = true;
    display->m_wmChangeState = display->internAtom("WM_CHANGE_STATE");

    const xcb_query_extension_reply_t *res = xcb_get_extension_data(display->m_connection, &xcb_res_id);
    display->m_hasRes = res && res->present;
    return display;
}

X11Display::~X11Display()
{
    if (m_ewmhReady)
        xcb_ewmh_connection_wipe(&m_ewmh);
    if (m_connection)
        xcb_disconnect(m_connection);
}

bool X11Display::hasError() const
{
    return xcb_connection_has_error(m_connection) != 0;
}

xcb_atom_t X11Display::internAtom(const char *name)
{
    auto reply = adopt(xcb_intern_atom_reply(m_connection,
                                             xcb_intern_atom(m_connection, 0, std::strlen(name), name), nullptr),
                       nullptr);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

bool X11Display::windowManagerIsRunning()
{
    xcb_window_t check = XCB_WINDOW_NONE;
    if (!xcb_ewmh_get_supporting_wm_check_reply(&m_ewmh, xcb_ewmh_get_supporting_wm_check(&m_ewmh, m_root), &check,
                                                nullptr)
        || check == XCB_WINDOW_NONE)
        return false;
    // A window manager that exited leaves the root's property naming a
    // window that no longer exists; reading the check window's own property
    // tells the two apart.
    xcb_window_t self = XCB_WINDOW_NONE;
    return xcb_ewmh_get_supporting_wm_check_reply(&m_ewmh, xcb_ewmh_get_supporting_wm_check(&m_ewmh, check), &self,
                                                  nullptr)
        && self == check;
}

QList<xcb_window_t> X11Display::clientList()
{
    QList<xcb_window_t> result;
    xcb_ewmh_get_windows_reply_t clients;
    if (xcb_ewmh_get_client_list_reply(&m_ewmh, xcb_ewmh_get_client_list(&m_ewmh, m_screenNumber), &clients,
                                       nullptr)) {
        for (uint32_t i = 0; i < clients.windows_len; ++i)
            result.append(clients.windows[i]);
        xcb_ewmh_get_windows_reply_wipe(&clients);
    }
    return result;
}

QList<xcb_window_t> X11Display::clientListStacking()
{
    QList<xcb_window_t> result;
    xcb_ewmh_get_windows_reply_t clients;
    if (xcb_ewmh_get_client_list_stacking_reply(
            &m_ewmh, xcb_ewmh_get_client_list_stacking(&m_ewmh, m_screenNumber), &clients, nullptr)) {
        for (uint32_t i = 0; i < clients.windows_len; ++i)
            result.append(clients.windows[i]);
        xcb_ewmh_get_windows_reply_wipe(&clients);
    }
    return result;
}

std::optional<xcb_window_t> X11Display::activeWindow()
{
    xcb_window_t active = XCB_WINDOW_NONE;
    if (!xcb_ewmh_get_active_window_reply(&m_ewmh, xcb_ewmh_get_active_window(&m_ewmh, m_screenNumber), &active,
                                          nullptr)
        || active == XCB_WINDOW_NONE)
        return std::nullopt;
    return active;
}

std::optional<std::uint32_t> X11Display::currentDesktop()
{
    uint32_t desktop = 0;
    if (!xcb_ewmh_get_current_desktop_reply(&m_ewmh, xcb_ewmh_get_current_desktop(&m_ewmh, m_screenNumber),
                                            &desktop, nullptr))
        return std::nullopt;
    return desktop;
}

std::optional<QRect> X11Display::workArea()
{
    xcb_ewmh_get_workarea_reply_t reply;
    if (!xcb_ewmh_get_workarea_reply(&m_ewmh, xcb_ewmh_get_workarea(&m_ewmh, m_screenNumber), &reply, nullptr))
        return std::nullopt;
    const std::uint32_t desktop = currentDesktop().value_or(0);
    std::optional<QRect> area;
    if (desktop < reply.workarea_len) {
        const xcb_ewmh_geometry_t &g = reply.workarea[desktop];
        if (g.width > 0 && g.height > 0 && g.width <= 1u << 16 && g.height <= 1u << 16 && g.x <= 1u << 16
            && g.y <= 1u << 16)
            area = QRect(int(g.x), int(g.y), int(g.width), int(g.height));
    }
    xcb_ewmh_get_workarea_reply_wipe(&reply);
    return area;
}

bool X11Display::isManagedClient(xcb_window_t window)
{
    return clientList().contains(window);
}

std::optional<std::int32_t> X11Display::processOf(xcb_window_t window)
{
    uint32_t pid = 0;
    if (xcb_ewmh_get_wm_pid_reply(&m_ewmh, xcb_ewmh_get_wm_pid(&m_ewmh, window), &pid, nullptr) && pid > 0)
        return static_cast<std::int32_t>(pid);
    if (!m_hasRes)
        return std::nullopt;
    xcb_res_client_id_spec_t query{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    xcb_generic_error_t *error = nullptr;
    auto reply = adopt(xcb_res_query_client_ids_reply(m_connection,
                                                      xcb_res_query_client_ids(m_connection, 1, &query), &error),
                       error);
    if (!reply)
        return std::nullopt;
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem; xcb_res_client_id_value_next(&it)) {
        if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) && xcb_res_client_id_value_value_length(it.data) >= 1)
            return static_cast<std::int32_t>(*xcb_res_client_id_value_value(it.data));
    }
    return std::nullopt;
}

std::optional<QString> X11Display::titleOf(xcb_window_t window)
{
    xcb_ewmh_get_utf8_strings_reply_t name;
    if (xcb_ewmh_get_wm_name_reply(&m_ewmh, xcb_ewmh_get_wm_name(&m_ewmh, window), &name, nullptr)) {
        QString title = QString::fromUtf8(name.strings, name.strings_len);
        xcb_ewmh_get_utf8_strings_reply_wipe(&name);
        return title;
    }
    if (xcb_ewmh_get_wm_visible_name_reply(&m_ewmh, xcb_ewmh_get_wm_visible_name(&m_ewmh, window), &name,
                                           nullptr)) {
        QString title = QString::fromUtf8(name.strings, name.strings_len);
        xcb_ewmh_get_utf8_strings_reply_wipe(&name);
        return title;
    }
    xcb_icccm_get_text_property_reply_t text;
    if (xcb_icccm_get_wm_name_reply(m_connection, xcb_icccm_get_wm_name(m_connection, window), &text, nullptr)) {
        // STRING is Latin-1; UTF8_STRING and COMPOUND_TEXT in practice are
        // ASCII or UTF-8.
        QString title = text.encoding == XCB_ATOM_STRING ? QString::fromLatin1(text.name, text.name_len)
                                                         : QString::fromUtf8(text.name, text.name_len);
        xcb_icccm_get_text_property_reply_wipe(&text);
        return title;
    }
    return std::nullopt;
}

QStringList X11Display::classOf(xcb_window_t window)
{
    QStringList result;
    xcb_icccm_get_wm_class_reply_t wmClass;
    if (xcb_icccm_get_wm_class_reply(m_connection, xcb_icccm_get_wm_class(m_connection, window), &wmClass, nullptr)) {
        if (wmClass.instance_name)
            result << QString::fromLocal8Bit(wmClass.instance_name);
        if (wmClass.class_name)
            result << QString::fromLocal8Bit(wmClass.class_name);
        xcb_icccm_get_wm_class_reply_wipe(&wmClass);
    }
    return result;
}

std::optional<QRect> X11Display::clientRect(xcb_window_t window)
{
    xcb_generic_error_t *error = nullptr;
    auto geometry = adopt(xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, window), &error), error);
    if (!geometry)
        return std::nullopt;
    auto translated = adopt(
        xcb_translate_coordinates_reply(m_connection, xcb_translate_coordinates(m_connection, window, m_root, 0, 0),
                                        &error),
        error);
    if (!translated)
        return std::nullopt;
    return QRect(translated->dst_x, translated->dst_y, geometry->width, geometry->height);
}

X11Display::FrameExtents X11Display::frameExtents(xcb_window_t window)
{
    xcb_ewmh_get_extents_reply_t extents;
    if (!xcb_ewmh_get_frame_extents_reply(&m_ewmh, xcb_ewmh_get_frame_extents(&m_ewmh, window), &extents, nullptr))
        return {};
    return FrameExtents{int(extents.left), int(extents.right), int(extents.top), int(extents.bottom)};
}

std::optional<QRect> X11Display::outerFrame(xcb_window_t window)
{
    const auto client = clientRect(window);
    if (!client)
        return std::nullopt;
    const FrameExtents e = frameExtents(window);
    return client->adjusted(-e.left, -e.top, e.right, e.bottom);
}

std::optional<X11Display::WindowState> X11Display::windowState(xcb_window_t window)
{
    xcb_generic_error_t *error = nullptr;
    auto reply = adopt(xcb_get_property_reply(m_connection,
                                              xcb_get_property(m_connection, 0, window, m_ewmh._NET_WM_STATE,
                                                               XCB_ATOM_ATOM, 0, 64),
                                              &error),
                       error);
    if (!reply)
        return std::nullopt;
    WindowState state;
    const auto *atoms = static_cast<const xcb_atom_t *>(xcb_get_property_value(reply.get()));
    const int count = reply->format == 32 ? xcb_get_property_value_length(reply.get()) / 4 : 0;
    for (int i = 0; i < count; ++i) {
        const xcb_atom_t a = atoms[i];
        state.maximizedHorizontally |= a == m_ewmh._NET_WM_STATE_MAXIMIZED_HORZ;
        state.maximizedVertically |= a == m_ewmh._NET_WM_STATE_MAXIMIZED_VERT;
        state.hidden |= a == m_ewmh._NET_WM_STATE_HIDDEN;
        state.fullscreen |= a == m_ewmh._NET_WM_STATE_FULLSCREEN;
        state.sticky |= a == m_ewmh._NET_WM_STATE_STICKY;
    }
    return state;
}

std::optional<std::uint32_t> X11Display::desktopOf(xcb_window_t window)
{
    uint32_t desktop = 0;
    if (!xcb_ewmh_get_wm_desktop_reply(&m_ewmh, xcb_ewmh_get_wm_desktop(&m_ewmh, window), &desktop, nullptr)
        || desktop == 0xFFFFFFFF)
        return std::nullopt;
    return desktop;
}

bool X11Display::isViewable(xcb_window_t window)
{
    xcb_generic_error_t *error = nullptr;
    auto reply = adopt(xcb_get_window_attributes_reply(m_connection, xcb_get_window_attributes(m_connection, window),
                                                       &error),
                       error);
    return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

bool X11Display::isDockOrDesktop(xcb_window_t window)
{
    xcb_ewmh_get_atoms_reply_t types;
    if (!xcb_ewmh_get_wm_window_type_reply(&m_ewmh, xcb_ewmh_get_wm_window_type(&m_ewmh, window), &types, nullptr))
        return false;
    bool result = false;
    for (uint32_t i = 0; i < types.atoms_len; ++i)
        result |= types.atoms[i] == m_ewmh._NET_WM_WINDOW_TYPE_DOCK || types.atoms[i] == m_ewmh._NET_WM_WINDOW_TYPE_DESKTOP;
    xcb_ewmh_get_atoms_reply_wipe(&types);
    return result;
}

X11Display::SizeHints X11Display::sizeHints(xcb_window_t window)
{
    SizeHints result;
    xcb_size_hints_t hints;
    if (xcb_icccm_get_wm_normal_hints_reply(m_connection, xcb_icccm_get_wm_normal_hints(m_connection, window), &hints,
                                            nullptr)
        && (hints.flags & XCB_ICCCM_SIZE_HINT_P_RESIZE_INC)) {
        result.widthIncrement = std::max(1, int(hints.width_inc));
        result.heightIncrement = std::max(1, int(hints.height_inc));
    }
    return result;
}

std::optional<Strut> X11Display::strutOf(xcb_window_t window)
{
    xcb_ewmh_wm_strut_partial_t partial;
    if (xcb_ewmh_get_wm_strut_partial_reply(&m_ewmh, xcb_ewmh_get_wm_strut_partial(&m_ewmh, window), &partial,
                                            nullptr)) {
        const quint32 values[12] = {partial.left,         partial.right,        partial.top,
                                    partial.bottom,       partial.left_start_y, partial.left_end_y,
                                    partial.right_start_y, partial.right_end_y, partial.top_start_x,
                                    partial.top_end_x,    partial.bottom_start_x, partial.bottom_end_x};
        return Strut::fromPartial(values);
    }
    xcb_ewmh_get_extents_reply_t full;
    if (xcb_ewmh_get_wm_strut_reply(&m_ewmh, xcb_ewmh_get_wm_strut(&m_ewmh, window), &full, nullptr))
        return Strut::fromFull(full.left, full.right, full.top, full.bottom, m_rootSize);
    return std::nullopt;
}

void X11Display::requestMoveResize(xcb_window_t window, const QRect &geometry)
{
    const auto flags = static_cast<xcb_ewmh_moveresize_window_opt_flags_t>(
        XCB_EWMH_MOVERESIZE_WINDOW_X | XCB_EWMH_MOVERESIZE_WINDOW_Y | XCB_EWMH_MOVERESIZE_WINDOW_WIDTH
        | XCB_EWMH_MOVERESIZE_WINDOW_HEIGHT);
    xcb_ewmh_request_moveresize_window(&m_ewmh, m_screenNumber, window, XCB_GRAVITY_NORTH_WEST,
                                       XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER, flags, uint32_t(geometry.x()),
                                       uint32_t(geometry.y()), uint32_t(geometry.width()),
                                       uint32_t(geometry.height()));
    flush();
}

void X11Display::requestState(xcb_window_t window, bool add, xcb_atom_t first, xcb_atom_t second)
{
    xcb_ewmh_request_change_wm_state(&m_ewmh, m_screenNumber, window,
                                     add ? XCB_EWMH_WM_STATE_ADD : XCB_EWMH_WM_STATE_REMOVE, first, second,
                                     XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER);
    flush();
}

void X11Display::requestActivate(xcb_window_t window)
{
    xcb_ewmh_request_change_active_window(&m_ewmh, m_screenNumber, window, XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER,
                                          XCB_CURRENT_TIME, XCB_WINDOW_NONE);
    flush();
}

void X11Display::requestIconify(xcb_window_t window)
{
    // ICCCM: a WM_CHANGE_STATE client message with IconicState, sent to the root.
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = m_wmChangeState;
    event.data.data32[0] = XCB_ICCCM_WM_STATE_ICONIC;
    xcb_send_event(m_connection, 0, m_root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char *>(&event));
    flush();
}

void X11Display::requestDesktop(xcb_window_t window, std::uint32_t desktop)
{
    xcb_ewmh_request_change_wm_desktop(&m_ewmh, m_screenNumber, window, desktop, XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER);
    flush();
}

void X11Display::watch(xcb_window_t window)
{
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(m_connection, window, XCB_CW_EVENT_MASK, &mask);
    flush();
}

void X11Display::flush()
{
    xcb_flush(m_connection);
}

bool X11Display::waitForActivity(int timeoutMs)
{
    // Whatever arrived (events, or errors about windows that vanished) only
    // means "look again"; none of it is kept.
    bool any = false;
    while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection)) {
        std::free(event);
        any = true;
    }
    if (any)
        return true;
    pollfd p{xcb_get_file_descriptor(m_connection), POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    while (xcb_generic_event_t *event = xcb_poll_for_event(m_connection))
        std::free(event);
    return ready > 0;
}

} // namespace tarni
