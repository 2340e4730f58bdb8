// The reply-line reader: how bytes become lines (line ends, the length cap,
// lines split across receives), and how every wait ends by the deadline,
// also against a peer that floods or drips.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "net/reply_reader.h"
#include "tests/net/scripted_server.h"

using namespace zelmar;
using namespace zelmar::test;
using Clock = ReplyReader::Clock;

namespace {

struct SplitCase {
    const char* name;
    std::size_t maxLine;
    std::vector<std::string> chunks;  // as the receives deliver them
    std::vector<std::string> lines;   // complete lines handed out
    bool partial;                     // a line has begun and not ended
};

class LineSplitting : public ::testing::TestWithParam<SplitCase> {};

TEST_P(LineSplitting, GivesTheLinesInOrder) {
    const SplitCase& c = GetParam();
    ReplyReader reader(c.maxLine);
    for (const auto& chunk : c.chunks) reader.Append(chunk);
    std::vector<std::string> lines;
    for (std::string line; reader.TakeLine(line);) lines.push_back(line);
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(reader.partialLine(), c.partial);
}

const std::string k10(10, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, LineSplitting,
    ::testing::Values(
        SplitCase{"CrLfAndBareLf", 100, {"220 a\r\n221 b\n"}, {"220 a", "221 b"}, false},
        SplitCase{"CrLfSplitBetweenReceives", 100, {"220 a\r", "\n2", "21 b\r\n"}, {"220 a", "221 b"}, false},
        SplitCase{"ByteByByte", 100, {"2", "2", "0", " ", "\r", "\n"}, {"220 "}, false},
        SplitCase{"BareCrInsideIsKept", 100, {"220 a\rb\r\n"}, {"220 a\rb"}, false},
        SplitCase{"OnlyTheLastCrIsTheLineEnd", 100, {"220 a\r\r\n"}, {"220 a\r"}, false},
        SplitCase{"EmptyLines", 100, {"\r\n\n"}, {"", ""}, false},
        SplitCase{"NoLineEndYet", 100, {"220 waiting"}, {}, true},
        SplitCase{"ExactlyTheCap", 10, {k10 + "\r\n"}, {k10}, false},
        SplitCase{"ExactlyTheCapBareLf", 10, {k10 + "\n"}, {k10}, false},
        SplitCase{"OneOverTheCap", 10, {k10 + "y\r\n"}, {k10}, false},
        SplitCase{"CapThenCrThenMore", 10, {k10 + "\rzz\r\n"}, {k10}, false},
        SplitCase{"LongLineAcrossReceivesIsCut", 10, {k10, k10, k10 + "\r", "\n220 ok\r\n"}, {k10, "220 ok"},
                  false},
        SplitCase{"EndlessLineStaysWithinTheCap", 10, {k10, k10, k10, k10}, {}, true},
        SplitCase{"PipelinedRepliesWait", 100, {"220 a\r\n331 b\r\n230"}, {"220 a", "331 b"}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineSplitting, ClearDropsEverything) {
    ReplyReader reader(100);
    reader.Append("220 a\r\n221 b");
    reader.Clear();
    std::string line;
    EXPECT_FALSE(reader.TakeLine(line));
    EXPECT_FALSE(reader.partialLine());
    reader.Append("\r\n");
    ASSERT_TRUE(reader.TakeLine(line));
    EXPECT_EQ(line, "");  // the half line before Clear is gone
}

// Reading from a socket: the statuses a script produces, and the time it
// takes, under a deadline of one second for the whole series of reads.
struct ReadCase {
    const char* name;
    std::vector<Step> script;
    std::vector<std::string> lines;  // read before the series ends
    ReplyReader::Status end;
};

class ReadingFromASocket : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadingFromASocket, EndsAsScriptedWithinTheDeadline) {
    const ReadCase& c = GetParam();
    ScriptedServer server(c.script);
    TimeoutSocket socket(1);
    ASSERT_TRUE(socket.Connect("127.0.0.1", server.port()));
    ReplyReader reader(4096);
    const auto start = Clock::now();
    // One deadline for the whole series, as for one multi-line reply.
    const auto deadline = start + std::chrono::seconds(1);
    std::vector<std::string> lines;
    ReplyReader::Status status = ReplyReader::Status::Line;
    std::string line;
    for (long long i = 0; i < 4000000000LL && status == ReplyReader::Status::Line; ++i) {
        status = reader.ReadLine(socket, deadline, line);
        if (status == ReplyReader::Status::Line && lines.size() < 4) lines.push_back(line);
    }
    const auto took = Clock::now() - start;
    socket.Close();
    EXPECT_EQ(static_cast<int>(status), static_cast<int>(c.end));
    EXPECT_EQ(lines, c.lines);
    // Generous margin for a loaded machine; a flood without the check would
    // run for the whole flood (20 s).
    EXPECT_LT(took, std::chrono::seconds(6));
    server.Received();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadingFromASocket,
    ::testing::Values(
        ReadCase{"LinesThenClose", {Send("220 a\r\n221 b\r\n"), Close()}, {"220 a", "221 b"},
                 ReplyReader::Status::Closed},
        ReadCase{"HalfALineThenClose", {Send("220 a\r\n221"), Close()}, {"220 a"}, ReplyReader::Status::Closed},
        ReadCase{"Silence", {Pause(3000)}, {}, ReplyReader::Status::TimedOut},
        ReadCase{"HalfALineThenSilence", {Send("220 wel"), Pause(3000)}, {}, ReplyReader::Status::TimedOut},
        // Lines 0.6 s apart: the second arrives in time, the third does not.
        ReadCase{"DrippingLines",
                 {Send("220-one\r\n"), Pause(600), Send("220-two\r\n"), Pause(600), Send("220 three\r\n"),
                  Pause(2000)},
                 {"220-one", "220-two"},
                 ReplyReader::Status::TimedOut},
        // A peer that never stops sending lines, or one endless line.
        ReadCase{"FloodOfLines", {Flood("220-flood\r\n", 20000)}, {"220-flood", "220-flood", "220-flood",
                                                                     "220-flood"},
                 ReplyReader::Status::TimedOut},
        ReadCase{"EndlessLine", {Flood("xxxxxxxxxxxxxxxx", 20000)}, {}, ReplyReader::Status::TimedOut}),
    [](const auto& info) { return std::string(info.param.name); });

// A source that always has bytes ready: a socketpair kept full by a thread
// that writes as fast as it can and never stops on its own. Only the
// reader's own deadline check can end the read; the socket never runs dry.
TEST(ReadingFromASocket, AnAlwaysFullSocketEndsAtTheDeadline) {
    for (const std::string& unit : {std::string("220-flood\r\n"), std::string(4096, 'x')}) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        std::atomic<bool> stop{false};
        // Six seconds at most, so that a reader without the check ends too
        // (and fails the time bound below) instead of reading for ever.
        const auto writerEnd = Clock::now() + std::chrono::seconds(6);
        std::thread writer([&] {
            std::string block;
            while (block.size() < 65536) block += unit;
            while (!stop && Clock::now() < writerEnd) {
                // Blocking writes: the writer waits only while the socket is full.
                if (::send(fds[1], block.data(), block.size(), MSG_NOSIGNAL) < 0) break;
            }
        });
        TimeoutSocket socket = TimeoutSocket::Adopt(fds[0], 1);
        ReplyReader reader(4096);
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::milliseconds(500);
        std::string line;
        ReplyReader::Status status = ReplyReader::Status::Line;
        for (long long reads = 0; reads < 4000000000LL && status == ReplyReader::Status::Line; ++reads)
            status = reader.ReadLine(socket, deadline, line);
        const auto took = Clock::now() - start;
        stop = true;
        socket.Close();  // the writer's next send fails
        writer.join();
        ::close(fds[1]);
        EXPECT_EQ(static_cast<int>(status), static_cast<int>(ReplyReader::Status::TimedOut)) << unit.size();
        EXPECT_GE(took, std::chrono::milliseconds(500));
        EXPECT_LT(took, std::chrono::milliseconds(500 + 1500)) << unit.size();
    }
}

TEST(ReadingFromASocket, ABufferedLineIsHandedOutEvenAfterTheDeadline) {
    ScriptedServer server({Send("220 a\r\n221 b\r\n"), Pause(200)});
    TimeoutSocket socket(1);
    ASSERT_TRUE(socket.Connect("127.0.0.1", server.port()));
    ReplyReader reader;
    std::string line;
    ASSERT_EQ(reader.ReadLine(socket, Clock::now() + std::chrono::seconds(1), line), ReplyReader::Status::Line);
    EXPECT_EQ(line, "220 a");
    EXPECT_EQ(reader.ReadLine(socket, Clock::now() - std::chrono::seconds(1), line), ReplyReader::Status::Line);
    EXPECT_EQ(line, "221 b");
    EXPECT_EQ(reader.ReadLine(socket, Clock::now() - std::chrono::seconds(1), line),
              ReplyReader::Status::TimedOut);
    socket.Close();
    server.Received();
}

}  // namespace
