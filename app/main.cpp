// zelmar: the program's entry point and its window-less front ends.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <dlfcn.h>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <termios.h>
#include <thread>
#include <vector>
#include <unistd.h>

#include "app/address/curl_library.h"
#include "app/core/config_dir.h"
#include "app/core/core.h"
#include "app/notify/session_notifier.h"
#include "app/core/file_io.h"
#include "app/core/headless_host.h"
#include "app/core/messages.h"
#include "app/core/settings.h"
#include "app/core/single_instance.h"
#include "app/core/version.h"
#include "app/notify/command_hook.h"
#include "app/ddns/ddns_provider.h"
#include "app/notify/notification_email.h"
#include "app/notify/smtp_login.h"
#include "app/composition_root.h"
#ifdef ZELMAR_HAVE_GUI
#include "app/window_module.h"
#endif

namespace {

// The options before the channel families' "--set-...-secret" ones (which
// their families describe, EntrySecretFamily), and those after.
constexpr const char* kUsageHead =
    "Usage: zelmar [options]\n"
    "Keeps other people informed of this computer's LAN and WAN address.\n"
    "\n"
    "  --headless   run without a window system; status lines go to stdout\n"
    "  --once       run one refresh as the timer would, then exit: the\n"
    "               \"on IP change only\" settings apply\n"
    "  --force      with --once: run one manual refresh instead, in which\n"
    "               everything is delivered\n"
    "  -I, -i       start minimised, without the tray icon\n"
    "  --set-smtp-login ACCOUNT\n"
    "               store the SMTP login for e-mail: the password is read\n"
    "               from standard input (not echoed on a terminal)\n";
constexpr const char* kUsageTail =
    "  --config-dir DIR\n"
    "               keep the settings in DIR (made, mode 0700, when missing)\n"
    "  --user-config\n"
    "               keep the settings in $XDG_CONFIG_HOME/zelmar (~/.config/zelmar)\n"
    "  --list-providers\n"
    "               list the dynamic-DNS providers (Protocol= word, name,\n"
    "               what an entry needs)\n"
    "  -h, --help   show this text\n"
    "  --version    show the version\n"
    "\n"
    "Without either folder option the settings are the Zelmar.ini of the\n"
    "current directory when it has one, else those in $XDG_CONFIG_HOME/zelmar.\n"
    "\n"
    "Exit status of --once: 0 the online state was reached and every due\n"
    "delivery succeeded (nothing due counts as success); 1 the online state\n"
    "was not reached (e.g. the page upload failed); 2 the online state was\n"
    "reached, but another due delivery (such as the e-mail) failed.\n";

std::string UsageText() {
    std::string out = kUsageHead;
    for (const zelmar::EntrySecretFamily* family : zelmar::EntrySecretFamilies())
        if (!family->option.empty()) out += "  " + family->option + " NAME\n" + family->help;
    return out + kUsageTail;
}

enum class Mode { Window, Headless, Once };

using zelmar::Msg;

// One line of the catalogue on stderr.
void Say(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

// A command line the program cannot take: the reason, the usage, status 2.
int Misused(const std::string& line) {
    std::fprintf(stderr, "%s\n%s", line.c_str(), UsageText().c_str());
    return 2;
}

std::string CurrentDirectory() {
    char buf[4096];
    if (::getcwd(buf, sizeof buf) == nullptr) return std::string();
    return buf;
}

std::string SettingsPath(const std::string& dir) { return dir.empty() ? "Zelmar.ini" : dir + "/Zelmar.ini"; }

// The signals that end the program: TERM, INT, and HUP (the terminal went
// away), which is taken as TERM.
sigset_t EndSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

// The end signals are blocked in every thread and read here from a signalfd,
// so that the exit runs on the main loop and never inside a signal handler.
// The thread sleeps in poll without a time-out until a signal comes or the
// watcher is destroyed: an idle program makes no wake-ups, and the exit does
// not wait for a polling period.
//
// The first signal calls onSignal; a second one ends the process at once,
// whatever the main loop is doing (a stuck upload, a slow file).
class SignalWatcher {
public:
    explicit SignalWatcher(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
        const sigset_t set = EndSignals();
        signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
        stopFd_ = ::eventfd(0, EFD_CLOEXEC);
        if (signalFd_ < 0 || stopFd_ < 0) {
            // Without them the signals stay blocked and cannot be taken:
            // let them end the process as they would by default.
            Say(zelmar::Text<Msg::CannotWatchSignals>(std::strerror(errno)));
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            return;
        }
        thread_ = std::thread([this] { Watch(); });
    }
    ~SignalWatcher() {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            (void)!::write(stopFd_, &one, sizeof one);
            thread_.join();
        }
        if (signalFd_ >= 0) ::close(signalFd_);
        if (stopFd_ >= 0) ::close(stopFd_);
    }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // Called before any thread starts, so that every thread inherits it.
    static void BlockSignals() {
        const sigset_t set = EndSignals();
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }

private:
    void Watch() {
        int received = 0;
        for (;;) {
            pollfd fds[2] = {{signalFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            signalfd_siginfo info{};
            if (::read(signalFd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
            if (++received > 1) {
                // The settings file is only ever replaced whole, so ending
                // here loses nothing.
                Say(zelmar::Text<Msg::SecondSignal>());
                zelmar::EndRunningHooks();
                zelmar::RemoveWorkingCopies();
                std::fflush(stdout);
                std::_Exit(1);
            }
            onSignal_();
        }
    }
    std::function<void()> onSignal_;
    int signalFd_ = -1;
    int stopFd_ = -1;
    std::thread thread_;
};

// Descriptors 0, 1 and 2 are open before anything else opens a file or a
// socket: started with one of them closed (as some service managers and cron
// set-ups do), the first file or socket would take its number, and status
// lines meant for stdout would go into it.
void OpenStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        // open returns the lowest free number, which is fd itself; anything
        // else would mean a lower one was closed meanwhile.
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kQuickOnceExit = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kQuickOnceExit = false;
#else
constexpr bool kQuickOnceExit = true;
#endif
#else
constexpr bool kQuickOnceExit = true;
#endif

// The process ends without waiting for a worker still in its network step:
// as when the main window is destroyed, the program ends with its window.
[[noreturn]] void EndNow(int code) {
    // A command hook still running would outlive us, out of reach of its
    // time-out.
    zelmar::EndRunningHooks();
    // A mail still being sent leaves its working copy (it holds the addresses).
    zelmar::RemoveWorkingCopies();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
}

// Nothing needs initialising for sockets on this system, but the step stays:
// a process without a usable socket layer (a locked-down sandbox, say) is
// told so at once instead of failing at every refresh.
bool InitialiseNetwork() {
    std::signal(SIGPIPE, SIG_IGN);  // a peer closing a socket must not kill us
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        Say(zelmar::Text<Msg::NoSockets>());
        return false;
    }
    ::close(fd);
    return true;
}

// The core on the headless host, with every service installed.
struct HeadlessProgram {
    explicit HeadlessProgram(const std::string& dir,
                             const zelmar::RefreshPipeline& pipeline = zelmar::MakeRefreshPipeline())
        : core(host, dir, SettingsPath(dir), zelmar::ScrambleKey()) {
        zelmar::InstallServices(core, pipeline);
        zelmar::StartServices(true);
    }
    zelmar::HeadlessHost host;
    zelmar::Core core;
};

// One Zelmar per settings folder: a one-shot run beside a running program
// (or another one-shot run) would rewrite the same "Zelmar.ini".
bool LockSettingsFolder(zelmar::FolderLock& lock, const std::string& dir) {
    switch (lock.Acquire(dir.empty() ? "." : dir)) {
        case zelmar::FolderLock::Result::Taken:
            return true;
        case zelmar::FolderLock::Result::Busy:
            Say(zelmar::Text<Msg::FolderBusy>(dir.empty() ? "this folder" : dir));
            return false;
        case zelmar::FolderLock::Result::Failed:
            // A file system without locks (some network shares) must not
            // keep the program from running: say so and go on.
            Say(zelmar::Text<Msg::FolderNotLockable>(dir.empty() ? "this folder" : dir, lock.problem()));
            return true;
    }
    return false;
}

// What every front end makes sure of before it touches the settings: one
// running copy per user (not for a one-shot run: instance is null then),
// one Zelmar per settings folder, and a usable network layer. On false the
// program exits with exitCode, the reason said on stderr: 0 when the running
// copy was asked to show itself (what the user wanted happened), 1 otherwise.
bool StartChecks(zelmar::SingleInstance* instance, std::function<void()> showRunningCopy,
                 zelmar::FolderLock& folder, std::string& dir, int& exitCode) {
    exitCode = 1;
    if (instance) {
        switch (instance->Acquire(std::move(showRunningCopy))) {
            case zelmar::SingleInstance::Result::AnotherRuns:
                // Not silently: whoever started it from a terminal or a unit
                // learns where the program is. Starting the program again is
                // how a desktop brings a tray program up, so it is no failure.
                Say(zelmar::Text<Msg::AlreadyRunning>());
                exitCode = 0;
                return false;
            case zelmar::SingleInstance::Result::Failed:
                Say(zelmar::Text<Msg::InstanceNotCheckable>(instance->problem()));
                return false;
            case zelmar::SingleInstance::Result::First:
                break;
        }
    }
    dir = CurrentDirectory();
    return LockSettingsFolder(folder, dir) && InitialiseNetwork();
}

// --once: 0 online with every due delivery done, 1 not online, 2 online but
// a due delivery failed.
int RunOnce(bool force) {
    SignalWatcher::BlockSignals();
    std::string dir;
    zelmar::FolderLock folder;
    int refused = 1;
    if (!StartChecks(nullptr, {}, folder, dir, refused)) return refused;
    // Online means the page's channel did not fail, so any failed delivery
    // the refresh attempted is one of the others.
    std::atomic<bool> deliveryFailed{false};
    zelmar::RefreshPipeline pipeline = zelmar::MakeRefreshPipeline();
    pipeline.AddObserver([&](const zelmar::RefreshSnapshot&, const std::vector<zelmar::ChannelOutcome>& outcomes) {
        for (const zelmar::ChannelOutcome& outcome : outcomes)
            if (outcome.attempted && !outcome.result.ok()) deliveryFailed = true;
    });
    // The run ends right after its fetch: libcurl stays loaded until then.
    zelmar::KeepCurlLoaded();
    HeadlessProgram program(dir, pipeline);
    zelmar::Core& core = program.core;
    zelmar::HeadlessHost& host = program.host;
    // The refresh runs on this thread: a signal ends the run at once, and
    // not as a success (the page was not published).
    host.RunWorkersInline();
    SignalWatcher signals([] { EndNow(1); });
    core.LoadSettingsAndRefresh(force);
    host.loop().RunUntil([&](int id) { core.OnTimer(id); }, [&] { return !core.WorkerRunning(); });
    host.loop().Quit();
    // A signal stopped the refresh midway: the page was not published.
    if (core.WorkerRunning()) EndNow(1);
    host.JoinWorkers();
    if (core.state().OnlineState != 1) return 1;
    return deliveryFailed ? 2 : 0;
}

int RunHeadless(bool startMinimised) {
    SignalWatcher::BlockSignals();
    std::atomic<zelmar::HeadlessHost*> running{nullptr};
    zelmar::SingleInstance instance;
    std::string dir;
    zelmar::FolderLock folder;
    int refused = 1;
    if (!StartChecks(&instance, [&] {
            if (zelmar::HeadlessHost* h = running.load()) h->loop().Post([h] { h->ShowMainWindow(false); });
        }, folder, dir, refused))
        return refused;
    // In a desktop session the desktop is told what the window would show
    // it ("DesktopNotifications"), over the session bus.
    std::atomic<zelmar::Core*> notified{nullptr};
    zelmar::RefreshPipeline pipeline = zelmar::MakeRefreshPipeline();
    if (zelmar::SessionBusNamed())
        pipeline.AddObserver(zelmar::MakeSessionNotifier(
            [&notified] {
                zelmar::Core* c = notified.load();
                return c && c->settings().DesktopNotifications == 1;
            },
            [&notified](zelmar::StatusMessage m) {
                if (zelmar::Core* c = notified.load()) c->PostStatusMessage(std::move(m));
            }));
    HeadlessProgram program(dir, pipeline);
    zelmar::Core& core = program.core;
    zelmar::HeadlessHost& host = program.host;
    running = &host;
    notified = &core;

    // The first signal runs the exit as the "E&xit" command would; a second
    // one ends the process at once (the watcher does that).
    SignalWatcher signals([&] {
        // The window is already closed and the loop has ended: nothing is
        // left to run the exit, so the signal ends what is left at once.
        if (host.loop().stopped()) {
            Say(zelmar::Text<Msg::StoppedWhileClosing>());
            zelmar::EndRunningHooks();
            std::_Exit(1);
        }
        host.loop().Post([&] { core.RequestExit(); });
    });
    core.Initialise(startMinimised);
    {
        const auto network = zelmar::WatchNetwork(core);
        host.loop().Run([&](int id) { core.OnTimer(id); });
    }
    running = nullptr;
    const int code = core.exitFailed() ? 1 : 0;
    // The window is closed. A refresh still running (an exit while it looked
    // up addresses or uploaded the online page) is not waited for: the
    // program ends with its window, and publishes no offline page, as the
    // exit rules say for an exit during a refresh.
    if (core.WorkerRunning()) {
        instance.Release();
        folder.Release();
        EndNow(code);
    }
    host.JoinWorkers();
    return code;
}

// The terminal's settings while the password is typed without echo, put
// back on every way out (also Ctrl-C).
termios g_savedTerminal{};
volatile std::sig_atomic_t g_echoOff = 0;

void RestoreEcho() {
    if (g_echoOff) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
        g_echoOff = 0;
    }
}

void RestoreEchoAndDie(int sig) {
    RestoreEcho();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// One line of standard input without its line end; false at end of input.
bool ReadSecretLine(std::string& line, const char* prompt = "SMTP password: ",
                    std::size_t limit = zelmar::kMaxSmtpLoginChars) {
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    if (terminal) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        if (::tcgetattr(STDIN_FILENO, &g_savedTerminal) == 0) {
            termios quiet = g_savedTerminal;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            quiet.c_lflag |= ECHONL;
            std::signal(SIGINT, RestoreEchoAndDie);
            std::signal(SIGTERM, RestoreEchoAndDie);
            std::signal(SIGTSTP, RestoreEchoAndDie);
            g_echoOff = 1;
            ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        }
    }
    // A password longer than the settings hold is refused later; reading
    // stops one byte past the limit.
    const bool got = zelmar::ReadBoundedLine(STDIN_FILENO, limit, line);
    RestoreEcho();
    return got;
}

int SetSmtpLogin(const std::string& account) {
    if (zelmar::TrimBlanks(account).empty()) {
        Say(zelmar::Text<Msg::SmtpAccountEmpty>());
        return 2;
    }
    std::string password;
    if (!ReadSecretLine(password)) {
        Say(zelmar::Text<Msg::NoPasswordGiven>());
        return 1;
    }
    zelmar::IniFile ini(SettingsPath(CurrentDirectory()));
    // Read, decide and write as one step: a refresh writing the file at
    // the same time neither undoes this nor is undone by it.
    zelmar::IniWriteLock lock(ini);
    if (!lock.ok()) {
        std::fprintf(stderr, "zelmar: SMTP login not stored: %s stays locked by another program\n", ini.path().c_str());
        return 1;
    }
    // The password goes where "SecretStore" says: the desktop keyring or,
    // scrambled, the settings file.
    zelmar::SecretStore store(ini, zelmar::ScrambleKey(), zelmar::MakeSecretServiceKeyring());
    std::string error, notice;
    const bool ok = zelmar::WriteSmtpLogin(ini, store, {account, password}, error, notice);
    std::fill(password.begin(), password.end(), '\0');
    if (!ok) {
        Say(zelmar::Text<Msg::SmtpLoginNotStored>(error));
        return 1;
    }
    if (!notice.empty()) Say(zelmar::Text<Msg::ProgramNotice>(notice));
    const std::string where = zelmar::EqualsNoCase(ini.GetString(zelmar::kPreferences, "EmailPasswordStore"),
                                                   zelmar::kSecretInKeyring)
                                  ? "the password in the desktop keyring"
                                  : "in " + ini.path();
    Say(zelmar::Text<Msg::SmtpLoginStored>(account, where));
    return 0;
}

// The store's fallback line, if any, then where the secret went.
void ReportStoredSecret(const zelmar::IniFile& ini, const zelmar::SecretId& id, const std::string& notice) {
    if (!notice.empty()) Say(zelmar::Text<Msg::ProgramNotice>(notice));
    const bool inKeyring = zelmar::EqualsNoCase(ini.GetString(id.section, id.MarkerKey()), zelmar::kSecretInKeyring);
    Say(zelmar::Text<Msg::SecretStored>(id.section, inKeyring ? "the desktop keyring" : ini.path()));
}

// Reads a secret on standard input and has write put it where "SecretStore"
// says: the desktop keyring or, scrambled, the settings file. What the
// --set-ddns-secret and --set-webhook-secret options share; notStored
// begins the line of a refusal.
using SecretWriter = std::function<bool(zelmar::SecretStore&, const std::string& secret, std::string& error,
                                        std::string& notice)>;
int StoreSecretFromInput(zelmar::IniFile& ini, const zelmar::SecretId& id, const char* prompt, std::size_t limit,
                         const char* notStored, const SecretWriter& write) {
    std::string secret;
    if (!ReadSecretLine(secret, prompt, limit)) {
        Say(zelmar::Text<Msg::NoSecretGiven>());
        return 1;
    }
    zelmar::IniWriteLock lock(ini);
    if (!lock.ok()) {
        std::fprintf(stderr, "zelmar: %s: %s stays locked by another program\n", notStored, ini.path().c_str());
        return 1;
    }
    zelmar::SecretStore store(ini, zelmar::ScrambleKey(), zelmar::MakeSecretServiceKeyring());
    std::string error, notice;
    const bool ok = write(store, secret, error, notice);
    std::fill(secret.begin(), secret.end(), '\0');
    if (!ok) {
        Say(zelmar::Text<Msg::SecretNotStored>(notStored, error));
        return 1;
    }
    ReportStoredSecret(ini, id, notice);
    return 0;
}

// "--set-<word>-secret NAME" of a channel family.
int SetEntrySecret(const zelmar::EntrySecretFamily& family, const std::string& name) {
    zelmar::IniFile ini(SettingsPath(CurrentDirectory()));
    if (family.exists && !family.exists(ini, name)) {
        Say(zelmar::Text<Msg::NoSuchEntry>(ini.path(), family.sectionPrefix + name));
        return 1;
    }
    return StoreSecretFromInput(ini, zelmar::EntrySecretId(ini, family, name), family.prompt.c_str(), family.limit,
                                family.notStored.c_str(),
                                [&](zelmar::SecretStore& store, const std::string& secret, std::string& error,
                                    std::string& notice) { return family.write(store, name, secret, error, notice); });
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
// The window front end lives in a module of its own (zelmar-gui.so), loaded
// only when the window runs: the one-shot and headless runs never load the
// toolkit. It is looked for next to the program first (a build folder), then
// where it is installed.
struct GuiModule {
    ZelmarGuiRunFn run = nullptr;
    ZelmarGuiNotifyFn showMainWindow = nullptr;
    ZelmarGuiNotifyFn requestExit = nullptr;
};

std::string ProgramFolder() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    std::string path(buf, static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Loads the module and looks up its entry points; on failure says why in
// problem.
bool LoadGuiModule(GuiModule& gui, std::string& problem) {
    std::vector<std::string> candidates;
    if (const std::string here = ProgramFolder(); !here.empty()) {
        candidates.push_back(here + "/" + kZelmarGuiModuleName);
        // An installed program under another prefix than the configured one
        // (cmake --install --prefix ~/.local): bin/../lib/zelmar.
        candidates.push_back(here + "/../" + ZELMAR_GUI_MODULE_RELDIR + "/" + kZelmarGuiModuleName);
    }
    candidates.push_back(std::string(ZELMAR_GUI_MODULE_DIR) + "/" + kZelmarGuiModuleName);
    void* handle = nullptr;
    for (const std::string& path : candidates) {
        if (::access(path.c_str(), F_OK) != 0) continue;
        // Every symbol bound now: a module that does not fit this program
        // fails here, not midway through the window.
        handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = ::dlerror();
            problem = why ? why : path;
            return false;
        }
        break;
    }
    if (handle == nullptr) {
        problem = std::string(kZelmarGuiModuleName) + " is in none of";
        for (const std::string& path : candidates) problem += " " + path.substr(0, path.rfind('/'));
        return false;
    }
    gui.run = reinterpret_cast<ZelmarGuiRunFn>(::dlsym(handle, kZelmarGuiRunSymbol));
    gui.showMainWindow = reinterpret_cast<ZelmarGuiNotifyFn>(::dlsym(handle, kZelmarGuiShowSymbol));
    gui.requestExit = reinterpret_cast<ZelmarGuiNotifyFn>(::dlsym(handle, kZelmarGuiExitSymbol));
    if (!gui.run || !gui.showMainWindow || !gui.requestExit) {
        problem = std::string(kZelmarGuiModuleName) + " lacks the window's entry points";
        return false;
    }
    return true;
}

int RunWindow(const GuiModule& gui, int& argc, char** argv, bool startMinimised) {
    SignalWatcher::BlockSignals();
    zelmar::SingleInstance instance;
    std::string dir;
    zelmar::FolderLock folder;
    int refused = 1;
    if (!StartChecks(&instance, [&gui] { gui.showMainWindow(); }, folder, dir, refused)) return refused;
    SignalWatcher signals([&gui] { gui.requestExit(); });
    zelmar::GuiStart start;
    start.startDirectory = dir;
    start.settingsFile = SettingsPath(dir);
    start.invisible = startMinimised;
    const int code = gui.run(&argc, argv, &start);
    // The window is gone: a command hook of a refresh still running ends too.
    zelmar::EndRunningHooks();
    return code;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    OpenStandardDescriptors();
    Mode mode = Mode::Window;
    bool startMinimised = false;
    bool force = false;
    std::string configDir, smtpAccount;
    // The entry named to each family's "--set-...-secret" (the first family
    // given one is served).
    std::vector<std::pair<const zelmar::EntrySecretFamily*, std::string>> entrySecrets;
    const auto families = zelmar::EntrySecretFamilies();
    bool userConfig = false, setSmtpLogin = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--headless") {
            if (mode != Mode::Once) mode = Mode::Headless;
        } else if (a == "--once") {
            mode = Mode::Once;
        } else if (a == "--force") {
            force = true;
        } else if (a == "-I" || a == "-i") {  // any letter case
            startMinimised = true;
        } else if (a == "--set-smtp-login") {
            if (i + 1 >= argc) {
                return Misused(zelmar::Text<Msg::OptionNeedsValue>(a, "the account name"));
            }
            setSmtpLogin = true;
            smtpAccount = argv[++i];
        } else if (a == "--config-dir" || a.rfind("--config-dir=", 0) == 0) {
            if (a == "--config-dir" && i + 1 >= argc) {
                return Misused(zelmar::Text<Msg::OptionNeedsValue>(a, "a folder"));
            }
            configDir = a == "--config-dir" ? argv[++i] : a.substr(std::strlen("--config-dir="));
        } else if (a == "--user-config") {
            userConfig = true;
        } else if (auto family = std::find_if(families.begin(), families.end(),
                                              [&a](const auto* f) { return !f->option.empty() && f->option == a; });
                   family != families.end()) {
            if (i + 1 >= argc) {
                return Misused(zelmar::Text<Msg::OptionNeedsValue>(a, "the entry's name"));
            }
            entrySecrets.emplace_back(*family, argv[++i]);
        } else if (a == "--list-providers") {
            std::fputs(zelmar::ProviderCatalogueText().c_str(), stdout);
            return 0;
        } else if (a == "--help" || a == "-h") {
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("zelmar %s\n", zelmar::kProductVersion);
            return 0;
        } else {
            return Misused(zelmar::Text<Msg::UnknownOption>(a));
        }
    }
    if (const std::string problem = zelmar::EnterSettingsFolder(configDir, userConfig); !problem.empty()) {
        Say(zelmar::Text<Msg::ProgramNotice>(problem));
        return 1;
    }
    if (setSmtpLogin) return SetSmtpLogin(smtpAccount);
    for (const zelmar::EntrySecretFamily* family : families)
        for (const auto& [which, name] : entrySecrets)
            if (which == family && !name.empty()) return SetEntrySecret(*family, name);
    if (mode == Mode::Window) {
#ifdef ZELMAR_HAVE_GUI
        if (DisplayAvailable()) {
            GuiModule gui;
            std::string problem;
            if (LoadGuiModule(gui, problem)) {
                int qtArgc = 1;  // the options are the program's own
                return RunWindow(gui, qtArgc, argv, startMinimised);
            }
            Say(zelmar::Text<Msg::WindowNotLoaded>(problem));
        } else {
            Say(zelmar::Text<Msg::NoDisplay>());
        }
#else
        Say(zelmar::Text<Msg::NoWindowBuild>());
#endif
        mode = Mode::Headless;
    }
    if (force && mode != Mode::Once) {
        return Misused(zelmar::Text<Msg::ForceNeedsOnce>());
    }
    if (mode == Mode::Once) {
        const int code = RunOnce(force);
        // Everything the run writes is written and closed by now: the exit
        // handlers left (the TLS library's clean-up, static destructors) are
        // a fair part of a quiet timer tick and change nothing outside.
        // Sanitizer builds take the normal way, where the leak check runs.
        if (kQuickOnceExit) EndNow(code);
        return code;
    }
    return RunHeadless(startMinimised);
}
