#include "detection/ImageUtils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/fake/FakePlatform.h"

using namespace tevra;

namespace {

constexpr uint32_t k420f = kCVPixelFormatType_420YpCbCr8BiPlanarFullRange;
constexpr uint32_t kARGB = kCVPixelFormatType_32ARGB;

// A distinct 4-byte value per pixel, so any misplaced pixel shows.
uint32_t codeOf(size_t x, size_t y) { return static_cast<uint32_t>((x & 0xfff) | ((y & 0xfff) << 12) | (0x5au << 24)); }

PixelBufferRef makeCoded(size_t w, size_t h, size_t stride = 0) {
    PixelBufferRef b = PixelBuffer::createWithPlanes(w, h, kARGB, {{w, h, stride, 4}});
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            uint32_t v = codeOf(x, y);
            std::memcpy(b->baseAddress() + y * b->bytesPerRow() + 4 * x, &v, 4);
        }
    return b;
}

uint32_t pixel(const PixelBuffer& b, size_t x, size_t y) {
    uint32_t v;
    std::memcpy(&v, b.baseAddress() + y * b.bytesPerRow() + 4 * x, 4);
    return v;
}

const uint8_t* px(const PixelBuffer& b, size_t x, size_t y) { return b.baseAddress() + y * b.bytesPerRow() + 4 * x; }

PixelBufferRef makeSolid(size_t w, size_t h, std::array<uint8_t, 4> c) {
    PixelBufferRef b = PixelBuffer::create(w, h, kARGB);
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) std::memcpy(b->baseAddress() + y * b->bytesPerRow() + 4 * x, c.data(), 4);
    return b;
}

bool wroteOnce(const PixelBuffer& b) {
    auto s = b.lockStats();
    return s.writeLocks == 1 && s.writeUnlocks == 1 && s.readOnlyLocks == 0 && s.mismatches == 0;
}
bool readOnce(const PixelBuffer& b) {
    auto s = b.lockStats();
    return s.readOnlyLocks == 1 && s.readOnlyUnlocks == 1 && s.writeLocks == 0 && s.mismatches == 0;
}
bool untouched(const PixelBuffer& b) {
    auto s = b.lockStats();
    return s.readOnlyLocks == 0 && s.writeLocks == 0 && s.mismatches == 0;
}

int referenceChannel(double v) {
    long r = std::lround(v);
    return r < 0 ? 0 : r > 255 ? 255 : static_cast<int>(r);
}

// The conversion rule, computed independently in double precision.
std::array<int, 3> referenceRGB(int y, int cb, int cr) {
    y = std::clamp(y, 16, 235);
    cb = std::clamp(cb, 16, 240);
    cr = std::clamp(cr, 16, 240);
    double l = 1.164384 * (y - 16);
    return {referenceChannel(l + 1.596027 * (cr - 128)),
            referenceChannel(l - 0.391762 * (cb - 128) - 0.812968 * (cr - 128)),
            referenceChannel(l + 2.017232 * (cb - 128))};
}

class ImageUtilsTest : public ::testing::Test {
protected:
    void SetUp() override { fake = fake::FakePlatform::install(); }
    void TearDown() override { PixelBuffer::failNextCreationsForTesting(0); }
    std::shared_ptr<fake::FakePlatform> fake;
};

// ---------------------------------------------------------------- rotation

// Small odd sizes, and sizes that cross the 4 x 4 blocks and 64 x 64 tiles
// with ragged edges, all with padded strides.
TEST_F(ImageUtilsTest, RotationCodesMapEveryPixelOnOddSizes) {
    for (auto [W, H] : {std::pair<size_t, size_t>{5, 3}, {1, 7}, {131, 69}, {66, 130}}) {
        PixelBufferRef src = makeCoded(W, H, W * 4 + 8);
        for (int64_t code : {int64_t{1}, int64_t{2}, int64_t{3}}) {
            SCOPED_TRACE(testing::Message() << W << "x" << H << " code " << code);
            RotationResult r = rotatePixelBuffer(*src, code);
            ASSERT_FALSE(r.failed);
            ASSERT_TRUE(r.buffer);
            const PixelBuffer& d = *r.buffer;
            EXPECT_EQ(d.pixelFormatType(), kARGB);
            EXPECT_TRUE(d.attributes().ioSurface);
            EXPECT_TRUE(wroteOnce(d));
            const bool quarter = code != 2;
            ASSERT_EQ(d.width(), quarter ? H : W);
            ASSERT_EQ(d.height(), quarter ? W : H);
            for (size_t y = 0; y < d.height(); ++y)
                for (size_t x = 0; x < d.width(); ++x) {
                    uint32_t expected = code == 1   ? codeOf(W - 1 - y, x)  // counter-clockwise
                                        : code == 2 ? codeOf(W - 1 - x, H - 1 - y)
                                                    : codeOf(y, H - 1 - x);  // clockwise
                    ASSERT_EQ(pixel(d, x, y), expected) << x << "," << y;
                }
        }
        auto s = src->lockStats();
        EXPECT_EQ(s.readOnlyLocks, 3);
        EXPECT_TRUE(s.balanced());
        EXPECT_EQ(s.writeLocks, 0);
    }
}

TEST_F(ImageUtilsTest, RotationZeroIsSameBufferAndOtherCodesCopy) {
    PixelBufferRef src = makeCoded(7, 4);
    RotationResult same = rotatePixelBuffer(*src, kRotate0Degrees);
    EXPECT_FALSE(same.failed);
    EXPECT_EQ(same.buffer.get(), src.get());
    EXPECT_EQ(src->retainCount(), 2);
    EXPECT_TRUE(untouched(*src));

    for (int64_t code : {int64_t{5}, int64_t{-1}, int64_t{4}, std::numeric_limits<int64_t>::min()}) {
        RotationResult r = rotatePixelBuffer(*src, code);
        ASSERT_TRUE(r.buffer);
        EXPECT_NE(r.buffer.get(), src.get());
        ASSERT_EQ(r.buffer->width(), 7u);
        ASSERT_EQ(r.buffer->height(), 4u);
        for (size_t y = 0; y < 4; ++y)
            for (size_t x = 0; x < 7; ++x) ASSERT_EQ(pixel(*r.buffer, x, y), codeOf(x, y));
    }
    EXPECT_EQ(kRotate90DegreesClockwise, 1);
    EXPECT_EQ(kRotate180Degrees, 2);
    EXPECT_EQ(kRotate90DegreesCounterClockwise, 3);
}

TEST_F(ImageUtilsTest, QuarterTurnOfCameraSizedFrameSwapsSides) {
    PixelBufferRef src = PixelBuffer::create(1920, 1440, kARGB);
    for (int64_t code : {int64_t{1}, int64_t{3}}) {
        RotationResult r = rotatePixelBuffer(*src, code);
        ASSERT_TRUE(r.buffer);
        EXPECT_EQ(r.buffer->width(), 1440u);
        EXPECT_EQ(r.buffer->height(), 1920u);
    }
}

TEST_F(ImageUtilsTest, CounterDeviceRotationUndoesTheDeviceTurn) {
    const size_t W = 5, H = 3;
    PixelBufferRef src = makeCoded(W, H);
    // Portrait: a clockwise quarter turn, the input's bottom-left becomes the top-left.
    PixelBufferRef portrait = counterDeviceRotation(*src, 1);
    ASSERT_TRUE(portrait);
    EXPECT_EQ(portrait->width(), H);
    EXPECT_EQ(pixel(*portrait, 0, 0), codeOf(0, H - 1));
    PixelBufferRef upsideDown = counterDeviceRotation(*src, 3);
    ASSERT_TRUE(upsideDown);
    EXPECT_EQ(pixel(*upsideDown, 0, 0), codeOf(W - 1, 0));  // counter-clockwise: top-right first
    PixelBufferRef landscape = counterDeviceRotation(*src, 2);
    ASSERT_TRUE(landscape);
    EXPECT_EQ(pixel(*landscape, 0, 0), codeOf(W - 1, H - 1));
    PixelBufferRef none = counterDeviceRotation(*src, 0);
    EXPECT_EQ(none.get(), src.get());
    PixelBufferRef other = counterDeviceRotation(*src, 7);
    ASSERT_TRUE(other);
    EXPECT_EQ(pixel(*other, 3, 2), codeOf(3, 2));
    EXPECT_TRUE(src->lockStats().balanced());
}

TEST_F(ImageUtilsTest, RotationFailureLogsAndThrowsAndCounterRotationGivesNone) {
    PixelBufferRef src = makeCoded(6, 4);
    PixelBuffer::failNextCreationsForTesting(1);
    RotationResult r = rotatePixelBuffer(*src, 1);
    EXPECT_TRUE(r.failed);
    EXPECT_FALSE(r.buffer);
    EXPECT_EQ(fake->log->systemLines(), std::vector<std::string>{"[YOLO] Rotation error!"});
    EXPECT_TRUE(readOnce(*src));

    PixelBuffer::failNextCreationsForTesting(1);
    EXPECT_FALSE(counterDeviceRotation(*src, 1));
    EXPECT_EQ(fake->log->systemLines().size(), 2u);

    // A buffer whose memory is gone fails the same way, and does not crash.
    src->setBaseAddressUnavailableForTesting(true);
    long live = PixelBuffer::liveCount();
    RotationResult gone = rotatePixelBuffer(*src, 3);
    EXPECT_TRUE(gone.failed);
    EXPECT_EQ(PixelBuffer::liveCount(), live);
    EXPECT_EQ(fake->log->systemLines().size(), 3u);
    EXPECT_TRUE(src->lockStats().balanced());
}

TEST_F(ImageUtilsTest, FourByteOperationsRefuseBuffersWithShorterRows) {
    // A one-byte-per-pixel buffer read as 4 bytes a pixel would run past its rows.
    PixelBufferRef gray = PixelBuffer::create(40, 10, kCVPixelFormatType_OneComponent8);
    EXPECT_TRUE(rotatePixelBuffer(*gray, 1).failed);
    EXPECT_FALSE(resizeARGBPixelBuffer(*gray, 8, 8));
    EXPECT_FALSE(cropARGBPixelBufferFromYOLO(*gray, 0.5f, 0.5f, 0.5f, 0.5f));
    EXPECT_TRUE(gray->lockStats().balanced());
}

// ---------------------------------------------------------------- conversion

TEST_F(ImageUtilsTest, ConversionAcceptsOnlyFullRangeBiPlanar) {
    for (uint32_t format :
         {uint32_t{kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange}, kARGB, uint32_t{kCVPixelFormatType_32BGRA}}) {
        PixelBufferRef b = PixelBuffer::create(8, 8, format);
        EXPECT_FALSE(convertNV12ToARGB(*b));
        EXPECT_TRUE(untouched(*b));
    }
}

// Every (Y, Cb, Cr) triple once: a 4096 x 4096 frame whose 2 x 2 blocks carry
// each chroma pair 64 times with 4 different lumas each time.
TEST_F(ImageUtilsTest, ConversionIsWithinOneOfTheFormulaForAllTriples) {
    const size_t N = 4096;
    PixelBufferRef src = PixelBuffer::create(N, N, k420f);
    ASSERT_TRUE(src);
    uint8_t* luma = src->baseAddressOfPlane(0);
    uint8_t* chroma = src->baseAddressOfPlane(1);
    const size_t ls = src->bytesPerRowOfPlane(0), cs = src->bytesPerRowOfPlane(1);
    for (size_t by = 0; by < N / 2; ++by)
        for (size_t bx = 0; bx < N / 2; ++bx) {
            size_t block = by * (N / 2) + bx;
            chroma[by * cs + 2 * bx] = static_cast<uint8_t>(block & 0xff);
            chroma[by * cs + 2 * bx + 1] = static_cast<uint8_t>((block >> 8) & 0xff);
            size_t yBase = (block >> 16) * 4;
            for (size_t d = 0; d < 4; ++d)
                luma[(2 * by + d / 2) * ls + 2 * bx + d % 2] = static_cast<uint8_t>(yBase + d);
        }
    PixelBufferRef out = convertNV12ToARGB(*src);
    ASSERT_TRUE(out);
    ASSERT_EQ(out->width(), N);
    EXPECT_FALSE(out->attributes().ioSurface);

    // Red depends on (Y, Cr), blue on (Y, Cb): tabulate those; green per pixel.
    int worst[3] = {0, 0, 0};
    long alphaWrong = 0;
    std::vector<uint8_t> seen(1u << 24, 0);
    for (size_t y = 0; y < N; ++y) {
        const uint8_t* o = out->baseAddress() + y * out->bytesPerRow();
        for (size_t x = 0; x < N; ++x, o += 4) {
            const uint8_t* pair = chroma + (y / 2) * cs + 2 * (x / 2);
            int Y = luma[y * ls + x], Cb = pair[0], Cr = pair[1];
            seen[(static_cast<size_t>(Y) << 16) | (static_cast<size_t>(Cb) << 8) | static_cast<size_t>(Cr)] = 1;
            auto rgb = referenceRGB(Y, Cb, Cr);
            alphaWrong += o[0] != 255;
            for (int c = 0; c < 3; ++c) worst[c] = std::max(worst[c], std::abs(o[1 + c] - rgb[c]));
        }
    }
    size_t covered = 0;
    for (uint8_t s : seen) covered += s;
    EXPECT_EQ(covered, size_t{1} << 24);
    EXPECT_EQ(alphaWrong, 0);
    EXPECT_LE(worst[0], 1);
    EXPECT_LE(worst[1], 1);
    EXPECT_LE(worst[2], 1);
    EXPECT_TRUE(readOnce(*src));
    EXPECT_TRUE(wroteOnce(*out));
}

TEST_F(ImageUtilsTest, ConversionClampsToVideoRangeAndOrdersARGB) {
    PixelBufferRef src = PixelBuffer::create(4, 2, k420f);
    uint8_t* l = src->baseAddressOfPlane(0);
    uint8_t* c = src->baseAddressOfPlane(1);
    l[0] = 0, l[1] = 16, l[2] = 235, l[3] = 255;  // first two share pair 0, last two pair 1
    c[0] = 128, c[1] = 128, c[2] = 128, c[3] = 128;
    PixelBufferRef out = convertNV12ToARGB(*src);
    ASSERT_TRUE(out);
    const uint8_t black[4] = {255, 0, 0, 0}, white[4] = {255, 255, 255, 255};
    EXPECT_EQ(std::memcmp(px(*out, 0, 0), black, 4), 0);
    EXPECT_EQ(std::memcmp(px(*out, 1, 0), black, 4), 0);
    EXPECT_EQ(std::memcmp(px(*out, 2, 0), white, 4), 0);
    EXPECT_EQ(std::memcmp(px(*out, 3, 0), white, 4), 0);
    // Saturated red: Y 81, Cb 90, Cr 240 -> R 254, G 0, B 0 (byte 1 is red).
    l[0] = 81, c[0] = 90, c[1] = 255;
    out = convertNV12ToARGB(*src);
    EXPECT_GE(px(*out, 0, 0)[1], 250);
    EXPECT_LE(px(*out, 0, 0)[2], 1);
    EXPECT_LE(px(*out, 0, 0)[3], 1);
}

TEST_F(ImageUtilsTest, ConversionOfOddSizesUsesThePairAtHalfTheCoordinates) {
    for (auto [W, H] : {std::pair<size_t, size_t>{5, 3}, {7, 6}, {6, 5}, {1, 1}}) {
        SCOPED_TRACE(testing::Message() << W << "x" << H);
        PixelBufferRef src = PixelBuffer::createWithPlanes(
            W, H, k420f, {{W, H, W + 9, 1}, {(W + 1) / 2, (H + 1) / 2, 2 * ((W + 1) / 2) + 6, 2}});
        uint8_t* l = src->baseAddressOfPlane(0);
        uint8_t* c = src->baseAddressOfPlane(1);
        for (size_t y = 0; y < H; ++y)
            for (size_t x = 0; x < W; ++x)
                l[y * src->bytesPerRowOfPlane(0) + x] = static_cast<uint8_t>(30 + 17 * x + 41 * y);
        for (size_t y = 0; y < (H + 1) / 2; ++y)
            for (size_t x = 0; x < (W + 1) / 2; ++x) {
                c[y * src->bytesPerRowOfPlane(1) + 2 * x] = static_cast<uint8_t>(40 + 60 * x + 25 * y);
                c[y * src->bytesPerRowOfPlane(1) + 2 * x + 1] = static_cast<uint8_t>(200 - 50 * x - 30 * y);
            }
        PixelBufferRef out = convertNV12ToARGB(*src);
        ASSERT_TRUE(out);
        ASSERT_EQ(out->width(), W);
        ASSERT_EQ(out->height(), H);
        for (size_t y = 0; y < H; ++y)
            for (size_t x = 0; x < W; ++x) {
                const uint8_t* pair = c + (y / 2) * src->bytesPerRowOfPlane(1) + 2 * (x / 2);
                auto rgb = referenceRGB(l[y * src->bytesPerRowOfPlane(0) + x], pair[0], pair[1]);
                const uint8_t* o = px(*out, x, y);
                EXPECT_EQ(o[0], 255);
                for (int k = 0; k < 3; ++k) EXPECT_NEAR(o[1 + k], rgb[k], 1) << x << "," << y << " ch " << k;
            }
    }
}

TEST_F(ImageUtilsTest, ConversionFailurePathsUnlockEverything) {
    PixelBufferRef src = PixelBuffer::create(6, 4, k420f);
    long live = PixelBuffer::liveCount();
    PixelBuffer::failNextCreationsForTesting(1);
    EXPECT_FALSE(convertNV12ToARGB(*src));
    EXPECT_TRUE(readOnce(*src));
    src->setBaseAddressUnavailableForTesting(true);
    EXPECT_FALSE(convertNV12ToARGB(*src));
    EXPECT_TRUE(src->lockStats().balanced());
    EXPECT_EQ(src->lockStats().readOnlyLocks, 2);
    EXPECT_EQ(PixelBuffer::liveCount(), live);
}

// Generated camera frames (gradients, hard-edged saturated patches, fine
// stripes and noise, padded and packed strides, odd sizes) through the
// one-pass model input and through the three steps, for every device
// rotation: the same bytes (hard edges are where a different order of passes
// would show, as the clipping of the filter's overshoot).
TEST_F(ImageUtilsTest, UprightInputGivesTheBytesOfTheThreeSteps) {
    struct Case {
        size_t w, h, stride;
        int64_t dw, dh;
    };
    uint32_t state = 99;
    auto next = [&] { return (state = state * 1664525u + 1013904223u) >> 24; };
    int worst = 0;
    for (Case c : {Case{1920, 1440, 2048, 640, 640}, Case{400, 300, 0, 64, 48}, Case{333, 251, 352, 320, 320}}) {
        PixelBufferRef src = PixelBuffer::createWithPlanes(
            c.w, c.h, k420f, {{c.w, c.h, c.stride, 1}, {(c.w + 1) / 2, (c.h + 1) / 2, c.stride, 2}});
        ASSERT_TRUE(src);
        uint8_t* l = src->baseAddressOfPlane(0);
        uint8_t* ch = src->baseAddressOfPlane(1);
        const size_t ls = src->bytesPerRowOfPlane(0), cs = src->bytesPerRowOfPlane(1);
        for (size_t y = 0; y < c.h; ++y)
            for (size_t x = 0; x < c.w; ++x) {
                const bool patch = (x / 37 + y / 29) % 3 == 0, stripes = x > c.w * 3 / 4;
                l[y * ls + x] = static_cast<uint8_t>(patch     ? (x / 37 % 2 ? 235 : 16)
                                                     : stripes ? ((x + y) % 2 ? 250 : 5)
                                                               : (x * 255 / c.w + next() % 24));
            }
        for (size_t y = 0; y < (c.h + 1) / 2; ++y)
            for (size_t x = 0; x < (c.w + 1) / 2; ++x) {
                const bool patch = (x / 13 + y / 11) % 2 == 0;
                ch[y * cs + 2 * x] = static_cast<uint8_t>(patch ? (x / 13 % 2 ? 240 : 16) : 64 + y * 128 / c.h);
                ch[y * cs + 2 * x + 1] = static_cast<uint8_t>(patch ? (y / 11 % 2 ? 250 : 10) : 200 - next() % 40);
            }
        for (int32_t rotation : {0, 1, 2, 3, 7}) {
            SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " rotation " << rotation);
            PixelBufferRef argb = convertNV12ToARGB(*src);
            PixelBufferRef upright = counterDeviceRotation(*argb, rotation);
            PixelBufferRef staged = resizeARGBPixelBuffer(*upright, c.dw, c.dh);
            PixelBufferRef fused = uprightInputFromCamera(*src, rotation, c.dw, c.dh);
            ASSERT_TRUE(staged && fused);
            ASSERT_EQ(fused->width(), staged->width());
            ASSERT_EQ(fused->height(), staged->height());
            EXPECT_TRUE(wroteOnce(*fused));
            for (size_t y = 0; y < fused->height(); ++y)
                for (size_t x = 0; x < 4 * fused->width(); ++x)
                    worst = std::max(worst, std::abs(fused->baseAddress()[y * fused->bytesPerRow() + x] -
                                                     staged->baseAddress()[y * staged->bytesPerRow() + x]));
        }
    }
    EXPECT_EQ(worst, 0);

    // What the three steps refuse, this refuses too.
    PixelBufferRef argb = makeSolid(8, 8, {255, 1, 2, 3});
    EXPECT_FALSE(uprightInputFromCamera(*argb, 1, 4, 4));
    PixelBufferRef camera = PixelBuffer::create(8, 8, k420f);
    EXPECT_FALSE(uprightInputFromCamera(*camera, 1, 0, 4));
    EXPECT_FALSE(uprightInputFromCamera(*camera, 1, 4, int64_t{1} << 40));
    camera->setBaseAddressUnavailableForTesting(true);
    EXPECT_FALSE(uprightInputFromCamera(*camera, 1, 4, 4));
    EXPECT_TRUE(camera->lockStats().balanced());
}

// ---------------------------------------------------------------- resize

TEST_F(ImageUtilsTest, ResizeGivesExactSizeAndKeepsConstantsConstant) {
    PixelBufferRef src = makeSolid(1440, 1920, {255, 12, 200, 37});
    PixelBufferRef out = resizeARGBPixelBuffer(*src, 640, 640);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->width(), 640u);
    EXPECT_EQ(out->height(), 640u);
    EXPECT_EQ(out->pixelFormatType(), kARGB);
    EXPECT_FALSE(out->attributes().ioSurface);
    EXPECT_TRUE(readOnce(*src));
    EXPECT_TRUE(wroteOnce(*out));
    const uint8_t expected[4] = {255, 12, 200, 37};
    for (size_t y = 0; y < 640; ++y)
        for (size_t x = 0; x < 640; ++x) ASSERT_EQ(std::memcmp(px(*out, x, y), expected, 4), 0) << x << "," << y;
    // Enlarging (a crop going to the digit model) keeps constants too.
    PixelBufferRef small = makeSolid(37, 23, {255, 0, 128, 255});
    PixelBufferRef big = resizeARGBPixelBuffer(*small, 160, 160);
    ASSERT_TRUE(big);
    for (size_t y = 0; y < 160; ++y)
        for (size_t x = 0; x < 160; ++x) ASSERT_EQ(px(*big, x, y)[2], 128);
}

TEST_F(ImageUtilsTest, ResizeDoesNotAliasAFinestCheckerboard) {
    PixelBufferRef src = PixelBuffer::create(1440, 1920, kARGB);
    for (size_t y = 0; y < 1920; ++y)
        for (size_t x = 0; x < 1440; ++x) {
            uint8_t v = ((x + y) & 1) ? 255 : 0;
            uint8_t p[4] = {255, v, v, v};
            std::memcpy(src->baseAddress() + y * src->bytesPerRow() + 4 * x, p, 4);
        }
    PixelBufferRef out = resizeARGBPixelBuffer(*src, 640, 640);
    ASSERT_TRUE(out);
    double sum = 0, sq = 0;
    for (size_t y = 0; y < 640; ++y)
        for (size_t x = 0; x < 640; ++x) {
            double v = px(*out, x, y)[1];
            sum += v;
            sq += v * v;
        }
    const double n = 640.0 * 640.0, mean = sum / n;
    const double sd = std::sqrt(std::max(0.0, sq / n - mean * mean));
    EXPECT_NEAR(mean, 127.5, 2.0);
    EXPECT_LT(sd, 2.0);
}

TEST_F(ImageUtilsTest, ResizeStretchesEachAxisOnItsOwn) {
    // Dark left half and top half; the edges land at the middle of each axis
    // of the square target although the source is 3:4.
    PixelBufferRef src = PixelBuffer::create(1440, 1920, kARGB);
    for (size_t y = 0; y < 1920; ++y)
        for (size_t x = 0; x < 1440; ++x) {
            uint8_t p[4] = {255, static_cast<uint8_t>(x < 720 ? 20 : 220), static_cast<uint8_t>(y < 960 ? 20 : 220), 0};
            std::memcpy(src->baseAddress() + y * src->bytesPerRow() + 4 * x, p, 4);
        }
    PixelBufferRef out = resizeARGBPixelBuffer(*src, 640, 640);
    ASSERT_TRUE(out);
    EXPECT_EQ(px(*out, 310, 100)[1], 20);
    EXPECT_EQ(px(*out, 330, 100)[1], 220);
    EXPECT_EQ(px(*out, 100, 310)[2], 20);
    EXPECT_EQ(px(*out, 100, 330)[2], 220);
    EXPECT_NEAR(px(*out, 319, 5)[1] + px(*out, 320, 5)[1], 240, 4);  // symmetric about the middle
}

TEST_F(ImageUtilsTest, ResizeIsAWindowedSincNotABoxOrBilinear) {
    // Enlarging a hard edge rings: Lanczos lobes overshoot on both sides.
    PixelBufferRef src = PixelBuffer::create(16, 1, kARGB);
    for (size_t x = 0; x < 16; ++x) src->baseAddress()[4 * x + 1] = x < 8 ? 50 : 200;
    PixelBufferRef out = resizeARGBPixelBuffer(*src, 64, 1);
    ASSERT_TRUE(out);
    int lo = 255, hi = 0;
    for (size_t x = 0; x < 64; ++x) {
        lo = std::min<int>(lo, px(*out, x, 0)[1]);
        hi = std::max<int>(hi, px(*out, x, 0)[1]);
    }
    EXPECT_LT(lo, 45);
    EXPECT_GT(hi, 205);
}

TEST_F(ImageUtilsTest, ResizeFailurePathsUnlockEverything) {
    PixelBufferRef src = makeCoded(9, 7);
    long live = PixelBuffer::liveCount();
    for (auto [w, h] : {std::pair<int64_t, int64_t>{0, 5}, {5, -1}, {int64_t{1} << 40, 5}, {5, int64_t{1} << 16}})
        EXPECT_FALSE(resizeARGBPixelBuffer(*src, w, h));
    PixelBuffer::failNextCreationsForTesting(1);
    EXPECT_FALSE(resizeARGBPixelBuffer(*src, 4, 4));
    src->setBaseAddressUnavailableForTesting(true);
    EXPECT_FALSE(resizeARGBPixelBuffer(*src, 4, 4));
    auto s = src->lockStats();
    EXPECT_EQ(s.readOnlyLocks, 6);
    EXPECT_TRUE(s.balanced());
    EXPECT_EQ(s.writeLocks, 0);
    EXPECT_EQ(PixelBuffer::liveCount(), live);
}

// ---------------------------------------------------------------- crop

TEST_F(ImageUtilsTest, CropCutsTheBoxOfTheExamples) {
    PixelBufferRef src = makeCoded(1440, 1920);
    PixelBufferRef c = cropARGBPixelBufferFromYOLO(*src, 0.5f, 0.5f, 0.1f, 0.05f);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->width(), 144u);
    EXPECT_EQ(c->height(), 96u);
    EXPECT_TRUE(c->attributes().ioSurface);
    EXPECT_EQ(pixel(*c, 0, 0), codeOf(648, 912));
    EXPECT_EQ(pixel(*c, 143, 95), codeOf(648 + 143, 912 + 95));
    EXPECT_TRUE(wroteOnce(*c));

    // Over the left edge: x0 = trunc(28.8 - 72) = -43, so 101 columns from 0.
    PixelBufferRef left = cropARGBPixelBufferFromYOLO(*src, 0.02f, 0.5f, 0.1f, 0.05f);
    ASSERT_TRUE(left);
    EXPECT_EQ(left->width(), 101u);
    EXPECT_EQ(pixel(*left, 0, 0), codeOf(0, 912));
    EXPECT_EQ(pixel(*left, 100, 0), codeOf(100, 912));
    auto s = src->lockStats();
    EXPECT_EQ(s.readOnlyLocks, 2);
    EXPECT_TRUE(s.balanced());
}

TEST_F(ImageUtilsTest, CropClipsAndTruncatesTowardZero) {
    PixelBufferRef src = makeCoded(100, 50);
    // x0 = 4.3 - 5 = -0.7 truncates to 0: the width is not shrunk.
    PixelBufferRef a = cropARGBPixelBufferFromYOLO(*src, 0.043f, 0.5f, 0.1f, 0.2f);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->width(), 10u);
    EXPECT_EQ(a->height(), 10u);
    EXPECT_EQ(pixel(*a, 0, 0), codeOf(0, 20));
    // Over the bottom-right corner: clipped, not shifted.
    PixelBufferRef b = cropARGBPixelBufferFromYOLO(*src, 0.97f, 0.96f, 0.2f, 0.2f);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->width(), 13u);  // x0 = trunc(97 - 10) = 87
    EXPECT_EQ(b->height(), 7u);  // y0 = trunc(48 - 5) = 43
    EXPECT_EQ(pixel(*b, 0, 0), codeOf(87, 43));
    EXPECT_EQ(pixel(*b, 12, 6), codeOf(99, 49));
    // Bigger than the image: the whole image.
    PixelBufferRef all = cropARGBPixelBufferFromYOLO(*src, 0.5f, 0.5f, 3.0f, 3.0f);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->width(), 100u);
    EXPECT_EQ(all->height(), 50u);
}

TEST_F(ImageUtilsTest, CropOfNothingOrOfWildValuesIsNone) {
    PixelBufferRef src = makeCoded(100, 50);
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    struct Box {
        float x, y, w, h;
    };
    for (Box b : {Box{2.0f, 0.5f, 0.1f, 0.1f}, Box{0.5f, -1.0f, 0.1f, 0.1f}, Box{0.5f, 0.5f, 0.0f, 0.1f},
                  Box{0.5f, 0.5f, 0.1f, 0.0f}, Box{0.5f, 0.5f, -0.2f, 0.1f}, Box{0.5f, 0.5f, 0.004f, 0.1f},
                  Box{nan, 0.5f, 0.1f, 0.1f}, Box{0.5f, 0.5f, inf, 0.1f}, Box{-inf, 0.5f, 0.1f, 0.1f},
                  Box{0.5f, 0.5f, 1e30f, 1e30f}, Box{1e17f, 0.5f, 1e17f, 0.1f}, Box{-9.1e16f, 0.5f, -9e16f, 0.1f},
                  Box{0.5f, 0.5f, std::numeric_limits<float>::max(), 0.1f}})
        EXPECT_FALSE(cropARGBPixelBufferFromYOLO(*src, b.x, b.y, b.w, b.h))
            << b.x << " " << b.y << " " << b.w << " " << b.h;
    EXPECT_TRUE(src->lockStats().balanced());
    EXPECT_EQ(src->lockStats().readOnlyLocks, 13);

    long live = PixelBuffer::liveCount();
    PixelBuffer::failNextCreationsForTesting(1);
    EXPECT_FALSE(cropARGBPixelBufferFromYOLO(*src, 0.5f, 0.5f, 0.5f, 0.5f));
    src->setBaseAddressUnavailableForTesting(true);
    EXPECT_FALSE(cropARGBPixelBufferFromYOLO(*src, 0.5f, 0.5f, 0.5f, 0.5f));
    EXPECT_TRUE(src->lockStats().balanced());
    EXPECT_EQ(PixelBuffer::liveCount(), live);
}

TEST_F(ImageUtilsTest, InputsAreNeverModified) {
    PixelBufferRef argb = makeCoded(33, 21, 160);
    std::vector<uint8_t> before(argb->baseAddress(), argb->baseAddress() + argb->dataSize());
    (void)rotatePixelBuffer(*argb, 1);
    (void)rotatePixelBuffer(*argb, 2);
    (void)resizeARGBPixelBuffer(*argb, 10, 70);
    (void)cropARGBPixelBufferFromYOLO(*argb, 0.1f, 0.9f, 0.5f, 0.5f);
    EXPECT_EQ(std::memcmp(before.data(), argb->baseAddress(), before.size()), 0);

    PixelBufferRef nv12 = PixelBuffer::create(33, 21, k420f);
    for (size_t i = 0; i < nv12->dataSize(); ++i) nv12->baseAddressOfPlane(0)[i] = static_cast<uint8_t>(i * 31);
    std::vector<uint8_t> raw(nv12->baseAddressOfPlane(0), nv12->baseAddressOfPlane(0) + nv12->dataSize());
    ASSERT_TRUE(convertNV12ToARGB(*nv12));
    EXPECT_EQ(std::memcmp(raw.data(), nv12->baseAddressOfPlane(0), raw.size()), 0);
}

}  // namespace
