// Minimises or restores an X window as a window manager does, for an X server that runs none: to
// minimise, the window is unmapped and its WM_STATE becomes IconicState; to restore, it is mapped
// again in NormalState.
// Usage: xiconify WINDOW-ID [--restore]
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static xcb_atom_t atom(xcb_connection_t* c, const char* name)
{
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t result = reply ? reply->atom : XCB_ATOM_NONE;
    std::free(reply);
    return result;
}

int main(int argc, char** argv)
{
    const bool restore = argc == 3 && std::strcmp(argv[2], "--restore") == 0;
    if (argc != 2 && !restore) {
        std::fprintf(stderr, "usage: xiconify WINDOW-ID [--restore]\n");
        return 2;
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "xiconify: no X display\n");
        return 1;
    }
    const auto window = xcb_window_t(std::strtoul(argv[1], nullptr, 0));
    const xcb_atom_t wmState = atom(c, "WM_STATE");
    // ICCCM: NormalState 1, IconicState 3; no icon window.
    const uint32_t state[2] = {restore ? 1u : 3u, XCB_WINDOW_NONE};
    auto setState = [&] {
        return xcb_request_check(
            c, xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, window, wmState, wmState, 32, 2, state));
    };
    auto mapping = [&] {
        return xcb_request_check(c, restore ? xcb_map_window_checked(c, window) : xcb_unmap_window_checked(c, window));
    };
    xcb_generic_error_t* first = restore ? setState() : mapping();
    xcb_generic_error_t* second = restore ? mapping() : setState();
    const bool failed = first || second;
    if (failed)
        std::fprintf(stderr, "xiconify: no window %s\n", argv[1]);
    std::free(first);
    std::free(second);
    xcb_disconnect(c);
    return failed ? 1 : 0;
}
