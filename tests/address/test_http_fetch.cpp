// The HTTP fetch under floods and drips: the whole GET ends by its time
// limit whatever the server sends, and a flood of body is cut at the size
// limit.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "app/address/curl_library.h"
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

// libcurl is mapped only while a fetch holds it.
bool CurlMapped() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(kCurlLibraryName) != std::string::npos) return true;
    return false;
}

std::string PageUrl(const ScriptedServer& server) { return "http://127.0.0.1:" + std::to_string(server.port()) + "/"; }

std::vector<Step> WholePage(int pauseMs) {
    return {Pause(pauseMs), Send(kHead + "Content-Length: 8\r\n\r\n1.2.3.4\n"), Close()};
}

TEST(CurlLibrary, IsLoadedWhileHeldAndUnloadedAfter) {
    const bool unloads = CurlUnloadsWhenReleased();
    if (unloads) {
        ASSERT_FALSE(CurlMapped()) << "no fetch holds it yet";
    }
    {
        std::string error;
        const std::shared_ptr<const CurlApi> api = AcquireCurl(&error);
        ASSERT_TRUE(api) << error;
        EXPECT_TRUE(CurlMapped());
        const std::shared_ptr<const CurlApi> again = AcquireCurl(&error);
        EXPECT_EQ(api.get(), again.get()) << "holders share one load";
    }
    if (unloads) {
        EXPECT_FALSE(CurlMapped()) << "the last holder unloads it";
    }

    // Loaded again for the next fetch, which works as the first one did.
    for (int round = 0; round < 2; ++round) {
        ScriptedServer server(WholePage(0));
        const HttpFetchResult r = HttpGet(PageUrl(server), std::chrono::seconds(5));
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.body, "1.2.3.4\n");
        if (unloads) {
            EXPECT_FALSE(CurlMapped()) << "round " << round;
        }
    }
}

// Fetches on several threads at once share the load; holders coming and
// going on many threads never clean up under a fetch that still runs.
TEST(CurlLibrary, ThreadsShareOneLoadAndTheLastLetsGo) {
    constexpr int kFetches = 6;
    std::vector<std::unique_ptr<ScriptedServer>> servers;
    for (int i = 0; i < kFetches; ++i) servers.push_back(std::make_unique<ScriptedServer>(WholePage(50 * i)));
    std::vector<HttpFetchResult> results(kFetches);
    std::atomic<bool> churning{true};
    std::atomic<int> churnFailures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kFetches; ++i)
        threads.emplace_back([&, i] { results[i] = HttpGet(PageUrl(*servers[i]), std::chrono::seconds(10)); });
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            for (int n = 0; n < 300 && churning; ++n) {
                std::string error;
                const std::shared_ptr<const CurlApi> api = AcquireCurl(&error);
                CURL* easy = api ? api->easy_init() : nullptr;
                if (!easy) ++churnFailures;
                if (easy) api->easy_cleanup(easy);
            }
        });
    for (int i = 0; i < kFetches; ++i) threads[static_cast<std::size_t>(i)].join();
    churning = false;
    for (std::size_t t = kFetches; t < threads.size(); ++t) threads[t].join();

    EXPECT_EQ(churnFailures, 0);
    for (int i = 0; i < kFetches; ++i) {
        EXPECT_TRUE(results[static_cast<std::size_t>(i)].ok) << i << ": " << results[static_cast<std::size_t>(i)].error;
        EXPECT_EQ(results[static_cast<std::size_t>(i)].body, "1.2.3.4\n") << i;
    }
    if (CurlUnloadsWhenReleased()) {
        EXPECT_FALSE(CurlMapped());
    }
}

// Several pages at once, each under the single fetch's rules: a flood or a
// silent server ends by the shared time limit and does not spoil the others.
TEST(FetchAll, EachPageEndsByTheLimitAndKeepsItsPlace) {
    ScriptedServer flood({Send(kHead), Flood("X-Flood: 1\r\n", 20000)});
    ScriptedServer whole(WholePage(300));
    ScriptedServer silent({Send(kHead), Pause(3000)});
    ScriptedServer big({Send(kHead + "\r\n"), Flood("REMOTE_ADDR: 1.2.3.4<br>\n", 20000)});
    const auto start = Clock::now();
    const std::vector<HttpFetchResult> r = HttpGetAll(
        {{PageUrl(flood)}, {PageUrl(whole)}, {PageUrl(silent)}, {PageUrl(big)}}, std::chrono::seconds(1), 4096);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(6));
    ASSERT_EQ(r.size(), 4u);
    EXPECT_FALSE(r[0].ok);
    EXPECT_TRUE(r[1].ok) << r[1].error;
    EXPECT_EQ(r[1].body, "1.2.3.4\n");
    EXPECT_FALSE(r[2].ok);
    EXPECT_TRUE(r[2].body.empty());
    EXPECT_TRUE(r[3].ok && r[3].cut);
    EXPECT_EQ(r[3].body.size(), 4096u);
}

}  // namespace
