// A small URL parser with the strictness of the platform's URL type: text
// holding characters that may not appear in a URL (blanks, quotes, angle
// brackets, braces, backslash, caret, backquote, "|", control or non-ASCII
// characters, or a "%" not followed by two hex digits) does not parse.
//
// Example: "file://docs/Index.HTML" parses with scheme "file", host "docs",
// path "/Index.HTML" and path extension "HTML"; "my page" does not parse.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tevra {

struct ParsedURL {
    std::string absoluteString;
    std::optional<std::string> scheme;
    std::optional<std::string> host;  // absent without an authority; may be empty
    std::string path;
    std::string pathExtension() const;
};

std::optional<ParsedURL> parseURL(std::string_view text);

// True when the text is an http or https URL (scheme in any case) that names
// a host: "HTTPS://vps.example.org/locate" yes; "file:///tmp/x", "ftp://h/",
// "http://" and "example.org" no.
bool isWebURL(std::string_view text);

// "file://" URL of an absolute file-system path, percent-encoded.
std::string fileURLForPath(const std::string& path);

}  // namespace tevra
