#include "math/YuvRows.h"

#include "math/KernelPath.h"

#include <algorithm>
#include <atomic>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TEVRA_YUV_X86 1
#else
#define TEVRA_YUV_X86 0
#endif

namespace tevra::yuv {

namespace {

// Fixed point, 7 fraction bits. The luma term carries the rounding half:
// 149 * Y' - 2320 = 149 (Y' - 16) + 64, at most 32695 for Y' = 235.
constexpr int kShift = 7;
constexpr int kLuma = 149;
constexpr int kLumaOffset = 64 - 16 * kLuma;
constexpr int kCrToR = 204;
constexpr int kCbToG = 50;
constexpr int kCrToG = 104;
constexpr int kCbToB = 258;

int16_t saturate16(int v) { return static_cast<int16_t>(std::clamp(v, -32768, 32767)); }

uint8_t finish(int16_t v) { return static_cast<uint8_t>(std::clamp(v >> kShift, 0, 255)); }

// The reference arithmetic, exactly as the vector paths do it (including the
// 16-bit saturating sums, which only ever saturate when the result is above
// 255 anyway).
void pixelScalar(uint8_t y, uint8_t cb, uint8_t cr, uint8_t* out) {
    const int l = std::clamp<int>(y, 16, 235) * kLuma + kLumaOffset;
    const int u = std::clamp<int>(cb, 16, 240) - 128;
    const int v = std::clamp<int>(cr, 16, 240) - 128;
    out[0] = 255;
    out[1] = finish(saturate16(l + v * kCrToR));
    out[2] = finish(saturate16(l + static_cast<int16_t>(-u * kCbToG - v * kCrToG)));
    out[3] = finish(saturate16(l + u * kCbToB));
}

void rowScalar(const uint8_t* luma, const uint8_t* chroma, size_t chromaPairs, uint8_t* out, size_t from,
               size_t width) {
    for (size_t x = from; x < width; ++x) {
        const uint8_t* pair = chroma + 2 * std::min(x / 2, chromaPairs - 1);
        pixelScalar(luma[x], pair[0], pair[1], out + 4 * x);
    }
}

#if TEVRA_YUV_X86

#define TEVRA_YUV_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl")))

// 32 pixels from 32 luma words and 16 (Cb, Cr) word pairs (already clamped),
// as 32 A, R, G, B pixels in two 512-bit halves.
TEVRA_YUV_AVX512 inline void convert32AVX512(__m512i y, __m512i c, __m512i& first, __m512i& second) {
    const __m512i l = _mm512_add_epi16(_mm512_mullo_epi16(y, _mm512_set1_epi16(kLuma)),
                                       _mm512_set1_epi16(static_cast<int16_t>(kLumaOffset)));
    c = _mm512_sub_epi16(c, _mm512_set1_epi16(128));
    // Even words Cb * 258 (blue), odd words Cr * 204 (red); green per pair.
    const __m512i br = _mm512_mullo_epi16(c, _mm512_set1_epi32((kCrToR << 16) | kCbToB));
    const __m512i g = _mm512_madd_epi16(
        c, _mm512_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(-kCrToG)) << 16) |
                                                  static_cast<uint16_t>(-kCbToG))));
    const __m512i evens = _mm512_set4_epi32(0x0d0c0d0c, 0x09080908, 0x05040504, 0x01000100);
    const __m512i odds = _mm512_set4_epi32(0x0f0e0f0e, 0x0b0a0b0a, 0x07060706, 0x03020302);
    const __m512i r = _mm512_srai_epi16(_mm512_adds_epi16(l, _mm512_shuffle_epi8(br, odds)), kShift);
    const __m512i gg = _mm512_srai_epi16(_mm512_adds_epi16(l, _mm512_shuffle_epi8(g, evens)), kShift);
    const __m512i b = _mm512_srai_epi16(_mm512_adds_epi16(l, _mm512_shuffle_epi8(br, evens)), kShift);
    // Per 128-bit lane (pixels 8k..8k+7): bytes R|G and A|B, then A R and G B
    // pairs, then whole pixels 8k..8k+3 and 8k+4..8k+7.
    const __m512i rg = _mm512_packus_epi16(r, gg);
    const __m512i ab = _mm512_packus_epi16(_mm512_set1_epi16(255), b);
    const __m512i ar = _mm512_unpacklo_epi8(ab, rg);
    const __m512i gb = _mm512_unpackhi_epi8(rg, ab);
    const __m512i lo = _mm512_unpacklo_epi16(ar, gb);
    const __m512i hi = _mm512_unpackhi_epi16(ar, gb);
    first = _mm512_permutex2var_epi64(lo, _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11), hi);
    second = _mm512_permutex2var_epi64(lo, _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15), hi);
}

TEVRA_YUV_AVX512 void rowAVX512(const uint8_t* luma, const uint8_t* chroma, size_t chromaPairs, uint8_t* out,
                                size_t width) {
    const __m512i lumaLo = _mm512_set1_epi8(16), lumaHi = _mm512_set1_epi8(static_cast<char>(235));
    const __m512i chromaHi = _mm512_set1_epi8(static_cast<char>(240));
    size_t x = 0;
    // A block of 64 pixels needs pairs x / 2 .. x / 2 + 31 to be in the plane.
    for (; x + 64 <= width && x / 2 + 32 <= chromaPairs; x += 64) {
        __m512i y = _mm512_loadu_si512(luma + x);
        __m512i c = _mm512_loadu_si512(chroma + x);
        y = _mm512_min_epu8(_mm512_max_epu8(y, lumaLo), lumaHi);
        c = _mm512_min_epu8(_mm512_max_epu8(c, lumaLo), chromaHi);
        __m512i p0, p1, p2, p3;
        convert32AVX512(_mm512_cvtepu8_epi16(_mm512_castsi512_si256(y)),
                        _mm512_cvtepu8_epi16(_mm512_castsi512_si256(c)), p0, p1);
        convert32AVX512(_mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(y, 1)),
                        _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(c, 1)), p2, p3);
        _mm512_storeu_si512(out + 4 * x, p0);
        _mm512_storeu_si512(out + 4 * x + 64, p1);
        _mm512_storeu_si512(out + 4 * x + 128, p2);
        _mm512_storeu_si512(out + 4 * x + 192, p3);
    }
    rowScalar(luma, chroma, chromaPairs, out, x, width);
}

#define TEVRA_YUV_AVX2 __attribute__((target("avx2")))

TEVRA_YUV_AVX2 inline void convert16AVX2(__m256i y, __m256i c, __m256i& first, __m256i& second) {
    const __m256i l = _mm256_add_epi16(_mm256_mullo_epi16(y, _mm256_set1_epi16(kLuma)),
                                       _mm256_set1_epi16(static_cast<int16_t>(kLumaOffset)));
    c = _mm256_sub_epi16(c, _mm256_set1_epi16(128));
    const __m256i br = _mm256_mullo_epi16(c, _mm256_set1_epi32((kCrToR << 16) | kCbToB));
    const __m256i g = _mm256_madd_epi16(
        c, _mm256_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint16_t>(-kCrToG)) << 16) |
                                                  static_cast<uint16_t>(-kCbToG))));
    const __m256i evens = _mm256_setr_epi8(0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13, 0, 1, 0, 1, 4, 5, 4, 5,
                                           8, 9, 8, 9, 12, 13, 12, 13);
    const __m256i odds = _mm256_setr_epi8(2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15, 2, 3, 2, 3, 6, 7, 6,
                                          7, 10, 11, 10, 11, 14, 15, 14, 15);
    const __m256i r = _mm256_srai_epi16(_mm256_adds_epi16(l, _mm256_shuffle_epi8(br, odds)), kShift);
    const __m256i gg = _mm256_srai_epi16(_mm256_adds_epi16(l, _mm256_shuffle_epi8(g, evens)), kShift);
    const __m256i b = _mm256_srai_epi16(_mm256_adds_epi16(l, _mm256_shuffle_epi8(br, evens)), kShift);
    const __m256i rg = _mm256_packus_epi16(r, gg);
    const __m256i ab = _mm256_packus_epi16(_mm256_set1_epi16(255), b);
    const __m256i ar = _mm256_unpacklo_epi8(ab, rg);
    const __m256i gb = _mm256_unpackhi_epi8(rg, ab);
    const __m256i lo = _mm256_unpacklo_epi16(ar, gb);
    const __m256i hi = _mm256_unpackhi_epi16(ar, gb);
    first = _mm256_permute2x128_si256(lo, hi, 0x20);
    second = _mm256_permute2x128_si256(lo, hi, 0x31);
}

TEVRA_YUV_AVX2 void rowAVX2(const uint8_t* luma, const uint8_t* chroma, size_t chromaPairs, uint8_t* out,
                            size_t width) {
    const __m256i lumaLo = _mm256_set1_epi8(16), lumaHi = _mm256_set1_epi8(static_cast<char>(235));
    const __m256i chromaHi = _mm256_set1_epi8(static_cast<char>(240));
    size_t x = 0;
    for (; x + 32 <= width && x / 2 + 16 <= chromaPairs; x += 32) {
        __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma + x));
        __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chroma + x));
        y = _mm256_min_epu8(_mm256_max_epu8(y, lumaLo), lumaHi);
        c = _mm256_min_epu8(_mm256_max_epu8(c, lumaLo), chromaHi);
        __m256i p0, p1, p2, p3;
        convert16AVX2(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(y)), _mm256_cvtepu8_epi16(_mm256_castsi256_si128(c)),
                      p0, p1);
        convert16AVX2(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(y, 1)),
                      _mm256_cvtepu8_epi16(_mm256_extracti128_si256(c, 1)), p2, p3);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x), p0);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x + 32), p1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x + 64), p2);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x + 96), p3);
    }
    rowScalar(luma, chroma, chromaPairs, out, x, width);
}

#endif  // TEVRA_YUV_X86

using simd::KernelPath;

KernelPath bestPath() {
#if TEVRA_YUV_X86
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
        return KernelPath::avx512;
    if (__builtin_cpu_supports("avx2")) return KernelPath::avx2;
#endif
    return KernelPath::scalar;
}

simd::KernelPathChoice& choice() {
    static simd::KernelPathChoice c(bestPath(), {KernelPath::scalar, KernelPath::avx2, KernelPath::avx512});
    return c;
}

}  // namespace

void rowNV12ToARGB(const uint8_t* luma, const uint8_t* chroma, size_t chromaPairs, uint8_t* out, size_t width) {
    if (width == 0 || chromaPairs == 0) return;
#if TEVRA_YUV_X86
    switch (choice().current()) {
        case KernelPath::avx512:
            return rowAVX512(luma, chroma, chromaPairs, out, width);
        case KernelPath::avx2:
            return rowAVX2(luma, chroma, chromaPairs, out, width);
        default:
            break;
    }
#endif
    rowScalar(luma, chroma, chromaPairs, out, 0, width);
}

const char* activePath() { return choice().name(); }

bool forcePathForTesting(const char* name) { return choice().force(name); }

}  // namespace tevra::yuv
