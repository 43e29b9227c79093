// The VPS image made on the camera planes against the one made through a
// full-size RGB image: decoded, they agree within a level on average (1.25
// for video-range frames), PSNR at least 40 dB.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "capture/Image.h"
#include "capture/ImageContext.h"
#include "capture/ImageOps.h"
#include "capture/JpegEncoder.h"
#include "platform/Device.h"
#include "platform/PixelBuffer.h"

namespace tevra {
namespace {

// Shading, hard-edged blocks, saturated patches and noise, on padded strides.
// A video-range frame holds the same picture squeezed into Y 16-235, C 16-240.
PixelBufferRef cameraFrame(size_t w, size_t h, uint32_t seed,
                           uint32_t format = kCVPixelFormatType_420YpCbCr8BiPlanarFullRange) {
    const size_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    PixelBufferRef f = PixelBuffer::createWithPlanes(w, h, format, {{w, h, w + 32, 1}, {cw, ch, 2 * cw + 32, 2}});
    const bool video = format == kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange;
    auto luma = [&](int v) { return static_cast<uint8_t>(video ? 16 + v * 219 / 255 : v); };
    auto chroma = [&](int v) { return static_cast<uint8_t>(video ? 128 + (v - 128) * 224 / 255 : v); };
    uint32_t s = seed;
    auto noise = [&] {
        s = s * 1664525u + 1013904223u;
        return static_cast<int>(s >> 29) - 4;
    };
    uint8_t* y = f->baseAddressOfPlane(0);
    for (size_t r = 0; r < h; ++r)
        for (size_t c = 0; c < w; ++c) {
            double v = 120 + 70 * std::sin(c / (37.0 + seed % 50)) * std::cos(r / 53.0);
            if (((c / 90) + (r / 70)) % 3 == 0) v += 60;
            y[r * (w + 32) + c] = luma(std::clamp(static_cast<int>(v) + noise(), 0, 255));
        }
    uint8_t* uv = f->baseAddressOfPlane(1);
    for (size_t r = 0; r < ch; ++r)
        for (size_t c = 0; c < cw; ++c) {
            uv[r * (2 * cw + 32) + 2 * c] = chroma(static_cast<int>(70 + (c * 120) / cw));
            uv[r * (2 * cw + 32) + 2 * c + 1] = chroma(static_cast<int>(190 - (r * 110) / ch));
        }
    return f;
}

std::vector<uint8_t> decodeRGB(const std::string& jpeg, int& w, int& h) {
    tjhandle d = tjInitDecompress();
    int sub = 0, cs = 0;
    std::vector<uint8_t> out;
    if (tjDecompressHeader3(d, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size(), &w, &h, &sub, &cs) ==
        0) {
        out.resize(size_t(w) * size_t(h) * 3);
        if (tjDecompress2(d, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size(), out.data(), w, 0, h,
                          TJPF_RGB, 0) != 0)
            out.clear();
    }
    tjDestroy(d);
    return out;
}

TEST(VPSPlanes, DecodedJpegMatchesTheRGBPathInEveryOrientation) {
    const Size box{540, 960};
    struct Case {
        size_t w, h;
        uint32_t format;
    };
    for (Case c : {Case{1920, 1440, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange},
                   Case{642, 481, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange},
                   Case{642, 481, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange}}) {
        PixelBufferRef frame = cameraFrame(c.w, c.h, static_cast<uint32_t>(c.w), c.format);
        auto rendered = ImageContext::contextWithOptions()->createCGImage(*frame);
        ASSERT_TRUE(rendered);
        auto image = Image::imageWithBitmap(rendered, 1.0);
        for (long orientation = 0; orientation <= 6; ++orientation) {
            SCOPED_TRACE(testing::Message()
                         << c.w << "x" << c.h << " format " << c.format << " orientation " << orientation);
            auto upright = uprightImageForDeviceOrientation(*image, orientation);
            auto fitted = upright ? resizeImageKeepAspect(*upright, box) : nullptr;
            ASSERT_TRUE(fitted);
            auto staged = jpegRepresentation(*fitted, 0.9);
            auto planes = fittedUprightPlanes(*frame, orientation, box);
            ASSERT_TRUE(staged && planes);
            auto direct = jpegRepresentation(*planes, 0.9);
            ASSERT_TRUE(direct);
            int w0 = 0, h0 = 0, w1 = 0, h1 = 0;
            auto a = decodeRGB(*staged, w0, h0);
            auto b = decodeRGB(*direct, w1, h1);
            ASSERT_EQ(w0, w1);
            ASSERT_EQ(h0, h1);
            ASSERT_EQ(size_t(w0), fitted->pixelsWide());
            ASSERT_FALSE(a.empty());
            ASSERT_EQ(a.size(), b.size());
            double sum = 0, sq = 0;
            for (size_t i = 0; i < a.size(); ++i) {
                const double d = double(a[i]) - double(b[i]);
                sum += std::abs(d), sq += d * d;
            }
            const double mean = sum / double(a.size());
            const double psnr = 10 * std::log10(255.0 * 255.0 / std::max(sq / double(a.size()), 1e-9));
            // Stretching video range to full adds up to 0.6 level of rounding
            // that the RGB path spends once: a looser mean there.
            EXPECT_LE(mean, c.format == kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange ? 1.25 : 1.0);
            EXPECT_GE(psnr, 40.0);
            if (orientation == 5) {  // face up: the black band above the frame stays black
                EXPECT_LE(b[0], 2);
                EXPECT_LE(b[(size_t(w1) / 2) * 3 + 1], 2);
            }
        }
    }
}

TEST(VPSPlanes, RefusesFramesItCannotRead) {
    PixelBufferRef bgra = PixelBuffer::create(64, 48, kCVPixelFormatType_32BGRA);
    EXPECT_FALSE(fittedUprightPlanes(*bgra, 1, {540, 960}));
    PixelBufferRef frame = cameraFrame(64, 48, 1);
    EXPECT_FALSE(fittedUprightPlanes(*frame, 1, {0, 960}));
    EXPECT_FALSE(jpegRepresentation(YCbCrImage{}, 0.9));
}

}  // namespace
}  // namespace tevra
