// The address-echo pages the WAN tests ask: nginx on loopback serving the
// echo page and its variants (the default service's path, system messages,
// pages without delimiters, error pages, a redirect, slow, hung and oversized
// pages, and https with a self-signed certificate), plus a small Python
// server for pages nginx will not produce byte for byte.
#pragma once

#include <memory>
#include <string>

#include "tests/support/peer_process.h"

namespace zelmar::test {

class EchoServers {
public:
    // Starts both servers; check ok() before use.
    EchoServers();
    ~EchoServers();

    bool ok() const { return ok_; }
    const std::string& failure() const { return failure_; }

    int port() const { return port_; }
    int tlsPort() const { return tlsPort_; }
    int pythonPort() const { return pythonPort_; }
    std::string Url(const std::string& path) const;
    std::string PythonUrl(const std::string& path) const;
    // nginx's access log: one "request line|user agent" per request.
    // nginx writes a request's line after it has answered, so a client can
    // be done before its line is there: waits (at most 5 s) for `awaited`.
    std::string AccessLog(const std::string& awaited) const;

private:
    ScratchDir dir_;
    int port_ = 0, tlsPort_ = 0, pythonPort_ = 0;
    std::unique_ptr<ChildProcess> nginx_, python_;
    bool ok_ = false;
    std::string failure_;
};

}  // namespace zelmar::test
