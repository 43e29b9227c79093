#include "platform/sim/SimCamera.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace tevra;
using namespace tevra::sim;

namespace {

constexpr double kPi = 3.14159265358979323846;

float4 apply(const float4x4& m, float x, float y, float z) { return m * float4{x, y, z, 1}; }

void expectPoint(const float4& p, float x, float y, float z, float tol = 1e-5f) {
    EXPECT_NEAR(p.x, x, tol);
    EXPECT_NEAR(p.y, y, tol);
    EXPECT_NEAR(p.z, z, tol);
}

// Where a world point lands in the viewport (points, y down) through P * V.
void viewportPoint(const float4x4& proj, const float4x4& view, Size viewport, float x, float y, float z, double& px,
                   double& py, double* ndcZ = nullptr) {
    float4 clip = proj * (view * float4{x, y, z, 1});
    double nx = clip.x / clip.w, ny = clip.y / clip.w;
    px = (nx + 1) / 2 * viewport.width;
    py = (1 - ny) / 2 * viewport.height;
    if (ndcZ) *ndcZ = clip.z / clip.w;
}

const CameraIntrinsics kK{1000, 1010, 950, 730};
const Size kImage{1920, 1440};

}  // namespace

TEST(SimCamera, IntrinsicsMatrixIsColumnMajor) {
    float3x3 k = intrinsicsMatrix(kK);
    // K[row][col] == columns[col][row].
    EXPECT_EQ(k.m(0, 0), 1000);  // K[0][0] = fx
    EXPECT_EQ(k.m(1, 1), 1010);  // K[1][1] = fy
    EXPECT_EQ(k.m(2, 0), 950);   // K[0][2] = cx
    EXPECT_EQ(k.m(2, 1), 730);   // K[1][2] = cy
    EXPECT_EQ(k.m(2, 2), 1);
    EXPECT_EQ(k.m(0, 2), 0);
    EXPECT_EQ(k.m(1, 0), 0);
}

TEST(SimCamera, CameraAtOriginHasIdentityViewInSensorOrientation) {
    EXPECT_EQ(viewMatrixForOrientation(float4x4::identity(), 3), float4x4::identity());
    // Unknown orientation falls back to the sensor orientation.
    EXPECT_EQ(viewMatrixForOrientation(float4x4::identity(), 0), float4x4::identity());
    // A camera 1.5 m up: the world origin is 1.5 m below it.
    float4x4 v = viewMatrixForOrientation(float4x4::translation(0, 1.5f, 0), 3);
    expectPoint(apply(v, 0, 0, 0), 0, -1.5f, 0);
}

TEST(SimCamera, NinetyDegreeYawLooksDownNegativeX) {
    float4x4 cam = rotationY(static_cast<float>(kPi / 2));
    float4x4 v = viewMatrixForOrientation(cam, 3);
    // A point 2 m along -x is straight ahead; +z is now on the camera's left.
    expectPoint(apply(v, -2, 0, 0), 0, 0, -2);
    expectPoint(apply(v, 0, 0, 1), -1, 0, 0);
    expectPoint(apply(v, 0, 1, 0), 0, 1, 0);
}

TEST(SimCamera, OrientationsTurnTheViewAboutItsAxis) {
    float4x4 cam = float4x4::translation(1, 2, 3) * rotationY(0.4f);
    float4x4 landscape = viewMatrixForOrientation(cam, 3);
    // A point one metre to the sensor's right and one ahead.
    float4x4 camToWorld = cam;
    float4 world = camToWorld * float4{1, 0, -1, 1};
    expectPoint(landscape * world, 1, 0, -1);
    // Portrait: the sensor's right is screen down.
    expectPoint(viewMatrixForOrientation(cam, 1) * world, 0, -1, -1);
    // Upside down: screen up. Landscape left: screen left.
    expectPoint(viewMatrixForOrientation(cam, 2) * world, 0, 1, -1);
    expectPoint(viewMatrixForOrientation(cam, 4) * world, -1, 0, -1);
    // The sensor's up is screen right in portrait.
    world = camToWorld * float4{0, 1, -1, 1};
    expectPoint(viewMatrixForOrientation(cam, 1) * world, 1, 0, -1);
    // Portrait view = rotation of -90 degrees about z after the landscape view.
    float4x4 portrait = viewMatrixForOrientation(cam, 1);
    float4x4 expected = rotationZ(static_cast<float>(-kPi / 2)) * landscape;
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) EXPECT_NEAR(portrait.m(c, r), expected.m(c, r), 1e-6f);
}

// Landscape viewport 844 x 390 of a 1920 x 1440 image: s = 844 / 1920, the
// image is 633 points high and 121.5 points are cropped at top and bottom.
TEST(SimCamera, ProjectionLandsOnTheIntrinsicsPixelAfterTheCrop) {
    const Size viewport{844, 390};
    const double s = 844.0 / 1920.0;
    // Camera-space point (0.3, -0.2, -2): u = 950 + 1000 * 0.15 = 1100,
    // v = 730 + 1010 * 0.1 = 831.
    float4x4 cam = float4x4::translation(0.5f, 1.2f, -0.7f) * rotationY(0.3f) * rotationX(-0.2f);
    float4 world = cam * float4{0.3f, -0.2f, -2.0f, 1.0f};
    float4x4 proj = projectionMatrixForOrientation(kK, kImage, 3, viewport, 0.001f, 1000.0f);
    double px, py;
    viewportPoint(proj, viewMatrixForOrientation(cam, 3), viewport, world.x, world.y, world.z, px, py);
    EXPECT_NEAR(px, 1100 * s, 1e-3);
    EXPECT_NEAR(py, 831 * s - 121.5, 1e-3);

    // Portrait 390 x 844: the image turns to 1440 x 1920, the same scale, and
    // 121.5 points are cropped left and right; u' = 1440 - v, v' = u.
    const Size portrait{390, 844};
    proj = projectionMatrixForOrientation(kK, kImage, 1, portrait, 0.001f, 1000.0f);
    viewportPoint(proj, viewMatrixForOrientation(cam, 1), portrait, world.x, world.y, world.z, px, py);
    EXPECT_NEAR(px, (1440 - 831) * s - 121.5, 1e-3);
    EXPECT_NEAR(py, 1100 * s, 1e-3);
}

TEST(SimCamera, ProjectionDepthRangeAndPrincipalPoint) {
    const Size viewport{1920, 1440};
    float4x4 proj = projectionMatrixForOrientation(kK, kImage, 3, viewport, 0.5f, 20.0f);
    EXPECT_FLOAT_EQ(proj.m(0, 0), 2 * 1000.0f / 1920);
    EXPECT_FLOAT_EQ(proj.m(1, 1), 2 * 1010.0f / 1440);
    EXPECT_FLOAT_EQ(proj.m(2, 3), -1);
    EXPECT_FLOAT_EQ(proj.m(3, 3), 0);
    double px, py, z;
    viewportPoint(proj, float4x4::identity(), viewport, 0, 0, -0.5f, px, py, &z);
    EXPECT_NEAR(z, -1, 1e-5);
    EXPECT_NEAR(px, 950, 1e-3);  // the principal point
    EXPECT_NEAR(py, 730, 1e-3);
    viewportPoint(proj, float4x4::identity(), viewport, 0, 0, -20, px, py, &z);
    EXPECT_NEAR(z, 1, 1e-5);
    // A changed near plane changes the projection.
    EXPECT_NE(projectionMatrixForOrientation(kK, kImage, 3, viewport, 0.1f, 20.0f).m(3, 2), proj.m(3, 2));
}

TEST(SimCamera, DisplayTransformMapsImageCornersAsTheCropSays) {
    // Same aspect, sensor orientation: identity.
    AffineTransform t = displayTransformForOrientation(kImage, 3, {960, 720});
    EXPECT_NEAR(t.a, 1, 1e-12);
    EXPECT_NEAR(t.d, 1, 1e-12);
    EXPECT_NEAR(t.b, 0, 1e-12);
    EXPECT_NEAR(t.c, 0, 1e-12);
    EXPECT_NEAR(t.tx, 0, 1e-12);
    EXPECT_NEAR(t.ty, 0, 1e-12);

    // Portrait with the image's aspect: the quarter turn (0, 1, -1, 0, 1, 0).
    t = displayTransformForOrientation(kImage, 1, {720, 960});
    EXPECT_NEAR(t.a, 0, 1e-12);
    EXPECT_NEAR(t.b, 1, 1e-12);
    EXPECT_NEAR(t.c, -1, 1e-12);
    EXPECT_NEAR(t.d, 0, 1e-12);
    EXPECT_NEAR(t.tx, 1, 1e-12);
    EXPECT_NEAR(t.ty, 0, 1e-12);

    // Portrait 390 x 844: image top-left (0, 0) goes to the turned image's
    // top-right, 633 - 121.5 = 511.5 points from the left: x = 511.5 / 390.
    t = displayTransformForOrientation(kImage, 1, {390, 844});
    double x, y;
    t.apply(0, 0, x, y);
    EXPECT_NEAR(x, 511.5 / 390, 1e-9);
    EXPECT_NEAR(y, 0, 1e-9);
    t.apply(1, 1, x, y);  // bottom-right -> turned bottom-left, cropped
    EXPECT_NEAR(x, -121.5 / 390, 1e-9);
    EXPECT_NEAR(y, 1, 1e-9);
    t.apply(0.5, 0.5, x, y);
    EXPECT_NEAR(x, 0.5, 1e-9);
    EXPECT_NEAR(y, 0.5, 1e-9);

    // Landscape left is the half turn; landscape 844 x 390 crops top and bottom.
    t = displayTransformForOrientation(kImage, 4, {844, 390});
    t.apply(0, 0, x, y);
    EXPECT_NEAR(x, 1, 1e-9);
    EXPECT_NEAR(y, (633 - 121.5) / 390, 1e-9);
    // Its inverse takes the view's corners to the image part that shows.
    AffineTransform inv = t.inverted();
    inv.apply(0, 0, x, y);
    EXPECT_NEAR(x, 1, 1e-9);
    EXPECT_NEAR(y, 1 - 121.5 / 633, 1e-9);
}

// For every orientation and several viewports, the projection and the
// display transform agree on where a world point appears, and that is where
// the intrinsics put it in the image.
TEST(SimCamera, ProjectionAndDisplayTransformAgree) {
    const float4x4 cam = float4x4::translation(-0.3f, 1.4f, 2.0f) * rotationY(-0.8f) * rotationX(0.25f);
    const Size viewports[] = {{390, 844}, {844, 390}, {1024, 768}, {768, 1024}, {500, 500}};
    const float3 points[] = {{0.2f, 0.1f, -1.5f}, {-0.6f, -0.35f, -2.2f}, {0, 0, -4}};
    for (long o = 1; o <= 4; ++o) {
        for (Size vp : viewports) {
            float4x4 proj = projectionMatrixForOrientation(kK, kImage, o, vp, 0.01f, 100.0f);
            float4x4 view = viewMatrixForOrientation(cam, o);
            AffineTransform disp = displayTransformForOrientation(kImage, o, vp);
            for (float3 pc : points) {
                float4 world = cam * float4{pc.x, pc.y, pc.z, 1};
                float2 pixel;
                ASSERT_TRUE(projectCameraPoint(kK, pc, pixel));
                double ex, ey;
                disp.apply(pixel.x / kImage.width, pixel.y / kImage.height, ex, ey);
                double px, py;
                viewportPoint(proj, view, vp, world.x, world.y, world.z, px, py);
                EXPECT_NEAR(px / vp.width, ex, 1e-4) << "orientation " << o << " viewport " << vp.width;
                EXPECT_NEAR(py / vp.height, ey, 1e-4) << "orientation " << o << " viewport " << vp.width;
            }
        }
    }
}

TEST(SimCamera, DegenerateViewportUsesTheImageSize) {
    float4x4 a = projectionMatrixForOrientation(kK, kImage, 3, {0, 0}, 0.1f, 10.0f);
    float4x4 b = projectionMatrixForOrientation(kK, kImage, 3, kImage, 0.1f, 10.0f);
    EXPECT_EQ(a, b);
    AffineTransform t = displayTransformForOrientation(kImage, 1, {-5, NAN});
    EXPECT_TRUE(std::isfinite(t.tx));
    EXPECT_NEAR(t.b, 1, 1e-12);
}

TEST(SimCamera, CameraAndFrameUseTheSameMaths) {
    auto cam = std::make_shared<SimCamera>(float4x4::translation(0, 1, 0), kK, kImage, 1, 3);
    SimFrame frame(2.5, cam, nullptr, {});
    EXPECT_EQ(cam->viewMatrixForOrientation(1), viewMatrixForOrientation(float4x4::translation(0, 1, 0), 1));
    EXPECT_EQ(cam->projectionMatrixForOrientation(1, {390, 844}, 0.1f, 50),
              projectionMatrixForOrientation(kK, kImage, 1, {390, 844}, 0.1f, 50));
    AffineTransform t = frame.displayTransformForOrientation(1, {720, 960});
    EXPECT_NEAR(t.tx, 1, 1e-12);
    EXPECT_EQ(cam->trackingState(), 1);
    EXPECT_EQ(cam->trackingStateReason(), 3);
    EXPECT_EQ(cam->imageResolution(), kImage);
    EXPECT_EQ(frame.timestamp(), 2.5);
}
