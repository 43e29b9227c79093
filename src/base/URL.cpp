#include "base/URL.h"

#include "base/TextUtils.h"

#include <cctype>

namespace tevra {

namespace {
bool allowedChar(unsigned char c) {
    if (c <= 0x20 || c >= 0x7f) return false;
    switch (c) {
        case '"':
        case '<':
        case '>':
        case '\\':
        case '^':
        case '`':
        case '{':
        case '|':
        case '}':
            return false;
        default:
            return true;
    }
}
bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
}  // namespace

std::string ParsedURL::pathExtension() const {
    std::string last = path;
    while (last.size() > 1 && last.back() == '/') last.pop_back();
    size_t slash = last.rfind('/');
    if (slash != std::string::npos) last = last.substr(slash + 1);
    size_t dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return "";
    return last.substr(dot + 1);
}

std::optional<ParsedURL> parseURL(std::string_view text) {
    if (text.empty()) return std::nullopt;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!allowedChar(c)) return std::nullopt;
        if (c == '%' && (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))) return std::nullopt;
    }
    ParsedURL u;
    u.absoluteString = std::string(text);
    std::string_view rest = text;
    // Scheme: ALPHA *(ALPHA / DIGIT / "+" / "-" / ".") ":"
    size_t colon = rest.find(':');
    size_t firstDelim = rest.find_first_of("/?#");
    if (colon != std::string_view::npos && colon > 0 && (firstDelim == std::string_view::npos || colon < firstDelim) &&
        std::isalpha(static_cast<unsigned char>(rest[0]))) {
        bool ok = true;
        for (size_t i = 1; i < colon; ++i) {
            char c = rest[i];
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.')) ok = false;
        }
        if (ok) {
            u.scheme = std::string(rest.substr(0, colon));
            rest = rest.substr(colon + 1);
        }
    }
    if (rest.substr(0, 2) == "//") {
        rest = rest.substr(2);
        size_t end = rest.find_first_of("/?#");
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        size_t at = authority.rfind('@');
        if (at != std::string_view::npos) authority = authority.substr(at + 1);
        std::string_view host = authority;
        if (!host.empty() && host[0] == '[') {
            size_t close = host.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            host = host.substr(1, close - 1);
        } else {
            size_t portColon = host.rfind(':');
            if (portColon != std::string_view::npos) {
                for (size_t i = portColon + 1; i < host.size(); ++i)
                    if (!std::isdigit(static_cast<unsigned char>(host[i]))) return std::nullopt;
                host = host.substr(0, portColon);
            }
        }
        u.host = std::string(host);
    }
    size_t pathEnd = rest.find_first_of("?#");
    u.path = std::string(rest.substr(0, pathEnd));
    return u;
}

std::string fileURLForPath(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out = "file://";
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool isWebURL(std::string_view text) {
    auto url = parseURL(text);
    if (!url || !url->scheme || !url->host || url->host->empty()) return false;
    const std::string scheme = lowercase(*url->scheme);
    return scheme == "http" || scheme == "https";
}

}  // namespace tevra
