// The image-processing context: renders a camera pixel buffer into a new
// premultiplied RGBA bitmap.
//
// In: a pixel buffer whose base address the caller has locked (read-only is
// enough). Out: a bitmap of the buffer's size, or null.
// Formats: "420f" (full-range BT.601 Y'CbCr, the camera's format) and "420v"
// (video range) are converted to RGB; 32-bit BGRA and ARGB are reordered.
// Camera images are opaque: alpha is 255, so premultiplying changes nothing.
// Any other format has an empty extent (it can't be wrapped as an image).
// Failure: null when the buffer's memory can't be read or the bitmap can't
// be made.
// Example: a 1920 x 1440 "420f" frame renders into a 1920 x 1440 bitmap of
// 7680 bytes a row; a pixel with Y' 255, Cb 128, Cr 128 comes out white.
// Threads: a context holds no mutable state; one context may render on
// several threads at once.
#pragma once

#include <memory>
#include <string>

#include "capture/Image.h"
#include "platform/GPU.h"
#include "platform/PixelBuffer.h"

namespace tevra {

class ImageContext {
public:
    // A context with default options (rendering on the CPU).
    static std::shared_ptr<ImageContext> contextWithOptions();
    // A context tied to a GPU device. The conversion itself runs on the CPU
    // (it is cheaper than a GPU round trip for one frame); the device is kept
    // only to say where the context was made.
    static std::shared_ptr<ImageContext> contextWithMTLDevice(std::shared_ptr<GPUDevice> device);

    // The rectangle an image wrapping `buffer` covers: (0, 0, width, height)
    // for a format this context can render, else empty.
    static Rect extentOfPixelBuffer(const PixelBuffer& buffer);
    static bool isEmpty(const Rect& r) { return !(r.width > 0) || !(r.height > 0); }

    // Renders the whole buffer into a new bitmap; null on failure.
    std::shared_ptr<Bitmap> createCGImage(const PixelBuffer& buffer) const;

    const std::shared_ptr<GPUDevice>& device() const { return device_; }

private:
    std::shared_ptr<GPUDevice> device_;
};

}  // namespace tevra
