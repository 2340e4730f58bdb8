// Transfer encodings of the mail component: base64, quoted-printable, the
// Q and B encoded words of header text, and hexadecimal.
//
// The encoders append to the output they are given; they never fail. The
// decoders accept whatever a mail server hands over and decode as much as
// makes sense, skipping what does not belong.
#pragma once

#include <string>
#include <string_view>

#include "mail/base/log_base.h"
#include "mail/base/string_buffer.h"

namespace zelmar::mail {

class ContentCoding {
public:
    static constexpr int kDefaultLineLength = 72;
    static constexpr int kMinLineLength = 10;

    int getLineLength() const { return lineLength_; }
    // Shorter lines than 10 characters would leave no room for an escape
    // and its soft break, so the setter never goes below that.
    void setLineLength(int n) { lineLength_ = n < kMinLineLength ? kMinLineLength : n; }

    // Base64 in lines of the line length, CRLF after each line and after
    // the last one; empty input writes nothing.
    void encodeBase64Body(std::string_view bytes, std::string& out) const;
    void encodeBase64Body(std::string_view bytes, StringBuffer& out) const { encodeBase64Body(bytes, out.raw()); }
    // The body form of quoted-printable, soft breaks at the line length.
    void encodeQuotedPrintable(std::string_view bytes, std::string& out) const;
    void encodeQuotedPrintable(std::string_view bytes, StringBuffer& out) const {
        encodeQuotedPrintable(bytes, out.raw());
    }

    static std::string encodeBase64(std::string_view bytes);
    static void encodeBase64(std::string_view bytes, std::string& out);
    // Skips characters that are not base64 (line breaks, blanks, anything
    // else), stops at the first "=", returns what was decoded so far.
    static void decodeBase64(std::string_view text, std::string& out);
    static void decodeBase64(std::string_view text, DataBuffer& out) { decodeBase64(text, out.raw()); }

    // Lenient quoted-printable decoding: soft breaks removed, "=XX" decoded
    // (either hex case), a "=" not followed by two hex digits kept as is.
    static void decodeQuotedPrintable(std::string_view text, std::string& out);

    // The Q encoding of header text (without the word's frame). Where the
    // word stands for a phrase (a display name), RFC 2047 section 5(3)
    // allows fewer bytes as they are: letters, digits, "!*+-/"; anything
    // else, a comma or a double quote above all, would be read as address
    // syntax by the receiver, splitting the name into several recipients.
    enum class QText { Text, Phrase };
    static void encodeQ(std::string_view bytes, std::string& out, QText use = QText::Text);

    // One or more encoded words for bytes already in the charset; an empty
    // charset name means "utf-8". Words are joined with CRLF TAB.
    static void encodeQWord(std::string_view bytes, std::string_view charsetName, std::string& out,
                            QText use = QText::Text);
    static void encodeBWord(std::string_view bytes, std::string_view charsetName, std::string& out);

    // A phrase (a friendly name) as encoded words: B words for the charsets
    // that prefer them, else Q with the phrase's bytes. For address lists a phrase whose first 100
    // bytes already hold "?Q?" or "?B?" is copied as it is; for the From
    // and Reply-To address a leading UTF-8 byte-order mark is dropped when
    // the charset is utf-8 (editors put one in front of pasted text).
    enum class PhraseUse { AddressList, FromAddress };
    static void encodePhrase(std::string_view bytes, std::string_view charsetName, PhraseUse use, std::string& out);

    // Replaces each encoded word by its text converted to UTF-8.
    static std::string decodeEncodedWords(std::string_view text);

    // Upper-case digits: quoted-printable and Q escapes.
    static void appendHexUpper(std::string_view bytes, std::string& out);
    // Lower-case digits: random identifiers.
    static void appendHexLower(std::string_view bytes, std::string& out);
    // Either case; false on an odd length or a non-hex character.
    static bool decodeHex(std::string_view hex, std::string& out);

private:
    int lineLength_ = kDefaultLineLength;
};

// True when a phrase in this charset is written with B encoded words.
bool charsetPrefersBWord(std::string_view charsetName);

// Logs a value (a file name) after quoted-printable encoding it, so that
// any byte survives the trip into the XML log.
bool logDataQuotedPrintable(LogBase& log, const char* name, std::string_view value);

}  // namespace zelmar::mail
