#include "capture/ImageOps.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "math/Lanczos.h"
#include "platform/Device.h"

namespace tevra {

size_t canvasPixels(double points, double scale) {
    const double px = points * scale;
    if (!std::isfinite(px) || !(px > 0)) return 0;
    const double r = std::max(1.0, std::round(px));
    return r > static_cast<double>(kMaxBitmapSide) ? 0 : static_cast<size_t>(r);
}

namespace {

long floorHalf(long v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); }

// Lanczos ringing next to transparent pixels can push a colour above its
// alpha; premultiplied pixels need colour <= alpha.
void clampPremultiplied(Bitmap& b) {
    for (size_t y = 0; y < b.height; ++y) {
        uint8_t* p = b.row(y);
        for (size_t x = 0; x < b.width; ++x, p += 4) {
            const uint8_t a = p[3];
            p[0] = std::min(p[0], a), p[1] = std::min(p[1], a), p[2] = std::min(p[2], a);
        }
    }
}

// Resamples a rectangle of `src` (in stored pixels) onto a new w x h bitmap.
std::shared_ptr<Bitmap> resampleRect(const Bitmap& src, size_t x0, size_t y0, size_t sw, size_t sh, size_t w,
                                     size_t h) {
    auto out = Bitmap::createUninitialized(w, h);
    if (!out) return nullptr;
    const uint8_t* origin = src.row(y0) + 4 * x0;
    if (!lanczos::resample4(origin, sw, sh, src.bytesPerRow, out->pixels.data(), w, h, out->bytesPerRow))
        return nullptr;
    out->opaque = src.opaque;
    if (!out->opaque) clampPremultiplied(*out);
    return out;
}

}  // namespace

std::shared_ptr<Image> uprightImageForDeviceOrientation(const Image& image, long deviceOrientation) {
    const double s = image.scale();
    switch (deviceOrientation) {
        case UIDeviceOrientationPortrait:
            return Image::imageWithBitmap(image.storedBitmapRef(), s, turned(image.orientation(), 1),
                                          deviceOrientation);
        case UIDeviceOrientationPortraitUpsideDown:
            return Image::imageWithBitmap(image.storedBitmapRef(), s, turned(image.orientation(), 3),
                                          deviceOrientation);
        case UIDeviceOrientationLandscapeLeft:
            return Image::imageWithBitmap(image.storedBitmapRef(), s, image.orientation(), deviceOrientation);
        case UIDeviceOrientationLandscapeRight:
            return Image::imageWithBitmap(image.storedBitmapRef(), s, turned(image.orientation(), 2),
                                          deviceOrientation);
        default:
            break;
    }
    // Unknown, face up, face down: the unturned image centred in a canvas
    // with the sides swapped.
    const Size size = image.size();
    const size_t cw = canvasPixels(size.height, s), ch = canvasPixels(size.width, s);
    auto canvas = Bitmap::create(cw, ch);
    auto src = image.bitmap();
    if (!canvas || !src) return nullptr;
    const long dx = floorHalf(static_cast<long>(cw) - static_cast<long>(src->width));
    const long dy = floorHalf(static_cast<long>(ch) - static_cast<long>(src->height));
    const long x0 = std::max(0L, dx), x1 = std::min(static_cast<long>(cw), dx + static_cast<long>(src->width));
    const long y0 = std::max(0L, dy), y1 = std::min(static_cast<long>(ch), dy + static_cast<long>(src->height));
    for (long y = y0; y < y1; ++y)
        std::memcpy(canvas->row(static_cast<size_t>(y)) + 4 * x0, src->row(static_cast<size_t>(y - dy)) + 4 * (x0 - dx),
                    static_cast<size_t>(x1 - x0) * 4);
    canvas->opaque =
        src->opaque && dx <= 0 && dy <= 0 && x1 - x0 == static_cast<long>(cw) && y1 - y0 == static_cast<long>(ch);
    return Image::imageWithBitmap(canvas, s, ImageOrientation::Up, deviceOrientation);
}

double fitFactor(Size image, Size box) {
    const double wr = box.width / image.width;
    const double hr = box.height / image.height;
    return wr < hr ? wr : hr;
}

Size fittedSize(Size image, Size box) {
    const double f = fitFactor(image, box);
    return {image.width * f, image.height * f};
}

std::shared_ptr<Image> drawImageScaled(const Image& image, Size canvas) {
    const size_t w = canvasPixels(canvas.width, 1.0), h = canvasPixels(canvas.height, 1.0);
    if (!w || !h) return nullptr;
    const Bitmap& stored = image.storedBitmap();
    const int q = static_cast<int>(image.orientation());
    const bool swap = q == 1 || q == 3;
    // Scale the stored pixels and write them turned upright in the same pass.
    auto out = Bitmap::createUninitialized(w, h);
    if (!out || !lanczos::resample4Turned(stored.pixels.data(), stored.width, stored.height, stored.bytesPerRow,
                                          out->pixels.data(), swap ? h : w, swap ? w : h, out->bytesPerRow, q))
        return nullptr;
    out->opaque = stored.opaque;
    if (!out->opaque) clampPremultiplied(*out);
    return Image::imageWithBitmap(out, 1.0);
}

std::shared_ptr<Image> resizeImageKeepAspect(const Image& image, Size box) {
    return drawImageScaled(image, fittedSize(image.size(), box));
}

namespace {

void expandVideoRange(YCbCrImage& image) {
    std::array<uint8_t, 256> lumaTable{}, chromaTable{};
    for (int v = 0; v < 256; ++v) {
        lumaTable[v] = static_cast<uint8_t>(std::clamp((v - 16) * 255.0 / 219.0 + 0.5, 0.0, 255.0));
        chromaTable[v] = static_cast<uint8_t>(std::clamp((v - 128) * 255.0 / 224.0 + 128.5, 0.0, 255.0));
    }
    for (uint8_t& v : image.y) v = lumaTable[v];
    for (uint8_t& v : image.cb) v = chromaTable[v];
    for (uint8_t& v : image.cr) v = chromaTable[v];
}

}  // namespace

std::optional<YCbCrImage> fittedUprightPlanes(PixelBuffer& frame, long deviceOrientation, Size box) {
    const uint32_t format = frame.pixelFormatType();
    const bool videoRange = format == kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange;
    if ((format != kCVPixelFormatType_420YpCbCr8BiPlanarFullRange && !videoRange) || frame.planeCount() != 2)
        return std::nullopt;
    const size_t W = frame.width(), H = frame.height();
    const size_t cW = (W + 1) / 2, cH = (H + 1) / 2;
    if (W == 0 || H == 0 || W > kMaxBitmapSide || H > kMaxBitmapSide) return std::nullopt;
    if (frame.widthOfPlane(0) < W || frame.heightOfPlane(0) < H || frame.widthOfPlane(1) < cW ||
        frame.heightOfPlane(1) < cH || frame.bytesPerRowOfPlane(0) < W || frame.bytesPerRowOfPlane(1) < 2 * cW)
        return std::nullopt;
    PixelBufferLock lock(frame, kCVPixelBufferLock_ReadOnly);
    const uint8_t* luma = frame.baseAddressOfPlane(0);
    const uint8_t* chroma = frame.baseAddressOfPlane(1);
    if (!luma || !chroma) return std::nullopt;
    size_t lumaStride = frame.bytesPerRowOfPlane(0), chromaStride = frame.bytesPerRowOfPlane(1);

    int q = 0;
    bool canvas = false;
    switch (deviceOrientation) {
        case UIDeviceOrientationPortrait:
            q = 1;
            break;
        case UIDeviceOrientationPortraitUpsideDown:
            q = 3;
            break;
        case UIDeviceOrientationLandscapeLeft:
            q = 0;
            break;
        case UIDeviceOrientationLandscapeRight:
            q = 2;
            break;
        default:
            canvas = true;
    }
    // Unknown, face up, face down: the unturned frame centred in an H x W
    // canvas of black (Y 0, or 16 in video range; Cb = Cr = 128), as the RGB
    // canvas is drawn.
    std::vector<uint8_t> canvasLuma, canvasChroma;
    size_t srcW = W, srcH = H, srcCW = cW, srcCH = cH;
    if (canvas) {
        srcW = H, srcH = W, srcCW = (srcW + 1) / 2, srcCH = (srcH + 1) / 2;
        canvasLuma.assign(srcW * srcH, videoRange ? 16 : 0);
        canvasChroma.assign(2 * srcCW * srcCH, 128);
        const long dx = floorHalf(static_cast<long>(srcW) - static_cast<long>(W));
        const long dy = floorHalf(static_cast<long>(srcH) - static_cast<long>(H));
        for (long y = std::max(0L, dy); y < std::min(static_cast<long>(srcH), dy + static_cast<long>(H)); ++y) {
            const long x0 = std::max(0L, dx), x1 = std::min(static_cast<long>(srcW), dx + static_cast<long>(W));
            std::memcpy(canvasLuma.data() + static_cast<size_t>(y) * srcW + x0,
                        luma + static_cast<size_t>(y - dy) * lumaStride + (x0 - dx), static_cast<size_t>(x1 - x0));
        }
        // Chroma pairs follow the luma offset halved (an odd offset drops half a sample).
        const long cdx = floorHalf(dx), cdy = floorHalf(dy);
        for (long y = std::max(0L, cdy); y < std::min(static_cast<long>(srcCH), cdy + static_cast<long>(cH)); ++y) {
            const long x0 = std::max(0L, cdx), x1 = std::min(static_cast<long>(srcCW), cdx + static_cast<long>(cW));
            if (x1 <= x0) continue;
            std::memcpy(canvasChroma.data() + 2 * (static_cast<size_t>(y) * srcCW + x0),
                        chroma + static_cast<size_t>(y - cdy) * chromaStride + 2 * (x0 - cdx),
                        2 * static_cast<size_t>(x1 - x0));
        }
        luma = canvasLuma.data(), lumaStride = srcW;
        chroma = canvasChroma.data(), chromaStride = 2 * srcCW;
    }
    const bool swap = q % 2 == 1;
    const Size upright = swap ? Size{double(srcH), double(srcW)} : Size{double(srcW), double(srcH)};
    const Size fitted = fittedSize(upright, box);
    const size_t w = canvasPixels(fitted.width, 1.0), h = canvasPixels(fitted.height, 1.0);
    if (!w || !h) return std::nullopt;
    YCbCrImage out;
    out.width = w, out.height = h;
    const size_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    try {
        out.y.resize(w * h);
        out.cb.resize(cw * ch);
        out.cr.resize(cw * ch);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    uint8_t* yPlane[1] = {out.y.data()};
    const size_t yStride[1] = {w};
    if (!lanczos::resamplePlaneTurned(luma, srcW, srcH, lumaStride, 1, yPlane, yStride, swap ? h : w, swap ? w : h, q))
        return std::nullopt;
    uint8_t* cPlanes[2] = {out.cb.data(), out.cr.data()};
    const size_t cStrides[2] = {cw, cw};
    if (!lanczos::resamplePlaneTurned(chroma, srcCW, srcCH, chromaStride, 2, cPlanes, cStrides, swap ? ch : cw,
                                      swap ? cw : ch, q))
        return std::nullopt;
    // JPEG holds full range: video range (Y 16-235, C 16-240) is stretched on
    // the fitted planes, a few hundred thousand samples, not the frame.
    if (videoRange) expandVideoRange(out);
    return out;
}

Rect centredCropRect(Size image, Size target, long interfaceOrientation) {
    const double W = image.width, H = image.height;
    const double a = target.height / target.width;
    Rect r;
    const bool portrait = interfaceOrientation == UIInterfaceOrientationPortrait ||
                          interfaceOrientation == UIInterfaceOrientationPortraitUpsideDown;
    if (portrait) {
        r.width = W;
        r.height = W * a;
        if (W * a > H) {
            r.height = H;
            r.width = H / a;
            r.x = (W - r.width) / 2;
            r.y = 0;
        } else {
            r.x = 0;
            r.y = (H - r.height) / 2;
        }
    } else {
        r.height = H;
        r.width = H / a;
        if (H / a > W) {
            r.width = W;
            r.height = W * a;
            r.y = (H - r.height) / 2;
            r.x = 0;
        } else {
            r.x = (W - r.width) / 2;
            r.y = 0;
        }
    }
    return r;
}

std::shared_ptr<Image> resizeImageWithCrop(const Image& image, Size target, long interfaceOrientation) {
    const size_t tw = canvasPixels(target.width, 1.0), th = canvasPixels(target.height, 1.0);
    if (!tw || !th) return nullptr;
    auto src = image.bitmap();
    if (!src) return nullptr;
    const Size size = image.size();
    Rect r = centredCropRect(size, target, interfaceOrientation);
    // Into the bitmap's pixels, widened outwards to whole pixels and clipped.
    const double s = image.scale();
    const double fx0 = std::floor(r.x * s + 1e-9), fy0 = std::floor(r.y * s + 1e-9);
    const double fx1 = std::ceil((r.x + r.width) * s - 1e-9), fy1 = std::ceil((r.y + r.height) * s - 1e-9);
    if (!std::isfinite(fx0) || !std::isfinite(fy0) || !std::isfinite(fx1) || !std::isfinite(fy1)) return nullptr;
    const size_t x0 = static_cast<size_t>(std::clamp(fx0, 0.0, double(src->width)));
    const size_t y0 = static_cast<size_t>(std::clamp(fy0, 0.0, double(src->height)));
    const size_t x1 = static_cast<size_t>(std::clamp(fx1, 0.0, double(src->width)));
    const size_t y1 = static_cast<size_t>(std::clamp(fy1, 0.0, double(src->height)));
    if (x1 <= x0 || y1 <= y0) return nullptr;
    auto out = resampleRect(*src, x0, y0, x1 - x0, y1 - y0, tw, th);
    return out ? Image::imageWithBitmap(out, 1.0) : nullptr;
}

}  // namespace tevra
