#include "tests/support/static_site.h"

namespace zelmar::test {

StaticSite::StaticSite(const std::string& root) {
    const std::string d = dir_.path();
    port_ = FreePort();
    std::string conf = "daemon off;\nworker_processes 1;\n";
    // Run by root, the worker would read the folder as nobody, which may not
    // enter a scratch folder; run by anyone else the line is ignored.
    conf += "user root;\n";
    conf += "pid " + d + "/nginx.pid;\nerror_log " + d + "/error.log;\n";
    conf += "events { worker_connections 16; }\n";
    conf += "http {\n  default_type text/html;\n  access_log off;\n";
    for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf += std::string("  ") + t + "_temp_path " + d + "/tmp_" + t + ";\n";
    // No caching headers to trip over: each GET reads the file again.
    conf += "  server {\n    listen 127.0.0.1:" + std::to_string(port_) + ";\n    root " + root +
            ";\n    etag off;\n    if_modified_since off;\n  }\n}\n";
    WriteFile(d + "/nginx.conf", conf);
    nginx_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/nginx", "-e", d + "/error.log", "-p", d, "-c", d + "/nginx.conf"},
        d + "/nginx.out", std::map<std::string, std::string>{}, 15);
    ok_ = WaitForPort(port_);
    if (!ok_) failure_ = "nginx did not start: " + ReadFile(d + "/nginx.out") + ReadFile(d + "/error.log");
}

}  // namespace zelmar::test
