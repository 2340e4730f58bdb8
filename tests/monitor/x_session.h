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

class XServer {
public:
    explicit XServer(bool withWindowManager = false);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // ":N", or "" when the server did not come up.
    const std::string& display() const { return display_; }
    // Ends the server (and the window manager).
    void Kill();

private:
    ScratchDir dir_;
    std::unique_ptr<ChildProcess> xvfb_;
    std::unique_ptr<ChildProcess> wm_;
    std::string display_;
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
