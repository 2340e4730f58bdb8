// Messages per second over one reused SMTP connection, next to curl.
//
// Both clients send the same small message N times (default 1000) to the
// same local sink (aiosmtpd, keeping nothing): ours through one
// SmtpConnImpl, curl in one process with one config block per message
// (curl reuses the connection across the blocks). Ours runs twice: calling
// sendMail alone, and the owner's way, connectSmtp (RSET on the open
// connection) before each sendMail.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "mail/base/log_base.h"
#include "mail/smtp/smtp_conn_impl.h"
#include "tests/support/peer_process.h"
#include "tests/support/smtp_peer.h"

using namespace zelmar;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kMime =
    "From: sender@example.test\r\nTo: alice@example.test\r\nSubject: bench\r\nMIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n\r\nThe address of this machine is 192.0.2.10.\r\n"
    ".A line with a leading dot.\r\n";

double OursPerSecond(int port, int n, bool reconnectEachTime) {
    mail::LogNull log;
    mail::SmtpConnImpl session;
    session.setHeloName("client.test");
    bool timedOut = false, aborted = false;
    const auto connect = [&] {
        return session.connectSmtp("127.0.0.1", port, nullptr, nullptr, "", "", 5, 10000, nullptr, log, nullptr,
                                   timedOut, aborted);
    };
    if (!connect()) return -1;
    mail::RenderedMessage msg;
    msg.to = {"alice@example.test"};
    msg.subjectText = "bench";
    msg.mime = kMime;
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        if (reconnectEachTime && i > 0 && !connect()) return -1;
        mail::SendOutcome out;
        if (!session.sendMail(&msg, "sender@example.test", nullptr, "", log, nullptr, out)) return -1;
    }
    return n / std::chrono::duration<double>(Clock::now() - start).count();
}

double CurlPerSecond(int port, int n, const test::ScratchDir& dir) {
    const std::string file = dir / "msg.eml";
    test::WriteFile(file, kMime);
    std::ofstream cfg(dir / "curl.cfg");
    for (int i = 0; i < n; ++i) {
        if (i) cfg << "next\n";
        cfg << "url = \"smtp://127.0.0.1:" << port << "/client.test\"\n"
            << "mail-from = \"sender@example.test\"\nmail-rcpt = \"alice@example.test\"\n"
            << "upload-file = \"" << file << "\"\nsilent\n";
    }
    cfg.close();
    const std::string cmd = "curl -K '" + (dir / "curl.cfg") + "' >/dev/null 2>'" + (dir / "curl.err") + "'";
    const auto start = Clock::now();
    if (std::system(cmd.c_str()) != 0) return -1;
    return n / std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    test::ScratchDir dir;
    test::SmtpPeer::Options sinkOptions;
    sinkOptions.sink = true;
    test::SmtpPeer sink(sinkOptions);
    if (!sink.ok()) {
        std::fprintf(stderr, "the aiosmtpd sink did not start: %s\n", sink.Log().c_str());
        return 1;
    }
    const int port = sink.port();
    double ours = 0, oursRset = 0, curl = 0;
    for (int round = 0; round < 2; ++round) {  // best of two, alternating
        ours = std::max(ours, OursPerSecond(port, n, false));
        curl = std::max(curl, CurlPerSecond(port, n, dir));
        oursRset = std::max(oursRset, OursPerSecond(port, n, true));
    }
    std::printf("%d small messages over one connection each, best of two runs\n", n);
    std::printf("%-44s %10s\n", "client", "msgs/s");
    std::printf("%-44s %10.0f\n", "SmtpConnImpl sendMail", ours);
    std::printf("%-44s %10.0f\n", "SmtpConnImpl connectSmtp(RSET) + sendMail", oursRset);
    std::printf("%-44s %10.0f\n", "curl smtp:// -K (one process)", curl);
    if (curl > 0) std::printf("ratio sendMail/curl %.2f, with RSET %.2f\n", ours / curl, oursRset / curl);
    return ours > 0 && curl > 0 ? 0 : 1;
}
