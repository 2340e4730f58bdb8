// Which folder the program keeps its settings in, so that every way of
// starting it (menu, autostart, a user unit, a terminal) finds the same
// "Zelmar.ini":
//   1. the folder given with --config-dir DIR;
//   2. otherwise the folder it was started in, when that holds a "Zelmar.ini"
//      (settings kept next to the program the way they always were);
//   3. otherwise the per-user folder $XDG_CONFIG_HOME/zelmar (by default
//      ~/.config/zelmar), also chosen outright with --user-config.
// The chosen folder is made (mode 0700) when missing; a new one gets a copy
// of the installed page and mail templates so the first run points at them.
#pragma once

#include <string>

namespace zelmar {

struct SettingsFolderChoice {
    std::string folder;  // absolute; empty when none could be chosen
    std::string error;   // why not, or why the folder could not be made
    bool created = false;
};

// The per-user folder: $XDG_CONFIG_HOME/zelmar, or $HOME/.config/zelmar when
// XDG_CONFIG_HOME is unset, empty or relative (as the XDG rules ask).
// Empty when neither variable gives an absolute path.
std::string UserSettingsFolder(const char* xdgConfigHome, const char* home);

// Picks the folder by the rules above. explicitFolder: the --config-dir
// value (relative to startFolder), or empty. userFolderOnly: --user-config.
SettingsFolderChoice ChooseSettingsFolder(const std::string& explicitFolder, bool userFolderOnly,
                                          const std::string& startFolder, const char* xdgConfigHome,
                                          const char* home);

// Makes the folder (and its parents) when missing; the last part is made
// with mode 0700, as it will hold passwords. Returns an empty string or why
// it failed.
std::string MakeSettingsFolder(const std::string& folder);

// Copies the templates from templatesFolder (the installed
// share/zelmar/samples) into folder/samples, file by file, leaving any file
// already there alone. Does nothing when templatesFolder does not exist.
void CopyDefaultTemplates(const std::string& templatesFolder, const std::string& folder);

// The templates installed with the program: share/zelmar/samples beside the
// program's bin folder. Empty when the program's path is unknown.
std::string InstalledTemplatesFolder();

// The environment variable naming folders whose settings are used even
// though others could have written them ("*": every folder).
inline constexpr const char* kTrustedFoldersVariable = "ZELMAR_TRUSTED_FOLDERS";

// Why the settings in folder must not be used, in one line that says how to
// allow them; empty when they may be. Settings name commands to run (and
// where passwords go), so a folder or a "Zelmar.ini" (a link's target too)
// that belongs to another user, or that the group or others may write, is
// refused unless trusted (the ZELMAR_TRUSTED_FOLDERS value: folders
// separated by ':') names the folder.
std::string UntrustedSettingsReason(const std::string& folder, const char* trusted);

// For main(): chooses the folder, makes it when missing, gives a folder
// without "Zelmar.ini" the installed templates, refuses it when it cannot be
// trusted (see UntrustedSettingsReason) and makes it the current folder.
// Returns an empty string or why the program cannot go on.
std::string EnterSettingsFolder(const std::string& explicitFolder, bool userFolderOnly);

}  // namespace zelmar
