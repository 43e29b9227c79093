/// @file
/// The simulated AR camera: a pinhole camera with intrinsics in pixels of the
/// captured (landscape, sensor-oriented) image, and the camera maths the AR
/// platform provides for an interface orientation: view matrix, projection
/// matrix and display transform.
///
/// Conventions: right-handed world with y up; in camera space the camera looks
/// down -z, +x is right and +y is up in the sensor image. Image pixels run
/// (u right, v down) over [0, width] x [0, height]; a camera-space point
/// (X, Y, Z) with Z < 0 lands on u = cx + fx * X / -Z, v = cy - fy * Y / -Z.
///
/// Interface orientations (codes as everywhere in the library):
/// @code{.unparsed}
///   3 landscape right: the sensor's own orientation (home side on the right);
///     the view equals the sensor image.
///   1 portrait: the image is turned a quarter turn clockwise on screen
///     (screen right = image up, screen down = image right).
///   2 portrait upside down: a quarter turn counter-clockwise.
///   4 landscape left: a half turn.
///   0 and anything else: treated as landscape right.
/// @endcode
/// The view matrix is R * inverse(camera transform), with R the rotation of the
/// orientation about z: identity (3), -90 degrees (1), +90 degrees (2), 180
/// degrees (4).
///
/// Viewports are aspect-filled: the turned image is scaled by
/// s = max(viewW / imageW', viewH / imageH') and centred, so it covers the
/// viewport and the longer side is cropped. Example: a 1920 x 1440 image in a
/// 390 x 844 portrait viewport is turned to 1440 x 1920, scaled by
/// 844 / 1920 = 0.4396 to 633 x 844 and cropped to the middle 390 points.
///
/// The projection matrix is the OpenGL-style one the page's WebGL renderer
/// takes: normalised device coordinates x right and y up in [-1, 1] over the
/// viewport, depth -1 at zNear and +1 at zFar.
///
/// Nothing here fails. A viewport with a zero, negative or non-finite side is
/// replaced by the turned image size; zNear == zFar gives an infinite far plane.
#pragma once

#include <memory>

#include "math/Simd.h"
#include "platform/ARSession.h"

/// Recorded AR sessions played as a live one: the simulated camera and session,
/// the recording format's reader and writer.
namespace tevra::sim {

/// A pinhole camera's intrinsics in pixels of the sensor image.
struct CameraIntrinsics {
    ///@{
    /// Focal lengths and principal point.
    float fx = 0, fy = 0, cx = 0, cy = 0;
    ///@}
    /// True when all four compare equal.
    bool operator==(const CameraIntrinsics& o) const { return fx == o.fx && fy == o.fy && cx == o.cx && cy == o.cy; }
};

/// K with K[row][col] stored column-major (columns[col][row]):
/// columns[0].x = fx, columns[1].y = fy, columns[2] = (cx, cy, 1).
float3x3 intrinsicsMatrix(const CameraIntrinsics& k);

/// Rotation about z that turns sensor camera axes into the view axes of an
/// interface orientation (exact 0 / +-1 entries).
float4x4 orientationRotation(long interfaceOrientation);

/// Maps a pixel (u, v) of the sensor image to the pixel of the image as turned
/// for the orientation; `turnedSize` receives the turned image size.
AffineTransform imageToTurnedImage(long interfaceOrientation, Size imageSize, Size* turnedSize = nullptr);

/// Maps a pixel of the sensor image to a point of the viewport (in points),
/// with the aspect-fill crop.
AffineTransform imageToViewport(long interfaceOrientation, Size imageSize, Size viewportSize);

/// The view matrix for an interface orientation: R * inverse(cameraTransform),
/// R as orientationRotation().
float4x4 viewMatrixForOrientation(const float4x4& cameraTransform, long interfaceOrientation);

/// The projection matrix for an interface orientation and a viewport in points,
/// from the intrinsics and the sensor image size, with the aspect-fill crop.
float4x4 projectionMatrixForOrientation(const CameraIntrinsics& k, Size imageSize, long interfaceOrientation,
                                        Size viewportSize, float zNear, float zFar);

/// From normalised image coordinates (0..1, v down) to normalised view
/// coordinates (0..1, v down).
AffineTransform displayTransformForOrientation(Size imageSize, long interfaceOrientation, Size viewportSize);

/// The image pixel a camera-space point projects to; false if the point is
/// not in front of the camera.
bool projectCameraPoint(const CameraIntrinsics& k, float3 cameraPoint, float2& pixel);

/// The camera of a simulated frame.
class SimCamera : public ARCamera {
public:
    /// A camera at `transform` (camera to world) with the given intrinsics, image size and tracking.
    SimCamera(const float4x4& transform, const CameraIntrinsics& intrinsics, Size imageSize, long trackingState,
              long trackingStateReason)
        : transform_(transform),
          intrinsics_(intrinsics),
          imageSize_(imageSize),
          state_(trackingState),
          reason_(trackingStateReason) {}

    float4x4 transform() const override { return transform_; }
    float4x4 viewMatrixForOrientation(long interfaceOrientation) const override;
    float4x4 projectionMatrixForOrientation(long interfaceOrientation, Size viewportSize, float zNear,
                                            float zFar) const override;
    long trackingState() const override { return state_; }
    long trackingStateReason() const override { return reason_; }
    float3x3 intrinsics() const override { return intrinsicsMatrix(intrinsics_); }
    Size imageResolution() const override { return imageSize_; }

    /// The intrinsics as recorded.
    const CameraIntrinsics& cameraIntrinsics() const { return intrinsics_; }

private:
    float4x4 transform_;
    CameraIntrinsics intrinsics_;
    Size imageSize_;
    long state_, reason_;
};

/// A simulated frame.
class SimFrame : public ARFrame {
public:
    /// A frame at `timestamp` seen by `camera`, with its image (may be null) and anchors.
    SimFrame(double timestamp, std::shared_ptr<SimCamera> camera, PixelBufferRef image, ARAnchorList anchors)
        : timestamp_(timestamp), camera_(std::move(camera)), image_(std::move(image)), anchors_(std::move(anchors)) {}

    double timestamp() const override { return timestamp_; }
    std::shared_ptr<ARCamera> camera() const override { return camera_; }
    PixelBufferRef capturedImage() const override { return image_; }
    ARAnchorList anchors() const override { return anchors_; }
    AffineTransform displayTransformForOrientation(long interfaceOrientation, Size viewportSize) const override;

private:
    double timestamp_;
    std::shared_ptr<SimCamera> camera_;
    PixelBufferRef image_;
    ARAnchorList anchors_;
};

}  // namespace tevra::sim
