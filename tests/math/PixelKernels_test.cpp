// The one-pass pixel kernels: every code path gives the same bytes, and the
// fused plane resampler gives exactly the bytes of converting first.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "math/Lanczos.h"
#include "math/QuarterTurn.h"
#include "math/YuvRows.h"

using namespace tevra;

namespace {

std::vector<uint8_t> noise(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 23);
    return v;
}

}  // namespace

// Rows of noise (which covers the clamps and the saturating sums), odd widths,
// and chroma planes shorter than half the row, on every path this machine has.
TEST(PixelKernels, ConversionPathsGiveTheSameBytes) {
    for (auto [width, pairs] :
         {std::pair<size_t, size_t>{1920, 960}, {333, 167}, {333, 166}, {200, 40}, {1, 1}, {64, 32}, {95, 48}}) {
        SCOPED_TRACE(testing::Message() << width << " pixels, " << pairs << " pairs");
        const auto luma = noise(width, static_cast<uint32_t>(width));
        auto chroma = noise(2 * pairs, static_cast<uint32_t>(pairs) + 9);
        chroma[0] = 0, chroma[1] = 255;  // beyond both clamps
        std::vector<uint8_t> scalar(4 * width + 8, 7);
        ASSERT_TRUE(yuv::forcePathForTesting("scalar"));
        yuv::rowNV12ToARGB(luma.data(), chroma.data(), pairs, scalar.data(), width);
        EXPECT_EQ(scalar[4 * width], 7);  // nothing past the row
        for (const char* path : {"avx2", "avx512"}) {
            if (!yuv::forcePathForTesting(path)) continue;
            std::vector<uint8_t> out(4 * width + 8, 7);
            yuv::rowNV12ToARGB(luma.data(), chroma.data(), pairs, out.data(), width);
            EXPECT_EQ(out, scalar) << path;
        }
        yuv::forcePathForTesting("");
    }
}

// Against a pixel-by-pixel turn, both ways, for sizes with and without whole
// blocks and with padded rows, on every path.
TEST(PixelKernels, QuarterTurnPathsGiveTheSameBytes) {
    for (auto [w, h] : {std::pair<size_t, size_t>{64, 48}, {1920, 32}, {37, 53}, {16, 16}, {15, 17}, {1, 9}, {8, 1}}) {
        const size_t ss = 4 * w + 20, ds = 4 * h + 12;
        const auto src = noise(ss * h, static_cast<uint32_t>(w * h));
        for (bool clockwise : {true, false}) {
            SCOPED_TRACE(testing::Message() << w << "x" << h << (clockwise ? " clockwise" : " counter-clockwise"));
            std::vector<uint8_t> expected(ds * w, 3);
            for (size_t y = 0; y < h; ++y)
                for (size_t x = 0; x < w; ++x) {
                    const size_t tx = clockwise ? h - 1 - y : y, ty = clockwise ? x : w - 1 - x;
                    std::memcpy(&expected[ty * ds + 4 * tx], &src[y * ss + 4 * x], 4);
                }
            for (const char* path : {"scalar", "avx2", "avx512"}) {
                if (!turn::forcePathForTesting(path)) continue;
                std::vector<uint8_t> out(ds * w, 3);
                turn::quarterTurn4(src.data(), ss, w, h, out.data(), ds, clockwise);
                EXPECT_EQ(out, expected) << path;
            }
            turn::forcePathForTesting("");
        }
    }
}

// Converting rows as the filter needs them (and turning bands of them in
// cache) changes nothing: the bytes are those of the whole image converted,
// turned and then scaled, for shrinking, growing, equal axes and every turn.
TEST(PixelKernels, PlaneResampleEqualsConvertTurnResample) {
    struct Case {
        size_t sw, sh, dw, dh;
    };
    for (Case c : {Case{1920, 1440, 640, 640}, Case{333, 250, 64, 48}, Case{31, 17, 80, 70}, Case{40, 30, 30, 12},
                   Case{5, 3, 3, 5}}) {
        const size_t ls = c.sw + 7, pairs = (c.sw + 1) / 2, cs = 2 * pairs + 10, crows = (c.sh + 1) / 2;
        const auto luma = noise(ls * c.sh, static_cast<uint32_t>(c.sw));
        // Noisy chroma over a ramp, so the filter sees colour edges and clips.
        auto chroma = noise(cs * crows, static_cast<uint32_t>(c.sh));
        for (size_t i = 0; i < chroma.size(); ++i) chroma[i] = static_cast<uint8_t>(chroma[i] / 4 + (i % 97) * 2);
        const size_t as = c.sw * 4;
        std::vector<uint8_t> argb(as * c.sh);
        for (size_t y = 0; y < c.sh; ++y)
            yuv::rowNV12ToARGB(&luma[y * ls], &chroma[std::min(y / 2, crows - 1) * cs], pairs, &argb[y * as], c.sw);
        lanczos::Planes420 planes;
        planes.luma = luma.data(), planes.lumaBytesPerRow = ls, planes.chroma = chroma.data();
        planes.chromaBytesPerRow = cs, planes.chromaPairs = pairs, planes.chromaRows = crows;
        planes.width = c.sw, planes.height = c.sh;
        for (int q = 0; q < 4; ++q) {
            SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << " turns " << q);
            // The turned image, made the plain way.
            const size_t tw = q % 2 ? c.sh : c.sw, th = q % 2 ? c.sw : c.sh, ts = tw * 4;
            std::vector<uint8_t> turned(ts * th);
            if (q % 2)
                turn::quarterTurn4(argb.data(), as, c.sw, c.sh, turned.data(), ts, q == 1);
            else
                for (size_t y = 0; y < c.sh; ++y)
                    for (size_t x = 0; x < c.sw; ++x)
                        std::memcpy(&turned[(q ? th - 1 - y : y) * ts + 4 * (q ? tw - 1 - x : x)],
                                    &argb[y * as + 4 * x], 4);
            const size_t ds = c.dw * 4 + 4;
            std::vector<uint8_t> staged(ds * c.dh, 9), fused(ds * c.dh, 9);
            ASSERT_TRUE(lanczos::resample4(turned.data(), tw, th, ts, staged.data(), c.dw, c.dh, ds));
            ASSERT_TRUE(lanczos::resample420Upright(planes, q, fused.data(), c.dw, c.dh, ds));
            EXPECT_EQ(fused, staged);
        }
    }
    lanczos::Planes420 none;
    std::vector<uint8_t> out(64);
    EXPECT_FALSE(lanczos::resample420Upright(none, 0, out.data(), 2, 2, 8));
}
