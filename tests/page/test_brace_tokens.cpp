// The "%{name}" tokens: known names replaced once, everything else kept.
#include <gtest/gtest.h>

#include "app/page/brace_tokens.h"
#include "app/page/status_page.h"

namespace zelmar {
namespace {

struct BraceCase {
    const char* text;
    const char* expected;
};

class BraceTokens : public ::testing::TestWithParam<BraceCase> {};

TEST_P(BraceTokens, ExpandsKnownNamesOnly) {
    const auto lookup = BraceTable({{"wan", "203.0.113.7"}, {"lan6", "fd00::2"}, {"loop", "%{wan}"}, {"", "E"}});
    EXPECT_EQ(ExpandBraceTokens(GetParam().text, lookup), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BraceTokens,
    ::testing::Values(BraceCase{"%{wan}", "203.0.113.7"}, BraceCase{"a%{wan}b%{lan6}c", "a203.0.113.7bfd00::2c"},
                      BraceCase{"%{WAN} %{other}", "%{WAN} %{other}"},  // names are case-sensitive; unknown stays
                      BraceCase{"%{wan", "%{wan"},                      // unclosed
                      BraceCase{"%{%{wan}", "%{203.0.113.7"},           // a stray opener before a token
                      BraceCase{"%{loop}", "%{wan}"},                   // values are not expanded again
                      BraceCase{"%%{wan}%", "%203.0.113.7%"}, BraceCase{"%{}", "E"}, BraceCase{"", ""},
                      BraceCase{"%WI %{wan}6", "%WI 203.0.113.76"}));

TEST(BraceTokensLimit, NameOfSixtyFourCharactersIsTheLongest) {
    const std::string at(64, 'n'), over(65, 'n');
    const auto lookup = BraceTable({{at, "x"}, {over, "y"}});
    EXPECT_EQ(ExpandBraceTokens("%{" + at + "}", lookup), "x");
    EXPECT_EQ(ExpandBraceTokens("%{" + over + "}", lookup), "%{" + over + "}");
}

TEST(BraceTokensEscape, EscapeAppliesToValuesNotToTheTemplate) {
    const auto lookup = BraceTable({{"wan", "a\"b"}});
    const auto escape = [](std::string_view v) {
        std::string out;
        for (char c : v) out += c == '"' ? std::string("\\\"") : std::string(1, c);
        return out;
    };
    EXPECT_EQ(ExpandBraceTokens("{\"ip\":\"%{wan}\"}", lookup, escape), "{\"ip\":\"a\\\"b\"}");
}

}  // namespace
}  // namespace zelmar

namespace zelmar {
namespace {

TEST(BraceTokensInPage, BraceTokensGoFirstAndLeaveTheFixedTokensAsTheyWere) {
    PageValues v;
    v.wanAddress = "198.51.100.1";
    v.braceValues = {{"wan6", "2001:db8::1"}};
    // "%WI6" keeps its old meaning: the WAN address followed by "6".
    EXPECT_EQ(ExpandPageTemplate("%WI6|%{wan6}|%{lan6}", v), "198.51.100.16|2001:db8::1|%{lan6}");
}

}  // namespace
}  // namespace zelmar
