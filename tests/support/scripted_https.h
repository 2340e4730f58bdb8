// HTTPS peers for the provider tests: a test CA with server certificates it
// signed, and a scripted server (scripted_https.py) that answers each
// request with the next answer of a script and keeps every request.
#pragma once

#include <memory>
#include <string>

#include "tests/support/peer_process.h"

namespace zelmar::test {

// A test CA, and server certificates it signed: "good" for 127.0.0.1,
// "other" for another name only (trusted, but not for this host).
struct TestCa {
    ScratchDir dir;
    bool ok = false;
    TestCa();
    std::string pem() const { return dir / "ca.pem"; }
};

class ScriptedHttps {
public:
    explicit ScriptedHttps(const TestCa& ca, const std::string& cert = "good");
    bool up() const { return up_; }
    std::string url(const std::string& path = "") const;
    // The answers, a JSON array as scripted_https.py reads it; forgets the
    // requests seen so far.
    void Script(const std::string& answers);
    // The requests since the last Script, one JSON object a line.
    std::string Requests() const { return ReadFile(state_ / "requests.jsonl"); }

private:
    ScratchDir state_;
    int port_;
    std::unique_ptr<ChildProcess> server_;
    bool up_ = false;
};

}  // namespace zelmar::test
