// What the dynamic-DNS tests share: a reporter that keeps the lines, and a
// snapshot with given addresses.
#pragma once

#include <string>
#include <vector>

#include "app/refresh/delivery_channel.h"

namespace zelmar::test {

class LineReporter : public Reporter {
public:
    void Post(StatusMessage message) override { lines.push_back(message.DisplayText()); }
    MbAnswer ErrorBox(const MessageBoxRequest& request) override { return request.defaultAnswer; }
    bool Closing() const override { return false; }
    std::vector<std::string> lines;
};

// A fixed refresh time, so that retry times can be checked exactly.
inline constexpr std::int64_t kTestNow = 1'800'000'000;

inline RefreshSnapshot SnapshotWith(const std::string& wan, const std::string& wan6 = "") {
    RefreshSnapshot s;
    s.current.wan = wan;
    s.current.wan6 = wan6;
    s.time = std::chrono::system_clock::time_point(std::chrono::seconds(kTestNow));
    return s;
}

}  // namespace zelmar::test
