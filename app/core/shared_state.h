// Flags and texts shared between the main loop and the publication worker.
//
// Each is written by one side at a time, but the other side may read it at
// any moment, so every one of them is an atomic or a mutex-guarded text: a
// plain variable would be a data race.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <utility>

#include "app/core/status_message.h"

namespace zelmar {

// A text that one thread writes and another reads.
class SharedText {
public:
    SharedText() = default;
    explicit SharedText(std::string initial) : value_(std::move(initial)) {}
    std::string get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }
    void set(std::string v) {
        std::lock_guard<std::mutex> lock(mutex_);
        value_ = std::move(v);
    }
    SharedText& operator=(std::string v) {
        set(std::move(v));
        return *this;
    }
    operator std::string() const { return get(); }

private:
    mutable std::mutex mutex_;
    std::string value_;
};

// The last status message: one worker writes it right before the blocking
// send, the main loop reads it. Assigning a line reads it once into a value.
class SharedMessage {
public:
    StatusMessage message() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }
    // The message form of the last message.
    std::string get() const { return message().Line(); }
    void set(StatusMessage m) {
        std::lock_guard<std::mutex> lock(mutex_);
        value_ = std::move(m);
    }
    SharedMessage& operator=(StatusMessage m) {
        set(std::move(m));
        return *this;
    }
    SharedMessage& operator=(const std::string& line) {
        set(StatusMessage::FromLine(line));
        return *this;
    }

private:
    mutable std::mutex mutex_;
    StatusMessage value_;
};

struct SharedState {
    std::atomic<int> TransferInProgress{0};
    std::atomic<int> OnlineState{0};
    std::atomic<int> ManualRefresh{0};
    std::atomic<int> StartupForce{0};
    std::atomic<int> ProgramStatusChanged{0};
    std::atomic<int> ExitAnyway{0};
    // Copy of "UseProxy" taken when a refresh is let through; it chooses the
    // FTP logon type of that refresh's upload.
    std::atomic<int> UseProxySnapshot{0};

    SharedMessage CurrentMessage;
    SharedText StatusWord{"Offline"};
    SharedText CurrentLanAddress;
    SharedText LastLanAddress;
    SharedText CurrentWanAddress;
    SharedText LastWanAddress;
    // The IPv6 addresses of the last refresh; empty when none is known.
    SharedText CurrentLan6Address;
    SharedText CurrentWan6Address;
    SharedText WanSourceLabel;
};

// An address as the pages, mails and notices show it: "N/A" when not known.
inline std::string AddressOrNa(const std::string& address) { return address.empty() ? "N/A" : address; }

// One row of the program status table.
struct ProgramStatusEntry {
    int index = 0;
    std::string tag;          // "%P" followed by the index
    std::string windowTitle;  // the watched program's window title
    std::string statusWord;   // e.g. "RUNNING" or "NOT RUNNING"
};

}  // namespace zelmar
