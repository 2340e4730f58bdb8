// Flags shared between the main loop and the publication worker.
//
// Each is written by one side at a time, but the other side may read it at
// any moment, so every one of them is an atomic: a plain variable would be a
// data race. No address and no refresh's control data is kept here: what
// started a refresh, its firewall choice and the watched programs' change
// travel by value in its RefreshStart (app/core/refresh_start.h), the
// addresses from the lookups in its snapshot to the channels, and to the main
// loop with the refresh's end.
#pragma once

#include <atomic>
#include <string>

namespace zelmar {

struct SharedState {
    std::atomic<int> TransferInProgress{0};
    std::atomic<int> OnlineState{0};
    std::atomic<int> ExitAnyway{0};
};

// One row of the program status table.
struct ProgramStatusEntry {
    int index = 0;
    std::string tag;          // "%P" followed by the index
    std::string windowTitle;  // the watched program's window title
    std::string statusWord;   // e.g. "RUNNING" or "NOT RUNNING"
};

}  // namespace zelmar
