// One full refresh, `zelmar --once`, next to curl making the same two
// requests: the echo page from nginx and the page upload to proftpd, both on
// loopback, in turns (ours, curl, ours, curl, ...) in one run, so that a
// drift of the machine's speed hits both alike. Prints the median wall time
// of each and their ratio, and exits 1 when ours takes more than 1.5 times
// curl's.
//
// usage: refresh_bench_once [RUNS]   (default 15; needs root for proftpd's
// virtual user sessions, nginx and proftpd as scripts/install-deps.sh
// installs them)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/core/settings.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench-pw";
// kPassword hashed with a fixed salt (openssl passwd -6 -salt zelmarbn).
constexpr const char* kPasswordHash =
    "$6$zelmarbn$XifTBlStmBCQFf.LlxUnHpK.sZAGKQ1oeKYASKJKQhFADNVi3P78dL7IoBl6Q7x1MkbWSUZxnVz2kUD2LdD5l.";

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool Listening(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

bool WaitListening(int port) {
    for (int i = 0; i < 500; ++i) {
        if (Listening(port)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Starts argv in dir with its output in log (or discarded); returns the pid.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& dir, const std::string& log = "/dev/null",
            const char* preload = nullptr) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) ::_exit(127);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(out, 1);
        ::dup2(out, 2);
        if (preload) ::setenv("LD_PRELOAD", preload, 1);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

// Wall time of one run of argv in dir, and its exit code.
double RunMs(const std::vector<std::string>& argv, const std::string& dir, int& code,
             const std::string& log = "/dev/null") {
    const auto start = Clock::now();
    int status = 0;
    ::waitpid(Spawn(argv, dir, log), &status, 0);
    code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Servers {
    std::string dir;
    int httpPort = 0, ftpPort = 0;
    pid_t nginx = -1, proftpd = -1;
    std::string error;

    Servers() {
        char tmpl[] = "/tmp/zelmar-bench-XXXXXX";
        dir = ::mkdtemp(tmpl);
        ::chmod(dir.c_str(), 0755);
        ::mkdir((dir + "/site").c_str(), 0755);
        ::mkdir((dir + "/ftp").c_str(), 0777);
        ::chmod((dir + "/ftp").c_str(), 0777);  // the sessions run as nobody
        ::mkdir((dir + "/nginx").c_str(), 0755);

        httpPort = FreePort();
        Write(dir + "/nginx/nginx.conf",
              "daemon off;\npid " + dir + "/nginx/nginx.pid;\nerror_log " + dir + "/nginx/error.log;\n"
              "events {}\nhttp {\n  access_log off;\n  client_body_temp_path " + dir + "/nginx;\n"
              "  server {\n    listen 127.0.0.1:" + std::to_string(httpPort) + ";\n"
              "    location = /echo { return 200 \"REMOTE_ADDR: $remote_addr<br>\"; }\n  }\n}\n");
        nginx = Spawn({"nginx", "-e", "stderr", "-p", dir + "/nginx", "-c", dir + "/nginx/nginx.conf"}, dir,
                      dir + "/nginx/stderr.log");

        const char* root = std::getenv("ZELMAR_PROFTPD_DIR");
        const std::string install = root && *root ? root : "/opt/zelmar-peers/proftpd";
        ftpPort = FreePort();
        Write(dir + "/ftpd.passwd",
              std::string(kUser) + ":" + kPasswordHash + ":65534:65534::" + dir + "/ftp:/bin/sh\n");
        ::chmod((dir + "/ftpd.passwd").c_str(), 0600);
        Write(dir + "/proftpd.conf",
              "ServerType standalone\nServerName \"bench\"\nPort " + std::to_string(ftpPort) +
                  "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\nUser nobody\nGroup nogroup\n"
                  "PidFile " + dir + "/proftpd.pid\nScoreboardFile " + dir + "/proftpd.scoreboard\n"
                  "SystemLog " + dir + "/system.log\nDelayTable none\nDelayEngine off\nWtmpLog off\nUseReverseDNS off\n"
                  "TransferLog none\nAuthOrder mod_auth_file.c\nAuthUserFile " + dir +
                  "/ftpd.passwd\nRequireValidShell off\nAuthPAM off\nDefaultRoot ~\nAllowOverwrite on\n"
                  "Umask 022\n");
        proftpd = Spawn({install + "/usr/sbin/proftpd", "-n", "-c", dir + "/proftpd.conf"}, dir,
                        dir + "/proftpd.log");
        if (!WaitListening(httpPort)) error = "nginx did not start (see " + dir + "/nginx/stderr.log)";
        if (!WaitListening(ftpPort)) error = "proftpd did not start (see " + dir + "/proftpd.log)";
    }
    ~Servers() {
        for (pid_t p : {nginx, proftpd}) {
            if (p <= 0) continue;
            ::kill(p, p == nginx ? SIGQUIT : SIGTERM);
            ::waitpid(p, nullptr, 0);
        }
        if (error.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
    const bool keep = std::getenv("ZELMAR_BENCH_KEEP") != nullptr;
    if (::geteuid() != 0) {
        std::fprintf(stderr, "refresh_bench_once: needs root (proftpd's sessions switch to the virtual user)\n");
        return 2;
    }
    Servers servers;
    if (!servers.error.empty()) {
        std::fprintf(stderr, "refresh_bench_once: %s\n", servers.error.c_str());
        return 2;
    }
    const std::string site = servers.dir + "/site";
    const std::string echo = "http://127.0.0.1:" + std::to_string(servers.httpPort) + "/echo";
    const std::string page = "<html><body><p>%H is %S at %I / %WI, %D %T</p></body></html>\n";
    Write(site + "/online.htm", page);
    Write(site + "/offline.htm", page);
    Write(site + "/upload.htm", page);  // curl's copy of the page
    std::string password = kPassword;
    zelmar::ScrambleText(password, zelmar::ScrambleKey());
    Write(site + "/Zelmar.ini",
          "[LocalSettings]\nFTPServer=127.0.0.1\nSiteName=Bench\nUserID=" + std::string(kUser) +
              "\nPassword=" + password + "\nOnlineFile=online.htm\nOfflineFile=offline.htm\n"
              "RemoteFile=status.htm\nPort=" + std::to_string(servers.ftpPort) + "\nEnableFTP=1\nWANIPURL=" +
              echo + "\n[Preferences]\nIsLogging=0\nTimeout=10\n");

    const std::vector<std::string> ours{ZELMAR_BINARY, "--once"};
    const std::vector<std::string> curl{"curl", "-s", "-o", "/dev/null", echo, "--next", "-s", "-T", "upload.htm",
                                        "ftp://" + std::string(kUser) + ":" + kPassword + "@127.0.0.1:" +
                                            std::to_string(servers.ftpPort) + "/status.htm"};
    int code = 0;
    // One warm-up each (page cache, first settings write).
    RunMs(ours, site, code, servers.dir + "/warm-up.log");
    if (code != 0) {
        std::fprintf(stderr, "refresh_bench_once: zelmar --once failed (exit %d, see %s/warm-up.log)\n", code,
                     servers.dir.c_str());
        servers.error = "kept for inspection";
        return 2;
    }
    RunMs(curl, site, code, servers.dir + "/warm-up.log");
    if (code != 0) {
        std::fprintf(stderr, "refresh_bench_once: curl failed (exit %d, see %s/warm-up.log)\n", code,
                     servers.dir.c_str());
        servers.error = "kept for inspection";
        return 2;
    }
    std::vector<double> a, b, ratio;
    for (int i = 0; i < runs; ++i) {
        int oursCode = 0, curlCode = 0;
        a.push_back(RunMs(ours, site, oursCode));
        b.push_back(RunMs(curl, site, curlCode));
        if (oursCode != 0 || curlCode != 0) {
            std::fprintf(stderr, "refresh_bench_once: run %d failed (zelmar %d, curl %d)\n", i, oursCode, curlCode);
            return 2;
        }
        ratio.push_back(a.back() / b.back());
    }
    const double r = Median(ratio);
    std::printf("one refresh on loopback, %d runs in turns, median wall time:\n", runs);
    std::printf("  zelmar --once          %8.1f ms  (min %.1f, max %.1f)\n", Median(a),
                *std::min_element(a.begin(), a.end()), *std::max_element(a.begin(), a.end()));
    std::printf("  curl, same 2 requests  %8.1f ms  (min %.1f, max %.1f)\n", Median(b),
                *std::min_element(b.begin(), b.end()), *std::max_element(b.begin(), b.end()));
    std::printf("  ratio (pair by pair)   %8.2f      (limit 1.50)\n", r);
    if (keep) {
        std::printf("servers left running for inspection: http %d, ftp %d; press Enter to stop\n",
                    servers.httpPort, servers.ftpPort);
        std::fflush(stdout);
        std::getchar();
    }
    return r <= 1.5 ? 0 : 1;
}
