#include "tests/monitor/x_session.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <csignal>
#include <map>
#include <vector>

namespace zelmar::test {

namespace {

// The number Xvfb wrote to its -displayfd, or -1 while there is none.
int DisplayNumber(const std::string& log) {
    std::size_t pos = 0;
    while (pos < log.size()) {
        std::size_t nl = log.find('\n', pos);
        if (nl == std::string::npos) break;  // a number is complete only with its line end
        const std::string line = log.substr(pos, nl - pos);
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) return std::stoi(line);
        pos = nl + 1;
    }
    return -1;
}

// True once the window manager lists a client: it announces itself on the
// root window before it has taken over, and a window mapped in between would
// stay unmanaged.
bool WindowManagerManaging(const std::string& display) {
    Display* dpy = XOpenDisplay(display.c_str());
    if (dpy == nullptr) return false;
    const Atom check = XInternAtom(dpy, "_NET_CLIENT_LIST", True);
    bool ready = false;
    if (check != None) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(dpy, DefaultRootWindow(dpy), check, 0, 1, False, AnyPropertyType, &type, &format,
                               &count, &after, &data) == Success)
            ready = type != None && count >= 1;
        if (data != nullptr) XFree(data);
    }
    XCloseDisplay(dpy);
    return ready;
}

}  // namespace

// True once some client owns the selection named (ICCCM manager selections:
// "WM_S0" for the window manager, "_NET_SYSTEM_TRAY_S0" for a tray host).
bool SelectionOwned(const std::string& display, const char* selection) {
    Display* dpy = XOpenDisplay(display.c_str());
    if (dpy == nullptr) return false;
    const bool owned = XGetSelectionOwner(dpy, XInternAtom(dpy, selection, False)) != None;
    XCloseDisplay(dpy);
    return owned;
}

bool EmbeddedWindowCentre(const std::string& display, const std::string& resName, const std::string& resClass,
                          int maxSize, int& x, int& y) {
    Display* dpy = XOpenDisplay(display.c_str());
    if (dpy == nullptr) return false;
    const Window root = DefaultRootWindow(dpy);
    bool found = false;
    std::vector<Window> pending{root};
    while (!pending.empty() && !found) {
        const Window w = pending.back();
        pending.pop_back();
        Window r = None, parent = None, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(dpy, w, &r, &parent, &children, &count)) continue;
        for (unsigned i = 0; i < count; ++i) pending.push_back(children[i]);
        if (children) XFree(children);
        if (w == root || parent == root) continue;
        XClassHint hint{};
        if (!XGetClassHint(dpy, w, &hint)) continue;
        const bool ours = std::string(hint.res_name ? hint.res_name : "") == resName &&
                          std::string(hint.res_class ? hint.res_class : "") == resClass;
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        XWindowAttributes a{};
        if (!ours || !XGetWindowAttributes(dpy, w, &a) || a.map_state != IsViewable || a.width <= 4 ||
            a.width > maxSize || a.height > maxSize)
            continue;
        Window child = None;
        int ax = 0, ay = 0;
        if (!XTranslateCoordinates(dpy, w, root, 0, 0, &ax, &ay, &child)) continue;
        x = ax + a.width / 2;
        y = ay + a.height / 2;
        found = true;
    }
    XCloseDisplay(dpy);
    return found;
}

XServer::XServer(bool withWindowManager, const std::string& screen) {
    const std::string log = dir_ / "xvfb.log";
    xvfb_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp"}, log);
    int number = -1;
    if (!WaitUntil([&] { return (number = DisplayNumber(ReadFile(log))) >= 0 || !xvfb_->running(); })) return;
    if (number < 0) {
        problem_ = "Xvfb did not give a display: " + ReadFile(log);
        return;
    }
    display_ = ":" + std::to_string(number);
    if (withWindowManager && !StartWindowManager()) display_.clear();
}

bool XServer::StartWindowManager() {
    // A window mapped while openbox is starting may never be managed (it
    // takes the screen, then adopts the windows already mapped, and a map
    // request in between can be lost). A window mapped before it starts is
    // always adopted: so a probe window first, then the manager, which is
    // ready once its client list holds the probe. The bound is generous for
    // a loaded machine.
    TestWindow probe(*this, "window manager probe");
    if (!WaitUntil([&] { return probe.ready(); }, std::chrono::seconds(30))) {
        problem_ = "the probe window did not appear";
        return false;
    }
    // openbox has been seen to end at its start now and then (exit status 1,
    // no message); only then is it started again, a bounded number of times.
    for (int start = 0; start < 3; ++start) {
        wm_ = std::make_unique<ChildProcess>(std::vector<std::string>{"openbox", "--sm-disable"}, dir_ / "wm.log",
                                             std::map<std::string, std::string>{
                                                 {"DISPLAY", display_}, {"HOME", dir_.path()},
                                                 {"XDG_CONFIG_HOME", dir_ / "config"}});
        if (WaitUntil([&] { return WindowManagerManaging(display_) || !wm_->running(); }, std::chrono::seconds(30)) &&
            wm_->running())
            return true;
        if (wm_->running()) break;  // running, yet it adopted nothing: not a start failure
        problem_ += "the window manager ended at its start: " + ReadFile(dir_ / "wm.log") + "\n";
    }
    problem_ += "the window manager does not manage windows: " + ReadFile(dir_ / "wm.log");
    return false;
}

XServer::~XServer() { Kill(); }

void XServer::Kill() {
    wm_.reset();
    xvfb_.reset();
}

TestWindow::TestWindow(const XServer& server, const std::string& title, const std::vector<std::string>& options) {
    std::vector<std::string> argv{ZELMAR_X11_TEST_WINDOW};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(title);
    proc_ = std::make_unique<ChildProcess>(argv, dir_ / "window.log",
                                           std::map<std::string, std::string>{{"DISPLAY", server.display()}});
}

void TestWindow::Retitle() {
    if (proc_ && proc_->running()) ::kill(proc_->pid(), SIGUSR1);
}

void TestWindow::Close() { proc_.reset(); }

bool TestWindow::ready() const { return ReadFile(dir_ / "window.log").find("ready") != std::string::npos; }

}  // namespace zelmar::test
