// Still images of the capture pipeline: an RGBA bitmap (8 bits a channel,
// alpha premultiplied) with a scale (pixels per point) and a drawing
// orientation.
//
// The orientation works as a camera image's orientation tag does: the pixels
// stay as they were made and the image is drawn turned by whole quarter
// turns. A portrait frame turned upright is therefore only re-tagged; the
// pixels are moved once, when something needs them upright (bitmap()) or
// when the image is drawn scaled, which then turns the small result instead
// of the full frame.
//
// An image turned upright for the device's orientation also carries that
// orientation code, so later steps (the VPS intrinsics) follow the turn the
// pixels were given rather than the device's orientation at that later time.
//
// In: a bitmap, a scale, an orientation. Out: the size in points, the upright
// pixels. Failure: creation returns null for an empty or absurd size.
// Example: a 1920 x 1440 bitmap tagged `Right` (drawn a quarter turn
// clockwise) is a 1440 x 1920 image whose upright top-right pixel is the
// bitmap's top-left one.
// Threads: images are immutable once made and can be shared between threads;
// bitmap() makes the upright pixels once, safely under concurrent calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "math/Simd.h"

namespace tevra {

// An allocator whose vectors leave new bytes uninitialised, for pixels that
// are written whole right after allocation.
template <typename T>
struct DefaultInitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    using std::allocator<T>::allocator;
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// Premultiplied RGBA pixels (bytes R, G, B, A), rows `bytesPerRow` apart.
struct Bitmap {
    size_t width = 0, height = 0, bytesPerRow = 0;
    // True when every alpha byte is 255 (set by whoever fills the pixels).
    bool opaque = false;
    std::vector<uint8_t, DefaultInitAllocator<uint8_t>> pixels;

    // A transparent (all-zero) bitmap; null for a zero side or one above
    // kMaxBitmapSide.
    static std::shared_ptr<Bitmap> create(size_t width, size_t height);
    // The same with the pixels left unwritten, for a producer that writes
    // every byte.
    static std::shared_ptr<Bitmap> createUninitialized(size_t width, size_t height);
    uint8_t* row(size_t y) { return pixels.data() + y * bytesPerRow; }
    const uint8_t* row(size_t y) const { return pixels.data() + y * bytesPerRow; }
    // The four bytes of pixel (x, y) as 0xRRGGBBAA, for tests and diagnostics.
    uint32_t rgba(size_t x, size_t y) const;
};

inline constexpr size_t kMaxBitmapSide = 16384;

// Quarter turns clockwise applied when the stored pixels are drawn.
enum class ImageOrientation : int { Up = 0, Right = 1, Down = 2, Left = 3 };

// The orientation of `o` followed by `quarterTurnsClockwise` more quarter turns.
ImageOrientation turned(ImageOrientation o, int quarterTurnsClockwise);

class Image {
public:
    // Null for a null bitmap or a scale that is not positive and finite.
    // `deviceOrientation` is the device orientation code the image was
    // turned upright for (0, unknown, when it was not).
    static std::shared_ptr<Image> imageWithBitmap(std::shared_ptr<const Bitmap> bitmap, double scale = 1.0,
                                                  ImageOrientation orientation = ImageOrientation::Up,
                                                  long deviceOrientation = 0);

    // Size in points: upright pixels divided by the scale.
    Size size() const;
    double scale() const { return scale_; }
    ImageOrientation orientation() const { return orientation_; }
    // The device orientation code the image was turned upright for, e.g. 3
    // (landscape left) for an image made by uprightImageForDeviceOrientation
    // with the device held so; 0 for any other image.
    long deviceOrientation() const { return deviceOrientation_; }
    // Upright size in pixels.
    size_t pixelsWide() const;
    size_t pixelsHigh() const;
    // The pixels as stored (before the orientation is applied).
    const Bitmap& storedBitmap() const { return *stored_; }
    const std::shared_ptr<const Bitmap>& storedBitmapRef() const { return stored_; }
    // The upright pixels (the stored ones when the orientation is Up). Null
    // only when the turned copy can't be made.
    std::shared_ptr<const Bitmap> bitmap() const;

    Image(std::shared_ptr<const Bitmap> bitmap, double scale, ImageOrientation orientation, long deviceOrientation = 0);

private:
    std::shared_ptr<const Bitmap> stored_;
    double scale_ = 1.0;
    ImageOrientation orientation_ = ImageOrientation::Up;
    long deviceOrientation_ = 0;
    mutable std::once_flag uprightOnce_;
    mutable std::shared_ptr<const Bitmap> upright_;
};

using ImageRef = std::shared_ptr<Image>;

// Turns a bitmap by quarter turns clockwise (0-3, taken modulo 4) with the
// pixel mapping of a quarter turn clockwise: source (x, y) of a w x h bitmap
// lands at (h - 1 - y, x). Null when the copy can't be made.
std::shared_ptr<Bitmap> rotateBitmap(const Bitmap& source, int quarterTurnsClockwise);

}  // namespace tevra
