#include "capture/JpegEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

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
    // The compressor reads the luma plane at its padded size (even width and
    // height for 4:2:0), one row and column past an odd-sized image: such an
    // image goes through a copy with the last row and column repeated.
    const size_t pw = static_cast<size_t>(tjPlaneWidth(0, static_cast<int>(image.width), TJSAMP_420));
    const size_t ph = static_cast<size_t>(tjPlaneHeight(0, static_cast<int>(image.height), TJSAMP_420));
    const uint8_t* luma = image.y.data();
    std::vector<uint8_t> padded;
    if (pw != image.width || ph != image.height) {
        padded.resize(pw * ph);
        for (size_t row = 0; row < ph; ++row) {
            const uint8_t* src = image.y.data() + std::min(row, image.height - 1) * image.width;
            uint8_t* dst = padded.data() + row * pw;
            std::memcpy(dst, src, image.width);
            for (size_t x = image.width; x < pw; ++x) dst[x] = src[image.width - 1];
        }
        luma = padded.data();
    }
    const unsigned char* planes[3] = {luma, image.cb.data(), image.cr.data()};
    const int strides[3] = {static_cast<int>(pw), static_cast<int>(cw), static_cast<int>(cw)};
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
