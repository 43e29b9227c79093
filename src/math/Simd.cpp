#include "math/Simd.h"

namespace tevra {

float4x4 operator*(const float4x4& a, const float4x4& b) {
    float4x4 r;
    for (int c = 0; c < 4; ++c) r.columns[c] = a * b.columns[c];
    return r;
}

float4 operator*(const float4x4& a, const float4& v) {
    float4 r;
    for (int row = 0; row < 4; ++row) {
        r[row] = a.m(0, row) * v.x + a.m(1, row) * v.y + a.m(2, row) * v.z + a.m(3, row) * v.w;
    }
    return r;
}

float4x4 transpose(const float4x4& m) {
    float4x4 r;
    for (int c = 0; c < 4; ++c)
        for (int row = 0; row < 4; ++row) r.m(c, row) = m.m(row, c);
    return r;
}

float4x4 inverse(const float4x4& mat) {
    // Cofactor expansion in double precision, rounded once at the end.
    double m[16];
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) m[c * 4 + r] = mat.m(c, r);
    double inv[16];
    inv[0] = m[5] * m[10] * m[15] - m[5] * m[11] * m[14] - m[9] * m[6] * m[15] + m[9] * m[7] * m[14] +
             m[13] * m[6] * m[11] - m[13] * m[7] * m[10];
    inv[4] = -m[4] * m[10] * m[15] + m[4] * m[11] * m[14] + m[8] * m[6] * m[15] - m[8] * m[7] * m[14] -
             m[12] * m[6] * m[11] + m[12] * m[7] * m[10];
    inv[8] = m[4] * m[9] * m[15] - m[4] * m[11] * m[13] - m[8] * m[5] * m[15] + m[8] * m[7] * m[13] +
             m[12] * m[5] * m[11] - m[12] * m[7] * m[9];
    inv[12] = -m[4] * m[9] * m[14] + m[4] * m[10] * m[13] + m[8] * m[5] * m[14] - m[8] * m[6] * m[13] -
              m[12] * m[5] * m[10] + m[12] * m[6] * m[9];
    inv[1] = -m[1] * m[10] * m[15] + m[1] * m[11] * m[14] + m[9] * m[2] * m[15] - m[9] * m[3] * m[14] -
             m[13] * m[2] * m[11] + m[13] * m[3] * m[10];
    inv[5] = m[0] * m[10] * m[15] - m[0] * m[11] * m[14] - m[8] * m[2] * m[15] + m[8] * m[3] * m[14] +
             m[12] * m[2] * m[11] - m[12] * m[3] * m[10];
    inv[9] = -m[0] * m[9] * m[15] + m[0] * m[11] * m[13] + m[8] * m[1] * m[15] - m[8] * m[3] * m[13] -
             m[12] * m[1] * m[11] + m[12] * m[3] * m[9];
    inv[13] = m[0] * m[9] * m[14] - m[0] * m[10] * m[13] - m[8] * m[1] * m[14] + m[8] * m[2] * m[13] +
              m[12] * m[1] * m[10] - m[12] * m[2] * m[9];
    inv[2] = m[1] * m[6] * m[15] - m[1] * m[7] * m[14] - m[5] * m[2] * m[15] + m[5] * m[3] * m[14] +
             m[13] * m[2] * m[7] - m[13] * m[3] * m[6];
    inv[6] = -m[0] * m[6] * m[15] + m[0] * m[7] * m[14] + m[4] * m[2] * m[15] - m[4] * m[3] * m[14] -
             m[12] * m[2] * m[7] + m[12] * m[3] * m[6];
    inv[10] = m[0] * m[5] * m[15] - m[0] * m[7] * m[13] - m[4] * m[1] * m[15] + m[4] * m[3] * m[13] +
              m[12] * m[1] * m[7] - m[12] * m[3] * m[5];
    inv[14] = -m[0] * m[5] * m[14] + m[0] * m[6] * m[13] + m[4] * m[1] * m[14] - m[4] * m[2] * m[13] -
              m[12] * m[1] * m[6] + m[12] * m[2] * m[5];
    inv[3] = -m[1] * m[6] * m[11] + m[1] * m[7] * m[10] + m[5] * m[2] * m[11] - m[5] * m[3] * m[10] -
             m[9] * m[2] * m[7] + m[9] * m[3] * m[6];
    inv[7] = m[0] * m[6] * m[11] - m[0] * m[7] * m[10] - m[4] * m[2] * m[11] + m[4] * m[3] * m[10] +
             m[8] * m[2] * m[7] - m[8] * m[3] * m[6];
    inv[11] = -m[0] * m[5] * m[11] + m[0] * m[7] * m[9] + m[4] * m[1] * m[11] - m[4] * m[3] * m[9] -
              m[8] * m[1] * m[7] + m[8] * m[3] * m[5];
    inv[15] = m[0] * m[5] * m[10] - m[0] * m[6] * m[9] - m[4] * m[1] * m[10] + m[4] * m[2] * m[9] + m[8] * m[1] * m[6] -
              m[8] * m[2] * m[5];
    double det = m[0] * inv[0] + m[1] * inv[4] + m[2] * inv[8] + m[3] * inv[12];
    double invDet = 1.0 / det;
    float4x4 r;
    for (int c = 0; c < 4; ++c)
        for (int row = 0; row < 4; ++row) r.m(c, row) = static_cast<float>(inv[c * 4 + row] * invDet);
    return r;
}

float4x4 rotationY(float radians) {
    float4x4 r = float4x4::identity();
    float c = std::cos(radians), s = std::sin(radians);
    r.m(0, 0) = c;
    r.m(0, 2) = -s;
    r.m(2, 0) = s;
    r.m(2, 2) = c;
    return r;
}

float4x4 rotationX(float radians) {
    float4x4 r = float4x4::identity();
    float c = std::cos(radians), s = std::sin(radians);
    r.m(1, 1) = c;
    r.m(1, 2) = s;
    r.m(2, 1) = -s;
    r.m(2, 2) = c;
    return r;
}

float4x4 rotationZ(float radians) {
    float4x4 r = float4x4::identity();
    float c = std::cos(radians), s = std::sin(radians);
    r.m(0, 0) = c;
    r.m(0, 1) = s;
    r.m(1, 0) = -s;
    r.m(1, 1) = c;
    return r;
}

quatf simd_quaternion(const float4x4& m) {
    quatf q;
    float t = m.m(0, 0) + m.m(1, 1) + m.m(2, 2);
    if (t >= 0) {
        float r = 2.0f * std::sqrt(1.0f + t);
        q.x = (m.m(1, 2) - m.m(2, 1)) / r;
        q.y = (m.m(2, 0) - m.m(0, 2)) / r;
        q.z = (m.m(0, 1) - m.m(1, 0)) / r;
        q.w = r / 4.0f;
    } else if (m.m(0, 0) >= m.m(1, 1) && m.m(0, 0) >= m.m(2, 2)) {
        float r = 2.0f * std::sqrt(1.0f + m.m(0, 0) - m.m(1, 1) - m.m(2, 2));
        q.x = r / 4.0f;
        q.y = (m.m(0, 1) + m.m(1, 0)) / r;
        q.z = (m.m(0, 2) + m.m(2, 0)) / r;
        q.w = (m.m(1, 2) - m.m(2, 1)) / r;
    } else if (m.m(1, 1) >= m.m(2, 2)) {
        float r = 2.0f * std::sqrt(1.0f + m.m(1, 1) - m.m(0, 0) - m.m(2, 2));
        q.x = (m.m(0, 1) + m.m(1, 0)) / r;
        q.y = r / 4.0f;
        q.z = (m.m(1, 2) + m.m(2, 1)) / r;
        q.w = (m.m(2, 0) - m.m(0, 2)) / r;
    } else {
        float r = 2.0f * std::sqrt(1.0f + m.m(2, 2) - m.m(0, 0) - m.m(1, 1));
        q.x = (m.m(0, 2) + m.m(2, 0)) / r;
        q.y = (m.m(1, 2) + m.m(2, 1)) / r;
        q.z = r / 4.0f;
        q.w = (m.m(0, 1) - m.m(1, 0)) / r;
    }
    return q;
}

AffineTransform AffineTransform::inverted() const {
    double det = a * d - b * c;
    if (det == 0) return *this;  // the platform returns a singular transform unchanged
    AffineTransform r;
    r.a = d / det;
    r.b = -b / det;
    r.c = -c / det;
    r.d = a / det;
    r.tx = (c * ty - d * tx) / det;
    r.ty = (b * tx - a * ty) / det;
    return r;
}

AffineTransform AffineTransform::concat(const AffineTransform& o) const {
    AffineTransform r;
    r.a = a * o.a + b * o.c;
    r.b = a * o.b + b * o.d;
    r.c = c * o.a + d * o.c;
    r.d = c * o.b + d * o.d;
    r.tx = tx * o.a + ty * o.c + o.tx;
    r.ty = tx * o.b + ty * o.d + o.ty;
    return r;
}

}  // namespace tevra
