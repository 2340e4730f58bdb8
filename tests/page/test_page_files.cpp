// The status page's files under the shared reader and writer: templates that
// are no regular file are refused at once (a FIFO would block for ever), and
// a page whose flush fails late keeps the previous page.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "app/core/atomic_file.h"
#include "app/core/core.h"
#include "tests/support/fake_host.h"
#include "tests/support/page_support.h"
#include "tests/support/peer_process.h"

using namespace zelmar;
using zelmar::test::FakeHost;
using zelmar::test::ReadFile;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;
namespace fs = std::filesystem;

namespace {

class PageFiles : public ::testing::Test {
protected:
    void SetUp() override { WriteFile(dir / "Online.txt", "previous page"); }
    int Generate(const std::string& templatePath) {
        return zelmar::test::GeneratePageOf(core, {"203.0.113.7", {}, {}, {}}, templatePath, "Online.txt");
    }
    void TearDown() override { SetAtomicFileSeams({}); }

    ScratchDir dir;
    FakeHost host;
    Core core{host, dir.path(), dir / "Zelmar.ini", "key"};
};

TEST_F(PageFiles, TemplateThatIsNoRegularFileIsRefusedAtOnce) {
    ASSERT_EQ(::mkfifo((dir / "fifo.htm").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "zero.htm");
    for (const char* name : {"fifo.htm", "zero.htm"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Generate(name), -1);
        ASSERT_FALSE(host.messages.empty());
        const std::string message = host.messages.back().Line();
        EXPECT_EQ(message.rfind("P10007 ", 0), 0u) << message;
        EXPECT_NE(message.find(name), std::string::npos) << message;
        EXPECT_NE(message.find("not a regular file"), std::string::npos) << message;
        EXPECT_EQ(ReadFile(dir / "Online.txt"), "previous page");
    }
}

TEST_F(PageFiles, FlushThatFailsLateKeepsThePreviousPageAndEndsTheBlock) {
    WriteFile(dir / "t.htm", "page %S");
    AtomicFileSeams seams;
    seams.failFsync = [](const std::string& path) {
        return path == "Online.txt" || path.ends_with("/Online.txt") ? EIO : 0;
    };
    SetAtomicFileSeams(seams);
    EXPECT_EQ(Generate("t.htm"), 1);
    EXPECT_EQ(ReadFile(dir / "Online.txt"), "previous page");
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, kDiskWriteErrorText);
    EXPECT_EQ(host.boxes[0].icon, MbIcon::Stop);
    // The copies after the failed file are skipped, and no temp is left.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Online.txt", "t.htm"}));
}

TEST_F(PageFiles, ReadOnlyPageIsLeftAloneEvenForTheSuperuser) {
    WriteFile(dir / "t.htm", "page %S");
    ::chmod((dir / "Online.txt").c_str(), 0444);
    core.EditSettings([](Settings& s) { s.SuppressError = 1; });
    EXPECT_EQ(Generate("t.htm"), 1);
    EXPECT_EQ(ReadFile(dir / "Online.txt"), "previous page");
    // The copies still follow.
    EXPECT_EQ(ReadFile(dir / "Zelmar.html"), "page Online");
}

}  // namespace
