#include "app/notify/certificate_pins.h"

#include <algorithm>
#include <cctype>

#include "app/core/core.h"
#include "app/core/ini_file.h"
#include "app/core/text.h"
#include "app/core/messages.h"

namespace zelmar {

std::string CertificatePinKey(const std::string& host, int port) {
    // The host as the mail component uses it: lower case, without one
    // "http://" and one "https://", without any "/".
    std::string h = host;
    std::transform(h.begin(), h.end(), h.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* scheme : {"http://", "https://"})
        if (const std::size_t at = h.find(scheme); at != std::string::npos) h.erase(at, std::string(scheme).size());
    std::erase(h, '/');
    return TrimBlanks(h) + ":" + std::to_string(port);
}

void AcceptNewMailServerCertificate(Core& core) {
    const Settings s = core.settings();
    const std::string key = CertificatePinKey(s.EmailServer, s.EmailServerPort);
    // A value that is no fingerprint is cleared too: the user asks for a
    // fresh start.
    std::string problem;
    if (StoredCertificatePin(core.ini(), key, &problem).empty() && problem.empty()) {
        core.PostStatusMessage(Message<Msg::NoPinRemembered>(key));
        return;
    }
    if (ClearCertificatePin(core.ini(), key))
        core.PostStatusMessage(Message<Msg::PinForgotten>(key));
    else
        core.PostStatusMessage(Message<Msg::PinNotCleared>(core.ini().path()));
}

bool NormalisedCertificatePin(std::string_view text, std::string& sha256Hex) {
    std::string t = TrimBlanks(std::string(text));
    if (t.size() > 7 && EqualsNoCase(t.substr(0, 7), "sha256:")) t = TrimBlanks(t.substr(7));
    // Plain, or a colon after every pair but the last.
    const bool colons = t.size() == 64 + 31;
    if (t.size() != 64 && !colons) return false;
    std::string hex;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const auto c = static_cast<unsigned char>(t[i]);
        if (colons && i % 3 == 2) {
            if (c != ':') return false;
        } else if (std::isxdigit(c)) {
            hex.push_back(static_cast<char>(std::tolower(c)));
        } else {
            return false;
        }
    }
    sha256Hex = std::move(hex);
    return true;
}

namespace {
// More than any spelling of a fingerprint, so that a long wrong value is
// seen whole and refused rather than cut into something else.
constexpr std::size_t kPinValueChars = 256;
}  // namespace

std::string StoredCertificatePin(const IniFile& ini, const std::string& key, std::string* problem) {
    const std::string value = ini.GetString(kCertificatePins, key, "", kPinValueChars);
    std::string pin;
    if (TrimBlanks(value).empty() || NormalisedCertificatePin(value, pin)) return pin;
    if (problem)
        *problem = Text<Msg::PinMalformed>(kCertificatePins, key);
    return std::string();
}

bool StoreCertificatePin(IniFile& ini, const std::string& key, const std::string& sha256Hex) {
    if (!TrimBlanks(ini.GetString(kCertificatePins, key, "", kPinValueChars)).empty()) return false;
    return ini.WriteString(kCertificatePins, key, sha256Hex);
}

bool ClearCertificatePin(IniFile& ini, const std::string& key) {
    return ini.WriteString(kCertificatePins, key, std::nullopt);
}

}  // namespace zelmar
