#include "app/core/status_message.h"

#include "app/core/event_log.h"
#include "app/core/messages.h"

namespace zelmar {

StatusMessage StatusMessage::FromLine(const std::string& line) {
    const ClassifiedMessage c = ClassifyMessage(line);
    StatusMessage m;
    m.kind = c.programMessage ? StatusKind::Program
             : c.connectionFailure ? StatusKind::ConnectionFailure
                                   : StatusKind::ServerReply;
    const std::size_t space = line.find(' ');
    if (m.kind == StatusKind::ConnectionFailure || space == std::string::npos) {
        // A line without a space is shown whole; a failure keeps what the
        // client said for the record, though the user sees the failure text.
        m.text = line;
    } else {
        m.code = line.substr(0, space);
        m.text = line.substr(space + 1);
    }
    return m;
}

std::string StatusMessage::DisplayText() const {
    return kind == StatusKind::ConnectionFailure ? std::string(kConnectionFailureText) : text;
}

StatusMessage OnlineNotice() { return Message(Msg::SystemOnline); }

StatusMessage OfflineNotice() { return Message(Msg::SystemOffline); }

bool StatusMessage::IsOnlineNotice() const { return *this == OnlineNotice(); }

}  // namespace zelmar
