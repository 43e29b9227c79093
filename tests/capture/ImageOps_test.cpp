#include "capture/ImageOps.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include "capture/Image.h"
#include "capture/JpegEncoder.h"

namespace tevra {
namespace {

// A w x h opaque bitmap whose pixel (x, y) is (x, y, 7, 255).
std::shared_ptr<Image> numbered(size_t w, size_t h) {
    auto b = Bitmap::create(w, h);
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            uint8_t* p = b->row(y) + 4 * x;
            p[0] = static_cast<uint8_t>(x), p[1] = static_cast<uint8_t>(y), p[2] = 7, p[3] = 255;
        }
    b->opaque = true;
    return Image::imageWithBitmap(b, 1.0);
}

uint32_t px(size_t x, size_t y) { return (uint32_t(x) << 24) | (uint32_t(y) << 16) | (7u << 8) | 255u; }

// Checks every destination pixel against the mapping from source pixels.
template <typename Map>
void expectMapping(const Image& out, size_t w, size_t h, size_t W, size_t H, Map map) {
    auto b = out.bitmap();
    ASSERT_TRUE(b);
    ASSERT_EQ(b->width, W);
    ASSERT_EQ(b->height, H);
    std::vector<int> seen(W * H, 0);
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            long X, Y;
            map(long(x), long(y), X, Y);
            if (X < 0 || Y < 0 || X >= long(W) || Y >= long(H)) continue;
            EXPECT_EQ(b->rgba(size_t(X), size_t(Y)), px(x, y)) << "source " << x << "," << y;
            seen[size_t(Y) * W + size_t(X)] = 1;
        }
    for (size_t Y = 0; Y < H; ++Y)
        for (size_t X = 0; X < W; ++X)
            if (!seen[Y * W + X]) {
                EXPECT_EQ(b->rgba(X, Y), 0u) << "uncovered " << X << "," << Y << " is not transparent";
            }
}

TEST(UprightImage, EachDeviceOrientationMapsPixelsAsHeld) {
    const long w = 5, h = 3;
    auto src = numbered(w, h);
    auto portrait = uprightImageForDeviceOrientation(*src, 1);
    EXPECT_EQ(portrait->size(), (Size{3, 5}));
    expectMapping(*portrait, w, h, h, w, [&](long x, long y, long& X, long& Y) { X = h - 1 - y, Y = x; });
    auto upsideDown = uprightImageForDeviceOrientation(*src, 2);
    expectMapping(*upsideDown, w, h, h, w, [&](long x, long y, long& X, long& Y) { X = y, Y = w - 1 - x; });
    auto left = uprightImageForDeviceOrientation(*src, 3);
    expectMapping(*left, w, h, w, h, [&](long x, long y, long& X, long& Y) { X = x, Y = y; });
    auto right = uprightImageForDeviceOrientation(*src, 4);
    expectMapping(*right, w, h, w, h, [&](long x, long y, long& X, long& Y) { X = w - 1 - x, Y = h - 1 - y; });
    for (long o : {0L, 5L, 6L, 99L}) {
        SCOPED_TRACE(o);
        auto flat = uprightImageForDeviceOrientation(*src, o);
        // 3 x 5 canvas: the 5 x 3 frame centred, one column cut at each end,
        // one transparent row above and below.
        expectMapping(*flat, w, h, h, w, [&](long x, long y, long& X, long& Y) { X = x - 1, Y = y + 1; });
        EXPECT_FALSE(flat->bitmap()->opaque);
    }
}

TEST(UprightImage, FaceUpLandscapeFrameKeepsTheCentreAndOddOffsetsLeanTopLeft) {
    auto flat = uprightImageForDeviceOrientation(*numbered(1920, 1440), 5);
    ASSERT_EQ(flat->size(), (Size{1440, 1920}));
    auto b = flat->bitmap();
    EXPECT_EQ(b->rgba(0, 239), 0u);
    EXPECT_EQ(b->rgba(0, 240), px(240 & 0xff, 0));
    EXPECT_EQ(b->rgba(1439, 1679), px((240 + 1439) & 0xff, 1439 & 0xff));
    EXPECT_EQ(b->rgba(1439, 1680), 0u);
    // 4 x 1 into a 1 x 4 canvas: offsets -1.5 and +1.5 become -2 and +1.
    auto odd = uprightImageForDeviceOrientation(*numbered(4, 1), 0);
    auto ob = odd->bitmap();
    EXPECT_EQ(ob->rgba(0, 0), 0u);
    EXPECT_EQ(ob->rgba(0, 1), px(2, 0));
    EXPECT_EQ(ob->rgba(0, 2), 0u);
}

TEST(UprightImage, TurnsComposeAndKeepTheScale) {
    auto b = Bitmap::create(4, 2);
    b->row(0)[0] = 9;
    auto src = Image::imageWithBitmap(b, 2.0);
    EXPECT_EQ(src->size(), (Size{2, 1}));
    auto once = uprightImageForDeviceOrientation(*src, 1);
    EXPECT_EQ(once->scale(), 2.0);
    EXPECT_EQ(once->size(), (Size{1, 2}));
    auto twice = uprightImageForDeviceOrientation(*once, 1);
    EXPECT_EQ(twice->orientation(), ImageOrientation::Down);
    EXPECT_EQ(twice->bitmap()->row(1)[12], 9);  // top-left ends bottom-right after a half turn
}

TEST(FitImage, FactorRuleAndSizes) {
    EXPECT_EQ(fittedSize({1440, 1920}, {540, 960}), (Size{540, 720}));
    EXPECT_EQ(fittedSize({1920, 1440}, {540, 960}), (Size{540, 405}));
    EXPECT_EQ(fittedSize({100, 100}, {540, 960}), (Size{540, 540}));
    EXPECT_DOUBLE_EQ(fitFactor({100, 200}, {50, 100}), 0.5);  // equal ratios
    auto fitted = resizeImageKeepAspect(*uprightImageForDeviceOrientation(*numbered(1920, 1440), 1), {540, 960});
    ASSERT_TRUE(fitted);
    EXPECT_EQ(fitted->size(), (Size{540, 720}));
    EXPECT_EQ(fitted->scale(), 1.0);
    // Fractional sizes round to whole pixels: 1000 x 333 -> 540 x 179.82 -> 540 x 180.
    auto frac = resizeImageKeepAspect(*numbered(1000, 333), {540, 960});
    EXPECT_EQ(frac->size(), (Size{540, 180}));
    EXPECT_FALSE(resizeImageKeepAspect(*numbered(4, 4), {0, 960}));
    EXPECT_FALSE(resizeImageKeepAspect(*numbered(4, 4), {-5, 960}));
}

TEST(FitImage, FineDetailAveragesOutAndTurnedImagesKeepTheirLayout) {
    // A one-pixel checkerboard with a red 240 x 240 block at the top-left of
    // the stored (landscape) frame.
    auto b = Bitmap::create(1920, 1440);
    for (size_t y = 0; y < 1440; ++y)
        for (size_t x = 0; x < 1920; ++x) {
            uint8_t* p = b->row(y) + 4 * x;
            uint8_t v = ((x + y) & 1) ? 255 : 0;
            if (x < 240 && y < 240)
                p[0] = 255, p[1] = 0, p[2] = 0;
            else
                p[0] = p[1] = p[2] = v;
            p[3] = 255;
        }
    b->opaque = true;
    auto portrait = uprightImageForDeviceOrientation(*Image::imageWithBitmap(b, 1.0), 1);
    auto fitted = resizeImageKeepAspect(*portrait, {540, 960});
    ASSERT_TRUE(fitted);
    auto f = fitted->bitmap();
    ASSERT_EQ(f->width, 540u);
    ASSERT_EQ(f->height, 720u);
    // The block (90 x 90 after fitting) sits at the top-right.
    EXPECT_EQ(f->rgba(539 - 40, 40) >> 8, 0xff0000u);
    // The checkerboard far from the block is flat grey.
    for (size_t y = 200; y < 720; y += 37)
        for (size_t x = 20; x < 400; x += 23) {
            const uint8_t* p = f->row(y) + 4 * x;
            EXPECT_NEAR(p[0], 128, 3) << x << "," << y;
            EXPECT_EQ(p[3], 255);
        }
}

TEST(FitImage, PremultipliedEdgesStayValid) {
    // Face-up bands next to white: ringing must not lift colour above alpha.
    auto b = Bitmap::create(64, 48);
    for (auto& v : b->pixels) v = 255;
    b->opaque = true;
    auto flat = uprightImageForDeviceOrientation(*Image::imageWithBitmap(b, 1.0), 5);
    auto fitted = resizeImageKeepAspect(*flat, {20, 100});
    auto f = fitted->bitmap();
    for (size_t y = 0; y < f->height; ++y)
        for (size_t x = 0; x < f->width; ++x) {
            const uint8_t* p = f->row(y) + 4 * x;
            ASSERT_LE(p[0], p[3]);
        }
}

TEST(CropImage, CentredRectangleInBothOrientations) {
    for (long o : {1L, 2L, 3L, 4L}) {
        Rect r = centredCropRect({1440, 1920}, {540, 960}, o);
        EXPECT_EQ(r, (Rect{180, 0, 1080, 1920})) << o;
    }
    EXPECT_EQ(centredCropRect({1920, 1440}, {960, 540}, 1), (Rect{0, 180, 1920, 1080}));
    EXPECT_EQ(centredCropRect({1920, 1440}, {960, 540}, 3), (Rect{0, 180, 1920, 1080}));
    // Columns outside the crop are red, inside blue: only blue survives.
    auto b = Bitmap::create(1440, 1920);
    for (size_t y = 0; y < 1920; ++y)
        for (size_t x = 0; x < 1440; ++x) {
            uint8_t* p = b->row(y) + 4 * x;
            bool inside = x >= 180 && x < 1260;
            p[0] = inside ? 0 : 255, p[1] = 0, p[2] = inside ? 255 : 0, p[3] = 255;
        }
    b->opaque = true;
    for (long o : {1L, 4L}) {
        auto out = resizeImageWithCrop(*Image::imageWithBitmap(b, 1.0), {540, 960}, o);
        ASSERT_TRUE(out);
        auto ob = out->bitmap();
        ASSERT_EQ(ob->width, 540u);
        ASSERT_EQ(ob->height, 960u);
        for (size_t x : {0, 1, 270, 538, 539}) EXPECT_EQ(ob->rgba(x, 480), 0x0000ffffu) << x;
    }
}

TEST(JpegEncoding, QualityMappingAndOpaqueOutput) {
    EXPECT_EQ(jpegQualityForCompressionFactor(0.9), 90);
    EXPECT_EQ(jpegQualityForCompressionFactor(0.0), 1);
    EXPECT_EQ(jpegQualityForCompressionFactor(1.0), 100);
    EXPECT_EQ(jpegQualityForCompressionFactor(0.005), 1);
    EXPECT_EQ(jpegQualityForCompressionFactor(0.125), 13);
    EXPECT_EQ(jpegQualityForCompressionFactor(2.0), 100);
    EXPECT_EQ(jpegQualityForCompressionFactor(std::nan("")), 1);

    // A white frame lying flat: the transparent bands come out black.
    auto b = Bitmap::create(64, 48);
    for (auto& v : b->pixels) v = 255;
    b->opaque = true;
    auto flat = uprightImageForDeviceOrientation(*Image::imageWithBitmap(b, 1.0), 5);
    auto jpeg = jpegRepresentation(*flat, 0.9);
    ASSERT_TRUE(jpeg);
    tjhandle d = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    auto* data = reinterpret_cast<const unsigned char*>(jpeg->data());
    ASSERT_EQ(tjDecompressHeader3(d, data, jpeg->size(), &w, &h, &sub, &cs), 0);
    EXPECT_EQ(w, 48);
    EXPECT_EQ(h, 64);
    EXPECT_EQ(sub, TJSAMP_420);
    std::vector<unsigned char> rgb(size_t(w) * size_t(h) * 3);
    ASSERT_EQ(tjDecompress2(d, data, jpeg->size(), rgb.data(), w, 0, h, TJPF_RGB, 0), 0);
    tjDestroy(d);
    EXPECT_LT(rgb[(2 * 48 + 24) * 3], 10);    // band (rows 0-7)
    EXPECT_GT(rgb[(32 * 48 + 24) * 3], 245);  // frame
    EXPECT_LT(rgb[(61 * 48 + 24) * 3], 10);   // band (rows 56-63)
    // Lower quality, fewer bytes.
    auto noisy = Bitmap::create(64, 64);
    for (size_t i = 0; i < noisy->pixels.size(); ++i) noisy->pixels[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    auto img = Image::imageWithBitmap(noisy, 1.0);
    EXPECT_LT(jpegRepresentation(*img, 0.1)->size(), jpegRepresentation(*img, 0.95)->size());
}

}  // namespace
}  // namespace tevra
