// The renderer's fixed layouts and the arithmetic around them: uniform slots
// rotated over the frames in flight, the full-screen image-plane quad and its
// texture coordinates from the frame's display transform, the anchor cube's
// vertex data, and the camera colour conversion the shader performs.
//
// In: slot indices, affine transforms, sizes. Out: offsets, vertex arrays.
// Nothing here fails.
// Example: the first three frames use slots 1, 2, 0, so the shared uniforms
// sit at byte offsets 256, 512, 0 and the anchor uniforms at 4352, 8704, 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "math/Simd.h"

namespace tevra {

// Frames the CPU may prepare ahead of the GPU; also the number of slots.
constexpr unsigned kMaxBuffersInFlight = 3;
constexpr size_t kSharedUniformsSize = 192;
// Rounded down to a multiple of 256, plus 256 (so 256, and 4352 not 4096).
constexpr size_t kAlignedSharedUniformsSize = (kSharedUniformsSize & ~size_t{0xFF}) + 0x100;
constexpr size_t kMaxAnchorInstanceCount = 64;
constexpr size_t kInstanceUniformsSize = 64;  // one model matrix
constexpr size_t kAlignedInstanceUniformsSize =
    ((kInstanceUniformsSize * kMaxAnchorInstanceCount) & ~size_t{0xFF}) + 0x100;
constexpr size_t kSharedUniformBufferSize = kAlignedSharedUniformsSize * kMaxBuffersInFlight;
constexpr size_t kAnchorUniformBufferSize = kAlignedInstanceUniformsSize * kMaxBuffersInFlight;

static_assert(kAlignedSharedUniformsSize == 256);
static_assert(kAlignedInstanceUniformsSize == 4352);
static_assert(kSharedUniformBufferSize == 768);
static_assert(kAnchorUniformBufferSize == 13056);

// The shared uniform record's byte offsets inside its slot.
struct SharedUniformsLayout {
    static constexpr size_t viewMatrix = 0;
    static constexpr size_t projectionMatrix = 64;
    static constexpr size_t ambientLightColor = 128;
    static constexpr size_t directionalLightDirection = 144;
    static constexpr size_t directionalLightColor = 160;
    static constexpr size_t materialShininess = 176;
};

// The full-screen quad: x, y, u, v per vertex, drawn as a triangle strip.
constexpr std::array<float, 16> kImagePlaneVertexData = {
    -1.0f, -1.0f, 0.0f, 1.0f,  //
    1.0f,  -1.0f, 1.0f, 1.0f,  //
    -1.0f, 1.0f,  0.0f, 0.0f,  //
    1.0f,  1.0f,  1.0f, 0.0f,
};
constexpr size_t kImagePlaneVertexBufferSize = sizeof(float) * kImagePlaneVertexData.size();
static_assert(kImagePlaneVertexBufferSize == 64);
constexpr size_t kImagePlaneVertexStride = 16;

// The slot after `index` (0, 1, 2, 0, ...).
constexpr uint8_t nextUniformBufferIndex(uint8_t index) {
    return static_cast<uint8_t>((index + 1) % kMaxBuffersInFlight);
}
constexpr uint32_t sharedUniformBufferOffset(uint8_t index) {
    return static_cast<uint32_t>(kAlignedSharedUniformsSize * index);
}
constexpr uint32_t anchorUniformBufferOffset(uint8_t index) {
    return static_cast<uint32_t>(kAlignedInstanceUniformsSize * index);
}

// The quad with each (u, v) of the table replaced by the inverse of
// `displayTransform` applied to it: every view corner samples the image
// point the display transform puts there.
std::array<float, 16> imagePlaneVertexData(const AffineTransform& displayTransform);

// ---- The anchor cube ----

// Vertex buffer 0: positions (3 floats, stride 12). Vertex buffer 1: texture
// coordinate (2 floats at 0) and normal (3 half floats at 8), stride 16.
constexpr size_t kCubePositionStride = 12;
constexpr size_t kCubeAttributeStride = 16;
constexpr size_t kCubeNormalOffset = 8;

struct BoxMeshData {
    std::vector<uint8_t> positions;   // vertexCount * 12 bytes
    std::vector<uint8_t> attributes;  // vertexCount * 16 bytes
    std::vector<uint16_t> indices;    // triangles, counter-clockwise seen from outside
    size_t vertexCount = 0;
};

// A box of edge `size` centred on the origin, one segment per axis (4
// vertices and 2 triangles per face), normals pointing outwards.
BoxMeshData makeBoxMesh(float size);

// IEEE half precision from single precision (round to nearest even).
uint16_t floatToHalf(float f);
float halfToFloat(uint16_t h);

// ---- Camera colour ----

struct RGB8 {
    uint8_t r = 0, g = 0, b = 0;
};

// Video-range BT.601: Y clamped to 16..235 and Cb/Cr to 16..240, then
// R = 1.164384(Y-16) + 1.596027(Cr-128), G = 1.164384(Y-16) - 0.391762(Cb-128)
// - 0.812968(Cr-128), B = 1.164384(Y-16) + 2.017232(Cb-128), rounded and
// clamped to 0..255. The camera-image fragment shader computes the same.
RGB8 ycbcrToRGB(uint8_t y, uint8_t cb, uint8_t cr);

}  // namespace tevra
