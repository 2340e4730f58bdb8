// Shared by the message tests: a deterministic Date, Message-ID and
// boundary, and the program's way of building its notification e-mail
// (attachment, body, subject, recipients, From, with the facade's charset
// steps), then the send copy rendered as the session sends it.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mail/base/log_base.h"
#include "mail/mime/charset.h"
#include "mail/mime/email2.h"

namespace zelmar::mail::testing {

class DeterministicSeam {
public:
    DeterministicSeam() {
        seam_.date = [] { return std::string("Sun, 06 Dec 2026 13:46:29 +0100"); };
        seam_.identifier = [this] {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%08x-abcd-ef01-2345-6789abcdef%02x", 0x1000u + counter_, counter_ & 0xFF);
            ++counter_;
            return std::string(buf);
        };
        seam_.hostName = "host.test";
        setEmail2Seam(&seam_);
    }
    ~DeterministicSeam() { setEmail2Seam(nullptr); }
    DeterministicSeam(const DeterministicSeam&) = delete;
    DeterministicSeam& operator=(const DeterministicSeam&) = delete;

private:
    Email2Seam seam_;
    unsigned counter_ = 0;
};

struct MessageSpec {
    std::string subject;
    std::string body;
    bool html = false;
    std::vector<std::pair<std::string, std::string>> to;   // name, address
    std::vector<std::pair<std::string, std::string>> bcc;
    std::string from;
    std::string attachName;  // empty: no attachment
    std::string attachBytes;
};

inline void chooseIfNone(Email2& m, std::string_view text, bool onlyIf8Bit) {
    if (m.getCharset().isSet() || text.empty()) return;
    if (onlyIf8Bit && isAll7Bit(text)) return;
    Charset cs;
    chooseCharsetUtf8(text, cs);
    m.setCharset(cs);
}

// The facade calls of the notification e-mail, in the program's order.
inline std::unique_ptr<Email2> buildMessage(const MessageSpec& s) {
    auto m = std::make_unique<Email2>();
    if (!s.attachName.empty()) m->addDataAttachment(s.attachName, "", s.attachBytes);
    if (s.html) {
        const bool declared = !getHtmlMetaCharset(s.body).empty();
        m->setHtmlBody(s.body);
        if (!declared) chooseIfNone(*m, s.body, false);
    } else {
        chooseIfNone(*m, s.body, false);
        if (m->getContentType().equalsIgnoreCase("text/html")) {
            const Charset keep = m->getCharset();
            m->setContentType("text/plain", m->getName().view(), m->getProtocol().view(), m->getMicalg().view(),
                              &keep, m->getBoundary().view(), m->getSmimeType().view(), m->getTypeParam().view());
        }
        m->setTextBody(s.body, false);
    }
    chooseIfNone(*m, s.subject, false);
    m->setHeaderField("Subject", s.subject);
    for (const auto& [name, addr] : s.to) {
        chooseIfNone(*m, name, true);
        m->addTo(name, addr);
    }
    for (const auto& [name, addr] : s.bcc) m->addBcc(name, addr);
    chooseIfNone(*m, s.from, true);
    m->setFrom(s.from);
    return m;
}

// What the session writes after DATA: the send copy with a fresh
// Message-ID, rendered without the internal fields.
inline std::string renderForSend(Email2& m) {
    LogNull log;
    auto copy = m.makeSendCopy(nullptr, log);
    if (!copy) return "<no copy>";
    copy->newMessageId();
    std::string out;
    copy->renderMime(out, "ZMX-", log);
    return out;
}

}  // namespace zelmar::mail::testing
