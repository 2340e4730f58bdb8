// One DNS exchange with one server under one deadline.
//
// A message goes out by UDP on a connected socket (the kernel then drops
// datagrams from any other address or port, and a closed port is reported
// at once instead of costing the whole wait); an answer with TC set is asked
// again over TCP. Every wait, the TCP connect, each send and each receive,
// is measured against the same deadline, so a server that trickles its
// answer a byte at a time cannot stretch the exchange past it.
//
// Only an answer to the message sent counts: the same ID, QR set, the same
// opcode and the same question (or zone) section. Anything else that arrives
// is dropped and the wait goes on; a forged answer therefore has to guess
// the random ID and the source port of the exchange, and even then cannot
// cut it short with a failure.
//
// ldns builds and parses the messages; this file only moves their bytes.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// Before ldns: without it ldns defines bool, true and false as macros, which
// breaks the C++ headers that follow.
#include <stdbool.h>  // NOLINT(modernize-deprecated-headers)
#include <ldns/ldns.h>

namespace zelmar {

struct DnsServer {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string text;  // as the user wrote it, for messages
};

// "ns1.example.org", "ns1.example.org:5353", "192.0.2.1:53", "[2001:db8::1]:53"
// or a bare IPv6 address; port 53 when none is given.
bool ResolveDnsServer(const std::string& server, DnsServer& out, std::string& error);

// A random message ID (the kernel's random source, not a guessable PRNG).
std::uint16_t RandomDnsId();

enum class DnsExchangeStatus {
    Answered,  // answer holds the server's answer to the message
    TimedOut,  // no complete answer before the deadline
    Refused,   // nothing listens there (port unreachable, connection refused)
    Failed,    // the message could not be sent, or another socket error
};

struct DnsAnswer {
    std::vector<std::uint8_t> wire;  // the bytes received (a TSIG is checked over them)
    ldns_pkt* packet = nullptr;      // parsed; owned
    bool overTcp = false;
    int ignored = 0;  // messages dropped because they answered something else

    DnsAnswer() = default;
    DnsAnswer(const DnsAnswer&) = delete;
    DnsAnswer& operator=(const DnsAnswer&) = delete;
    ~DnsAnswer() { ldns_pkt_free(packet); }
};

// Sends query (already signed when it must be) and waits for its answer
// until deadline. error says in words what went wrong when the status is not
// Answered.
DnsExchangeStatus DnsExchange(const DnsServer& server, const ldns_pkt* query,
                              std::chrono::steady_clock::time_point deadline, DnsAnswer& answer,
                              std::string& error);

}  // namespace zelmar
