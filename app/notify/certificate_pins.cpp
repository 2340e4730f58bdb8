#include "app/notify/certificate_pins.h"

#include <algorithm>
#include <cctype>

#include "app/core/core.h"
#include "app/core/ini_file.h"
#include "app/core/text.h"

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
    if (StoredCertificatePin(core.ini(), key).empty()) {
        core.PostStatusMessage("P No certificate is remembered for the mail server " + key);
        return;
    }
    if (ClearCertificatePin(core.ini(), key))
        core.PostStatusMessage("P The next certificate of the mail server " + key +
                               " will be accepted and remembered");
    else
        core.PostStatusMessage("P Cannot write " + core.ini().path() + "; the certificate stays as it was");
}

std::string StoredCertificatePin(const IniFile& ini, const std::string& key) {
    const std::string pin = ini.GetString(kCertificatePins, key, "", 128);
    // Only a fingerprint: anything else in the file is no pin at all.
    const bool hex = pin.size() == 64 && std::all_of(pin.begin(), pin.end(), [](unsigned char c) {
                         return std::isxdigit(c) != 0;
                     });
    return hex ? pin : std::string();
}

bool StoreCertificatePin(IniFile& ini, const std::string& key, const std::string& sha256Hex) {
    return ini.WriteString(kCertificatePins, key, sha256Hex);
}

bool ClearCertificatePin(IniFile& ini, const std::string& key) {
    return ini.WriteString(kCertificatePins, key, std::nullopt);
}

}  // namespace zelmar
