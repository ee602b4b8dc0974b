#pragma once

#include <QByteArray>
#include <QList>
#include <QRect>
#include <QString>

#include <xcb/xcb.h>

#include <chrono>
#include <functional>
#include <optional>
#include <sys/types.h>

namespace tarni::test {

// Looks at a test display independently of the code under test: frames are
// read from the window manager's frame window (the client's parent), not
// from _NET_FRAME_EXTENTS.
class X11Probe {
public:
    explicit X11Probe(const QString &display);
    ~X11Probe();
    X11Probe(const X11Probe &) = delete;
    X11Probe &operator=(const X11Probe &) = delete;

    bool isConnected() const { return m_connection && !xcb_connection_has_error(m_connection); }

    // The managed client window whose _NET_WM_NAME is `title`, once it shows.
    std::optional<xcb_window_t> waitForClient(const QString &title, int timeoutMs = 8000);
    bool waitUntilGone(xcb_window_t window, int timeoutMs = 5000);
    // The outer frame: the frame window's geometry, or the window's own when
    // no window manager reparented it.
    std::optional<QRect> frame(xcb_window_t window);
    std::optional<pid_t> pidOf(xcb_window_t window);
    // The 32-bit values of a CARDINAL property; XCB_WINDOW_NONE names the root.
    QList<uint32_t> cardinals(xcb_window_t window, const char *name);
    void deleteProperty(xcb_window_t window, const char *name);
    // A text property of the root window (RESOURCE_MANAGER, for Xft.dpi).
    void setRootText(const char *name, const QByteArray &value);
    // The managed windows from bottom to top.
    QList<xcb_window_t> stacking();
    std::optional<xcb_window_t> activeWindow();
    bool hasState(xcb_window_t window, const char *stateAtom);
    bool isViewable(xcb_window_t window);

    // A window of this very process (no _NET_WM_PID, so the X-Resource
    // extension names us as its owner).
    xcb_window_t createOwnWindow(const QString &title);
    void activate(xcb_window_t window);
    // As the close button of the window's frame does.
    void requestClose(xcb_window_t window);
    void setMaximized(xcb_window_t window, bool maximized);
    void iconify(xcb_window_t window);
    void sendToDesktop(xcb_window_t window, uint32_t desktop);
    std::optional<uint32_t> desktopOf(xcb_window_t window);

    static bool waitFor(const std::function<bool()> &condition, int timeoutMs = 3000);

private:
    xcb_atom_t atom(const char *name);
    std::optional<xcb_window_t> windowProperty(xcb_window_t window, const char *name);
    QString title(xcb_window_t window);
    void sendToRoot(xcb_window_t window, const char *type, uint32_t d0, uint32_t d1 = 0, uint32_t d2 = 0);

    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_root = XCB_WINDOW_NONE;
};

} // namespace tarni::test
