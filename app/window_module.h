// The window front end, as the program's entry point loads it: the program
// defines what a window module must offer, and ui/ (the module) implements
// it. This header names no toolkit type, so app/main.cpp can choose the
// front end without including Qt.
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

// The same, as the window module (zelmar-gui.so, ui/gui_module.cpp) exports
// them for the program to look up once it has loaded the module.
extern "C" {
using ZelmarGuiRunFn = int (*)(int* argc, char** argv, const zelmar::GuiStart* start);
using ZelmarGuiNotifyFn = void (*)();
}
inline constexpr const char* kZelmarGuiModuleName = "zelmar-gui.so";
inline constexpr const char* kZelmarGuiRunSymbol = "zelmar_gui_run";
inline constexpr const char* kZelmarGuiShowSymbol = "zelmar_gui_show_main_window";
inline constexpr const char* kZelmarGuiExitSymbol = "zelmar_gui_request_exit";
