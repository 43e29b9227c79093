#include "capture/Image.h"

#include <cmath>
#include <cstring>

#include <libyuv/rotate_argb.h>

namespace tevra {

std::shared_ptr<Bitmap> Bitmap::createUninitialized(size_t width, size_t height) {
    if (width == 0 || height == 0 || width > kMaxBitmapSide || height > kMaxBitmapSide) return nullptr;
    auto b = std::make_shared<Bitmap>();
    b->width = width;
    b->height = height;
    b->bytesPerRow = width * 4;
    b->pixels.resize(b->bytesPerRow * height);
    return b;
}

std::shared_ptr<Bitmap> Bitmap::create(size_t width, size_t height) {
    auto b = createUninitialized(width, height);
    if (b) std::memset(b->pixels.data(), 0, b->pixels.size());
    return b;
}

uint32_t Bitmap::rgba(size_t x, size_t y) const {
    const uint8_t* p = row(y) + 4 * x;
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

ImageOrientation turned(ImageOrientation o, int quarterTurnsClockwise) {
    int q = (static_cast<int>(o) + quarterTurnsClockwise) % 4;
    if (q < 0) q += 4;
    return static_cast<ImageOrientation>(q);
}

Image::Image(std::shared_ptr<const Bitmap> bitmap, double scale, ImageOrientation orientation, long deviceOrientation)
    : stored_(std::move(bitmap)), scale_(scale), orientation_(orientation), deviceOrientation_(deviceOrientation) {}

std::shared_ptr<Image> Image::imageWithBitmap(std::shared_ptr<const Bitmap> bitmap, double scale,
                                              ImageOrientation orientation, long deviceOrientation) {
    if (!bitmap || bitmap->width == 0 || bitmap->height == 0) return nullptr;
    if (!(scale > 0) || !std::isfinite(scale)) return nullptr;
    return std::make_shared<Image>(std::move(bitmap), scale, orientation, deviceOrientation);
}

static bool quarter(ImageOrientation o) { return o == ImageOrientation::Right || o == ImageOrientation::Left; }

size_t Image::pixelsWide() const { return quarter(orientation_) ? stored_->height : stored_->width; }
size_t Image::pixelsHigh() const { return quarter(orientation_) ? stored_->width : stored_->height; }

Size Image::size() const {
    return {static_cast<double>(pixelsWide()) / scale_, static_cast<double>(pixelsHigh()) / scale_};
}

std::shared_ptr<const Bitmap> Image::bitmap() const {
    if (orientation_ == ImageOrientation::Up) return stored_;
    std::call_once(uprightOnce_, [this] { upright_ = rotateBitmap(*stored_, static_cast<int>(orientation_)); });
    return upright_;
}

std::shared_ptr<Bitmap> rotateBitmap(const Bitmap& source, int quarterTurnsClockwise) {
    int q = quarterTurnsClockwise % 4;
    if (q < 0) q += 4;
    const bool swap = q == 1 || q == 3;
    auto out = Bitmap::createUninitialized(swap ? source.height : source.width, swap ? source.width : source.height);
    if (!out) return nullptr;
    out->opaque = source.opaque;
    if (q == 0) {
        for (size_t y = 0; y < source.height; ++y) std::memcpy(out->row(y), source.row(y), source.width * 4);
        return out;
    }
    const libyuv::RotationMode mode = q == 1 ? libyuv::kRotate90 : q == 2 ? libyuv::kRotate180 : libyuv::kRotate270;
    // The turn moves whole 4-byte pixels, so the channel order is irrelevant.
    int rc = libyuv::ARGBRotate(source.pixels.data(), static_cast<int>(source.bytesPerRow), out->pixels.data(),
                                static_cast<int>(out->bytesPerRow), static_cast<int>(source.width),
                                static_cast<int>(source.height), mode);
    if (rc != 0) return nullptr;
    return out;
}

}  // namespace tevra
