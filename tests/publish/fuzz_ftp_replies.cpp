// Fuzz target for the FTP reply reader: bytes from the server as the
// control connection delivers them (in pieces of any size) go through the
// line reader, the masking, the reply-code check, the multi-line rule and
// the PASV parser. Built for libFuzzer under Clang (scripts/test.sh runs it
// for a bounded time); elsewhere a small driver replays seeds and random
// mutations of them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/publish/ftp_client.h"
#include "net/reply_reader.h"

using namespace zelmar;

namespace {

constexpr std::size_t kCap = 64;  // small, so that the cap is met often

std::vector<std::string> Lines(std::string_view in, std::size_t piece) {
    ReplyReader reader(kCap);
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < in.size(); at += piece) {
        reader.Append(in.substr(at, piece));
        for (std::string line; reader.TakeLine(line);) lines.push_back(line);
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses how the receives cut the rest.
    const std::size_t piece = 1 + data[0] % 17;
    const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);

    const std::vector<std::string> whole = Lines(in, in.size() + 1);
    // How the bytes were cut into receives never changes the lines.
    if (Lines(in, piece) != whole) std::abort();

    FtpReplyAssembler reply;
    for (const std::string& raw : whole) {
        if (raw.size() > kCap || raw.find('\n') != std::string::npos) std::abort();
        const std::string line = MaskReplyLine(raw);
        if (line.size() != raw.size()) std::abort();
        for (char c : line)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) std::abort();
        const int cls = ReplyClassOf(line);
        if (cls < 0 || cls > 5) std::abort();
        if (cls != 0 && (line.size() < 3 || line[0] - '0' != cls || (line.size() > 3 && line[3] != ' ' &&
                                                                        line[3] != '-')))
            std::abort();
        if (reply.Add(line)) reply.Reset();
        if (const auto pasv = ParsePassiveReply(line)) {
            if (pasv->port < 0 || pasv->port > 65535 || pasv->host.size() > 15) std::abort();
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
        "\x03" "220-Welcome\r\n220-220-more\r\n230 other\r\n220 ready\r\n",
        "\x05" "227 Entering Passive Mode (192,0,2,10,19,137)\r\n",
        "\x01" "2\r\n22\n220\r\n220x\r\n\r\n",
        std::string("\x07" "421 a\x1b[2Jb\x07\rc\tend\r\n\0\r\r\n", 25),
        "\x02" + std::string(200, 'x') + "\r\n150 go\n226 done\r",
        "\x0b" "227 ( 10, 0, 0, 1, 0, 21 )\n227 (1,2,3,4,256,1)\n"};
    replay.pieces = "0123456789- \r\n(),";
    replay.rngSeed = 2026;
    replay.controlBytes = 1;
    return zelmar::test::ReplayMutatedSeeds(argc, argv, replay);
}
#endif
