// SMTP login: the mechanisms a server lists, the token-exchange interface,
// and the seam where a platform security provider (NTLM, MSN) would plug in.
// This platform has none, so those packages count as not installed and the
// session falls back to LOGIN.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "mail/base/log_base.h"

namespace zelmar::mail {

// Mechanisms in the order the EHLO "AUTH " line is tested.
enum class AuthMech { Login, Ntlm, Msn, Gssapi, Anonymous, Plain, CramMd5, DigestMd5, KerberosV4, Count };
inline constexpr std::array<const char*, static_cast<int>(AuthMech::Count)> kAuthMechNames = {
    "LOGIN", "NTLM", "MSN", "GSSAPI", "ANONYMOUS", "PLAIN", "CRAM-MD5", "DIGEST-MD5", "KERBEROS_V4"};

struct AuthFlags {
    std::array<bool, static_cast<int>(AuthMech::Count)> on{};
    bool has(AuthMech m) const { return on[static_cast<int>(m)]; }
    void set(AuthMech m, bool v = true) { on[static_cast<int>(m)] = v; }
    void clear() { on.fill(false); }
    bool any() const;
    // Sets every flag whose name occurs in the line (case-insensitive).
    void setFromAuthLine(std::string_view line);
};

// Carries login tokens between a security package and the server.
class PackageExchange {
public:
    virtual ~PackageExchange();
    // Sends token, receives the server's next token.
    virtual bool exchangePackage(std::string& outToken, const std::string& inToken, LogBase& log) = 0;
    // Sends the last token; true when the login succeeded.
    virtual bool sendFinal(const std::string& token, LogBase& log) = 0;
};

// A platform security provider client. No provider exists on this
// platform: no package is installed, so NTLM and MSN are never found.
class SspiClient {
public:
    explicit SspiClient(PackageExchange* exchange) : exchange_(exchange) {}
    // Loads the provider and lists its packages; false when there is none.
    bool loadPackages(LogBase& log);
    // Index of the named package (case-insensitive), -1 when not installed.
    int findPackage(std::string_view name) const;
    bool authenticate(int packageIndex, const std::string& domain, const std::string& login,
                      const std::string& password, LogBase& log);
    bool prepareOutboundPackage(int packageIndex, std::string& outToken, const std::string* inToken, bool& finished,
                                bool& authenticated, LogBase& log);

private:
    PackageExchange* exchange_;
    int packageCount_ = 0;
};

// The CRAM-MD5 answer (RFC 2195) before base64: login, blank, hex HMAC-MD5.
std::string cramMd5Response(std::string_view login, std::string_view password, std::string_view challenge);

}  // namespace zelmar::mail
