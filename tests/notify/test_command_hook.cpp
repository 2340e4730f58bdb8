// The command hook: how the command is split, what the program gets, and
// that it cannot hang or flood the program.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <tuple>
#include <unistd.h>

#include "app/notify/command_hook.h"
#include "tests/support/peer_process.h"

namespace zelmar {
namespace {

using test::ScratchDir;

TEST(CommandHook, SplitsLikeAShellWithoutExpanding) {
    ::setenv("HOME", "/home/u", 1);
    struct Row {
        const char* line;
        std::vector<std::string> words;  // empty: refused
    } rows[] = {
        {"notify-send  'a b' \"c \\\"d\\\"\" e\\ f", {"notify-send", "a b", "c \"d\"", "e f"}},
        {"run $HOME *.sh `id` $(id) ;x", {"run", "$HOME", "*.sh", "`id`", "$(id)", ";x"}},
        {"~/bin/hook ~/x a~/b '~/c'", {"/home/u/bin/hook", "/home/u/x", "a~/b", "~/c"}},
        {"a\"b\"'c'd \"\" ''", {"abcd", "", ""}},
        {"\"\\a\\$\"", {"\\a$"}},
        {"unclosed 'quote", {}},
        {"unclosed \"quote", {}},
        {"trailing\\", {}},
        {"   ", {}},
    };
    for (const Row& r : rows) {
        std::vector<std::string> words;
        std::string error;
        const bool ok = SplitCommandLine(r.line, words, error);
        EXPECT_EQ(ok, !r.words.empty()) << r.line;
        if (ok) {
            EXPECT_EQ(words, r.words) << r.line;
        }
    }
}

RefreshSnapshot Snap(RefreshTrigger trigger, std::string wan, std::string oldWan) {
    RefreshSnapshot s;
    s.trigger = trigger;
    s.current = {std::move(wan), "192.168.1.20", "", ""};
    s.previous = {std::move(oldWan), "192.168.1.20", "", ""};
    return s;
}

TEST(CommandHook, EventsOfARefresh) {
    const std::vector<ChannelOutcome> none;
    const std::vector<ChannelOutcome> failed = {{"FTP", true, DeliveryResult::Success()},
                                                {"Webhook a", true, {DeliveryOutcome::Failed, "500", "", "", 0}},
                                                {"Webhook b", false, {DeliveryOutcome::Failed, "", "", "", 0}}};
    struct Row {
        RefreshSnapshot snapshot;
        const std::vector<ChannelOutcome>* outcomes;
        std::optional<std::string> event;
    } rows[] = {
        {Snap(RefreshTrigger::Timer, "1.1.1.1", "1.1.1.1"), &none, std::nullopt},
        {Snap(RefreshTrigger::Manual, "1.1.1.1", "1.1.1.1"), &none, std::nullopt},
        {Snap(RefreshTrigger::Timer, "1.1.1.2", "1.1.1.1"), &none, "changed"},
        {Snap(RefreshTrigger::Timer, "1.1.1.2", "1.1.1.1"), &failed, "failed"},
        {Snap(RefreshTrigger::Timer, "1.1.1.1", "1.1.1.1"), &failed, "failed"},
        {Snap(RefreshTrigger::Exit, "1.1.1.1", "1.1.1.1"), &failed, "offline"},
        {Snap(RefreshTrigger::Startup, "1.1.1.1", "1.1.1.1"), &none, "online"},
    };
    for (const Row& r : rows) EXPECT_EQ(HookEventFor(r.snapshot, *r.outcomes), r.event);
    // Only channels that were tried and failed are named.
    for (const auto& [name, value] : HookEnvironment("failed", rows[3].snapshot, failed)) {
        const char* want = name == "ZELMAR_CHANNEL_FAILURES" ? "Webhook a"
                           : name == "ZELMAR_OLD_WAN_IP"     ? "1.1.1.1"
                           : name == "ZELMAR_WAN_IP"         ? "1.1.1.2"
                                                             : nullptr;
        if (want) {
            EXPECT_EQ(value, want) << name;
        }
    }
}

// The program sees its environment, /dev/null as input, the working folder,
// and no descriptor of ours (one is left open here without close-on-exec).
TEST(CommandHook, RunsWithEnvironmentAndNothingElseOfOurs) {
    ScratchDir dir;
    const int leaked = ::open("/dev/null", O_RDONLY);  // no O_CLOEXEC on purpose
    ASSERT_GE(leaked, 3);
    HookRun run;
    run.argv = {"/bin/sh", "-c",
                "echo \"ev=$ZELMAR_EVENT wan=$ZELMAR_WAN_IP\"; ls /proc/self/fd | tr '\\n' ' '; echo; "
                "readlink /proc/self/fd/0; pwd; cat; exit 3"};
    run.environment = {{"ZELMAR_EVENT", "changed"}, {"ZELMAR_WAN_IP", "203.0.113.9; rm -rf /"}};
    run.workingDirectory = dir.path();
    const HookResult r = RunHook(run);
    ::close(leaked);
    ASSERT_TRUE(r.started) << r.error;
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.output.find("ev=changed wan=203.0.113.9; rm -rf /\n"), std::string::npos) << r.output;
    // ls itself opens one descriptor for the folder it lists (3).
    EXPECT_NE(r.output.find("\n0 1 2 3 \n/dev/null\n" + dir.path() + "\n"), std::string::npos) << r.output;
    const auto report = HookReport("sh -c ...", r, 15);
    EXPECT_EQ(report.back().text, "OnChangeCommand sh -c ... failed with exit code 3");
}

// Gone, or a zombie of init's.
bool Gone(pid_t pid) {
    for (int i = 0; i < 100; ++i, ::usleep(20000))
        if (const std::string stat = test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
            stat.empty() || stat.find(") Z") != std::string::npos)
            return true;
    return false;
}

TEST(CommandHook, AProgramThatSleepsPastTheTimeoutIsKilledWithItsChildren) {
    ScratchDir dir;
    HookRun run;
    run.argv = {"/bin/sh", "-c", "sleep 60 & echo $! > child; echo started; sleep 60"};
    run.workingDirectory = dir.path();
    run.timeout = std::chrono::milliseconds(1000);
    const auto start = std::chrono::steady_clock::now();
    const HookResult r = RunHook(run);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(r.timedOut);
    EXPECT_GE(took, std::chrono::milliseconds(1000));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(r.output, "started\n");
    // The background child was in the group.
    EXPECT_TRUE(Gone(std::stoi(test::ReadFile(dir / "child"))));
    EXPECT_NE(HookReport("x", r, 1).back().text.find("did not end within 1 seconds"), std::string::npos);
}

// Nothing of a hook outlives its run, and the time-out holds: one that moves
// into our group is killed by its own pid; what one that ended in time left
// running is ended too. Each writes the pid that must be gone to "watch".
TEST(CommandHook, NothingOutlivesTheRunAndTheReportSaysWhatHappened) {
    for (const auto& [script, timedOut, reportEnd] :
         {std::tuple{"import os, time\nos.setpgid(0, os.getpgid(os.getppid()))\n"
                     "open('watch', 'w').write(str(os.getpid()))\ntime.sleep(8)",
                     true, "it had left its process group, so programs it started may still run"},
          {"import subprocess\nopen('watch', 'w').write(str(subprocess.Popen(['sleep', '30']).pid))", false,
           "left programs running; they were stopped"}}) {
        ScratchDir dir;
        const auto start = std::chrono::steady_clock::now();
        const HookResult r = RunHook({{"/usr/bin/python3", "-c", script}, {}, std::chrono::seconds(1), dir.path()});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << script;
        EXPECT_EQ(r.timedOut, timedOut) << script;
        EXPECT_TRUE(Gone(std::stoi("0" + test::ReadFile(dir / "watch")))) << script;
        EXPECT_NE(HookReport("x", r, 1).back().text.find(reportEnd), std::string::npos) << HookReport("x", r, 1).back().text;
    }
}

// A hook still running when the headless program is told to end (SIGTERM)
// is ended with it, its group and itself.
TEST(CommandHook, AHookRunningAtSigtermEndsWithTheProgram) {
    ScratchDir dir, runtime;
    test::WriteFile(dir / "online.htm", "%S");
    test::WriteFile(dir / "Zelmar.ini",
                    "[LocalSettings]\nFTPServer=127.0.0.1\nSiteName=Test\nPort=9\nUserID=u\nPassword=p\nRemoteFile=s.htm\n"
                    "OnlineFile=online.htm\nOfflineFile=online.htm\nEnableFTP=1\nWANIPURL=http://127.0.0.1:9/\n"
                    "[Preferences]\nIsUpdateOnStart=1\nInitStartupDelay=0\nRefreshIntv=0\nTimeout=30\n"
                    "OnChangeCommand=/bin/sh -c 'echo $$ > hook; sleep 60 & echo $! > child; wait'\n");
    test::ChildProcess zelmar({"/bin/sh", "-c", "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --config-dir . --headless"},
                              dir / "out.txt", {{"XDG_RUNTIME_DIR", runtime.path()}});
    for (int i = 0; i < 500 && test::ReadFile(dir / "child").find('\n') == std::string::npos; ++i) ::usleep(20000);
    ::kill(zelmar.pid(), SIGTERM);
    ASSERT_NE(zelmar.Wait(std::chrono::seconds(20)), -1) << "did not exit";
    for (const char* file : {"hook", "child"}) EXPECT_TRUE(Gone(std::stoi(test::ReadFile(dir / file)))) << file;
}

// Megabytes of output: read and dropped past the limit (the program is
// never blocked on a full pipe), at most the limit logged, masked.
TEST(CommandHook, MegabytesOfOutputAreCutAndMasked) {
    HookRun run;
    run.argv = {"/bin/sh", "-c", "printf 'a\\033[2Jb\\r\\n'; head -c 8000000 /dev/zero | tr '\\0' x"};
    run.timeout = std::chrono::seconds(20);
    const HookResult r = RunHook(run);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output.size(), kMaxHookOutputBytes);
    EXPECT_TRUE(r.outputCut);
    const auto lines = HookReport("x", r, 20);
    EXPECT_EQ(lines.front().text, "OnChangeCommand: a?[2Jb");
    EXPECT_EQ(lines.back().text, "OnChangeCommand: (further output not logged)");
    std::size_t logged = 0;
    for (const auto& l : lines) logged += l.text.size();
    EXPECT_LT(logged, 2 * kMaxHookOutputBytes);
}

TEST(CommandHook, ObserverRunsOnlyForItsEvents) {
    ScratchDir dir;
    std::vector<std::string> posted;
    auto observer = MakeCommandHookObserver(
        [&] { return HookSettings{"/bin/sh -c 'echo \"$ZELMAR_EVENT $ZELMAR_OLD_WAN_IP\" >> log'", 5, dir.path()}; },
        [&](StatusMessage m) { posted.push_back(m.text); });
    observer(Snap(RefreshTrigger::Timer, "1.1.1.1", "1.1.1.1"), {});
    observer(Snap(RefreshTrigger::Timer, "1.1.1.2", "1.1.1.1"), {});
    observer(Snap(RefreshTrigger::Exit, "1.1.1.2", "1.1.1.2"), {});
    EXPECT_EQ(test::ReadFile(dir / "log"), "changed 1.1.1.1\noffline 1.1.1.2\n");
    EXPECT_TRUE(posted.empty());
    auto broken = MakeCommandHookObserver([&] { return HookSettings{"x 'y", 5, dir.path()}; },
                                          [&](StatusMessage m) { posted.push_back(m.text); });
    broken(Snap(RefreshTrigger::Timer, "1.1.1.2", "1.1.1.1"), {});
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], "OnChangeCommand not run: the command has an unclosed quote");
}

}  // namespace
}  // namespace zelmar
