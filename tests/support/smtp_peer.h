// A real SMTP server on loopback for the tests and benchmarks (aiosmtpd,
// tests/support/smtp_peer.py): what it received is kept as files the test
// reads back.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/peer_process.h"

namespace zelmar::test {

// Makes cert.pem and key.pem (CN=localhost, IP 127.0.0.1) in dir.
bool MakeSelfSignedCert(const std::string& dir);
// Makes a test CA (ca.pem) and cert.pem / key.pem issued by it for the
// given subjectAltName ("DNS:other.test", "IP:127.0.0.1") in dir.
bool MakeCaSignedCert(const std::string& dir, const std::string& subjectAltName);
// The SHA-256 fingerprint of a PEM certificate as lower-case hex, as
// openssl's own tool computes it.
std::string CertFingerprint(const std::string& certPem);

class SmtpPeer {
public:
    struct Options {
        std::string login;  // "user:password": AUTH required
        bool plainOnly = false;  // only AUTH PLAIN offered
        bool loginOnly = false;  // only AUTH LOGIN offered
        bool startTls = false;
        bool implicitTls = false;
        std::vector<std::string> refuse;  // answered 550 at RCPT TO
        // Where cert.pem and key.pem are; empty: made for this server.
        std::string certDir;
        // Where the messages go; empty: a folder of this server's own.
        std::string outDir;
        bool sink = false;  // keep nothing (benchmarks)
    };
    SmtpPeer();
    explicit SmtpPeer(const Options& options);
    ~SmtpPeer();

    bool ok() const { return ok_; }
    int port() const { return port_; }
    // Messages received so far (1-based files).
    int Count() const;
    std::string Raw(int n) const;
    // The envelope and session facts as JSON text.
    std::string Meta(int n) const;
    // MAIL FROM, then one RCPT per line.
    std::string Envelope(int n) const;
    // What the server wrote to stdout and stderr.
    std::string Log() const;
    void Stop();

private:
    std::string File(int n, const char* ext) const;

    ScratchDir dir_;
    std::string outDir_;
    int port_ = 0;
    bool ok_ = false;
    std::unique_ptr<ChildProcess> process_;
};

// The header field names of a raw message, in order.
std::vector<std::string> HeaderNames(const std::string& raw);
// The unfolded value of the first field of that name ("" when absent).
std::string HeaderValue(const std::string& raw, const std::string& name);
// The part after the blank line that ends the header.
std::string BodyOf(const std::string& raw);

}  // namespace zelmar::test
