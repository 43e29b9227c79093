// JPEG encoding of images (libjpeg-turbo).
//
// Quality: the 0.0-1.0 compression factor maps onto libjpeg's 1-100 scale as
// round(factor x 100) clamped to 1..100 (0.9 -> 90, 0.0 -> 1, 1.0 -> 100; a
// factor that is not a number -> 1). Chroma is subsampled 4:2:0, as camera
// JPEGs are.
// JPEG has no alpha: the premultiplied pixels are written as they are, which
// is the image composited over black (transparent areas come out black).
// In: an image (its upright pixels). Out: the JPEG bytes, or none when the
// image has no pixels or the encoder fails.
// Example: a 540 x 720 camera image at factor 0.9 encodes in about a
// millisecond into some 60-120 KB.
// Threads: any; each thread keeps its own encoder.
#pragma once

#include <optional>
#include <string>

#include "capture/Image.h"
#include "capture/ImageOps.h"

namespace tevra {

int jpegQualityForCompressionFactor(double factor);

std::optional<std::string> jpegRepresentation(const Image& image, double compressionFactor);

// The same from planes already in YCbCr 4:2:0: no colour conversion or
// chroma subsampling in the encoder.
std::optional<std::string> jpegRepresentation(const YCbCrImage& image, double compressionFactor);

}  // namespace tevra
