// Row conversion of "420f" camera planes (a luma plane and an interleaved
// Cb/Cr plane at half resolution) to 4-byte pixels in memory order A, R, G, B.
//
// The rule is video-range BT.601: Y' clamped to 16..235, Cb and Cr to
// 16..240, then
//   R = 1.164384 (Y'-16) + 1.596027 (Cr-128)
//   G = 1.164384 (Y'-16) - 0.391762 (Cb-128) - 0.812968 (Cr-128)
//   B = 1.164384 (Y'-16) + 2.017232 (Cb-128)
// rounded and clamped to 0..255, alpha 255. The arithmetic is 16-bit fixed
// point with 7 fraction bits (factors 149, 204, 50, 104 and 258 over 128):
// every (Y', Cb, Cr) triple lands within 1 of the formula, and every code path
// (AVX-512, AVX2, portable) gives the same bytes.
// Clamping, conversion and reordering happen in one pass over the row, so a
// frame is read once and written once.
// Threads: any; no shared state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tevra::yuv {

// One row: pixel x takes luma[x] and the pair at chroma[2 * min(x / 2,
// chromaPairs - 1)], so an odd last column reuses the last pair the plane has.
// `out` receives 4 * width bytes. chromaPairs must be at least 1.
void rowNV12ToARGB(const uint8_t* luma, const uint8_t* chroma, size_t chromaPairs, uint8_t* out, size_t width);

// Which code path rowNV12ToARGB uses ("avx512", "avx2" or "scalar").
const char* activePath();

// Test hook: forces a path by name (empty: the best one); false, changing
// nothing, when this machine cannot run it.
bool forcePathForTesting(const char* name);

}  // namespace tevra::yuv
