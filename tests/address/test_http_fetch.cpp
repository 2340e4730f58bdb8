// The HTTP fetch under floods and drips: the whole GET ends by its time
// limit whatever the server sends, and a flood of body is cut at the size
// limit.
#include <gtest/gtest.h>

#include <chrono>

#include "app/address/http_fetch.h"
#include "tests/net/scripted_server.h"

using namespace zelmar;
using namespace zelmar::test;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kHead = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n";

struct FetchCase {
    const char* name;
    std::vector<Step> script;
    bool ok;
    bool cut;
};

class FetchUnderFloods : public ::testing::TestWithParam<FetchCase> {};

TEST_P(FetchUnderFloods, EndsWithinTheTimeLimit) {
    const FetchCase& c = GetParam();
    ScriptedServer server(c.script);
    const auto start = Clock::now();
    const HttpFetchResult r =
        HttpGet("http://127.0.0.1:" + std::to_string(server.port()) + "/", std::chrono::seconds(1), 64 * 1024);
    // The limit plus a generous margin; the floods run for 20 s.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(6));
    EXPECT_EQ(r.ok, c.ok) << r.error;
    EXPECT_EQ(r.cut, c.cut);
    if (r.ok) {
        EXPECT_LE(r.body.size(), 64u * 1024);
    } else {
        EXPECT_TRUE(r.body.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FetchUnderFloods,
    ::testing::Values(
        FetchCase{"HeaderFlood", {Send(kHead), Flood("X-Flood: 1\r\n", 20000)}, false, false},
        FetchCase{"BodyFloodIsCut", {Send(kHead + "\r\n"), Flood("REMOTE_ADDR: 1.2.3.4<br>\n", 20000)}, true, true},
        FetchCase{"BodyDrip",
                  {Send(kHead + "\r\nREMOTE_ADDR:"), Pause(600), Send(" 1.2"), Pause(600), Send(".3.4<br>"),
                   Pause(3000)},
                  false, false},
        FetchCase{"SilentAfterTheHead", {Send(kHead), Pause(3000)}, false, false},
        FetchCase{"WholePage", {Send(kHead + "Content-Length: 8\r\n\r\n1.2.3.4\n"), Close()}, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
