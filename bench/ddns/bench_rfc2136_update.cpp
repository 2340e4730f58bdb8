// One signed RFC 2136 update round trip against a real BIND 9, Zelmar's
// beside nsupdate's doing the same update (delete the name's A records, add
// one) with the same key, in turns, in the same run.
//
// Two comparisons, each as the median of per-pair ratios (nsupdate / ours,
// so above 1.0 means Zelmar is faster):
//   in-process  ours as the refresh runs it, against a whole nsupdate run;
//   process     ours as a whole process too (this program started with
//               --one-update), so that both pay for starting a program.
//
// Usage: bench_rfc2136_update [PAIRS]   (default 30)
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/ddns/ddns_protocols.h"
#include "tests/ddns/dns_peer.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using zelmar::test::BindPeer;

zelmar::DdnsEntry Entry(const std::string& server) {
    const zelmar::test::TsigKey& key = BindPeer::Keys()[0];
    zelmar::DdnsEntry e;
    e.protocol = zelmar::DdnsProtocol::Rfc2136;
    e.hosts = {"home.example.test"};
    e.server = server;
    e.zone = "example.test";
    e.keyName = key.name;
    e.keyAlgorithm = key.algorithm;
    e.secret = key.secret;
    return e;
}

bool Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double Ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--one-update") {
        std::string detail;
        const std::string code = zelmar::Rfc2136SendUpdate(Entry(argv[2]), {argv[3], ""}, 5, detail);
        return code == "NOERROR" ? 0 : 1;
    }
    const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    BindPeer bind;
    if (!bind.failure().empty()) {
        std::fprintf(stderr, "bench_rfc2136_update: %s\n", bind.failure().c_str());
        return 1;
    }
    const zelmar::DdnsEntry entry = Entry(bind.server());
    const zelmar::test::TsigKey& key = BindPeer::Keys()[0];
    zelmar::test::ScratchDir dir;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    self[n] = '\0';

    std::vector<double> ours, oursProcess, theirs, inProcessRatio, processRatio;
    for (int i = 0; i < pairs + 1; ++i) {  // the first pair warms up
        const std::string address = "192.0.2." + std::to_string(1 + i % 250);
        const std::string script = dir / ("update" + std::to_string(i));
        zelmar::test::WriteFile(script, "server 127.0.0.1 " + std::to_string(bind.port()) +
                                            "\nzone example.test\nupdate delete home.example.test. A\n"
                                            "update add home.example.test. 300 A 198.51.100." +
                                            std::to_string(1 + i % 250) + "\nsend\n");

        auto t0 = Clock::now();
        std::string detail;
        const std::string code = zelmar::Rfc2136SendUpdate(entry, {address, ""}, 5, detail);
        auto t1 = Clock::now();
        const bool nsupdateOk = Spawn({"/usr/bin/nsupdate", "-y", key.algorithm + ":" + key.name + ":" + key.secret,
                                       script});
        auto t2 = Clock::now();
        const bool processOk = Spawn({self, "--one-update", bind.server(), "203.0.113." + std::to_string(1 + i % 250)});
        auto t3 = Clock::now();
        if (code != "NOERROR" || !nsupdateOk || !processOk) {
            std::fprintf(stderr, "bench_rfc2136_update: an update failed (ours %s: %s; nsupdate %s; process %s)\n",
                         code.c_str(), detail.c_str(), nsupdateOk ? "ok" : "failed", processOk ? "ok" : "failed");
            return 1;
        }
        if (i == 0) continue;
        ours.push_back(Ms(t0, t1));
        theirs.push_back(Ms(t1, t2));
        oursProcess.push_back(Ms(t2, t3));
        inProcessRatio.push_back(Ms(t1, t2) / Ms(t0, t1));
        processRatio.push_back(Ms(t1, t2) / Ms(t2, t3));
    }
    std::printf("signed RFC 2136 update round trip against BIND 9, %d pairs (median ms)\n", pairs);
    std::printf("  zelmar in-process   %8.3f\n", Median(ours));
    std::printf("  zelmar as a process %8.3f\n", Median(oursProcess));
    std::printf("  nsupdate            %8.3f\n", Median(theirs));
    std::printf("ratio nsupdate/zelmar (>= 1.0: zelmar is as fast or faster)\n");
    std::printf("  in-process          %8.2fx\n", Median(inProcessRatio));
    std::printf("  process vs process  %8.2fx\n", Median(processRatio));
    return 0;
}
