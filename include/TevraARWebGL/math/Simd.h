// Small single-precision vector and matrix types in the layout the AR
// session uses: 4 x 4 matrices are column-major (columns[c][r]).
//
// In: plain numbers. Out: plain numbers. Nothing here fails; the inverse of a
// singular matrix is whatever the cofactor formula yields (inf/nan), as on the
// platform.
// Example: inverse(translation(1, 2, 3)) has column 3 = (-1, -2, -3, 1).
#pragma once

#include <array>
#include <cmath>

namespace tevra {

struct float2 {
    float x = 0, y = 0;
};

struct float3 {
    float x = 0, y = 0, z = 0;
};

struct float4 {
    float x = 0, y = 0, z = 0, w = 0;
    float& operator[](int i) { return (&x)[i]; }
    float operator[](int i) const { return (&x)[i]; }
};

// Quaternion x, y, z (vector part) and w (scalar part).
struct quatf {
    float x = 0, y = 0, z = 0, w = 1;
};

struct float3x3 {
    std::array<float3, 3> columns{};
    // m(c, r): component r of column c.
    float& m(int c, int r) { return (&columns[c].x)[r]; }
    float m(int c, int r) const { return (&columns[c].x)[r]; }
};

struct float4x4 {
    std::array<float4, 4> columns{};

    float& m(int c, int r) { return columns[c][r]; }
    float m(int c, int r) const { return columns[c][r]; }

    static float4x4 identity() {
        float4x4 r;
        for (int i = 0; i < 4; ++i) r.columns[i][i] = 1.0f;
        return r;
    }
    static float4x4 translation(float x, float y, float z) {
        float4x4 r = identity();
        r.columns[3] = {x, y, z, 1.0f};
        return r;
    }
    // The 16 elements in column-major order.
    std::array<float, 16> elements() const {
        std::array<float, 16> e{};
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r) e[c * 4 + r] = columns[c][r];
        return e;
    }
    static float4x4 fromElements(const float* e) {
        float4x4 r;
        for (int c = 0; c < 4; ++c)
            for (int r2 = 0; r2 < 4; ++r2) r.columns[c][r2] = e[c * 4 + r2];
        return r;
    }
    bool operator==(const float4x4& o) const { return elements() == o.elements(); }
};

float4x4 operator*(const float4x4& a, const float4x4& b);
float4 operator*(const float4x4& a, const float4& v);
float4x4 inverse(const float4x4& m);
float4x4 transpose(const float4x4& m);

// Rotation about an axis through the origin, angle in radians, right-handed.
float4x4 rotationY(float radians);
float4x4 rotationX(float radians);
float4x4 rotationZ(float radians);

// The trace-based conversion of the upper-left 3 x 3 of m into a unit
// quaternion, with its three fall-backs on the largest diagonal element.
quatf simd_quaternion(const float4x4& m);

// An affine transform of the plane: (x, y) -> (a*x + c*y + tx, b*x + d*y + ty).
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
    static AffineTransform identity() { return {}; }
    AffineTransform inverted() const;
    // this followed by other.
    AffineTransform concat(const AffineTransform& other) const;
    void apply(double x, double y, double& ox, double& oy) const {
        ox = a * x + c * y + tx;
        oy = b * x + d * y + ty;
    }
};

struct Size {
    double width = 0, height = 0;
    bool operator==(const Size& o) const { return width == o.width && height == o.height; }
};

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    Size size() const { return {width, height}; }
    bool operator==(const Rect& o) const { return x == o.x && y == o.y && width == o.width && height == o.height; }
};

// Red, green, blue, alpha, each 0 to 1.
struct Color {
    double r = 0, g = 0, b = 0, a = 0;
    static Color white() { return {1, 1, 1, 1}; }
    static Color clear() { return {0, 0, 0, 0}; }
    bool operator==(const Color& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

}  // namespace tevra
