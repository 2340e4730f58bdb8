// The mail server certificates the user accepted without a verification:
// their SHA-256 fingerprints, one per server and port, in the section
// "CertificatePins" of the settings file ("smtp.example.org:587=ab12...").
// A server whose certificate cannot be verified is trusted on first use;
// later it must show the same certificate until the user accepts a new one
// (the E-Mail page's button clears the stored fingerprint).
#pragma once

#include <string>

namespace zelmar {

class Core;
class IniFile;

inline constexpr const char* kCertificatePins = "CertificatePins";

// "host:port" with the host as the mail component stores it (lower case).
std::string CertificatePinKey(const std::string& host, int port);
// The stored fingerprint, "" when none.
std::string StoredCertificatePin(const IniFile& ini, const std::string& key);
bool StoreCertificatePin(IniFile& ini, const std::string& key, const std::string& sha256Hex);
// Forgets the fingerprint, so that the next certificate is accepted anew.
bool ClearCertificatePin(IniFile& ini, const std::string& key);
// The E-Mail page's "Accept New Certificate": forgets the fingerprint of
// the configured server and port, and says so in the status line.
void AcceptNewMailServerCertificate(Core& core);

}  // namespace zelmar
