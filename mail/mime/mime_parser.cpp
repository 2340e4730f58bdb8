#include "mail/mime/mime_parser.h"

#include "mail/base/string_buffer.h"
#include "mail/mime/content_coding.h"

namespace zelmar::mail {

namespace {

// Where the header ends: the offset of the blank line's first byte and the
// offset of the body. A text that starts with a line break has no header.
void splitHeader(std::string_view text, std::size_t& headerEnd, std::size_t& bodyStart) {
    if (text.starts_with("\r\n")) {
        headerEnd = 0;
        bodyStart = 2;
        return;
    }
    if (text.starts_with("\n")) {
        headerEnd = 0;
        bodyStart = 1;
        return;
    }
    for (std::size_t i = text.find('\n'); i != std::string_view::npos; i = text.find('\n', i + 1)) {
        // i is the end of a line; a blank line follows when the next line
        // is empty (LF or CR LF).
        if (i + 1 < text.size() && text[i + 1] == '\n') {
            headerEnd = i + 1;
            bodyStart = i + 2;
            return;
        }
        if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') {
            headerEnd = i + 1;
            bodyStart = i + 3;
            return;
        }
    }
    headerEnd = text.size();
    bodyStart = text.size();
}

void parseFields(std::string_view head, MimeEntity& out) {
    std::size_t pos = 0;
    while (pos < head.size()) {
        std::size_t eol = head.find('\n', pos);
        std::size_t next = eol == std::string_view::npos ? head.size() : eol + 1;
        std::string_view line = head.substr(pos, next - pos);
        const bool continuation = line[0] == ' ' || line[0] == '\t';
        if (continuation && !out.fields.empty()) {
            // Keep the fold; storing a value removes it again.
            std::string& v = out.fields.back().second;
            if (!v.ends_with("\r\n")) v.append("\r\n");
            v.append(line);
        } else if (std::size_t colon = line.find(':'); colon != std::string_view::npos && colon > 0) {
            std::string_view name = trimView(line.substr(0, colon));
            std::string_view value = line.substr(colon + 1);
            if (!value.empty() && value[0] == ' ') value.remove_prefix(1);
            out.fields.emplace_back(std::string(name), std::string(value));
        }
        // A line without a colon is no field; it is skipped.
        pos = next;
    }
    for (auto& f : out.fields) {
        std::string& v = f.second;
        while (!v.empty() && (v.back() == '\r' || v.back() == '\n')) v.pop_back();
    }
}

// The start of each delimiter line "--boundary" in a body, and the end.
struct Delimiter {
    std::size_t lineStart;  // where the CRLF before it (or the line) starts
    std::size_t after;      // first byte after the delimiter line
    bool close;
};

std::vector<Delimiter> findDelimiters(std::string_view body, std::string_view boundary) {
    std::vector<Delimiter> found;
    const std::string dash = "--" + std::string(boundary);
    std::size_t pos = 0;
    while (pos <= body.size()) {
        std::size_t at = body.find(dash, pos);
        if (at == std::string_view::npos) break;
        const bool lineStart = at == 0 || body[at - 1] == '\n';
        if (!lineStart) {
            pos = at + 1;
            continue;
        }
        std::size_t end = at + dash.size();
        const bool close = body.substr(end, 2) == "--";
        if (close) end += 2;
        // The rest of the delimiter line may hold blanks only.
        std::size_t e = end;
        while (e < body.size() && (body[e] == ' ' || body[e] == '\t')) ++e;
        if (e < body.size() && body[e] != '\r' && body[e] != '\n') {
            pos = at + 1;
            continue;
        }
        if (e < body.size() && body[e] == '\r') ++e;
        if (e < body.size() && body[e] == '\n') ++e;
        std::size_t ls = at;
        if (ls > 0 && body[ls - 1] == '\n') --ls;
        if (ls > 0 && body[ls - 1] == '\r' && ls < at) --ls;
        found.push_back({ls, e, close});
        if (close) break;
        pos = e;
    }
    return found;
}

void parseEntity(std::string_view text, MimeEntity& out, int depth) {
    std::size_t headerEnd = 0, bodyStart = 0;
    splitHeader(text, headerEnd, bodyStart);
    parseFields(text.substr(0, headerEnd), out);
    std::string_view body = text.substr(bodyStart);

    std::string type, boundary;
    if (const std::string* ct = out.field("content-type")) {
        std::string unfolded = *ct;
        std::erase_if(unfolded, [](char c) { return c == '\r' || c == '\n'; });
        MimeParams p = parseHeaderParams(unfolded);
        type = toLowerCopy(p.value);
        if (const std::string* b = p.get("boundary")) boundary = *b;
    }
    if (type.starts_with("multipart/") && !boundary.empty() && depth < kMaxMimeDepth) {
        std::vector<Delimiter> ds = findDelimiters(body, boundary);
        if (!ds.empty()) {
            for (std::size_t k = 0; k + 1 < ds.size() || (k < ds.size() && !ds[k].close); ++k) {
                if (ds[k].close) break;
                const std::size_t from = ds[k].after;
                const std::size_t to = k + 1 < ds.size() ? ds[k + 1].lineStart : body.size();
                auto part = std::make_unique<MimeEntity>();
                parseEntity(body.substr(from, to > from ? to - from : 0), *part, depth + 1);
                out.parts.push_back(std::move(part));
            }
            return;
        }
    }
    std::string cte;
    if (const std::string* v = out.field("content-transfer-encoding")) cte = toLowerCopy(trimView(*v));
    if (cte == "base64") ContentCoding::decodeBase64(body, out.body);
    else if (cte == "quoted-printable") ContentCoding::decodeQuotedPrintable(body, out.body);
    else out.body.assign(body);
}

}  // namespace

const std::string* MimeEntity::field(std::string_view name) const {
    for (const auto& f : fields)
        if (equalsNoCase(f.first, name)) return &f.second;
    return nullptr;
}

const std::string* MimeParams::get(std::string_view name) const {
    for (const auto& p : params)
        if (p.first == name) return &p.second;
    return nullptr;
}

MimeParams parseHeaderParams(std::string_view value) {
    MimeParams out;
    std::vector<std::string_view> pieces;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (quoted && value[i] == '\\') ++i;
        else if (value[i] == '"') quoted = !quoted;
        else if (value[i] == ';' && !quoted) {
            pieces.push_back(value.substr(start, i - start));
            start = i + 1;
        }
    }
    pieces.push_back(value.substr(std::min(start, value.size())));
    out.value = std::string(trimView(pieces[0]));
    for (std::size_t k = 1; k < pieces.size(); ++k) {
        std::string_view p = trimView(pieces[k]);
        std::size_t eq = p.find('=');
        if (eq == std::string_view::npos) continue;
        std::string name = toLowerCopy(trimView(p.substr(0, eq)));
        std::string_view v = trimView(p.substr(eq + 1));
        std::string val;
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
            v = v.substr(1, v.size() - 2);
            for (std::size_t i = 0; i < v.size(); ++i) {
                if (v[i] == '\\' && i + 1 < v.size()) ++i;
                val.push_back(v[i]);
            }
        } else {
            val.assign(v);
        }
        if (!name.empty()) out.params.emplace_back(std::move(name), std::move(val));
    }
    return out;
}

void parseMime(std::string_view text, MimeEntity& out) {
    out.fields.clear();
    out.body.clear();
    out.parts.clear();
    parseEntity(text, out, 0);
}

}  // namespace zelmar::mail
