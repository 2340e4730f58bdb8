// The real zelmar on a virtual X display with a window manager and a tray
// host (openbox, trayer): it is minimised into the tray, brought back by a
// double-click on its icon, and "&Refresh" is pressed against a local
// address-echo page; the log then carries the online notice with the
// address the page gave.
#include <gtest/gtest.h>

#include <cstdio>
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
        // The window manager occasionally misses its start; a new server then.
        for (int attempt = 0; attempt < 3 && (!server || server->display().empty()); ++attempt)
            server = std::make_unique<XServer>(true);
        ASSERT_FALSE(server->display().empty()) << "Xvfb with openbox did not come up";
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

    // The tray icon: a small window of the program inside the tray panel
    // (xwininfo's tree shows it with its size and absolute position).
    bool TrayIconCentre(int& x, int& y) {
        std::istringstream in(Tree());
        for (std::string line; std::getline(in, line);) {
            if (line.find("(\"zelmar\" \"Zelmar\")") == std::string::npos) continue;
            int w = 0, h = 0, rx = 0, ry = 0, ax = 0, ay = 0;
            const auto close = line.find(')');
            if (std::sscanf(line.c_str() + close + 1, " %dx%d%d%d %d%d", &w, &h, &rx, &ry, &ax, &ay) == 6 && w > 4 &&
                w <= 48 && h <= 48) {
                x = ax + w / 2;
                y = ay + h / 2;
                return true;
            }
        }
        return false;
    }

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

    ChildProcess tray({"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel", "--width", "100",
                       "--height", "24"},
                      dir / "trayer.log", env);
    ASSERT_TRUE(WaitUntil([&] { return !Windows("--name '^panel$'").empty(); })) << "the tray host did not start";

    WriteFile(dir / "Zelmar.ini",
              "[LocalSettings]\nFTPServer=ftp.example.org\nSiteName=s\nUserID=u\nPassword=p\nOnlineFile=on.htm\n"
              "OfflineFile=off.htm\nRemoteFile=page.htm\nPort=21\nEnableFTP=0\nWANIPURL=http://127.0.0.1:" +
                  std::to_string(port) +
                  "/ip.html\n[Preferences]\nIsUpdateOnStart=0\nRefreshIntv=0\nIsLogging=1\n"
                  "LogFilename=Zelmar.log\n");
    ::mkdir((dir / "run").c_str(), 0700);
    std::map<std::string, std::string> zenv = env;
    zenv["XDG_RUNTIME_DIR"] = dir / "run";
    zenv["QT_QPA_PLATFORM"] = "xcb";
    ChildProcess zelmar({"sh", "-c", "cd '" + dir.path() + "' && exec '" ZELMAR_BINARY "'"}, dir / "zelmar.log", zenv);

    ASSERT_TRUE(WaitUntil([&] { return MainWindowVisible(); })) << ReadFile(dir / "zelmar.log");
    const std::string window = Windows("--onlyvisible --name '^Zelmar$'").front();

    Xdo("windowminimize " + window);
    ASSERT_TRUE(WaitUntil([&] { return !MainWindowVisible(); })) << "minimising hides the window";
    int x = 0, y = 0;
    ASSERT_TRUE(WaitUntil([&] { return TrayIconCentre(x, y); }))
        << "the tray icon appears\n"
        << Tree() << "zelmar: " << ReadFile(dir / "zelmar.log") << "trayer: " << ReadFile(dir / "trayer.log");

    // The panel may still be placing the icon: aim once it stays put.
    int px = -1, py = -1;
    ASSERT_TRUE(WaitUntil([&] {
        const bool same = TrayIconCentre(x, y) && x == px && y == py;
        px = x;
        py = y;
        return same;
    }));
    bool restored = false;
    for (int attempt = 0; attempt < 3 && !restored; ++attempt) {
        Xdo("mousemove --sync " + std::to_string(x) + " " + std::to_string(y) + " click --repeat 2 --delay 60 1");
        restored = WaitUntil([&] { return MainWindowVisible(); }, std::chrono::seconds(3));
    }
    ASSERT_TRUE(restored) << "a double-click brings the window back\n" << Tree();
    EXPECT_TRUE(WaitUntil([&] { return !TrayIconCentre(x, y); })) << "and removes the icon";

    Xdo("windowactivate --sync " + window);
    Xdo("key --window " + window + " alt+r");
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(dir / "Zelmar.log").find("WAN IP: 198.51.100.7") != std::string::npos; },
                          std::chrono::seconds(30)))
        << ReadFile(dir / "Zelmar.log");
}

}  // namespace
