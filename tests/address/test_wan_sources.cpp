// The cross-check of WAN sources without a network: reading an answer, the
// vote, and the ranges the Internet cannot reach.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include "app/address/wan_sources.h"

using namespace zelmar;

namespace {

SourceAnswer Said(const char* source, const char* address) {
    return address ? SourceAnswer{source, std::string(address), ""} : SourceAnswer{source, std::nullopt, "timed out"};
}

struct VoteCase {
    const char* name;
    std::vector<const char*> said;  // nullptr: no answer
    const char* want;               // nullptr: no address
    bool disagreement;
};

class Voting : public ::testing::TestWithParam<VoteCase> {};

TEST_P(Voting, TakesTheStrictMajorityOfTheAnsweringSources) {
    const VoteCase& c = GetParam();
    std::vector<SourceAnswer> answers;
    for (const char* a : c.said) answers.push_back(Said("s", a));
    const WanVote v = Vote(answers);
    EXPECT_EQ(v.address.value_or("<none>"), c.want ? c.want : "<none>");
    EXPECT_EQ(v.disagreement, c.disagreement);
}

constexpr const char* A = "203.0.113.7";
constexpr const char* B = "198.51.100.9";

INSTANTIATE_TEST_SUITE_P(Table, Voting,
                         ::testing::Values(VoteCase{"AllAgree", {A, A, A}, A, false},
                                           VoteCase{"TwoOfThree", {A, B, A}, A, false},
                                           VoteCase{"Tie", {A, B}, nullptr, true},
                                           VoteCase{"TieBesideAFailure", {A, nullptr, B}, nullptr, true},
                                           VoteCase{"TwoOfFourIsNoMajority", {A, B, A, B}, nullptr, true},
                                           VoteCase{"ThreeOfFour", {A, B, A, A}, A, false},
                                           VoteCase{"FailuresDoNotVote", {nullptr, A, nullptr}, A, false},
                                           VoteCase{"OneOfThreeDifferentIsNoMajority", {A, B, "192.0.2.1"}, nullptr,
                                                    true},
                                           VoteCase{"AllFail", {nullptr, nullptr, nullptr}, nullptr, false},
                                           VoteCase{"NoSources", {}, nullptr, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct AnswerCase {
    const char* name;
    std::string body;
    bool fetched;
    bool delimited;
    int family;
    const char* want;     // the address, or nullptr
    const char* problem;  // when no address
};

class Answers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(Answers, AcceptOnlyOneAddressOfTheFamily) {
    const AnswerCase& c = GetParam();
    HttpFetchResult fetched;
    fetched.ok = c.fetched;
    fetched.body = c.body;
    fetched.error = "Connection refused";
    const SourceAnswer a = ReadAnswer(WanSource{"u", c.delimited}, fetched, c.family, "REMOTE_ADDR:", "<br>");
    EXPECT_EQ(a.address.value_or("<none>"), c.want ? c.want : "<none>");
    if (!c.want) {
        EXPECT_EQ(a.problem, c.problem);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Answers,
    ::testing::Values(
        AnswerCase{"Bare", "203.0.113.7\n", true, false, AF_INET, A, ""},
        AnswerCase{"BareIpv6", " 2001:db8::7\r\n", true, false, AF_INET6, "2001:db8::7", ""},
        AnswerCase{"HtmlPage", "<html><body>Too many requests</body></html>", true, false, AF_INET, nullptr,
                   "not an address"},
        AnswerCase{"HtmlWithAnAddress", "<p>203.0.113.7</p>", true, false, AF_INET, nullptr, "not an address"},
        AnswerCase{"TwoAddresses", "203.0.113.7 198.51.100.9", true, false, AF_INET, nullptr,
                   "more than one address"},
        AnswerCase{"AddressAndWord", "203.0.113.7 ok", true, false, AF_INET, nullptr, "not an address"},
        AnswerCase{"WrongFamily", "2001:db8::7", true, false, AF_INET, nullptr, "an IPv6 address"},
        AnswerCase{"WrongFamily6", "203.0.113.7", true, false, AF_INET6, nullptr, "an IPv4 address"},
        AnswerCase{"Empty", " \n", true, false, AF_INET, nullptr, "an empty answer"},
        AnswerCase{"NoAnswer", "", false, false, AF_INET, nullptr, "no answer (Connection refused)"},
        AnswerCase{"ZeroByteEndsThePage", std::string("203.0.113.7\0x", 13), true, false, AF_INET, A, ""},
        AnswerCase{"LeadingZeros", "203.0.113.07", true, false, AF_INET, nullptr, "not an address"},
        AnswerCase{"Delimited", "<p>REMOTE_ADDR: 203.0.113.7<br></p>", true, true, AF_INET, A, ""},
        AnswerCase{"DelimitedPageMayBeBare", "203.0.113.7", true, true, AF_INET, A, ""},
        AnswerCase{"DelimitersMissing", "<p>203.0.113.7 here</p>", true, true, AF_INET, nullptr,
                   "no address between the delimiters"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WanSources, UnreachableRangesAreNamedAtTheirEdges) {
    const std::pair<const char*, const char*> cases[] = {
        {"10.0.0.0", "it is a private address"},
        {"9.255.255.255", ""},
        {"11.0.0.0", ""},
        {"172.16.0.0", "it is a private address"},
        {"172.31.255.255", "it is a private address"},
        {"172.15.255.255", ""},
        {"172.32.0.0", ""},
        {"192.168.0.1", "it is a private address"},
        {"192.169.0.1", ""},
        {"100.64.0.0", "it lies in the carrier-grade NAT range 100.64.0.0/10"},
        {"100.127.255.255", "it lies in the carrier-grade NAT range 100.64.0.0/10"},
        {"100.63.255.255", ""},
        {"100.128.0.0", ""},
        {"169.254.1.1", "it is a private address"},
        {"203.0.113.7", ""},
        {"2001:db8::7", ""},
        {"3fff::1", ""},
        {"fd00::2", "it is not a global IPv6 address"},
        {"fe80::1", "it is not a global IPv6 address"},
        {"::ffff:203.0.113.7", "it is not a global IPv6 address"},
        {"4000::1", "it is not a global IPv6 address"},
        {"N/A", ""},
    };
    for (const auto& [address, want] : cases) EXPECT_EQ(UnreachableReason(address), want) << address;
}

}  // namespace
