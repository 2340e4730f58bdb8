#include "app/core/config_dir.h"
#include "app/core/messages.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace zelmar {

namespace fs = std::filesystem;

namespace {
bool Absolute(const char* path) { return path != nullptr && path[0] == '/'; }

std::string UserName(uid_t uid) {
    passwd pw{}, *found = nullptr;
    char buf[1024];
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found) return found->pw_name;
    return "uid " + std::to_string(uid);
}

bool Trusted(const std::string& folder, const char* trusted) {
    if (!trusted) return false;
    const std::string list = trusted;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t colon = std::min(list.find(':', start), list.size());
        std::string item = list.substr(start, colon - start);
        start = colon + 1;
        if (item == "*") return true;
        if (item.empty()) continue;
        std::error_code ec;
        if (item == folder || fs::equivalent(item, folder, ec)) return true;
    }
    return false;
}

// What is wrong with one file or folder, or empty.
std::string Doubt(const std::string& what, const struct stat& st) {
    if (st.st_uid != ::geteuid())
        return Text<Msg::NotYours>(what, UserName(st.st_uid), UserName(::geteuid()));
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return Text<Msg::WritableByOthers>(what, (st.st_mode & S_IWOTH) ? "anyone" : "its group", mode);
    }
    return {};
}
}  // namespace

std::string UntrustedSettingsReason(const std::string& folder, const char* trusted) {
    struct stat st {};
    std::string doubt;
    if (::stat(folder.c_str(), &st) == 0) doubt = Doubt("the folder", st);
    // The file as it is read: through a link, its target.
    if (doubt.empty() && ::stat((fs::path(folder) / "Zelmar.ini").c_str(), &st) == 0)
        doubt = Doubt("Zelmar.ini", st);
    if (doubt.empty() || Trusted(folder, trusted)) return {};
    return Text<Msg::UntrustedSettings>(folder, doubt, kTrustedFoldersVariable, folder);
}

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
    if (std::string reason = UntrustedSettingsReason(c.folder, std::getenv(kTrustedFoldersVariable)); !reason.empty())
        return reason;
    if (!fs::exists(fs::path(c.folder) / "Zelmar.ini", ec)) CopyDefaultTemplates(InstalledTemplatesFolder(), c.folder);
    if (::chdir(c.folder.c_str()) != 0) return Text<Msg::CannotUseFolder>(c.folder, std::strerror(errno));
    return std::string();
}

}  // namespace zelmar
