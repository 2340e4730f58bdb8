#include "app/core/config_dir.h"
#include "app/core/messages.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace zelmar {

namespace fs = std::filesystem;

namespace {
bool Absolute(const char* path) { return path != nullptr && path[0] == '/'; }
}  // namespace

std::string UserSettingsFolder(const char* xdgConfigHome, const char* home) {
    if (Absolute(xdgConfigHome)) return (fs::path(xdgConfigHome) / "zelmar").lexically_normal().string();
    if (Absolute(home)) return (fs::path(home) / ".config" / "zelmar").lexically_normal().string();
    return std::string();
}

SettingsFolderChoice ChooseSettingsFolder(const std::string& explicitFolder, bool userFolderOnly,
                                          const std::string& startFolder, const char* xdgConfigHome,
                                          const char* home) {
    SettingsFolderChoice c;
    if (!explicitFolder.empty()) {
        fs::path p(explicitFolder);
        if (p.is_relative()) p = fs::path(startFolder) / p;
        c.folder = p.lexically_normal().string();
        if (c.folder.size() > 1 && c.folder.back() == '/') c.folder.pop_back();
    } else {
        std::error_code ec;
        if (!userFolderOnly && !startFolder.empty() && fs::is_regular_file(fs::path(startFolder) / "Zelmar.ini", ec))
            return SettingsFolderChoice{startFolder, std::string(), false};
        c.folder = UserSettingsFolder(xdgConfigHome, home);
        if (c.folder.empty()) {
            c.error = Text<Msg::NoSettingsFolder>();
            return c;
        }
    }
    std::error_code ec;
    if (fs::is_directory(c.folder, ec)) return c;
    c.error = MakeSettingsFolder(c.folder);
    c.created = c.error.empty();
    return c;
}

std::string MakeSettingsFolder(const std::string& folder) {
    const fs::path p(folder);
    std::error_code ec;
    if (p.has_parent_path() && p.parent_path() != p) {
        fs::create_directories(p.parent_path(), ec);
        if (ec) return Text<Msg::CannotCreateFolder>(p.parent_path().string(), ec.message());
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return Text<Msg::CannotCreateFolder>(folder, std::strerror(errno));
    if (!fs::is_directory(p, ec)) return Text<Msg::NotAFolder>(folder);
    return std::string();
}

void CopyDefaultTemplates(const std::string& templatesFolder, const std::string& folder) {
    std::error_code ec;
    if (templatesFolder.empty() || !fs::is_directory(templatesFolder, ec)) return;
    const fs::path target = fs::path(folder) / "samples";
    fs::create_directories(target, ec);
    if (ec) return;
    for (const auto& entry : fs::directory_iterator(templatesFolder, ec)) {
        if (!entry.is_regular_file(ec)) continue;
        // skip_existing: a template the user already edited stays theirs.
        fs::copy_file(entry.path(), target / entry.path().filename(), fs::copy_options::skip_existing, ec);
    }
}

std::string InstalledTemplatesFolder() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec || self.empty()) return std::string();
    return (self.parent_path() / ".." / "share" / "zelmar" / "samples").lexically_normal().string();
}

std::string EnterSettingsFolder(const std::string& explicitFolder, bool userFolderOnly) {
    std::string start;
    if (char* cwd = ::getcwd(nullptr, 0)) {
        start = cwd;
        std::free(cwd);
    }
    const SettingsFolderChoice c =
        ChooseSettingsFolder(explicitFolder, userFolderOnly, start, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
    if (!c.error.empty()) return c.error;
    std::error_code ec;
    if (!fs::exists(fs::path(c.folder) / "Zelmar.ini", ec)) CopyDefaultTemplates(InstalledTemplatesFolder(), c.folder);
    if (::chdir(c.folder.c_str()) != 0) return Text<Msg::CannotUseFolder>(c.folder, std::strerror(errno));
    return std::string();
}

}  // namespace zelmar
