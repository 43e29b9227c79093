#include "bridge/FrameCall.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace tevra {

namespace {

constexpr char kFrameCallPrefix[] = "if(window.handleARFrame){window.handleARFrame(new Float32Array([";
constexpr char kFrameCallSuffix[] = "]))}";

// "00" "01" ... "99".
struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text() {
        for (int i = 0; i < 100; ++i) {
            text[2 * i] = static_cast<char>('0' + i / 10);
            text[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
constexpr DigitPairs kDigitPairs;

inline char* writePair(char* out, uint32_t v) {
    std::memcpy(out, kDigitPairs.text + 2 * v, 2);
    return out + 2;
}

// Decimal digits of v (v < 10^8), no leading zeros; "0" for zero.
inline char* writeSmallUnsigned(char* out, uint32_t v) {
    if (v < 10) {
        *out = static_cast<char>('0' + v);
        return out + 1;
    }
    char tmp[8];
    char* end = tmp + sizeof tmp;
    char* p = end;
    while (v >= 100) {
        p -= 2;
        std::memcpy(p, kDigitPairs.text + 2 * (v % 100), 2);
        v /= 100;
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, kDigitPairs.text + 2 * v, 2);
    } else {
        *--p = static_cast<char>('0' + v);
    }
    size_t n = static_cast<size_t>(end - p);
    std::memcpy(out, p, n);
    return out + n;
}

// Decimal digits of a 128-bit value (the integer floats at or above 2^23).
char* writeWideUnsigned(char* out, unsigned __int128 v) {
    char tmp[40];
    char* end = tmp + sizeof tmp;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + static_cast<unsigned>(v % 10));
        v /= 10;
    } while (v != 0);
    size_t n = static_cast<size_t>(end - p);
    std::memcpy(out, p, n);
    return out + n;
}

}  // namespace

char* formatFloatF6(char* out, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const bool negative = (bits >> 31) != 0;
    const uint32_t exponent = (bits >> 23) & 0xFFu;
    const uint32_t mantissa = bits & 0x7FFFFFu;

    if (exponent == 0xFFu) {
        // glibc writes the sign of a NaN as well.
        if (negative) *out++ = '-';
        std::memcpy(out, mantissa != 0 ? "nan" : "inf", 3);
        return out + 3;
    }
    if (negative) *out++ = '-';

    if (exponent < 150) {
        // |value| < 2^23. |value| * 10^6 is exact in double (24-bit mantissa
        // times a 20-bit integer), so rounding it to an integer, half to
        // even, is exactly what printf does with the decimal expansion.
        double scaled = static_cast<double>(std::fabs(value)) * 1e6;
        // Round to nearest even: valid for 0 <= scaled < 2^52.
        constexpr double kTwo52 = 4503599627370496.0;
        double rounded = (scaled + kTwo52) - kTwo52;
        uint64_t n = static_cast<uint64_t>(rounded);
        uint32_t integerPart = static_cast<uint32_t>(n / 1000000u);
        uint32_t fraction = static_cast<uint32_t>(n % 1000000u);
        out = writeSmallUnsigned(out, integerPart);
        *out++ = '.';
        out = writePair(out, fraction / 10000u);
        out = writePair(out, (fraction / 100u) % 100u);
        return writePair(out, fraction % 100u);
    }

    // |value| >= 2^23: an integer, mantissa * 2^(exponent - 150), below 2^128.
    unsigned __int128 n = static_cast<unsigned __int128>(mantissa | 0x800000u) << (exponent - 150);
    out = writeWideUnsigned(out, n);
    std::memcpy(out, ".000000", 7);
    return out + 7;
}

void appendFloatF6(std::string& out, float value) {
    char buf[kMaxFloatF6Length];
    char* end = formatFloatF6(buf, value);
    out.append(buf, static_cast<size_t>(end - buf));
}

void appendFrameCall(std::string& out, const float values[kFrameCallValueCount]) {
    char buf[sizeof kFrameCallPrefix + kFrameCallValueCount * (kMaxFloatF6Length + 1) + sizeof kFrameCallSuffix];
    char* p = buf;
    std::memcpy(p, kFrameCallPrefix, sizeof kFrameCallPrefix - 1);
    p += sizeof kFrameCallPrefix - 1;
    for (size_t i = 0; i < kFrameCallValueCount; ++i) {
        // printf's "nan" and "inf" are not JavaScript: one of them would make
        // the whole call a ReferenceError and the page would lose the frame.
        if (std::isfinite(values[i])) {
            p = formatFloatF6(p, values[i]);
        } else {
            const char* literal = std::isnan(values[i]) ? "NaN" : values[i] > 0 ? "Infinity" : "-Infinity";
            const size_t n = std::strlen(literal);
            std::memcpy(p, literal, n);
            p += n;
        }
        *p++ = ',';
    }
    --p;  // no comma after the last number
    std::memcpy(p, kFrameCallSuffix, sizeof kFrameCallSuffix - 1);
    p += sizeof kFrameCallSuffix - 1;
    out.append(buf, static_cast<size_t>(p - buf));
}

std::string buildFrameCall(const float values[kFrameCallValueCount]) {
    std::string out;
    appendFrameCall(out, values);
    return out;
}

}  // namespace tevra
