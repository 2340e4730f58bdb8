// The XDG autostart entry that starts this program with the desktop session
// ("Start Zelmar when I log in" on Advanced Options): a desktop entry in
// $XDG_CONFIG_HOME/autostart (~/.config/autostart) that runs the program
// with the settings folder in use, so a login start finds the same settings.
// No Qt here: the page only calls these.
#pragma once

#include <string>

namespace zelmar {

inline constexpr const char* kAutostartFileName = "zelmar.desktop";

// $XDG_CONFIG_HOME/autostart, or $HOME/.config/autostart; empty when neither
// gives an absolute path.
std::string AutostartFolder(const char* xdgConfigHome, const char* home);

// One argument of an Exec line, quoted by the Desktop Entry rules: in double
// quotes, with ", `, $ and \ escaped, then every \ doubled for the value
// string, and % written %%.
std::string QuoteExecArgument(const std::string& argument);

// The entry's text: Exec runs program with --config-dir settingsFolder.
std::string AutostartEntry(const std::string& program, const std::string& settingsFolder);

// Whether the folder holds an entry of ours that the session would start
// (not one marked Hidden=true).
bool AutostartEnabled(const std::string& folder);

// Writes (made with its folder when missing) or removes the entry. Returns
// an empty string or why it failed.
std::string SetAutostart(const std::string& folder, bool on, const std::string& program,
                         const std::string& settingsFolder);

}  // namespace zelmar
