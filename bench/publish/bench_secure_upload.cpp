// Upload speed of the page's secured transports next to curl, the same
// 100 MB file to the same loopback server in the same run: FTP with TLS
// (proftpd with mod_tls, passive) against "curl --ssl-reqd -T", and SFTP
// (sshd, a key login) against "curl -T sftp://". Each round uploads with
// both, in turn; "vs_curl" is curl's time over ours (1.0 or more: at least
// as fast). No limits are asserted.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "app/core/ini_file.h"
#include "app/publish/secure_page_upload.h"
#include "tests/publish/proftpd_peer.h"
#include "tests/publish/secure_peers.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kSecureFileSize = 100u << 20;

class QuietReporter : public zelmar::Reporter {
public:
    void Post(zelmar::StatusMessage) override {}
    zelmar::MbAnswer ErrorBox(const zelmar::MessageBoxRequest& r) override { return r.defaultAnswer; }
    bool Closing() const override { return false; }
};

struct SecureSetup {
    zelmar::test::ScratchDir dir;
    zelmar::test::TestCertificates certificates;
    std::unique_ptr<zelmar::test::ProftpdServer> ftps;
    std::unique_ptr<zelmar::test::SshdPeer> sshd;
    std::string file, ftpsError, sftpError;

    SecureSetup() {
        ftps = std::make_unique<zelmar::test::ProftpdServer>(certificates.ProftpdTls("server", true));
        if (!ftps->ok()) ftpsError = ftps->reason();
        sshd = std::make_unique<zelmar::test::SshdPeer>();
        if (!sshd->ok()) sftpError = sshd->reason();
        file = dir / "page.bin";
        std::ofstream out(file, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + i / 251);
        for (std::size_t i = 0; i < kSecureFileSize / block.size(); ++i) out << block;
    }

    zelmar::SecureUpload Job(bool sftp) const {
        zelmar::SecureUpload job;
        job.host = "127.0.0.1";
        job.localFile = file;
        job.timeoutSeconds = 15;
        if (sftp) {
            job.how.protocol = zelmar::PageProtocol::Sftp;
            job.how.keyFile = sshd->clientKey();
            job.port = sshd->port();
            job.user = "root";
            job.remoteFile = dir / "ours.bin";
            job.knownHostsFile = dir / ".ssh/known_hosts";
        } else {
            job.how.security = zelmar::FtpSecurity::Require;
            job.how.caFile = certificates.ca();
            job.port = ftps->port();
            job.user = zelmar::test::ProftpdServer::kUser;
            job.password = zelmar::test::ProftpdServer::kPassword;
            job.remoteFile = "ours.bin";
        }
        return job;
    }

    std::string CurlCommand(bool sftp) const {
        if (sftp)
            return "HOME=" + dir.path() + " curl -sS --key " + sshd->clientKey() + " --pubkey " + sshd->clientKey() +
                   ".pub -T " + file + " sftp://root@127.0.0.1:" + std::to_string(sshd->port()) + dir.path() +
                   "/curl.bin";
        return "curl -sS --ssl-reqd --cacert " + certificates.ca() + " -T " + file + " ftp://" +
               zelmar::test::ProftpdServer::kUser + ":" + zelmar::test::ProftpdServer::kPassword + "@127.0.0.1:" +
               std::to_string(ftps->port()) + "/curl.bin";
    }
};

SecureSetup& TheSecureSetup() {
    static SecureSetup setup;
    return setup;
}

void SecureUploadVsCurl(benchmark::State& state, bool sftp) {
    SecureSetup& s = TheSecureSetup();
    const std::string& error = sftp ? s.sftpError : s.ftpsError;
    if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    const zelmar::SecureUpload job = s.Job(sftp);
    zelmar::IniFile ini(s.dir / "z.ini");
    QuietReporter reporter;
    double ours = 0, curl = 0;
    int round = 0;
    for (auto _ : state) {
        // Alternate which goes first, so that neither always meets a warm
        // (or a busy) page cache.
        for (int k = 0; k < 2; ++k) {
            const bool oursNow = (k == 0) == (round % 2 == 0);
            const auto start = Clock::now();
            const bool done = oursNow ? zelmar::UploadPageSecurely(job, ini, reporter).ok()
                                      : std::system(s.CurlCommand(sftp).c_str()) == 0;
            if (!done) {
                state.SkipWithError(oursNow ? "our upload failed" : "curl failed");
                return;
            }
            (oursNow ? ours : curl) += std::chrono::duration<double>(Clock::now() - start).count();
        }
        ++round;
    }
    state.counters["ours_MBps"] = round * (kSecureFileSize / 1e6) / ours;
    state.counters["curl_MBps"] = round * (kSecureFileSize / 1e6) / curl;
    state.counters["vs_curl"] = curl / ours;
}

void BM_FtpsUploadVsCurl(benchmark::State& state) { SecureUploadVsCurl(state, false); }
void BM_SftpUploadVsCurl(benchmark::State& state) { SecureUploadVsCurl(state, true); }
BENCHMARK(BM_FtpsUploadVsCurl)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_SftpUploadVsCurl)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
