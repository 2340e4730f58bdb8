// One full refresh, `zelmar --once`, next to curl making the same requests,
// all on loopback, in turns (ours, curl, ours, curl, ...) in one run, so that
// a drift of the machine's speed hits both alike. Two legs, side by side:
//   echo + FTP:        the echo page from nginx and the page upload to proftpd
//                      (curl: the same two requests);
//   echo + FTP + mail: the same with "EnableMail" 1 and the notification
//                      e-mail to the tests' aiosmtpd peer (curl: the same three
//                      requests, the third `smtp:// --mail-from --mail-rcpt -T`);
//   unchanged tick:    the run a timer makes every few minutes: the page is
//                      uploaded only on a change ("FTPOnIPChangeOnly" 1), and
//                      the address did not change (curl: one GET of the echo
//                      page).
// Prints the median wall time of each and their ratios, and exits 1 when ours
// takes more than 1.5 times curl's in a full refresh, or more than curl's in
// the unchanged tick.
//
// usage: refresh_bench_once [RUNS]   (default 15; needs nginx and proftpd as
// scripts/install-deps.sh installs them, and /usr/bin/python3 with aiosmtpd)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/core/settings.h"
#include "tests/publish/proftpd_peer.h"
#include "tests/support/peer_process.h"
#include "tests/support/smtp_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUser = zelmar::test::ProftpdServer::kUser;
constexpr const char* kPassword = zelmar::test::ProftpdServer::kPassword;

using zelmar::test::FreePort;

bool WaitListening(int port) { return zelmar::test::WaitForPort(port, std::chrono::seconds(5)); }

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Starts argv in dir with its output in log (or discarded); returns the pid.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& dir, const std::string& log = "/dev/null") {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) ::_exit(127);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(out, 1);
        ::dup2(out, 2);
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

// proftpd answers a new session about 0.4 s late while the process of the
// previous one is still ending; a pause before each timed run (not counted)
// keeps that out of both sides' times.
void Settle() { std::this_thread::sleep_for(std::chrono::milliseconds(600)); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// nginx with the echo page, and the tests' proftpd (one virtual user, run
// unprivileged from a temp folder of its own).
struct Servers {
    std::string dir;
    int httpPort = 0, ftpPort = 0;
    std::unique_ptr<zelmar::test::ChildProcess> nginx;
    zelmar::test::ProftpdServer ftp;
    std::string error;

    Servers() {
        char tmpl[] = "/tmp/zelmar-bench-XXXXXX";
        dir = ::mkdtemp(tmpl);
        ::chmod(dir.c_str(), 0755);
        ::mkdir((dir + "/site").c_str(), 0755);
        ::mkdir((dir + "/nginx").c_str(), 0755);

        httpPort = FreePort();
        Write(dir + "/nginx/nginx.conf",
              "daemon off;\npid " + dir + "/nginx/nginx.pid;\nerror_log " + dir + "/nginx/error.log;\n"
              "events {}\nhttp {\n  access_log off;\n  client_body_temp_path " + dir + "/nginx;\n"
              "  server {\n    listen 127.0.0.1:" + std::to_string(httpPort) + ";\n"
              "    location = /echo { return 200 \"REMOTE_ADDR: $remote_addr<br>\"; }\n  }\n}\n");
        nginx = std::make_unique<zelmar::test::ChildProcess>(
            std::vector<std::string>{"nginx", "-e", "stderr", "-p", dir + "/nginx", "-c", dir + "/nginx/nginx.conf"},
            dir + "/nginx/stderr.log", std::map<std::string, std::string>{}, SIGQUIT);
        ftpPort = ftp.port();
        if (!WaitListening(httpPort)) error = "nginx did not start (see " + dir + "/nginx/stderr.log)";
        if (!ftp.ok()) error = "proftpd did not start: " + ftp.reason();
    }
    ~Servers() {
        nginx.reset();
        if (error.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
    const bool keep = std::getenv("ZELMAR_BENCH_KEEP") != nullptr;
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

    // The mail leg: a folder of its own with the same settings plus the
    // notification e-mail (plain text, no login) to the aiosmtpd peer.
    zelmar::test::SmtpPeer smtp;
    if (!smtp.ok()) {
        std::fprintf(stderr, "refresh_bench_once: the aiosmtpd peer did not start: %s\n", smtp.Log().c_str());
        return 2;
    }
    const std::string mailSite = servers.dir + "/mail-site";
    ::mkdir(mailSite.c_str(), 0755);
    const std::string mailText = "Hello,\n\n%H is online again. Its addresses are now:\n\n"
                                 "  Internet (WAN) address: %WI\n  Local (LAN) address: %I\n";
    for (const char* f : {"/online.htm", "/offline.htm", "/upload.htm"}) Write(mailSite + f, page);
    Write(mailSite + "/mail.txt", mailText);
    // curl's copy of the same message: the header the component writes, the
    // body with the values filled in.
    Write(mailSite + "/message.eml",
          "From: zelmar@bench.test\r\nTo: you@bench.test\r\nSubject: Zelmar bench\r\nMIME-Version: 1.0\r\n"
          "Content-Type: text/plain; charset=us-ascii\r\n\r\nHello,\r\n\r\nbench is online again. Its "
          "addresses are now:\r\n\r\n  Internet (WAN) address: 127.0.0.1\r\n  Local (LAN) address: 127.0.0.1\r\n");
    Write(mailSite + "/Zelmar.ini",
          "[LocalSettings]\nFTPServer=127.0.0.1\nSiteName=Bench\nUserID=" + std::string(kUser) +
              "\nPassword=" + password + "\nOnlineFile=online.htm\nOfflineFile=offline.htm\n"
              "RemoteFile=status.htm\nPort=" + std::to_string(servers.ftpPort) + "\nEnableFTP=1\nWANIPURL=" +
              echo + "\n[Preferences]\nIsLogging=0\nTimeout=10\nEnableMail=1\nEmailServer=127.0.0.1\n"
              "EmailServerPort=" + std::to_string(smtp.port()) + "\nEmailFrom=zelmar@bench.test\n"
              "EmailTo=you@bench.test\nEmailSubject=Zelmar bench\nEmailInput=mail.txt\nEnableSMTPAuth=0\n");

    // The timer's tick: the page goes out only when an address changed; the
    // warm-up run delivers it once, every timed run finds nothing changed.
    const std::string tickSite = servers.dir + "/tick-site";
    ::mkdir(tickSite.c_str(), 0755);
    for (const char* f : {"/online.htm", "/offline.htm"}) Write(tickSite + f, page);
    Write(tickSite + "/Zelmar.ini",
          "[LocalSettings]\nFTPServer=127.0.0.1\nSiteName=Bench\nUserID=" + std::string(kUser) +
              "\nPassword=" + password + "\nOnlineFile=online.htm\nOfflineFile=offline.htm\n"
              "RemoteFile=status.htm\nPort=" + std::to_string(servers.ftpPort) + "\nEnableFTP=1\nWANIPURL=" +
              echo + "\n[Preferences]\nIsLogging=0\nTimeout=10\nFTPOnIPChangeOnly=1\n");

    const std::vector<std::string> ours{ZELMAR_BINARY, "--once"};
    const std::vector<std::string> curlEcho{"curl", "-s", "-o", "/dev/null", echo};
    const std::vector<std::string> curl{"curl", "-s", "-o", "/dev/null", echo, "--next", "-s", "-T", "upload.htm",
                                        "ftp://" + std::string(kUser) + ":" + kPassword + "@127.0.0.1:" +
                                            std::to_string(servers.ftpPort) + "/status.htm"};
    std::vector<std::string> curlMail = curl;
    curlMail.insert(curlMail.end(), {"--next", "-s", "--mail-from", "zelmar@bench.test", "--mail-rcpt",
                                     "you@bench.test", "-T", "message.eml",
                                     "smtp://127.0.0.1:" + std::to_string(smtp.port()) + "/bench.test"});
    struct Leg {
        const char* name;
        std::string dir;
        std::vector<std::string> curl;
        int requests;
        double limit;
        std::vector<double> ours, curlMs, ratio;
    };
    Leg legs[] = {{"echo + FTP", site, curl, 2, 1.5, {}, {}, {}},
                  {"echo + FTP + mail", mailSite, curlMail, 3, 1.5, {}, {}, {}},
                  {"unchanged tick", tickSite, curlEcho, 1, 1.0, {}, {}, {}}};
    // One warm-up each (page cache, first settings write).
    for (Leg& leg : legs) {
        for (const std::vector<std::string>* argv : std::initializer_list<const std::vector<std::string>*>{&ours, &leg.curl}) {
            int code = 0;
            RunMs(*argv, leg.dir, code, servers.dir + "/warm-up.log");
            if (code != 0) {
                std::fprintf(stderr, "refresh_bench_once: %s failed in the %s leg (exit %d, see %s/warm-up.log)\n",
                             argv == &ours ? "zelmar --once" : "curl", leg.name, code, servers.dir.c_str());
                servers.error = "kept for inspection";
                return 2;
            }
        }
    }
    // Both warm-ups of the mail leg delivered a message.
    if (smtp.Count() != 2) {
        std::fprintf(stderr, "refresh_bench_once: the SMTP peer received %d messages in the warm-up, not 2\n",
                     smtp.Count());
        return 2;
    }
    for (int i = 0; i < runs; ++i) {
        for (Leg& leg : legs) {
            int oursCode = 0, curlCode = 0;
            Settle();
            leg.ours.push_back(RunMs(ours, leg.dir, oursCode));
            Settle();
            leg.curlMs.push_back(RunMs(leg.curl, leg.dir, curlCode));
            if (oursCode != 0 || curlCode != 0) {
                std::fprintf(stderr, "refresh_bench_once: run %d of the %s leg failed (zelmar %d, curl %d)\n", i,
                             leg.name, oursCode, curlCode);
                return 2;
            }
            leg.ratio.push_back(leg.ours.back() / leg.curlMs.back());
        }
    }
    std::printf("one refresh on loopback, %d runs in turns, median wall time:\n", runs);
    bool within = true;
    for (const Leg& leg : legs) {
        const double r = Median(leg.ratio);
        within = within && r <= leg.limit;
        std::printf("%s:\n", leg.name);
        std::printf("  zelmar --once          %8.1f ms  (min %.1f, max %.1f)\n", Median(leg.ours),
                    *std::min_element(leg.ours.begin(), leg.ours.end()),
                    *std::max_element(leg.ours.begin(), leg.ours.end()));
        std::printf("  curl, same %d request%s %8.1f ms  (min %.1f, max %.1f)\n", leg.requests,
                    leg.requests == 1 ? " " : "s", Median(leg.curlMs),
                    *std::min_element(leg.curlMs.begin(), leg.curlMs.end()),
                    *std::max_element(leg.curlMs.begin(), leg.curlMs.end()));
        std::printf("  ratio (pair by pair)   %8.2f      (limit %.2f)\n", r, leg.limit);
    }
    if (keep) {
        std::printf("servers left running for inspection: http %d, ftp %d, smtp %d; press Enter to stop\n",
                    servers.httpPort, servers.ftpPort, smtp.port());
        std::fflush(stdout);
        std::getchar();
    }
    return within ? 0 : 1;
}
