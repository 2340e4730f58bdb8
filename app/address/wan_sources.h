// A WAN address several echo pages agree on.
//
// One echo page is one opinion: a site that is down, answers with an HTML
// error page, sits behind a misconfigured proxy or simply lies would put its
// answer on the user's page. With two or more sources the pages are fetched
// at once and the address a majority of the answering sources report is
// taken; when they disagree the address is not trusted at all, and the one
// log line says which source said what.
//
// The pure parts (reading an answer, the vote, the warnings) are separate
// from the fetch, so they can be checked against any answers.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "app/address/http_fetch.h"

namespace zelmar {

// Public HTTPS echo services that answer with nothing but the caller's
// address, run by different operators, for each family. Used when the user
// names no page of their own.
const std::vector<std::string>& BuiltInWanSources(IpFamily family);

// One source and how its answer is read: a bare address, or (for the user's
// own "WANIPURL") the text between the delimiters.
struct WanSource {
    std::string url;
    bool delimited = false;
};

struct SourceAnswer {
    std::string source;
    // An address literal of the wanted family, when the answer held one.
    std::optional<std::string> address;
    // Why there is none: "no answer (...)", "not an address", ...
    std::string problem;
};

// Reads one fetched answer. A bare answer is the whole body with white space
// trimmed; anything but one address literal of the family (AF_INET or
// AF_INET6; 0 for either) is refused with a reason.
SourceAnswer ReadAnswer(const WanSource& source, const HttpFetchResult& fetched, int family,
                        const std::string& start, const std::string& end);

struct WanVote {
    // The address a strict majority of the answering sources report.
    std::optional<std::string> address;
    int answering = 0;
    int agreeing = 0;
    // Sources answered, but no address has a majority.
    bool disagreement = false;
};

WanVote Vote(const std::vector<SourceAnswer>& answers);

// "URL said 203.0.113.7; URL gave no address (timed out)" for the log.
std::string DescribeAnswers(const std::vector<SourceAnswer>& answers);

// Empty for an address the Internet can reach; otherwise the reason it
// cannot (a private, shared (carrier-grade NAT) or link-local IPv4 range, or
// an IPv6 address outside the global unicast range).
std::string UnreachableReason(const std::string& address);

// Fetches every source at once (IPv4 or IPv6 only, by family) and reads the
// answers, in the order of the sources.
std::vector<SourceAnswer> AskSources(const std::vector<WanSource>& sources, IpFamily family,
                                     const std::string& start, const std::string& end,
                                     std::chrono::milliseconds timeout,
                                     std::vector<HttpFetchResult>* pages = nullptr);

// The blank-separated words of a setting ("WANCheckURLs").
std::vector<std::string> SplitBlanks(const std::string& text);

}  // namespace zelmar
