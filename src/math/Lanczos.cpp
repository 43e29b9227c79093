#include "math/Lanczos.h"

#include "math/KernelPath.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "math/QuarterTurn.h"
#include "math/YuvRows.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TEVRA_LANCZOS_X86 1
#else
#define TEVRA_LANCZOS_X86 0
#endif

namespace tevra::lanczos {

namespace {

constexpr int kBits = 14;
constexpr int kOne = 1 << kBits;
constexpr int kHalf = 1 << (kBits - 1);
constexpr size_t kMaxDimension = size_t{1} << 15;
constexpr double kPi = 3.14159265358979323846;

// Filter weights along one axis, for every target index.
struct Axis {
    size_t src = 0, dst = 0;
    bool identity = false;
    size_t taps = 0;                // per target index, same for all
    size_t pairCount = 0;           // (taps + 1) / 2
    std::vector<size_t> start;      // first source index; start + taps <= src
    std::vector<int16_t> weights;   // dst * taps, 14-bit fixed point, each row sums to kOne
    std::vector<int32_t> pairs;     // dst * pairCount: two weights packed for a 16-bit multiply-add
    std::vector<int32_t> expanded;  // dst * pairCount * 4: each pair repeated once per channel
};

uint8_t clampToByte(int32_t acc) {
    int32_t v = (acc + kHalf) >> kBits;
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

int32_t packPair(int16_t w0, int16_t w1) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(w0)) |
                                (static_cast<uint32_t>(static_cast<uint16_t>(w1)) << 16));
}

std::shared_ptr<const Axis> buildAxis(size_t src, size_t dst) {
    auto axis = std::make_shared<Axis>();
    axis->src = src;
    axis->dst = dst;
    axis->identity = src == dst;
    const double scale = static_cast<double>(src) / static_cast<double>(dst);
    const double filterScale = std::max(scale, 1.0);  // stretch the kernel when shrinking
    const double support = 3.0 * filterScale;
    const long last = static_cast<long>(src) - 1;

    auto window = [&](size_t i, long& lo, long& hi, double& centre) {
        centre = (static_cast<double>(i) + 0.5) * scale;
        lo = std::max(0L, static_cast<long>(std::floor(centre - support - 0.5)));
        hi = std::min(last, static_cast<long>(std::ceil(centre + support - 0.5)));
        if (hi < lo) hi = lo = std::min(last, std::max(0L, static_cast<long>(centre)));
    };

    // Each target index's weights in fixed point, trimmed to the span from
    // its first to its last non-zero weight: taps near the window's edges
    // round to 0 (the kernel vanishes at 3), and dropping them changes no
    // sum but shortens every inner loop (16 taps instead of 18, padded to 20,
    // for a 2.67x shrink).
    std::vector<long> firsts(dst);
    std::vector<std::vector<int16_t>> rounded(dst);
    std::vector<double> w;
    size_t widest = 1;
    for (size_t i = 0; i < dst; ++i) {
        long lo, hi;
        double centre;
        window(i, lo, hi, centre);
        const size_t count = static_cast<size_t>(hi - lo + 1);
        w.assign(count, 0.0);
        double sum = 0;
        for (size_t k = 0; k < count; ++k) {
            w[k] = kernel((static_cast<double>(lo + static_cast<long>(k)) + 0.5 - centre) / filterScale);
            sum += w[k];
        }
        if (!(sum > 1e-9)) {  // cannot happen for Lanczos-3, kept as a guard: nearest pixel
            std::fill(w.begin(), w.end(), 0.0);
            w[std::min(count - 1, static_cast<size_t>(std::max(0.0, centre - static_cast<double>(lo))))] = 1;
            sum = 1;
        }
        std::vector<int16_t> q(count);
        int total = 0;
        size_t largest = 0;
        for (size_t k = 0; k < count; ++k) {
            q[k] = static_cast<int16_t>(std::lround(w[k] / sum * kOne));
            total += q[k];
            if (std::abs(q[k]) > std::abs(q[largest])) largest = k;
        }
        q[largest] = static_cast<int16_t>(q[largest] + (kOne - total));  // taps sum to exactly one
        size_t a = 0, b = count;
        while (a + 1 < b && q[a] == 0) ++a;
        while (b - 1 > a && q[b - 1] == 0) --b;
        firsts[i] = lo + static_cast<long>(a);
        rounded[i].assign(q.begin() + static_cast<long>(a), q.begin() + static_cast<long>(b));
        widest = std::max(widest, b - a);
    }
    // Pad to a multiple of 4 taps (or 2) so the vector loops have no tail,
    // as long as the padded window still fits inside the source.
    size_t taps = (widest + 3) / 4 * 4;
    if (taps > src) taps = (widest + 1) / 2 * 2;
    if (taps > src) taps = widest;
    axis->taps = taps;
    axis->pairCount = (taps + 1) / 2;
    axis->start.assign(dst, 0);
    axis->weights.assign(dst * taps, 0);
    for (size_t i = 0; i < dst; ++i) {
        const size_t lo = static_cast<size_t>(firsts[i]);
        const size_t first = std::min(lo, src - taps);
        std::copy(rounded[i].begin(), rounded[i].end(),
                  axis->weights.begin() + static_cast<long>(i * taps + (lo - first)));
        axis->start[i] = first;
    }

    axis->pairs.assign(dst * axis->pairCount, 0);
    axis->expanded.assign(dst * axis->pairCount * 4, 0);
    for (size_t i = 0; i < dst; ++i) {
        for (size_t p = 0; p < axis->pairCount; ++p) {
            int16_t w0 = axis->weights[i * taps + 2 * p];
            int16_t w1 = 2 * p + 1 < taps ? axis->weights[i * taps + 2 * p + 1] : int16_t{0};
            int32_t packed = packPair(w0, w1);
            axis->pairs[i * axis->pairCount + p] = packed;
            for (size_t c = 0; c < 4; ++c) axis->expanded[(i * axis->pairCount + p) * 4 + c] = packed;
        }
    }
    return axis;
}

// A few recent geometries per thread: a detection run resizes the same frame
// size every time, and building the weights costs more than applying them.
std::shared_ptr<const Axis> axisFor(size_t src, size_t dst) {
    struct Entry {
        std::shared_ptr<const Axis> axis;
    };
    thread_local Entry cache[8];
    thread_local size_t next = 0;
    for (auto& e : cache)
        if (e.axis && e.axis->src == src && e.axis->dst == dst) return e.axis;
    auto axis = buildAxis(src, dst);
    cache[next].axis = axis;
    next = (next + 1) % 8;
    return axis;
}

// ---- Vertical pass: one target row from `taps` source rows. ----

void verticalScalar(const uint8_t* const* rows, const Axis& v, size_t y, uint8_t* out, size_t from, size_t bytes) {
    const int16_t* w = &v.weights[y * v.taps];
    for (size_t x = from; x < bytes; ++x) {
        int32_t acc = 0;
        for (size_t t = 0; t < v.taps; ++t) acc += w[t] * static_cast<int32_t>(rows[t][x]);
        out[x] = clampToByte(acc);
    }
}

// ---- Horizontal pass: one target row of 4-byte pixels from one source row. ----

void horizontalScalarPixel(const uint8_t* in, const Axis& h, size_t i, uint8_t* out, ptrdiff_t step) {
    const int16_t* w = &h.weights[i * h.taps];
    const uint8_t* p = in + 4 * h.start[i];
    for (size_t c = 0; c < 4; ++c) {
        int32_t acc = 0;
        for (size_t t = 0; t < h.taps; ++t) acc += w[t] * static_cast<int32_t>(p[4 * t + c]);
        out[static_cast<ptrdiff_t>(i) * step + static_cast<ptrdiff_t>(c)] = clampToByte(acc);
    }
}

void horizontalScalar(const uint8_t* in, const Axis& h, uint8_t* out, ptrdiff_t step) {
    for (size_t i = 0; i < h.dst; ++i) horizontalScalarPixel(in, h, i, out, step);
}

#if TEVRA_LANCZOS_X86

void verticalSSE2(const uint8_t* const* rows, const Axis& v, size_t y, uint8_t* out, size_t from, size_t bytes) {
    const int32_t* pairs = &v.pairs[y * v.pairCount];
    const __m128i zero = _mm_setzero_si128();
    const __m128i half = _mm_set1_epi32(kHalf);
    size_t x = from;
    for (; x + 16 <= bytes; x += 16) {
        __m128i a0 = half, a1 = half, a2 = half, a3 = half;
        for (size_t p = 0; p < v.pairCount; ++p) {
            const __m128i w = _mm_set1_epi32(pairs[p]);
            const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[2 * p] + x));
            const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[2 * p + 1] + x));
            const __m128i lo = _mm_unpacklo_epi8(r0, r1);
            const __m128i hi = _mm_unpackhi_epi8(r0, r1);
            a0 = _mm_add_epi32(a0, _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), w));
            a1 = _mm_add_epi32(a1, _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), w));
            a2 = _mm_add_epi32(a2, _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), w));
            a3 = _mm_add_epi32(a3, _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), w));
        }
        const __m128i p01 = _mm_packs_epi32(_mm_srai_epi32(a0, kBits), _mm_srai_epi32(a1, kBits));
        const __m128i p23 = _mm_packs_epi32(_mm_srai_epi32(a2, kBits), _mm_srai_epi32(a3, kBits));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(p01, p23));
    }
    if (x < bytes) verticalScalar(rows, v, y, out, x, bytes);
}

__attribute__((target("avx2"))) void verticalAVX2(const uint8_t* const* rows, const Axis& v, size_t y, uint8_t* out,
                                                  size_t bytes) {
    const int32_t* pairs = &v.pairs[y * v.pairCount];
    const __m256i zero = _mm256_setzero_si256();
    const __m256i half = _mm256_set1_epi32(kHalf);
    size_t x = 0;
    for (; x + 32 <= bytes; x += 32) {
        __m256i a0 = half, a1 = half, a2 = half, a3 = half;
        for (size_t p = 0; p < v.pairCount; ++p) {
            const __m256i w = _mm256_set1_epi32(pairs[p]);
            const __m256i r0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[2 * p] + x));
            const __m256i r1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[2 * p + 1] + x));
            const __m256i lo = _mm256_unpacklo_epi8(r0, r1);
            const __m256i hi = _mm256_unpackhi_epi8(r0, r1);
            a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(_mm256_unpacklo_epi8(lo, zero), w));
            a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(_mm256_unpackhi_epi8(lo, zero), w));
            a2 = _mm256_add_epi32(a2, _mm256_madd_epi16(_mm256_unpacklo_epi8(hi, zero), w));
            a3 = _mm256_add_epi32(a3, _mm256_madd_epi16(_mm256_unpackhi_epi8(hi, zero), w));
        }
        // The in-lane packs undo the in-lane unpacks, so bytes come out in order.
        const __m256i p01 = _mm256_packs_epi32(_mm256_srai_epi32(a0, kBits), _mm256_srai_epi32(a1, kBits));
        const __m256i p23 = _mm256_packs_epi32(_mm256_srai_epi32(a2, kBits), _mm256_srai_epi32(a3, kBits));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_packus_epi16(p01, p23));
    }
    if (x < bytes) verticalSSE2(rows, v, y, out, x, bytes);
}

inline __m128i finishPixel(__m128i acc) {
    acc = _mm_srai_epi32(_mm_add_epi32(acc, _mm_set1_epi32(kHalf)), kBits);
    acc = _mm_packs_epi32(acc, acc);
    return _mm_packus_epi16(acc, acc);
}

void horizontalSSE2(const uint8_t* in, const Axis& h, uint8_t* out, ptrdiff_t step) {
    const __m128i zero = _mm_setzero_si128();
    for (size_t i = 0; i < h.dst; ++i) {
        const uint8_t* p = in + 4 * h.start[i];
        const int32_t* w = &h.expanded[i * h.pairCount * 4];
        __m128i acc = zero;
        for (size_t t = 0; t < h.taps; t += 2) {
            const __m128i px = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 4 * t));
            const __m128i il = _mm_unpacklo_epi8(px, _mm_srli_si128(px, 4));  // c0 of both, c1 of both, ...
            const __m128i wt = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 2 * t));
            acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi8(il, zero), wt));
        }
        const int32_t bytes = _mm_cvtsi128_si32(finishPixel(acc));
        std::memcpy(out + static_cast<ptrdiff_t>(i) * step, &bytes, 4);
    }
}

__attribute__((target("avx2"))) void horizontalAVX2(const uint8_t* in, const Axis& h, uint8_t* out, ptrdiff_t step) {
    const __m128i order = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    for (size_t i = 0; i < h.dst; ++i) {
        const uint8_t* p = in + 4 * h.start[i];
        const int32_t* w = &h.expanded[i * h.pairCount * 4];
        __m256i acc = _mm256_setzero_si256();
        for (size_t t = 0; t < h.taps; t += 4) {
            // Four pixels: taps t, t+1 in the low lane, t+2, t+3 in the high lane,
            // each channel's two samples side by side for the multiply-add.
            const __m128i px = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * t)), order);
            const __m256i wt = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 2 * t));
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_cvtepu8_epi16(px), wt));
        }
        const __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        const int32_t bytes = _mm_cvtsi128_si32(finishPixel(sum));
        std::memcpy(out + static_cast<ptrdiff_t>(i) * step, &bytes, 4);
    }
}

// With 512-bit registers and the fused multiply-add-accumulate of the
// vector neural-network extension (dpwssd adds the pair products straight
// into the accumulator, exactly as madd followed by add does).
#define TEVRA_LANCZOS_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512vnni")))

TEVRA_LANCZOS_AVX512 void verticalAVX512(const uint8_t* const* rows, const Axis& v, size_t y, uint8_t* out,
                                         size_t bytes) {
    const int32_t* pairs = &v.pairs[y * v.pairCount];
    const __m512i zero = _mm512_setzero_si512();
    const __m512i half = _mm512_set1_epi32(kHalf);
    size_t x = 0;
    for (; x + 64 <= bytes; x += 64) {
        __m512i a0 = half, a1 = half, a2 = half, a3 = half;
        for (size_t p = 0; p < v.pairCount; ++p) {
            const __m512i w = _mm512_set1_epi32(pairs[p]);
            const __m512i r0 = _mm512_loadu_si512(rows[2 * p] + x);
            const __m512i r1 = _mm512_loadu_si512(rows[2 * p + 1] + x);
            const __m512i lo = _mm512_unpacklo_epi8(r0, r1);
            const __m512i hi = _mm512_unpackhi_epi8(r0, r1);
            a0 = _mm512_dpwssd_epi32(a0, _mm512_unpacklo_epi8(lo, zero), w);
            a1 = _mm512_dpwssd_epi32(a1, _mm512_unpackhi_epi8(lo, zero), w);
            a2 = _mm512_dpwssd_epi32(a2, _mm512_unpacklo_epi8(hi, zero), w);
            a3 = _mm512_dpwssd_epi32(a3, _mm512_unpackhi_epi8(hi, zero), w);
        }
        // As with 256 bits: the in-lane packs undo the in-lane unpacks.
        const __m512i p01 = _mm512_packs_epi32(_mm512_srai_epi32(a0, kBits), _mm512_srai_epi32(a1, kBits));
        const __m512i p23 = _mm512_packs_epi32(_mm512_srai_epi32(a2, kBits), _mm512_srai_epi32(a3, kBits));
        _mm512_storeu_si512(out + x, _mm512_packus_epi16(p01, p23));
    }
    for (; x + 32 <= bytes; x += 32) {
        __m256i a0 = _mm256_set1_epi32(kHalf), a1 = a0, a2 = a0, a3 = a0;
        const __m256i z = _mm256_setzero_si256();
        for (size_t p = 0; p < v.pairCount; ++p) {
            const __m256i w = _mm256_set1_epi32(pairs[p]);
            const __m256i r0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[2 * p] + x));
            const __m256i r1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[2 * p + 1] + x));
            const __m256i lo = _mm256_unpacklo_epi8(r0, r1);
            const __m256i hi = _mm256_unpackhi_epi8(r0, r1);
            a0 = _mm256_dpwssd_epi32(a0, _mm256_unpacklo_epi8(lo, z), w);
            a1 = _mm256_dpwssd_epi32(a1, _mm256_unpackhi_epi8(lo, z), w);
            a2 = _mm256_dpwssd_epi32(a2, _mm256_unpacklo_epi8(hi, z), w);
            a3 = _mm256_dpwssd_epi32(a3, _mm256_unpackhi_epi8(hi, z), w);
        }
        const __m256i p01 = _mm256_packs_epi32(_mm256_srai_epi32(a0, kBits), _mm256_srai_epi32(a1, kBits));
        const __m256i p23 = _mm256_packs_epi32(_mm256_srai_epi32(a2, kBits), _mm256_srai_epi32(a3, kBits));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_packus_epi16(p01, p23));
    }
    if (x < bytes) verticalSSE2(rows, v, y, out, x, bytes);
}

TEVRA_LANCZOS_AVX512 void horizontalAVX512(const uint8_t* in, const Axis& h, uint8_t* out, ptrdiff_t step) {
    const __m128i order = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    for (size_t i = 0; i < h.dst; ++i) {
        const uint8_t* p = in + 4 * h.start[i];
        const int32_t* w = &h.expanded[i * h.pairCount * 4];
        __m256i acc = _mm256_setzero_si256();
        for (size_t t = 0; t < h.taps; t += 4) {
            const __m128i px = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * t)), order);
            const __m256i wt = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 2 * t));
            acc = _mm256_dpwssd_epi32(acc, _mm256_cvtepu8_epi16(px), wt);
        }
        const __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        const int32_t bytes = _mm_cvtsi128_si32(finishPixel(sum));
        std::memcpy(out + static_cast<ptrdiff_t>(i) * step, &bytes, 4);
    }
}

// The same vertical pass keeping its results as 16-bit words (already
// clamped to 0..255, so they equal the bytes it would store): the horizontal
// pass then needs no widening, one shuffle fewer per four taps.
TEVRA_LANCZOS_AVX512 void verticalAVX512Words(const uint8_t* const* rows, const Axis& v, size_t y, uint16_t* out,
                                              size_t bytes) {
    const int32_t* pairs = &v.pairs[y * v.pairCount];
    const __m512i zero = _mm512_setzero_si512();
    const __m512i half = _mm512_set1_epi32(kHalf);
    const __m512i top = _mm512_set1_epi16(255);
    // 128-bit lanes of (bytes 0-7, bytes 8-15) results back into byte order.
    const __m512i firstHalf = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
    const __m512i secondHalf = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
    size_t x = 0;
    for (; x + 64 <= bytes; x += 64) {
        __m512i a0 = half, a1 = half, a2 = half, a3 = half;
        for (size_t p = 0; p < v.pairCount; ++p) {
            const __m512i w = _mm512_set1_epi32(pairs[p]);
            const __m512i r0 = _mm512_loadu_si512(rows[2 * p] + x);
            const __m512i r1 = _mm512_loadu_si512(rows[2 * p + 1] + x);
            const __m512i lo = _mm512_unpacklo_epi8(r0, r1);
            const __m512i hi = _mm512_unpackhi_epi8(r0, r1);
            a0 = _mm512_dpwssd_epi32(a0, _mm512_unpacklo_epi8(lo, zero), w);
            a1 = _mm512_dpwssd_epi32(a1, _mm512_unpackhi_epi8(lo, zero), w);
            a2 = _mm512_dpwssd_epi32(a2, _mm512_unpacklo_epi8(hi, zero), w);
            a3 = _mm512_dpwssd_epi32(a3, _mm512_unpackhi_epi8(hi, zero), w);
        }
        const __m512i p01 = _mm512_packs_epi32(_mm512_srai_epi32(a0, kBits), _mm512_srai_epi32(a1, kBits));
        const __m512i p23 = _mm512_packs_epi32(_mm512_srai_epi32(a2, kBits), _mm512_srai_epi32(a3, kBits));
        const __m512i w0 = _mm512_permutex2var_epi64(p01, firstHalf, p23);
        const __m512i w1 = _mm512_permutex2var_epi64(p01, secondHalf, p23);
        _mm512_storeu_si512(out + x, _mm512_min_epi16(_mm512_max_epi16(w0, zero), top));
        _mm512_storeu_si512(out + x + 32, _mm512_min_epi16(_mm512_max_epi16(w1, zero), top));
    }
    const int16_t* w = &v.weights[y * v.taps];
    for (; x < bytes; ++x) {
        int32_t acc = 0;
        for (size_t t = 0; t < v.taps; ++t) acc += w[t] * static_cast<int32_t>(rows[t][x]);
        out[x] = clampToByte(acc);
    }
}

// The horizontal pass over such words: four taps a step, each 128-bit lane
// holding two pixels with every channel's two samples side by side.
TEVRA_LANCZOS_AVX512 void horizontalAVX512Words(const uint16_t* in, const Axis& h, uint8_t* out, ptrdiff_t step) {
    const __m256i order = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9, 2, 3, 10,
                                           11, 4, 5, 12, 13, 6, 7, 14, 15);
    for (size_t i = 0; i < h.dst; ++i) {
        const uint16_t* p = in + 4 * h.start[i];
        const int32_t* w = &h.expanded[i * h.pairCount * 4];
        __m256i acc = _mm256_setzero_si256();
        for (size_t t = 0; t < h.taps; t += 4) {
            const __m256i px =
                _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4 * t)), order);
            acc = _mm256_dpwssd_epi32(acc, px, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 2 * t)));
        }
        const __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        const int32_t bytes = _mm_cvtsi128_si32(finishPixel(sum));
        std::memcpy(out + static_cast<ptrdiff_t>(i) * step, &bytes, 4);
    }
}

#endif  // TEVRA_LANCZOS_X86

using simd::KernelPath;

KernelPath bestPath() {
#if TEVRA_LANCZOS_X86
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512vnni"))
        return KernelPath::avx512;
    if (__builtin_cpu_supports("avx2")) return KernelPath::avx2;
    return KernelPath::sse2;
#else
    return KernelPath::scalar;
#endif
}

simd::KernelPathChoice& choice() {
    static simd::KernelPathChoice c(bestPath(),
                                    {KernelPath::scalar, KernelPath::sse2, KernelPath::avx2, KernelPath::avx512});
    return c;
}

void vertical(KernelPath path, const uint8_t* const* rows, const Axis& v, size_t y, uint8_t* out, size_t bytes) {
#if TEVRA_LANCZOS_X86
    if (path == KernelPath::avx512) return verticalAVX512(rows, v, y, out, bytes);
    if (path == KernelPath::avx2) return verticalAVX2(rows, v, y, out, bytes);
    if (path == KernelPath::sse2) return verticalSSE2(rows, v, y, out, 0, bytes);
#endif
    (void)path;
    verticalScalar(rows, v, y, out, 0, bytes);
}

void horizontal(KernelPath path, const uint8_t* in, const Axis& h, uint8_t* out, ptrdiff_t step) {
#if TEVRA_LANCZOS_X86
    if (path == KernelPath::avx512 && h.taps % 4 == 0) return horizontalAVX512(in, h, out, step);
    if (path == KernelPath::avx2 && h.taps % 4 == 0) return horizontalAVX2(in, h, out, step);
    if (path != KernelPath::scalar && h.taps % 2 == 0) return horizontalSSE2(in, h, out, step);
#endif
    (void)path;
    horizontalScalar(in, h, out, step);
}

}  // namespace

double kernel(double x) {
    x = std::fabs(x);
    if (x < 1e-12) return 1.0;
    if (x >= 3.0) return 0.0;
    const double px = kPi * x;
    return 3.0 * std::sin(px) * std::sin(px / 3.0) / (px * px);
}

namespace {

// Source rows of a plain 4-byte image.
struct PlainRows {
    const uint8_t* src;
    size_t bytesPerRow;
    const uint8_t* row(size_t r) const { return src + r * bytesPerRow; }
};

// One row of "420f" planes converted to A, R, G, B.
void convertPlaneRow(const Planes420& p, size_t r, uint8_t* out) {
    yuv::rowNV12ToARGB(p.luma + r * p.lumaBytesPerRow,
                       p.chroma + std::min(r / 2, p.chromaRows - 1) * p.chromaBytesPerRow, p.chromaPairs, out, p.width);
}

// Source rows converted from "420f" planes when first asked for, into a ring
// of a few rows that stays in cache: the rows one target row filters are
// contiguous and fewer than the ring, and later target rows start no
// earlier (a row asked for again after it left the ring is converted again).
// Half turned, row r is plane row height-1-r with its pixels in reverse.
class PlaneRows {
public:
    PlaneRows(const Planes420& p, size_t slots, bool halfTurned) : p_(p), slots_(slots), halfTurned_(halfTurned) {
        thread_local std::vector<uint8_t> ring;
        thread_local std::vector<size_t> held;
        thread_local std::vector<uint8_t> spare;
        ring.resize(slots * p.width * 4);
        held.assign(slots, SIZE_MAX);
        if (halfTurned) spare.resize(p.width * 4);
        ring_ = ring.data();
        held_ = held.data();
        spare_ = spare.data();
    }
    const uint8_t* row(size_t r) const {
        const size_t slot = r % slots_;
        uint8_t* out = ring_ + slot * p_.width * 4;
        if (held_[slot] != r) {
            if (halfTurned_) {
                convertPlaneRow(p_, p_.height - 1 - r, spare_);
                for (size_t x = 0; x < p_.width; ++x) std::memcpy(out + 4 * x, spare_ + 4 * (p_.width - 1 - x), 4);
            } else {
                convertPlaneRow(p_, r, out);
            }
            held_[slot] = r;
        }
        return out;
    }

private:
    const Planes420& p_;
    size_t slots_;
    bool halfTurned_;
    uint8_t* ring_;
    size_t* held_;
    uint8_t* spare_;
};

// resample4 of the planes converted and given a quarter turn (1 clockwise, 3
// counter-clockwise), in the same order of passes and with the same rounding,
// so the bytes are the same. The upright image's columns are plane rows:
// bands of kBand plane rows are converted, turned in cache, and filtered
// vertically for every target row into one image of filtered rows (target
// height x upright width), which the horizontal pass then reads row by row.
void resampleQuarterTurnedPlanes(const Planes420& p, int turns, uint8_t* dst, size_t dstWidth, size_t dstHeight,
                                 size_t dstBytesPerRow) {
    constexpr size_t kBand = 64;
    const size_t uprightWidth = p.height, uprightHeight = p.width;
    const KernelPath path = choice().current();
    const auto hAxis = axisFor(uprightWidth, dstWidth);
    const auto vAxis = axisFor(uprightHeight, dstHeight);
    const Axis& h = *hAxis;
    const Axis& v = *vAxis;
    thread_local std::vector<uint8_t> strip, band, filtered;
    strip.resize(kBand * p.width * 4);
    band.resize(uprightHeight * kBand * 4);
    filtered.resize(dstHeight * uprightWidth * 4);
    const size_t filteredStride = uprightWidth * 4;
    std::vector<const uint8_t*> rows(v.pairCount * 2);

    for (size_t x0 = 0; x0 < uprightWidth; x0 += kBand) {
        const size_t b = std::min(kBand, uprightWidth - x0), bandStride = b * 4;
        // Upright columns x0.. are plane rows height-1-x0.. (clockwise) or x0.. .
        const size_t first = turns == 1 ? p.height - x0 - b : x0;
        for (size_t j = 0; j < b; ++j) convertPlaneRow(p, first + j, strip.data() + j * p.width * 4);
        turn::quarterTurn4(strip.data(), p.width * 4, p.width, b, band.data(), bandStride, turns == 1);
        for (size_t y = 0; y < dstHeight; ++y) {
            uint8_t* out = filtered.data() + y * filteredStride + x0 * 4;
            if (v.identity) {
                std::memcpy(out, band.data() + y * bandStride, bandStride);
                continue;
            }
            for (size_t t = 0; t < rows.size(); ++t)
                rows[t] = band.data() + (v.start[y] + std::min(t, v.taps - 1)) * bandStride;
            vertical(path, rows.data(), v, y, out, bandStride);
        }
    }
    for (size_t y = 0; y < dstHeight; ++y) {
        const uint8_t* in = filtered.data() + y * filteredStride;
        uint8_t* target = dst + y * dstBytesPerRow;
        if (!h.identity)
            horizontal(path, in, h, target, 4);
        else
            std::memcpy(target, in, filteredStride);
    }
}

// Where the filtered rows go: target pixel (x, y) of the dstWidth x dstHeight
// result, turned by `turns` clockwise quarter turns. Unturned and half-turned
// rows are written in place. For a quarter turn a target row is a result
// column, so 16 target rows are gathered in a small block (the 16 pixels of
// one result row side by side) and each result row then gets its 64 bytes in
// one piece: whole cache lines instead of a 4-byte store per line.
class TurnedSink {
public:
    static constexpr size_t kBlock = 16;

    TurnedSink(uint8_t* dst, size_t dstBytesPerRow, size_t dstWidth, size_t dstHeight, int turns)
        : dst_(dst), bpr_(static_cast<ptrdiff_t>(dstBytesPerRow)), w_(dstWidth), h_(dstHeight), turns_(turns) {
        if (turns_ % 2 == 1) {
            thread_local std::vector<uint8_t> block;
            block.resize(w_ * kBlock * 4);
            block_ = block.data();
        }
    }

    // Target row y: its first pixel's address and the step between pixels.
    uint8_t* rowStart(size_t y, ptrdiff_t& step) const {
        const auto W = static_cast<ptrdiff_t>(w_), H = static_cast<ptrdiff_t>(h_), Y = static_cast<ptrdiff_t>(y);
        switch (turns_) {
            case 0:
                step = 4;
                return dst_ + Y * bpr_;
            case 2:  // (W - 1 - x, H - 1 - y)
                step = -4;
                return dst_ + (H - 1 - Y) * bpr_ + 4 * (W - 1);
            case 1:  // (H - 1 - y, x): later rows further left in the block
                step = static_cast<ptrdiff_t>(kBlock * 4);
                return block_ + 4 * (kBlock - 1 - y % kBlock);
            default:  // (y, W - 1 - x)
                step = static_cast<ptrdiff_t>(kBlock * 4);
                return block_ + 4 * (y % kBlock);
        }
    }

    // After target row y: writes the block out when it is full or the last.
    void rowDone(size_t y) {
        if (turns_ % 2 == 0 || (y % kBlock != kBlock - 1 && y + 1 != h_)) return;
        const size_t first = y / kBlock * kBlock, n = y - first + 1;
        const size_t bytes = 4 * n;
        for (size_t x = 0; x < w_; ++x) {
            const uint8_t* from = block_ + x * kBlock * 4;
            if (turns_ == 1)
                std::memcpy(dst_ + static_cast<ptrdiff_t>(x) * bpr_ + 4 * (h_ - first - n), from + 4 * (kBlock - n),
                            bytes);
            else
                std::memcpy(dst_ + static_cast<ptrdiff_t>(w_ - 1 - x) * bpr_ + 4 * first, from, bytes);
        }
    }

private:
    uint8_t* dst_;
    ptrdiff_t bpr_;
    size_t w_, h_;
    int turns_;
    uint8_t* block_ = nullptr;
};

template <typename Rows>
void resampleInto(const Rows& source, size_t srcWidth, size_t srcHeight, TurnedSink& sink, size_t dstWidth,
                  size_t dstHeight) {
    const KernelPath path = choice().current();
    const auto hAxis = axisFor(srcWidth, dstWidth);
    const auto vAxis = axisFor(srcHeight, dstHeight);
    const Axis& h = *hAxis;
    const Axis& v = *vAxis;
    const size_t rowBytes = srcWidth * 4;

    thread_local std::vector<uint8_t> column;
    column.resize(rowBytes);
    std::vector<const uint8_t*> rows(v.pairCount * 2);
#if TEVRA_LANCZOS_X86
    // Both passes on the widest path: the filtered row stays in 16-bit words.
    const bool words = path == KernelPath::avx512 && !v.identity && !h.identity && h.taps % 4 == 0;
    thread_local std::vector<uint16_t> wordColumn;
    if (words) wordColumn.resize(rowBytes);
#endif

    for (size_t y = 0; y < dstHeight; ++y) {
        ptrdiff_t pixelStep = 4;
        uint8_t* target = sink.rowStart(y, pixelStep);
        const uint8_t* filtered;
        if (v.identity) {
            filtered = source.row(y);
        } else {
            for (size_t t = 0; t < rows.size(); ++t) {
                size_t r = v.start[y] + std::min(t, v.taps - 1);  // a padding tap reuses the last row, weight 0
                rows[t] = source.row(r);
            }
#if TEVRA_LANCZOS_X86
            if (words) {
                verticalAVX512Words(rows.data(), v, y, wordColumn.data(), rowBytes);
                horizontalAVX512Words(wordColumn.data(), h, target, pixelStep);
                sink.rowDone(y);
                continue;
            }
#endif
            vertical(path, rows.data(), v, y, column.data(), rowBytes);
            filtered = column.data();
        }
        if (!h.identity)
            horizontal(path, filtered, h, target, pixelStep);
        else if (pixelStep == 4)
            std::memcpy(target, filtered, rowBytes);
        else
            for (size_t x = 0; x < dstWidth; ++x)
                std::memcpy(target + static_cast<ptrdiff_t>(x) * pixelStep, filtered + 4 * x, 4);
        sink.rowDone(y);
    }
}

bool validGeometry(const uint8_t* src, size_t srcWidth, size_t srcHeight, size_t srcBytesPerRow, const uint8_t* dst,
                   size_t dstWidth, size_t dstHeight) {
    if (!src || !dst || srcWidth == 0 || srcHeight == 0 || dstWidth == 0 || dstHeight == 0) return false;
    if (srcWidth > kMaxDimension || srcHeight > kMaxDimension || dstWidth > kMaxDimension || dstHeight > kMaxDimension)
        return false;
    return srcBytesPerRow >= srcWidth * 4;
}

}  // namespace

bool resample4(const uint8_t* src, size_t srcWidth, size_t srcHeight, size_t srcBytesPerRow, uint8_t* dst,
               size_t dstWidth, size_t dstHeight, size_t dstBytesPerRow) {
    return resample4Turned(src, srcWidth, srcHeight, srcBytesPerRow, dst, dstWidth, dstHeight, dstBytesPerRow, 0);
}

bool resample4Turned(const uint8_t* src, size_t srcWidth, size_t srcHeight, size_t srcBytesPerRow, uint8_t* dst,
                     size_t dstWidth, size_t dstHeight, size_t dstBytesPerRow, int quarterTurns) {
    if (!validGeometry(src, srcWidth, srcHeight, srcBytesPerRow, dst, dstWidth, dstHeight)) return false;
    if (quarterTurns < 0 || quarterTurns > 3) return false;
    const bool swap = quarterTurns % 2 == 1;
    if (dstBytesPerRow < (swap ? dstHeight : dstWidth) * 4) return false;
    TurnedSink sink(dst, dstBytesPerRow, dstWidth, dstHeight, quarterTurns);
    resampleInto(PlainRows{src, srcBytesPerRow}, srcWidth, srcHeight, sink, dstWidth, dstHeight);
    return true;
}

bool resample420Upright(const Planes420& src, int quarterTurns, uint8_t* dst, size_t dstWidth, size_t dstHeight,
                        size_t dstBytesPerRow) {
    if (!src.luma || !src.chroma || src.chromaPairs == 0 || src.chromaRows == 0) return false;
    if (src.lumaBytesPerRow < src.width || src.chromaBytesPerRow < 2 * src.chromaPairs) return false;
    if (!validGeometry(src.luma, src.width, src.height, src.width * 4, dst, dstWidth, dstHeight)) return false;
    if (quarterTurns < 0 || quarterTurns > 3 || dstBytesPerRow < dstWidth * 4) return false;
    if (quarterTurns % 2 == 1) {
        resampleQuarterTurnedPlanes(src, quarterTurns, dst, dstWidth, dstHeight, dstBytesPerRow);
        return true;
    }
    TurnedSink sink(dst, dstBytesPerRow, dstWidth, dstHeight, 0);
    // The ring holds one target row's source rows and then some.
    const size_t slots = std::min(src.height, axisFor(src.height, dstHeight)->taps + 2);
    resampleInto(PlaneRows(src, slots, quarterTurns == 2), src.width, src.height, sink, dstWidth, dstHeight);
    return true;
}

namespace {

// in: h rows of w pixels of N bytes, packed; out: w rows of h pixels, packed
// (in reverse order when `reversed`: in's row y becomes out's column h-1-y).
// Tiles small enough that the rows read and the rows written stay in cache.
template <size_t N>
void transposePixels(const uint8_t* in, size_t h, size_t w, uint8_t* out, bool reversed) {
    constexpr size_t kTile = 64;
    for (size_t y0 = 0; y0 < h; y0 += kTile)
        for (size_t x0 = 0; x0 < w; x0 += kTile) {
            const size_t y1 = std::min(h, y0 + kTile), x1 = std::min(w, x0 + kTile);
            for (size_t x = x0; x < x1; ++x) {
                const uint8_t* sp = in + (y0 * w + x) * N;
                if (reversed) {
                    uint8_t* d = out + (x * h + (h - 1 - y0)) * N;
                    for (size_t y = y0; y < y1; ++y, d -= N, sp += w * N)
                        for (size_t k = 0; k < N; ++k) d[k] = sp[k];
                } else {
                    uint8_t* d = out + (x * h + y0) * N;
                    for (size_t y = y0; y < y1; ++y, d += N, sp += w * N)
                        for (size_t k = 0; k < N; ++k) d[k] = sp[k];
                }
            }
        }
}

}  // namespace

bool resamplePlaneTurned(const uint8_t* src, size_t srcWidth, size_t srcHeight, size_t srcBytesPerRow, size_t channels,
                         uint8_t* const* dst, const size_t* dstBytesPerRow, size_t dstWidth, size_t dstHeight,
                         int quarterTurns) {
    if (channels < 1 || channels > 4 || !dst || !dstBytesPerRow) return false;
    if (!src || srcWidth == 0 || srcHeight == 0 || dstWidth == 0 || dstHeight == 0) return false;
    if (srcWidth > kMaxDimension || srcHeight > kMaxDimension || dstWidth > kMaxDimension ||
        dstHeight > kMaxDimension || srcBytesPerRow < srcWidth * channels)
        return false;
    if (quarterTurns < 0 || quarterTurns > 3) return false;
    const size_t outWide = quarterTurns % 2 ? dstHeight : dstWidth;
    for (size_t c = 0; c < channels; ++c)
        if (!dst[c] || dstBytesPerRow[c] < outWide) return false;
    const KernelPath path = choice().current();
    const auto vAxis = axisFor(srcHeight, dstHeight);
    const auto hAxis = axisFor(srcWidth, dstWidth);
    const Axis& v = *vAxis;
    const Axis& h = *hAxis;
    const size_t rowBytes = srcWidth * channels;
    const size_t acrossBytes = dstHeight * channels;

    // Pass one filters the plane's columns into dstHeight rows; the result is
    // transposed (pixels of `channels` bytes) so that pass two filters the
    // other axis with the same byte-wise vertical filter, leaving the target
    // transposed: row x of `filtered` holds target column x.
    thread_local std::vector<uint8_t> first, across, filtered;
    first.resize(dstHeight * rowBytes);
    across.resize(srcWidth * acrossBytes);
    filtered.resize(dstWidth * acrossBytes);
    std::vector<const uint8_t*> rows(std::max(v.pairCount, h.pairCount) * 2);
    for (size_t y = 0; y < dstHeight; ++y) {
        uint8_t* out = first.data() + y * rowBytes;
        if (v.identity) {
            std::memcpy(out, src + y * srcBytesPerRow, rowBytes);
            continue;
        }
        for (size_t t = 0; t < v.pairCount * 2; ++t)
            rows[t] = src + (v.start[y] + std::min(t, v.taps - 1)) * srcBytesPerRow;
        vertical(path, rows.data(), v, y, out, rowBytes);
    }
    // A quarter turn clockwise reads target columns bottom to top: the
    // transposed rows are written reversed, so pass two gives result rows.
    const bool reversed = quarterTurns == 1;
    switch (channels) {
        case 1:
            transposePixels<1>(first.data(), dstHeight, srcWidth, across.data(), reversed);
            break;
        case 2:
            transposePixels<2>(first.data(), dstHeight, srcWidth, across.data(), reversed);
            break;
        case 3:
            transposePixels<3>(first.data(), dstHeight, srcWidth, across.data(), reversed);
            break;
        default:
            transposePixels<4>(first.data(), dstHeight, srcWidth, across.data(), reversed);
    }
    // One channel turned by a quarter: pass two writes the result rows.
    const bool direct = channels == 1 && quarterTurns % 2 == 1;
    for (size_t x = 0; x < dstWidth; ++x) {
        uint8_t* out = direct ? dst[0] + (quarterTurns == 1 ? x : dstWidth - 1 - x) * dstBytesPerRow[0]
                              : filtered.data() + x * acrossBytes;
        if (h.identity) {
            std::memcpy(out, across.data() + x * acrossBytes, acrossBytes);
            continue;
        }
        for (size_t t = 0; t < h.pairCount * 2; ++t)
            rows[t] = across.data() + (h.start[x] + std::min(t, h.taps - 1)) * acrossBytes;
        vertical(path, rows.data(), h, x, out, acrossBytes);
    }
    if (direct) return true;
    // Target pixel (x, y) is filtered[x][y] (filtered[x][dstHeight - 1 - y]
    // for a quarter turn clockwise); write it turned, one plane per channel.
    // A quarter turn clockwise puts (x, y) at (dstHeight - 1 - y, x).
    const uint8_t* t = filtered.data();
    for (size_t c = 0; c < channels; ++c) {
        uint8_t* plane = dst[c];
        const size_t stride = dstBytesPerRow[c];
        switch (quarterTurns) {
            case 1:  // row y' is column y' of the target, bottom to top (reversed above)
                for (size_t yy = 0; yy < dstWidth; ++yy) {
                    const uint8_t* in = t + yy * acrossBytes + c;
                    uint8_t* o = plane + yy * stride;
                    for (size_t xx = 0; xx < dstHeight; ++xx) o[xx] = in[xx * channels];
                }
                break;
            case 3:  // row y' is column dstWidth - 1 - y', top to bottom
                for (size_t yy = 0; yy < dstWidth; ++yy) {
                    const uint8_t* in = t + (dstWidth - 1 - yy) * acrossBytes + c;
                    uint8_t* o = plane + yy * stride;
                    for (size_t xx = 0; xx < dstHeight; ++xx) o[xx] = in[xx * channels];
                }
                break;
            default: {
                const bool half = quarterTurns == 2;
                for (size_t yy = 0; yy < dstHeight; ++yy) {
                    const size_t sy = half ? dstHeight - 1 - yy : yy;
                    uint8_t* o = plane + yy * stride;
                    for (size_t xx = 0; xx < dstWidth; ++xx) {
                        const size_t sx = half ? dstWidth - 1 - xx : xx;
                        o[xx] = t[sx * acrossBytes + sy * channels + c];
                    }
                }
            }
        }
    }
    return true;
}

const char* activePath() { return choice().name(); }

bool forcePathForTesting(const char* name) { return choice().force(name); }

}  // namespace tevra::lanczos
