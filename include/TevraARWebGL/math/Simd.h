/// @file
/// Small single-precision vector and matrix types in the layout the AR
/// session uses: 4 x 4 matrices are column-major (columns[c][r]).
///
/// In: plain numbers. Out: plain numbers. Nothing here fails; the inverse of a
/// singular matrix is whatever the cofactor formula yields (inf/nan), as on the
/// platform.
/// Example: inverse(translation(1, 2, 3)) has column 3 = (-1, -2, -3, 1).
#pragma once

#include <array>
#include <cmath>

namespace tevra {

/// Two floats.
struct float2 {
    ///@{
    /// The components.
    float x = 0, y = 0;
    ///@}
};

/// Three floats.
struct float3 {
    ///@{
    /// The components.
    float x = 0, y = 0, z = 0;
    ///@}
};

/// Four floats; a column of a float4x4.
struct float4 {
    ///@{
    /// The components.
    float x = 0, y = 0, z = 0, w = 0;
    ///@}
    /// Component `i` (0 x, 1 y, 2 z, 3 w).
    float& operator[](int i) { return (&x)[i]; }
    /// Component `i` (0 x, 1 y, 2 z, 3 w).
    float operator[](int i) const { return (&x)[i]; }
};

/// Quaternion x, y, z (vector part) and w (scalar part).
struct quatf {
    ///@{
    /// The components; the default is the identity rotation.
    float x = 0, y = 0, z = 0, w = 1;
    ///@}
};

/// A 3 x 3 matrix of three columns.
struct float3x3 {
    /// The columns; all zero by default.
    std::array<float3, 3> columns{};
    /// m(c, r): component r of column c.
    float& m(int c, int r) { return (&columns[c].x)[r]; }
    /// m(c, r): component r of column c.
    float m(int c, int r) const { return (&columns[c].x)[r]; }
};

/// A 4 x 4 matrix of four columns (column-major).
struct float4x4 {
    /// The columns; all zero by default.
    std::array<float4, 4> columns{};

    /// m(c, r): component r of column c.
    float& m(int c, int r) { return columns[c][r]; }
    /// m(c, r): component r of column c.
    float m(int c, int r) const { return columns[c][r]; }

    /// The identity matrix.
    static float4x4 identity() {
        float4x4 r;
        for (int i = 0; i < 4; ++i) r.columns[i][i] = 1.0f;
        return r;
    }
    /// The translation by (x, y, z): the identity with column 3 = (x, y, z, 1).
    static float4x4 translation(float x, float y, float z) {
        float4x4 r = identity();
        r.columns[3] = {x, y, z, 1.0f};
        return r;
    }
    /// The 16 elements in column-major order.
    std::array<float, 16> elements() const {
        std::array<float, 16> e{};
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r) e[c * 4 + r] = columns[c][r];
        return e;
    }
    /// The matrix of 16 elements at `e` in column-major order.
    static float4x4 fromElements(const float* e) {
        float4x4 r;
        for (int c = 0; c < 4; ++c)
            for (int r2 = 0; r2 < 4; ++r2) r.columns[c][r2] = e[c * 4 + r2];
        return r;
    }
    /// True when all 16 elements compare equal.
    bool operator==(const float4x4& o) const { return elements() == o.elements(); }
};

/// The matrix product a * b (b applied first).
float4x4 operator*(const float4x4& a, const float4x4& b);
/// The matrix a applied to the column vector v.
float4 operator*(const float4x4& a, const float4& v);
/// The inverse by cofactor expansion (in double precision, rounded once);
/// inf/nan for a singular matrix.
float4x4 inverse(const float4x4& m);
/// The transposed matrix.
float4x4 transpose(const float4x4& m);

///@{
/// Rotation about an axis through the origin, angle in radians, right-handed.
float4x4 rotationY(float radians);
float4x4 rotationX(float radians);
float4x4 rotationZ(float radians);
///@}

/// The trace-based conversion of the upper-left 3 x 3 of m into a unit
/// quaternion, with its three fall-backs on the largest diagonal element.
quatf simd_quaternion(const float4x4& m);

/// An affine transform of the plane: (x, y) -> (a*x + c*y + tx, b*x + d*y + ty).
struct AffineTransform {
    ///@{
    /// The coefficients; the default is the identity.
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
    ///@}
    /// The identity transform.
    static AffineTransform identity() { return {}; }
    /// The inverse transform; a singular one is returned unchanged.
    AffineTransform inverted() const;
    /// this followed by other.
    AffineTransform concat(const AffineTransform& other) const;
    /// Maps (x, y) to (ox, oy).
    void apply(double x, double y, double& ox, double& oy) const {
        ox = a * x + c * y + tx;
        oy = b * x + d * y + ty;
    }
};

/// A width and a height.
struct Size {
    ///@{
    /// The sides.
    double width = 0, height = 0;
    ///@}
    /// True when both sides compare equal.
    bool operator==(const Size& o) const { return width == o.width && height == o.height; }
};

/// A rectangle: origin (x, y) and size.
struct Rect {
    ///@{
    /// The origin and the sides.
    double x = 0, y = 0, width = 0, height = 0;
    ///@}
    /// The width and height.
    Size size() const { return {width, height}; }
    /// True when origin and size compare equal.
    bool operator==(const Rect& o) const { return x == o.x && y == o.y && width == o.width && height == o.height; }
};

/// Red, green, blue, alpha, each 0 to 1.
struct Color {
    ///@{
    /// The components; the default is transparent black.
    double r = 0, g = 0, b = 0, a = 0;
    ///@}
    /// Opaque white.
    static Color white() { return {1, 1, 1, 1}; }
    /// Transparent black.
    static Color clear() { return {0, 0, 0, 0}; }
    /// True when all four components compare equal.
    bool operator==(const Color& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

}  // namespace tevra
