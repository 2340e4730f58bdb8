// proftpd from the unpacked package in /opt/zelmar-peers/proftpd
// (scripts/install-deps.sh puts it there without installing a service): as a
// plain FTP server with one virtual user, and with mod_proxy as a real FTP
// firewall (a forward proxy) for the firewall logon types.
#pragma once

#include <memory>
#include <string>

#include "tests/support/peer_process.h"

namespace zelmar::test {

// A plain proftpd server on 127.0.0.1 with one virtual user (from its own
// AuthUserFile, no system account), run unprivileged from a temp folder: as
// the calling user, or as nobody when the caller is root. The user's home is
// a folder the server's user owns.
class ProftpdServer {
public:
    // extraConfig: more lines for its configuration (mod_tls for FTPS).
    explicit ProftpdServer(const std::string& extraConfig = "");
    ~ProftpdServer();
    ProftpdServer(const ProftpdServer&) = delete;
    ProftpdServer& operator=(const ProftpdServer&) = delete;

    bool ok() const { return ok_; }
    const std::string& reason() const { return reason_; }
    int port() const { return port_; }
    const std::string& home() const { return home_; }
    // Its log (in the foreground it writes to stderr): who logged on.
    std::string Log() const { return ReadFile(dir_ / "stderr.log"); }
    // Makes a folder in the home that the server's user owns (writable) or
    // one it may read but not write.
    void MakeFolder(const std::string& relative, bool writable = true) const;

    static constexpr const char* kUser = "zelmarftp";
    static constexpr const char* kPassword = "fwpass";

private:
    ScratchDir dir_;
    std::string home_;
    int port_ = 0;
    unsigned uid_ = 0, gid_ = 0;
    bool ok_ = false;
    std::string reason_;
    std::unique_ptr<ChildProcess> process_;
};

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
