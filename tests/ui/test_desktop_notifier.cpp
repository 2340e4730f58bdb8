// Desktop notifications against a real notification daemon: dunst on a
// private session bus and a virtual display, asked afterwards what it got
// ("dunstctl history"). The bus has no activatable services, so before dunst
// starts it really has no notification service.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <cstdlib>
#include <sys/stat.h>

#include "tests/monitor/x_session.h"
#include "tests/support/peer_process.h"
#include "app/notify/session_notifier.h"
#include "ui/desktop_notifier.h"

namespace zelmar {
namespace {

using namespace test;

RefreshSnapshot Change(std::string wan, std::string oldWan) {
    RefreshSnapshot s;
    s.current = {std::move(wan), "192.168.1.20", "", ""};
    s.previous = {std::move(oldWan), "192.168.1.20", "", ""};
    return s;
}

void SpinUntil(DesktopNotifier& n, const std::function<bool()>& done) {
    WaitUntil([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return done() && n.pending() == 0;
    });
}

TEST(DesktopNotifier, TellsDunstAndSaysOnceWhenNoServiceIsThere) {
    ScratchDir dir;
    WriteFile(dir / "bus.conf",
              "<busconfig><type>session</type><listen>unix:path=" + dir / "bus" +
                  "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                  "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    ChildProcess bus({"dbus-daemon", "--config-file=" + dir / "bus.conf", "--nofork"}, dir / "bus.log");
    struct stat st{};
    ASSERT_TRUE(WaitUntil([&] { return ::stat((dir / "bus").c_str(), &st) == 0; })) << ReadFile(dir / "bus.log");
    const std::string address = "unix:path=" + dir / "bus";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);

    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    std::vector<std::string> lines;
    DesktopNotifier notifier([&](StatusMessage m) { lines.push_back(m.text); });
    bool enabled = true;
    RefreshObserver observer = notifier.Observer([&] { return enabled; });

    // No service: nothing shown, one line, also after a second try.
    observer(Change("203.0.113.9", "203.0.113.7"), {});
    SpinUntil(notifier, [&] { return !lines.empty(); });
    notifier.Show({"again", "", false});
    SpinUntil(notifier, [] { return true; });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("No desktop notification service (org.freedesktop.Notifications)", 0), 0u) << lines[0];

    XServer x;
    ASSERT_FALSE(x.display().empty()) << x.problem();
    ChildProcess dunst({"dunst"}, dir / "dunst.log",
                       {{"DISPLAY", x.display()}, {"HOME", dir.path()}, {"DBUS_SESSION_BUS_ADDRESS", address}});
    ASSERT_TRUE(WaitUntil([] {
        return QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.Notifications").value();
    })) << ReadFile(dir / "dunst.log") << ReadFile(dir / "bus.log");

    const std::vector<ChannelOutcome> failed = {{"Webhook ntfy", true, {DeliveryOutcome::Failed, "503", "", "busy", 0}}};
    observer(Change("203.0.113.9", "203.0.113.7"), failed);
    enabled = false;  // switched off: the recovery is not shown
    observer(Change("203.0.113.9", "203.0.113.9"), {{"Webhook ntfy", true, DeliveryResult::Success()}});
    SpinUntil(notifier, [] { return true; });
    EXPECT_EQ(lines.size(), 1u);

    // The headless run tells the same service over GDBus, without Qt.
    std::vector<std::string> headlessLines;
    RefreshObserver headless =
        MakeSessionNotifier([] { return true; }, [&](StatusMessage m) { headlessLines.push_back(m.text); });
    headless(Change("198.51.100.1", "198.51.100.2"), {});
    EXPECT_TRUE(headlessLines.empty()) << headlessLines.front();

    const std::string env = "DBUS_SESSION_BUS_ADDRESS='" + address + "' ";
    ASSERT_EQ(std::system((env + "dunstctl close-all && sleep 0.3 && " + env + "dunstctl history > '" + dir / "history.json" + "'").c_str()), 0);
    const nlohmann::json history = nlohmann::json::parse(ReadFile(dir / "history.json"));
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& n : history["data"][0])
        got.emplace_back(n["summary"]["data"].get<std::string>(), n["body"]["data"].get<std::string>());
    std::sort(got.begin(), got.end());
    const std::vector<std::pair<std::string, std::string>> want = {
        {"Zelmar: Webhook ntfy failed", "503 busy."},
        {"Zelmar: address changed", "WAN 198.51.100.2 → 198.51.100.1"},
        {"Zelmar: address changed", "WAN 203.0.113.7 → 203.0.113.9"},
    };
    EXPECT_EQ(got, want) << ReadFile(dir / "history.json");
}

}  // namespace
}  // namespace zelmar
