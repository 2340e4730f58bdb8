// A scripted TCP server on 127.0.0.1 for one connection, for the faults and
// timings a real server will not produce on demand. Steps run in order:
//   Send(bytes)        send the bytes as they are
//   Pause(ms)          wait, sending nothing
//   Flood(line, ms)    send line over and over for up to ms, or until the
//                      client closes the connection
//   Close()            close the connection now
//   Drain()            read (and keep) what the client sends until it closes
// After the last step the server waits (reading) until the client closes,
// at most a few seconds.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace zelmar::test {

struct Step {
    enum Kind { Send, Pause, Flood, Close, Drain } kind;
    std::string bytes;
    int ms = 0;
};

inline Step Send(std::string bytes) { return {Step::Send, std::move(bytes), 0}; }
inline Step Pause(int ms) { return {Step::Pause, "", ms}; }
inline Step Flood(std::string line, int ms) { return {Step::Flood, std::move(line), ms}; }
inline Step Close() { return {Step::Close, "", 0}; }
inline Step Drain() { return {Step::Drain, "", 0}; }

class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<Step> script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    // Waits for the script to end; what the client sent.
    std::string Received();

private:
    void Run();
    int listener_ = -1;
    int port_ = 0;
    std::vector<Step> script_;
    std::string received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace zelmar::test
