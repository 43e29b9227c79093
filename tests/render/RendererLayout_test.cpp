#include "render/RendererLayout.h"

#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/ShaderLibrary.h"

using namespace tevra;

namespace {

// The display transform of a landscape sensor image shown in portrait: the
// image's x runs down the view and its y runs right to left (a quarter turn
// clockwise), so image (0, 0) lands at view (1, 0).
AffineTransform portraitTransform() { return AffineTransform{0, 1, -1, 0, 1, 0}; }

TEST(RendererLayout, BufferSizesAndSlots) {
    EXPECT_EQ(kAlignedSharedUniformsSize, 256u);
    EXPECT_EQ(kAlignedInstanceUniformsSize, 4352u);
    EXPECT_EQ(kSharedUniformBufferSize, 768u);
    EXPECT_EQ(kAnchorUniformBufferSize, 13056u);
    EXPECT_EQ(kImagePlaneVertexBufferSize, 64u);
    EXPECT_EQ(SharedUniformsLayout::materialShininess + 4, 180u);
    EXPECT_LE(SharedUniformsLayout::materialShininess + 4, kSharedUniformsSize);

    uint8_t index = 0;
    std::vector<uint32_t> shared, anchor;
    for (int frame = 0; frame < 4; ++frame) {
        index = nextUniformBufferIndex(index);
        shared.push_back(sharedUniformBufferOffset(index));
        anchor.push_back(anchorUniformBufferOffset(index));
    }
    EXPECT_EQ(shared, (std::vector<uint32_t>{256, 512, 0, 256}));
    EXPECT_EQ(anchor, (std::vector<uint32_t>{4352, 8704, 0, 4352}));
    // The last slot ends exactly at the end of each buffer.
    EXPECT_EQ(sharedUniformBufferOffset(2) + kAlignedSharedUniformsSize, kSharedUniformBufferSize);
    EXPECT_EQ(anchorUniformBufferOffset(2) + kAlignedInstanceUniformsSize, kAnchorUniformBufferSize);
}

TEST(RendererLayout, IdentityTransformKeepsTheVertexTable) {
    EXPECT_EQ(imagePlaneVertexData(AffineTransform::identity()), kImagePlaneVertexData);
}

TEST(RendererLayout, PortraitTransformSwapsTheTextureAxes) {
    const auto v = imagePlaneVertexData(portraitTransform());
    // Positions never change.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(v[i * 4], kImagePlaneVertexData[i * 4]);
        EXPECT_EQ(v[i * 4 + 1], kImagePlaneVertexData[i * 4 + 1]);
    }
    // Inverse: image (u, v) = (view y, 1 - view x).
    const float expected[4][2] = {{1, 1}, {1, 0}, {0, 1}, {0, 0}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(v[i * 4 + 2], expected[i][0], 1e-6) << "vertex " << i;
        EXPECT_NEAR(v[i * 4 + 3], expected[i][1], 1e-6) << "vertex " << i;
    }
}

TEST(RendererLayout, AspectFillCropSamplesTheCentreOfTheImage) {
    // A display transform that scales the image 1.5x about the view centre
    // horizontally: the view shows the middle two thirds of the image width.
    const AffineTransform t{1.5, 0, 0, 1, -0.25, 0};
    const auto v = imagePlaneVertexData(t);
    EXPECT_NEAR(v[2], 1.0 / 6, 1e-6);
    EXPECT_NEAR(v[6], 5.0 / 6, 1e-6);
    EXPECT_NEAR(v[3], 1.0, 1e-6);
}

TEST(RendererLayout, BoxMeshIsAClosedOutwardFacingCube) {
    const BoxMeshData box = makeBoxMesh(0.075f);
    ASSERT_EQ(box.vertexCount, 24u);
    ASSERT_EQ(box.positions.size(), 24u * 12);
    ASSERT_EQ(box.attributes.size(), 24u * 16);
    ASSERT_EQ(box.indices.size(), 36u);
    auto position = [&](size_t i) {
        float p[3];
        std::memcpy(p, &box.positions[i * 12], 12);
        return std::array<float, 3>{p[0], p[1], p[2]};
    };
    for (size_t i = 0; i < 24; ++i)
        for (float c : position(i)) EXPECT_FLOAT_EQ(std::fabs(c), 0.0375f);
    for (size_t t = 0; t < 12; ++t) {
        auto a = position(box.indices[t * 3]), b = position(box.indices[t * 3 + 1]),
             c = position(box.indices[t * 3 + 2]);
        const float e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
        const float e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
        const float n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                            e1[0] * e2[1] - e1[1] * e2[0]};
        const float centroid[3] = {a[0] + b[0] + c[0], a[1] + b[1] + c[1], a[2] + b[2] + c[2]};
        EXPECT_GT(n[0] * centroid[0] + n[1] * centroid[1] + n[2] * centroid[2], 0) << "triangle " << t;
        // The stored normal matches the winding.
        uint16_t h[3];
        std::memcpy(h, &box.attributes[box.indices[t * 3] * 16 + 8], 6);
        EXPECT_GT(halfToFloat(h[0]) * n[0] + halfToFloat(h[1]) * n[1] + halfToFloat(h[2]) * n[2], 0);
    }
}

TEST(RendererLayout, HalfFloats) {
    EXPECT_EQ(floatToHalf(1.0f), 0x3C00);
    EXPECT_EQ(floatToHalf(-1.0f), 0xBC00);
    EXPECT_EQ(floatToHalf(0.0f), 0x0000);
    EXPECT_EQ(floatToHalf(65504.0f), 0x7BFF);
    EXPECT_EQ(floatToHalf(1e6f), 0x7C00);
    EXPECT_FLOAT_EQ(halfToFloat(floatToHalf(0.333f)), 0.33300781f);
    EXPECT_NEAR(halfToFloat(floatToHalf(6.0e-5f)), 6.0e-5f, 1e-7);
}

TEST(RendererLayout, VideoRangeConversionClampsAndRounds) {
    auto eq = [](RGB8 c, int r, int g, int b) { return c.r == r && c.g == g && c.b == b; };
    EXPECT_TRUE(eq(ycbcrToRGB(235, 128, 128), 255, 255, 255));
    EXPECT_TRUE(eq(ycbcrToRGB(255, 128, 128), 255, 255, 255));
    EXPECT_TRUE(eq(ycbcrToRGB(16, 128, 128), 0, 0, 0));
    EXPECT_TRUE(eq(ycbcrToRGB(0, 128, 128), 0, 0, 0));
    // 75% red bar: Y 51, Cb 109, Cr 212.
    const RGB8 red = ycbcrToRGB(51, 109, 212);
    EXPECT_TRUE(eq(red, 175, 0, 2)) << int(red.r) << " " << int(red.g) << " " << int(red.b);
    // Chroma beyond 240 is clamped: same as 240.
    const RGB8 a = ycbcrToRGB(100, 255, 0), b = ycbcrToRGB(100, 240, 16);
    EXPECT_TRUE(eq(a, b.r, b.g, b.b));
}

TEST(ShaderLibrary, ParsesNamedFunctions) {
    auto lib = parseShaderLibrary("// header\n//! function v vertex\nvoid main(){}\n//! function f fragment\nout x;\n");
    ASSERT_TRUE(lib) << lib.error.localizedDescription;
    ASSERT_EQ(lib->size(), 2u);
    EXPECT_EQ(lib->at("v").stage, ShaderStage::Vertex);
    EXPECT_EQ(lib->at("v").source, "void main(){}\n");
    EXPECT_EQ(lib->at("f").stage, ShaderStage::Fragment);
    EXPECT_EQ(lib->at("f").source, "out x;\n");
}

TEST(ShaderLibrary, RejectsBadLibraries) {
    auto empty = parseShaderLibrary("");
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error.domain, kShaderLibraryErrorDomain);
    EXPECT_FALSE(empty.error.localizedDescription.empty());
    auto stage = parseShaderLibrary("//! function a geometry\n");
    ASSERT_FALSE(stage);
    EXPECT_NE(stage.error.localizedDescription.find("geometry"), std::string::npos);
    auto twice = parseShaderLibrary("//! function a vertex\n//! function a fragment\n");
    ASSERT_FALSE(twice);
    EXPECT_NE(twice.error.localizedDescription.find("twice"), std::string::npos);
    EXPECT_FALSE(parseShaderLibrary("//! function\n"));
}

TEST(ShaderLibrary, ShippedLibraryHasTheFourFunctions) {
    FILE* f = std::fopen(TEVRA_SOURCE_RESOURCES "/shaders/default.glsl", "rb");
    ASSERT_TRUE(f);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    auto lib = parseShaderLibrary(text);
    ASSERT_TRUE(lib) << lib.error.localizedDescription;
    EXPECT_EQ(lib->at("capturedImageVertexTransform").stage, ShaderStage::Vertex);
    EXPECT_EQ(lib->at("capturedImageFragmentShader").stage, ShaderStage::Fragment);
    EXPECT_EQ(lib->at("anchorGeometryVertexTransform").stage, ShaderStage::Vertex);
    EXPECT_EQ(lib->at("anchorGeometryFragmentLighting").stage, ShaderStage::Fragment);
}

}  // namespace
