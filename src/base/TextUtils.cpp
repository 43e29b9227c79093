#include "base/TextUtils.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace tevra {

std::vector<std::string> splitString(std::string_view text, std::string_view separator) {
    std::vector<std::string> out;
    if (separator.empty()) {
        out.emplace_back(text);
        return out;
    }
    size_t start = 0;
    while (true) {
        size_t pos = text.find(separator, start);
        if (pos == std::string_view::npos) {
            out.emplace_back(text.substr(start));
            return out;
        }
        out.emplace_back(text.substr(start, pos - start));
        start = pos + separator.size();
    }
}

namespace {
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

size_t skipSpace(std::string_view t) {
    size_t i = 0;
    while (i < t.size() && isSpace(t[i])) ++i;
    return i;
}
}  // namespace

int32_t readInt32(std::string_view text) {
    size_t i = skipSpace(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || !isDigit(text[i])) return 0;
    long long value = 0;
    bool saturated = false;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        if (!saturated) {
            value = value * 10 + (text[i] - '0');
            if (value > static_cast<long long>(INT32_MAX) + 1) saturated = true;
        }
    }
    if (negative) {
        value = -value;
        if (saturated || value < INT32_MIN) return INT32_MIN;
        return static_cast<int32_t>(value);
    }
    if (saturated || value > INT32_MAX) return INT32_MAX;
    return static_cast<int32_t>(value);
}

namespace {
// The power of ten of the first significant digit of a decimal number with
// at least one such digit: "1234.5" gives 3, "0.0012e-3" gives -6. It tells
// an overflow from an underflow, exponent or not. Saturates far beyond the
// range of any floating-point type.
long decimalOrder(std::string_view number) {
    size_t i = number[0] == '-' ? 1 : 0;
    long order = 0;
    bool seenPoint = false, seenSignificant = false;
    for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
        if (number[i] == '.') {
            seenPoint = true;
        } else if (!seenSignificant && number[i] == '0') {
            if (seenPoint) --order;
        } else if (!seenSignificant) {
            seenSignificant = true;
            if (seenPoint) --order;
        } else if (!seenPoint) {
            ++order;
        }
    }
    long exponent = 0;
    if (i < number.size()) {
        size_t j = i + 1;
        const bool negExp = j < number.size() && number[j] == '-';
        if (j < number.size() && (number[j] == '-' || number[j] == '+')) ++j;
        for (; j < number.size(); ++j) exponent = std::min(exponent * 10 + (number[j] - '0'), 1000000L);
        if (negExp) exponent = -exponent;
    }
    return order + exponent;
}
}  // namespace

float readFloat(std::string_view text) {
    size_t start = skipSpace(text);
    size_t i = start;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t digitsStart = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    size_t intDigits = i - digitsStart;
    size_t fracDigits = 0;
    if (i < text.size() && text[i] == '.') {
        size_t j = i + 1;
        while (j < text.size() && isDigit(text[j])) ++j;
        fracDigits = j - i - 1;
        if (intDigits > 0 || fracDigits > 0) i = j;
    }
    if (intDigits == 0 && fracDigits == 0) return 0.0f;
    // An exponent counts only when at least one digit follows it.
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        size_t expDigits = j;
        while (j < text.size() && isDigit(text[j])) ++j;
        if (j > expDigits) i = j;
    }
    std::string number(text.substr(start, i - start));
    if (!number.empty() && number[0] == '+') number.erase(0, 1);
    // Straight from the decimal text into a float: one rounding, so
    // "16777217.000000001" reads as 16777218, the nearest float.
    float value = 0.0f;
    auto res = std::from_chars(number.data(), number.data() + number.size(), value);
    if (res.ec == std::errc::result_out_of_range) {
        // Overflow reads as infinity, underflow as zero, keeping the sign.
        const bool neg = number[0] == '-';
        if (decimalOrder(number) < 0) return neg ? -0.0f : 0.0f;
        return neg ? -INFINITY : INFINITY;
    }
    return value;
}

std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, ap);
        out.resize(static_cast<size_t>(n));
    }
    va_end(ap);
    return out;
}

bool isJSONNumberLiteral(std::string_view t) {
    size_t i = 0;
    if (i < t.size() && t[i] == '-') ++i;
    if (i >= t.size()) return false;
    if (t[i] == '0') {
        ++i;
    } else if (t[i] >= '1' && t[i] <= '9') {
        while (i < t.size() && isDigit(t[i])) ++i;
    } else {
        return false;
    }
    if (i < t.size() && t[i] == '.') {
        ++i;
        size_t d = i;
        while (i < t.size() && isDigit(t[i])) ++i;
        if (i == d) return false;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        size_t d = i;
        while (i < t.size() && isDigit(t[i])) ++i;
        if (i == d) return false;
    }
    return i == t.size();
}

std::string lowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool endsWithIgnoringCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && lowercase(text.substr(text.size() - suffix.size())) == lowercase(suffix);
}

std::string jsonStringLiteral(std::string_view text) {
    return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tevra
