// The text rules of the notification e-mail that need no mail component.
#include "app/notify/notification_email.h"

namespace zelmar {

std::string MailWorkingCopyPath(const std::string& messageFile) {
    const std::size_t sep = messageFile.find_last_of("\\/");
    const std::size_t from = sep == std::string::npos ? 0 : sep;
    const std::size_t dot = messageFile.find('.', from);
    if (dot == std::string::npos || dot == 0) return messageFile + "$";
    return messageFile.substr(0, dot) + "$" + messageFile.substr(dot);
}

std::vector<std::string> SplitRecipients(const std::string& list) {
    std::vector<std::string> pieces;
    std::size_t from = 0;
    while (from <= list.size()) {
        std::size_t semi = list.find(';', from);
        if (semi == std::string::npos) semi = list.size();
        if (semi > from) pieces.push_back(list.substr(from, semi - from));
        from = semi + 1;
    }
    return pieces;
}

bool IsHtmlMessage(const std::string& text) {
    return text.find("<HTML>") != std::string::npos || text.find("<html>") != std::string::npos;
}

}  // namespace zelmar
