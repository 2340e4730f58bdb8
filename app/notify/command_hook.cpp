#include "app/notify/command_hook.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/notify/masked_text.h"
#include "app/core/messages.h"
#include "net/default_timeout.h"

extern char** environ;

namespace zelmar {

// A splitter of our own rather than wordexp(3): wordexp also expands
// variables, "~user", globs and arithmetic, depends on the environment it
// runs in, and its WRDE_NOCMD guard has been bypassed before (CVE-2014-7817).
// A command typed into the settings needs words and quotes, nothing more.
bool SplitCommandLine(const std::string& line, std::vector<std::string>& words, std::string& error) {
    words.clear();
    std::string word;
    bool inWord = false;
    enum { Plain, Single, Double } quote = Plain;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote == Single) {
            if (c == '\'') quote = Plain;
            else word.push_back(c);
            continue;
        }
        if (quote == Double) {
            if (c == '"') {
                quote = Plain;
            } else if (c == '\\' && i + 1 < line.size() && std::strchr("\"\\$`", line[i + 1])) {
                word.push_back(line[++i]);
            } else {
                word.push_back(c);
            }
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
            continue;
        }
        if (!inWord && c == '~' && i + 1 < line.size() && line[i + 1] == '/') {
            const char* home = std::getenv("HOME");
            word += home ? home : "";
            inWord = true;
            continue;
        }
        inWord = true;
        if (c == '\'') {
            quote = Single;
        } else if (c == '"') {
            quote = Double;
        } else if (c == '\\') {
            if (i + 1 >= line.size()) {
                error = Text<Msg::HookEndsWithBackslash>();
                return false;
            }
            word.push_back(line[++i]);
        } else {
            word.push_back(c);
        }
    }
    if (quote != Plain) {
        error = Text<Msg::HookUnclosedQuote>();
        return false;
    }
    if (inWord) words.push_back(std::move(word));
    if (words.empty()) {
        error = Text<Msg::HookEmpty>();
        return false;
    }
    return true;
}

namespace {

using Clock = std::chrono::steady_clock;

// How long the output of a program that has ended is still read: a
// background child of it may hold the pipe open for much longer.
constexpr auto kDrainAfterExit = std::chrono::milliseconds(200);

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// How long a killed hook is given to be reaped: SIGKILL is not refused, but
// a process in an uninterruptible wait (a dead network file system) dies
// only when that wait ends, and the refresh must not wait for that.
constexpr auto kKillGrace = std::chrono::milliseconds(500);

// The hooks running now (each the leader of a process group of its own), so
// that an exit that does not wait for them can end them first, and the
// killed ones that had not died within the grace, reaped at the next run.
// The lock is never held across anything that blocks.
std::mutex g_hooksMutex;
std::set<pid_t>& RunningHooks() {
    static auto* running = new std::set<pid_t>;  // outlives static destruction
    return *running;
}
std::set<pid_t>& UnreapedHooks() {
    static auto* unreaped = new std::set<pid_t>;
    return *unreaped;
}

// Reaps the hook if it has ended, under the lock, so that EndRunningHooks
// never signals a pid that was reaped (and might be another process's now).
bool Reaped(pid_t pid, int& status) {
    std::lock_guard lock(g_hooksMutex);
    if (::waitpid(pid, &status, WNOHANG) != pid) return false;
    RunningHooks().erase(pid);
    return true;
}

// The time-out: the group first (what the hook started), then the hook
// itself, which may have left its group (setsid, setpgid): killing only the
// group would miss it. Waits at most kKillGrace for it to be reaped.
void StopHook(pid_t pid, int& status, HookResult& result) {
    result.leftItsGroup = ::kill(-pid, SIGKILL) != 0;
    ::kill(pid, SIGKILL);
    const Clock::time_point until = Clock::now() + kKillGrace;
    while (!Reaped(pid, status)) {
        if (Clock::now() >= until) {
            std::lock_guard lock(g_hooksMutex);
            RunningHooks().erase(pid);
            UnreapedHooks().insert(pid);
            result.stillRunning = true;
            return;
        }
        ::usleep(5000);
    }
}

std::vector<std::string> MergedEnvironment(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [name, value] : extra) replaced = replaced || entry.rfind(name + "=", 0) == 0;
        if (!replaced) env.push_back(entry);
    }
    for (const auto& [name, value] : extra) env.push_back(name + "=" + value);
    return env;
}

}  // namespace

HookResult RunHook(const HookRun& run) {
    HookResult result;
    if (run.argv.empty()) {
        result.error = Text<Msg::HookNoCommand>();
        return result;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.error = Text<Msg::HookNoPipe>(std::strerror(errno));
        return result;
    }
    Fd readEnd{pipeFds[0]}, writeEnd{pipeFds[1]};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, STDERR_FILENO);
    // Whatever else is open here (sockets, the log, the settings lock, and
    // descriptors other threads open without close-on-exec) stays ours.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!run.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, run.workingDirectory.c_str());

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // A group of its own, so that the time-out reaches what it started too.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    for (const std::string& a : run.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envText = MergedEnvironment(run.environment);
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    int rc = 0;
    {
        std::lock_guard lock(g_hooksMutex);
        // Killed hooks of earlier runs that have died meanwhile.
        std::erase_if(UnreapedHooks(), [](pid_t old) { return ::waitpid(old, nullptr, WNOHANG) != 0; });
        rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
        if (rc == 0) RunningHooks().insert(pid);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(writeEnd.fd);
    writeEnd.fd = -1;
    if (rc != 0) {
        result.error = Text<Msg::HookCannotStart>(run.argv[0], std::strerror(rc));
        return result;
    }
    result.started = true;
    result.pid = pid;

    const Clock::time_point deadline = Clock::now() + run.timeout;
    std::optional<Clock::time_point> exitedAt;
    int status = 0;
    bool pipeOpen = true;
    char buffer[8192];
    while (true) {
        if (!exitedAt && Reaped(pid, status)) exitedAt = Clock::now();
        const Clock::time_point now = Clock::now();
        if (!exitedAt && now >= deadline) {
            result.timedOut = true;
            StopHook(pid, status, result);
            break;
        }
        if (!pipeOpen && exitedAt) break;
        if (exitedAt && now >= *exitedAt + kDrainAfterExit) break;
        // Wake at least every 50 ms to see whether the program has ended
        // while a child of it keeps the pipe open.
        const auto wait = std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(50));
        const int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
        pollfd p{readEnd.fd, POLLIN, 0};
        const int ready = ::poll(pipeOpen ? &p : nullptr, pipeOpen ? 1 : 0, ms);
        if (ready > 0) {
            const ssize_t n = ::read(readEnd.fd, buffer, sizeof buffer);
            if (n > 0) {
                const std::size_t room = run.outputLimit - std::min(run.outputLimit, result.output.size());
                result.output.append(buffer, std::min<std::size_t>(room, static_cast<std::size_t>(n)));
                if (static_cast<std::size_t>(n) > room) result.outputCut = true;
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                pipeOpen = false;
            }
        }
    }
    if (result.timedOut) return result;
    // It ended in time, but what it started in its group and left running
    // (a background job) goes with it: nothing of a hook outlives its run.
    // The group's number stays reserved while any member lives.
    if (::kill(-pid, 0) == 0) result.leftoversStopped = ::kill(-pid, SIGKILL) == 0;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

void EndRunningHooks() {
    std::lock_guard lock(g_hooksMutex);
    for (const pid_t pid : RunningHooks()) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
    }
}

std::optional<std::string> HookEventFor(const RefreshSnapshot& s, const std::vector<ChannelOutcome>& outcomes) {
    if (!s.online()) return "offline";
    for (const ChannelOutcome& o : outcomes)
        if (o.attempted && !o.result.ok()) return "failed";
    if (ChangesBetween(s.previous, s.current).any()) return "changed";
    if (s.trigger == RefreshTrigger::Startup) return "online";
    return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> HookEnvironment(const std::string& event, const RefreshSnapshot& s,
                                                                 const std::vector<ChannelOutcome>& outcomes) {
    std::string failures;
    for (const ChannelOutcome& o : outcomes)
        if (o.attempted && !o.result.ok()) failures += (failures.empty() ? "" : ",") + o.channel;
    return {
        {"ZELMAR_EVENT", event},
        {"ZELMAR_WAN_IP", s.current.wan.Plain()},
        {"ZELMAR_LAN_IP", s.current.lan.Plain()},
        {"ZELMAR_WAN_IP6", s.current.wan6.Plain()},
        {"ZELMAR_LAN_IP6", s.current.lan6.Plain()},
        {"ZELMAR_OLD_WAN_IP", s.previous.wan.Plain()},
        {"ZELMAR_OLD_LAN_IP", s.previous.lan.Plain()},
        {"ZELMAR_CHANNEL_FAILURES", failures},
    };
}

std::vector<StatusMessage> HookReport(const std::string& command, const HookResult& result, int timeoutSeconds) {
    std::vector<StatusMessage> lines;
    const std::string name = "OnChangeCommand " + MaskedForLog(command, 120);
    if (!result.started) {
        lines.push_back(Message<Msg::ChannelNote>(name, MaskedForLog(result.error, 200)));
        return lines;
    }
    std::size_t start = 0;
    while (start < result.output.size() && lines.size() < kMaxHookOutputLines) {
        std::size_t end = result.output.find('\n', start);
        if (end == std::string::npos) end = result.output.size();
        std::string_view line(result.output.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) lines.push_back(Message<Msg::HookOutput>(MaskedForLog(line, 512)));
        start = end + 1;
    }
    if (result.outputCut || start < result.output.size())
        lines.push_back(Message<Msg::HookOutputCut>());
    if (result.timedOut && result.stillRunning)
        lines.push_back(Message<Msg::HookNotStopped>(name, timeoutSeconds, result.pid));
    else if (result.timedOut && result.leftItsGroup)
        lines.push_back(Message<Msg::HookStoppedOutsideGroup>(name, timeoutSeconds));
    else if (result.timedOut)
        lines.push_back(Message<Msg::HookStopped>(name, timeoutSeconds));
    else if (result.signal != 0)
        lines.push_back(Message<Msg::HookSignal>(name, result.signal, strsignal(result.signal)));
    else if (result.exitCode != 0)
        lines.push_back(Message<Msg::HookExitCode>(name, result.exitCode));
    if (result.leftoversStopped) lines.push_back(Message<Msg::HookLeftovers>(name));
    return lines;
}

RefreshObserver MakeCommandHookObserver(std::function<HookSettings()> settings,
                                        std::function<void(StatusMessage)> post) {
    return [settings = std::move(settings), post = std::move(post)](const RefreshSnapshot& snapshot,
                                                                     const std::vector<ChannelOutcome>& outcomes) {
        const HookSettings config = settings();
        if (config.command.find_first_not_of(" \t") == std::string::npos) return;
        const std::optional<std::string> event = HookEventFor(snapshot, outcomes);
        if (!event) return;
        HookRun run;
        std::string error;
        if (!SplitCommandLine(config.command, run.argv, error)) {
            post(Message<Msg::HookNotRun>(error));
            return;
        }
        const int seconds = TimeoutOrDefault(config.timeoutSeconds);
        run.timeout = std::chrono::seconds(seconds);
        run.environment = HookEnvironment(*event, snapshot, outcomes);
        run.workingDirectory = config.workingDirectory;
        for (StatusMessage& line : HookReport(config.command, RunHook(run), seconds)) post(std::move(line));
    };
}

}  // namespace zelmar
