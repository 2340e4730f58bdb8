#include "tests/address/echo_servers.h"

#include <chrono>
#include <thread>

namespace zelmar::test {

namespace {

constexpr const char* kEchoModule = "/usr/lib/nginx/modules/ngx_http_echo_module.so";

// The pages, by path. "$remote_addr" is the caller as nginx sees it.
constexpr const char* kLocations = R"(
    location = /echo { return 200 "REMOTE_ADDR: $remote_addr<br>"; }
    location = /cgi-bin/ip.asp { return 200 "<html>REMOTE_ADDR: $remote_addr<br>args=$args</html>"; }
    location = /sm1001/cgi-bin/ip.asp {
      return 200 "REMOTE_ADDR: $remote_addr<br><SystemMessage>\n SM1001: This version is retired.\n</SystemMessage>";
    }
    location = /sm2/cgi-bin/ip.asp {
      return 200 "REMOTE_ADDR: $remote_addr<br><SystemMessage>SM20042:Maintenance on Sunday</SystemMessage>";
    }
    location = /sm2-unclosed/cgi-bin/ip.asp {
      return 200 "REMOTE_ADDR: $remote_addr<br><SystemMessage>SM20042:Maintenance on Sunday";
    }
    location = /custom-sm {
      return 200 "REMOTE_ADDR: $remote_addr<br><SystemMessage>SM1001: This version is retired.</SystemMessage>";
    }
    location = /blanks { return 200 "<p>REMOTE_ADDR: 203.0.113.7 <br></p>"; }
    location = /two { return 200 "REMOTE_ADDR: 10.1.1.1<br>REMOTE_ADDR: 10.2.2.2<br>"; }
    location = /white { return 200 "REMOTE_ADDR: \t\r\n <br>"; }
    location = /noend { return 200 "REMOTE_ADDR: 127.0.0.1 and nothing after it"; }
    location = /lowercase { return 200 "remote_addr: 127.0.0.1<br>"; }
    location = /error500 { return 500 "REMOTE_ADDR: $remote_addr<br>"; }
    location = /notfound { return 404; }
    location = /redirect { return 302 /echo; }
    location = /json { return 200 '{"ip":"$remote_addr"}'; }
    location = /long1 { return 200 "REMOTE_ADDR: 2001:db8:85a3::8a2e:370:7334<br>"; }
    location = /long2 { return 200 "REMOTE_ADDR: 2001:db8:85a3::8a2e:370:9999<br>"; }
    location = /inject { return 200 "REMOTE_ADDR: 1.2.3.4\n[LocalSettings]\nFTPServer=evil.example <br>"; }
    location = /br-first { return 200 "<p>Hello<br>REMOTE_ADDR: 198.51.100.4<br>Footer</p>"; }
    location = /exactly20 { return 200 "REMOTE_ADDR: 2001:db8::8a2e:37:73<br>"; }
    location = /script { return 200 "REMOTE_ADDR: <script>alert(1)</script><br>"; }
    location = /tokens { return 200 "REMOTE_ADDR: %H%T%D%WI<br>"; }
    location = /trailing { return 200 "REMOTE_ADDR: 203.0.113.7 extra<br>"; }
    location = /v6 { return 200 "REMOTE_ADDR:\t2001:db8::7 <br>"; }
    location = /longline { echo -n "REMOTE_ADDR: "; echo_duplicate 100000 "1"; echo -n "<br>"; }
    location = /slow { echo -n "REMOTE_ADDR: "; echo_flush; echo_sleep 1.5; echo -n "$remote_addr<br>"; }
    location = /hang { echo_sleep 30; echo "too late"; }
    location = /big-first { echo -n "REMOTE_ADDR: $remote_addr<br>"; echo_duplicate 2000000 "x"; }
    location = /big-last { echo_duplicate 1100000 "x"; echo -n "REMOTE_ADDR: $remote_addr<br>"; }
    location = /bare { return 200 "$remote_addr\n"; }
    location = /bare-other { return 200 "198.51.100.9"; }
    location = /bare-two { return 200 "203.0.113.7\n203.0.113.8\n"; }
    location = /bare-private { return 200 "10.1.2.3\n"; }
    location = /bare-cgnat { return 200 "100.64.0.1\n"; }
    location = /bare-slow { echo_sleep 1; echo -n "$remote_addr"; }
)";

bool RunToEnd(const std::vector<std::string>& argv, const std::string& log) {
    ChildProcess p(argv, log);
    const int status = p.Wait(std::chrono::seconds(20));
    return status == 0;
}

}  // namespace

EchoServers::EchoServers() {
    const std::string d = dir_.path();
    if (!RunToEnd({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "/key.pem", "-out",
                   d + "/cert.pem", "-days", "2", "-subj", "/CN=localhost", "-addext",
                   "subjectAltName=IP:127.0.0.1,DNS:localhost"},
                  d + "/openssl.log")) {
        failure_ = "openssl could not make a certificate: " + ReadFile(d + "/openssl.log");
        return;
    }

    port_ = FreePort();
    tlsPort_ = FreePort();
    while (tlsPort_ == port_) tlsPort_ = FreePort();
    std::string conf;
    conf += "load_module " + std::string(kEchoModule) + ";\n";
    conf += "daemon off;\nworker_processes 1;\n";
    conf += "pid " + d + "/nginx.pid;\nerror_log " + d + "/error.log;\n";
    conf += "events { worker_connections 64; }\n";
    conf += "http {\n  default_type text/html;\n";
    conf += "  log_format brief '$request|$http_user_agent';\n";
    conf += "  access_log " + d + "/access.log brief;\n";
    for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf += std::string("  ") + t + "_temp_path " + d + "/tmp_" + t + ";\n";
    // Also on ::1, for the IPv6 lookups.
    conf += "  server {\n    listen 127.0.0.1:" + std::to_string(port_) + ";\n    listen [::1]:" +
            std::to_string(port_) + ";\n" + kLocations + "  }\n";
    conf += "  server {\n    listen 127.0.0.1:" + std::to_string(tlsPort_) + " ssl;\n";
    conf += "    ssl_certificate " + d + "/cert.pem;\n    ssl_certificate_key " + d + "/key.pem;\n";
    conf += "    location / { return 200 \"REMOTE_ADDR: $remote_addr<br>\"; }\n  }\n}\n";
    WriteFile(d + "/nginx.conf", conf);
    // SIGTERM is nginx's fast shutdown: it does not wait for the hung page.
    nginx_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/nginx", "-e", d + "/error.log", "-p", d, "-c", d + "/nginx.conf"},
        d + "/nginx.out", std::map<std::string, std::string>{}, 15);

    pythonPort_ = FreePort();
    python_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{kSystemPython, ZELMAR_ADDRESS_TEST_DIR "/page_server.py", std::to_string(pythonPort_)},
        d + "/python.log");

    if (!WaitForPort(port_) || !WaitForPort(tlsPort_)) {
        failure_ = "nginx did not start: " + ReadFile(d + "/nginx.out") + ReadFile(d + "/error.log");
        return;
    }
    if (!WaitForPort(pythonPort_)) {
        failure_ = "the page server did not start: " + ReadFile(d + "/python.log");
        return;
    }
    ok_ = true;
}

EchoServers::~EchoServers() {
    python_.reset();
    nginx_.reset();
}

std::string EchoServers::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string EchoServers::PythonUrl(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(pythonPort_) + path;
}

std::string EchoServers::AccessLog(const std::string& awaited) const {
    std::string log = ReadFile(dir_ / "access.log");
    for (int i = 0; i < 500 && log.find(awaited) == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log = ReadFile(dir_ / "access.log");
    }
    return log;
}

}  // namespace zelmar::test
