// Separable Lanczos-3 resampler for 4-byte-per-pixel images (ARGB, BGRA: the
// channel order does not matter, every byte lane is filtered on its own).
//
// In: a source image (address, width, height, bytes per row) and a target of
// any size; the two axes are scaled independently (no aspect ratio is kept).
// Out: the target filled, or false for a zero or absurd size.
// When an axis shrinks, the kernel is stretched by the shrink factor, so the
// filter always cuts at the target's Nyquist frequency and fine detail turns
// into its average instead of aliasing: a 1-pixel checkerboard shrunk from
// 1440 x 1920 to 640 x 640 comes out flat grey.
// Weights are precomputed per geometry as 14-bit fixed point integers whose
// taps sum to exactly 1 << 14 (a constant image stays constant) and cached per
// thread. Each target row is filtered vertically into one row held in cache,
// then horizontally into the target.
// Threads: any; no shared state (caches are per thread).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tevra::lanczos {

// Lanczos-3 kernel value at x (in units of kernel pixels): sinc(x) sinc(x/3)
// for |x| < 3, else 0.
double kernel(double x);

// Resamples src (srcWidth x srcHeight, srcBytesPerRow) onto dst
// (dstWidth x dstHeight, dstBytesPerRow). Buffers must not overlap.
bool resample4(const uint8_t* src, size_t srcWidth, size_t srcHeight, size_t srcBytesPerRow, uint8_t* dst,
               size_t dstWidth, size_t dstHeight, size_t dstBytesPerRow);

// The same, written turned by `quarterTurns` (0-3) clockwise quarter turns in
// the one pass: dstWidth x dstHeight is the size before the turn, so dst is
// dstHeight pixels wide for 1 and 3. Gives the bytes of resample4 followed by
// a separate turn, without the intermediate image.
bool resample4Turned(const uint8_t* src, size_t srcWidth, size_t srcHeight, size_t srcBytesPerRow, uint8_t* dst,
                     size_t dstWidth, size_t dstHeight, size_t dstBytesPerRow, int quarterTurns);

// A "420f" image as its two planes: width x height luma samples, and rows of
// interleaved (Cb, Cr) pairs at half resolution. Pixel (x, y) takes the pair
// min(x / 2, chromaPairs - 1) of chroma row min(y / 2, chromaRows - 1).
struct Planes420 {
    const uint8_t* luma = nullptr;
    size_t lumaBytesPerRow = 0;
    const uint8_t* chroma = nullptr;
    size_t chromaBytesPerRow = 0;
    size_t chromaPairs = 0;
    size_t chromaRows = 0;
    size_t width = 0, height = 0;
};

// The planes converted to A, R, G, B (math/YuvRows.h), turned by
// `quarterTurns` clockwise quarter turns (math/QuarterTurn.h for 1 and 3),
// then resampled to dstWidth x dstHeight (the size after the turn) with
// resample4: exactly those bytes, made without the full-size converted or
// turned image. Source rows are converted when the filter first needs them,
// into a few rows that stay in cache (for a quarter turn, bands of rows that
// are turned in cache), so the planes are read once.
bool resample420Upright(const Planes420& src, int quarterTurns, uint8_t* dst, size_t dstWidth, size_t dstHeight,
                        size_t dstBytesPerRow);

// One plane of `channels` (1-4) interleaved byte samples per pixel, e.g. a
// luma plane (1) or an interleaved CbCr plane (2), resampled with the same
// weights and rounding as resample4 (columns first, then rows, bytes between)
// to dstWidth x dstHeight and written turned by `quarterTurns` clockwise
// quarter turns, each channel into its own plane dst[c] (rows
// dstBytesPerRow[c] apart; dstHeight wide for 1 and 3). False for a zero or
// absurd size.
bool resamplePlaneTurned(const uint8_t* src, size_t srcWidth, size_t srcHeight, size_t srcBytesPerRow, size_t channels,
                         uint8_t* const* dst, const size_t* dstBytesPerRow, size_t dstWidth, size_t dstHeight,
                         int quarterTurns);

// Which vector code path resample4 uses on this machine ("avx512" (with the
// fused multiply-accumulate), "avx2", "sse2" or "scalar"), for benchmarks and
// diagnostics.
const char* activePath();

// Test hook: forces a path by name ("scalar" the portable one; empty: the
// best one; false, changing nothing, when this machine cannot run it), so
// tests can check that every path gives the same bytes.
bool forcePathForTesting(const char* name);

}  // namespace tevra::lanczos
