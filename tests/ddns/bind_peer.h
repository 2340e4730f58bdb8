// A real BIND 9 for the dynamic-DNS tests and the benchmark: named started
// from a scratch folder on 127.0.0.1 and a free port (as nobody when the
// tests run as root), serving the zones "example.test" and "second.test".
//
// example.test lets the keys of Keys() (one per TSIG algorithm) update the A
// and AAAA records of home.example.test and office.example.test; the key
// "outsider" is known to the server but granted nothing. home starts with
// two A records, so an update that does not replace the whole set shows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/peer_process.h"

namespace zelmar::test {

struct TsigKey {
    std::string name;
    std::string algorithm;
    std::string secret;
};

class BindPeer {
public:
    BindPeer();
    ~BindPeer();
    BindPeer(const BindPeer&) = delete;
    BindPeer& operator=(const BindPeer&) = delete;

    // Empty once named answers; otherwise why it does not (named's log).
    const std::string& failure() const { return failure_; }
    int port() const { return port_; }
    std::string server() const { return "127.0.0.1:" + std::to_string(port_); }

    static const std::vector<TsigKey>& Keys();  // hmac-sha256 first
    static const TsigKey& Outsider();

    // What dig (an independent reader) finds: the addresses, sorted, one
    // per line; empty when none.
    std::string Dig(const std::string& name, const std::string& type) const;
    // Stops named (the "server down" case).
    void Stop();

private:
    ScratchDir dir_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> named_;
    std::string failure_;
};

}  // namespace zelmar::test
