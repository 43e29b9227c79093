#include "math/QuarterTurn.h"

#include "math/KernelPath.h"

#include <atomic>
#include <cstring>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TEVRA_TURN_X86 1
#else
#define TEVRA_TURN_X86 0
#endif

namespace tevra::turn {

namespace {

struct Geometry {
    const uint8_t* src;
    size_t srcStride, width, height;
    uint8_t* dst;
    size_t dstStride;
    bool clockwise;

    // Where source row y, column x starts in the result.
    uint8_t* target(size_t x, size_t y) const {
        return clockwise ? dst + x * dstStride + 4 * (height - 1 - y) : dst + (width - 1 - x) * dstStride + 4 * y;
    }
    void movePixel(size_t x, size_t y) const { std::memcpy(target(x, y), src + y * srcStride + 4 * x, 4); }
};

// Everything outside the whole blocks of `block` x `block` pixels.
void moveRest(const Geometry& g, size_t block) {
    const size_t fullW = g.width / block * block, fullH = g.height / block * block;
    for (size_t y = 0; y < fullH; ++y)
        for (size_t x = fullW; x < g.width; ++x) g.movePixel(x, y);
    for (size_t y = fullH; y < g.height; ++y)
        for (size_t x = 0; x < g.width; ++x) g.movePixel(x, y);
}

void turnScalar(const Geometry& g) { moveRest(g, g.width + g.height + 1); }

#if TEVRA_TURN_X86

#define TEVRA_TURN_AVX512 __attribute__((target("avx2,avx512f")))

// Strips of 16 source rows, left to right in blocks of 16 x 16. Loading the
// rows bottom first for the clockwise turn makes every transposed column come
// out in result order.
TEVRA_TURN_AVX512 void turnAVX512(const Geometry& g) {
    const size_t fullW = g.width / 16 * 16, fullH = g.height / 16 * 16;
    for (size_t y = 0; y < fullH; y += 16) {
        const uint8_t* rows[16];
        for (size_t j = 0; j < 16; ++j) rows[j] = g.src + (g.clockwise ? y + 15 - j : y + j) * g.srcStride;
        // Result row of source column x (+ k * step for column x + k) at this strip.
        for (size_t x = 0; x < fullW; x += 16) {
            __m512i r[16], t[16], u[16];
            for (size_t j = 0; j < 16; ++j) r[j] = _mm512_loadu_si512(rows[j] + 4 * x);
            for (size_t j = 0; j < 16; j += 2) {
                t[j] = _mm512_unpacklo_epi32(r[j], r[j + 1]);
                t[j + 1] = _mm512_unpackhi_epi32(r[j], r[j + 1]);
            }
            for (size_t j = 0; j < 16; j += 4) {
                u[j] = _mm512_unpacklo_epi64(t[j], t[j + 2]);
                u[j + 1] = _mm512_unpackhi_epi64(t[j], t[j + 2]);
                u[j + 2] = _mm512_unpacklo_epi64(t[j + 1], t[j + 3]);
                u[j + 3] = _mm512_unpackhi_epi64(t[j + 1], t[j + 3]);
            }
            // u[m + 4q], lane L: column 4L + m of rows 4q..4q+3.
            for (size_t m = 0; m < 4; ++m) {
                const __m512i v0 = _mm512_shuffle_i32x4(u[m], u[m + 4], 0x88);
                const __m512i v1 = _mm512_shuffle_i32x4(u[m], u[m + 4], 0xdd);
                const __m512i w0 = _mm512_shuffle_i32x4(u[m + 8], u[m + 12], 0x88);
                const __m512i w1 = _mm512_shuffle_i32x4(u[m + 8], u[m + 12], 0xdd);
                const __m512i column[4] = {_mm512_shuffle_i32x4(v0, w0, 0x88), _mm512_shuffle_i32x4(v1, w1, 0x88),
                                           _mm512_shuffle_i32x4(v0, w0, 0xdd), _mm512_shuffle_i32x4(v1, w1, 0xdd)};
                for (size_t L = 0; L < 4; ++L) {
                    const size_t c = x + 4 * L + m;
                    uint8_t* to = g.clockwise ? g.dst + c * g.dstStride + 4 * (g.height - 16 - y)
                                              : g.dst + (g.width - 1 - c) * g.dstStride + 4 * y;
                    _mm512_storeu_si512(to, column[L]);
                }
            }
        }
    }
    moveRest(g, 16);
}

#define TEVRA_TURN_AVX2 __attribute__((target("avx2")))

TEVRA_TURN_AVX2 void turnAVX2(const Geometry& g) {
    const size_t fullW = g.width / 8 * 8, fullH = g.height / 8 * 8;
    for (size_t y = 0; y < fullH; y += 8) {
        const uint8_t* rows[8];
        for (size_t j = 0; j < 8; ++j) rows[j] = g.src + (g.clockwise ? y + 7 - j : y + j) * g.srcStride;
        for (size_t x = 0; x < fullW; x += 8) {
            __m256i r[8], t[8], u[8];
            for (size_t j = 0; j < 8; ++j) r[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[j] + 4 * x));
            for (size_t j = 0; j < 8; j += 2) {
                t[j] = _mm256_unpacklo_epi32(r[j], r[j + 1]);
                t[j + 1] = _mm256_unpackhi_epi32(r[j], r[j + 1]);
            }
            for (size_t j = 0; j < 8; j += 4) {
                u[j] = _mm256_unpacklo_epi64(t[j], t[j + 2]);
                u[j + 1] = _mm256_unpackhi_epi64(t[j], t[j + 2]);
                u[j + 2] = _mm256_unpacklo_epi64(t[j + 1], t[j + 3]);
                u[j + 3] = _mm256_unpackhi_epi64(t[j + 1], t[j + 3]);
            }
            // u[m + 4q], lane L: column 4L + m of rows 4q..4q+3.
            for (size_t m = 0; m < 4; ++m) {
                const __m256i column[2] = {_mm256_permute2x128_si256(u[m], u[m + 4], 0x20),
                                           _mm256_permute2x128_si256(u[m], u[m + 4], 0x31)};
                for (size_t L = 0; L < 2; ++L) {
                    const size_t c = x + 4 * L + m;
                    uint8_t* to = g.clockwise ? g.dst + c * g.dstStride + 4 * (g.height - 8 - y)
                                              : g.dst + (g.width - 1 - c) * g.dstStride + 4 * y;
                    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), column[L]);
                }
            }
        }
    }
    moveRest(g, 8);
}

#endif  // TEVRA_TURN_X86

using simd::KernelPath;

KernelPath bestPath() {
#if TEVRA_TURN_X86
    if (__builtin_cpu_supports("avx512f")) return KernelPath::avx512;
    if (__builtin_cpu_supports("avx2")) return KernelPath::avx2;
#endif
    return KernelPath::scalar;
}

simd::KernelPathChoice& choice() {
    static simd::KernelPathChoice c(bestPath(), {KernelPath::scalar, KernelPath::avx2, KernelPath::avx512});
    return c;
}

}  // namespace

void quarterTurn4(const uint8_t* src, size_t srcBytesPerRow, size_t width, size_t height, uint8_t* dst,
                  size_t dstBytesPerRow, bool clockwise) {
    if (!src || !dst || width == 0 || height == 0) return;
    const Geometry g{src, srcBytesPerRow, width, height, dst, dstBytesPerRow, clockwise};
#if TEVRA_TURN_X86
    switch (choice().current()) {
        case KernelPath::avx512:
            return turnAVX512(g);
        case KernelPath::avx2:
            return turnAVX2(g);
        default:
            break;
    }
#endif
    turnScalar(g);
}

const char* activePath() { return choice().name(); }

bool forcePathForTesting(const char* name) { return choice().force(name); }

}  // namespace tevra::turn
