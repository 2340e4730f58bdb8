// The operation log that keeps its story: a tree of contexts and entries.
//
// ErrorLog is the tree with its stack of open contexts (element 0 is the
// root, named "MailLog"; the last element is the current context). Logger
// wraps one ErrorLog in a mutex so that a facade object's log stays whole
// when it is read from another thread.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "mail/base/component_object.h"
#include "mail/base/ext_ptr_array.h"
#include "mail/base/log_base.h"
#include "mail/base/string_buffer.h"

namespace zelmar::mail {

class LogEntry2 : public ComponentObject {
public:
    static constexpr char kContext = 'C';
    static constexpr char kData = 'T';
    static constexpr char kError = 'E';
    static constexpr char kInfo = 'I';
    static constexpr char kText = 'X';

    // A fresh entry is an information entry with no content.
    LogEntry2() = default;

    static std::unique_ptr<LogEntry2> makeContext(std::string_view name);
    static std::unique_ptr<LogEntry2> makeData(std::string_view name, std::string_view value);
    static std::unique_ptr<LogEntry2> makeText(char kind, std::string_view text);

    // Setting the content replaces whatever the entry held before.
    void setContext(std::string_view name);
    void setData(std::string_view name, std::string_view value);
    void setText(char kind, std::string_view text);

    char kind() const { return kind_; }
    const StringBuffer* name() const { return name_.get(); }
    const StringBuffer* value() const { return value_.get(); }
    ExtPtrArray<LogEntry2>* children() const { return children_.get(); }

    void renderXml(std::string& out) const;
    void renderHtml(std::string& out) const;
    void renderText(std::string& out, int level) const;

private:
    std::unique_ptr<ExtPtrArray<LogEntry2>> children_;
    char kind_ = kInfo;
    std::unique_ptr<StringBuffer> name_;
    std::unique_ptr<StringBuffer> value_;
};

class ErrorLog {
public:
    static constexpr const char* kRootName = "MailLog";

    ErrorLog();

    void clear();
    void enterContext(std::string_view name);
    void leaveContext();
    void append(std::unique_ptr<LogEntry2> entry);
    std::size_t depth() const { return stack_.size(); }
    const LogEntry2& root() const { return *root_; }

    void renderXml(std::string& out) const { root_->renderXml(out); }
    void renderHtml(std::string& out) const { root_->renderHtml(out); }
    void renderText(std::string& out) const { root_->renderText(out, 0); }

private:
    std::unique_ptr<LogEntry2> root_;
    std::vector<LogEntry2*> stack_;  // non-owning: the tree owns the entries
};

// Trims space, tab, CR and LF at both ends and turns inner spaces into "_",
// so that names are usable as XML element names.
std::string normalizeLogName(const char* name);

// The CDATA rule of the XML form, exposed for tests.
void appendXmlWrapped(std::string& out, std::string_view text);

class Logger : public LogBase {
public:
    Logger() = default;
    ~Logger() override;

    void getXml(StringBuffer& out) override;
    void getHtml(StringBuffer& out) override;
    void getText(StringBuffer& out) override;
    bool logError(const char* text) override;
    bool logInfo(const char* text) override;
    bool logText(const char* text) override;
    bool clearLog() override;
    bool enterContext(const char* name, int flag = 1) override;
    bool leaveContext() override;
    bool logData(const char* name, const char* value) override;
    bool logDataLong(const char* name, std::int32_t value) override;
    bool logDataInt64(const char* name, std::uint32_t low, std::uint32_t high) override;
    bool logDataHex(const char* name, std::uint32_t value) override;
    void logTickCount(const char* name) override;
    bool saveXml(const char* path) override;
    using LogBase::logDataInt64;

    // Open contexts including the root; for tests and assertions.
    std::size_t contextDepth();

private:
    bool appendText(char kind, const char* text);
    bool appendData(const char* name, std::string_view value);

    std::mutex mutex_;
    ErrorLog log_;
};

}  // namespace zelmar::mail
