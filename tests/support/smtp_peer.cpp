#include "tests/support/smtp_peer.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <strings.h>
#include <sys/stat.h>

namespace zelmar::test {

SmtpPeer::SmtpPeer() : SmtpPeer(Options{}) {}

bool MakeSelfSignedCert(const std::string& dir) {
    const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + dir + "/key.pem' -out '" + dir +
                            "/cert.pem' -days 2 -subj /CN=localhost "
                            "-addext subjectAltName=IP:127.0.0.1,DNS:localhost >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

bool MakeCaSignedCert(const std::string& dir, const std::string& subjectAltName) {
    const std::string d = "'" + dir + "/";
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    const std::string cmd = "cd '" + dir + "' && openssl req -x509" + key + "-keyout ca.key -out ca.pem -days 2 " +
                            "-subj '/CN=Zelmar Test CA' >/dev/null 2>&1 && openssl req" + key + "-keyout " + d +
                            "key.pem' -out req.csr -subj /CN=server >/dev/null 2>&1 && printf 'subjectAltName=" +
                            subjectAltName + "\n' > ext.cnf && openssl x509 -req -in req.csr -CA ca.pem -CAkey ca.key " +
                            "-CAcreateserial -days 2 -extfile ext.cnf -out " + d + "cert.pem' >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

std::string CertFingerprint(const std::string& certPem) {
    const std::string cmd = "openssl x509 -in '" + certPem + "' -noout -fingerprint -sha256 2>/dev/null";
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        ::pclose(p);
    }
    std::string hex;
    const std::size_t eq = out.find('=');
    if (eq == std::string::npos) return hex;
    for (char c : out.substr(eq + 1))
        if (std::isxdigit(static_cast<unsigned char>(c))) hex.push_back(static_cast<char>(std::tolower(c)));
    return hex;
}

SmtpPeer::SmtpPeer(const Options& o) {
    port_ = FreePort();
    outDir_ = o.outDir.empty() ? dir_ / "mail" : o.outDir;
    if (o.outDir.empty()) ::mkdir(outDir_.c_str(), 0755);
    std::vector<std::string> argv{kSystemPython, ZELMAR_SMTP_PEER_SCRIPT, std::to_string(port_),
                                  o.sink ? std::string("-") : outDir_};
    if (!o.login.empty()) argv.insert(argv.end(), {"--login", o.login});
    if (o.plainOnly) argv.push_back("--plain-only");
    if (o.loginOnly) argv.push_back("--login-only");
    for (const std::string& r : o.refuse) argv.insert(argv.end(), {"--refuse", r});
    if (o.startTls || o.implicitTls) {
        const std::string certDir = o.certDir.empty() ? dir_.path() : o.certDir;
        if (o.certDir.empty() && !MakeSelfSignedCert(certDir)) return;
        argv.insert(argv.end(), {o.implicitTls ? "--implicit-tls" : "--tls", certDir + "/cert.pem",
                                 certDir + "/key.pem"});
    }
    process_ = std::make_unique<ChildProcess>(argv, dir_ / "server.log");
    ok_ = WaitForPort(port_);
}

SmtpPeer::~SmtpPeer() { Stop(); }

void SmtpPeer::Stop() {
    if (!process_) return;
    process_.reset();
    WaitForPortClosed(port_);
}

std::string SmtpPeer::File(int n, const char* ext) const {
    return ReadFile(outDir_ + "/" + std::to_string(n) + ext);
}

int SmtpPeer::Count() const {
    int n = 0;
    while (!File(n + 1, ".eml").empty()) ++n;
    return n;
}

std::string SmtpPeer::Raw(int n) const { return File(n, ".eml"); }
std::string SmtpPeer::Meta(int n) const { return File(n, ".json"); }
std::string SmtpPeer::Envelope(int n) const { return File(n, ".env"); }
std::string SmtpPeer::Log() const { return ReadFile(dir_ / "server.log"); }

namespace {
// Unfolded header lines.
std::vector<std::string> HeaderLines(const std::string& raw) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < raw.size()) {
        std::size_t end = raw.find('\n', pos);
        if (end == std::string::npos) end = raw.size();
        std::string line = raw.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pos = end + 1;
        if (line.empty()) break;
        if ((line[0] == ' ' || line[0] == '\t') && !lines.empty())
            lines.back() += line;
        else
            lines.push_back(line);
    }
    return lines;
}
}  // namespace

std::vector<std::string> HeaderNames(const std::string& raw) {
    std::vector<std::string> names;
    for (const std::string& line : HeaderLines(raw)) names.push_back(line.substr(0, line.find(':')));
    return names;
}

std::string HeaderValue(const std::string& raw, const std::string& name) {
    for (const std::string& line : HeaderLines(raw)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || strcasecmp(line.substr(0, colon).c_str(), name.c_str()) != 0) continue;
        std::size_t from = colon + 1;
        while (from < line.size() && line[from] == ' ') ++from;
        return line.substr(from);
    }
    return "";
}

std::string BodyOf(const std::string& raw) {
    const std::size_t at = raw.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : raw.substr(at + 4);
}

}  // namespace zelmar::test
