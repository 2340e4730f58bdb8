#include "tests/publish/secure_peers.h"

#include <sys/stat.h>
#include <unistd.h>

#include "tests/publish/proftpd_peer.h"
#include "tests/support/shell_output.h"

namespace zelmar::test {

SshdPeer::SshdPeer() {
    if (::geteuid() != 0 || ::access("/usr/sbin/sshd", X_OK) != 0) {
        reason_ = "needs root and /usr/sbin/sshd (openssh-server)";
        return;
    }
    const std::string d = dir_.path();
    ShellOutput("cd " + d + " && ssh-keygen -q -t ed25519 -N '' -f host && ssh-keygen -q -t ed25519 -N '' -f client"
                " && ssh-keygen -q -t ed25519 -N '' -f foreign && cp client.pub authorized_keys");
    ::mkdir("/run/sshd", 0755);
    port_ = FreePort();
    WriteFile(dir_ / "sshd.conf", "Port " + std::to_string(port_) + "\nListenAddress 127.0.0.1\nHostKey " + d +
                                      "/host\nPidFile " + d + "/sshd.pid\nAuthorizedKeysFile " + d +
                                      "/authorized_keys\nUsePAM no\nStrictModes no\nPasswordAuthentication no\n"
                                      "PermitRootLogin prohibit-password\nSubsystem sftp internal-sftp\n");
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/sshd", "-D", "-e", "-f", dir_ / "sshd.conf"}, dir_ / "sshd.log");
    ok_ = WaitForPort(port_);
    if (!ok_) reason_ = "sshd did not start: " + ReadFile(dir_ / "sshd.log");
}

SshdPeer::~SshdPeer() {
    process_.reset();
    if (port_ > 0) WaitForPortClosed(port_);
}

std::string SshdPeer::ForeignHostKey() const {
    const std::string line = ReadFile(dir_ / "foreign.pub");
    return line.substr(0, line.rfind(' '));
}

int SshdPeer::Logins() const {
    const std::string log = ReadFile(dir_ / "sshd.log");
    int n = 0;
    for (auto at = log.find("Accepted publickey"); at != std::string::npos; at = log.find("Accepted", at + 1)) ++n;
    return n;
}

TestCertificates::TestCertificates() {
    // The server runs as nobody when the tests run as root.
    ::chmod(dir_.path().c_str(), 0755);
    const std::string req = "openssl req -x509 -nodes -days 2 -newkey rsa:2048 -subj /CN=";
    const std::string san = " -addext subjectAltName=IP:127.0.0.1";
    WriteFile(dir_ / "san.ext", "subjectAltName=IP:127.0.0.1\n");
    ShellOutput("cd " + dir_.path() + " && " + req + "TestCA -keyout ca.key -out ca.pem 2>/dev/null" +
                " && openssl req -nodes -newkey rsa:2048 -subj /CN=127.0.0.1 -keyout server.key -out server.csr"
                " 2>/dev/null && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2" +
                " -extfile san.ext -out server.pem 2>/dev/null; " + req +
                "127.0.0.1" + san + " -keyout stray.key -out stray.pem 2>/dev/null; chmod 644 *");
}

std::string TestCertificates::ProftpdTls(const std::string& certificate, bool required) const {
    return "ModulePath " + ProftpdFirewall::InstallDir() + "/usr/lib/proftpd\nLoadModule mod_tls.c\nTLSEngine on\n" +
           "TLSProtocol TLSv1.2 TLSv1.3\nTLSRSACertificateFile " +
           (dir_ / (certificate + ".pem")) + "\nTLSRSACertificateKeyFile " + (dir_ / (certificate + ".key")) +
           "\nTLSRequired " + (required ? "on" : "off") + "\nTLSVerifyClient off\n";
}

}  // namespace zelmar::test
