// Upload speed of the FTP client next to curl -T, both storing the same
// 100 MB file on the same server over loopback (passive mode) in the same
// run: the unpacked proftpd with a virtual user, run unprivileged from a temp
// folder (no account, no service). Each round uploads with both, in turn;
// "vs_curl" is curl's time over ours (1.0 or more: at least as fast).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "app/publish/ftp_client.h"
#include "tests/publish/proftpd_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kFileSize = 100u << 20;

struct Setup {
    std::unique_ptr<zelmar::test::ProftpdServer> server;
    zelmar::test::ScratchDir dir;
    std::string file;
    std::string error;

    Setup() {
        server = std::make_unique<zelmar::test::ProftpdServer>();
        if (!server->ok()) {
            error = server->reason();
            return;
        }
        file = dir / "page.bin";
        std::ofstream out(file, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + i / 251);
        for (std::size_t i = 0; i < kFileSize / block.size(); ++i) out << block;
    }
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool OurUpload(const Setup& s, std::string& error) {
    zelmar::FtpClient client(15);
    zelmar::LogonParameters p;
    p.host = "127.0.0.1";
    p.port = s.server->port();
    p.user = zelmar::test::ProftpdServer::kUser;
    p.password = zelmar::test::ProftpdServer::kPassword;
    if (!client.LogOn(p) || !client.TransferFile("client.bin", s.file, true, false)) {
        error = "upload failed: " + client.lastReply();
        return false;
    }
    client.LogOff();
    return true;
}

bool CurlUpload(const Setup& s) {
    const std::string command = "curl -s -S --disable-epsv -T " + s.file + " ftp://" +
                                zelmar::test::ProftpdServer::kUser + ":" + zelmar::test::ProftpdServer::kPassword +
                                "@127.0.0.1:" + std::to_string(s.server->port()) + "/curl.bin";
    return std::system(command.c_str()) == 0;
}

void BM_FtpUploadVsCurl(benchmark::State& state) {
    Setup& s = TheSetup();
    if (!s.error.empty()) {
        state.SkipWithError(s.error.c_str());
        return;
    }
    double ours = 0, curl = 0;
    int round = 0;
    for (auto _ : state) {
        // Alternate which goes first, so that neither always meets a warm
        // (or a busy) page cache.
        for (int k = 0; k < 2; ++k) {
            const bool oursNow = (k == 0) == (round % 2 == 0);
            const auto start = Clock::now();
            std::string error;
            if (oursNow ? !OurUpload(s, error) : !CurlUpload(s)) {
                state.SkipWithError(oursNow ? error.c_str() : "curl failed");
                return;
            }
            (oursNow ? ours : curl) += Seconds(Clock::now() - start);
        }
        ++round;
    }
    state.counters["ours_MBps"] = round * (kFileSize / 1e6) / ours;
    state.counters["curl_MBps"] = round * (kFileSize / 1e6) / curl;
    state.counters["vs_curl"] = curl / ours;
}
BENCHMARK(BM_FtpUploadVsCurl)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace
