// A small X11 client for the window tests: it shows top-level windows titled
// after the file or folder it was asked to open (or --title), the way a
// viewer started by xdg-open would. SIGUSR1 closes its first window while
// the process keeps running.
//
//   tarni_test_window [--no-pid] [--geometry WxH+X+Y] [--title T] [--windows N]
//                     [--dock-left WIDTH] [--take-over FILE] [path]
//
// --take-over makes SIGUSR2 retitle the first window with FILE's contents and
// ask for it to be activated, as an application that opens a document in a
// window it already has.
//
// --dock-left makes the window a dock reserving WIDTH pixels at the left
// edge, like our sidebar.

#include <xcb/xcb.h>
#include <xcb/xcb_icccm.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t closeFirst = 0;
volatile std::sig_atomic_t quit = 0;
volatile std::sig_atomic_t takeOver = 0;

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name), nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

std::string baseName(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

int main(int argc, char **argv)
{
    bool setPid = true;
    int width = 400, height = 300, x = 50, y = 60, windows = 1, dockLeft = 0;
    std::string title, takeOverFile;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-pid") {
            setPid = false;
        } else if (arg == "--geometry" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d+%d+%d", &width, &height, &x, &y) != 4) {
                std::fprintf(stderr, "bad geometry\n");
                return 2;
            }
        } else if (arg == "--title" && i + 1 < argc) {
            title = argv[++i];
        } else if (arg == "--dock-left" && i + 1 < argc) {
            dockLeft = std::max(0, std::atoi(argv[++i]));
        } else if (arg == "--take-over" && i + 1 < argc) {
            takeOverFile = argv[++i];
        } else if (arg == "--windows" && i + 1 < argc) {
            windows = std::max(1, std::atoi(argv[++i]));
        } else if (title.empty()) {
            title = baseName(arg);
        }
    }
    if (title.empty())
        title = "untitled";

    std::signal(SIGUSR1, [](int) { closeFirst = 1; });
    std::signal(SIGTERM, [](int) { quit = 1; });
    std::signal(SIGUSR2, [](int) { takeOver = 1; });

    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "cannot connect to the display\n");
        return 1;
    }
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_atom_t netWmName = atom(c, "_NET_WM_NAME");
    const xcb_atom_t utf8 = atom(c, "UTF8_STRING");
    const xcb_atom_t netWmPid = atom(c, "_NET_WM_PID");
    const xcb_atom_t protocols = atom(c, "WM_PROTOCOLS");
    const xcb_atom_t deleteWindow = atom(c, "WM_DELETE_WINDOW");

    std::vector<xcb_window_t> shown;
    for (int n = 0; n < windows; ++n) {
        const xcb_window_t w = xcb_generate_id(c);
        const uint32_t values[] = {screen->white_pixel, XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, int16_t(x + 40 * n), int16_t(y + 40 * n),
                          uint16_t(width), uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        const std::string name = n == 0 ? title : title + " (" + std::to_string(n + 1) + ")";
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, netWmName, utf8, 8, uint32_t(name.size()), name.data());
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, uint32_t(name.size()),
                            name.data());
        static const char wmClass[] = "tarni-test-window\0TarniTestWindow";
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof wmClass,
                            wmClass);
        if (setPid) {
            const uint32_t pid = uint32_t(::getpid());
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, netWmPid, XCB_ATOM_CARDINAL, 32, 1, &pid);
        }
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, protocols, XCB_ATOM_ATOM, 32, 1, &deleteWindow);
        if (dockLeft > 0) {
            const xcb_atom_t dock = atom(c, "_NET_WM_WINDOW_TYPE_DOCK");
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, 1,
                                &dock);
            const uint32_t strut[12] = {uint32_t(dockLeft), 0, 0, 0, uint32_t(y), uint32_t(y + height - 1), 0, 0,
                                        0, 0, 0, 0};
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom(c, "_NET_WM_STRUT_PARTIAL"), XCB_ATOM_CARDINAL, 32,
                                12, strut);
        }
        // Ask to be placed where we say, as users' applications restoring
        // their geometry do.
        xcb_size_hints_t hints{};
        xcb_icccm_size_hints_set_position(&hints, 1, x + 40 * n, y + 40 * n);
        xcb_icccm_size_hints_set_size(&hints, 1, width, height);
        xcb_icccm_set_wm_normal_hints(c, w, &hints);
        xcb_map_window(c, w);
        shown.push_back(w);
    }
    xcb_flush(c);

    while (!quit && !shown.empty()) {
        if (closeFirst) {
            closeFirst = 0;
            xcb_destroy_window(c, shown.front());
            shown.erase(shown.begin());
            xcb_flush(c);
        }
        if (takeOver && !takeOverFile.empty()) {
            takeOver = 0;
            char name[256] = {};
            if (FILE *f = std::fopen(takeOverFile.c_str(), "r")) {
                std::fgets(name, sizeof name - 1, f);
                std::fclose(f);
            }
            const xcb_window_t w = shown.front();
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, netWmName, utf8, 8, uint32_t(std::strlen(name)), name);
            xcb_client_message_event_t activate{};
            activate.response_type = XCB_CLIENT_MESSAGE;
            activate.format = 32;
            activate.window = w;
            activate.type = atom(c, "_NET_ACTIVE_WINDOW");
            activate.data.data32[0] = 2;
            xcb_send_event(c, 0, screen->root,
                           XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                           reinterpret_cast<const char *>(&activate));
            xcb_flush(c);
        }
        pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&p, 1, 50);
        while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
            if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                auto *message = reinterpret_cast<xcb_client_message_event_t *>(event);
                if (message->type == protocols && message->data.data32[0] == deleteWindow) {
                    xcb_destroy_window(c, message->window);
                    std::erase(shown, message->window);
                    xcb_flush(c);
                }
            }
            std::free(event);
        }
        if (xcb_connection_has_error(c))
            break;
    }
    xcb_disconnect(c);
    return 0;
}
