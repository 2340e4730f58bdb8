// The real zelmar on a virtual X display with a window manager and a tray
// host (openbox, trayer): it is minimised into the tray, brought back by a
// double-click on its icon, and "&Refresh" is pressed against a local
// address-echo page; the log then carries the online notice with the
// address the page gave.
//
// Every step waits for the condition the next one needs, each within a
// generous bound (a loaded two-core machine): the window manager in charge
// (XServer), the tray host owning the tray selection before the program
// starts (else Qt finds no tray and the window only minimises), the main
// window viewable, the icon embedded and viewable inside the panel before it
// is clicked, and the window viewable again.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/monitor/x_session.h"
#include "tests/support/peer_process.h"

using namespace zelmar::test;

namespace {

bool Have(const char* tool) { return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0; }

class TrayDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"xdotool", "trayer", "openbox", "Xvfb"})
            if (!Have(tool)) GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh)";
        server = std::make_unique<XServer>(true, screen);
        ASSERT_FALSE(server->display().empty()) << "Xvfb with openbox did not come up: " << server->problem();
        env = {{"DISPLAY", server->display()}};
    }

    // Runs xdotool with the given arguments; its standard output.
    std::string Xdo(const std::string& args) {
        const std::string cmd = "DISPLAY=" + server->display() + " xdotool " + args + " 2>/dev/null";
        std::string out;
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char buf[256];
            while (std::fgets(buf, sizeof buf, p)) out += buf;
            pclose(p);
        }
        return out;
    }
    std::vector<std::string> Windows(const std::string& searchArgs) {
        std::istringstream in(Xdo("search " + searchArgs));
        std::vector<std::string> ids;
        for (std::string id; in >> id;) ids.push_back(id);
        return ids;
    }
    std::string Tree() {
        std::string out;
        if (FILE* p = popen(("xwininfo -display " + server->display() + " -root -tree 2>&1").c_str(), "r")) {
            char buf[256];
            while (std::fgets(buf, sizeof buf, p)) out += buf;
            pclose(p);
        }
        return out;
    }
    bool MainWindowVisible() { return !Windows("--onlyvisible --name '^Zelmar$'").empty(); }
    bool WindowExists(const std::string& window) {
        return std::system(("xwininfo -display " + server->display() + " -id " + window + " >/dev/null 2>&1").c_str()) ==
               0;
    }

    // The window manager's frame around the window: its top-left corner on
    // the root window (xwininfo -frame).
    bool FrameTopLeft(const std::string& window, int& x, int& y) {
        std::string out;
        const std::string cmd = "xwininfo -display " + server->display() + " -frame -id " + window + " 2>/dev/null";
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char buf[256];
            while (std::fgets(buf, sizeof buf, p)) out += buf;
            pclose(p);
        }
        const auto value = [&](const char* key, int& v) {
            const auto at = out.find(key);
            return at != std::string::npos && std::sscanf(out.c_str() + at + std::strlen(key), "%d", &v) == 1;
        };
        return value("Absolute upper-left X:", x) && value("Absolute upper-left Y:", y);
    }

    void StartTrayHost(const ScratchDir& dir) {
        tray = std::make_unique<ChildProcess>(
            std::vector<std::string>{"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel",
                                     "--width", "100", "--height", "24"},
            dir / "trayer.log", env);
        // The tray host is ready when it owns the tray selection: Qt asks
        // for its owner when the window is minimised.
        ASSERT_TRUE(WaitUntil([&] { return SelectionOwned(server->display(), "_NET_SYSTEM_TRAY_S0"); },
                              std::chrono::seconds(30)))
            << "the tray host did not start: " << ReadFile(dir / "trayer.log");
    }
    std::map<std::string, std::string> ZelmarEnv(const ScratchDir& dir) {
        ::mkdir((dir / "run").c_str(), 0700);
        std::map<std::string, std::string> zenv = env;
        zenv["XDG_RUNTIME_DIR"] = dir / "run";
        zenv["QT_QPA_PLATFORM"] = "xcb";
        return zenv;
    }
    std::unique_ptr<ChildProcess> tray;

    // The tray icon: a small window of the program ("zelmar" "Zelmar") that
    // the tray host has embedded (its parent is not the root) and that is
    // viewable, so that a click at its centre reaches it. A window Qt has
    // made but not yet docked, or one already taken down, does not count.
    bool TrayIconCentre(int& x, int& y) {
        return EmbeddedWindowCentre(server->display(), "zelmar", "Zelmar", 48, x, y);
    }

    // The window manager's frame of a window on the root window: the
    // client's place widened by the frame extents the manager announces.
    bool FrameRect(const std::string& window, int& x, int& y, int& w, int& h) {
        const std::string info = Run("xwininfo -display " + server->display() + " -id " + window);
        const std::string extents = Run("xprop -display " + server->display() + " -id " + window + " _NET_FRAME_EXTENTS");
        const auto value = [&](const char* key, int& v) {
            const auto at = info.find(key);
            return at != std::string::npos && std::sscanf(info.c_str() + at + std::strlen(key), "%d", &v) == 1;
        };
        int l = 0, r = 0, t = 0, b = 0;
        const auto eq = extents.find('=');
        if (eq == std::string::npos || std::sscanf(extents.c_str() + eq + 1, "%d, %d, %d, %d", &l, &r, &t, &b) != 4)
            return false;
        if (!value("Absolute upper-left X:", x) || !value("Absolute upper-left Y:", y) || !value("Width:", w) ||
            !value("Height:", h))
            return false;
        x -= l;
        y -= t;
        w += l + r;
        h += t + b;
        return true;
    }
    static std::string Run(const std::string& cmd) {
        std::string out;
        if (FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r")) {
            char buf[256];
            while (std::fgets(buf, sizeof buf, p)) out += buf;
            pclose(p);
        }
        return out;
    }

    std::string screen = "640x480x24";
    std::unique_ptr<XServer> server;
    std::map<std::string, std::string> env;
};

TEST_F(TrayDesktop, MinimiseToTheTrayRestoreByDoubleClickAndRefresh) {
    ScratchDir dir;
    // The address-echo page, served on loopback.
    ::mkdir((dir / "www").c_str(), 0700);
    WriteFile(dir / "www/ip.html", "<html>REMOTE_ADDR:198.51.100.7<br></html>");
    const int port = FreePort();
    ChildProcess web({kSystemPython, "-m", "http.server", std::to_string(port), "--bind", "127.0.0.1", "--directory",
                      dir / "www"},
                     dir / "web.log");
    ASSERT_TRUE(WaitForPort(port));

    StartTrayHost(dir);
    if (HasFatalFailure()) return;

    WriteFile(dir / "Zelmar.ini",
              "[LocalSettings]\nFTPServer=ftp.example.org\nSiteName=s\nUserID=u\nPassword=p\nOnlineFile=on.htm\n"
              "OfflineFile=off.htm\nRemoteFile=page.htm\nPort=21\nEnableFTP=0\nWANIPURL=http://127.0.0.1:" +
                  std::to_string(port) +
                  "/ip.html\n[Preferences]\nIsUpdateOnStart=0\nRefreshIntv=0\nIsLogging=1\n"
                  "LogFilename=Zelmar.log\n");
    const std::map<std::string, std::string> zenv = ZelmarEnv(dir);
    ChildProcess zelmar({"sh", "-c", "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --config-dir ."}, dir / "zelmar.log", zenv);

    ASSERT_TRUE(WaitUntil([&] { return MainWindowVisible(); }, std::chrono::seconds(60)))
        << ReadFile(dir / "zelmar.log");
    const std::string window = Windows("--onlyvisible --name '^Zelmar$'").front();

    Xdo("windowminimize " + window);
    ASSERT_TRUE(WaitUntil([&] { return !MainWindowVisible(); }, std::chrono::seconds(30)))
        << "minimising hides the window";
    int x = 0, y = 0;
    ASSERT_TRUE(WaitUntil([&] { return TrayIconCentre(x, y); }, std::chrono::seconds(30)))
        << "the tray icon appears\n"
        << Tree() << "zelmar: " << ReadFile(dir / "zelmar.log") << "trayer: " << ReadFile(dir / "trayer.log");

    // The panel may still be placing the icon: aim once it stays put.
    int px = -1, py = -1;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const bool same = TrayIconCentre(x, y) && x == px && y == py;
            px = x;
            py = y;
            return same;
        },
        std::chrono::seconds(30)));
    // A double-click is two presses within Qt's double-click interval
    // (400 ms) by the X server's clock; an xdotool held off the processor
    // for longer between them makes two single clicks, which do nothing
    // here. So: aim at the icon where it is now, double-click, and wait for
    // the window; while the icon is still there and the window is not back,
    // that is all that happened, and the double-click is given again (a
    // bounded number of times).
    bool restored = false;
    for (int attempt = 0; attempt < 5 && !restored; ++attempt) {
        if (!TrayIconCentre(x, y)) {
            restored = WaitUntil([&] { return MainWindowVisible(); }, std::chrono::seconds(30));
            break;
        }
        Xdo("mousemove --sync " + std::to_string(x) + " " + std::to_string(y) + " click --repeat 2 --delay 60 1");
        restored = WaitUntil([&] { return MainWindowVisible() || !TrayIconCentre(x, y); }, std::chrono::seconds(5)) &&
                   WaitUntil([&] { return MainWindowVisible(); }, std::chrono::seconds(30));
    }
    ASSERT_TRUE(restored) << "a double-click brings the window back\n" << Tree();
    EXPECT_TRUE(TrayIconCentre(x, y)) << "the icon stays while the program runs";

    // The window in the tray gave its X window up: the restored one is new.
    const std::string restoredWindow = Windows("--onlyvisible --name '^Zelmar$'").front();
    Xdo("windowactivate --sync " + restoredWindow);
    Xdo("key --window " + restoredWindow + " alt+r");
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(dir / "Zelmar.log").find("WAN IP: 198.51.100.7") != std::string::npos; },
                          std::chrono::seconds(60)))
        << ReadFile(dir / "Zelmar.log");
}

// Started in the tray, the window is brought up by a second start: the
// window manager places it, so its frame (title bar included) is on the
// screen; it comes back where it was after it went to the tray again.
TEST_F(TrayDesktop, FirstRestorePutsTheTitleBarOnTheScreen) {
    ScratchDir dir;
    StartTrayHost(dir);
    if (HasFatalFailure()) return;
    WriteFile(dir / "Zelmar.ini",
              "[LocalSettings]\nFTPServer=ftp.example.org\nSiteName=s\n[Preferences]\nIsUpdateOnStart=0\n"
              "RefreshIntv=0\nIsMinOnStartup=1\n");
    const std::map<std::string, std::string> zenv = ZelmarEnv(dir);
    const std::vector<std::string> start{"sh", "-c", "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --config-dir ."};
    ChildProcess zelmar(start, dir / "zelmar.log", zenv);
    int x = 0, y = 0;
    ASSERT_TRUE(WaitUntil([&] { return TrayIconCentre(x, y); }, std::chrono::seconds(60)))
        << "started in the tray\n" << ReadFile(dir / "zelmar.log");
    // (The icon's own window may pass through the root before it is docked.)
    EXPECT_TRUE(WaitUntil([&] { return !MainWindowVisible(); }, std::chrono::seconds(5)));

    std::vector<std::pair<int, int>> places;
    for (int round = 0; round < 2; ++round) {
        {
            ChildProcess second(start, dir / "second.log", zenv);  // raises the first and exits
            ASSERT_TRUE(WaitUntil([&] { return MainWindowVisible(); }, std::chrono::seconds(60)))
                << ReadFile(dir / "zelmar.log") << ReadFile(dir / "second.log");
        }
        const std::string window = Windows("--onlyvisible --name '^Zelmar$'").front();
        int fx = 0, fy = 0, last = -10000;
        // The frame settles once the window manager has placed it.
        ASSERT_TRUE(WaitUntil(
            [&] {
                const bool same = FrameTopLeft(window, fx, fy) && fy == last;
                last = fy;
                return same;
            },
            std::chrono::seconds(10)));
        EXPECT_GE(fx, 0) << "round " << round;
        EXPECT_GE(fy, 0) << "the title bar is on the screen, round " << round;
        places.emplace_back(fx, fy);
        Xdo("windowminimize " + window);
        // The window manager unmaps an iconified window at once; the program
        // hides it to the tray only when it sees the new state, and then
        // gives its X window up. A show request in between is undone by
        // that late hide, so the next start waits for the X window to go.
        ASSERT_TRUE(WaitUntil([&] { return !MainWindowVisible() && !WindowExists(window); },
                              std::chrono::seconds(30)));
    }
    EXPECT_EQ(places[1], places[0]) << "the window comes back where it was";
}

// At the first start, with the first-run note in the message bar, the whole
// frame is on the screen (every button and the status line with it): a
// laptop's 1366x768 at 100 %, and 1920x1080 at 150 %.
struct ScreenCase {
    const char* screen;
    const char* scale;
    int width, height;
};

class ScreenFit : public TrayDesktop, public ::testing::WithParamInterface<ScreenCase> {
protected:
    ScreenFit() { screen = GetParam().screen; }
};

TEST_P(ScreenFit, FirstStartFrameIsWithinTheScreen) {
    ScratchDir dir;
    WriteFile(dir / "Zelmar.ini", "[Preferences]\nIsUpdateOnStart=0\nRefreshIntv=0\n");
    std::map<std::string, std::string> zenv = ZelmarEnv(dir);
    zenv["QT_SCALE_FACTOR"] = GetParam().scale;
    ChildProcess zelmar({"sh", "-c", "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "' --config-dir ."},
                        dir / "zelmar.log", zenv);
    ASSERT_TRUE(WaitUntil([&] { return MainWindowVisible(); }, std::chrono::seconds(60))) << ReadFile(dir / "zelmar.log");
    const std::string window = Windows("--onlyvisible --name '^Zelmar$'").front();
    int x = 0, y = 0, w = 0, h = 0, lastH = -1;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const bool same = FrameRect(window, x, y, w, h) && h == lastH;
            lastH = h;
            return same;
        },
        std::chrono::seconds(10)));
    EXPECT_GE(x, 0);
    EXPECT_GE(y, 0);
    EXPECT_LE(x + w, GetParam().width) << "frame " << w << "x" << h << " at " << x << "," << y;
    EXPECT_LE(y + h, GetParam().height) << "frame " << w << "x" << h << " at " << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Screens, ScreenFit,
                         ::testing::Values(ScreenCase{"1366x768x24", "1", 1366, 768},
                                           ScreenCase{"1920x1080x24", "1.5", 1920, 1080}));

}  // namespace
