// A real SMTP server on loopback for the tests (aiosmtpd, smtp_server.py):
// what it received is kept as files the test reads back.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/peer_process.h"

namespace zelmar::test {

class SmtpPeer {
public:
    struct Options {
        std::string login;  // "user:password": AUTH required
        bool plainOnly = false;
        bool startTls = false;
        bool implicitTls = false;
        std::vector<std::string> refuse;  // answered 550 at RCPT TO
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
    void Stop();

private:
    ScratchDir dir_;
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
