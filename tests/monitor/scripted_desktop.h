// A desktop whose windows a test opens and closes, for the parts of the
// program that ask whether a watched program's window exists.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "app/monitor/desktop_windows.h"

namespace zelmar::test {

class ScriptedDesktop : public DesktopWindows {
public:
    bool Available() const override { return true; }
    std::vector<TopLevelWindow> TopLevelWindows() override { return windows; }
    void Open(const std::string& title) { windows.push_back({title, true, false, false, false}); }
    void Close(const std::string& title) {
        windows.erase(std::remove_if(windows.begin(), windows.end(),
                                     [&](const TopLevelWindow& w) { return w.title == title; }),
                      windows.end());
    }
    std::vector<TopLevelWindow> windows;
};

}  // namespace zelmar::test
