// Helpers for tests that talk to real peer servers on loopback: free ports,
// scratch folders, and child processes that are stopped when the test ends.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zelmar::test {

// A TCP port on 127.0.0.1 that was free a moment ago (the kernel picked it).
int FreePort();

// True once something accepts connections on 127.0.0.1:port.
bool WaitForPort(int port, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// True once nothing accepts connections on 127.0.0.1:port any more.
bool WaitForPortClosed(int port, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A TCP listener on 127.0.0.1 that never accepts and never answers: the
// kernel completes the connections, and a client then waits for a greeting
// that never comes (a stalled server).
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A fresh folder under the temp folder, removed with its content on
// destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A child process; stdout and stderr go to logFile (or are discarded).
// The destructor sends stopSignal, waits up to three seconds, then kills.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& logFile = "",
                 const std::map<std::string, std::string>& extraEnv = {}, int stopSignal = 15);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Stops the process; returns its exit status as waitpid reports it.
    int Stop();
    // Waits for the process to end by itself; -1 on time-out.
    int Wait(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    int stopSignal_;
    int status_ = -1;
};

// An address-echo page on loopback answering "REMOTE_ADDR: <address><br>" to
// every GET; url() is what "WANIPURL" takes.
class EchoPage {
public:
    explicit EchoPage(const std::string& address = "127.0.0.1");
    bool ok() const { return ok_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    int port_;
    ChildProcess server_;
    bool ok_;
};

// Whole content of a file ("" when missing).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// Python with the Debian modules (pyftpdlib, aiosmtpd): the system one, not a
// python3 that happens to come first on PATH.
inline constexpr const char* kSystemPython = "/usr/bin/python3";

}  // namespace zelmar::test
