// x11_test_window: one real top-level window for the program monitor's
// tests. It stays open until SIGTERM (or two minutes, so a forgotten one
// cannot linger); SIGUSR1 gives it the --retitle title.
//
//   x11_test_window [options] TITLE
//     --wm-name-only   set only WM_NAME, as Latin-1 STRING (no _NET_WM_NAME)
//     --transient      owned by another (unmapped) window: WM_TRANSIENT_FOR
//     --type NAME      _NET_WM_WINDOW_TYPE_<NAME> (NORMAL, DIALOG, UTILITY, ...)
//     --override       override-redirect, as menus and tooltips are
//     --iconic         ask to start minimised
//     --unmapped       create the window but never map it
//     --retitle TITLE  the title SIGUSR1 switches to
//
// Prints "ready" once the window exists on the server.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>

namespace {

volatile std::sig_atomic_t gStop = 0;
volatile std::sig_atomic_t gRetitle = 0;

void OnSignal(int sig) {
    if (sig == SIGUSR1)
        gRetitle = 1;
    else
        gStop = 1;
}

std::string Utf8ToLatin1(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) {
            out += static_cast<char>(((c & 0x1F) << 6) | (static_cast<unsigned char>(s[++i]) & 0x3F));
        }
    }
    return out;
}

void SetTitle(Display* dpy, Window w, const std::string& title, bool wmNameOnly) {
    if (wmNameOnly) {
        const std::string latin1 = Utf8ToLatin1(title);
        XChangeProperty(dpy, w, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(latin1.data()), static_cast<int>(latin1.size()));
        return;
    }
    const Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
    XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
    // WM_NAME as UTF8_STRING too, the way current toolkits write it.
    XChangeProperty(dpy, w, XA_WM_NAME, utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
}

}  // namespace

int main(int argc, char** argv) {
    bool wmNameOnly = false, transient = false, override = false, iconic = false, unmapped = false;
    std::string type, retitle, title;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--wm-name-only") wmNameOnly = true;
        else if (a == "--transient") transient = true;
        else if (a == "--override") override = true;
        else if (a == "--iconic") iconic = true;
        else if (a == "--unmapped") unmapped = true;
        else if (a == "--type" && i + 1 < argc) type = argv[++i];
        else if (a == "--retitle" && i + 1 < argc) retitle = argv[++i];
        else title = a;
    }
    Display* dpy = XOpenDisplay(nullptr);
    if (dpy == nullptr) {
        std::fputs("x11_test_window: cannot open the display\n", stderr);
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);

    const Window root = DefaultRootWindow(dpy);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = override ? True : False;
    const Window w = XCreateWindow(dpy, root, 10, 10, 200, 100, 0, CopyFromParent, InputOutput, CopyFromParent,
                                   CWOverrideRedirect, &attrs);
    SetTitle(dpy, w, title, wmNameOnly);
    if (transient) {
        const Window owner = XCreateSimpleWindow(dpy, root, 0, 0, 50, 50, 0, 0, 0);
        XSetTransientForHint(dpy, w, owner);
    }
    if (!type.empty()) {
        const Atom t = XInternAtom(dpy, ("_NET_WM_WINDOW_TYPE_" + type).c_str(), False);
        XChangeProperty(dpy, w, XInternAtom(dpy, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&t), 1);
    }
    if (iconic) {
        XWMHints hints{};
        hints.flags = StateHint;
        hints.initial_state = IconicState;
        XSetWMHints(dpy, w, &hints);
    }
    if (!unmapped) XMapWindow(dpy, w);
    XSync(dpy, False);
    std::puts("ready");
    std::fflush(stdout);

    const std::time_t end = std::time(nullptr) + 120;
    pollfd pfd{ConnectionNumber(dpy), POLLIN, 0};
    while (!gStop && std::time(nullptr) < end) {
        ::poll(&pfd, 1, 100);
        while (XPending(dpy) > 0) {
            XEvent ev;
            XNextEvent(dpy, &ev);
        }
        if (gRetitle) {
            gRetitle = 0;
            SetTitle(dpy, w, retitle, wmNameOnly);
            XSync(dpy, False);
        }
    }
    XCloseDisplay(dpy);
    return 0;
}
