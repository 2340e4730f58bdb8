#include "app/ddns/ddns_signing.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <ctime>

namespace zelmar {

namespace {

std::string SigningHex(const unsigned char* data, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 15]);
    }
    return out;
}

std::string Sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr);
    return SigningHex(digest, size);
}

// The raw HMAC: each step of the key derivation keys the next with it.
std::string HmacRaw(const std::string& key, const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
         text.size(), digest, &size);
    return std::string(reinterpret_cast<const char*>(digest), size);
}

}  // namespace

std::string SigV4Time(std::int64_t now) {
    const std::time_t seconds = static_cast<std::time_t>(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

std::string SigV4Authorization(const SigV4Request& r, const std::string& keyId, const std::string& secret,
                               const std::string& time, const std::string& region, const std::string& service) {
    auto headers = r.headers;
    std::sort(headers.begin(), headers.end());
    std::string canonicalHeaders, signedHeaders;
    for (const auto& [name, value] : headers) {
        canonicalHeaders += name + ":" + value + "\n";
        signedHeaders += (signedHeaders.empty() ? "" : ";") + name;
    }
    const std::string canonical = r.method + "\n" + (r.path.empty() ? "/" : r.path) + "\n" + r.query + "\n" +
                                  canonicalHeaders + "\n" + signedHeaders + "\n" + Sha256Hex(r.payload);
    const std::string day = time.substr(0, 8);
    const std::string scope = day + "/" + region + "/" + service + "/aws4_request";
    const std::string toSign = "AWS4-HMAC-SHA256\n" + time + "\n" + scope + "\n" + Sha256Hex(canonical);
    const std::string key =
        HmacRaw(HmacRaw(HmacRaw(HmacRaw("AWS4" + secret, day), region), service), "aws4_request");
    const std::string signature = HmacRaw(key, toSign);
    return "AWS4-HMAC-SHA256 Credential=" + keyId + "/" + scope + ", SignedHeaders=" + signedHeaders +
           ", Signature=" + SigningHex(reinterpret_cast<const unsigned char*>(signature.data()), signature.size());
}

}  // namespace zelmar
