#include "capture/ImageContext.h"

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>

namespace tevra {

std::shared_ptr<ImageContext> ImageContext::contextWithOptions() { return std::make_shared<ImageContext>(); }

std::shared_ptr<ImageContext> ImageContext::contextWithMTLDevice(std::shared_ptr<GPUDevice> device) {
    auto c = std::make_shared<ImageContext>();
    c->device_ = std::move(device);
    return c;
}

namespace {
bool biPlanar(uint32_t f) {
    return f == kCVPixelFormatType_420YpCbCr8BiPlanarFullRange || f == kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange;
}
bool packed(uint32_t f) { return f == kCVPixelFormatType_32BGRA || f == kCVPixelFormatType_32ARGB; }
}  // namespace

Rect ImageContext::extentOfPixelBuffer(const PixelBuffer& buffer) {
    const uint32_t f = buffer.pixelFormatType();
    if (buffer.width() == 0 || buffer.height() == 0) return {};
    if (biPlanar(f) && buffer.planeCount() == 2) return {0, 0, double(buffer.width()), double(buffer.height())};
    if (packed(f) && !buffer.isPlanar()) return {0, 0, double(buffer.width()), double(buffer.height())};
    return {};
}

std::shared_ptr<Bitmap> ImageContext::createCGImage(const PixelBuffer& buffer) const {
    if (isEmpty(extentOfPixelBuffer(buffer))) return nullptr;
    const size_t w = buffer.width(), h = buffer.height();
    auto out = Bitmap::createUninitialized(w, h);
    if (!out) return nullptr;
    out->opaque = true;
    const uint32_t f = buffer.pixelFormatType();
    if (biPlanar(f)) {
        const uint8_t* y = buffer.baseAddressOfPlane(0);
        const uint8_t* uv = buffer.baseAddressOfPlane(1);
        if (!y || !uv) return nullptr;
        if (buffer.widthOfPlane(0) < w || buffer.heightOfPlane(0) < h || buffer.widthOfPlane(1) < (w + 1) / 2 ||
            buffer.heightOfPlane(1) < (h + 1) / 2)
            return nullptr;
        // libyuv names formats by little-endian words: its "ABGR" is R, G, B,
        // A in memory, which NV12 reaches through the mirrored (VU) matrix.
        const libyuv::YuvConstants* m = f == kCVPixelFormatType_420YpCbCr8BiPlanarFullRange
                                            ? &libyuv::kYvuJPEGConstants
                                            : &libyuv::kYvuI601Constants;
        int rc = libyuv::NV21ToARGBMatrix(
            y, static_cast<int>(buffer.bytesPerRowOfPlane(0)), uv, static_cast<int>(buffer.bytesPerRowOfPlane(1)),
            out->pixels.data(), static_cast<int>(out->bytesPerRow), m, static_cast<int>(w), static_cast<int>(h));
        return rc == 0 ? out : nullptr;
    }
    const uint8_t* src = buffer.baseAddress();
    if (!src || buffer.bytesPerRow() < 4 * w) return nullptr;
    // 32-bit sources may carry alpha; it is taken as premultiplied already.
    bool opaque = true;
    for (size_t yy = 0; yy < h; ++yy) {
        const uint8_t* s = src + yy * buffer.bytesPerRow();
        uint8_t* d = out->row(yy);
        for (size_t x = 0; x < w; ++x, s += 4, d += 4) {
            if (f == kCVPixelFormatType_32BGRA) {
                d[0] = s[2], d[1] = s[1], d[2] = s[0], d[3] = s[3];
            } else {
                d[0] = s[1], d[1] = s[2], d[2] = s[3], d[3] = s[0];
            }
            opaque = opaque && d[3] == 255;
        }
    }
    out->opaque = opaque;
    return out;
}

}  // namespace tevra
