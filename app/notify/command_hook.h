// The command hook ("OnChangeCommand" in "Preferences"): a program of the
// user's, run after a refresh in which the WAN or LAN address changed, a
// delivery channel failed, or the offline page was published.
//
// The command is split into words the way a shell splits a simple command
// (blanks separate, '...' and "..." quote, a backslash escapes) but no shell
// runs it: nothing is expanded, and the addresses reach the program only
// through its environment, so no address can inject a command.
//
// The run is bounded: the program gets /dev/null as standard input, none of
// our descriptors, a process group of its own that is killed whole after
// "Timeout" seconds (the program itself too, should it have left the group),
// and at most a few KB of its output reach the log. Nothing it started
// outlives its run in that group, and an exit that cannot wait for a hook
// ends it (EndRunningHooks).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/refresh/delivery_channel.h"

namespace zelmar {

// The most of a hook's output (standard output and error together) that is
// logged; the rest is read and dropped, so a chatty program is never
// blocked on a full pipe.
inline constexpr std::size_t kMaxHookOutputBytes = 4096;
// The most output lines logged.
inline constexpr std::size_t kMaxHookOutputLines = 40;

// Splits a command line into words. False with a reason for an unclosed
// quote or a trailing backslash. A word that starts with an unquoted "~/"
// starts from $HOME.
bool SplitCommandLine(const std::string& line, std::vector<std::string>& words, std::string& error);

struct HookRun {
    std::vector<std::string> argv;  // argv[0] is looked up in PATH when it has no "/"
    std::vector<std::pair<std::string, std::string>> environment;  // added to (or replacing in) ours
    std::chrono::milliseconds timeout{15000};
    std::string workingDirectory;  // empty: ours
    std::size_t outputLimit = kMaxHookOutputBytes;
};

struct HookResult {
    bool started = false;
    std::string error;      // why it did not start
    int pid = 0;
    bool timedOut = false;  // killed (with its process group) at the time-out
    bool leftItsGroup = false;      // at the time-out its group was gone: it had moved out
    bool stillRunning = false;      // killed, but not dead within a short grace
    bool leftoversStopped = false;  // it ended in time; what it left running in its group was killed
    int exitCode = -1;      // when it exited by itself
    int signal = 0;         // when a signal ended it
    std::string output;     // at most outputLimit bytes, as the program wrote them
    bool outputCut = false;
};

HookResult RunHook(const HookRun& run);

// Kills every hook running now, the group first, then the program: for an
// exit that does not wait for the refresh that runs them.
void EndRunningHooks();

// The event a refresh raises for the hook: "offline", "failed", "changed" or
// "online" (the start-up refresh), or nothing when the hook is not to run.
std::optional<std::string> HookEventFor(const RefreshSnapshot& snapshot, const std::vector<ChannelOutcome>& outcomes);

// The hook's environment for one refresh (ZELMAR_EVENT, the addresses, the
// old addresses and the names of the channels that failed).
std::vector<std::pair<std::string, std::string>> HookEnvironment(const std::string& event,
                                                                 const RefreshSnapshot& snapshot,
                                                                 const std::vector<ChannelOutcome>& outcomes);

// The lines a finished run leaves in the log: its output (masked, bounded)
// and one line when it did not end well.
std::vector<StatusMessage> HookReport(const std::string& command, const HookResult& result, int timeoutSeconds);

struct HookSettings {
    std::string command;  // "OnChangeCommand"; empty: no hook
    int timeoutSeconds = 15;
    std::string workingDirectory;
};

// The observer that runs "OnChangeCommand". settings is asked after every
// refresh (so an edited command counts from the next refresh on); the lines
// go through post, on the worker.
RefreshObserver MakeCommandHookObserver(std::function<HookSettings()> settings,
                                        std::function<void(StatusMessage)> post);

}  // namespace zelmar
