// AWS Signature Version 4, the HMAC-SHA-256 request signing of AWS's APIs
// (docs.aws.amazon.com/IAM/latest/UserGuide/reference_sigv.html): a
// canonical form of the request, hashed, signed with a key derived from the
// secret, the day, the region and the service. OpenSSL does the hashing.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zelmar {

struct SigV4Request {
    std::string method;
    std::string path;   // already percent-encoded, "/" when empty
    std::string query;  // already encoded and sorted by name
    std::string payload;
    // Every header to sign, with lower-case names and the values as sent
    // (host and x-amz-date among them).
    std::vector<std::pair<std::string, std::string>> headers;
};

// "20270115T080000Z" for a time in seconds since the epoch.
std::string SigV4Time(std::int64_t now);
// The "Authorization" header's value for the request, signed at time (as
// SigV4Time gives it) for region and service.
std::string SigV4Authorization(const SigV4Request& r, const std::string& keyId, const std::string& secret,
                               const std::string& time, const std::string& region, const std::string& service);

}  // namespace zelmar
