// Test helper: reads a double-quoted JavaScript string literal back into its
// value, as the page's engine would, so tests can check what the page gets.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tevra::test {

inline void appendUTF8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The value of `literal` (quotes included); none when it is not one whole
// literal: an unescaped quote or line feed inside, a bad escape, or missing
// quotes.
inline std::optional<std::string> unescapeJsStringLiteral(std::string_view literal) {
    if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"') return std::nullopt;
    const std::string_view body = literal.substr(1, literal.size() - 2);
    std::string out;
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '"' || c == '\n') return std::nullopt;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= body.size()) return std::nullopt;  // a lone backslash escapes the closing quote
        const char e = body[i];
        switch (e) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'v':
                out += '\v';
                break;
            case '0':
                out += '\0';
                break;
            case '\n':
                break;  // line continuation
            case 'u': {
                if (i + 4 >= body.size()) return std::nullopt;
                const std::string hex(body.substr(i + 1, 4));
                if (hex.size() != 4 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                    return std::nullopt;
                appendUTF8(out, static_cast<unsigned>(std::stoul(hex, nullptr, 16)));
                i += 4;
                break;
            }
            default:
                out += e;  // \\ \" \' and any other character stand for themselves
        }
    }
    return out;
}

// The argument of window.UnityBridge.receiveMessage("...");, unescaped.
inline std::optional<std::string> receiveMessageArgument(std::string_view script) {
    const std::string_view head = "window.UnityBridge.receiveMessage(";
    const std::string_view tail = ");";
    if (script.substr(0, head.size()) != head || script.size() < head.size() + tail.size() ||
        script.substr(script.size() - tail.size()) != tail)
        return std::nullopt;
    return unescapeJsStringLiteral(script.substr(head.size(), script.size() - head.size() - tail.size()));
}

}  // namespace tevra::test
