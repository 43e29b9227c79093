#include "math/Simd.h"

#include <gtest/gtest.h>

using namespace tevra;

TEST(Simd, InverseOfTranslationNegatesIt) {
    float4x4 inv = inverse(float4x4::translation(1, 2, 3));
    EXPECT_FLOAT_EQ(inv.m(3, 0), -1);
    EXPECT_FLOAT_EQ(inv.m(3, 1), -2);
    EXPECT_FLOAT_EQ(inv.m(3, 2), -3);
    EXPECT_FLOAT_EQ(inv.m(3, 3), 1);
}

TEST(Simd, InverseTimesMatrixIsIdentity) {
    float4x4 m = rotationY(0.7f) * rotationX(-0.3f) * float4x4::translation(0.5f, -2, 4);
    float4x4 p = inverse(m) * m;
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) EXPECT_NEAR(p.m(c, r), c == r ? 1.0f : 0.0f, 1e-5f);
}

TEST(Simd, QuaternionBranches) {
    quatf q = simd_quaternion(float4x4::identity());
    EXPECT_FLOAT_EQ(q.w, 1);
    EXPECT_FLOAT_EQ(q.x, 0);
    // 180 degrees about y: trace -1, m(0,0) = m(2,2) = -1 < m(1,1) -> third branch.
    float4x4 m = float4x4::identity();
    m.m(0, 0) = -1;
    m.m(2, 2) = -1;
    q = simd_quaternion(m);
    EXPECT_FLOAT_EQ(q.x, 0);
    EXPECT_FLOAT_EQ(q.y, 1);
    EXPECT_FLOAT_EQ(q.z, 0);
    EXPECT_FLOAT_EQ(q.w, 0);
    // 180 degrees about x: second branch.
    m = float4x4::identity();
    m.m(1, 1) = -1;
    m.m(2, 2) = -1;
    q = simd_quaternion(m);
    EXPECT_FLOAT_EQ(q.x, 1);
    // 180 degrees about z: fourth branch.
    m = float4x4::identity();
    m.m(0, 0) = -1;
    m.m(1, 1) = -1;
    q = simd_quaternion(m);
    EXPECT_FLOAT_EQ(q.z, 1);
}

TEST(Simd, QuaternionOfYawMatchesAxisAngle) {
    float a = 0.9f;
    quatf q = simd_quaternion(rotationY(a));
    EXPECT_NEAR(q.y, std::sin(a / 2), 1e-6);
    EXPECT_NEAR(q.w, std::cos(a / 2), 1e-6);
}

TEST(Simd, AffineInverseRoundTrips) {
    AffineTransform t{0, 1, -1, 0, 1, 0};  // quarter turn plus shift
    AffineTransform inv = t.inverted();
    double x, y, bx, by;
    t.apply(0.25, 0.75, x, y);
    inv.apply(x, y, bx, by);
    EXPECT_NEAR(bx, 0.25, 1e-12);
    EXPECT_NEAR(by, 0.75, 1e-12);
}
