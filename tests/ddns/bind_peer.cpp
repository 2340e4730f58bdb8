#include "tests/ddns/bind_peer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <thread>

namespace zelmar::test {

namespace {

std::string Run(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[512];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

}  // namespace

const std::vector<TsigKey>& BindPeer::Keys() {
    static const std::vector<TsigKey> keys = {
        {"zelmar-sha256", "hmac-sha256", "Q1Yaz/L6qGNnLd0rWwZcnBglv2vxCIcQogMEZViSY6E="},
        {"zelmar-sha512", "hmac-sha512",
         "putLIyuppCbSdHl/0YIr2fwDcqXW0G0/4WlxfyJCJ3cMqQzN5cAWQXP+7qq9gYwD81YlMWdTGgjHMv/57k0OhQ=="},
        {"zelmar-sha1", "hmac-sha1", "6vMQUp8GewKmvJhIBAWrTwPF3OE="},
    };
    return keys;
}

const TsigKey& BindPeer::Outsider() {
    static const TsigKey key{"outsider", "hmac-sha256", "RqxXio2IZf0bhDdSrihLxqRsAirdGE6O0n/FD7ef7HU="};
    return key;
}

BindPeer::BindPeer() {
    const std::string d = dir_.path();
    port_ = FreePort();
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
    for (const char* zone : {"example.test", "second.test"}) {
        std::string z = "$TTL 300\n@ IN SOA ns." + std::string(zone) +
                        ". hostmaster.example.test. 1 3600 600 86400 300\n@ IN NS ns\nns IN A 127.0.0.1\n";
        if (std::string(zone) == "example.test") z += "home IN A 10.0.0.1\nhome IN A 10.0.0.2\n";
        WriteFile(d + "/" + zone + ".zone", z);
    }
    std::vector<std::string> argv = {"/usr/sbin/named", "-g", "-c", d + "/named.conf"};
    if (::geteuid() == 0) {
        // named drops to nobody, which must be able to enter the folder and
        // write the zones' journals.
        ::chmod(d.c_str(), 0755);
        (void)!std::system(("chown -R nobody '" + d + "'").c_str());
        argv.insert(argv.end(), {"-u", "nobody"});
    }
    named_ = std::make_unique<ChildProcess>(argv, d + "/named.log");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!named_->running()) break;
        if (Run("dig +short +time=1 +tries=1 -p " + std::to_string(port_) + " @127.0.0.1 ns.example.test A") ==
            "127.0.0.1\n")
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    failure_ = "named did not answer: " + ReadFile(d + "/named.log");
}

BindPeer::~BindPeer() { Stop(); }

void BindPeer::Stop() {
    if (!named_) return;
    named_->Stop();
    named_.reset();
    WaitForPortClosed(port_);
}

std::string BindPeer::Dig(const std::string& name, const std::string& type) const {
    std::istringstream lines(
        Run("dig +short +time=2 +tries=1 -p " + std::to_string(port_) + " @127.0.0.1 " + name + " " + type));
    std::vector<std::string> found;
    for (std::string l; std::getline(lines, l);)
        if (!l.empty()) found.push_back(l);
    std::sort(found.begin(), found.end());
    std::string out;
    for (const std::string& f : found) out += f + "\n";
    return out;
}

}  // namespace zelmar::test
