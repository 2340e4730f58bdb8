// Three echo pages that each answer after one second, asked at once, next
// to one such page alone, in turns in one run. Asked one after the other the
// three would take three seconds; at once they take about as long as one.
// Prints the median wall time of each and their ratio, and exits 1 when the
// three take 1.5 times the one or more.
//
// usage: address_bench_wan_sources [RUNS]   (default 5)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/address/wan_sources.h"
#include "tests/net/scripted_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace zelmar;
using namespace zelmar::test;

// One lookup of n pages that each wait a second before answering; seconds.
double Lookup(int n) {
    std::vector<std::unique_ptr<ScriptedServer>> servers;
    std::vector<WanSource> sources;
    for (int i = 0; i < n; ++i) {
        servers.push_back(std::make_unique<ScriptedServer>(std::vector<Step>{
            Pause(1000),
            Send("HTTP/1.1 200 OK\r\nContent-Length: 12\r\nConnection: close\r\n\r\n203.0.113.7\n"), Close()}));
        sources.push_back(WanSource{"http://127.0.0.1:" + std::to_string(servers.back()->port()) + "/", false});
    }
    const auto start = Clock::now();
    const std::vector<SourceAnswer> answers = AskSources(sources, IpFamily::V4, "", "", std::chrono::seconds(10));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const WanVote vote = Vote(answers);
    if (vote.agreeing != n) {
        std::fprintf(stderr, "the pages did not all answer: %s\n", DescribeAnswers(answers).c_str());
        std::exit(2);
    }
    return seconds;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::vector<double> one, three;
    for (int i = 0; i < runs; ++i) {
        one.push_back(Lookup(1));
        three.push_back(Lookup(3));
    }
    const double a = Median(one), b = Median(three);
    std::printf("one source answering after 1 s:        %.3f s (median of %d)\n", a, runs);
    std::printf("three sources answering after 1 s each: %.3f s (median of %d)\n", b, runs);
    std::printf("three / one: %.2f\n", b / a);
    return b / a < 1.5 ? 0 : 1;
}
