// The operation log interface of the mail component.
//
// Every internal operation takes a LogBase& as its last argument and tells
// its story there: it opens a named context, records data, errors and
// information lines, and closes the context on every return path. LogBase
// itself records nothing; Logger keeps the tree. LogNull is the log an
// internal call gets when nobody will read what it says.
#pragma once

#include <cstdint>

#include "mail/base/string_buffer.h"
#include "mail/base/x_string.h"

namespace zelmar::mail {

class LogBase {
public:
    virtual ~LogBase();

    // Render slots: clear the buffer, then write the form. No-ops here.
    virtual void getXml(StringBuffer& out);
    virtual void getHtml(StringBuffer& out);
    virtual void getText(StringBuffer& out);

    virtual bool logError(const char* text);
    virtual bool logInfo(const char* text);
    virtual bool logText(const char* text);
    virtual bool clearLog();
    // The flag is kept for the callers that pass it; it changes nothing.
    virtual bool enterContext(const char* name, int flag = 1);
    virtual bool leaveContext();
    virtual bool logData(const char* name, const char* value);
    virtual bool logDataLong(const char* name, std::int32_t value);
    virtual bool logDataInt64(const char* name, std::uint32_t low, std::uint32_t high);
    virtual bool logDataHex(const char* name, std::uint32_t value);
    // Logs the system's message text for an error number under
    // "WindowsError"; the code 0 means no error and logs nothing.
    virtual void logWindowsError(int code);
    virtual void logTickCount(const char* name);
    virtual bool saveXml(const char* path);

    // Convenience forms that forward to the slots above.
    bool logDataStr(const char* name, std::string_view value);
    bool logDataX(const char* name, const XString& value);
    bool logDataInt64(const char* name, std::int64_t value);
};

// A log that keeps nothing.
class LogNull final : public LogBase {
public:
    ~LogNull() override;
};

// Opens a context and closes it when the scope ends, on every return path.
class LogContextGuard {
public:
    LogContextGuard(LogBase& log, const char* name) : log_(log) { log_.enterContext(name, 1); }
    ~LogContextGuard() { log_.leaveContext(); }
    LogContextGuard(const LogContextGuard&) = delete;
    LogContextGuard& operator=(const LogContextGuard&) = delete;

private:
    LogBase& log_;
};

}  // namespace zelmar::mail
