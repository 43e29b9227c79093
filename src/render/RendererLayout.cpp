#include "render/RendererLayout.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tevra {

std::array<float, 16> imagePlaneVertexData(const AffineTransform& displayTransform) {
    std::array<float, 16> out = kImagePlaneVertexData;
    const AffineTransform inverse = displayTransform.inverted();
    for (size_t v = 0; v < 4; ++v) {
        double u = 0, w = 0;
        inverse.apply(kImagePlaneVertexData[v * 4 + 2], kImagePlaneVertexData[v * 4 + 3], u, w);
        out[v * 4 + 2] = static_cast<float>(u);
        out[v * 4 + 3] = static_cast<float>(w);
    }
    return out;
}

uint16_t floatToHalf(float f) {
    uint32_t x = 0;
    std::memcpy(&x, &f, 4);
    const uint32_t sign = (x >> 16) & 0x8000u;
    const uint32_t absx = x & 0x7FFFFFFFu;
    if (absx >= 0x7F800000u) return static_cast<uint16_t>(sign | 0x7C00u | (absx > 0x7F800000u ? 0x200u : 0u));
    if (absx >= 0x477FF000u) return static_cast<uint16_t>(sign | 0x7C00u);  // overflows to infinity
    if (absx < 0x38800000u) {                                               // subnormal or zero
        if (absx < 0x33000000u) return static_cast<uint16_t>(sign);
        const uint32_t mant = (absx & 0x7FFFFFu) | 0x800000u;
        const int shift = 126 - static_cast<int>(absx >> 23);  // 14..24
        uint32_t h = mant >> shift;
        const uint32_t rem = mant & ((1u << shift) - 1);
        const uint32_t half = 1u << (shift - 1);
        if (rem > half || (rem == half && (h & 1u))) ++h;
        return static_cast<uint16_t>(sign | h);
    }
    uint32_t h = ((absx - 0x38000000u) >> 13);
    const uint32_t rem = absx & 0x1FFFu;
    if (rem > 0x1000u || (rem == 0x1000u && (h & 1u))) ++h;
    return static_cast<uint16_t>(sign | h);
}

float halfToFloat(uint16_t h) {
    const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
    const uint32_t exp = (h >> 10) & 0x1Fu;
    const uint32_t mant = h & 0x3FFu;
    float f = 0;
    if (exp == 0) {
        f = std::ldexp(static_cast<float>(mant), -24);
    } else if (exp == 31) {
        f = mant ? NAN : INFINITY;
    } else {
        f = std::ldexp(static_cast<float>(mant | 0x400u), static_cast<int>(exp) - 25);
    }
    uint32_t bits = 0;
    std::memcpy(&bits, &f, 4);
    bits |= sign;
    std::memcpy(&f, &bits, 4);
    return f;
}

BoxMeshData makeBoxMesh(float size) {
    const float h = size / 2;
    // For each face: the outward normal and two in-plane axes u, v with
    // u x v = normal, so (0,0) (1,0) (1,1) (0,1) runs counter-clockwise seen
    // from outside.
    struct Face {
        float n[3], u[3], v[3];
    };
    static constexpr Face faces[6] = {
        {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}}, {{-1, 0, 0}, {0, 0, 1}, {0, 1, 0}}, {{0, 1, 0}, {1, 0, 0}, {0, 0, -1}},
        {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}, {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},  {{0, 0, -1}, {-1, 0, 0}, {0, 1, 0}},
    };
    static constexpr float corners[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    BoxMeshData mesh;
    mesh.vertexCount = 24;
    mesh.positions.resize(mesh.vertexCount * kCubePositionStride);
    mesh.attributes.resize(mesh.vertexCount * kCubeAttributeStride);
    size_t vi = 0;
    for (const Face& f : faces) {
        const uint16_t base = static_cast<uint16_t>(vi);
        for (const auto& c : corners) {
            float p[3];
            for (int k = 0; k < 3; ++k) p[k] = h * f.n[k] + (c[0] * 2 - 1) * h * f.u[k] + (c[1] * 2 - 1) * h * f.v[k];
            std::memcpy(&mesh.positions[vi * kCubePositionStride], p, sizeof p);
            uint8_t* a = &mesh.attributes[vi * kCubeAttributeStride];
            const float uv[2] = {c[0], 1 - c[1]};
            std::memcpy(a, uv, sizeof uv);
            const uint16_t n[3] = {floatToHalf(f.n[0]), floatToHalf(f.n[1]), floatToHalf(f.n[2])};
            std::memcpy(a + kCubeNormalOffset, n, sizeof n);
            ++vi;
        }
        for (uint16_t i : {0, 1, 2, 0, 2, 3}) mesh.indices.push_back(static_cast<uint16_t>(base + i));
    }
    return mesh;
}

RGB8 ycbcrToRGB(uint8_t y, uint8_t cb, uint8_t cr) {
    const double Y = std::clamp<double>(y, 16, 235) - 16;
    const double Cb = std::clamp<double>(cb, 16, 240) - 128;
    const double Cr = std::clamp<double>(cr, 16, 240) - 128;
    auto to8 = [](double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); };
    return {to8(1.164384 * Y + 1.596027 * Cr), to8(1.164384 * Y - 0.391762 * Cb - 0.812968 * Cr),
            to8(1.164384 * Y + 2.017232 * Cb)};
}

}  // namespace tevra
