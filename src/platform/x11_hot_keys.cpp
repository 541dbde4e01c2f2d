#include "platform/x11_hot_keys.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>
#include <vector>

namespace {

// The X keysyms of the actions' keys: F9, F10, F11.
xcb_keysym_t keysymFor(HotKeys::Action action)
{
    constexpr xcb_keysym_t kXK_F9 = 0xffc6;
    switch (action) {
    case HotKeys::Action::Record:
        return kXK_F9;
    case HotKeys::Action::Pause:
        return kXK_F9 + 1;
    case HotKeys::Action::Stop:
        return kXK_F9 + 2;
    }
    return 0;
}

// NumLock is Mod2 and CapsLock is Lock on every common layout; a grab needs each combination.
const uint16_t kModifierSets[] = {0, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK};

} // namespace

struct X11HotKeys::Connection {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    xcb_key_symbols_t* symbols = nullptr;
};

X11HotKeys::X11HotKeys()
{
    auto* app = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = app ? app->connection() : nullptr;
    if (!connection)
        return;
    m_x = std::make_unique<Connection>();
    m_x->connection = connection;
    m_x->root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    m_x->symbols = xcb_key_symbols_alloc(connection);
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11HotKeys::~X11HotKeys()
{
    if (!m_x)
        return;
    for (const Grab& grab : std::as_const(m_grabs))
        ungrab(grab);
    xcb_flush(m_x->connection);
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
    xcb_key_symbols_free(m_x->symbols);
}

void X11HotKeys::registerHotKey(Action action)
{
    registerHotKeys({action});
}

void X11HotKeys::registerHotKeys(const QList<Action>& actions)
{
    if (!m_x)
        return;
    // Every combination of every key is asked for first and the answers read after: the first answer
    // read waits for the server once, and the others have come with it.
    struct Asked {
        xcb_void_cookie_t cookie;
        Action action;
        uint16_t modifiers;
    };
    std::vector<Asked> asked;
    for (Action action : actions) {
        const xcb_keysym_t keysym = keysymFor(action);
        xcb_keycode_t* codes = keysym ? xcb_key_symbols_get_keycode(m_x->symbols, keysym) : nullptr;
        if (!codes)
            continue;
        Grab grab{action, {}};
        for (xcb_keycode_t* code = codes; *code != XCB_NO_SYMBOL; ++code) {
            for (uint16_t modifiers : kModifierSets)
                asked.push_back({xcb_grab_key_checked(m_x->connection, 1, m_x->root, modifiers, *code,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                 action, modifiers});
            // Releasing a combination that another client holds leaves its grab alone.
            if (!grab.keycodes.contains(*code))
                grab.keycodes.append(*code);
        }
        std::free(codes);
        m_grabs.append(grab);
    }
    for (const Asked& grabbed : asked) {
        // Another client holding the key answers BadAccess: the key is left to it.
        if (xcb_generic_error_t* error = xcb_request_check(m_x->connection, grabbed.cookie)) {
            if (grabbed.modifiers == 0 && !m_heldElsewhere.contains(grabbed.action))
                m_heldElsewhere.append(grabbed.action);
            std::free(error);
        }
    }
}

void X11HotKeys::ungrab(const Grab& grab)
{
    for (uint8_t code : grab.keycodes)
        for (uint16_t modifiers : kModifierSets)
            xcb_ungrab_key(m_x->connection, code, m_x->root, modifiers);
}

void X11HotKeys::unregisterHotKey(Action action)
{
    if (!m_x)
        return;
    for (qsizetype i = 0; i < m_grabs.size(); ++i) {
        if (m_grabs[i].action == action) {
            ungrab(m_grabs[i]);
            m_grabs.removeAt(i);
            break;
        }
    }
    xcb_flush(m_x->connection);
}

bool X11HotKeys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t" || !m_x)
        return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
        return false;
    auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
    if (press->event != m_x->root)
        return false;
    for (const Grab& grab : std::as_const(m_grabs)) {
        if (grab.keycodes.contains(press->detail)) {
            Q_EMIT pressed(grab.action);
            return true;
        }
    }
    return false;
}
