// Shared pieces of the SMTP session tests: a self-signed certificate, the
// log as text, and sample messages.
#pragma once

#include <cstdlib>
#include <string>

#include "mail/base/logger.h"
#include "mail/smtp/smtp_conn_impl.h"
#include "tests/support/peer_process.h"
#include "tests/support/smtp_peer.h"

namespace zelmar::test {

inline std::string LogText(mail::Logger& log) {
    mail::StringBuffer text;
    log.getText(text);
    return text.str();
}

// A message whose body has a line starting with "." and, when big, enough
// text for several TLS records.
inline mail::RenderedMessage SampleMessage(int n, std::size_t bodyBytes = 0) {
    mail::RenderedMessage m;
    m.to = {"alice@example.test"};
    m.cc = {"bob@example.test"};
    m.bcc = {"carol@example.test"};
    m.subjectText = "Test " + std::to_string(n);
    std::string body = "Hello " + std::to_string(n) + "\r\n.leading dot\r\n..two dots\r\n.\r\nend";
    for (std::size_t i = 0; body.size() < bodyBytes; ++i)
        body += "\r\nline " + std::to_string(i) + " " + std::string(60, 'x');
    m.mime = "From: sender@example.test\r\nTo: alice@example.test\r\nSubject: " + m.subjectText +
             "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + body + "\r\n";
    return m;
}

}  // namespace zelmar::test
