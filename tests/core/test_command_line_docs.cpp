// The command line as its three descriptions give it: "zelmar --help", the
// manual page (read as groff and man read it) and the bash completion (run
// in bash), which must name the same options; and the version the package
// carries.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>

#include "tests/support/peer_process.h"
#include "tests/support/shell_output.h"

using zelmar::test::ReadFile;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;

namespace {

using Options = std::set<std::string>;

// Options the manual page and the completion already describe while the
// program is learning them; each leaves this list when --help names it.
const Options kDocumentedAhead = {};

std::string Shell(const std::string& command) { return zelmar::test::ShellOutput(command); }

// Options at the start of the lines of --help that describe one ("  -I, -i").
Options HelpOptions() {
    Options found;
    std::istringstream in(Shell("'" ZELMAR_BINARY "' --help"));
    const std::regex line(R"(^  (-[-A-Za-z]+(?:, -[-A-Za-z]+)*)(?:\s|$).*)");
    const std::regex option(R"(-[-A-Za-z]+)");
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (!std::regex_match(l, m, line)) continue;
        const std::string names = m[1];
        for (auto it = std::sregex_iterator(names.begin(), names.end(), option); it != std::sregex_iterator(); ++it)
            found.insert(it->str());
    }
    return found;
}

// Options named in the first line of each entry of the manual's OPTIONS.
Options ManualOptions() {
    Options found;
    std::istringstream in(ReadFile(ZELMAR_MAN_PAGE));
    bool inOptions = false, entry = false;
    const std::regex option(R"((?:\\-)+[A-Za-z](?:[A-Za-z]|\\-)*)");
    for (std::string l; std::getline(in, l);) {
        if (l.rfind(".SH", 0) == 0) inOptions = l == ".SH OPTIONS";
        if (!inOptions) continue;
        if (l == ".TP") {
            entry = true;
            continue;
        }
        if (!entry) continue;
        entry = false;
        for (auto it = std::sregex_iterator(l.begin(), l.end(), option); it != std::sregex_iterator(); ++it)
            found.insert(std::regex_replace(it->str(), std::regex(R"(\\-)"), "-"));
    }
    return found;
}

// What the completion offers after "zelmar <words...>", the last one being
// the word under the cursor, run in dir.
Options Completions(const ScratchDir& dir, const std::vector<std::string>& words) {
    std::string script = "cd '" + dir.path() + "' && source '" ZELMAR_COMPLETION "' && COMP_WORDS=(zelmar";
    for (const std::string& w : words) script += " '" + w + "'";
    script += ") && COMP_CWORD=" + std::to_string(words.size()) + " && _zelmar && printf '%s\\n' \"${COMPREPLY[@]}\"";
    const std::string out = Shell("bash -c \"$(cat <<'EOF'\n" + script + "\nEOF\n)\"");
    Options found;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) found.insert(l);
    return found;
}

TEST(CommandLineDocs, HelpAndTheManualPageNameTheSameOptions) {
    const Options help = HelpOptions();
    const Options manual = ManualOptions();
    ASSERT_TRUE(help.count("--once") && help.count("-I")) << "the --help reader found too little";
    for (const std::string& o : help) EXPECT_TRUE(manual.count(o)) << o << " is in --help, not in zelmar(1)";
    for (const std::string& o : manual)
        EXPECT_TRUE(help.count(o) || kDocumentedAhead.count(o)) << o << " is in zelmar(1), not in --help";
    for (const std::string& o : kDocumentedAhead) EXPECT_TRUE(manual.count(o)) << o;
}

TEST(CommandLineDocs, TheManualPageFormatsWithoutWarnings) {
    const std::string warnings =
        Shell("groff -man -Tutf8 -ww -z '" ZELMAR_MAN_PAGE "' 2>&1; LC_ALL=C.UTF-8 MANWIDTH=80 "
            "man --warnings -E UTF-8 -l -Tutf8 -Z '" ZELMAR_MAN_PAGE "' 2>&1 >/dev/null");
    EXPECT_EQ(warnings, "");
    const std::string text = Shell("LC_ALL=C.UTF-8 MANWIDTH=80 man -l '" ZELMAR_MAN_PAGE "' 2>/dev/null");
    for (const char* section : {"OPTIONS", "SECRETS", "FILES", "EXIT STATUS", "SIGNALS", "ENVIRONMENT", "EXAMPLES"})
        EXPECT_NE(text.find(std::string("\n") + section + "\n"), std::string::npos) << section;
}

struct CompletionCase {
    const char* name;
    std::vector<std::string> words;
    Options want;
};

class Completion : public ::testing::TestWithParam<CompletionCase> {};

TEST_P(Completion, OffersWhatFitsTheWord) {
    ScratchDir dir;
    ::mkdir((dir / "conf").c_str(), 0700);
    ::mkdir((dir / "cache").c_str(), 0700);
    WriteFile(dir / "Zelmar.ini", "[DDNS home]\nServer=a\n[Webhook ntfy]\n[DDNS  office ]\n[webhook alerts]\n[Preferences]\n");
    WriteFile(dir / "conf/Zelmar.ini", "[DDNS other]\n");
    EXPECT_EQ(Completions(dir, GetParam().words), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Words, Completion,
    ::testing::Values(CompletionCase{"optionStart", {"--set"},
                                     {"--set-smtp-login", "--set-ddns-secret", "--set-webhook-secret"}},
                      CompletionCase{"configDirIsAFolder", {"--config-dir", "c"}, {"conf", "cache"}},
                      CompletionCase{"ddnsNamesFromTheSettings", {"--set-ddns-secret", ""}, {"home", "office"}},
                      CompletionCase{"ddnsNamesFromTheGivenFolder", {"--config-dir", "conf", "--set-ddns-secret", ""},
                                     {"other"}},
                      CompletionCase{"webhookNames", {"--set-webhook-secret", "n"}, {"ntfy"}},
                      CompletionCase{"prefixInAnyCase", {"--set-webhook-secret", "a"}, {"alerts"}},
                      CompletionCase{"noGuessForAnAccount", {"--set-smtp-login", ""}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommandLineDocs, TheCompletionOffersEveryOptionOfTheManualPage) {
    ScratchDir dir;
    EXPECT_EQ(Completions(dir, {"-"}), ManualOptions());
}

TEST(CommandLineDocs, TheVersionIsThePackagesVersion) {
    // "zelmar (0.1.0) unstable; ..." or "zelmar (0.1.0-1) ...": the upstream part.
    std::smatch m;
    const std::string changelog = ReadFile(ZELMAR_DEBIAN_CHANGELOG);
    ASSERT_TRUE(std::regex_search(changelog, m, std::regex(R"(^zelmar \(([^)-]+)(-[^)]*)?\))")));
    EXPECT_EQ(Shell("'" ZELMAR_BINARY "' --version"), "zelmar " + m[1].str() + "\n");
}

}  // namespace
