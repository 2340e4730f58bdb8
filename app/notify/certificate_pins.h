// The mail server certificates the user accepted without a verification:
// their SHA-256 fingerprints, one per server and port, in the section
// "CertificatePins" of the settings file ("smtp.example.org:587=ab12...").
// A server whose certificate cannot be verified is trusted on first use;
// later it must show the same certificate until the user accepts a new one
// (the E-Mail page's button clears the stored fingerprint).
#pragma once

#include <string>
#include <string_view>

namespace zelmar {

class Core;
class IniFile;

inline constexpr const char* kCertificatePins = "CertificatePins";

// "host:port" with the host as the mail component stores it (lower case).
std::string CertificatePinKey(const std::string& host, int port);
// A fingerprint as people copy it: 64 hex digits, or the same with a colon
// between each pair (as openssl prints them, "AB:CD:..."), either of them
// after "sha256:", in any case and with blanks around. Gives the 64
// lower-case hex digits; false for anything else.
bool NormalisedCertificatePin(std::string_view text, std::string& sha256Hex);
// The stored fingerprint in that form, "" when none is stored. A value that
// is there but no fingerprint in any of those spellings is never taken for
// "no pin" (that would let any certificate through and replace the value):
// problem then says what is wrong, and the caller must not connect.
std::string StoredCertificatePin(const IniFile& ini, const std::string& key, std::string* problem = nullptr);
// Remembers a first-used certificate's fingerprint; false, and nothing
// written, when the key already has a value (one the user wrote is never
// replaced).
bool StoreCertificatePin(IniFile& ini, const std::string& key, const std::string& sha256Hex);
// Forgets the fingerprint, so that the next certificate is accepted anew.
bool ClearCertificatePin(IniFile& ini, const std::string& key);
// The E-Mail page's "Accept New Certificate": forgets the fingerprint of
// the configured server and port, and says so in the status line.
void AcceptNewMailServerCertificate(Core& core);

}  // namespace zelmar
