#include "tests/support/scripted_https.h"

#include <cstdio>
#include <cstdlib>

namespace zelmar::test {

namespace {

bool Openssl(const std::string& args, const std::string& dir) {
    return std::system(("cd '" + dir + "' && openssl " + args + " >>openssl.log 2>&1").c_str()) == 0;
}

}  // namespace

TestCa::TestCa() {
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    ok = Openssl("req -x509 " + ec + " -keyout ca.key -out ca.pem -days 2 -subj /CN=Zelmar-Test-CA", dir.path());
    for (const auto& [name, san] : {std::pair{"good", "IP:127.0.0.1"}, std::pair{"other", "DNS:other.test"}}) {
        WriteFile(dir / (std::string(name) + ".ext"), std::string("subjectAltName=") + san + "\n");
        ok = ok && Openssl("req " + ec + " -keyout " + name + ".key -out " + name + ".csr -subj /CN=" + name,
                           dir.path());
        ok = ok && Openssl(std::string("x509 -req -in ") + name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial" +
                               " -days 2 -out " + name + ".pem -extfile " + name + ".ext",
                           dir.path());
    }
}

ScriptedHttps::ScriptedHttps(const TestCa& ca, const std::string& cert) : port_(FreePort()) {
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{kSystemPython, ZELMAR_SCRIPTED_HTTPS_SCRIPT, std::to_string(port_),
                                 ca.dir / (cert + ".pem"), ca.dir / (cert + ".key"), state_.path()},
        state_ / "server.log");
    up_ = WaitForPort(port_);
}

std::string ScriptedHttps::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
}

void ScriptedHttps::Script(const std::string& answers) {
    std::remove((state_ / "requests.jsonl").c_str());
    WriteFile(state_ / "script.json", answers);
}

}  // namespace zelmar::test
