#include "tests/net/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace zelmar::test {

namespace {

using Clock = std::chrono::steady_clock;

bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

}  // namespace

ScriptedServer::ScriptedServer(std::vector<Step> script) : script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener_ >= 0 && ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::listen(listener_, 4) == 0 && ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
}

std::string ScriptedServer::Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
}

void ScriptedServer::Run() {
    if (port_ == 0 || !Readable(listener_, 10000)) return;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    auto readSome = [&](int ms) {
        if (!Readable(fd, ms)) return true;  // nothing yet; still open
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        received_.append(buf, static_cast<std::size_t>(n));
        return true;
    };
    bool open = true;
    for (const Step& step : script_) {
        if (stop_ || !open) break;
        switch (step.kind) {
            case Step::Send:
                if (::send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) < 0) open = false;
                break;
            case Step::Pause: {
                const auto until = Clock::now() + std::chrono::milliseconds(step.ms);
                // Ends early when the client closes (no reason to hold on).
                while (!stop_ && open && Clock::now() < until) {
                    char probe;
                    if (Readable(fd, 5) && ::recv(fd, &probe, 1, MSG_PEEK) <= 0) open = false;
                }
                break;
            }
            case Step::Flood: {
                // Many lines per send, so that the client always has data.
                std::string block;
                while (block.size() < 16384) block += step.bytes;
                const auto until = Clock::now() + std::chrono::milliseconds(step.ms);
                while (!stop_ && open && Clock::now() < until) {
                    pollfd p{fd, POLLOUT, 0};
                    if (::poll(&p, 1, 50) <= 0) continue;
                    if (p.revents & (POLLERR | POLLHUP)) open = false;
                    else if (::send(fd, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
                             errno != EAGAIN && errno != EWOULDBLOCK)
                        open = false;
                }
                break;
            }
            case Step::Close:
                open = false;
                break;
            case Step::Drain:
                for (int round = 0; round < 1000 && !stop_ && open; ++round) open = readSome(10);
                break;
        }
    }
    for (int round = 0; round < 500 && !stop_ && open; ++round) open = readSome(10);
    ::close(fd);
}

}  // namespace zelmar::test
