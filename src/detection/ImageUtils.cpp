#include "detection/ImageUtils.h"

#include <libyuv.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "math/Lanczos.h"
#include "platform/Log.h"

namespace tevra {

// C linkage (declared in the header), so the symbols carry these exact names.
extern "C" {
const int64_t kRotate0Degrees = 0;
const int64_t kRotate90DegreesClockwise = 1;
const int64_t kRotate180Degrees = 2;
const int64_t kRotate90DegreesCounterClockwise = 3;
}

namespace {

constexpr CVPixelBufferLockFlags kWriteLock = 0;
constexpr size_t kMaxDimension = size_t{1} << 15;
constexpr size_t kChunkRows = 16;  // rows converted per pass, so the staging stays in cache

// A single-plane buffer with at least 4 bytes per pixel in every row.
bool hasFourBytePixels(const PixelBuffer& b) {
    return !b.isPlanar() && b.bytesPerRow() >= b.width() * 4 && b.width() > 0 && b.height() > 0;
}

// ---- Colour conversion ----
//
// Video-range BT.601: Y' clamped to 16..235, Cb and Cr to 16..240, then
//   R = 1.164384 (Y'-16) + 1.596027 (Cr-128)
//   G = 1.164384 (Y'-16) - 0.391762 (Cb-128) - 0.812968 (Cr-128)
//   B = 1.164384 (Y'-16) + 2.017232 (Cb-128)
// rounded and clamped to 0..255; alpha 255; bytes in memory order A, R, G, B.
//
// The row conversion is the YUV library's. Its stock BT.601 table rounds the
// Cb-to-blue factor down to 2.0, which is off by 2 for saturated blues; with
// that factor at 129/64 = 2.016 every (Y', Cb, Cr) triple lands within 1 of
// the formula (checked over all 2^24 triples by the tests). The library has no
// range clamp, so each chunk of rows is clamped into a small staging area
// first, and its native B, G, R, A output is reordered in place while still
// in cache.

#if defined(__x86_64__) || defined(__i386__)
const libyuv::YuvConstants* bt601VideoRange() {
    alignas(64) static libyuv::YuvConstants constants;
    static const bool usable = [] {
        constants = libyuv::kYuvI601Constants;
        // Layout: (Cb, Cr) factor pairs in 1/64 units; blue takes Cb only.
        for (size_t i = 0; i < sizeof(constants.kUVToB); i += 2)
            if (constants.kUVToB[i] != 128 || constants.kUVToB[i + 1] != 0) return false;
        for (size_t i = 0; i < sizeof(constants.kUVToB); i += 2) constants.kUVToB[i] = 129;
        return true;
    }();
    return usable ? &constants : nullptr;
}
#else
const libyuv::YuvConstants* bt601VideoRange() { return nullptr; }
#endif

// Blocks of a fixed 64 bytes: a loop of known trip count that the compiler
// vectorises at -O2 (byte min/max), then a short tail. Built twice, for AVX2
// and for any x86-64, and picked at load time.
// (Not under ThreadSanitizer: its runtime is not ready when the clone
// resolver runs at load time.)
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
void clampRow(const uint8_t* __restrict src, uint8_t* __restrict dst, size_t n, uint8_t lo, uint8_t hi) {
    constexpr size_t kBlock = 64;
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        for (size_t k = 0; k < kBlock; ++k) {
            uint8_t v = src[i + k];
            v = v < lo ? lo : v;
            dst[i + k] = v > hi ? hi : v;
        }
    }
    for (; i < n; ++i) dst[i] = std::min(std::max(src[i], lo), hi);
}

uint8_t roundToByte(float v) {
    v = std::min(std::max(v, 0.0f), 255.0f);
    return static_cast<uint8_t>(v + 0.5f);
}

// Portable conversion of clamped staging rows, used where the library's table
// layout is not the one patched above.
void convertRowsPortable(const uint8_t* y, size_t yStride, const uint8_t* uv, size_t uvStride, uint8_t* dst,
                         size_t dstStride, size_t width, size_t rows) {
    for (size_t r = 0; r < rows; ++r) {
        const uint8_t* yr = y + r * yStride;
        const uint8_t* cr = uv + (r / 2) * uvStride;
        uint8_t* out = dst + r * dstStride;
        for (size_t x = 0; x < width; ++x) {
            const float l = 1.164384f * (static_cast<float>(yr[x]) - 16.0f);
            const float cb = static_cast<float>(cr[2 * (x / 2)]) - 128.0f;
            const float crv = static_cast<float>(cr[2 * (x / 2) + 1]) - 128.0f;
            out[4 * x + 0] = 255;
            out[4 * x + 1] = roundToByte(l + 1.596027f * crv);
            out[4 * x + 2] = roundToByte(l - 0.391762f * cb - 0.812968f * crv);
            out[4 * x + 3] = roundToByte(l + 2.017232f * cb);
        }
    }
}

struct Staging {
    std::vector<uint8_t> luma, chroma;
};

// ---- Rotation ----

// Half turn and plain copy; quarter turns are done below.
libyuv::RotationMode libraryRotation(int64_t rotation) { return rotation == 2 ? libyuv::kRotate180 : libyuv::kRotate0; }

// Quarter turn of 4-byte pixels, clockwise or counter-clockwise. The YUV
// library's own quarter turn gathers one source column per output row and
// takes about twice as long on a camera frame, so this one moves 4 x 4 pixel
// blocks (four row loads, an in-register transpose, four row stores) inside
// 64 x 64 tiles that stay in cache. Source (x, y) lands at (H-1-y, x) when
// turning clockwise and at (y, W-1-x) counter-clockwise.
constexpr size_t kTile = 64;

void turnPixelScalar(const uint8_t* src, size_t srcStride, size_t width, size_t height, uint8_t* dst, size_t dstStride,
                     bool clockwise, size_t x, size_t y) {
    const uint8_t* from = src + y * srcStride + 4 * x;
    uint8_t* to = clockwise ? dst + x * dstStride + 4 * (height - 1 - y) : dst + (width - 1 - x) * dstStride + 4 * y;
    std::memcpy(to, from, 4);
}

void quarterTurn(const uint8_t* src, size_t srcStride, size_t width, size_t height, uint8_t* dst, size_t dstStride,
                 bool clockwise) {
    for (size_t ty = 0; ty < height; ty += kTile) {
        const size_t yEnd = std::min(ty + kTile, height);
        for (size_t tx = 0; tx < width; tx += kTile) {
            const size_t xEnd = std::min(tx + kTile, width);
            size_t y = ty;
#if defined(__x86_64__) || defined(__i386__)
            for (; y + 4 <= yEnd; y += 4) {
                const uint8_t* row = src + y * srcStride;
                size_t x = tx;
                for (; x + 4 <= xEnd; x += 4) {
                    const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * x));
                    const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + srcStride + 4 * x));
                    const __m128i r2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 2 * srcStride + 4 * x));
                    const __m128i r3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 3 * srcStride + 4 * x));
                    const __m128i t0 = _mm_unpacklo_epi32(r0, r1);
                    const __m128i t1 = _mm_unpacklo_epi32(r2, r3);
                    const __m128i t2 = _mm_unpackhi_epi32(r0, r1);
                    const __m128i t3 = _mm_unpackhi_epi32(r2, r3);
                    __m128i column[4] = {_mm_unpacklo_epi64(t0, t1), _mm_unpackhi_epi64(t0, t1),
                                         _mm_unpacklo_epi64(t2, t3), _mm_unpackhi_epi64(t2, t3)};
                    for (size_t k = 0; k < 4; ++k) {
                        if (clockwise) {
                            // Source rows y..y+3 of column x+k, bottom first, end output row x+k.
                            uint8_t* to = dst + (x + k) * dstStride + 4 * (height - 4 - y);
                            _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                                             _mm_shuffle_epi32(column[k], _MM_SHUFFLE(0, 1, 2, 3)));
                        } else {
                            uint8_t* to = dst + (width - 1 - x - k) * dstStride + 4 * y;
                            _mm_storeu_si128(reinterpret_cast<__m128i*>(to), column[k]);
                        }
                    }
                }
                for (; x < xEnd; ++x)
                    for (size_t k = 0; k < 4; ++k)
                        turnPixelScalar(src, srcStride, width, height, dst, dstStride, clockwise, x, y + k);
            }
#endif
            for (; y < yEnd; ++y)
                for (size_t x = tx; x < xEnd; ++x)
                    turnPixelScalar(src, srcStride, width, height, dst, dstStride, clockwise, x, y);
        }
    }
}

// ---- Crop ----

// Truncation toward zero into 64 bits; false for values that do not fit.
bool truncateToInt64(float v, int64_t& out) {
    if (!std::isfinite(v) || v >= 0x1p63f || v < -0x1p63f) return false;
    out = static_cast<int64_t>(v);
    return true;
}

}  // namespace

PixelBufferRef convertNV12ToARGB(PixelBuffer& pixelBuffer) {
    if (pixelBuffer.pixelFormatType() != kCVPixelFormatType_420YpCbCr8BiPlanarFullRange) return nullptr;

    PixelBufferLock sourceLock(pixelBuffer, kCVPixelBufferLock_ReadOnly);
    const size_t width = pixelBuffer.width();
    const size_t height = pixelBuffer.height();
    const uint8_t* lumaBase = pixelBuffer.baseAddressOfPlane(0);
    const uint8_t* chromaBase = pixelBuffer.baseAddressOfPlane(1);
    if (!lumaBase || !chromaBase) return nullptr;

    // Plane geometry as the buffer reports it; reads never leave the planes.
    const size_t lumaStride = pixelBuffer.bytesPerRowOfPlane(0);
    const size_t chromaStride = pixelBuffer.bytesPerRowOfPlane(1);
    if (lumaStride < width || pixelBuffer.heightOfPlane(0) < height) return nullptr;
    const size_t chromaPairs = std::min(pixelBuffer.widthOfPlane(1), chromaStride / 2);
    const size_t chromaRows = pixelBuffer.heightOfPlane(1);
    if (chromaPairs == 0 || chromaRows == 0) return nullptr;
    // Pixel (x, y) takes the pair (x / 2, y / 2); an odd last column or row
    // uses the pair past width / 2 when the plane has it, else the last one.
    const size_t neededPairs = (width + 1) / 2;
    const size_t copiedPairs = std::min(chromaPairs, neededPairs);

    PixelBufferRef output = PixelBuffer::create(width, height, kCVPixelFormatType_32ARGB);
    if (!output) return nullptr;
    PixelBufferLock outputLock(*output, kWriteLock);
    uint8_t* outBase = output->baseAddress();
    if (!outBase) return nullptr;
    const size_t outStride = output->bytesPerRow();

    const libyuv::YuvConstants* constants = bt601VideoRange();
    static const uint8_t kToMemoryARGB[16] = {3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12};

    thread_local Staging staging;
    const size_t chromaStaging = neededPairs * 2;
    staging.luma.resize(kChunkRows * width);
    staging.chroma.resize(kChunkRows / 2 * chromaStaging);

    for (size_t y0 = 0; y0 < height; y0 += kChunkRows) {
        const size_t rows = std::min(kChunkRows, height - y0);
        for (size_t r = 0; r < rows; ++r)
            clampRow(lumaBase + (y0 + r) * lumaStride, &staging.luma[r * width], width, 16, 235);
        for (size_t r = 0; r < (rows + 1) / 2; ++r) {
            const size_t sourceRow = std::min(y0 / 2 + r, chromaRows - 1);
            uint8_t* dst = &staging.chroma[r * chromaStaging];
            clampRow(chromaBase + sourceRow * chromaStride, dst, copiedPairs * 2, 16, 240);
            for (size_t p = copiedPairs; p < neededPairs; ++p) std::memcpy(dst + 2 * p, dst + 2 * (copiedPairs - 1), 2);
        }
        uint8_t* out = outBase + y0 * outStride;
        if (constants) {
            libyuv::NV12ToARGBMatrix(staging.luma.data(), static_cast<int>(width), staging.chroma.data(),
                                     static_cast<int>(chromaStaging), out, static_cast<int>(outStride), constants,
                                     static_cast<int>(width), static_cast<int>(rows));
            libyuv::ARGBShuffle(out, static_cast<int>(outStride), out, static_cast<int>(outStride), kToMemoryARGB,
                                static_cast<int>(width), static_cast<int>(rows));
        } else {
            convertRowsPortable(staging.luma.data(), width, staging.chroma.data(), chromaStaging, out, outStride, width,
                                rows);
        }
    }
    return output;
}

PixelBufferRef resizeARGBPixelBuffer(PixelBuffer& pixelBuffer, int64_t dstWidth, int64_t dstHeight) {
    PixelBufferLock sourceLock(pixelBuffer, kCVPixelBufferLock_ReadOnly);
    const uint8_t* source = pixelBuffer.baseAddress();
    if (!source || !hasFourBytePixels(pixelBuffer)) return nullptr;
    if (dstWidth <= 0 || dstHeight <= 0 || static_cast<uint64_t>(dstWidth) > kMaxDimension ||
        static_cast<uint64_t>(dstHeight) > kMaxDimension)
        return nullptr;

    PixelBufferRef output =
        PixelBuffer::create(static_cast<size_t>(dstWidth), static_cast<size_t>(dstHeight), kCVPixelFormatType_32ARGB);
    if (!output) return nullptr;
    PixelBufferLock outputLock(*output, kWriteLock);
    uint8_t* target = output->baseAddress();
    if (!target) return nullptr;

    if (!lanczos::resample4(source, pixelBuffer.width(), pixelBuffer.height(), pixelBuffer.bytesPerRow(), target,
                            output->width(), output->height(), output->bytesPerRow()))
        return nullptr;
    return output;
}

RotationResult rotatePixelBuffer(PixelBuffer& pixelBuffer, int64_t rotation) {
    if (rotation == 0) return {PixelBufferRef::retainFrom(&pixelBuffer), false};

    PixelBufferRef output = [&]() -> PixelBufferRef {
        PixelBufferLock sourceLock(pixelBuffer, kCVPixelBufferLock_ReadOnly);
        const size_t width = pixelBuffer.width();
        const size_t height = pixelBuffer.height();
        const size_t stride = pixelBuffer.bytesPerRow();
        const uint8_t* source = pixelBuffer.baseAddress();
        // A buffer whose memory is gone, or that is not 4 bytes a pixel, cannot
        // be turned; it fails like a failed creation.
        if (!source || !hasFourBytePixels(pixelBuffer)) return nullptr;

        const bool quarter = rotation == 1 || rotation == 3;
        PixelBufferAttributes attributes;
        attributes.ioSurface = true;
        PixelBufferRef out = PixelBuffer::create(quarter ? height : width, quarter ? width : height,
                                                 kCVPixelFormatType_32ARGB, attributes);
        if (!out) return nullptr;
        PixelBufferLock outputLock(*out, kWriteLock);
        uint8_t* target = out->baseAddress();
        if (!target) return nullptr;
        if (quarter)
            quarterTurn(source, stride, width, height, target, out->bytesPerRow(), rotation == 3);
        else
            libyuv::ARGBRotate(source, static_cast<int>(stride), target, static_cast<int>(out->bytesPerRow()),
                               static_cast<int>(width), static_cast<int>(height), libraryRotation(rotation));
        return out;
    }();
    if (!output) {
        logSystem("[YOLO] Rotation error!");
        return {nullptr, true};
    }
    return {std::move(output), false};
}

PixelBufferRef counterDeviceRotation(PixelBuffer& pixelBuffer, int32_t deviceRotation) {
    int32_t rotation = deviceRotation == 1 ? 3 : deviceRotation == 3 ? 1 : deviceRotation;
    RotationResult result = rotatePixelBuffer(pixelBuffer, static_cast<int64_t>(rotation));
    if (result.failed) return nullptr;
    return std::move(result.buffer);
}

PixelBufferRef cropARGBPixelBufferFromYOLO(PixelBuffer& pixelBuffer, float xCenter, float yCenter, float boxWidth,
                                           float boxHeight) {
    PixelBufferLock sourceLock(pixelBuffer, kCVPixelBufferLock_ReadOnly);
    const int64_t width = static_cast<int64_t>(pixelBuffer.width());
    const int64_t height = static_cast<int64_t>(pixelBuffer.height());
    const float widthF = static_cast<float>(width);
    const float heightF = static_cast<float>(height);

    // Single precision throughout, as the model's boxes are.
    const float cx = xCenter * widthF;
    const float cy = yCenter * heightF;
    const float bw = boxWidth * widthF;
    const float bh = boxHeight * heightF;
    const float left = cx - bw / 2;
    const float top = cy - bh / 2;

    int64_t x0, y0, w, h;
    if (!truncateToInt64(left, x0) || !truncateToInt64(top, y0) || !truncateToInt64(bw, w) || !truncateToInt64(bh, h))
        return nullptr;

    // Clip, never shift: what lies outside the image is cut off.
    if (x0 < 0) {
        if (__builtin_add_overflow(w, x0, &w)) return nullptr;
        x0 = 0;
    }
    if (y0 < 0) {
        if (__builtin_add_overflow(h, y0, &h)) return nullptr;
        y0 = 0;
    }
    int64_t end;
    if (__builtin_add_overflow(x0, w, &end) || end > width) w = width - x0;
    if (__builtin_add_overflow(y0, h, &end) || end > height) h = height - y0;
    if (w <= 0 || h <= 0) return nullptr;

    const uint8_t* source = pixelBuffer.baseAddress();
    if (!source || !hasFourBytePixels(pixelBuffer)) return nullptr;
    const size_t stride = pixelBuffer.bytesPerRow();
    const uint8_t* region = source + static_cast<size_t>(y0) * stride + static_cast<size_t>(x0) * 4;

    PixelBufferAttributes attributes;
    attributes.ioSurface = true;
    PixelBufferRef output =
        PixelBuffer::create(static_cast<size_t>(w), static_cast<size_t>(h), kCVPixelFormatType_32ARGB, attributes);
    if (!output) return nullptr;
    PixelBufferLock outputLock(*output, kWriteLock);
    uint8_t* target = output->baseAddress();
    if (!target) return nullptr;
    const size_t rowBytes = static_cast<size_t>(w) * 4;
    for (size_t r = 0; r < static_cast<size_t>(h); ++r)
        std::memcpy(target + r * output->bytesPerRow(), region + r * stride, rowBytes);
    return output;
}

}  // namespace tevra
