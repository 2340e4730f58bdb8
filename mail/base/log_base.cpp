#include "mail/base/log_base.h"

#include <cstring>
#include <string>

namespace zelmar::mail {

LogBase::~LogBase() = default;

void LogBase::getXml(StringBuffer&) {}
void LogBase::getHtml(StringBuffer&) {}
void LogBase::getText(StringBuffer&) {}
bool LogBase::logError(const char*) { return true; }
bool LogBase::logInfo(const char*) { return true; }
bool LogBase::logText(const char*) { return true; }
bool LogBase::clearLog() { return true; }
bool LogBase::enterContext(const char*, int) { return true; }
bool LogBase::leaveContext() { return true; }
bool LogBase::logData(const char*, const char*) { return true; }
bool LogBase::logDataLong(const char*, std::int32_t) { return true; }
bool LogBase::logDataInt64(const char*, std::uint32_t, std::uint32_t) { return true; }
bool LogBase::logDataHex(const char*, std::uint32_t) { return true; }
void LogBase::logTickCount(const char*) {}
bool LogBase::saveXml(const char*) { return true; }

void LogBase::logWindowsError(int code) {
    if (code == 0) return;
    // The message text of the C library stands in for the system message
    // table; the GNU strerror_r may return a static string instead of
    // filling the buffer.
    char buf[256] = {};
    const char* msg = strerror_r(code, buf, sizeof buf);
    std::string_view text = trimView(msg ? std::string_view(msg) : std::string_view());
    logData("WindowsError", std::string(text).c_str());
}

bool LogBase::logDataStr(const char* name, std::string_view value) {
    return logData(name, std::string(value).c_str());
}

bool LogBase::logDataX(const char* name, const XString& value) { return logData(name, value.getAnsi().c_str()); }

bool LogBase::logDataInt64(const char* name, std::int64_t value) {
    auto u = static_cast<std::uint64_t>(value);
    return logDataInt64(name, static_cast<std::uint32_t>(u & 0xFFFFFFFFu), static_cast<std::uint32_t>(u >> 32));
}

LogNull::~LogNull() = default;

}  // namespace zelmar::mail
