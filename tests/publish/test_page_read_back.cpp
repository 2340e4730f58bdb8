// The page read back after its upload: pyftpdlib takes the page, nginx
// serves it (or a stale copy from another folder), and the upload counts
// only when the page served shows the new WAN address.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/publish/page_read_back.h"
#include "tests/publish/ftp_peers.h"
#include "tests/publish/page_upload.h"
#include "tests/support/core_fixture.h"
#include "tests/support/static_site.h"

using namespace zelmar;
using namespace zelmar::test;

namespace {

struct WordsCase {
    const char *name, *page, *address;
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
                      WordsCase{"LongerNeighbour", "WAN 203.0.113.70", "203.0.113.7", false, "203.0.113.70"},
                      WordsCase{"DigitBefore", "WAN 1203.0.113.7", "203.0.113.7", false, ""},
                      WordsCase{"SentenceEnd", "Reached at 203.0.113.7.", "203.0.113.7", true, "203.0.113.7"},
                      WordsCase{"OtherIpv6Spelling", "[2001:DB8:0:0::8]", "2001:db8::8", true, "2001:db8::8"},
                      WordsCase{"SecondOfTwo", "was 198.51.100.7 is 203.0.113.7", "203.0.113.7", true, "198.51.100.7"},
                      WordsCase{"UnspecifiedIsNone", "std::string at 0.0.0.0", "203.0.113.7", false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

class PageReadBackTest : public CoreTest {
protected:
    // The page uploaded as "index.htm", read back from site at path.
    void Publish(const StaticSite& site, const std::string& path) {
        ASSERT_TRUE(server.ok());
        ASSERT_TRUE(site.ok()) << site.failure();
        WriteFile(dir / "online.htm", "WAN %WI LAN %I");
        MakeCore();
        core->EditSettings([&](Settings& s) {
            UseFtpSite(s, server.port(), "index.htm");
            FtpPageOf(s).PageURL = site.Url(path);
            s.SuppressError = 1;
        });
        addresses->current = {"203.0.113.7", "10.0.0.5", {}, {}};
    }
    long Uploads() const {
        return std::count(host.lines.begin(), host.lines.end(), "Attempting to connect to FTP Server...");
    }

    PyFtpServer server;
    ScratchDir elsewhere;  // a second web root
    std::shared_ptr<StubAddresses> addresses = std::make_shared<StubAddresses>();
};

struct ServedCase {
    const char *name, *staleCopy;  // staleCopy nullptr: nginx serves the FTP server's folder
    const char* path;
    bool online;
    const char* line;  // "{url}" stands for "PageURL"
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
    EXPECT_TRUE(host.Shown(line.replace(line.find("{url}"), 5, site.Url(c.path)))) << line;
    EXPECT_EQ(core->state().OnlineState.load(), c.online ? 1 : 0);
    EXPECT_EQ(ReadFile(server.home() + "/index.htm"), "WAN 203.0.113.7 LAN 10.0.0.5");  // taken either way
}

INSTANTIATE_TEST_SUITE_P(
    ReadBack, PageServed,
    ::testing::Values(
        ServedCase{"Fresh", nullptr, "/index.htm", true, "{url} shows 203.0.113.7."},
        ServedCase{"Stale", "WAN 198.51.100.7 LAN 10.0.0.5", "/index.htm", false,
                   "uploaded, but {url} still shows 198.51.100.7"},
        ServedCase{"Neighbour", "WAN 203.0.113.70", "/index.htm", false,
                   "uploaded, but {url} still shows 203.0.113.70"},
        ServedCase{"NoAddress", "Under construction", "/index.htm", false, "uploaded, but {url} holds no address"},
        ServedCase{"Missing", nullptr, "/gone.htm", false, "uploaded, but {url} answered with HTTP status 404"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PageReadBackTest, AStaleReadIsTriedAgainAtTheNextRefresh) {
    WriteFile(elsewhere / "index.htm", "WAN 198.51.100.7");
    StaticSite site(elsewhere.path());
    Publish(site, "/index.htm");
    core->EditSettings([](Settings& s) { FtpPageOf(s).FTPOnIPChangeOnly = 1; });
    core->SetServices(UploadPipeline(addresses).Services());
    core->RefreshNow();  // timer ticks, the worker inline on the fake host
    EXPECT_EQ(core->state().OnlineState.load(), 0);
    WriteFile(elsewhere / "index.htm", "WAN 203.0.113.7");  // the cache catches up
    core->RefreshNow();
    EXPECT_EQ(core->state().OnlineState.load(), 1);
    core->RefreshNow();  // delivered: an unchanged tick uploads nothing
    EXPECT_EQ(Uploads(), 2);
}

}  // namespace
