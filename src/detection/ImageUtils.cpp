#include "detection/ImageUtils.h"

#include <libyuv.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "math/Lanczos.h"
#include "math/QuarterTurn.h"
#include "math/YuvRows.h"
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

// A single-plane buffer with at least 4 bytes per pixel in every row.
bool hasFourBytePixels(const PixelBuffer& b) {
    return !b.isPlanar() && b.bytesPerRow() >= b.width() * 4 && b.width() > 0 && b.height() > 0;
}

// ---- Rotation ----

// Half turn and plain copy; quarter turns are math/QuarterTurn.h's.
libyuv::RotationMode libraryRotation(int64_t rotation) { return rotation == 2 ? libyuv::kRotate180 : libyuv::kRotate0; }

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

    PixelBufferRef output = PixelBuffer::create(width, height, kCVPixelFormatType_32ARGB);
    if (!output) return nullptr;
    PixelBufferLock outputLock(*output, kWriteLock);
    uint8_t* outBase = output->baseAddress();
    if (!outBase) return nullptr;
    const size_t outStride = output->bytesPerRow();

    for (size_t y = 0; y < height; ++y)
        yuv::rowNV12ToARGB(lumaBase + y * lumaStride, chromaBase + std::min(y / 2, chromaRows - 1) * chromaStride,
                           chromaPairs, outBase + y * outStride, width);
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

PixelBufferRef uprightInputFromCamera(PixelBuffer& camera, int32_t deviceRotation, int64_t dstWidth,
                                      int64_t dstHeight) {
    if (camera.pixelFormatType() != kCVPixelFormatType_420YpCbCr8BiPlanarFullRange) return nullptr;
    if (dstWidth <= 0 || dstHeight <= 0 || static_cast<uint64_t>(dstWidth) > kMaxDimension ||
        static_cast<uint64_t>(dstHeight) > kMaxDimension)
        return nullptr;
    PixelBufferLock sourceLock(camera, kCVPixelBufferLock_ReadOnly);
    lanczos::Planes420 planes;
    planes.width = camera.width();
    planes.height = camera.height();
    planes.luma = camera.baseAddressOfPlane(0);
    planes.chroma = camera.baseAddressOfPlane(1);
    planes.lumaBytesPerRow = camera.bytesPerRowOfPlane(0);
    planes.chromaBytesPerRow = camera.bytesPerRowOfPlane(1);
    planes.chromaPairs = std::min(camera.widthOfPlane(1), planes.chromaBytesPerRow / 2);
    planes.chromaRows = camera.heightOfPlane(1);
    if (!planes.luma || !planes.chroma || planes.lumaBytesPerRow < planes.width ||
        camera.heightOfPlane(0) < planes.height || planes.chromaPairs == 0 || planes.chromaRows == 0)
        return nullptr;

    // counterDeviceRotation's codes as clockwise quarter turns: device 1 is
    // rotation code 3 (clockwise), device 3 is code 1 (counter-clockwise).
    const int turns = deviceRotation == 1 ? 1 : deviceRotation == 3 ? 3 : deviceRotation == 2 ? 2 : 0;
    const auto w = static_cast<size_t>(dstWidth), h = static_cast<size_t>(dstHeight);
    PixelBufferRef output = PixelBuffer::create(w, h, kCVPixelFormatType_32ARGB);
    if (!output) return nullptr;
    PixelBufferLock outputLock(*output, kWriteLock);
    uint8_t* target = output->baseAddress();
    if (!target || !lanczos::resample420Upright(planes, turns, target, w, h, output->bytesPerRow())) return nullptr;
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
            turn::quarterTurn4(source, stride, width, height, target, out->bytesPerRow(), rotation == 3);
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
