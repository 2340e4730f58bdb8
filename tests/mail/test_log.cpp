// Operation log: tree rules, name normalisation and the three rendered forms.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "mail/base/logger.h"

using namespace zelmar::mail;

namespace {
std::string xmlOf(Logger& log) {
    StringBuffer sb;
    log.getXml(sb);
    return sb.str();
}
}  // namespace

TEST(LoggerTree, NewAndClearedLogRenderEmptyRoot) {
    Logger log;
    EXPECT_EQ(xmlOf(log), "<MailLog>\r\n</MailLog>\r\n");
    log.enterContext("SendEmail", 1);
    log.logInfo("x");
    log.clearLog();
    EXPECT_EQ(xmlOf(log), "<MailLog>\r\n</MailLog>\r\n");
    EXPECT_EQ(log.contextDepth(), 1u);
}

TEST(LoggerTree, DataNameIsTrimmedAndInnerSpacesBecomeUnderscores) {
    Logger log;
    EXPECT_TRUE(log.logData(" retry count ", "3"));
    EXPECT_EQ(xmlOf(log), "<MailLog>\r\n<retry_count>3</retry_count>\r\n</MailLog>\r\n");
    EXPECT_EQ(normalizeLogName("\t\r\nA B C \n"), "A_B_C");
}

TEST(LoggerTree, EmptyNameOrNullValueLogsNothing) {
    Logger log;
    EXPECT_FALSE(log.logData("  ", "v"));
    EXPECT_FALSE(log.logData("n", nullptr));
    EXPECT_FALSE(log.logData(nullptr, "v"));
    EXPECT_FALSE(log.logDataLong(" \t", 5));
    EXPECT_FALSE(log.logDataHex("", 5));
    EXPECT_TRUE(log.logError(nullptr));  // ignored, still true
    EXPECT_EQ(xmlOf(log), "<MailLog>\r\n</MailLog>\r\n");
}

TEST(LoggerTree, EmptyValueStillWritesItsTags) {
    Logger log;
    log.enterContext("AddTo", 1);
    log.logData("DllDate", "Jan  1 2026");
    log.logData("name", "");
    log.leaveContext();
    EXPECT_EQ(xmlOf(log),
              "<MailLog>\r\n<AddTo>\r\n<DllDate>Jan  1 2026</DllDate>\r\n<name></name>\r\n</AddTo>\r\n</MailLog>\r\n");
}

// A context opened without a name (null or empty) writes nothing, in no form.
TEST(LoggerTree, ContextWithoutNameWritesNothing) {
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        Logger log;
        log.enterContext("Send", 1);
        log.enterContext(name, 1);
        log.logInfo("inside");
        log.leaveContext();
        log.logInfo("after");
        log.leaveContext();
        EXPECT_EQ(xmlOf(log), "<MailLog>\r\n<Send>\r\n<info>after</info>\r\n</Send>\r\n</MailLog>\r\n");
        StringBuffer html, text;
        log.getHtml(html);
        log.getText(text);
        EXPECT_EQ(html.str(), "MailLog:<blockquote>\r\nSend:<blockquote>\r\nafter<br>\r\n</blockquote>\r\n</blockquote>\r\n");
        EXPECT_EQ(text.str(), "MailLog:\r\n  Send:\r\n    after\r\n");
    }
}

TEST(LoggerTree, NestedEmptyContextRemovedOnLeaveButNotUnderRoot) {
    Logger log;
    log.enterContext("Outer", 1);
    log.enterContext("Inner", 1);
    log.leaveContext();  // Inner had nothing: removed
    log.leaveContext();  // Outer is now empty but sits under the root: kept
    EXPECT_EQ(xmlOf(log), "<MailLog>\r\n<Outer>\r\n</Outer>\r\n</MailLog>\r\n");
}

TEST(LoggerTree, NonEmptyNestedContextStays) {
    Logger log;
    log.enterContext("Outer", 1);
    log.enterContext("Inner", 1);
    log.logError("boom");
    log.leaveContext();
    log.leaveContext();
    EXPECT_EQ(xmlOf(log), "<MailLog>\r\n<Outer>\r\n<Inner>\r\n<error>boom</error>\r\n</Inner>\r\n</Outer>\r\n</MailLog>\r\n");
}

TEST(LoggerTree, LeaveWithOnlyRootChangesNothing) {
    Logger log;
    log.logInfo("a");
    const std::string before = xmlOf(log);
    log.leaveContext();
    log.leaveContext();
    EXPECT_EQ(xmlOf(log), before);
    EXPECT_EQ(log.contextDepth(), 1u);
    log.logInfo("b");  // still appends under the root
    EXPECT_EQ(xmlOf(log), "<MailLog>\r\n<info>a</info>\r\n<info>b</info>\r\n</MailLog>\r\n");
}

TEST(LoggerTree, ContextGuardClosesOnScopeExit) {
    Logger log;
    {
        LogContextGuard g(log, "op");
        log.logInfo("i");
        EXPECT_EQ(log.contextDepth(), 2u);
    }
    EXPECT_EQ(log.contextDepth(), 1u);
}

struct WrapCase {
    const char* value;
    const char* want;
};

class XmlWrapping : public ::testing::TestWithParam<WrapCase> {};

TEST_P(XmlWrapping, CdataRule) {
    Logger log;
    log.logData("x", GetParam().value);
    EXPECT_EQ(xmlOf(log), std::string("<MailLog>\r\n<x>") + GetParam().want + "</x>\r\n</MailLog>\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Values, XmlWrapping,
    ::testing::Values(WrapCase{"ab", "ab"}, WrapCase{"a<b", "<![CDATA[a<b]]>"}, WrapCase{"a>b", "<![CDATA[a>b]]>"},
                      WrapCase{"a&b", "<![CDATA[a&b]]>"}, WrapCase{"a\tb", "<![CDATA[a\tb]]>"},
                      WrapCase{"a\nb", "<![CDATA[a\nb]]>"}, WrapCase{"a\rb", "a\rb"},
                      // Text that brings its own section is escaped like any other.
                      WrapCase{"<![CDATA[q<]]>", "<![CDATA[<![CDATA[q<]]]]><![CDATA[>]]>"},
                      // A lone "]]>" is split so the section cannot end early.
                      WrapCase{"x]]>y", "<![CDATA[x]]]]><![CDATA[>y]]>"}));

// Hostile server replies in the saved log, read back by Python's XML
// parser: the file stays well-formed, the reply stays text (no element of
// its making), and what XML cannot hold reads as U+FFFD.
struct HostileCase {
    const char* name;
    std::string value;
    std::string readBack;
};

class XmlHostileText : public ::testing::TestWithParam<HostileCase> {};

TEST_P(XmlHostileText, ReadsBackAsTextOnly) {
    const HostileCase& c = GetParam();
    Logger log;
    log.logData("x", c.value.c_str());
    char path[] = "/tmp/zelmar-log-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_TRUE(log.saveXml(path));
    const std::string cmd = std::string("/usr/bin/python3 -c 'import sys, xml.etree.ElementTree as E; "
                                        "x = E.parse(sys.argv[1]).getroot().find(\"x\"); "
                                        "sys.stdout.buffer.write(b\"%d:\" % len(list(x)) + (x.text or \"\").encode())' ") +
                            path + " 2>&1";
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[512];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        ::pclose(p);
    }
    std::remove(path);
    EXPECT_EQ(out, "0:" + c.readBack) << c.name;
}

const std::string kFffd = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Replies, XmlHostileText,
    ::testing::Values(
        HostileCase{"CdataBreakout", "550 <![CDATA[ x ]]><script>alert(1)</script><![CDATA[ y ]]>",
                    "550 <![CDATA[ x ]]><script>alert(1)</script><![CDATA[ y ]]>"},
        HostileCase{"ControlCharacters", std::string("550 a\x01" "b\x1B[31mc\x0C" "d"), "550 a" + kFffd + "b" + kFffd + "[31mc" + kFffd + "d"},
        HostileCase{"InvalidUtf8", "550 \xFF\xC3(\xE2\x82 ok", "550 " + kFffd + kFffd + "(" + kFffd + kFffd + " ok"},
        HostileCase{"OverlongAndSurrogate", "550 \xC0\xBC \xED\xA0\x80", "550 " + kFffd + kFffd + " " + kFffd + kFffd + kFffd},
        HostileCase{"ValidUtf8Kept", "550 Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x93\xA7 <x>", "550 Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x93\xA7 <x>"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoggerForms, ErrorInfoTextAndNumbers) {
    Logger log;
    log.enterContext("Op", 1);
    log.logError("bad <thing>");
    log.logInfo("fine");
    log.logText("raw <text>");
    log.logDataLong("n", -42);
    log.logDataInt64("big", 0xFFFFFFFFu, 0xFFFFFFFFu);
    log.logDataInt64("big2", std::int64_t{1} << 40);
    log.logDataHex("h", 0xBEEFu);
    log.leaveContext();
    EXPECT_EQ(xmlOf(log),
              "<MailLog>\r\n<Op>\r\n<error><![CDATA[bad <thing>]]></error>\r\n<info>fine</info>\r\n"
              "raw <text>\r\n<n>-42</n>\r\n<big>-1</big>\r\n<big2>1099511627776</big2>\r\n<h>beef</h>\r\n"
              "</Op>\r\n</MailLog>\r\n");

    StringBuffer html;
    html.append("stale");
    log.getHtml(html);
    EXPECT_EQ(html.str(),
              "MailLog:<blockquote>\r\nOp:<blockquote>\r\nbad &lt;thing&gt;<br>\r\nfine<br>\r\nraw &lt;text&gt;<br>\r\n"
              "n: -42<br>\r\nbig: -1<br>\r\nbig2: 1099511627776<br>\r\nh: beef<br>\r\n</blockquote>\r\n</blockquote>\r\n");

    StringBuffer text;
    log.getText(text);
    EXPECT_EQ(text.str(),
              "MailLog:\r\n  Op:\r\n    bad <thing>\r\n    fine\r\n    raw <text>\r\n    n: -42\r\n    big: -1\r\n"
              "    big2: 1099511627776\r\n    h: beef\r\n");
}

TEST(LoggerForms, HtmlEscapesAmpersandFirst) {
    Logger log;
    log.logData("v", "&lt;\"");
    StringBuffer html;
    log.getHtml(html);
    EXPECT_EQ(html.str(), "MailLog:<blockquote>\r\nv: &amp;lt;&quot;<br>\r\n</blockquote>\r\n");
}

TEST(LoggerSlots, WindowsErrorMapsErrnoText) {
    Logger log;
    log.logWindowsError(0);
    EXPECT_EQ(xmlOf(log), "<MailLog>\r\n</MailLog>\r\n");
    log.logWindowsError(ENOENT);
    EXPECT_EQ(xmlOf(log), "<MailLog>\r\n<WindowsError>No such file or directory</WindowsError>\r\n</MailLog>\r\n");
}

TEST(LoggerSlots, TickCountIsLowerHex) {
    Logger log;
    log.logTickCount("t 0");
    std::string x = xmlOf(log);
    ASSERT_EQ(x.rfind("<MailLog>\r\n<t_0>", 0), 0u) << x;
    std::string v = x.substr(16, x.find("</t_0>") - 16);
    EXPECT_FALSE(v.empty());
    EXPECT_EQ(v.find_first_not_of("0123456789abcdef"), std::string::npos) << v;
}

TEST(LoggerSlots, BaseAndNullLogsKeepNothing) {
    LogNull null;
    LogBase& base = null;
    EXPECT_TRUE(base.logError("e"));
    EXPECT_TRUE(base.enterContext("c", 1));
    StringBuffer sb("keep");
    base.getXml(sb);
    EXPECT_EQ(sb.str(), "keep");  // render slots of the base leave the buffer alone
}

TEST(LoggerSave, WritesExactBytesAndReportsFailure) {
    Logger log;
    log.logData("a", "1");
    std::string path = ::testing::TempDir() + "zelmar_log_save.xml";
    ASSERT_TRUE(log.saveXml(path.c_str()));
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    EXPECT_EQ(ss.str(), "<MailLog>\r\n<a>1</a>\r\n</MailLog>\r\n");
    std::remove(path.c_str());
    EXPECT_FALSE(log.saveXml(""));
    EXPECT_FALSE(log.saveXml(nullptr));
    EXPECT_FALSE(log.saveXml("/nonexistent-dir/x/y.xml"));
}

TEST(LoggerConcurrency, ParallelWritersLoseNothing) {
    Logger log;
    auto worker = [&] {
        for (int i = 0; i < 500; ++i) log.logInfo("x");
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    StringBuffer text;
    log.getText(text);
    std::size_t lines = 0;
    for (std::size_t p = 0; (p = text.str().find("  x\r\n", p)) != std::string::npos; ++p) ++lines;
    EXPECT_EQ(lines, 1000u);
}
