#include "tests/monitor/x_session.h"

#include <X11/Xlib.h>

#include <csignal>
#include <map>

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

XServer::XServer(bool withWindowManager) {
    const std::string log = dir_ / "xvfb.log";
    xvfb_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp"}, log);
    int number = -1;
    if (!WaitUntil([&] { return (number = DisplayNumber(ReadFile(log))) >= 0 || !xvfb_->running(); })) return;
    if (number < 0) return;
    display_ = ":" + std::to_string(number);
    if (withWindowManager) {
        wm_ = std::make_unique<ChildProcess>(std::vector<std::string>{"openbox", "--sm-disable"}, dir_ / "wm.log",
                                             std::map<std::string, std::string>{
                                                 {"DISPLAY", display_}, {"HOME", dir_.path()},
                                                 {"XDG_CONFIG_HOME", dir_ / "config"}});
        // A window that appears in the client list proves the manager ready;
        // one mapped while it was still starting is never managed, so a new
        // probe is tried then.
        bool managing = false;
        for (int attempt = 0; attempt < 5 && !managing; ++attempt) {
            TestWindow probe(*this, "window manager probe");
            managing = WaitUntil([&] { return WindowManagerManaging(display_); }, std::chrono::seconds(2));
        }
        if (!managing) display_.clear();
    }
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
