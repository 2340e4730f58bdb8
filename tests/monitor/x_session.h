// A virtual X display for the program monitor's tests: Xvfb on a display
// number it picks itself, optionally with a window manager, and real windows
// made by the x11_test_window helper.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/peer_process.h"

namespace zelmar::test {

// Polls cond until it holds or the time-out passes (a wait, not a timing).
template <class F>
bool WaitUntil(F cond, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// True once some client owns the selection named (ICCCM manager selections:
// "WM_S0" for the window manager, "_NET_SYSTEM_TRAY_S0" for a tray host).
bool SelectionOwned(const std::string& display, const char* selection);

// The centre, in root coordinates, of a viewable window of that class that
// another client has embedded (its parent is not the root), at most maxSize
// pixels each way: a tray icon docked in the tray host's panel.
bool EmbeddedWindowCentre(const std::string& display, const std::string& resName, const std::string& resClass,
                          int maxSize, int& x, int& y);

class XServer {
public:
    // screen: Xvfb's "WIDTHxHEIGHTxDEPTH".
    explicit XServer(bool withWindowManager = false, const std::string& screen = "640x480x24");
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // ":N", or "" when the server did not come up.
    const std::string& display() const { return display_; }
    // Why display() is "".
    const std::string& problem() const { return problem_; }
    // Ends the server (and the window manager).
    void Kill();

private:
    bool StartWindowManager();

    ScratchDir dir_;
    std::unique_ptr<ChildProcess> xvfb_;
    std::unique_ptr<ChildProcess> wm_;
    std::string display_;
    std::string problem_;
};

// One top-level window of the x11_test_window helper; closed on destruction.
class TestWindow {
public:
    TestWindow(const XServer& server, const std::string& title, const std::vector<std::string>& options = {});
    // Switches to the title given with "--retitle".
    void Retitle();
    void Close();
    // True once the helper has created its window.
    bool ready() const;

private:
    ScratchDir dir_;
    std::unique_ptr<ChildProcess> proc_;
};

}  // namespace zelmar::test
