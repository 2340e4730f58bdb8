// The timed socket: every wait ends by its limit, and a closed peer or port
// is an error, not a hang.
#include <gtest/gtest.h>

#include <chrono>

#include "net/default_timeout.h"
#include "net/timeout_socket.h"
#include "tests/net/scripted_server.h"

using namespace zelmar;
using namespace zelmar::test;
using Clock = TimeoutSocket::Clock;

namespace {

int ClosedPort() {
    TimeoutSocket s(1);
    if (!s.Listen("127.0.0.1", 1)) return 0;
    return s.LocalPort();  // closed again when s goes
}

// "Timeout=0" gives every request the same limit: this socket, below the
// FTP client, once took it for 1 s where the echo page took 15 s.
TEST(TimeoutSocket, ZeroOrLessIsTheDefaultLimit) {
    for (const int seconds : {0, -1}) EXPECT_EQ(TimeoutSocket(seconds).timeoutSeconds(), kDefaultTimeoutSeconds);
    EXPECT_EQ(TimeoutSocket(1).timeoutSeconds(), 1);
}

TEST(TimeoutSocket, ConnectFailures) {
    const int closed = ClosedPort();
    ASSERT_GT(closed, 0);
    for (const auto& [host, port] : std::vector<std::pair<std::string, int>>{
             {"127.0.0.1", closed}, {"", 21}, {"127.0.0.1", 0}, {"127.0.0.1", 70000}, {"not an address", 21}}) {
        TimeoutSocket s(1);
        EXPECT_FALSE(s.Connect(host, port)) << host << ":" << port;
        EXPECT_FALSE(s.IsOpen());
    }
}

TEST(TimeoutSocket, ReceiveEndsAtTheDeadlineOrWhenThePeerCloses) {
    ScriptedServer server({Send("ab"), Pause(1500), Close()});
    TimeoutSocket s(5);
    ASSERT_TRUE(s.Connect("127.0.0.1", server.port()));
    EXPECT_EQ(s.PeerAddress(), "127.0.0.1");
    EXPECT_EQ(s.LocalAddress(), "127.0.0.1");
    char buf[16];
    EXPECT_EQ(s.ReceiveUntil(buf, sizeof buf, Clock::now() + std::chrono::seconds(1)), 2);
    const auto start = Clock::now();
    EXPECT_EQ(s.ReceiveUntil(buf, sizeof buf, Clock::now() + std::chrono::milliseconds(300)), -1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(s.ReceiveUntil(buf, sizeof buf, Clock::now() + std::chrono::seconds(5)), 0);
    server.Received();
}

TEST(TimeoutSocket, SendAllDeliversEveryByte) {
    ScriptedServer server({Drain()});
    TimeoutSocket s(5);
    ASSERT_TRUE(s.Connect("127.0.0.1", server.port()));
    std::string data(3u << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(s.SendAll(data.data(), data.size()));
    s.Close();
    EXPECT_EQ(server.Received(), data);
}

TEST(TimeoutSocket, AcceptEndsAtTheLimit) {
    TimeoutSocket listener(1);
    ASSERT_TRUE(listener.Listen("127.0.0.1", 1));
    const auto start = Clock::now();
    EXPECT_FALSE(listener.Accept().has_value());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
}

}  // namespace
