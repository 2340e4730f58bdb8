// A secret on its way into a log line, and a digest that may stand for it.
//
// A server may echo what it was sent: the secret as it was, percent-encoded
// in a query, escaped in a JSON body, or inside "Authorization: Basic
// <base64 of login:secret>". Every one of these forms is masked before a
// reply is cut to the length a log line keeps (a cut first would leave part
// of a form that no longer matches).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zelmar {

// Every form the secret may take in a request; with a login, also the
// base64 of "login:secret" that HTTP Basic authentication sends. Empty for
// an empty secret.
std::vector<std::string> SecretForms(const std::string& secret, const std::string& login = "");

// text with each occurrence of any of the forms replaced by mask.
std::string WithoutSecretForms(std::string text, const std::vector<std::string>& forms,
                               std::string_view mask = "***");

// HMAC-SHA-256 of text under key, as 64 lower-case hex digits: a digest
// that tells whether a secret changed and, without the key, nothing more,
// however short the secret.
std::string HmacSha256Hex(const std::string& key, const std::string& text);

// bytes random bytes from the system's generator, as hex; empty when it
// cannot give them.
std::string RandomHex(std::size_t bytes);

}  // namespace zelmar
