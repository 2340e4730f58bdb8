#include "tests/support/private_network.h"

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace zelmar::test {

PrivateNetworkRun RunInPrivateNetwork(const std::function<std::string()>& step, std::chrono::seconds bound) {
    if (::geteuid() != 0) return {true, false, ""};
    ScratchDir dir;
    const std::string result = dir / "result";
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNET) != 0 ||
            std::system("ip link set lo up && ip link set lo multicast on && "
                        "ip addr add 192.168.77.1/24 dev lo && ip route add 239.0.0.0/8 dev lo && "
                        "ip route add default via 192.168.77.1 dev lo") != 0)
            ::_exit(77);
        WriteFile(result, step());
        ::_exit(0);
    }
    // A step that hangs is killed at the bound, never waited for.
    int status = 0;
    bool ended = false;
    for (long long tenths = 0; !ended && tenths < bound.count() * 10; ++tenths) {
        ended = ::waitpid(child, &status, WNOHANG) == child;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!ended && ::kill(child, SIGKILL) == 0) ::waitpid(child, &status, 0);
    PrivateNetworkRun run;
    run.skipped = ended && WIFEXITED(status) && WEXITSTATUS(status) == 77;
    run.finished = ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.text = ReadFile(result);
    return run;
}

RouterPeer::RouterPeer(const RouterPeerOptions& options) {
    logPath_ = dir_ / "miniupnpd.log";
    WriteFile(dir_ / "miniupnpd.conf",
              // Without ext_ip the external address is lo's own, a reserved one.
              "ext_ifname=lo\n" + (options.externalAddress.empty() ? "" : "ext_ip=" + options.externalAddress + "\n") +
                  "listening_ip=lo\nhttp_port=" +
                  std::to_string(kRouterHttpPort) + "\nenable_upnp=" + (options.upnp ? "yes" : "no") +
                  "\nenable_natpmp=" + (options.natpmp ? "yes" : "no") +
                  "\nsecure_mode=no\nsystem_uptime=yes\nlease_file=" + (dir_ / "leases") +
                  "\nuuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b\n"
                  "allow 1024-65535 127.0.0.0/8 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n");
    daemon_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/miniupnpd", "-d", "-f", dir_ / "miniupnpd.conf", "-P", dir_ / "pid"},
        logPath_);
    // Ready once it says it listens for what it was told to answer.
    const std::string awaited = options.natpmp ? "Listening for NAT-PMP" : "HTTP listening on port";
    for (int i = 0; i < 100 && !(ok_ = ReadFile(logPath_).find(awaited) != std::string::npos); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (ok_ && options.upnp) ok_ = WaitForPort(kRouterHttpPort);
}

}  // namespace zelmar::test
