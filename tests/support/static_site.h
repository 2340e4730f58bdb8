// A web site on loopback: nginx serving the files of one folder as they
// stand, so that what an upload put there can be read back over HTTP.
#pragma once

#include <memory>
#include <string>

#include "tests/support/peer_process.h"

namespace zelmar::test {

class StaticSite {
public:
    explicit StaticSite(const std::string& root);
    bool ok() const { return ok_; }
    const std::string& failure() const { return failure_; }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    ScratchDir dir_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> nginx_;
    bool ok_ = false;
    std::string failure_;
};

}  // namespace zelmar::test
