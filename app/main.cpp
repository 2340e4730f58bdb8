// zelmar: the program's entry point and its window-less front ends.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

#include "app/core/core.h"
#include "app/core/headless_host.h"
#include "app/core/version.h"
#include "app/services.h"

namespace {

constexpr const char* kUsage =
    "Usage: zelmar [options]\n"
    "Keeps other people informed of this computer's LAN and WAN address.\n"
    "\n"
    "  --headless   run without a window system; status lines go to stdout\n"
    "  --once       run one refresh now, then exit (0: online, 1: not)\n"
    "  -I           start minimised, without the tray icon\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "\n"
    "Settings are kept in Zelmar.ini in the current directory.\n";

enum class Mode { Window, Headless, Once };

std::string CurrentDirectory() {
    char buf[4096];
    if (::getcwd(buf, sizeof buf) == nullptr) return std::string();
    return buf;
}

// SIGTERM and SIGINT are blocked in every thread and taken here, so that the
// exit runs on the main loop and never inside a signal handler.
class SignalWatcher {
public:
    explicit SignalWatcher(zelmar::EventLoop& loop) : loop_(loop) {
        thread_ = std::thread([this] { Watch(); });
    }
    ~SignalWatcher() {
        stop_ = true;
        thread_.join();
    }
    static void BlockSignals() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }

private:
    void Watch() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        const timespec wait{0, 200 * 1000 * 1000};
        while (!stop_) {
            if (sigtimedwait(&set, nullptr, &wait) > 0) loop_.Quit();
        }
    }
    zelmar::EventLoop& loop_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

int RunHeadless(Mode mode, bool startMinimised) {
    SignalWatcher::BlockSignals();
    const std::string dir = CurrentDirectory();
    const std::string settingsFile = dir.empty() ? "Zelmar.ini" : dir + "/Zelmar.ini";

    zelmar::HeadlessHost host;
    zelmar::Core core(host, dir, settingsFile, zelmar::ScrambleKey());
    zelmar::InstallServices(core);
    SignalWatcher signals(host.loop());
    auto onTick = [&](int id) { core.OnTimer(id); };

    if (mode == Mode::Once) {
        core.LoadOrCreateSettings();
        core.ManualRefreshCommand();
        host.loop().RunUntil(onTick, [&] { return !core.WorkerRunning(); });
        host.loop().Quit();
        host.JoinWorkers();
        return core.state().OnlineState == 1 ? 0 : 1;
    }
    core.Initialise(startMinimised);
    host.loop().Run(onTick);
    host.JoinWorkers();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Mode mode = Mode::Window;
    bool startMinimised = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--headless") {
            if (mode != Mode::Once) mode = Mode::Headless;
        } else if (a == "--once") {
            mode = Mode::Once;
        } else if (a == "-I" || a == "-i") {
            startMinimised = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("zelmar %s\n", zelmar::kProductVersion);
            return 0;
        } else {
            std::fprintf(stderr, "zelmar: unknown option '%s'\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (mode == Mode::Window) {
        std::fputs("zelmar: this build has no window front end yet; running headless.\n", stderr);
        mode = Mode::Headless;
    }
    return RunHeadless(mode, startMinimised);
}
