// Quarter turn of an image of 4-byte pixels.
//
// Source (x, y) of a W x H image lands at (H-1-y, x) of the H x W result when
// turning clockwise and at (y, W-1-x) counter-clockwise.
// The image is walked in blocks of 16 x 16 pixels (8 x 8 on the AVX2 path):
// 16 source rows are loaded, transposed in registers and stored as 16 result
// rows of 64 bytes, so every store fills a whole cache line and every source
// line is read once while it is in cache. Rows and columns that do not fill
// a block are moved pixel by pixel. All paths give the same bytes.
// Threads: any; no shared state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tevra::turn {

// Writes the turned image into dst (H x W, dstBytesPerRow). Buffers must not
// overlap; rows must hold at least 4 bytes a pixel.
void quarterTurn4(const uint8_t* src, size_t srcBytesPerRow, size_t width, size_t height, uint8_t* dst,
                  size_t dstBytesPerRow, bool clockwise);

// Which code path quarterTurn4 uses ("avx512", "avx2" or "scalar").
const char* activePath();

// Test hook: forces a path by name (empty: the best one); false, changing
// nothing, when this machine cannot run it.
bool forcePathForTesting(const char* name);

}  // namespace tevra::turn
