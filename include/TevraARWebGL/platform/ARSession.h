// The world-tracking AR session: configuration, run options, frames, camera,
// anchors, plane anchors and the delegate.
//
// Conventions: right-handed world with y up; the camera looks down -z with +x
// to the right and +y up in the sensor's landscape image. Matrices are
// column-major. The captured image is a "420f" pixel buffer in sensor
// (landscape) orientation.
// Threads: the session has no delegate queue; every delegate callback arrives
// on the main thread. run/pause/addAnchor/removeAnchor are main-thread calls.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "math/Simd.h"
#include "base/Error.h"
#include "platform/PixelBuffer.h"

namespace tevra {

enum ARPlaneDetection : unsigned long {
    ARPlaneDetectionNone = 0,
    ARPlaneDetectionHorizontal = 1,
    ARPlaneDetectionVertical = 2
};
enum ARSessionRunOptions : unsigned long {
    ARSessionRunOptionResetTracking = 1,
    ARSessionRunOptionRemoveExistingAnchors = 2,
};

enum ARTrackingState : long { ARTrackingStateNotAvailable = 0, ARTrackingStateLimited = 1, ARTrackingStateNormal = 2 };
enum ARTrackingStateReason : long {
    ARTrackingStateReasonNone = 0,
    ARTrackingStateReasonInitializing = 1,
    ARTrackingStateReasonExcessiveMotion = 2,
    ARTrackingStateReasonInsufficientFeatures = 3,
    ARTrackingStateReasonRelocalizing = 4,
};

struct ARWorldTrackingConfiguration {
    unsigned long planeDetection = ARPlaneDetectionNone;
};

// An anchor: a fixed pose in the world with a UUID identity.
class ARAnchor {
public:
    ARAnchor(std::string uuid, const float4x4& transform) : identifier_(std::move(uuid)), transform_(transform) {}
    virtual ~ARAnchor() = default;
    // The identifier as canonical upper-case UUID text.
    const std::string& identifier() const { return identifier_; }
    const float4x4& transform() const { return transform_; }
    void setTransform(const float4x4& t) { transform_ = t; }
    virtual bool isPlaneAnchor() const { return false; }

private:
    std::string identifier_;
    float4x4 transform_;
};

// A detected horizontal plane: centre and extent in the anchor's own axes.
class ARPlaneAnchor : public ARAnchor {
public:
    ARPlaneAnchor(std::string uuid, const float4x4& transform, float3 center, float3 extent)
        : ARAnchor(std::move(uuid), transform), center_(center), extent_(extent) {}
    bool isPlaneAnchor() const override { return true; }
    const float3& center() const { return center_; }
    const float3& extent() const { return extent_; }
    void setCenter(float3 c) { center_ = c; }
    void setExtent(float3 e) { extent_ = e; }

private:
    float3 center_, extent_;
};

using ARAnchorList = std::vector<std::shared_ptr<ARAnchor>>;

class ARCamera {
public:
    virtual ~ARCamera() = default;
    // The camera's pose in world space (camera to world), sensor orientation.
    virtual float4x4 transform() const = 0;
    // World-to-camera matrix for an interface orientation.
    virtual float4x4 viewMatrixForOrientation(long interfaceOrientation) const = 0;
    // Projection for an interface orientation and a viewport in points.
    virtual float4x4 projectionMatrixForOrientation(long interfaceOrientation, Size viewportSize, float zNear,
                                                    float zFar) const = 0;
    virtual long trackingState() const = 0;
    virtual long trackingStateReason() const = 0;
    // K with K[row][col]: K[0][0] = fx, K[1][1] = fy, K[0][2] = cx, K[1][2] = cy,
    // in pixels of the captured image.
    virtual float3x3 intrinsics() const = 0;
    // Size of the captured image in pixels (landscape).
    virtual Size imageResolution() const = 0;
};

class ARFrame {
public:
    virtual ~ARFrame() = default;
    virtual double timestamp() const = 0;
    virtual std::shared_ptr<ARCamera> camera() const = 0;
    // The captured camera image ("420f"); may be null.
    virtual PixelBufferRef capturedImage() const = 0;
    virtual ARAnchorList anchors() const = 0;
    // Affine transform from normalised image coordinates (0..1, v downwards)
    // to normalised view coordinates, for an orientation and viewport.
    virtual AffineTransform displayTransformForOrientation(long interfaceOrientation, Size viewportSize) const = 0;
    // Ambient light intensity in lumens (1000 = neutral).
    virtual double ambientIntensity() const { return 1000.0; }
};

class ARSessionDelegate {
public:
    virtual ~ARSessionDelegate() = default;
    virtual void sessionDidUpdateFrame(class ARSession& session, const std::shared_ptr<ARFrame>& frame) = 0;
    virtual void sessionDidAddAnchors(ARSession& session, const ARAnchorList& anchors) = 0;
    virtual void sessionDidUpdateAnchors(ARSession& session, const ARAnchorList& anchors) = 0;
    virtual void sessionDidRemoveAnchors(ARSession& session, const ARAnchorList& anchors) = 0;
    virtual void sessionCameraDidChangeTrackingState(ARSession& session, const std::shared_ptr<ARCamera>& camera) = 0;
    virtual void sessionDidFailWithError(ARSession& session, const Error& error) = 0;
    virtual void sessionWasInterrupted(ARSession& session) = 0;
    virtual void sessionInterruptionEnded(ARSession& session) = 0;
};

class ARSession {
public:
    virtual ~ARSession() = default;
    // The delegate is held weakly.
    virtual void setDelegate(std::weak_ptr<ARSessionDelegate> delegate) = 0;
    // Starts or restarts tracking. Main thread.
    virtual void runWithConfiguration(const ARWorldTrackingConfiguration& configuration, unsigned long options) = 0;
    virtual void pause() = 0;
    // The newest frame, or null before the first one.
    virtual std::shared_ptr<ARFrame> currentFrame() const = 0;
    virtual void addAnchor(const std::shared_ptr<ARAnchor>& anchor) = 0;
    virtual void removeAnchor(const std::shared_ptr<ARAnchor>& anchor) = 0;
};

}  // namespace tevra
