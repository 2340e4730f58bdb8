// The program started with stdout and stderr closed (as some service
// managers and cron set-ups start it): its status lines must not land in the
// first socket it opens, the FTP control connection.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/wait.h>

#include "app/core/settings.h"
#include "tests/publish/ftp_peers.h"
#include "tests/support/peer_process.h"

using namespace zelmar::test;

namespace {

struct Case {
    const char* name;
    const char* redirections;  // shell redirections of the program's descriptors
};

class ClosedDescriptors : public ::testing::TestWithParam<Case> {};

TEST_P(ClosedDescriptors, StatusLinesStayOutOfTheFtpConversation) {
    PyFtpServer ftp;
    ASSERT_TRUE(ftp.ok());
    ScratchDir dir;
    WriteFile(dir / "online.htm", "<p>%S</p>");
    WriteFile(dir / "offline.htm", "<p>%S</p>");
    std::string password = kFtpPassword;
    zelmar::ScrambleText(password, zelmar::ScrambleKey());
    WriteFile(dir / "Zelmar.ini",
              "[LocalSettings]\nFTPServer=127.0.0.1\nSiteName=Test\nUserID=" + std::string(kFtpUser) +
                  "\nPassword=" + password + "\nOnlineFile=online.htm\nOfflineFile=offline.htm\n"
                  "RemoteFile=status.htm\nPort=" + std::to_string(ftp.port()) +
                  "\nEnableFTP=1\nWANIPURL=http://127.0.0.1:" + std::to_string(FreePort()) +
                  "/\n[Preferences]\nTimeout=10\n");
    const std::string cmd = "cd '" + dir.path() + "' && '" ZELMAR_BINARY "' --config-dir . --once " + GetParam().redirections;
    const int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(ftp.home() + "/status.htm"), "<p>Online</p>");
    for (const std::string& line : ftp.CommandsAfter()) {
        EXPECT_EQ(line.find("Attempting"), std::string::npos) << line;
        EXPECT_EQ(line.find("System Online"), std::string::npos) << line;
        EXPECT_EQ(line.find("WAN IP"), std::string::npos) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Once, ClosedDescriptors,
                         ::testing::Values(Case{"StdoutAndStderrClosed", ">&- 2>&-"},
                                           Case{"AllThreeClosed", "<&- >&- 2>&-"},
                                           Case{"StdoutClosed", ">&- 2>/dev/null"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
