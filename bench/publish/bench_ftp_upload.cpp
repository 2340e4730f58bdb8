// Upload speed of the FTP client next to curl -T, both storing the same
// 100 MB file on the same vsftpd over loopback (passive mode). Needs root
// (vsftpd logs on a local user); otherwise the benchmarks report an error.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "app/publish/ftp_client.h"

namespace {

constexpr const char* kUser = "zelmarftp";
constexpr const char* kPassword = "ftp-pw-1";
constexpr std::size_t kFileSize = 100u << 20;

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

// One vsftpd for the whole run, stopped at exit.
struct Server {
    std::string dir, file, error;
    int port = 0;
    pid_t pid = -1;

    Server() {
        if (::geteuid() != 0) {
            error = "needs root for vsftpd's local user";
            return;
        }
        char tmpl[] = "/tmp/zelmar-bench-XXXXXX";
        if (!::mkdtemp(tmpl)) return;
        dir = tmpl;
        ::chmod(dir.c_str(), 0755);
        const std::string user = kUser;
        if (std::system(("id -u " + user + " >/dev/null 2>&1").c_str()) != 0)
            std::system(("useradd -M -d / -s /bin/bash " + user + " >/dev/null 2>&1").c_str());
        std::system(("echo '" + user + ":" + kPassword + "' | chpasswd").c_str());
        const std::string home = dir + "/home", empty = dir + "/empty";
        ::mkdir(home.c_str(), 0755);
        ::mkdir(empty.c_str(), 0755);
        std::system(("chown " + user + " " + home).c_str());
        file = dir + "/page.bin";
        {
            std::ofstream out(file, std::ios::binary);
            std::string block(1 << 20, 'x');
            for (std::size_t i = 0; i < kFileSize / block.size(); ++i) out << block;
        }
        port = FreePort();
        std::ofstream(dir + "/vsftpd.conf")
            << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port
            << "\nbackground=NO\nanonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\nlocal_root=" << home
            << "\nsecure_chroot_dir=" << empty
            << "\npasv_enable=YES\npasv_min_port=29000\npasv_max_port=29100\nseccomp_sandbox=NO\n"
               "isolate=NO\nisolate_network=NO\npam_service_name=vsftpd\n";
        pid = ::fork();
        if (pid == 0) {
            const std::string conf = dir + "/vsftpd.conf";
            ::execl("/usr/sbin/vsftpd", "vsftpd", conf.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 200 && !Listening(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!Listening(port)) error = "vsftpd did not start";
    }
    ~Server() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        if (!dir.empty()) std::system(("rm -rf " + dir).c_str());
    }
};

Server& TheServer() {
    static Server server;
    return server;
}

void BM_FtpClientUpload(benchmark::State& state) {
    Server& s = TheServer();
    if (!s.error.empty()) {
        state.SkipWithError(s.error.c_str());
        return;
    }
    for (auto _ : state) {
        zelmar::FtpClient client(15);
        zelmar::LogonParameters p;
        p.host = "127.0.0.1";
        p.port = s.port;
        p.user = kUser;
        p.password = kPassword;
        if (!client.LogOn(p) || !client.TransferFile("client.bin", s.file, true, false)) {
            state.SkipWithError(("upload failed: " + client.lastReply()).c_str());
            return;
        }
        client.LogOff();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_FtpClientUpload)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_CurlUpload(benchmark::State& state) {
    Server& s = TheServer();
    if (!s.error.empty()) {
        state.SkipWithError(s.error.c_str());
        return;
    }
    const std::string command = "curl -s -S --disable-epsv -T " + s.file + " ftp://" + kUser + ":" + kPassword +
                                "@127.0.0.1:" + std::to_string(s.port) + "/curl.bin";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("curl failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_CurlUpload)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace
