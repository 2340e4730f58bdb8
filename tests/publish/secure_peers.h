// The peers of the secured page: OpenSSH's sshd for SFTP, and the TLS lines
// that make the unpacked proftpd an FTPS server (mod_tls), with a test CA.
#pragma once

#include <memory>
#include <string>

#include "tests/support/peer_process.h"

namespace zelmar::test {

// sshd on a free loopback port with its own host key; the one authorized
// key is clientKey(). sshd changes to the user who logs on: root only.
class SshdPeer {
public:
    SshdPeer();
    ~SshdPeer();
    bool ok() const { return ok_; }
    const std::string& reason() const { return reason_; }
    int port() const { return port_; }
    const std::string& folder() const { return dir_.path(); }
    std::string clientKey() const { return dir_ / "client"; }
    // "ssh-ed25519 AAAA..." of a key that is not this server's.
    std::string ForeignHostKey() const;
    // How many logins it accepted so far.
    int Logins() const;

private:
    ScratchDir dir_;
    int port_ = 0;
    bool ok_ = false;
    std::string reason_;
    std::unique_ptr<ChildProcess> process_;
};

// A CA and a certificate it signed for 127.0.0.1, readable by the server's
// user: ca.pem, server.pem, server.key in folder(); stray.pem is signed by
// nobody (self-signed) for the same address.
class TestCertificates {
public:
    TestCertificates();
    const std::string& folder() const { return dir_.path(); }
    std::string ca() const { return dir_ / "ca.pem"; }
    // proftpd's mod_tls lines serving certificate "server" or "stray";
    // required: no login without TLS.
    std::string ProftpdTls(const std::string& certificate, bool required) const;

private:
    ScratchDir dir_;
};

}  // namespace zelmar::test
