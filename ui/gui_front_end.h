// The window front end, as the program's entry point sees it. This header
// names no toolkit type, so app/main.cpp can choose the front end without
// including Qt.
#pragma once

#include <string>

namespace zelmar {

struct GuiStart {
    std::string startDirectory;
    std::string settingsFile;
    bool invisible = false;  // "-I": minimised, never a tray icon
};

// Runs the window until it closes; returns the process's exit code.
int RunGui(int& argc, char** argv, const GuiStart& start);

// From any thread, while RunGui runs: bring the window up (a second start of
// the program), or run the exit procedure (a signal). Harmless otherwise.
void GuiShowMainWindow();
void GuiRequestExit();

}  // namespace zelmar
