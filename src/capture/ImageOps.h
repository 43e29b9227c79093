// Geometry on images: turning a camera image upright by the device's
// orientation, fitting into a box, and a centred crop-and-scale.
//
// Scaled drawing uses a Lanczos-3 filter (math/Lanczos.h) whose kernel
// widens when an image shrinks, so fine detail averages out instead of
// aliasing. Canvases are transparent; areas nothing is drawn on stay (0, 0,
// 0, 0).
//
// Whole pixels: sizes are computed in floating point, in points, and a
// canvas gets round(points x scale) pixels a side (halves away from zero),
// at least one. A scaled image always fills its whole canvas, so the
// rounding changes the aspect ratio by less than half a pixel and never
// leaves a partly covered edge. When a centred image is offset by an odd
// number of pixels, the half pixel is dropped (the image sits one pixel
// nearer the top-left).
//
// Example: a 1440 x 1920 image fitted into 540 x 960 is 540 x 720 (factor
// 0.375); 1920 x 1440 gives 540 x 405; 100 x 100 is enlarged to 540 x 540.
// Failure: null for an empty or absurd canvas (a zero, negative or
// non-finite size) or when memory runs out.
// Threads: any; no shared state.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "capture/Image.h"
#include "platform/PixelBuffer.h"
#include "math/Simd.h"

namespace tevra {

// Pixels a canvas side of `points` at `scale` gets; 0 when it can't exist.
size_t canvasPixels(double points, double scale);

// The image turned upright for the device's physical orientation code:
// portrait (1) a quarter turn clockwise, portrait upside down (2) a quarter
// turn counter-clockwise, landscape left (3) unchanged, landscape right (4) a
// half turn. Any other code (unknown, face up, face down) centres the
// unturned image in a canvas with the sides swapped (h x w), cutting its
// ends and leaving transparent bands. Same scale as the source; the result
// carries `deviceOrientation` (Image::deviceOrientation).
std::shared_ptr<Image> uprightImageForDeviceOrientation(const Image& image, long deviceOrientation);

// The fitting factor: the width ratio when strictly smaller, else the height
// ratio.
double fitFactor(Size image, Size box);
// The image's size times fitFactor (unrounded, in points).
Size fittedSize(Size image, Size box);

// The image drawn scaled into a new canvas of `canvas` points at scale 1.0
// covering the whole canvas.
std::shared_ptr<Image> drawImageScaled(const Image& image, Size canvas);

// Fits the image into `box` keeping its aspect ratio (may enlarge).
std::shared_ptr<Image> resizeImageKeepAspect(const Image& image, Size box);

// A full-range YCbCr 4:2:0 image in three planes: width x height luma
// samples (rows `width` apart) and two chroma planes of (width + 1) / 2 x
// (height + 1) / 2 samples (rows (width + 1) / 2 apart).
struct YCbCrImage {
    size_t width = 0, height = 0;
    std::vector<uint8_t> y, cb, cr;
};

// The camera frame ("420f" or "420v" planes) made upright for
// `deviceOrientation` as uprightImageForDeviceOrientation does (face up and
// the others keep their black bands) and fitted into `box` as
// resizeImageKeepAspect does, filtered on the luma and chroma planes: no
// full-size RGB image is made. The result is full range either way. None for
// another pixel format, an empty frame or box, or when memory runs out.
// Example: a 1920 x 1440 frame held portrait in 540 x 960 is 540 x 720.
std::optional<YCbCrImage> fittedUprightPlanes(PixelBuffer& frame, long deviceOrientation, Size box);

// The largest centred rectangle of an image of size `image` whose
// height-to-width ratio equals target.height / target.width. Portrait
// interface orientations (1, 2) try the full width first, others the full
// height; the result is the same rectangle.
Rect centredCropRect(Size image, Size target, long interfaceOrientation);

// Cuts centredCropRect out of the upright pixels (widened to whole pixels)
// and draws it scaled into a canvas of exactly target (scale 1.0).
std::shared_ptr<Image> resizeImageWithCrop(const Image& image, Size target, long interfaceOrientation);

}  // namespace tevra
