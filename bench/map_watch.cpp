// Starts a program and tells how long it took until its window was mapped, to the microsecond,
// without polling: it watches the screen's top-level windows for the first one mapped with the given
// title, from just before the program was started.
//
//   map_watch TITLE COMMAND [ARGUMENTS...]
//
// Prints "seconds pid" on one line once the window is mapped and leaves the program running; exits
// 1 when the program ends first or nothing is mapped within 10 s.
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string property(xcb_connection_t* x, xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
{
    xcb_get_property_reply_t* reply =
        xcb_get_property_reply(x, xcb_get_property(x, 0, window, name, type, 0, 1024), nullptr);
    if (!reply)
        return {};
    std::string value(static_cast<const char*>(xcb_get_property_value(reply)),
                      size_t(xcb_get_property_value_length(reply)));
    std::free(reply);
    return value;
}

xcb_atom_t atom(xcb_connection_t* x, const char* name)
{
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t value = reply ? reply->atom : XCB_ATOM_NONE;
    std::free(reply);
    return value;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s TITLE COMMAND [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    const std::string title = argv[1];
    xcb_connection_t* x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x)) {
        std::fprintf(stderr, "map_watch: no X display\n");
        return 2;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes_checked(x, root, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t netName = atom(x, "_NET_WM_NAME");
    const xcb_atom_t utf8 = atom(x, "UTF8_STRING");
    std::free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr)); // the mask is in place

    const auto started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    const auto deadline = started + std::chrono::seconds(10);
    pollfd watched{xcb_get_file_descriptor(x), POLLIN, 0};
    while (std::chrono::steady_clock::now() < deadline) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
            if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
                const auto mapped = std::chrono::steady_clock::now();
                const xcb_window_t window = reinterpret_cast<xcb_map_notify_event_t*>(event)->window;
                if (property(x, window, netName, utf8) == title ||
                    property(x, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING) == title) {
                    std::printf("%.6f %d\n", std::chrono::duration<double>(mapped - started).count(), int(child));
                    std::free(event);
                    xcb_disconnect(x);
                    return 0;
                }
            }
            std::free(event);
        }
        if (xcb_connection_has_error(x) || waitpid(child, nullptr, WNOHANG) == child)
            break;
        poll(&watched, 1, 50);
    }
    std::fprintf(stderr, "map_watch: no window \"%s\" was mapped\n", title.c_str());
    kill(child, SIGTERM);
    return 1;
}
