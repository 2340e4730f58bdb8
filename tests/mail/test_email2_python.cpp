// Every message we send must parse cleanly with an independent MIME parser
// and give back what went in: Python's email package (policy=default, no
// defects) over a table of generated messages with 8-bit and CJK text,
// HTML bodies, text and binary attachments and Bcc-only recipients.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "tests/mail/email2_fixture.h"
#include "tests/support/json_text.h"

using namespace zelmar::mail;
using namespace zelmar::mail::testing;
namespace fs = std::filesystem;

#ifndef ZELMAR_PY_CHECKER
#error "ZELMAR_PY_CHECKER must name the checker script"
#endif

namespace {

std::string json(std::string_view s) { return zelmar::test::JsonQuote(s); }

std::string hex(std::string_view s) {
    static const char* d = "0123456789abcdef";
    std::string o;
    for (unsigned char c : s) {
        o.push_back(d[c >> 4]);
        o.push_back(d[c & 15]);
    }
    return o;
}

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

// A long text with lines of every length around the soft-break limit,
// dots and "From " at line starts, trailing blanks.
std::string awkwardText(std::string_view word) {
    std::string s;
    for (int i = 0; i < 90; i += 7) {
        std::string line;
        while (line.size() < static_cast<std::size_t>(i)) line += word;
        s += (i % 3 == 0 ? "." : i % 3 == 1 ? "From " : "") + line + (i % 2 ? " " : "") + "\r\n";
    }
    return s;
}

struct RoundCase {
    const char* label;
    MessageSpec spec;
    std::string fromName, fromAddr;
};

MessageSpec base(std::string subject, std::string body) {
    MessageSpec s;
    s.subject = std::move(subject);
    s.body = std::move(body);
    s.to = {{"", "a@x.test"}, {"Bob B", "b@x.test"}};
    s.from = "Zelmar <z@x.test>";
    return s;
}

std::vector<RoundCase> cases() {
    const std::string cjk = "\xE4\xBD\xA0\xE5\xA5\xBD\xE4\xB8\x96\xE7\x95\x8C";          // 你好世界
    const std::string kana = "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF";  // こんにちは
    std::vector<RoundCase> v;
    v.push_back({"Ascii", base("IP changed", "Your address is 1.2.3.4\r\n"), "Zelmar", "z@x.test"});
    v.push_back({"AsciiLongLines", base("Lines", awkwardText("word ")), "Zelmar", "z@x.test"});
    v.push_back({"Latin1", base("Gr\xC3\xBC\xC3\x9F" "e", awkwardText("K\xC3\xB6ln ")), "Zelmar", "z@x.test"});
    v.push_back({"MixedLatin", base("Se\xC3\xB1or \xC5\x81ukasz", "Se\xC3\xB1or \xC5\x81ukasz\r\n"), "Zelmar",
                 "z@x.test"});
    v.push_back({"Chinese", base(cjk + " " + cjk + " " + cjk, awkwardText(cjk)), "Zelmar", "z@x.test"});
    v.push_back({"Japanese", base(kana, kana + "\r\n"), "Zelmar", "z@x.test"});
    v.push_back({"Cyrillic", base("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", "\xD0\x9C\xD0\xB8\xD1\x80\r\n"),
                 "Zelmar", "z@x.test"});
    {
        auto s = base("Html", "<p>Gr\xC3\xBC\xC3\x9F" "e &amp; " + cjk + "</p>");
        s.html = true;
        v.push_back({"HtmlUtf8", s, "Zelmar", "z@x.test"});
    }
    {
        auto s = base("Html", "<p>K\xC3\xB6ln</p>");
        s.html = true;
        v.push_back({"HtmlLatin1", s, "Zelmar", "z@x.test"});
    }
    {
        auto s = base("Page attached", "");
        s.attachName = "C:\\dir\\Online.txt";
        s.attachBytes = "IP 1.2.3.4\r\n.dot line\r\nFrom here\r\n";
        v.push_back({"TextAttachment", s, "Zelmar", "z@x.test"});
    }
    for (std::size_t n : {0u, 1u, 53u, 54u, 55u, 10000u}) {
        auto s = base("Bytes " + std::to_string(n), "");
        s.attachName = "blob" + std::to_string(n) + ".bin";
        s.attachBytes = randomBytes(n, static_cast<unsigned>(n) + 7);
        v.push_back({n == 54 ? "BinaryFullLine" : n == 10000 ? "BinaryLarge" : n == 0 ? "BinaryEmpty" : n == 1 ? "BinaryOne" : n == 53 ? "BinaryShort" : "BinaryLong",
                     s, "Zelmar", "z@x.test"});
    }
    {
        auto s = base(cjk, kana + "\r\n");
        s.attachName = "pic.png";
        s.attachBytes = randomBytes(3000, 3);
        s.to = {{"J\xC3\xBCrgen M\xC3\xBCller", "j@x.test"}};
        v.push_back({"AttachmentWithCjkBody", s, "Zelmar", "z@x.test"});
    }
    // Display names with a comma, quotes and address syntax are one phrase.
    for (const std::string name : {"\xC3\x9Cnal", "\xE4\xBD\xA0\xE5\xA5\xBD"}) {
        auto s = base("To", "Hi\r\n");
        s.to = {{name + ", Ay\xC5\x9F" "e", "ayse@example.test"}, {"Jo \"JJ\" " + name + " (x) <y>; =?q?=", "jo@x.test"}};
        v.push_back({name.size() == 5 ? "NamesWithCommasLatin" : "NamesWithCommasCjk", s, "Zelmar", "z@x.test"});
    }
    {
        auto s = base("Bcc only", "Hidden\r\n");
        s.to = {};
        s.bcc = {{"", "q@x.test"}};
        s.from = "\xC3\x89mile <e@x.test>";
        v.push_back({"BccOnlyLatinFrom", s, "\xC3\x89mile", "e@x.test"});
    }
    return v;
}

class PythonParses : public ::testing::TestWithParam<RoundCase> {};

TEST_P(PythonParses, WithoutDefectsAndGivesBackWhatWentIn) {
    const char* python = "/usr/bin/python3";
    if (access(python, X_OK) != 0) GTEST_SKIP() << "no " << python;
    const RoundCase& c = GetParam();
    auto m = buildMessage(c.spec);
    const std::string text = renderForSend(*m);

    std::string exp = "{\"name\": " + json(c.label) + ", \"subject\": " + json(c.spec.subject) + ", \"to\": [";
    for (std::size_t i = 0; i < c.spec.to.size(); ++i)
        exp += (i ? ", [" : "[") + json(c.spec.to[i].first) + ", " + json(c.spec.to[i].second) + "]";
    exp += "], \"from\": [" + json(c.fromName) + ", " + json(c.fromAddr) + "], \"html\": " +
           (c.spec.html ? "true" : "false") + ", \"body\": " + json(c.spec.body) + ", \"attachments\": [";
    if (!c.spec.attachName.empty()) {
        std::string fn = c.spec.attachName.substr(c.spec.attachName.find_last_of("\\/") + 1);
        exp += "[" + json(fn) + ", \"" + hex(c.spec.attachBytes) + "\"]";
    }
    exp += "]}";

    fs::path dir = fs::temp_directory_path() / ("zelmar_email_py_" + std::to_string(getpid()) + "_" + c.label);
    fs::create_directories(dir);
    std::ofstream(dir / "msg.eml", std::ios::binary) << text;
    std::ofstream(dir / "exp.json", std::ios::binary) << exp;
    std::ofstream(dir / "list") << (dir / "msg.eml").string() << " " << (dir / "exp.json").string() << "\n";
    const std::string cmd = std::string(python) + " " + ZELMAR_PY_CHECKER + " < " + (dir / "list").string() + " > " +
                            (dir / "result").string() + " 2>&1";
    const int rc = std::system(cmd.c_str());
    std::ifstream in(dir / "result");
    std::string result((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(rc, 0) << result << "\n--- message ---\n" << text.substr(0, 4000);
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Messages, PythonParses, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
