#include "app/core/secret_text.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>

namespace zelmar {

namespace {

std::string Hex(const unsigned char* data, std::size_t n) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(kHex[data[i] >> 4]);
        out.push_back(kHex[data[i] & 15]);
    }
    return out;
}

// Percent-encoding of everything but the unreserved characters, with upper-
// or lower-case hex digits, spaces as "%20" or (form encoding) "+".
std::string PercentForm(const std::string& text, bool upper, bool plusForSpace) {
    const char* hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    for (const unsigned char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '.' || c == '_' || c == '~';
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else if (c == ' ' && plusForSpace) {
            out.push_back('+');
        } else {
            out += {'%', hex[c >> 4], hex[c & 15]};
        }
    }
    return out;
}

std::string JsonForm(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::string Base64(const std::string& text) {
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

}  // namespace

std::vector<std::string> SecretForms(const std::string& secret, const std::string& login) {
    if (secret.empty()) return {};
    std::vector<std::string> forms = {secret,
                                      PercentForm(secret, true, false),
                                      PercentForm(secret, false, false),
                                      PercentForm(secret, true, true),
                                      JsonForm(secret),
                                      Base64(login + ":" + secret)};
    if (login.empty()) forms.pop_back();
    // Longest first, so that a form holding a shorter one is masked whole.
    std::sort(forms.begin(), forms.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    forms.erase(std::unique(forms.begin(), forms.end()), forms.end());
    return forms;
}

std::string WithoutSecretForms(std::string text, const std::vector<std::string>& forms, std::string_view mask) {
    for (const std::string& form : forms) {
        if (form.empty()) continue;
        for (std::size_t at = text.find(form); at != std::string::npos; at = text.find(form, at + mask.size()))
            text.replace(at, form.size(), mask);
    }
    return text;
}

std::string HmacSha256Hex(const std::string& key, const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, &length))
        return {};
    return Hex(digest, length);
}

std::string RandomHex(std::size_t bytes) {
    std::vector<unsigned char> data(bytes);
    if (RAND_bytes(data.data(), static_cast<int>(bytes)) != 1) return {};
    return Hex(data.data(), bytes);
}

}  // namespace zelmar
