// FTP peers for the publishing tests: a real pyftpdlib server (optionally
// playing an FTP firewall) and a scripted fake server for the faults real
// servers do not make. proftpd_peer.h has the proftpd peers.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/core/settings.h"
#include "app/publish/ftp_page_settings.h"
#include "tests/support/peer_process.h"

namespace zelmar::test {

inline constexpr const char* kFtpUser = "zelmar";
inline constexpr const char* kFtpPassword = "s3cret";

// A passive port range that parallel test processes are unlikely to share.
int PassiveRangeBase();

// Points the FTP site (page fields and working copy) at the pyftpdlib user
// on 127.0.0.1:port, with the templates "online.htm" and "offline.htm".
void UseFtpSite(Settings& s, int port, const std::string& remoteFile);

struct PyFtpOptions {
    bool readonly = false;     // STOR refused with 550
    int firewallType = 0;      // 1..8: play that firewall first
    std::string serverText;    // the host text the firewall expects
    std::string fireUser = "fwuser", firePass = "fwpass";
};

class PyFtpServer {
public:
    explicit PyFtpServer(const PyFtpOptions& options = {});
    int port() const { return port_; }
    const std::string& home() const { return home_; }
    // The command lines received so far, in order.
    std::vector<std::string> Commands() const;
    // Commands() once "QUIT" (or the given line) has arrived, bounded wait.
    std::vector<std::string> CommandsAfter(const std::string& last = "QUIT") const;
    bool ok() const { return ok_; }

private:
    ScratchDir dir_;
    std::string home_, commands_;
    int port_ = 0;
    bool ok_ = false;
    std::unique_ptr<ChildProcess> process_;
};

// A scripted FTP server for one connection. Script lines:
//   "S:text"  send text followed by CR LF
//   "R:bytes" send bytes as they are (no line end added)
//   "C:line"  read one command line and expect it (mismatch: record and stop)
//   "C:*"     read one command line, whatever it is
//   "D:n"     accept the passive data connection and read it to the end
//             while reading at most n bytes per second (0: as fast as it comes)
//   "W"       wait (silently) until the client closes the connection
//   "X"       close the connection now
//   "K:n"     accept the data connection, take n bytes, then reset it and
//             close the control connection (a server that dies mid-transfer)
//   "Z:ms"    pause for ms milliseconds, sending nothing
//   "F:text"  send text followed by CR LF over and over until the client
//             closes the connection (at most 20 s): a flooding server
// "P:" sends a 227 reply naming the data listener ("P:-": the same without
// parentheses); "Q" names 192.0.2.10 with the data listener's port.
class FakeFtpServer {
public:
    explicit FakeFtpServer(std::vector<std::string> script);
    ~FakeFtpServer();
    int port() const { return port_; }
    // Waits for the script to end; returns the command lines received and
    // whether every expectation held.
    std::vector<std::string> Received();
    bool matched() const { return matched_; }
    const std::string& dataReceived() const { return data_; }

private:
    void Run();
    int listener_ = -1;
    int dataListener_ = -1;
    int port_ = 0;
    std::vector<std::string> script_;
    std::vector<std::string> received_;
    std::string data_;
    std::atomic<bool> matched_{true};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace zelmar::test
