#include "tests/publish/proftpd_peer.h"

#include "tests/publish/ftp_peers.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace zelmar::test {

namespace {

// "fwpass" with a fixed salt: the proxy user needs a crypt(3) hash, and a
// constant one spares every test the hashing.
constexpr const char* kProxyPasswordHash =
    "$6$zelmarfw$tUMKXmsK6FA7Tzjm4geqx4mar/Fjc4NeIa7yhbniMASSkNCKiTnuqLhzMpxgy0hGJz/jqvwj4HLz5N8mwIQ481";

// The same password for the plain server's virtual user.
constexpr const char* kUserPasswordHash = kProxyPasswordHash;

std::string NameOfUser(unsigned uid) {
    const passwd* pw = ::getpwuid(uid);
    return pw ? pw->pw_name : std::to_string(uid);
}

std::string NameOfGroup(unsigned gid) {
    const group* gr = ::getgrgid(gid);
    return gr ? gr->gr_name : std::to_string(gid);
}

}  // namespace

ProftpdServer::ProftpdServer(const std::string& extraConfig) {
    const std::string root = ProftpdFirewall::InstallDir();
    const std::string binary = root + "/usr/sbin/proftpd";
    if (::access(binary.c_str(), X_OK) != 0) {
        reason_ = "proftpd is not unpacked in " + root + " (scripts/install-deps.sh does that)";
        return;
    }
    // Never as root: as the caller, or as nobody when the caller is root.
    const bool root_caller = ::geteuid() == 0;
    uid_ = root_caller ? 65534u : ::geteuid();
    gid_ = root_caller ? 65534u : ::getegid();
    if (root_caller && ::access("/usr/bin/setpriv", X_OK) != 0) {
        reason_ = "setpriv is missing: cannot drop root for proftpd";
        return;
    }
    home_ = dir_ / "home";
    ::mkdir(home_.c_str(), 0755);
    port_ = FreePort();
    const int base = PassiveRangeBase() + 12;
    // proftpd refuses world-readable user files and group-writable folders.
    WriteFile(dir_ / "ftpd.passwd", std::string(kUser) + ":" + kUserPasswordHash + ":" + std::to_string(uid_) +
                                        ":" + std::to_string(gid_) + "::" + home_ + ":/bin/sh\n");
    WriteFile(dir_ / "ftpd.group", NameOfGroup(gid_) + ":x:" + std::to_string(gid_) + ":\n");
    std::ostringstream conf;
    conf << "ServerType standalone\n"
         << "ServerName \"Zelmar test server\"\n"
         << "ServerIdent on \"Zelmar proftpd ready.\"\n"
         << "Port " << port_ << "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
         << "User " << NameOfUser(uid_) << "\nGroup " << NameOfGroup(gid_) << "\n"
         << "PidFile " << (dir_ / "proftpd.pid") << "\nScoreboardFile " << (dir_ / "proftpd.scoreboard") << "\n"
         << "SystemLog " << (dir_ / "system.log") << "\n"
         << "DelayTable none\nWtmpLog off\nUseReverseDNS off\nTransferLog none\n"
         << "AuthOrder mod_auth_file.c\nAuthUserFile " << (dir_ / "ftpd.passwd") << "\n"
         << "AuthGroupFile " << (dir_ / "ftpd.group") << "\n"
         << "RequireValidShell off\nAuthPAM off\nAllowOverwrite on\n"
         << "PassivePorts " << base << " " << base + 12 << "\n" << extraConfig;
    WriteFile(dir_ / "proftpd.conf", conf.str());
    for (const std::string& f : {std::string("ftpd.passwd"), std::string("ftpd.group")})
        ::chmod((dir_ / f).c_str(), 0600);
    if (root_caller) {
        ::chmod(dir_.path().c_str(), 0755);
        for (const std::string& f : {dir_.path(), home_, dir_ / "ftpd.passwd", dir_ / "ftpd.group",
                                     dir_ / "proftpd.conf"})
            if (::chown(f.c_str(), uid_, gid_) != 0) reason_ = "cannot hand " + f + " to nobody";
        if (!reason_.empty()) return;
    }
    std::vector<std::string> argv = {binary, "-n", "-c", dir_ / "proftpd.conf"};
    if (root_caller)
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid_),
                                   "--regid=" + std::to_string(gid_), "--clear-groups"});
    process_ = std::make_unique<ChildProcess>(argv, dir_ / "stderr.log");
    ok_ = WaitForPort(port_);
    if (!ok_) reason_ = "proftpd did not start: " + ReadFile(dir_ / "stderr.log") + ReadFile(dir_ / "system.log");
}

ProftpdServer::~ProftpdServer() {
    process_.reset();
    if (port_ > 0) WaitForPortClosed(port_);
}

void ProftpdServer::MakeFolder(const std::string& relative, bool writable) const {
    const std::string path = home_ + "/" + relative;
    ::mkdir(path.c_str(), writable ? 0755 : 0555);
    if (::geteuid() == 0 && ::chown(path.c_str(), uid_, gid_) != 0) return;
}

std::string ProftpdFirewall::InstallDir() {
    const char* dir = std::getenv("ZELMAR_PROFTPD_DIR");
    return dir && *dir ? dir : "/opt/zelmar-peers/proftpd";
}

ProftpdFirewall::ProftpdFirewall(const std::string& method) {
    if (::geteuid() != 0) {
        reason_ = "proftpd's proxy sessions switch users, which needs root";
        return;
    }
    const std::string root = InstallDir();
    const std::string binary = root + "/usr/sbin/proftpd";
    const std::string modules = root + "/usr/lib/proftpd";
    if (::access(binary.c_str(), X_OK) != 0 || ::access((modules + "/mod_proxy.so").c_str(), R_OK) != 0) {
        reason_ = "proftpd with mod_proxy is not unpacked in " + root + " (scripts/install-deps.sh does that)";
        return;
    }
    // The sessions run as nobody and look into the folder.
    ::chmod(dir_.path().c_str(), 0755);
    const std::string tables = dir_ / "tables";
    ::mkdir(tables.c_str(), 0755);
    const std::string home = dir_ / "proxyhome";
    ::mkdir(home.c_str(), 0755);
    WriteFile(dir_ / "ftpd.passwd", std::string(kProxyUser) + ":" + kProxyPasswordHash + ":65534:65534::" + home +
                                        ":/bin/sh\n");
    ::chmod((dir_ / "ftpd.passwd").c_str(), 0600);

    port_ = FreePort();
    std::ostringstream conf;
    conf << "ServerType standalone\n"
         << "ServerName \"Zelmar test firewall\"\n"
         << "Port " << port_ << "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
         << "User nobody\nGroup nogroup\n"
         << "PidFile " << (dir_ / "proftpd.pid") << "\nScoreboardFile " << (dir_ / "proftpd.scoreboard") << "\n"
         << "SystemLog " << (dir_ / "system.log") << "\n"
         << "DelayTable none\nWtmpLog off\nUseReverseDNS off\nTransferLog none\n"
         // Only the proxy user of the file below can log on to the proxy.
         << "AuthOrder mod_auth_file.c\nAuthUserFile " << (dir_ / "ftpd.passwd") << "\n"
         << "RequireValidShell off\nAuthPAM off\n"
         << "ModulePath " << modules << "\nLoadModule mod_proxy.c\n"
         << "<IfModule mod_proxy.c>\n"
         << "  ProxyEngine on\n"
         << "  ProxyLog " << (dir_ / "proxy.log") << "\n"
         << "  ProxyTables " << tables << "\n"
         << "  ProxyRole forward\n"
         << "  ProxyForwardMethod " << method << "\n"
         // Only the servers the tests start.
         << "  ProxyForwardTo ^127\\.0\\.0\\.1:[0-9]+$\n"
         << "</IfModule>\n"
         // Forwarding is refused unless the client's class allows it.
         << "<Class loopback>\n  From 127.0.0.0/8\n  ProxyForwardEnabled on\n</Class>\n";
    WriteFile(dir_ / "proftpd.conf", conf.str());

    // Debian's proftpd-core has no TLS module; mod_proxy needs OpenSSL's
    // symbols all the same.
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{binary, "-n", "-c", dir_ / "proftpd.conf"}, dir_ / "stderr.log",
        std::map<std::string, std::string>{{"LD_PRELOAD", "/lib/x86_64-linux-gnu/libssl.so.3"}});
    ok_ = WaitForPort(port_);
    if (!ok_) reason_ = "proftpd did not start: " + ReadFile(dir_ / "stderr.log") + ReadFile(dir_ / "system.log");
}

ProftpdFirewall::~ProftpdFirewall() {
    process_.reset();
    if (port_ > 0) WaitForPortClosed(port_);
}

std::string ProftpdFirewall::ProxyLog() const { return ReadFile(dir_ / "proxy.log"); }

}  // namespace zelmar::test
