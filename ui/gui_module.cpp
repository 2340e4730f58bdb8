// The window front end's entry points as the program looks them up after
// loading this module (app/main.cpp): plain C names, so that the lookup needs
// no mangled names. The module carries only the window: the core, the
// services and their globals are the program's own, which exports them.
#include "app/window_module.h"

extern "C" {

__attribute__((visibility("default"))) int zelmar_gui_run(int* argc, char** argv, const zelmar::GuiStart* start) {
    return zelmar::RunGui(*argc, argv, *start);
}

__attribute__((visibility("default"))) void zelmar_gui_show_main_window() { zelmar::GuiShowMainWindow(); }

__attribute__((visibility("default"))) void zelmar_gui_request_exit() { zelmar::GuiRequestExit(); }

}  // extern "C"
