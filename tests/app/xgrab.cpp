// Tries to grab a key on the root window, as another program taking a global hot key would.
// Usage: xgrab FN [--hold]   (FN: a function key, F1 to F24) exits 0 when every grab of that key
// succeeded, 1 when another client holds it. With --hold it keeps a key it got until it is killed,
// and says "held" once it has it.
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    const bool hold = argc == 3 && std::string(argv[2]) == "--hold";
    if (argc != 2 && !hold) {
        std::fprintf(stderr, "usage: xgrab FN [--hold]\n");
        return 2;
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "xgrab: no X display\n");
        return 2;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const int number = argv[1][0] == 'F' ? std::atoi(argv[1] + 1) : 0;
    if (number < 1 || number > 24) {
        std::fprintf(stderr, "xgrab: %s is not a function key\n", argv[1]);
        return 2;
    }
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(c);
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, xcb_keysym_t(0xffbe + number - 1));
    int status = codes && *codes != XCB_NO_SYMBOL ? 0 : 2;
    for (xcb_keycode_t* code = codes; code && *code != XCB_NO_SYMBOL; ++code) {
        xcb_generic_error_t* error =
            xcb_request_check(c, xcb_grab_key_checked(c, 1, root, 0, *code, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        if (error)
            status = 1;
        std::free(error);
    }
    std::free(codes);
    xcb_key_symbols_free(symbols);
    if (hold && status == 0) {
        std::printf("held\n");
        std::fflush(stdout);
        while (xcb_generic_event_t* event = xcb_wait_for_event(c))
            std::free(event);
    }
    xcb_disconnect(c);
    return status;
}
