#include "math/Lanczos.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using namespace tevra;

TEST(Lanczos, KernelIsWindowedSinc) {
    EXPECT_DOUBLE_EQ(lanczos::kernel(0), 1.0);
    EXPECT_NEAR(lanczos::kernel(1), 0.0, 1e-12);
    EXPECT_NEAR(lanczos::kernel(-2), 0.0, 1e-12);
    EXPECT_EQ(lanczos::kernel(3), 0.0);
    EXPECT_EQ(lanczos::kernel(-4.5), 0.0);
    // sinc(0.5) sinc(1/6) = (2/pi) (3/pi) sin(pi/6) = 3 / pi^2
    EXPECT_NEAR(lanczos::kernel(0.5), 3.0 / (M_PI * M_PI) * 2.0, 1e-12);
    EXPECT_LT(lanczos::kernel(1.5), 0.0);  // the negative lobe
}

// The vector paths are exact integer arithmetic like the scalar one, so every
// geometry (odd sizes, tiny sources, strides, up and down) gives the same bytes.
TEST(Lanczos, VectorPathsMatchScalarBitForBit) {
    struct Case {
        size_t sw, sh, dw, dh;
    };
    uint32_t state = 7;
    for (Case c : {Case{1440, 60, 640, 21}, Case{1920, 40, 720, 15}, Case{130, 1440, 49, 540}, Case{37, 23, 160, 160},
                   Case{101, 77, 33, 50}, Case{3, 2, 9, 5}, Case{1, 1, 4, 3}, Case{9, 9, 1, 1}, Case{64, 5, 64, 17},
                   Case{50, 40, 50, 40}}) {
        SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh);
        const size_t ss = c.sw * 4 + 12, ds = c.dw * 4 + 8;
        std::vector<uint8_t> src(ss * c.sh);
        for (auto& v : src) v = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 23);
        std::vector<uint8_t> fast(ds * c.dh, 1), slow(ds * c.dh, 1);
        ASSERT_TRUE(lanczos::resample4(src.data(), c.sw, c.sh, ss, fast.data(), c.dw, c.dh, ds));
        lanczos::forcePathForTesting("scalar");
        ASSERT_TRUE(lanczos::resample4(src.data(), c.sw, c.sh, ss, slow.data(), c.dw, c.dh, ds));
        lanczos::forcePathForTesting("");
        EXPECT_EQ(fast, slow);
        // Every vector path this machine can run, not only the best one.
        for (const char* path : {"sse2", "avx2", "avx512"}) {
            if (!lanczos::forcePathForTesting(path)) continue;
            std::vector<uint8_t> other(ds * c.dh, 1);
            ASSERT_TRUE(lanczos::resample4(src.data(), c.sw, c.sh, ss, other.data(), c.dw, c.dh, ds));
            lanczos::forcePathForTesting("");
            EXPECT_EQ(other, slow) << path;
        }
        if (c.sw == c.dw && c.sh == c.dh) {
            for (size_t y = 0; y < c.sh; ++y)
                ASSERT_EQ(0, std::memcmp(&fast[y * ds], &src[y * ss], c.sw * 4));  // same size: a copy
        }
    }
}

// Scaling and turning in one pass gives the bytes of scaling, then turning
// clockwise, on every path, with padded rows on both sides.
TEST(Lanczos, TurnedResampleMatchesResampleThenTurn) {
    struct Case {
        size_t sw, sh, dw, dh;
    };
    uint32_t state = 11;
    for (Case c : {Case{96, 72, 36, 27}, Case{37, 23, 50, 31}, Case{20, 20, 20, 20}, Case{64, 9, 7, 3}}) {
        const size_t ss = c.sw * 4 + 12;
        std::vector<uint8_t> src(ss * c.sh);
        for (auto& v : src) v = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 23);
        const size_t ds = c.dw * 4;
        std::vector<uint8_t> scaled(ds * c.dh);
        ASSERT_TRUE(lanczos::resample4(src.data(), c.sw, c.sh, ss, scaled.data(), c.dw, c.dh, ds));
        for (int q = 0; q < 4; ++q) {
            const bool swap = q % 2 == 1;
            const size_t tw = swap ? c.dh : c.dw, th = swap ? c.dw : c.dh, ts = tw * 4 + 8;
            std::vector<uint8_t> expected(ts * th, 0xEE);
            for (size_t y = 0; y < c.dh; ++y)
                for (size_t x = 0; x < c.dw; ++x) {
                    size_t tx = x, ty = y;
                    if (q == 1) tx = c.dh - 1 - y, ty = x;
                    if (q == 2) tx = c.dw - 1 - x, ty = c.dh - 1 - y;
                    if (q == 3) tx = y, ty = c.dw - 1 - x;
                    std::memcpy(&expected[ty * ts + 4 * tx], &scaled[y * ds + 4 * x], 4);
                }
            for (const char* path : {"scalar", "sse2", "avx2", "avx512"}) {
                if (!lanczos::forcePathForTesting(path)) continue;
                SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << " turned "
                                                << q << " on " << path);
                std::vector<uint8_t> turned(ts * th, 0xEE);
                ASSERT_TRUE(lanczos::resample4Turned(src.data(), c.sw, c.sh, ss, turned.data(), c.dw, c.dh, ts, q));
                EXPECT_EQ(turned, expected);
                // The same bytes from one- and two-channel planes cut out of
                // the four channels, each channel written to its own plane.
                for (size_t first : {size_t{0}, size_t{2}})
                    for (size_t channels : {size_t{1}, size_t{2}}) {
                        std::vector<uint8_t> plane(c.sw * channels * c.sh);
                        for (size_t i = 0; i < c.sw * c.sh; ++i)
                            for (size_t k = 0; k < channels; ++k)
                                plane[i * channels + k] = src[(i / c.sw) * ss + 4 * (i % c.sw) + first + k];
                        std::vector<std::vector<uint8_t>> out(channels, std::vector<uint8_t>(tw * th, 0xEE));
                        uint8_t* outs[2] = {out[0].data(), out.back().data()};
                        const size_t strides[2] = {tw, tw};
                        ASSERT_TRUE(lanczos::resamplePlaneTurned(plane.data(), c.sw, c.sh, c.sw * channels, channels,
                                                                 outs, strides, c.dw, c.dh, q));
                        for (size_t k = 0; k < channels; ++k)
                            for (size_t i = 0; i < tw * th; ++i)
                                ASSERT_EQ(out[k][i], expected[(i / tw) * ts + 4 * (i % tw) + first + k])
                                    << k << " " << i;
                    }
            }
            lanczos::forcePathForTesting("");
        }
    }
    std::vector<uint8_t> buf(64 * 4);
    EXPECT_FALSE(lanczos::resample4Turned(buf.data(), 8, 8, 32, buf.data(), 4, 2, 16, 4));
    EXPECT_FALSE(lanczos::resample4Turned(buf.data(), 8, 8, 32, buf.data(), 4, 2, 4, 1));  // turned rows are 8 bytes
}

TEST(Lanczos, ForcingAnUnknownPathChangesNothing) {
    const std::string best = lanczos::activePath();
    EXPECT_FALSE(lanczos::forcePathForTesting("quantum"));
    EXPECT_EQ(lanczos::activePath(), best);
    EXPECT_TRUE(lanczos::forcePathForTesting("scalar"));
    EXPECT_STREQ(lanczos::activePath(), "scalar");
    EXPECT_TRUE(lanczos::forcePathForTesting(""));
    EXPECT_EQ(lanczos::activePath(), best);
}

TEST(Lanczos, RejectsBadGeometry) {
    std::vector<uint8_t> buf(64 * 4);
    EXPECT_FALSE(lanczos::resample4(buf.data(), 8, 8, 16, buf.data(), 2, 2, 8));  // rows shorter than 4 bytes a pixel
    EXPECT_FALSE(lanczos::resample4(buf.data(), 0, 8, 32, buf.data(), 2, 2, 8));
    EXPECT_FALSE(lanczos::resample4(nullptr, 8, 8, 32, buf.data(), 2, 2, 8));
}
