// How one network delivery ended, the same for an FTP upload and an SMTP
// send: whether it worked, the server's code ("530", "550"; empty when no
// server answered), the step that was being done ("login", "CWD", "upload",
// "send") and the server's last reply line, bounded and without line breaks.
// The caller turns it into its status lines and records.
#pragma once

#include <string>

namespace zelmar {

struct TransferResult {
    bool ok = false;
    std::string code;
    std::string step;
    std::string serverReply;
};

// A reply line as a result keeps it: at most 256 bytes, line breaks as blanks.
inline std::string BoundedReply(std::string reply) {
    if (reply.size() > 256) reply.resize(256);
    for (char& c : reply)
        if (c == '\r' || c == '\n') c = ' ';
    return reply;
}

}  // namespace zelmar
