// A status message read from its line form keeps its kind and code, shows
// the text the event log's display rules give, and gives back the same line.
#include <gtest/gtest.h>

#include "app/core/event_log.h"
#include "app/core/status_message.h"

using namespace zelmar;

namespace {

struct Case {
    const char* line;
    StatusKind kind;
    const char* code;
    const char* display;
};

const Case kCases[] = {
    {"P10004 Attempting to connect to FTP Server...", StatusKind::Program, "P10004",
     "Attempting to connect to FTP Server..."},
    {"P Email not sent; see SMTPErrors.xml for details", StatusKind::Program, "P",
     "Email not sent; see SMTPErrors.xml for details"},
    {"P10001", StatusKind::Program, "", "P10001"},
    {"P10005 System Online:   ", StatusKind::Program, "P10005", "System Online:   "},
    {"530 Login incorrect.", StatusKind::ServerReply, "530", "Login incorrect."},
    {"226 Transfer complete.", StatusKind::ServerReply, "226", "Transfer complete."},
    {"", StatusKind::ConnectionFailure, "", kConnectionFailureText},
    {"Connection refused", StatusKind::ConnectionFailure, "", kConnectionFailureText},
    {"000 nothing", StatusKind::ConnectionFailure, "", kConnectionFailureText},
};

TEST(StatusMessage, LineFormReadOnceKeepsKindCodeAndDisplay) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.line);
        const StatusMessage m = StatusMessage::FromLine(c.line);
        EXPECT_EQ(m.kind, c.kind);
        EXPECT_EQ(m.code, c.code);
        EXPECT_EQ(m.DisplayText(), c.display);
        EXPECT_EQ(m.Line(), c.line);
        // The display agrees with the classification the log's rules give.
        EXPECT_EQ(m.DisplayText(), ClassifyMessage(c.line).displayText);
    }
}

TEST(StatusMessage, OnlyTheExactOnlineNoticeIsTheOnlineNotice) {
    EXPECT_TRUE(StatusMessage::FromLine(kOnlineNotice).IsOnlineNotice());
    EXPECT_EQ(OnlineNotice().Line(), kOnlineNotice);
    EXPECT_FALSE(StatusMessage::FromLine("P10005 System Online:  ").IsOnlineNotice());
    EXPECT_FALSE(StatusMessage::FromLine("530 System Online:   ").IsOnlineNotice());
}

}  // namespace
