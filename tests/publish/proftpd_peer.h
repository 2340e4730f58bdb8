// proftpd with mod_proxy as a real FTP firewall (a forward proxy) for the
// firewall logon types. scripts/install-deps.sh unpacks it into
// /opt/zelmar-peers/proftpd, because in apt it conflicts with vsftpd.
#pragma once

#include <memory>
#include <string>

#include "tests/support/peer_process.h"

namespace zelmar::test {

class ProftpdFirewall {
public:
    // method is mod_proxy's forward method: "user@host" (no proxy logon),
    // "proxyuser,user@host" or "proxyuser@host,user" (the proxy logon is
    // kProxyUser with kProxyPassword).
    explicit ProftpdFirewall(const std::string& method = "user@host");
    ~ProftpdFirewall();
    ProftpdFirewall(const ProftpdFirewall&) = delete;
    ProftpdFirewall& operator=(const ProftpdFirewall&) = delete;

    // False (with the reason) when it could not be started.
    bool ok() const { return ok_; }
    const std::string& reason() const { return reason_; }
    int port() const { return port_; }
    // mod_proxy's own log: why it refused or ended a session.
    std::string ProxyLog() const;

    static constexpr const char* kProxyUser = "fwuser";
    static constexpr const char* kProxyPassword = "fwpass";
    // Where the unpacked package lives; ZELMAR_PROFTPD_DIR overrides it.
    static std::string InstallDir();

private:
    ScratchDir dir_;
    int port_ = 0;
    bool ok_ = false;
    std::string reason_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace zelmar::test
