// Fuzz target for the WAN lookup's texts: the address cut out of an echo
// page between two delimiters, the service's system message, and the stored
// form of an address. The page is whatever a server sends. Built for
// libFuzzer under Clang; in the normal build a small driver replays seeds
// and random mutations of them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/address/wan_text.h"
#include "app/core/address_set.h"

using namespace zelmar;

namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

void Check(const std::string& page, const std::string& start, const std::string& end) {
    const std::optional<std::string> between = ExtractBetween(page, start, end);
    const std::optional<std::string> address = WanAddressFromPage(page, start, end);
    // An address is only ever the text between the delimiters.
    if (address && (!between || *address != *between)) std::abort();
    if (address && !address->empty()) {
        // Nothing but an address literal gets through: no markup, no page
        // tokens, no control characters, nothing long.
        if (!IsAddressLiteral(*address)) std::abort();
        if (address->size() > 45) std::abort();
        for (char c : *address)
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '.' ||
                  c == ':'))
                std::abort();
    }
    if (between && !between->empty() && (Blank(between->front()) || Blank(between->back()))) std::abort();

    // What is stored is the canonical form: an address again, and the same
    // address when it is read back.
    if (address) {
        const Address a(*address);
        if (!a.known() || !IsAddressLiteral(a.text()) || Address(a.text()) != a) std::abort();
    }

    const std::string message = SystemMessageOf(page);
    if (!message.empty() && (Blank(message.front()) || Blank(message.back()))) std::abort();
    if (message.size() > page.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    // The default delimiters on the whole input, then delimiters taken from
    // the input itself: "start\x01end\x01page".
    Check(in, "REMOTE_ADDR:", "<br>");
    const std::size_t a = in.find('\x01');
    const std::size_t b = a == std::string::npos ? a : in.find('\x01', a + 1);
    if (b != std::string::npos && a > 0 && b > a + 1) Check(in.substr(b + 1), in.substr(0, a), in.substr(a + 1, b - a - 1));
    return 0;
}

#ifndef ZELMAR_LIBFUZZER
#include "tests/support/fuzz_replay.h"

// Replays seeds and random mutations of them when libFuzzer is not there.
int main(int argc, char** argv) {
    zelmar::test::FuzzReplay replay;
    replay.seeds = {
        "REMOTE_ADDR: 203.0.113.7<br>",
        "<p>x<br>REMOTE_ADDR:\t2001:db8::8a2e:37:73 <br></p>",
        "REMOTE_ADDR: ::ffff:192.0.2.1<br><SystemMessage> SM20042:Hello </SystemMessage>",
        "REMOTE_ADDR: <script>%H%T%D</script><br>",
        "[\x01]\x01[10.0.0.1]",
        "REMOTE_ADDR: \r\n <br>",
        "<SystemMessage>SM1001: bye",
        "REMOTE_ADDR: 1.2.3.4\n[LocalSettings]\nFTPServer=x<br>"};
    replay.pieces = "REMOTE_ADDR:<br>0123456789abcdef.:% \t\r\n\x01<>/";
    replay.rngSeed = 2026;
    return zelmar::test::ReplayMutatedSeeds(argc, argv, replay);
}
#endif
