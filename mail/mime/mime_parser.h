// Reading MIME text back into a tree: header fields in order, nested
// multiparts split at their boundaries, bodies decoded from base64 and
// quoted-printable. Enough for the send copy, which re-reads our own
// rendered text, and safe on any bytes: every scan is linear and nesting
// deeper than kMaxDepth is kept as an undivided body.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelmar::mail {

struct MimeEntity {
    // Names and values as written, folding (CRLF + blank) still inside.
    std::vector<std::pair<std::string, std::string>> fields;
    std::string body;  // decoded by the transfer encoding
    std::vector<std::unique_ptr<MimeEntity>> parts;

    // The first field of the name (any case), or null.
    const std::string* field(std::string_view name) const;
};

struct MimeParams {
    std::string value;  // the part before the first ";", trimmed
    std::vector<std::pair<std::string, std::string>> params;  // names lower-cased, quotes removed
    const std::string* get(std::string_view name) const;
};

// Splits "type; a=b; c=\"d;e\"" at the semicolons outside quotes.
MimeParams parseHeaderParams(std::string_view value);

constexpr int kMaxMimeDepth = 32;

// Never fails: text without a header gives an entity with only a body.
void parseMime(std::string_view text, MimeEntity& out);

}  // namespace zelmar::mail
