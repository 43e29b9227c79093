// Text helpers of the message grammars: splitting and number reading.
//
// Splitting yields the pieces between separators, empty pieces included:
// "a||b" at "|" gives "a", "", "b"; "" gives one empty piece.
// Number reading skips leading white space, takes the longest leading decimal
// number and ignores the rest; text without one reads as 0. Integers are
// 32-bit and saturate: "99999999999" reads as 2147483647; " -7x" as -7.
// Reals accept a sign, digits, a decimal point and an exponent: "1.5e2px"
// reads as 150; "abc" as 0.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tevra {

std::vector<std::string> splitString(std::string_view text, std::string_view separator);
int32_t readInt32(std::string_view text);
float readFloat(std::string_view text);

// ASCII lower case ("Index.HTML" -> "index.html"); other bytes unchanged.
std::string lowercase(std::string_view text);
// True when text ends with suffix, ASCII letters compared in any case.
bool endsWithIgnoringCase(std::string_view text, std::string_view suffix);

// printf-style formatting into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// True when text is a JSON number literal (-?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?).
bool isJSONNumberLiteral(std::string_view text);

// A JSON string literal of text (invalid UTF-8 replaced).
std::string jsonStringLiteral(std::string_view text);

}  // namespace tevra
