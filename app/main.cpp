// zelmar: the program's entry point and its window-less front ends.
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <sys/socket.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

#include "app/core/core.h"
#include "app/core/headless_host.h"
#include "app/core/single_instance.h"
#include "app/core/version.h"
#include "app/services.h"
#ifdef ZELMAR_HAVE_GUI
#include "ui/gui_front_end.h"
#endif

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

std::string SettingsPath(const std::string& dir) { return dir.empty() ? "Zelmar.ini" : dir + "/Zelmar.ini"; }

// SIGTERM and SIGINT are blocked in every thread and taken here, so that the
// exit runs on the main loop and never inside a signal handler.
class SignalWatcher {
public:
    explicit SignalWatcher(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
        thread_ = std::thread([this] { Watch(); });
    }
    ~SignalWatcher() {
        stop_ = true;
        // Wakes the watcher, which waits without a time limit (an idle
        // program makes no wake-ups).
        pthread_kill(thread_.native_handle(), SIGTERM);
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
        while (!stop_) {
            if (sigwaitinfo(&set, nullptr) > 0 && !stop_) onSignal_();
        }
    }
    std::function<void()> onSignal_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Nothing needs initialising for sockets on this system, but the step stays:
// a process without a usable socket layer (a locked-down sandbox, say) is
// told so at once instead of failing at every refresh.
bool InitialiseNetwork() {
    std::signal(SIGPIPE, SIG_IGN);  // a peer closing a socket must not kill us
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        std::fputs("Zelmar: Unable to initialise the network sockets.\n", stderr);
        return false;
    }
    ::close(fd);
    return true;
}

// The core on the headless host, with every service installed.
struct HeadlessProgram {
    explicit HeadlessProgram(const std::string& dir) : core(host, dir, SettingsPath(dir), zelmar::ScrambleKey()) {
        zelmar::InstallServices(core);
        zelmar::StartServices(true);
    }
    zelmar::HeadlessHost host;
    zelmar::Core core;
};

int RunOnce() {
    SignalWatcher::BlockSignals();
    if (!InitialiseNetwork()) return 1;
    HeadlessProgram program(CurrentDirectory());
    zelmar::Core& core = program.core;
    zelmar::HeadlessHost& host = program.host;
    SignalWatcher signals([&] { host.loop().Quit(); });
    core.LoadOrCreateSettings();
    core.ManualRefreshCommand();
    host.loop().RunUntil([&](int id) { core.OnTimer(id); }, [&] { return !core.WorkerRunning(); });
    host.loop().Quit();
    host.JoinWorkers();
    return core.state().OnlineState == 1 ? 0 : 1;
}

int RunHeadless(bool startMinimised) {
    SignalWatcher::BlockSignals();
    std::atomic<zelmar::HeadlessHost*> running{nullptr};
    zelmar::SingleInstance instance;
    switch (instance.Acquire([&] {
        if (zelmar::HeadlessHost* h = running.load()) h->loop().Post([h] { h->ShowMainWindow(false); });
    })) {
        case zelmar::SingleInstance::Result::AnotherRuns:
            return 1;
        case zelmar::SingleInstance::Result::Failed:
            std::fprintf(stderr, "Zelmar: cannot make sure that only one copy runs: %s\n", instance.problem().c_str());
            return 1;
        case zelmar::SingleInstance::Result::First:
            break;
    }
    const std::string dir = CurrentDirectory();
    if (!InitialiseNetwork()) return 1;
    HeadlessProgram program(dir);
    zelmar::Core& core = program.core;
    zelmar::HeadlessHost& host = program.host;
    running = &host;

    // The first signal runs the exit as the "E&xit" command would; a second
    // one while the offline page is being published ends the process at
    // once (the settings file is only ever replaced whole, so nothing is
    // lost).
    std::atomic<bool> publishingOffline{false};
    SignalWatcher signals([&] {
        // (Also when the window is already closed and the loop waits for a
        // worker to finish its network step.)
        if (publishingOffline || host.loop().stopped()) {
            std::fputs("Zelmar: stopped during the offline publication.\n", stderr);
            std::_Exit(1);
        }
        host.loop().Post([&] {
            if (core.RequestExit() == zelmar::ExitOutcome::PublishingOffline) publishingOffline = true;
        });
    });
    core.Initialise(startMinimised);
    host.loop().Run([&](int id) { core.OnTimer(id); });
    running = nullptr;
    host.JoinWorkers();
    return core.exitFailed() ? 1 : 0;
}

// A window can be shown when the session names a display.
bool DisplayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* v = std::getenv(name);
        if (v && *v) return true;
    }
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    return platform && *platform;
}

#ifdef ZELMAR_HAVE_GUI
int RunWindow(int& argc, char** argv, bool startMinimised) {
    SignalWatcher::BlockSignals();
    zelmar::SingleInstance instance;
    switch (instance.Acquire([] { zelmar::GuiShowMainWindow(); })) {
        case zelmar::SingleInstance::Result::AnotherRuns:
            return 1;
        case zelmar::SingleInstance::Result::Failed:
            std::fprintf(stderr, "Zelmar: cannot make sure that only one copy runs: %s\n", instance.problem().c_str());
            return 1;
        case zelmar::SingleInstance::Result::First:
            break;
    }
    const std::string dir = CurrentDirectory();
    if (!InitialiseNetwork()) return 1;
    SignalWatcher signals([] { zelmar::GuiRequestExit(); });
    zelmar::GuiStart start;
    start.startDirectory = dir;
    start.settingsFile = SettingsPath(dir);
    start.invisible = startMinimised;
    return zelmar::RunGui(argc, argv, start);
}
#endif

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
        } else if (a == "-I" || a == "-i") {  // any letter case
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
#ifdef ZELMAR_HAVE_GUI
        if (DisplayAvailable()) {
            int qtArgc = 1;  // the options are the program's own
            return RunWindow(qtArgc, argv, startMinimised);
        }
        std::fputs("zelmar: no display found (DISPLAY is not set); running headless as with --headless.\n", stderr);
#else
        std::fputs("zelmar: this build has no window front end; running headless as with --headless.\n", stderr);
#endif
        mode = Mode::Headless;
    }
    return mode == Mode::Once ? RunOnce() : RunHeadless(startMinimised);
}
