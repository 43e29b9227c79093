#include "platform/sim/SimCamera.h"

#include <algorithm>
#include <cmath>

namespace tevra::sim {

namespace {

Size usableViewport(Size viewport, Size turned) {
    bool ok =
        std::isfinite(viewport.width) && std::isfinite(viewport.height) && viewport.width > 0 && viewport.height > 0;
    return ok ? viewport : turned;
}

}  // namespace

float3x3 intrinsicsMatrix(const CameraIntrinsics& k) {
    float3x3 m;
    m.columns[0] = {k.fx, 0, 0};
    m.columns[1] = {0, k.fy, 0};
    m.columns[2] = {k.cx, k.cy, 1};
    return m;
}

float4x4 orientationRotation(long interfaceOrientation) {
    // Columns are the images of the camera's x and y axes in view axes.
    float c = 1, s = 0;
    switch (interfaceOrientation) {
        case 1:
            c = 0;
            s = -1;
            break;  // portrait: -90 degrees
        case 2:
            c = 0;
            s = 1;
            break;  // portrait upside down: +90 degrees
        case 4:
            c = -1;
            s = 0;
            break;  // landscape left: 180 degrees
        default:
            break;  // landscape right (sensor orientation)
    }
    float4x4 r = float4x4::identity();
    r.m(0, 0) = c;
    r.m(0, 1) = s;
    r.m(1, 0) = -s;
    r.m(1, 1) = c;
    return r;
}

AffineTransform imageToTurnedImage(long interfaceOrientation, Size imageSize, Size* turnedSize) {
    const double w = imageSize.width, h = imageSize.height;
    AffineTransform t;
    Size turned{w, h};
    switch (interfaceOrientation) {
        case 1:  // u' = h - v, v' = u
            t = {0, 1, -1, 0, h, 0};
            turned = {h, w};
            break;
        case 2:  // u' = v, v' = w - u
            t = {0, -1, 1, 0, 0, w};
            turned = {h, w};
            break;
        case 4:  // u' = w - u, v' = h - v
            t = {-1, 0, 0, -1, w, h};
            break;
        default:
            break;
    }
    if (turnedSize) *turnedSize = turned;
    return t;
}

AffineTransform imageToViewport(long interfaceOrientation, Size imageSize, Size viewportSize) {
    Size turned;
    AffineTransform toTurned = imageToTurnedImage(interfaceOrientation, imageSize, &turned);
    Size view = usableViewport(viewportSize, turned);
    double s = std::max(view.width / turned.width, view.height / turned.height);
    AffineTransform fill{s, 0, 0, s, (view.width - s * turned.width) / 2, (view.height - s * turned.height) / 2};
    return toTurned.concat(fill);
}

float4x4 viewMatrixForOrientation(const float4x4& cameraTransform, long interfaceOrientation) {
    return orientationRotation(interfaceOrientation) * inverse(cameraTransform);
}

float4x4 projectionMatrixForOrientation(const CameraIntrinsics& k, Size imageSize, long interfaceOrientation,
                                        Size viewportSize, float zNear, float zFar) {
    Size turned;
    AffineTransform toTurned = imageToTurnedImage(interfaceOrientation, imageSize, &turned);
    Size view = usableViewport(viewportSize, turned);
    AffineTransform toView = imageToViewport(interfaceOrientation, imageSize, view);
    const bool swapped = toTurned.a == 0;
    const double fx = swapped ? k.fy : k.fx;  // focal lengths along the view's x and y
    const double fy = swapped ? k.fx : k.fy;
    const double s = std::max(view.width / turned.width, view.height / turned.height);
    double px, py;  // the principal point in viewport points
    toView.apply(k.cx, k.cy, px, py);

    float4x4 p;
    p.m(0, 0) = static_cast<float>(2 * s * fx / view.width);
    p.m(1, 1) = static_cast<float>(2 * s * fy / view.height);
    p.m(2, 0) = static_cast<float>(1 - 2 * px / view.width);
    p.m(2, 1) = static_cast<float>(2 * py / view.height - 1);
    p.m(2, 3) = -1;
    const double n = zNear, f = zFar;
    if (f != n) {
        p.m(2, 2) = static_cast<float>(-(f + n) / (f - n));
        p.m(3, 2) = static_cast<float>(-2 * f * n / (f - n));
    } else {
        p.m(2, 2) = -1;
        p.m(3, 2) = static_cast<float>(-2 * n);
    }
    return p;
}

AffineTransform displayTransformForOrientation(Size imageSize, long interfaceOrientation, Size viewportSize) {
    Size turned;
    imageToTurnedImage(interfaceOrientation, imageSize, &turned);
    Size view = usableViewport(viewportSize, turned);
    AffineTransform fromNormalised{imageSize.width, 0, 0, imageSize.height, 0, 0};
    AffineTransform toNormalised{1 / view.width, 0, 0, 1 / view.height, 0, 0};
    return fromNormalised.concat(imageToViewport(interfaceOrientation, imageSize, view)).concat(toNormalised);
}

bool projectCameraPoint(const CameraIntrinsics& k, float3 p, float2& pixel) {
    if (!(p.z < 0)) return false;
    pixel.x = k.cx + k.fx * p.x / -p.z;
    pixel.y = k.cy - k.fy * p.y / -p.z;
    return true;
}

float4x4 SimCamera::viewMatrixForOrientation(long interfaceOrientation) const {
    return sim::viewMatrixForOrientation(transform_, interfaceOrientation);
}

float4x4 SimCamera::projectionMatrixForOrientation(long interfaceOrientation, Size viewportSize, float zNear,
                                                   float zFar) const {
    return sim::projectionMatrixForOrientation(intrinsics_, imageSize_, interfaceOrientation, viewportSize, zNear,
                                               zFar);
}

AffineTransform SimFrame::displayTransformForOrientation(long interfaceOrientation, Size viewportSize) const {
    return sim::displayTransformForOrientation(camera_->imageResolution(), interfaceOrientation, viewportSize);
}

}  // namespace tevra::sim
