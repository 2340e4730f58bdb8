// Fuzz target for everything that parses outside input: base64 and
// quoted-printable decoding, encoded words, header storage and rendering,
// address parsing and the META charset scan. Built for libFuzzer under
// Clang; elsewhere a small driver replays seeds and random mutations.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mail/mime/charset.h"
#include "mail/mime/content_coding.h"
#include "mail/mime/email2.h"
#include "mail/mime/mime_header.h"
#include "mail/mime/mime_parser.h"

using namespace zelmar::mail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);

    std::string b64;
    ContentCoding::decodeBase64(in, b64);
    std::string again;
    ContentCoding().encodeBase64Body(b64, again);
    std::string back;
    ContentCoding::decodeBase64(again, back);
    if (back != b64) std::abort();

    std::string qp;
    ContentCoding::decodeQuotedPrintable(in, qp);
    std::string qpEnc, qpBack;
    ContentCoding().encodeQuotedPrintable(in, qpEnc);
    ContentCoding::decodeQuotedPrintable(qpEnc, qpBack);
    if (qpBack != in) std::abort();

    std::string words = ContentCoding::decodeEncodedWords(in);

    Rfc822Address a = Rfc822Address::parse(in);
    (void)a.fullForm();

    MimeHeader h;
    if (h.replaceField("Subject", in) && h.replaceField("To", in) && h.replaceField("Content-Type", in)) {
        for (int cp : {0, 28591, 65001, 932, 50220}) {
            std::string out;
            h.renderHeader(out, "", cp);
            // A rendered header never carries a line break that is not folding.
            for (std::size_t i = 0; i < out.size(); ++i) {
                if (out[i] == '\n' && (i == 0 || out[i - 1] != '\r')) std::abort();
                if (out[i] == '\r' && (i + 1 >= out.size() || out[i + 1] != '\n')) std::abort();
                if (out[i] == '\n' && i + 1 < out.size() && out[i + 1] != '\t' && out[i + 1] != ' ') {
                    // Next line starts a new field: must be one of ours.
                    std::string_view rest = std::string_view(out).substr(i + 1);
                    if (!(rest.starts_with("To:") || rest.starts_with("Content-Type:"))) std::abort();
                }
            }
        }
    }
    (void)getHtmlMetaCharset(in);

    // Any bytes read as a message: the parse stays within the depth cap,
    // and the message built from it renders, reads back and renders again.
    MimeEntity e;
    parseMime(in, e);
    int depth = 0;
    for (const MimeEntity* p = &e; !p->parts.empty(); p = p->parts[0].get()) ++depth;
    if (depth > kMaxMimeDepth) std::abort();
    LogNull log;
    if (auto m = Email2::createFromMimeText(in, log)) {
        std::string out;
        m->renderMime(out, "ZMX-", log);
        if (auto again = Email2::createFromMimeText(out, log)) {
            std::string twice;
            again->renderMime(twice, "ZMX-", log);
        }
    }
    return 0;
}

#ifndef ZELMAR_LIBFUZZER
#include "tests/support/fuzz_replay.h"

// Replays seeds and random mutations of them when libFuzzer is not there.
int main(int argc, char** argv) {
    zelmar::test::FuzzReplay replay;
    replay.seeds = {
        "=?utf-8?Q?a=0D=0Ab?= =?iso-8859-1?B?6Q==?=", "Zm9v\r\nYmFy==", "a=3D=\r\n=ZZ=\n.", "\"Bob\" <b@x.com>, c@d",
        "text/plain; charset=\"iso-8859-1\"; name=\"\xC3\xA9\"", "<meta http-equiv=content-type content='a;charset=x'>",
        "=?shift_jis?B?gqA=?==?x?Q?" "?=", "Undisclosed-Recipients:;", "\r\n\t\r\n \xFF\x00",
        "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\npre\r\n--b\r\nContent-Type: text/plain; "
        "charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\ncaf=E9\r\n--b\r\n"
        "Content-Type: multipart/alternative; boundary=c\r\n\r\n--c\r\n\r\nx\r\n--c--\r\n--b--\r\n",
        "Content-Type: application/pdf; name=a.pdf\r\nContent-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n"};
    replay.pieces = "=?QB_\r\n\t <>\",;@";
    replay.rngSeed = 2024;
    return zelmar::test::ReplayMutatedSeeds(argc, argv, replay);
}
#endif
