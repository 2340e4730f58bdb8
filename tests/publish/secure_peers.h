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
    std::string clientKey() const { return dir_ / "client"; }
    std::string ForeignHostKey() const;  // "ssh-ed25519 AAAA..." of another key
    int Logins() const;                  // accepted so far

private:
    ScratchDir dir_;
    int port_ = 0;
    bool ok_ = false;
    std::string reason_;
    std::unique_ptr<ChildProcess> process_;
};

// A CA with a certificate it signed for 127.0.0.1 ("server"), and a
// self-signed one for the same address ("stray"), readable by nobody.
class TestCertificates {
public:
    TestCertificates();
    std::string ca() const { return dir_ / "ca.pem"; }
    // proftpd's mod_tls lines; required: no login without TLS.
    std::string ProftpdTls(const std::string& certificate, bool required) const;

private:
    ScratchDir dir_;
};

}  // namespace zelmar::test
