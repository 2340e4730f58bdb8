#include "app/notify/command_hook.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/notify/masked_text.h"
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
                error = "the command ends with a backslash";
                return false;
            }
            word.push_back(line[++i]);
        } else {
            word.push_back(c);
        }
    }
    if (quote != Plain) {
        error = "the command has an unclosed quote";
        return false;
    }
    if (inWord) words.push_back(std::move(word));
    if (words.empty()) {
        error = "the command is empty";
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
        result.error = "no command";
        return result;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.error = std::string("cannot make a pipe: ") + std::strerror(errno);
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
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(writeEnd.fd);
    writeEnd.fd = -1;
    if (rc != 0) {
        result.error = std::string("cannot start ") + run.argv[0] + ": " + std::strerror(rc);
        return result;
    }
    result.started = true;

    const Clock::time_point deadline = Clock::now() + run.timeout;
    std::optional<Clock::time_point> exitedAt;
    int status = 0;
    bool pipeOpen = true;
    char buffer[8192];
    while (true) {
        if (!exitedAt) {
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid) exitedAt = Clock::now();
        }
        const Clock::time_point now = Clock::now();
        if (!exitedAt && now >= deadline) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            result.timedOut = true;
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
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
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

std::vector<std::string> HookReport(const std::string& command, const HookResult& result, int timeoutSeconds) {
    std::vector<std::string> lines;
    const std::string name = "OnChangeCommand " + MaskedForLog(command, 120);
    if (!result.started) {
        lines.push_back(name + ": " + MaskedForLog(result.error, 200));
        return lines;
    }
    std::size_t start = 0;
    while (start < result.output.size() && lines.size() < kMaxHookOutputLines) {
        std::size_t end = result.output.find('\n', start);
        if (end == std::string::npos) end = result.output.size();
        std::string_view line(result.output.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) lines.push_back("OnChangeCommand: " + MaskedForLog(line, 512));
        start = end + 1;
    }
    if (result.outputCut || start < result.output.size())
        lines.push_back("OnChangeCommand: (further output not logged)");
    if (result.timedOut)
        lines.push_back(name + " did not end within " + std::to_string(timeoutSeconds) +
                        " seconds and was stopped with its child processes");
    else if (result.signal != 0)
        lines.push_back(name + " was ended by signal " + std::to_string(result.signal) + " (" +
                        strsignal(result.signal) + ")");
    else if (result.exitCode != 0)
        lines.push_back(name + " failed with exit code " + std::to_string(result.exitCode));
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
            post(StatusMessage::Program("P", "OnChangeCommand not run: " + error));
            return;
        }
        const int seconds = TimeoutOrDefault(config.timeoutSeconds);
        run.timeout = std::chrono::seconds(seconds);
        run.environment = HookEnvironment(*event, snapshot, outcomes);
        run.workingDirectory = config.workingDirectory;
        for (const std::string& line : HookReport(config.command, RunHook(run), seconds))
            post(StatusMessage::Program("P", line));
    };
}

}  // namespace zelmar
