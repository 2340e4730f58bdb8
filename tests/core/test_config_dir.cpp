#include <gtest/gtest.h>

#include <sys/stat.h>

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
