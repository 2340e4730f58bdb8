#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <map>
#include <sstream>
#include <memory>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <sys/wait.h>
#include <dirent.h>
#include <unistd.h>

#include "app/core/settings.h"
#include "tests/support/peer_process.h"

using namespace std::chrono_literals;
using zelmar::test::ChildProcess;
using zelmar::test::SilentListener;
using zelmar::test::ReadFile;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;

namespace {

// Runs the program in dir and returns its exit code; output in dir/out.txt.
int RunIn(const ScratchDir& dir, const std::vector<std::string>& args) {
    std::string cmd = "cd '" + dir.path() + "' && '" ZELMAR_BINARY "' --config-dir .";
    for (const auto& a : args) cmd += " '" + a + "'";
    cmd += " >out.txt 2>err.txt";
    int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FrontEnd, OptionsAndUsage) {
    ScratchDir dir;
    EXPECT_EQ(RunIn(dir, {"--help"}), 0);
    EXPECT_NE(ReadFile(dir / "out.txt").find("--once"), std::string::npos);
    EXPECT_EQ(RunIn(dir, {"--version"}), 0);
    EXPECT_EQ(ReadFile(dir / "out.txt").rfind("zelmar ", 0), 0u);
    EXPECT_EQ(RunIn(dir, {"--bogus"}), 2);
    EXPECT_NE(ReadFile(dir / "err.txt").find("Usage: zelmar"), std::string::npos);
    EXPECT_FALSE(std::ifstream(dir / "Zelmar.ini").good()) << "no settings written for --help";
}

// Without the FTP page (off at a first run) the online state is reached by
// knowing the WAN address, which the default service cannot give here.
TEST(FrontEnd, OnceInAnEmptyFolderWritesDefaults) {
    ScratchDir dir;
    EXPECT_EQ(RunIn(dir, {"--once"}), 1);
    const std::string ini = ReadFile(dir / "Zelmar.ini");
    EXPECT_EQ(ini.rfind("[LocalSettings]\nFTPServer=", 0), 0u);
    const std::string out = ReadFile(dir / "out.txt");
    EXPECT_EQ(out.find("  System Online:   LAN IP: "), std::string::npos) << out;
}

TEST(FrontEnd, OnceLogsTheOnlineNotice) {
    ScratchDir dir;
    ASSERT_EQ(RunIn(dir, {"--once"}), 1);
    zelmar::test::EchoPage echo;
    ASSERT_TRUE(echo.ok());
    std::string ini = ReadFile(dir / "Zelmar.ini");
    ini.replace(ini.find("IsLogging=0"), 11, "IsLogging=1");
    ini.replace(ini.find("[Preferences]"), 13, "WANIPURL=" + echo.url() + "\n[Preferences]");
    WriteFile(dir / "Zelmar.ini", ini);
    ASSERT_EQ(RunIn(dir, {"--once"}), 0);
    const std::string log = ReadFile(dir / "Zelmar.log");
    ASSERT_GE(log.size(), 19u);
    EXPECT_EQ(log[2], '/');
    EXPECT_EQ(log.substr(17, 2), "  ");
    EXPECT_NE(log.find("  System Online:   LAN IP: "), std::string::npos) << log;
    EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
}

TEST(FrontEnd, OnceFailsWhenTheSiteSettingsAreIncomplete) {
    ScratchDir dir;
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nFTPServer=ftp.example.org\nEnableFTP=1\n");
    EXPECT_EQ(RunIn(dir, {"--once"}), 1);
    EXPECT_NE(ReadFile(dir / "out.txt").find("  Local Settings Needed."), std::string::npos);
}

// The headless program in dir, with its own runtime folder for the
// single-instance lock.
std::unique_ptr<ChildProcess> StartHeadless(const ScratchDir& dir, const std::string& runtime,
                                            const std::string& extra = "",
                                            std::map<std::string, std::string> env = {}) {
    env["XDG_RUNTIME_DIR"] = runtime;
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"sh", "-c", "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --config-dir . --headless " + extra},
        dir / "log.txt", env);
}

bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// The running program announces itself (its socket in the runtime folder)
// before it locks the settings folder; a test of the folder lock waits for
// the lock itself, read from /proc/locks so that the test never holds it.
bool WaitForFolderLocked(const std::string& folder) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) return false;
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    for (int i = 0; i < 500; ++i) {
        std::istringstream locks(ReadFile("/proc/locks"));
        for (std::string line; std::getline(locks, line);)
            if (line.find("FLOCK") != std::string::npos && line.find(inode) != std::string::npos) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST(FrontEnd, HeadlessEndsCleanlyOnSigterm) {
    ScratchDir dir, runtime;
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nFTPServer=ftp.example.org\n[Preferences]\nRefreshIntv=0\n");
    auto p = StartHeadless(dir, runtime.path(), "-i");
    ASSERT_TRUE(WaitForFile(runtime / "Zelmar"));
    kill(p->pid(), SIGTERM);
    int status = p->Wait(10s);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(FrontEnd, OneInstancePerUserAndStaleLocksDoNotBlock) {
    ScratchDir dir, runtime;
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nFTPServer=ftp.example.org\n[Preferences]\nRefreshIntv=0\n");
    auto first = StartHeadless(dir, runtime.path());
    ASSERT_TRUE(WaitForFile(runtime / "Zelmar"));
    auto second = StartHeadless(dir, runtime.path());
    int status = second->Wait(10s);
    ASSERT_NE(status, -1);
    // Starting it again is how a desktop brings a running tray program up:
    // the first one shows itself, and the second ends well, saying so.
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(ReadFile(dir / "log.txt").find("Zelmar is already running for this user"), std::string::npos)
        << ReadFile(dir / "log.txt");
    EXPECT_TRUE(first->running());

    // A crashed instance leaves its lock file and socket behind.
    kill(first->pid(), SIGKILL);
    first->Wait(5s);
    auto third = StartHeadless(dir, runtime.path());
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(third->running());
    kill(third->pid(), SIGINT);
    status = third->Wait(10s);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(FrontEnd, ASharedRuntimeFolderIsNotTrusted) {
    // A runtime folder others may write to could hold a stranger's lock:
    // the instance lock moves to a private folder under the temp folder.
    ScratchDir dir, shared, tmp;
    chmod(shared.path().c_str(), 0777);
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nFTPServer=ftp.example.org\n[Preferences]\nRefreshIntv=0\n");
    auto p = StartHeadless(dir, shared.path(), "", {{"TMPDIR", tmp.path()}});
    const std::string privateFolder = tmp / ("zelmar-" + std::to_string(getuid()));
    ASSERT_TRUE(WaitForFile(privateFolder + "/Zelmar")) << ReadFile(dir / "log.txt");
    struct stat st {};
    ASSERT_EQ(stat(privateFolder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    kill(p->pid(), SIGTERM);
    EXPECT_EQ(WEXITSTATUS(p->Wait(10s)), 0);
}

// SIGHUP (the terminal closed) is taken as SIGTERM: the exit runs, and the
// socket of the single-instance lock does not stay behind.
TEST(FrontEnd, HeadlessEndsCleanlyOnSighup) {
    ScratchDir dir, runtime;
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nFTPServer=ftp.example.org\n[Preferences]\nRefreshIntv=0\n");
    auto p = StartHeadless(dir, runtime.path(), "-i");
    ASSERT_TRUE(WaitForFile(runtime / "Zelmar"));
    kill(p->pid(), SIGHUP);
    const int status = p->Wait(10s);
    ASSERT_NE(status, -1);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat st {};
    EXPECT_NE(stat((runtime / "Zelmar").c_str(), &st), 0) << "socket left behind";
}

// Voluntary context switches of all threads of a process: each one is a
// wake-up after a sleep.
long WakeUps(pid_t pid) {
    long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(tasks.c_str());
    if (!d) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string status = ReadFile(tasks + "/" + e->d_name + "/status");
        const std::size_t at = status.find("\nvoluntary_ctxt_switches:");
        if (at != std::string::npos) total += std::atol(status.c_str() + at + 26);
    }
    closedir(d);
    return total;
}

// Between refreshes nothing polls: an idle program sleeps until a timer, a
// signal or a request wakes it. The program runs in a network namespace of
// its own where the test may make one: the machine's own address and route
// notices would wake its network watcher, rightly, at any moment.
TEST(FrontEnd, IdleHeadlessMakesNoWakeUps) {
    ScratchDir dir, runtime;
    WriteFile(dir / "Zelmar.ini",
              "[LocalSettings]\nFTPServer=ftp.example.org\n[Preferences]\nRefreshIntv=0\nInitStartupDelay=0\n"
              "IsUpdateOnStart=0\n");
    const bool isolated = ::geteuid() == 0 && std::system("unshare -n true 2>/dev/null") == 0;
    ChildProcess p({"sh", "-c", "cd '" + dir.path() + "' && exec " + (isolated ? "unshare -n " : "") +
                                    "'" ZELMAR_BINARY "' --config-dir . --headless -i"},
                   dir / "log.txt", {{"XDG_RUNTIME_DIR", runtime.path()}});
    ASSERT_TRUE(WaitForFile(runtime / "Zelmar"));
    // The start-up is over once the count stands still: a loaded machine
    // stretches it beyond any fixed pause. A program that polls never
    // stands still, and fails below once the bound is reached.
    long before = WakeUps(p.pid());
    for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(300ms);
        const long now = WakeUps(p.pid());
        if (now == before) break;
        before = now;
    }
    ASSERT_GE(before, 0);
    std::this_thread::sleep_for(1200ms);  // six periods of a 200 ms poll
    EXPECT_EQ(WakeUps(p.pid()), before);
    kill(p.pid(), SIGTERM);
    EXPECT_EQ(WEXITSTATUS(p.Wait(10s)), 0);
}

std::string SiteSettings(int ftpPort, const std::string& extraPreferences) {
    std::string password = "pw";
    zelmar::ScrambleText(password, zelmar::ScrambleKey());
    return "[LocalSettings]\nFTPServer=127.0.0.1\nSiteName=Test\nUserID=me\nPassword=" + password +
           "\nOnlineFile=online.htm\nOfflineFile=offline.htm\nRemoteFile=status.htm\nPort=" +
           std::to_string(ftpPort) + "\nEnableFTP=1\nWANIPURL=http://127.0.0.1:" +
           std::to_string(zelmar::test::FreePort()) + "/\n[Preferences]\n" + extraPreferences;
}

bool WaitForText(const std::string& path, const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
        if (ReadFile(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// An exit while a refresh uploads its online page: the refresh has cleared
// the online state, so the exit is immediate, without an offline page, and
// does not wait for the stalled upload.
TEST(FrontEnd, SignalDuringTheOnlineUploadEndsAtOnce) {
    ScratchDir dir, runtime;
    SilentListener stalled;
    WriteFile(dir / "online.htm", "<p>%S</p>");
    WriteFile(dir / "offline.htm", "<p>%S</p>");
    WriteFile(dir / "Zelmar.ini", SiteSettings(stalled.port(),
                                               "IsUpdateOnStart=1\nIsUpdateOnShut=1\nInitStartupDelay=0\n"
                                               "RefreshIntv=0\nTimeout=120\n"));
    auto p = StartHeadless(dir, runtime.path(), "-i");
    ASSERT_TRUE(WaitForText(dir / "log.txt", "Attempting to connect to FTP Server...")) << ReadFile(dir / "log.txt");
    kill(p->pid(), SIGTERM);
    const int status = p->Wait(30s);  // far below the upload's 120 s
    ASSERT_NE(status, -1) << "waited for the upload";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string out = ReadFile(dir / "log.txt");
    EXPECT_EQ(out.find("System Online"), std::string::npos) << out;
    EXPECT_EQ(out.find("Please wait while Zelmar contacts remote server."), std::string::npos) << out;
    struct stat st {};
    EXPECT_NE(stat((runtime / "Zelmar").c_str(), &st), 0) << "socket left behind";
}

// The same for a one-shot run: it ends at once, and not as a success.
TEST(FrontEnd, OnceEndsAtOnceOnASignalDuringTheUpload) {
    ScratchDir dir;
    SilentListener stalled;
    WriteFile(dir / "online.htm", "<p>%S</p>");
    WriteFile(dir / "offline.htm", "<p>%S</p>");
    WriteFile(dir / "Zelmar.ini", SiteSettings(stalled.port(), "Timeout=120\n"));
    ChildProcess p({"sh", "-c", "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --config-dir . --once"}, dir / "log.txt");
    ASSERT_TRUE(WaitForText(dir / "log.txt", "Attempting to connect to FTP Server...")) << ReadFile(dir / "log.txt");
    kill(p.pid(), SIGINT);
    const int status = p.Wait(30s);
    ASSERT_NE(status, -1) << "waited for the upload";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

// A second signal ends the process whatever the main loop is doing; here it
// is stuck opening a log file that is a FIFO nobody reads.
TEST(FrontEnd, SecondSignalEndsTheProcessAtOnce) {
    ScratchDir dir;
    ASSERT_EQ(mkfifo((dir / "log.fifo").c_str(), 0600), 0);
    // The first status line is shown, and its log line then waits for the
    // FIFO to be opened.
    WriteFile(dir / "Zelmar.ini",
              "[LocalSettings]\nFTPServer=ftp.example.org\n[Preferences]\nIsLogging=1\nLogFilename=log.fifo\n"
              "MaxLog=0\n");
    ChildProcess p({"sh", "-c", "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --config-dir . --once"}, dir / "log.txt");
    ASSERT_TRUE(WaitForText(dir / "log.txt", "Requesting WAN IP address")) << ReadFile(dir / "log.txt");
    kill(p.pid(), SIGTERM);
    std::this_thread::sleep_for(200ms);
    kill(p.pid(), SIGINT);
    const int status = p.Wait(20s);
    ASSERT_NE(status, -1) << "two signals did not end it";
    EXPECT_TRUE(WIFEXITED(status));
}

// A one-shot run beside a running program on the same settings folder would
// rewrite the same "Zelmar.ini": it refuses with a clear message.
TEST(FrontEnd, OnceBesideARunningProgramOnTheSameFolderRefuses) {
    ScratchDir dir, runtime;
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nFTPServer=ftp.example.org\n[Preferences]\nRefreshIntv=0\n");
    auto p = StartHeadless(dir, runtime.path(), "-i");
    ASSERT_TRUE(WaitForFolderLocked(dir.path()));
    EXPECT_EQ(RunIn(dir, {"--once"}), 1);
    EXPECT_NE(ReadFile(dir / "err.txt").find("another Zelmar uses the settings in " + dir.path()), std::string::npos)
        << ReadFile(dir / "err.txt");
    EXPECT_EQ(ReadFile(dir / "out.txt"), "") << "the one-shot run did some of its work";
    kill(p->pid(), SIGTERM);
    EXPECT_EQ(WEXITSTATUS(p->Wait(10s)), 0);
}

// A temp-folder lock folder made first by another user does not keep us from
// starting: the lock moves to a private folder in the home folder.
TEST(FrontEnd, ALockFolderMadeByAnotherUserIsPassedBy) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a folder for another user";
    ScratchDir dir, shared, tmp, home;
    chmod(shared.path().c_str(), 0777);
    const std::string uid = std::to_string(getuid());
    const std::string taken = tmp / ("zelmar-" + uid);
    ASSERT_EQ(mkdir(taken.c_str(), 0777), 0);
    ASSERT_EQ(chown(taken.c_str(), 65534, 65534), 0);
    chmod(taken.c_str(), 0777);
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nFTPServer=ftp.example.org\n[Preferences]\nRefreshIntv=0\n");
    auto p = StartHeadless(dir, shared.path(), "", {{"TMPDIR", tmp.path()}, {"HOME", home.path()}});
    const std::string privateFolder = home / (".cache/zelmar-" + uid);
    ASSERT_TRUE(WaitForFile(privateFolder + "/Zelmar")) << ReadFile(dir / "log.txt");
    struct stat st {};
    ASSERT_EQ(lstat(privateFolder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, getuid());
    EXPECT_NE(stat((taken + "/Zelmar").c_str(), &st), 0) << "used the other user's folder";
    kill(p->pid(), SIGTERM);
    EXPECT_EQ(WEXITSTATUS(p->Wait(10s)), 0);
}

// A runtime folder of ours that we cannot write to is passed by too.
TEST(FrontEnd, AnUnwritableRuntimeFolderIsPassedBy) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes to any folder";
    ScratchDir dir, runtime, tmp;
    chmod(runtime.path().c_str(), 0500);
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nFTPServer=ftp.example.org\n[Preferences]\nRefreshIntv=0\n");
    auto p = StartHeadless(dir, runtime.path(), "", {{"TMPDIR", tmp.path()}});
    ASSERT_TRUE(WaitForFile(tmp / ("zelmar-" + std::to_string(getuid())) + "/Zelmar")) << ReadFile(dir / "log.txt");
    chmod(runtime.path().c_str(), 0700);
    kill(p->pid(), SIGTERM);
    EXPECT_EQ(WEXITSTATUS(p->Wait(10s)), 0);
}

// Started with its standard descriptors closed, the program opens them on
// /dev/null before anything else: no file or socket of its own takes their
// numbers (status lines would go into it).
TEST(FrontEnd, ClosedStandardDescriptorsAreOpenedOnDevNull) {
    ScratchDir dir, runtime;
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nFTPServer=ftp.example.org\n[Preferences]\nRefreshIntv=0\n");
    ChildProcess p({"sh", "-c", "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --config-dir . --headless <&- >&- 2>&-"}, "",
                   {{"XDG_RUNTIME_DIR", runtime.path()}});
    ASSERT_TRUE(WaitForFile(runtime / "Zelmar"));
    for (int fd = 0; fd <= 2; ++fd) {
        char target[256] = {};
        const std::string link = "/proc/" + std::to_string(p.pid()) + "/fd/" + std::to_string(fd);
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << fd;
        EXPECT_STREQ(target, "/dev/null") << fd;
    }
    kill(p.pid(), SIGTERM);
    EXPECT_EQ(WEXITSTATUS(p.Wait(10s)), 0);
}

}  // namespace

namespace {

// A refresh from a timer or a service (no display, no session bus) loads
// neither the keyring's libraries nor Xlib: both are loaded at their first
// use, and here there is none. libcurl, which the refresh does use, shows
// that the loader's report is read at all.
TEST(FrontEnd, OnceWithoutDisplayOrBusLoadsNeitherKeyringNorXlib) {
    ScratchDir dir;
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nWANIPURL=http://127.0.0.1:" +
                                      std::to_string(zelmar::test::FreePort()) + "/\n[Preferences]\nSecretStore=auto\n");
    const std::string script = "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --config-dir . --once";
    ChildProcess once({"/bin/sh", "-c", script}, dir / "out.txt",
                      {{"DISPLAY", ""}, {"DBUS_SESSION_BUS_ADDRESS", ""}, {"XDG_RUNTIME_DIR", ""},
                       {"LD_DEBUG", "files"}, {"LD_DEBUG_OUTPUT", dir / "loader"}});
    ASSERT_GE(once.Wait(30s), 0);
    std::string loaded;
    if (DIR* d = ::opendir(dir.path().c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::string(e->d_name).rfind("loader.", 0) == 0) loaded += ReadFile(dir / e->d_name);
        ::closedir(d);
    }
    EXPECT_NE(loaded.find("libcurl.so"), std::string::npos) << ReadFile(dir / "out.txt");
    EXPECT_EQ(loaded.find("libsecret"), std::string::npos);
    EXPECT_EQ(loaded.find("libX11.so"), std::string::npos);
}

}  // namespace
