#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <map>
#include <memory>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <sys/wait.h>

#include "tests/support/peer_process.h"

using namespace std::chrono_literals;
using zelmar::test::ChildProcess;
using zelmar::test::ReadFile;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;

namespace {

// Runs the program in dir and returns its exit code; output in dir/out.txt.
int RunIn(const ScratchDir& dir, const std::vector<std::string>& args) {
    std::string cmd = "cd '" + dir.path() + "' && '" ZELMAR_BINARY "'";
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

TEST(FrontEnd, OnceInAnEmptyFolderWritesDefaultsAndGoesOnline) {
    ScratchDir dir;
    // A private echo page that does not answer keeps the test off the network.
    EXPECT_EQ(RunIn(dir, {"--once"}), 0);
    const std::string ini = ReadFile(dir / "Zelmar.ini");
    EXPECT_EQ(ini.rfind("[LocalSettings]\nFTPServer=", 0), 0u);
    const std::string out = ReadFile(dir / "out.txt");
    EXPECT_NE(out.find("  System Online:   LAN IP: "), std::string::npos) << out;
}

TEST(FrontEnd, OnceLogsTheOnlineNotice) {
    ScratchDir dir;
    ASSERT_EQ(RunIn(dir, {"--once"}), 0);
    std::string ini = ReadFile(dir / "Zelmar.ini");
    ini.replace(ini.find("IsLogging=0"), 11, "IsLogging=1");
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
    WriteFile(dir / "Zelmar.ini", "[LocalSettings]\nFTPServer=ftp.example.org\n");
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
        std::vector<std::string>{"sh", "-c", "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --headless " + extra},
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
    EXPECT_EQ(WEXITSTATUS(status), 1);
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

}  // namespace
