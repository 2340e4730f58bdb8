// The text rules of the notification e-mail: the working copy's name, the
// recipient list, the HTML test, and the recipient list read back whole.
#include <gtest/gtest.h>

#include <unistd.h>

#include "app/core/ini_file.h"
#include "app/core/settings.h"
#include "app/notify/notification_email.h"
#include "tests/support/peer_process.h"

using namespace zelmar;

struct WorkingCopyCase {
    const char* messageFile;
    const char* workingCopy;
};

class WorkingCopy : public ::testing::TestWithParam<WorkingCopyCase> {};

TEST_P(WorkingCopy, DollarGoesBeforeTheExtensionOfTheLastComponent) {
    EXPECT_EQ(MailWorkingCopyPath(GetParam().messageFile), GetParam().workingCopy);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, WorkingCopy,
    ::testing::Values(WorkingCopyCase{"C:\\Mail\\ip.txt", "C:\\Mail\\ip$.txt"},
                      WorkingCopyCase{"C:\\Mail\\ip", "C:\\Mail\\ip$"},
                      WorkingCopyCase{"C:\\Mail\\note", "C:\\Mail\\note$"},
                      WorkingCopyCase{"/home/ann/mail/ip.txt", "/home/ann/mail/ip$.txt"},
                      // A dot in a folder name is not the extension.
                      WorkingCopyCase{"/home/ann.b/mail/note", "/home/ann.b/mail/note$"},
                      WorkingCopyCase{"C:\\My.Mail\\note", "C:\\My.Mail\\note$"},
                      WorkingCopyCase{"samples/ip.tar.gz", "samples/ip$.tar.gz"},
                      WorkingCopyCase{"ip.txt", "ip$.txt"},
                      // A leading dot at position 0 counts as no extension.
                      WorkingCopyCase{".mailrc", ".mailrc$"},
                      WorkingCopyCase{"", "$"}));

struct SplitCase {
    const char* list;
    std::vector<std::string> pieces;
};

class Recipients : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Recipients, SplitAtSemicolonsSkippingEmptyPieces) {
    EXPECT_EQ(SplitRecipients(GetParam().list), GetParam().pieces);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, Recipients,
    ::testing::Values(SplitCase{"", {}}, SplitCase{";;;", {}}, SplitCase{"a@x.example", {"a@x.example"}},
                      SplitCase{"a@x.example;;b@y.example;", {"a@x.example", "b@y.example"}},
                      // Blanks stay: the mail component trims each address.
                      SplitCase{" a@x.example ; b@y.example", {" a@x.example ", " b@y.example"}},
                      SplitCase{";a@x.example", {"a@x.example"}}));

TEST(Recipients, ListsLongerThan255CharactersAreSplitWhole) {
    std::string list;
    std::vector<std::string> expected;
    for (int i = 0; i < 120; ++i) {
        const std::string a = "recipient" + std::to_string(i) + "@example.com.au";
        list += a + ";";
        expected.push_back(a);
    }
    ASSERT_GT(list.size(), 2000u);
    EXPECT_EQ(SplitRecipients(list), expected);
}

TEST(HtmlMessage, OnlyTheTwoExactSpellingsCount) {
    EXPECT_TRUE(IsHtmlMessage("x <HTML> y"));
    EXPECT_TRUE(IsHtmlMessage("<html><body>x</body></html>"));
    EXPECT_FALSE(IsHtmlMessage("<Html><body>x</body></Html>"));
    EXPECT_FALSE(IsHtmlMessage("<html lang=en>"));
    EXPECT_FALSE(IsHtmlMessage(""));
}

TEST(RecipientSetting, ALongListIsReadBackWhole) {
    test::ScratchDir dir;
    IniFile ini(dir / "Zelmar.ini");
    std::string list;
    while (list.size() < 2000) list += "joe" + std::to_string(list.size()) + "@example.com.au;";
    ASSERT_TRUE(ini.WriteString(kLocalSettings, "FTPServer", std::string("ftp.example.com")));
    ASSERT_TRUE(ini.WriteString(kPreferences, "EmailTo", list));
    Settings s;
    ASSERT_TRUE(LoadSettings(ini, s, "k"));
    EXPECT_EQ(s.EmailTo, list);
}

// A stored recipient list longer than the limit is cut at a ";" only, and
// the recipients beyond it are counted; a list of exactly the limit stays.
struct CutCase {
    const char* what;
    std::string list;
    std::string kept;
    int leftOut;
};

class RecipientCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(RecipientCut, AtASemicolonOnly) {
    int leftOut = -1;
    EXPECT_EQ(CutRecipientList(GetParam().list, 20, leftOut), GetParam().kept);
    EXPECT_EQ(leftOut, GetParam().leftOut);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, RecipientCut,
    ::testing::Values(CutCase{"ExactlyTheLimit", "aaaa@x.test;bbb@x.tt", "aaaa@x.test;bbb@x.tt", 0},
                      CutCase{"OnePastCutsTheLastAddress", "aaaa@x.test;bbb@x.ttt", "aaaa@x.test", 1},
                      CutCase{"SemicolonRightAfterTheLimit", "aaaa@x.test;bbb@x.tt;c@x;;d@x;", "aaaa@x.test;bbb@x.tt", 2},
                      CutCase{"OneLongAddress", "aaaaaaaaaaaaaaaaaaaaaaaa@x.test;b@x", "", 2}),
    [](const auto& info) { return std::string(info.param.what); });

// A message file read as text: LF and CR LF become CR LF; nothing else moves.
TEST(MailText, LineEndsBecomeCrLf) {
    EXPECT_EQ(MailTextLineBreaks("a\nb\r\nc\rd\n\n"), "a\r\nb\r\nc\rd\r\n\r\n");
    EXPECT_EQ(MailTextLineBreaks("no break"), "no break");
    EXPECT_EQ(MailTextLineBreaks("\n"), "\r\n");
}

// Working copies registered while a mail is made are removed by an exit
// that does not let the worker finish.
TEST(MailText, WorkingCopiesGoAtASignalExit) {
    zelmar::test::ScratchDir dir;
    const std::string copy = dir / "ip$.txt";
    zelmar::test::WriteFile(copy, "addresses");
    RegisterWorkingCopy(copy);
    RemoveWorkingCopies();
    EXPECT_NE(::access(copy.c_str(), F_OK), 0);
    zelmar::test::WriteFile(copy, "addresses");
    RegisterWorkingCopy(copy);
    ForgetWorkingCopy(copy);  // deleted by the worker itself: not touched again
    RemoveWorkingCopies();
    EXPECT_EQ(::access(copy.c_str(), F_OK), 0);
}
