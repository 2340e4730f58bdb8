#include "tests/publish/ftp_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zelmar::test {

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

int ListenLoopback(int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int PortOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

int AcceptWithin(int listener, int ms) {
    if (!Readable(listener, ms)) return -1;
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

}  // namespace

int PassiveRangeBase() { return 20000 + static_cast<int>(::getpid() % 400) * 25; }

// ---------------------------------------------------------------- pyftpdlib

PyFtpServer::PyFtpServer(const PyFtpOptions& o) {
    home_ = dir_ / "home";
    commands_ = dir_ / "commands.txt";
    ::mkdir(home_.c_str(), 0755);
    WriteFile(commands_, "");
    port_ = FreePort();
    const int base = PassiveRangeBase();
    std::vector<std::string> argv = {kSystemPython,
                                     std::string(ZELMAR_PUBLISH_TEST_DIR) + "/ftp_server.py",
                                     "--port", std::to_string(port_),
                                     "--user", kFtpUser,
                                     "--password", kFtpPassword,
                                     "--home", home_,
                                     "--pasv-low", std::to_string(base),
                                     "--pasv-high", std::to_string(base + 24),
                                     "--commands", commands_};
    if (o.readonly) argv.push_back("--readonly");
    if (o.firewallType != 0) {
        for (const std::string& a : {std::string("--firewall"), std::to_string(o.firewallType),
                                     std::string("--server-text"), o.serverText, std::string("--fire-user"),
                                     o.fireUser, std::string("--fire-pass"), o.firePass})
            argv.push_back(a);
    }
    process_ = std::make_unique<ChildProcess>(argv, dir_ / "server.log");
    ok_ = WaitForPort(port_);
}

std::vector<std::string> PyFtpServer::Commands() const { return Lines(ReadFile(commands_)); }

std::vector<std::string> PyFtpServer::CommandsAfter(const std::string& last) const {
    for (int i = 0; i < 200; ++i) {
        auto lines = Commands();
        if (!lines.empty() && lines.back() == last) return lines;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return Commands();
}

// ---------------------------------------------------------------- scripted fake

FakeFtpServer::FakeFtpServer(std::vector<std::string> script) : script_(std::move(script)) {
    listener_ = ListenLoopback();
    // A small receive buffer on the data side makes the client's sends come
    // back short while the server reads slowly.
    dataListener_ = ListenLoopback(4096);
    port_ = PortOf(listener_);
    thread_ = std::thread([this] { Run(); });
}

FakeFtpServer::~FakeFtpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
    if (dataListener_ >= 0) ::close(dataListener_);
}

std::vector<std::string> FakeFtpServer::Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
}

void FakeFtpServer::Run() {
    const int fd = AcceptWithin(listener_, 10000);
    if (fd < 0) {
        matched_ = false;
        return;
    }
    std::string pending;
    auto sendText = [&](const std::string& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); };
    auto readLine = [&](std::string& line) {
        for (int round = 0; round < 1000; ++round) {
            const auto lf = pending.find('\n');
            if (lf != std::string::npos) {
                line = pending.substr(0, lf);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                pending.erase(0, lf + 1);
                return true;
            }
            if (stop_ || !Readable(fd, 10000)) return false;
            char buf[512];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return false;
            pending.append(buf, static_cast<std::size_t>(n));
        }
        return false;
    };
    auto readData = [&](int data, int perRead) {
        char buf[65536];
        const std::size_t chunk = perRead > 0 ? static_cast<std::size_t>(perRead) : sizeof buf;
        for (int round = 0; round < 10000000 && !stop_; ++round) {
            if (!Readable(data, 10000)) break;
            const ssize_t n = ::recv(data, buf, chunk, 0);
            if (n <= 0) break;
            data_.append(buf, static_cast<std::size_t>(n));
            if (perRead > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    };

    for (const std::string& step : script_) {
        if (stop_) break;
        const std::string arg = step.size() > 2 ? step.substr(2) : "";
        if (step.rfind("S:", 0) == 0) {
            sendText(arg + "\r\n");
        } else if (step.rfind("R:", 0) == 0) {
            sendText(arg);
        } else if (step.rfind("C:", 0) == 0) {
            std::string line;
            if (!readLine(line)) {
                matched_ = false;
                break;
            }
            received_.push_back(line);
            const bool prefix = !arg.empty() && arg.back() == '*';
            const bool ok = prefix ? line.rfind(arg.substr(0, arg.size() - 1), 0) == 0 : line == arg;
            if (!ok) {
                matched_ = false;
                break;
            }
        } else if (step.rfind("P:", 0) == 0) {
            const int p = PortOf(dataListener_);
            const std::string numbers =
                "127,0,0,1," + std::to_string(p / 256) + "," + std::to_string(p % 256);
            sendText(arg == "-" ? "227 Entering Passive Mode " + numbers + "\r\n"
                                : "227 Entering Passive Mode (" + numbers + ")\r\n");
        } else if (step == "Q") {
            // A server behind NAT naming an address the client cannot reach.
            const int p = PortOf(dataListener_);
            sendText("227 Entering Passive Mode (192,0,2,10," + std::to_string(p / 256) + "," +
                     std::to_string(p % 256) + ")\r\n");
        } else if (step.rfind("K:", 0) == 0) {
            // Take the first n bytes, then drop both connections.
            const int data = AcceptWithin(dataListener_, 10000);
            if (data >= 0) {
                const std::size_t want = static_cast<std::size_t>(std::atol(arg.c_str()));
                char buf[4096];
                while (data_.size() < want && Readable(data, 10000)) {
                    const ssize_t n = ::recv(data, buf, std::min(sizeof buf, want - data_.size()), 0);
                    if (n <= 0) break;
                    data_.append(buf, static_cast<std::size_t>(n));
                }
                const linger reset{1, 0};
                ::setsockopt(data, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                ::close(data);
            }
            break;
        } else if (step.rfind("D:", 0) == 0) {
            const int data = AcceptWithin(dataListener_, 10000);
            if (data < 0) {
                matched_ = false;
                break;
            }
            readData(data, std::atoi(arg.c_str()));
            ::close(data);
        } else if (step == "H") {
            // Accept the data connection and never read it; hold it until the
            // client gives up.
            const int data = AcceptWithin(dataListener_, 10000);
            if (data >= 0) {
                char buf[16];
                for (int round = 0; round < 100 && !stop_; ++round) {
                    pollfd p{fd, POLLIN, 0};
                    if (::poll(&p, 1, 100) > 0) {
                        if (::recv(fd, buf, sizeof buf, MSG_PEEK) <= 0) break;
                    }
                }
                ::close(data);
            }
        } else if (step == "W") {
            char buf[512];
            for (int round = 0; round < 200 && !stop_; ++round) {
                if (!Readable(fd, 100)) continue;
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                std::string extra(buf, static_cast<std::size_t>(n));
                received_.push_back(extra);
            }
        } else if (step == "X") {
            break;
        } else if (step.rfind("Z:", 0) == 0) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(arg.c_str()));
            while (!stop_ && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } else if (step.rfind("F:", 0) == 0) {
            std::string block;
            while (block.size() < 16384) block += arg + "\r\n";
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!stop_ && std::chrono::steady_clock::now() < until) {
                pollfd p{fd, POLLOUT, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                if (p.revents & (POLLERR | POLLHUP)) break;
                if (::send(fd, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN &&
                    errno != EWOULDBLOCK)
                    break;
            }
        }
    }
    ::close(fd);
}

void UseFtpSite(Settings& s, int port, const std::string& remoteFile) {
    FtpPageOf(s).EnableFTP = 1;
    FtpPageOf(s).ftpPage.FTPServer = "127.0.0.1";
    FtpPageOf(s).ftpPage.Port = std::to_string(port);
    FtpPageOf(s).ftpPage.UserID = kFtpUser;
    FtpPageOf(s).ftpPage.Password = kFtpPassword;
    FtpPageOf(s).ftpPage.SiteName = "site";
    FtpPageOf(s).ftpPage.OnlineFile = "online.htm";
    FtpPageOf(s).ftpPage.OfflineFile = "offline.htm";
    FtpPageOf(s).ftpPage.RemoteFile = remoteFile;
    CopyFtpPageToWorking(s);
}

}  // namespace zelmar::test
