// The whole program at exit: headless, SIGTERM publishes the offline page.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <sys/wait.h>
#include <thread>

#include "app/core/settings.h"
#include "tests/publish/ftp_peers.h"
#include "tests/support/peer_process.h"

using namespace std::chrono_literals;
using namespace zelmar::test;

namespace {

class HeadlessExit : public ::testing::Test {
protected:
    void Configure(int ftpPort, const std::string& extra = "") {
        WriteFile(dir / "online.htm", "<p>%S</p>");
        WriteFile(dir / "offline.htm", "<p>%S since %24T</p>");
        std::string password = kFtpPassword;
        zelmar::ScrambleText(password, zelmar::ScrambleKey());
        WriteFile(dir / "Zelmar.ini",
                  "[LocalSettings]\nFTPServer=127.0.0.1\nSiteName=Test\nUserID=" + std::string(kFtpUser) +
                      "\nPassword=" + password + "\nOnlineFile=online.htm\nOfflineFile=offline.htm\n"
                      "RemoteFile=status.htm\nPort=" + std::to_string(ftpPort) +
                      "\nEnableFTP=1\nWANIPURL=http://127.0.0.1:9/\n"
                      "[Preferences]\nIsLogging=1\nLogFilename=Zelmar.log\nIsUpdateOnStart=1\nIsUpdateOnShut=1\n"
                      "InitStartupDelay=0\nRefreshIntv=0\nTimeout=2\n" + extra);
    }
    void Start() {
        process = std::make_unique<ChildProcess>(
            std::vector<std::string>{"sh", "-c", "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --config-dir . --headless"},
            dir / "out.txt", std::map<std::string, std::string>{{"XDG_RUNTIME_DIR", runtime.path()}});
    }
    bool WaitForLog(const std::string& text) {
        for (int i = 0; i < 1000; ++i) {
            if (ReadFile(dir / "Zelmar.log").find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    ScratchDir dir, runtime;
    std::unique_ptr<ChildProcess> process;
};

TEST_F(HeadlessExit, SigtermPublishesTheOfflinePageAndExitsZero) {
    PyFtpServer ftp;
    ASSERT_TRUE(ftp.ok());
    Configure(ftp.port());
    Start();
    ASSERT_TRUE(WaitForLog("System Online:   ")) << ReadFile(dir / "out.txt");
    EXPECT_EQ(ReadFile(ftp.home() + "/status.htm"), "<p>Online</p>");

    kill(process->pid(), SIGTERM);
    const int status = process->Wait(20s);
    ASSERT_NE(status, -1) << "did not exit";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << ReadFile(dir / "out.txt");
    EXPECT_NE(ReadFile(dir / "Zelmar.log").find("  System Offline.\r\n"), std::string::npos);
    EXPECT_EQ(ReadFile(ftp.home() + "/status.htm").rfind("<p>Offline since ", 0), 0u);
    EXPECT_NE(ReadFile(dir / "out.txt").find("Please wait while Zelmar contacts remote server."), std::string::npos);
    EXPECT_FALSE(std::ifstream(dir / "Offline.txt").good());
}

TEST_F(HeadlessExit, UnreachableServerAtExitReportsAndExitsNonZero) {
    auto ftp = std::make_unique<PyFtpServer>();
    ASSERT_TRUE(ftp->ok());
    const int port = ftp->port();
    Configure(port);
    Start();
    ASSERT_TRUE(WaitForLog("System Online:   "));
    ftp.reset();  // the server goes away before the exit
    ASSERT_TRUE(WaitForPortClosed(port));

    kill(process->pid(), SIGTERM);
    const int status = process->Wait(20s);
    ASSERT_NE(status, -1) << "hung instead of exiting";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 0);
    const std::string out = ReadFile(dir / "out.txt");
    EXPECT_NE(out.find("There was an error uploading page. Please see remote error messages for further details."),
              std::string::npos)
        << out;
    EXPECT_EQ(ReadFile(dir / "Zelmar.log").find("System Offline."), std::string::npos);
    EXPECT_TRUE(std::ifstream(dir / "Offline.txt").good()) << "the page stays for a later attempt";
}

TEST_F(HeadlessExit, NoOfflinePageBeforeTheOnlineState) {
    // The server refuses the login: the program never reached the online
    // state, so the exit publishes nothing and is immediate.
    PyFtpServer ftp;
    ASSERT_TRUE(ftp.ok());
    Configure(ftp.port());
    std::string ini = ReadFile(dir / "Zelmar.ini");
    ini.replace(ini.find("UserID=" + std::string(kFtpUser)), 7 + std::string(kFtpUser).size(), "UserID=nobody");
    WriteFile(dir / "Zelmar.ini", ini);
    Start();
    ASSERT_TRUE(WaitForLog("Attempting to connect to FTP Server..."));
    for (int i = 0; i < 1000 && ReadFile(dir / "out.txt").find("There was an error uploading page.") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_NE(ReadFile(dir / "out.txt").find("There was an error uploading page."), std::string::npos);
    kill(process->pid(), SIGINT);
    const int status = process->Wait(20s);
    ASSERT_NE(status, -1);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(dir / "Zelmar.log").find("System Offline."), std::string::npos);
}

}  // namespace
