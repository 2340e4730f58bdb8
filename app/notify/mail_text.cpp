// The text rules of the notification e-mail that need no mail component.
#include "app/notify/notification_email.h"

#include <unistd.h>

#include <mutex>
#include <set>
#include "net/default_timeout.h"

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

std::string MailTextLineBreaks(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out.push_back('\r');
        out.push_back(text[i]);
    }
    return out;
}

int MailSendDeadlineSeconds(int timeoutSeconds) {
    const int t = TimeoutOrDefault(timeoutSeconds);
    // Connect, greeting and hello, TLS, login: four waits; the transaction
    // another four. Recipients beyond that share the same bound.
    return 8 * t;
}

namespace {
std::mutex g_copiesMutex;
std::set<std::string>& Copies() {
    static std::set<std::string>* copies = new std::set<std::string>;  // outlives static destruction
    return *copies;
}
}  // namespace

void RegisterWorkingCopy(const std::string& path) {
    std::lock_guard lock(g_copiesMutex);
    Copies().insert(path);
}

void ForgetWorkingCopy(const std::string& path) {
    std::lock_guard lock(g_copiesMutex);
    Copies().erase(path);
}

void RemoveWorkingCopies() {
    // A worker stopped in the middle of a send may hold the lock for good:
    // the exit does not wait for it.
    std::unique_lock lock(g_copiesMutex, std::try_to_lock);
    if (!lock.owns_lock()) return;
    for (const std::string& path : Copies()) ::unlink(path.c_str());
    Copies().clear();
}

bool IsHtmlMessage(const std::string& text) {
    return text.find("<HTML>") != std::string::npos || text.find("<html>") != std::string::npos;
}

}  // namespace zelmar
