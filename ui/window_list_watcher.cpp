#include "ui/window_list_watcher.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace zelmar {

namespace {

xcb_connection_t* X11Connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

std::uint32_t Atom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    if (!reply) return 0;
    const std::uint32_t atom = reply->atom;
    std::free(reply);
    return atom;
}

}  // namespace

WindowListWatcher::WindowListWatcher(QObject* parent) : QObject(parent) {
    xcb_connection_t* c = X11Connection();
    if (!c) return;
    // The first screen's root window: Qt already asks the server for that
    // window's property notices (it follows the work area and the tray
    // manager there).
    const xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    if (screens.rem > 0) root_ = screens.data->root;
    clientList_ = Atom(c, "_NET_CLIENT_LIST");
    activeWindow_ = Atom(c, "_NET_ACTIVE_WINDOW");
}

WindowListWatcher::~WindowListWatcher() { SetActive(false); }

void WindowListWatcher::SetActive(bool active) {
    if (active == active_ || root_ == 0) return;
    active_ = active;
    if (active)
        QCoreApplication::instance()->installNativeEventFilter(this);
    else
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool WindowListWatcher::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
    const auto* notify = static_cast<const xcb_property_notify_event_t*>(message);
    if (notify->window == root_ && (notify->atom == clientList_ || notify->atom == activeWindow_)) emit changed();
    return false;  // Qt goes on with it as well
}

}  // namespace zelmar
