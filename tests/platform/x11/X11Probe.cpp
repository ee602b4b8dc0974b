#include "X11Probe.h"

#include <QThread>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace tarni::test {

namespace {
template <class T>
std::unique_ptr<T, decltype(&std::free)> own(T *p)
{
    return {p, &std::free};
}
} // namespace

X11Probe::X11Probe(const QString &display)
{
    m_connection = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    if (!xcb_connection_has_error(m_connection))
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
}

X11Probe::~X11Probe()
{
    xcb_disconnect(m_connection);
}

xcb_atom_t X11Probe::atom(const char *name)
{
    auto reply = own(xcb_intern_atom_reply(m_connection, xcb_intern_atom(m_connection, 0, std::strlen(name), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

std::optional<xcb_window_t> X11Probe::windowProperty(xcb_window_t window, const char *name)
{
    auto reply = own(xcb_get_property_reply(
        m_connection, xcb_get_property(m_connection, 0, window, atom(name), XCB_ATOM_WINDOW, 0, 1), nullptr));
    if (!reply || xcb_get_property_value_length(reply.get()) != 4)
        return std::nullopt;
    return *static_cast<xcb_window_t *>(xcb_get_property_value(reply.get()));
}

QString X11Probe::title(xcb_window_t window)
{
    for (xcb_atom_t property : {atom("_NET_WM_NAME"), xcb_atom_t(XCB_ATOM_WM_NAME)}) {
        auto reply = own(xcb_get_property_reply(
            m_connection, xcb_get_property(m_connection, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 256),
            nullptr));
        if (reply && xcb_get_property_value_length(reply.get()) > 0)
            return QString::fromUtf8(static_cast<const char *>(xcb_get_property_value(reply.get())),
                                     xcb_get_property_value_length(reply.get()));
    }
    return {};
}

std::optional<xcb_window_t> X11Probe::waitForClient(const QString &wanted, int timeoutMs)
{
    std::optional<xcb_window_t> found;
    waitFor(
        [&] {
            auto reply = own(xcb_get_property_reply(
                m_connection,
                xcb_get_property(m_connection, 0, m_root, atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW, 0, 1024), nullptr));
            if (!reply)
                return false;
            const auto *windows = static_cast<const xcb_window_t *>(xcb_get_property_value(reply.get()));
            const int count = xcb_get_property_value_length(reply.get()) / 4;
            for (int i = 0; i < count; ++i) {
                if (title(windows[i]) == wanted && isViewable(windows[i])) {
                    found = windows[i];
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

bool X11Probe::waitUntilGone(xcb_window_t window, int timeoutMs)
{
    return waitFor(
        [&] {
            xcb_generic_error_t *error = nullptr;
            auto reply = own(xcb_get_window_attributes_reply(m_connection, xcb_get_window_attributes(m_connection, window), &error));
            std::free(error);
            return !reply;
        },
        timeoutMs);
}

std::optional<QRect> X11Probe::frame(xcb_window_t window)
{
    auto tree = own(xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, window), nullptr));
    if (!tree)
        return std::nullopt;
    const xcb_window_t outer = tree->parent == m_root ? window : tree->parent;
    auto geometry = own(xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, outer), nullptr));
    if (!geometry)
        return std::nullopt;
    const int border = 2 * geometry->border_width;
    return QRect(geometry->x, geometry->y, geometry->width + border, geometry->height + border);
}

std::optional<pid_t> X11Probe::pidOf(xcb_window_t window)
{
    const QList<uint32_t> values = cardinals(window, "_NET_WM_PID");
    return values.size() == 1 ? std::optional<pid_t>(pid_t(values[0])) : std::nullopt;
}

QList<uint32_t> X11Probe::cardinals(xcb_window_t window, const char *name)
{
    auto reply = own(xcb_get_property_reply(
        m_connection,
        xcb_get_property(m_connection, 0, window ? window : m_root, atom(name), XCB_ATOM_CARDINAL, 0, 64), nullptr));
    if (!reply || reply->format != 32)
        return {};
    const auto *data = static_cast<const uint32_t *>(xcb_get_property_value(reply.get()));
    return QList<uint32_t>(data, data + xcb_get_property_value_length(reply.get()) / 4);
}

QList<xcb_window_t> X11Probe::stacking()
{
    auto reply = own(xcb_get_property_reply(
        m_connection, xcb_get_property(m_connection, 0, m_root, atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW, 0, 4096),
        nullptr));
    if (!reply || reply->format != 32)
        return {};
    const auto *data = static_cast<const xcb_window_t *>(xcb_get_property_value(reply.get()));
    return QList<xcb_window_t>(data, data + xcb_get_property_value_length(reply.get()) / 4);
}

void X11Probe::setRootText(const char *name, const QByteArray &value)
{
    xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_root, atom(name), XCB_ATOM_STRING, 8,
                        uint32_t(value.size()), value.constData());
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}

void X11Probe::deleteProperty(xcb_window_t window, const char *name)
{
    xcb_delete_property(m_connection, window ? window : m_root, atom(name));
    // A round trip: the deletion has reached the server when this returns.
    std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
}

std::optional<xcb_window_t> X11Probe::activeWindow()
{
    return windowProperty(m_root, "_NET_ACTIVE_WINDOW");
}

bool X11Probe::hasState(xcb_window_t window, const char *stateAtom)
{
    auto reply = own(xcb_get_property_reply(
        m_connection, xcb_get_property(m_connection, 0, window, atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 0, 64), nullptr));
    if (!reply)
        return false;
    const xcb_atom_t wanted = atom(stateAtom);
    const auto *atoms = static_cast<const xcb_atom_t *>(xcb_get_property_value(reply.get()));
    for (int i = 0; i < xcb_get_property_value_length(reply.get()) / 4; ++i) {
        if (atoms[i] == wanted)
            return true;
    }
    return false;
}

bool X11Probe::isViewable(xcb_window_t window)
{
    auto reply = own(xcb_get_window_attributes_reply(m_connection, xcb_get_window_attributes(m_connection, window), nullptr));
    return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

void X11Probe::sendToRoot(xcb_window_t window, const char *type, uint32_t d0, uint32_t d1, uint32_t d2)
{
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atom(type);
    event.data.data32[0] = d0;
    event.data.data32[1] = d1;
    event.data.data32[2] = d2;
    xcb_send_event(m_connection, 0, m_root, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char *>(&event));
    xcb_flush(m_connection);
}

xcb_window_t X11Probe::createOwnWindow(const QString &title)
{
    const xcb_window_t window = xcb_generate_id(m_connection);
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, window, m_root, 100, 100, 300, 200, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    const QByteArray name = title.toUtf8();
    xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8,
                        uint32_t(name.size()), name.constData());
    xcb_map_window(m_connection, window);
    xcb_flush(m_connection);
    return window;
}

void X11Probe::activate(xcb_window_t window)
{
    sendToRoot(window, "_NET_ACTIVE_WINDOW", 2, XCB_CURRENT_TIME, 0);
}

void X11Probe::requestClose(xcb_window_t window)
{
    sendToRoot(window, "_NET_CLOSE_WINDOW", XCB_CURRENT_TIME, 2);
}

void X11Probe::setMaximized(xcb_window_t window, bool maximized)
{
    sendToRoot(window, "_NET_WM_STATE", maximized ? 1 : 0, atom("_NET_WM_STATE_MAXIMIZED_VERT"),
               atom("_NET_WM_STATE_MAXIMIZED_HORZ"));
}

void X11Probe::iconify(xcb_window_t window)
{
    sendToRoot(window, "WM_CHANGE_STATE", 3);
}

void X11Probe::sendToDesktop(xcb_window_t window, uint32_t desktop)
{
    sendToRoot(window, "_NET_WM_DESKTOP", desktop, 2);
}

std::optional<uint32_t> X11Probe::desktopOf(xcb_window_t window)
{
    const QList<uint32_t> values = cardinals(window, "_NET_WM_DESKTOP");
    return values.size() == 1 ? std::optional<uint32_t>(values[0]) : std::nullopt;
}

bool X11Probe::waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        QThread::msleep(10);
    }
    return condition();
}

} // namespace tarni::test
