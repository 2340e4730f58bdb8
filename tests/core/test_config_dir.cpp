#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <string>

#include "app/core/config_dir.h"
#include "tests/support/peer_process.h"

using namespace zelmar;
using zelmar::test::ReadFile;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;

namespace {

TEST(SettingsFolder, UserFolderFollowsTheXdgRules) {
    struct Case {
        const char* xdg;
        const char* home;
        std::string expected;
    } cases[] = {
        {"/x/conf", "/home/u", "/x/conf/zelmar"},
        {"/x/conf/", "/home/u", "/x/conf/zelmar"},
        {nullptr, "/home/u", "/home/u/.config/zelmar"},
        {"", "/home/u", "/home/u/.config/zelmar"},
        {"relative/conf", "/home/u", "/home/u/.config/zelmar"},  // a relative value is ignored
        {nullptr, nullptr, ""},
        {nullptr, "home/u", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UserSettingsFolder(c.xdg, c.home), c.expected) << (c.xdg ? c.xdg : "(unset)");
}

TEST(SettingsFolder, ChoiceOrder) {
    ScratchDir dir;
    const std::string start = dir / "start", conf = dir / "conf";
    ASSERT_EQ(::mkdir(start.c_str(), 0755), 0);
    // A start folder without settings: the user folder, made with mode 0700.
    SettingsFolderChoice c = ChooseSettingsFolder("", false, start, conf.c_str(), "/nonexistent");
    EXPECT_EQ(c.folder, conf + "/zelmar");
    EXPECT_TRUE(c.created);
    struct stat st {};
    ASSERT_EQ(::stat(c.folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_FALSE(ChooseSettingsFolder("", false, start, conf.c_str(), nullptr).created);  // made once

    // A start folder holding "Zelmar.ini" keeps it, unless the user folder is asked for.
    WriteFile(start + "/Zelmar.ini", "");
    EXPECT_EQ(ChooseSettingsFolder("", false, start, conf.c_str(), nullptr).folder, start);
    EXPECT_EQ(ChooseSettingsFolder("", true, start, conf.c_str(), nullptr).folder, conf + "/zelmar");
    // --config-dir wins over both, relative to the start folder.
    c = ChooseSettingsFolder("elsewhere/", false, start, conf.c_str(), nullptr);
    EXPECT_EQ(c.folder, start + "/elsewhere");
    EXPECT_TRUE(c.created);
    EXPECT_EQ(ChooseSettingsFolder(dir.path(), false, start, conf.c_str(), nullptr).folder, dir.path());

    // A file in the way is refused with a message.
    WriteFile(dir / "afile", "");
    c = ChooseSettingsFolder(dir / "afile", false, start, nullptr, nullptr);
    EXPECT_NE(c.error.find("not a folder"), std::string::npos) << c.error;
    EXPECT_FALSE(ChooseSettingsFolder("", true, start, nullptr, nullptr).error.empty());
}

TEST(SettingsFolder, TemplatesAreCopiedWithoutOverwriting) {
    ScratchDir dir;
    ASSERT_EQ(::mkdir((dir / "installed").c_str(), 0755), 0);
    WriteFile(dir / "installed/online.htm", "installed online");
    WriteFile(dir / "installed/mail.txt", "installed mail");
    ASSERT_EQ(::mkdir((dir / "conf").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir / "conf/samples").c_str(), 0700), 0);
    WriteFile(dir / "conf/samples/mail.txt", "my own mail");
    CopyDefaultTemplates(dir / "installed", dir / "conf");
    EXPECT_EQ(ReadFile(dir / "conf/samples/online.htm"), "installed online");
    EXPECT_EQ(ReadFile(dir / "conf/samples/mail.txt"), "my own mail");
    CopyDefaultTemplates(dir / "missing", dir / "conf2");  // nothing installed: nothing made
    struct stat st {};
    EXPECT_NE(::stat((dir / "conf2").c_str(), &st), 0);
}

}  // namespace

namespace {

// Settings others could have written name commands that would run as us.
struct TrustCase {
    const char* name;
    mode_t folderMode;
    mode_t iniMode;
    uid_t iniOwner;  // 0: ours
    const char* trusted;
    const char* doubt;  // in the refusal; nullptr: used
} const kTrustCases[] = {
    {"private", 0700, 0600, 0, nullptr, nullptr},
    {"readable_by_all", 0755, 0644, 0, nullptr, nullptr},
    {"folder_writable_by_all_and_sticky", 01777, 0600, 0, nullptr, "the folder may be written by anyone (mode 1777)"},
    {"folder_writable_by_its_group", 0770, 0600, 0, nullptr, "the folder may be written by its group"},
    {"file_writable_by_all", 0700, 0666, 0, nullptr, "Zelmar.ini may be written by anyone"},
    {"file_of_another_user", 0755, 0644, 65534, nullptr, "Zelmar.ini belongs to"},
    {"trusted_by_the_environment", 01777, 0666, 0, "/elsewhere:%s", nullptr},
    {"trusted_everywhere", 01777, 0666, 0, "*", nullptr},
};

class SettingsTrust : public ::testing::TestWithParam<TrustCase> {};

TEST_P(SettingsTrust, AFolderOthersCouldWriteIsRefusedWithHowToAllowIt) {
    const TrustCase& c = GetParam();
    if (c.iniOwner != 0 && ::geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
    ScratchDir dir;
    const std::string ini = dir / "Zelmar.ini";
    WriteFile(ini, "[Preferences]\n");
    ASSERT_EQ(::chmod(dir.path().c_str(), c.folderMode) | ::chmod(ini.c_str(), c.iniMode), 0);
    ASSERT_EQ(c.iniOwner != 0 ? ::chown(ini.c_str(), c.iniOwner, c.iniOwner) : 0, 0);
    char trusted[256] = {};
    if (c.trusted) std::snprintf(trusted, sizeof trusted, c.trusted, dir.path().c_str());
    const std::string reason = UntrustedSettingsReason(dir.path(), c.trusted ? trusted : nullptr);
    ASSERT_EQ(reason.empty(), c.doubt == nullptr) << reason;
    if (!c.doubt) return;
    EXPECT_NE(reason.find(c.doubt), std::string::npos) << reason;
    EXPECT_NE(reason.find("ZELMAR_TRUSTED_FOLDERS=" + dir.path()), std::string::npos) << reason;
}

INSTANTIATE_TEST_SUITE_P(Modes, SettingsTrust, ::testing::ValuesIn(kTrustCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
