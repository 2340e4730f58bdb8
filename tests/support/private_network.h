// RunInPrivateNetwork runs a step in a forked child inside a network
// namespace of its own (root): "lo" up with multicast, 192.168.77.1/24, a
// multicast route (SSDP) and a default route through 192.168.77.1 (the
// NAT-PMP gateway). RouterPeer is miniupnpd there: UPnP IGD on
// 127.0.0.1:kRouterHttpPort, NAT-PMP on 127.0.0.1:5351.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "tests/support/peer_process.h"

namespace zelmar::test {

struct PrivateNetworkRun {
    bool skipped = false;  // no namespace here (not root, no unshare)
    bool finished = false;  // the step ended within the bound
    std::string text;       // what the step returned
};

// Runs step in a child inside a fresh network namespace; at most `bound`.
PrivateNetworkRun RunInPrivateNetwork(const std::function<std::string()>& step,
                                      std::chrono::seconds bound = std::chrono::seconds(60));

inline constexpr int kRouterHttpPort = 47001;

struct RouterPeerOptions {
    std::string externalAddress = "81.2.69.160";
    bool upnp = true;
    bool natpmp = true;
};

class RouterPeer {
public:
    explicit RouterPeer(const RouterPeerOptions& options);
    bool ok() const { return ok_; }
    const std::string& log() const { return logPath_; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(kRouterHttpPort) + "/rootDesc.xml"; }

private:
    ScratchDir dir_;
    std::string logPath_;
    std::unique_ptr<ChildProcess> daemon_;
    bool ok_ = false;
};

}  // namespace zelmar::test
