/// @file
/// The world-tracking AR session: configuration, run options, frames, camera,
/// anchors, plane anchors and the delegate.
///
/// Conventions: right-handed world with y up; the camera looks down -z with +x
/// to the right and +y up in the sensor's landscape image. Matrices are
/// column-major. The captured image is a "420f" pixel buffer in sensor
/// (landscape) orientation.
/// Threads: the session has no delegate queue; every delegate callback arrives
/// on the main thread. run/pause/addAnchor/removeAnchor are main-thread calls.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "math/Simd.h"
#include "base/Error.h"
#include "platform/PixelBuffer.h"

namespace tevra {

/// Which planes a session detects (bits).
enum ARPlaneDetection : unsigned long {
    /// None.
    ARPlaneDetectionNone = 0,
    /// Horizontal planes.
    ARPlaneDetectionHorizontal = 1,
    /// Vertical planes.
    ARPlaneDetectionVertical = 2
};
/// Options of a run (bits).
enum ARSessionRunOptions : unsigned long {
    /// Starts tracking afresh (a simulated session starts again at its first frame).
    ARSessionRunOptionResetTracking = 1,
    /// Removes every anchor.
    ARSessionRunOptionRemoveExistingAnchors = 2,
};

/// The quality of tracking: ARTrackingStateNotAvailable (no pose),
/// ARTrackingStateLimited (a pose of doubtful quality), ARTrackingStateNormal.
enum ARTrackingState : long { ARTrackingStateNotAvailable = 0, ARTrackingStateLimited = 1, ARTrackingStateNormal = 2 };
/// Why tracking is limited.
enum ARTrackingStateReason : long {
    /// Not limited.
    ARTrackingStateReasonNone = 0,
    /// The session is starting.
    ARTrackingStateReasonInitializing = 1,
    /// The device moves too fast.
    ARTrackingStateReasonExcessiveMotion = 2,
    /// The scene shows too little detail.
    ARTrackingStateReasonInsufficientFeatures = 3,
    /// The session is recovering after an interruption.
    ARTrackingStateReasonRelocalizing = 4,
};

/// The configuration of a world-tracking run.
struct ARWorldTrackingConfiguration {
    /// ARPlaneDetection bits.
    unsigned long planeDetection = ARPlaneDetectionNone;
};

/// An anchor: a fixed pose in the world with a UUID identity.
class ARAnchor {
public:
    /// An anchor with the identifier `uuid` at `transform` (anchor to world).
    ARAnchor(std::string uuid, const float4x4& transform) : identifier_(std::move(uuid)), transform_(transform) {}
    virtual ~ARAnchor() = default;
    /// The identifier as canonical upper-case UUID text.
    const std::string& identifier() const { return identifier_; }
    /// The pose (anchor to world).
    const float4x4& transform() const { return transform_; }
    /// Moves the anchor.
    void setTransform(const float4x4& t) { transform_ = t; }
    /// True for an ARPlaneAnchor.
    virtual bool isPlaneAnchor() const { return false; }

private:
    std::string identifier_;
    float4x4 transform_;
};

/// A detected horizontal plane: centre and extent in the anchor's own axes.
class ARPlaneAnchor : public ARAnchor {
public:
    /// A plane anchor with its pose, centre and extent.
    ARPlaneAnchor(std::string uuid, const float4x4& transform, float3 center, float3 extent)
        : ARAnchor(std::move(uuid), transform), center_(center), extent_(extent) {}
    /// True.
    bool isPlaneAnchor() const override { return true; }
    /// The plane's centre in the anchor's axes.
    const float3& center() const { return center_; }
    /// The plane's size: x and z are the rectangle's sides.
    const float3& extent() const { return extent_; }
    /// Moves the centre.
    void setCenter(float3 c) { center_ = c; }
    /// Resizes the plane.
    void setExtent(float3 e) { extent_ = e; }

private:
    float3 center_, extent_;
};

/// A list of anchors.
using ARAnchorList = std::vector<std::shared_ptr<ARAnchor>>;

/// The camera of a frame: pose, tracking state, intrinsics and the matrices
/// for an interface orientation.
class ARCamera {
public:
    virtual ~ARCamera() = default;
    /// The camera's pose in world space (camera to world), sensor orientation.
    virtual float4x4 transform() const = 0;
    /// World-to-camera matrix for an interface orientation.
    virtual float4x4 viewMatrixForOrientation(long interfaceOrientation) const = 0;
    /// Projection for an interface orientation and a viewport in points.
    virtual float4x4 projectionMatrixForOrientation(long interfaceOrientation, Size viewportSize, float zNear,
                                                    float zFar) const = 0;
    /// The tracking state (ARTrackingState).
    virtual long trackingState() const = 0;
    /// Why tracking is limited (ARTrackingStateReason).
    virtual long trackingStateReason() const = 0;
    /// K with K[row][col]: K[0][0] = fx, K[1][1] = fy, K[0][2] = cx, K[1][2] = cy,
    /// in pixels of the captured image.
    virtual float3x3 intrinsics() const = 0;
    /// Size of the captured image in pixels (landscape).
    virtual Size imageResolution() const = 0;
};

/// One frame of the session: time, camera, image and anchors.
class ARFrame {
public:
    virtual ~ARFrame() = default;
    /// Seconds on the session's clock.
    virtual double timestamp() const = 0;
    /// The camera at this frame.
    virtual std::shared_ptr<ARCamera> camera() const = 0;
    /// The captured camera image ("420f"); may be null.
    virtual PixelBufferRef capturedImage() const = 0;
    /// Every anchor alive at this frame.
    virtual ARAnchorList anchors() const = 0;
    /// Affine transform from normalised image coordinates (0..1, v downwards)
    /// to normalised view coordinates, for an orientation and viewport.
    virtual AffineTransform displayTransformForOrientation(long interfaceOrientation, Size viewportSize) const = 0;
    /// Ambient light intensity in lumens (1000 = neutral).
    virtual double ambientIntensity() const { return 1000.0; }
};

/// Told what the session sees, on the main thread.
class ARSessionDelegate {
public:
    virtual ~ARSessionDelegate() = default;
    /// A new frame, already the session's current one.
    virtual void sessionDidUpdateFrame(class ARSession& session, const std::shared_ptr<ARFrame>& frame) = 0;
    /// Anchors that appeared.
    virtual void sessionDidAddAnchors(ARSession& session, const ARAnchorList& anchors) = 0;
    /// Anchors that changed.
    virtual void sessionDidUpdateAnchors(ARSession& session, const ARAnchorList& anchors) = 0;
    /// Anchors that are gone.
    virtual void sessionDidRemoveAnchors(ARSession& session, const ARAnchorList& anchors) = 0;
    /// The camera's tracking state or its reason changed.
    virtual void sessionCameraDidChangeTrackingState(ARSession& session, const std::shared_ptr<ARCamera>& camera) = 0;
    /// The session stopped with an error.
    virtual void sessionDidFailWithError(ARSession& session, const Error& error) = 0;
    /// The session stopped delivering frames for a while.
    virtual void sessionWasInterrupted(ARSession& session) = 0;
    /// Frames come again after an interruption.
    virtual void sessionInterruptionEnded(ARSession& session) = 0;
};

/// A world-tracking AR session.
class ARSession {
public:
    virtual ~ARSession() = default;
    /// The delegate is held weakly.
    virtual void setDelegate(std::weak_ptr<ARSessionDelegate> delegate) = 0;
    /// Starts or restarts tracking. Main thread.
    virtual void runWithConfiguration(const ARWorldTrackingConfiguration& configuration, unsigned long options) = 0;
    /// Stops tracking until the next run. Main thread.
    virtual void pause() = 0;
    /// The newest frame, or null before the first one.
    virtual std::shared_ptr<ARFrame> currentFrame() const = 0;
    /// Adds an anchor of the caller's; the delegate is told. Main thread.
    virtual void addAnchor(const std::shared_ptr<ARAnchor>& anchor) = 0;
    /// Removes an anchor by identifier; the delegate is told. Main thread.
    virtual void removeAnchor(const std::shared_ptr<ARAnchor>& anchor) = 0;
};

}  // namespace tevra
