// The event log: how a status message is classified and displayed, and the
// log file with its time-stamped lines and the purge of old lines.
#pragma once

#include "app/core/messages.h"

#include <chrono>
#include <ctime>
#include <optional>
#include <string>

namespace zelmar {

class Host;

// "%m/%d/%y %H:%M:%S" in local time followed by two spaces: the form of the
// log's time stamps and of the Status page's time displays.
std::string TimeDisplay(std::chrono::system_clock::time_point t);
// A moment in local time as strftime's format writes it (up to 31 bytes).
std::string LocalTimeText(std::time_t when, const char* format);

// What the user sees of a status message: a program message ("P" code) or a
// server's numbered reply loses its code; anything else is a connection failure.
struct ClassifiedMessage {
    bool programMessage = false;
    bool connectionFailure = false;
    std::string displayText;
};
ClassifiedMessage ClassifyMessage(const std::string& message);

inline constexpr const char* kOnlineNotice = "P10005 System Online:   ";
inline constexpr const char* kConnectionFailureText = MessageText(Msg::ConnectionFailure);
inline constexpr const char* kLogErrorText = MessageText(Msg::LogError);

// Day number of a calendar date (the astronomical formula the purge uses).
long DayNumber(int year, int month, int day);

// Day number of a log line's "mm/dd/yy" prefix, when it is a valid date of
// the years 2000 to 2099.
std::optional<long> LineDayNumber(const std::string& line);

struct LogSettings {
    int IsLogging = 0;
    std::string LogFilename;
    int MaxLog = 0;
};

// Appends one time-stamped line for text, after purging old lines when due.
// Returns false when a write or rename failed (the caller then shows
// kLogErrorText); an unopenable file loses the line silently (true).
bool EventLogWrite(const std::string& text, const LogSettings& settings, Host& host);

// Drops lines older than MaxLog days when the first dated line is too old.
// Returns false when a write or rename failed; the log then keeps its lines.
bool PurgeLog(const LogSettings& settings, Host& host);

}  // namespace zelmar
