// The page read back after its upload: pyftpdlib takes the page, nginx
// serves it (or a stale copy from another folder), and the upload counts
// only when the page served shows the new WAN address.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/core/core.h"
#include "app/publish/page_read_back.h"
#include "app/publish/publishing.h"
#include "tests/publish/ftp_peers.h"
#include "tests/publish/page_upload.h"
#include "tests/support/core_fixture.h"
#include "tests/support/static_site.h"

using namespace zelmar;
using namespace zelmar::test;

namespace {

struct WordsCase {
    const char* name;
    const char* page;
    const char* address;
    bool shows;
    const char* first;  // "" when the page holds no address
};

class PageWords : public ::testing::TestWithParam<WordsCase> {};

TEST_P(PageWords, FindsWholeAddressesOnly) {
    const WordsCase& c = GetParam();
    EXPECT_EQ(PageShowsAddress(c.page, Address(c.address)), c.shows);
    EXPECT_EQ(FirstAddressOnPage(c.page).text(), c.first);
}

INSTANTIATE_TEST_SUITE_P(
    ReadBack, PageWords,
    ::testing::Values(WordsCase{"Exact", "WAN 203.0.113.7<br>", "203.0.113.7", true, "203.0.113.7"},
                      WordsCase{"LongerNeighbour", "WAN 203.0.113.70<br>", "203.0.113.7", false, "203.0.113.70"},
                      WordsCase{"DigitBefore", "WAN 1203.0.113.7", "203.0.113.7", false, ""},
                      WordsCase{"SentenceEnd", "Reached at 203.0.113.7.", "203.0.113.7", true, "203.0.113.7"},
                      WordsCase{"OtherIpv6Spelling", "[2001:DB8:0:0::8]", "2001:db8::8", true, "2001:db8::8"},
                      WordsCase{"SecondOfTwo", "old 198.51.100.7 new 203.0.113.7", "203.0.113.7", true,
                                "198.51.100.7"},
                      WordsCase{"UnspecifiedIsNone", "std::string at 0.0.0.0", "203.0.113.7", false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

class PageReadBackTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        ASSERT_TRUE(server.ok());
        WriteFile(dir / "online.htm", "Status: %S\r\nWAN %WI LAN %I\r\n");
        WriteFile(dir / "offline.htm", "Gone %S.\n");
        MakeCore();
        addresses->current = {"203.0.113.7", "10.0.0.5", {}, {}};
    }
    // The site on nginx, its page name in "RemoteFile" and "PageURL".
    void Publish(const StaticSite& site, const std::string& path) {
        ASSERT_TRUE(site.ok()) << site.failure();
        core->EditSettings([&](Settings& s) {
            UseFtpSite(s, server.port(), "index.htm");
            FtpPageOf(s).PageURL = site.Url(path);
            s.Timeout = 5;
            s.SuppressError = 1;
            s.SaveFileASCII.clear();
            s.SaveFileHTML.clear();
        });
    }
    int Uploads() const {
        return static_cast<int>(
            std::count(host.lines.begin(), host.lines.end(), "Attempting to connect to FTP Server..."));
    }

    PyFtpServer server;
    ScratchDir elsewhere;  // a second web root, holding what the test puts there
    std::shared_ptr<StubAddresses> addresses = std::make_shared<StubAddresses>();
};

struct ServedCase {
    const char* name;
    const char* staleCopy;  // nullptr: nginx serves the FTP server's folder
    const char* path;
    bool online;
    const char* line;  // after the upload's lines; "{url}" stands for "PageURL"
};

class PageServed : public PageReadBackTest, public ::testing::WithParamInterface<ServedCase> {};

TEST_P(PageServed, DecidesTheUpload) {
    const ServedCase& c = GetParam();
    if (c.staleCopy) WriteFile(elsewhere / "index.htm", c.staleCopy);
    StaticSite site(c.staleCopy ? elsewhere.path() : server.home());
    Publish(site, c.path);
    core->state().TransferInProgress = 1;
    PublishOnlinePage(*core, *addresses);

    std::string line = c.line;
    line.replace(line.find("{url}"), 5, site.Url(c.path));
    EXPECT_TRUE(host.Shown(line)) << line;
    EXPECT_EQ(core->state().OnlineState.load(), c.online ? 1 : 0);
    // The server took the page either way.
    EXPECT_EQ(ReadFile(server.home() + "/index.htm"), "Status: Online\r\nWAN 203.0.113.7 LAN 10.0.0.5\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    ReadBack, PageServed,
    ::testing::Values(ServedCase{"Fresh", nullptr, "/index.htm", true, "{url} shows 203.0.113.7."},
                      ServedCase{"Stale", "Status: Online\r\nWAN 198.51.100.7 LAN 10.0.0.5\r\n", "/index.htm",
                                 false, "uploaded, but {url} still shows 198.51.100.7"},
                      ServedCase{"NeighbourAddress", "WAN 203.0.113.70", "/index.htm", false,
                                 "uploaded, but {url} still shows 203.0.113.70"},
                      ServedCase{"NoAddress", "Under construction", "/index.htm", false,
                                 "uploaded, but {url} holds no address"},
                      ServedCase{"Missing", nullptr, "/elsewhere.htm", false,
                                 "uploaded, but {url} answered with HTTP status 404"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PageReadBackTest, AStaleReadIsTriedAgainAtTheNextRefresh) {
    WriteFile(elsewhere / "index.htm", "WAN 198.51.100.7");
    StaticSite site(elsewhere.path());
    Publish(site, "/index.htm");
    core->EditSettings([](Settings& s) { FtpPageOf(s).FTPOnIPChangeOnly = 1; });
    core->SetServices(UploadPipeline(addresses).Services());

    core->RefreshNow();  // a timer tick; FakeHost runs the worker inline
    EXPECT_EQ(core->state().OnlineState.load(), 0);
    // The cache catches up; the addresses did not change, the upload is
    // still due.
    WriteFile(elsewhere / "index.htm", "WAN 203.0.113.7");
    core->RefreshNow();
    EXPECT_EQ(core->state().OnlineState.load(), 1);
    EXPECT_EQ(Uploads(), 2);
    // Delivered: the next unchanged tick uploads nothing.
    core->RefreshNow();
    EXPECT_EQ(Uploads(), 2);
}

}  // namespace
