#include "tests/ddns/dns_peer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <thread>

#include "tests/support/shell_output.h"

namespace zelmar::test {


const std::vector<TsigKey>& DnsPeer::Keys() {
    static const std::vector<TsigKey> keys = {
        {"zelmar-sha256", "hmac-sha256", "Q1Yaz/L6qGNnLd0rWwZcnBglv2vxCIcQogMEZViSY6E="},
        {"zelmar-sha512", "hmac-sha512",
         "putLIyuppCbSdHl/0YIr2fwDcqXW0G0/4WlxfyJCJ3cMqQzN5cAWQXP+7qq9gYwD81YlMWdTGgjHMv/57k0OhQ=="},
        {"zelmar-sha1", "hmac-sha1", "6vMQUp8GewKmvJhIBAWrTwPF3OE="},
    };
    return keys;
}

const TsigKey& DnsPeer::Outsider() {
    static const TsigKey key{"outsider", "hmac-sha256", "RqxXio2IZf0bhDdSrihLxqRsAirdGE6O0n/FD7ef7HU="};
    return key;
}

DnsPeer::DnsPeer() : port_(FreePort()) {}

DnsPeer::~DnsPeer() { Stop(); }

void DnsPeer::WriteZones() const {
    for (const std::string zone : {"example.test", "second.test"}) {
        std::string z = "$TTL 300\n@ IN SOA ns." + zone + ". hostmaster.example.test. 1 3600 600 86400 300\n" +
                        "@ IN NS ns\nns IN A 127.0.0.1\n";
        if (zone == "example.test") z += "home IN A 10.0.0.1\nhome IN A 10.0.0.2\n";
        WriteFile(dir_ / (zone + ".zone"), z);
    }
}

void DnsPeer::Start(const std::vector<std::string>& argv) {
    const std::string d = dir_.path();
    if (::geteuid() == 0) {
        // The server drops to nobody, which must be able to enter the folder
        // and write the zones' journals.
        ::chmod(d.c_str(), 0755);
        (void)!std::system(("chown -R nobody '" + d + "'").c_str());
    }
    server_ = std::make_unique<ChildProcess>(argv, d + "/server.log");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!server_->running()) break;
        if (ShellOutput("dig +short +time=1 +tries=1 -p " + std::to_string(port_) + " @127.0.0.1 ns.example.test A") ==
            "127.0.0.1\n")
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    failure_ = argv[0] + " did not answer: " + ReadFile(d + "/server.log");
}

void DnsPeer::Stop() {
    if (!server_) return;
    server_->Stop();
    server_.reset();
    WaitForPortClosed(port_);
}

std::string DnsPeer::Dig(const std::string& name, const std::string& type) const {
    std::istringstream lines(
        ShellOutput("dig +short +time=2 +tries=1 -p " + std::to_string(port_) + " @127.0.0.1 " + name + " " + type));
    std::vector<std::string> found;
    for (std::string l; std::getline(lines, l);)
        if (!l.empty()) found.push_back(l);
    std::sort(found.begin(), found.end());
    std::string out;
    for (const std::string& f : found) out += f + "\n";
    return out;
}

BindPeer::BindPeer() {
    const std::string d = dir_.path();
    std::string conf = "options {\n  directory \"" + d + "\";\n  listen-on port " + std::to_string(port_) +
                       " { 127.0.0.1; };\n  listen-on-v6 { none; };\n  pid-file \"" + d +
                       "/named.pid\";\n  session-keyfile \"" + d + "/session.key\";\n  managed-keys-directory \"" + d +
                       "\";\n  recursion no;\n  dnssec-validation no;\n  notify no;\n};\n";
    std::vector<TsigKey> all = Keys();
    all.push_back(Outsider());
    for (const TsigKey& k : all)
        conf += "key \"" + k.name + "\" { algorithm " + k.algorithm + "; secret \"" + k.secret + "\"; };\n";
    conf += "zone \"example.test\" { type primary; file \"" + d + "/example.test.zone\";\n  update-policy {\n";
    for (const TsigKey& k : Keys()) {
        conf += "    grant " + k.name + " name home.example.test. A AAAA;\n";
        conf += "    grant " + k.name + " name office.example.test. A AAAA;\n";
    }
    conf += "  };\n};\n";
    conf += "zone \"second.test\" { type primary; file \"" + d + "/second.test.zone\"; };\n";
    WriteFile(d + "/named.conf", conf);
    WriteZones();
    std::vector<std::string> argv = {"/usr/sbin/named", "-g", "-c", d + "/named.conf"};
    if (::geteuid() == 0) argv.insert(argv.end(), {"-u", "nobody"});
    Start(argv);
}

KnotPeer::KnotPeer() {
    const std::string d = dir_.path();
    // In the foreground knotd writes no PID file; its control socket, the
    // journal and the timers stay in the folder too.
    std::string conf = "server:\n  rundir: \"" + d + "\"\n  listen: 127.0.0.1@" + std::to_string(port_) +
                       "\n  udp-workers: 1\n  tcp-workers: 1\n  background-workers: 1\n";
    if (::geteuid() == 0) conf += "  user: nobody:nogroup\n";
    conf += "log:\n  - target: stderr\n    any: info\n";
    conf += "database:\n  storage: \"" + d + "\"\n  journal-db: \"" + d + "/journal\"\n  timer-db: \"" + d +
            "/timers\"\n  kasp-db: \"" + d + "/keys\"\n";
    std::vector<TsigKey> all = Keys();
    all.push_back(Outsider());
    conf += "key:\n";
    for (const TsigKey& k : all)
        conf += "  - id: " + k.name + "\n    algorithm: " + k.algorithm + "\n    secret: " + k.secret + "\n";
    // The same right as BIND's "grant KEY name NAME A AAAA" for both names.
    conf += "acl:\n  - id: update\n    key: [";
    for (const TsigKey& k : Keys()) conf += k.name + (&k == &Keys().back() ? "]\n" : ", ");
    conf += "    action: update\n    update-type: [A, AAAA]\n    update-owner: name\n"
            "    update-owner-match: equal\n    update-owner-name: [home, office]\n";
    conf += "template:\n  - id: default\n    storage: \"" + d + "\"\n    file: \"%s.zone\"\n";
    conf += "zone:\n  - domain: example.test\n    acl: update\n  - domain: second.test\n";
    WriteFile(d + "/knot.conf", conf);
    WriteZones();
    Start({"/usr/sbin/knotd", "-c", d + "/knot.conf"});
}

HostileDnsPeer::HostileDnsPeer(const std::string& mode, int upstreamPort, const std::string& arg)
    : port_(FreePort()),
      process_({kSystemPython, ZELMAR_HOSTILE_DNS_PEER, mode, std::to_string(port_), std::to_string(upstreamPort),
                dir_ / "queries", arg},
               dir_ / "peer.log"),
      ready_(WaitForPort(port_)) {}

int HostileDnsPeer::Count(const std::string& line) const {
    std::istringstream lines(Log());
    int n = 0;
    for (std::string l; std::getline(lines, l);) n += l == line;
    return n;
}

}  // namespace zelmar::test
