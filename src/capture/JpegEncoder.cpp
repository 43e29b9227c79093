#include "capture/JpegEncoder.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <turbojpeg.h>

namespace tevra {

int jpegQualityForCompressionFactor(double factor) {
    if (!(factor > 0)) return 1;  // also NaN
    if (factor >= 1) return 100;
    return std::clamp(static_cast<int>(std::lround(factor * 100.0)), 1, 100);
}

namespace {
struct HandleDeleter {
    void operator()(void* h) const {
        if (h) tjDestroy(h);
    }
};

tjhandle threadCompressor() {
    thread_local std::unique_ptr<void, HandleDeleter> handle(tjInitCompress());
    return handle.get();
}
}  // namespace

std::optional<std::string> jpegRepresentation(const Image& image, double compressionFactor) {
    auto bitmap = image.bitmap();
    if (!bitmap || bitmap->width == 0 || bitmap->height == 0) return std::nullopt;
    tjhandle h = threadCompressor();
    if (!h) return std::nullopt;
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    // RGBX ignores the alpha byte: premultiplied colour over black.
    int rc = tjCompress2(h, bitmap->pixels.data(), static_cast<int>(bitmap->width),
                         static_cast<int>(bitmap->bytesPerRow), static_cast<int>(bitmap->height), TJPF_RGBX, &jpeg,
                         &size, TJSAMP_420, jpegQualityForCompressionFactor(compressionFactor), 0);
    std::optional<std::string> out;
    if (rc == 0 && jpeg && size > 0) out.emplace(reinterpret_cast<const char*>(jpeg), size);
    if (jpeg) tjFree(jpeg);
    return out;
}

std::optional<std::string> jpegRepresentation(const YCbCrImage& image, double compressionFactor) {
    const size_t cw = (image.width + 1) / 2, ch = (image.height + 1) / 2;
    if (image.width == 0 || image.height == 0 || image.width > kMaxBitmapSide || image.height > kMaxBitmapSide ||
        image.y.size() < image.width * image.height || image.cb.size() < cw * ch || image.cr.size() < cw * ch)
        return std::nullopt;
    tjhandle h = threadCompressor();
    if (!h) return std::nullopt;
    const unsigned char* planes[3] = {image.y.data(), image.cb.data(), image.cr.data()};
    const int strides[3] = {static_cast<int>(image.width), static_cast<int>(cw), static_cast<int>(cw)};
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    int rc = tjCompressFromYUVPlanes(h, planes, static_cast<int>(image.width), strides, static_cast<int>(image.height),
                                     TJSAMP_420, &jpeg, &size, jpegQualityForCompressionFactor(compressionFactor), 0);
    std::optional<std::string> out;
    if (rc == 0 && jpeg && size > 0) out.emplace(reinterpret_cast<const char*>(jpeg), size);
    if (jpeg) tjFree(jpeg);
    return out;
}

}  // namespace tevra
