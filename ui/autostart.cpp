#include "ui/autostart.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "app/core/atomic_file.h"

namespace zelmar {

namespace fs = std::filesystem;

std::string AutostartFolder(const char* xdgConfigHome, const char* home) {
    if (xdgConfigHome && xdgConfigHome[0] == '/') return (fs::path(xdgConfigHome) / "autostart").string();
    if (home && home[0] == '/') return (fs::path(home) / ".config" / "autostart").string();
    return std::string();
}

std::string QuoteExecArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '\\') {
            quoted += "\\\\\\\\";  // \\ for the quoting, each doubled for the value string
        } else if (c == '"' || c == '`' || c == '$') {
            quoted += "\\\\";  // \ for the quoting, doubled
            quoted += c;
        } else {
            if (c == '%') quoted += '%';
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string AutostartEntry(const std::string& program, const std::string& settingsFolder) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Zelmar\n"
           "Comment=Keeps other people informed of this computer's Internet address\n"
           "Exec=" +
           QuoteExecArgument(program) + " --config-dir " + QuoteExecArgument(settingsFolder) +
           "\n"
           "Icon=zelmar\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool AutostartEnabled(const std::string& folder) {
    std::ifstream in(fs::path(folder) / kAutostartFileName);
    if (!in) return false;
    for (std::string line; std::getline(in, line);)
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
    return true;
}

std::string SetAutostart(const std::string& folder, bool on, const std::string& program,
                         const std::string& settingsFolder) {
    if (folder.empty()) return "no folder for the autostart entry (neither XDG_CONFIG_HOME nor HOME is set)";
    const fs::path file = fs::path(folder) / kAutostartFileName;
    std::error_code ec;
    if (!on) {
        fs::remove(file, ec);
        return ec ? "cannot remove " + file.string() + ": " + ec.message() : std::string();
    }
    // A path with a line break cannot stand in a desktop entry.
    if (program.find_first_of("\r\n") != std::string::npos || settingsFolder.find_first_of("\r\n") != std::string::npos)
        return "the program's or the settings folder's path holds a line break";
    fs::create_directories(folder, ec);
    if (ec) return "cannot create " + folder + ": " + ec.message();
    const AtomicWriteResult written = ReplaceFileAtomically(file.string(), AutostartEntry(program, settingsFolder));
    if (!written.ok()) return "cannot write " + file.string() + ": " + std::strerror(written.err);
    return std::string();
}

}  // namespace zelmar
