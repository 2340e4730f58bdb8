// The WAN address from the router (miniupnpd, the description URL known
// from an earlier run, as the program keeps it) and from an interface, next
// to the cross-checked echo-page lookup of four pages, in turns in one run
// inside a private network namespace (root). Prints the median wall time of
// each and the ratios, and exits 1 when the router or the interface takes
// more than 0.2 of the echo pages' time.
//
// usage: address_bench_router_source [RUNS]   (default 21)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "app/address/router_address.h"
#include "app/address/wan_source_list.h"
#include "app/address/wan_sources.h"
#include "tests/support/private_network.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace zelmar;
using namespace zelmar::test;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Seconds one call takes; an empty answer ends the bench.
double Timed(const std::function<std::string()>& lookup, const char* what) {
    const auto start = Clock::now();
    const std::string address = lookup();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (address.empty()) {
        std::fprintf(stderr, "%s gave no address\n", what);
        std::exit(2);
    }
    return seconds;
}

std::string Measure(int runs) {
    if (std::system("ip addr add 81.2.69.162/32 dev lo") != 0) return "no address on lo";
    RouterPeer router(RouterPeerOptions{});
    if (!router.ok()) return "no router peer";
    std::vector<std::unique_ptr<EchoPage>> pages;
    std::vector<WanSource> sources;
    for (int i = 0; i < 4; ++i) {
        pages.push_back(std::make_unique<EchoPage>("81.2.69.160"));
        if (!pages.back()->ok()) return "no echo page";
        sources.push_back(WanSource{pages.back()->url(), true});
    }
    const auto web = [&] {
        const WanVote vote = Vote(AskSources(sources, IpFamily::V4, "REMOTE_ADDR:", "<br>", std::chrono::seconds(10)));
        return vote.address.value_or("");
    };
    RouterQuery query;
    query.rememberedUrl = router.Url();
    query.timeout = std::chrono::seconds(10);
    const auto fromRouter = [&] {
        const RouterAnswer a = AskRouter(query);
        return a.ok ? a.address : std::string();
    };
    const auto fromInterface = [] {
        std::string error;
        const auto table = ReadInterfaceAddresses(&error);
        return table ? GlobalAddressOfInterface(*table, "lo", AF_INET) : std::string();
    };
    // One of each first: libcurl is loaded at the first page, once a run.
    web();
    fromRouter();
    std::vector<double> w, r, i;
    for (int n = 0; n < runs; ++n) {
        w.push_back(Timed(web, "the echo pages"));
        r.push_back(Timed(fromRouter, "the router"));
        i.push_back(Timed(fromInterface, "the interface"));
    }
    char text[400];
    std::snprintf(text, sizeof text, "%.6f %.6f %.6f", Median(w), Median(r), Median(i));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    const PrivateNetworkRun run = RunInPrivateNetwork([runs] { return Measure(runs); }, std::chrono::seconds(120));
    if (run.skipped) {
        std::fprintf(stderr, "a private network namespace needs root: not measured\n");
        return 0;
    }
    double web = 0, router = 0, iface = 0;
    if (!run.finished || std::sscanf(run.text.c_str(), "%lf %lf %lf", &web, &router, &iface) != 3) {
        std::fprintf(stderr, "the measurement failed: %s\n", run.text.c_str());
        return 2;
    }
    std::printf("echo pages (4, cross-checked): %.3f ms (median of %d)\n", web * 1e3, runs);
    std::printf("router (UPnP, known URL):      %.3f ms\n", router * 1e3);
    std::printf("interface (rtnetlink):         %.3f ms\n", iface * 1e3);
    std::printf("router / echo pages: %.3f   interface / echo pages: %.3f\n", router / web, iface / web);
    return router / web <= 0.2 && iface / web <= 0.2 ? 0 : 1;
}
