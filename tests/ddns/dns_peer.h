// Real name servers for the dynamic-DNS tests and the benchmark, started from
// a scratch folder on 127.0.0.1 and a free port (as nobody when the tests run
// as root), each serving the same zones "example.test" and "second.test" with
// the same keys and the same rights:
//
// example.test lets the keys of Keys() (one per TSIG algorithm) update the A
// and AAAA records of home.example.test and office.example.test; the key
// "outsider" is known to the server but granted nothing; second.test takes no
// updates. home starts with two A records, so an update that does not replace
// the whole set shows.
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

class DnsPeer {
public:
    virtual ~DnsPeer();
    DnsPeer(const DnsPeer&) = delete;
    DnsPeer& operator=(const DnsPeer&) = delete;

    // Empty once the server answers; otherwise why it does not (its log).
    const std::string& failure() const { return failure_; }
    int port() const { return port_; }
    std::string server() const { return "127.0.0.1:" + std::to_string(port_); }

    static const std::vector<TsigKey>& Keys();  // hmac-sha256 first
    static const TsigKey& Outsider();

    // What dig (an independent reader) finds: the addresses, sorted, one
    // per line; empty when none.
    std::string Dig(const std::string& name, const std::string& type) const;
    // Stops the server (the "server down" case).
    void Stop();

protected:
    DnsPeer();
    // Writes the zone files into the folder.
    void WriteZones() const;
    // Runs the server (argv) with its log in the folder and waits, bounded,
    // until it answers; the folder is handed to nobody first when we are root.
    void Start(const std::vector<std::string>& argv);

    ScratchDir dir_;
    int port_ = 0;

private:
    std::unique_ptr<ChildProcess> server_;
    std::string failure_;
};

// BIND 9's named.
class BindPeer : public DnsPeer {
public:
    BindPeer();
};

// Knot DNS's knotd.
class KnotPeer : public DnsPeer {
public:
    KnotPeer();
};

// tests/support/hostile_dns_peer.py in front of a real server: one way of
// misbehaving (its MODE, see there) per peer.
class HostileDnsPeer {
public:
    HostileDnsPeer(const std::string& mode, int upstreamPort, const std::string& arg = "");
    bool ready() const { return ready_; }
    std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
    // How many log lines equal line ("udp", "tcp", "byte").
    int Count(const std::string& line) const;
    std::string Log() const { return ReadFile(dir_ / "queries"); }

private:
    ScratchDir dir_;
    int port_;
    ChildProcess process_;
    bool ready_;
};

}  // namespace zelmar::test
