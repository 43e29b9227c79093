// The pose smoother: a one-euro filter (a first-order low-pass whose cut-off
// rises with the filtered speed) on the position, and the same on the
// rotation, with slerp for the blend and the angle between rotations for the
// speed.
//
// Tuning, at 30 poses a second: a still camera gets a cut-off near
// kMinCutoff, which takes most of the tracker's millimetre jitter away; at
// 1 m/s the cut-off is about 20 Hz, a lag of well under a centimetre.
#include <algorithm>
#include <cmath>

#include "platform/live/MarkerTracker.h"

namespace tevra::live {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Cut-off (Hz) of a still pose.
constexpr double kMinCutoff = 0.5;
// Cut-off rise per m/s of position speed and per rad/s of rotation speed,
// above the speeds the tracker's own jitter makes of a still pose.
constexpr float kPositionBeta = 30, kPositionNoiseSpeed = 0.05f;
constexpr float kRotationBeta = 12, kRotationNoiseSpeed = 0.15f;
// Cut-off (Hz) of the speed estimates themselves.
constexpr double kSpeedCutoff = 1.0;
// Gaps longer than this (seconds) start afresh: the old pose is stale.
constexpr double kMaxGap = 1.0;

// Blend factor of a first-order low-pass of cut-off `hz` over `dt` seconds.
float alpha(double hz, double dt) {
    const double tau = 1.0 / (2 * kPi * hz);
    return static_cast<float>(1.0 / (1.0 + tau / dt));
}

float3 lerp(const float3& a, const float3& b, float t) {
    return {a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.z + (b.z - a.z) * t};
}

float length(const float3& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

float dot(const float4& a, const float4& b) { return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w; }

float4 normalized(const float4& q) {
    const float n = std::sqrt(dot(q, q));
    if (!(n > 0) || !std::isfinite(n)) return {0, 0, 0, 1};
    return {q.x / n, q.y / n, q.z / n, q.w / n};
}

float4 rotationOf(const float4x4& m) {
    const quatf q = simd_quaternion(m);
    return normalized({q.x, q.y, q.z, q.w});
}

// Spherical blend from a to b (unit, same hemisphere) by t.
float4 slerp(const float4& a, const float4& b, float t) {
    const float d = std::clamp(dot(a, b), -1.0f, 1.0f);
    if (d > 0.9995f) {
        return normalized({a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.z + (b.z - a.z) * t, a.w + (b.w - a.w) * t});
    }
    const float theta = std::acos(d);
    const float s = std::sin(theta);
    const float wa = std::sin((1 - t) * theta) / s, wb = std::sin(t * theta) / s;
    return normalized({a.x * wa + b.x * wb, a.y * wa + b.y * wb, a.z * wa + b.z * wb, a.w * wa + b.w * wb});
}

float4x4 poseMatrix(const float4& q, const float3& p) {
    const float x = q.x, y = q.y, z = q.z, w = q.w;
    float4x4 m = float4x4::identity();
    m.columns[0] = {1 - 2 * (y * y + z * z), 2 * (x * y + z * w), 2 * (x * z - y * w), 0};
    m.columns[1] = {2 * (x * y - z * w), 1 - 2 * (x * x + z * z), 2 * (y * z + x * w), 0};
    m.columns[2] = {2 * (x * z + y * w), 2 * (y * z - x * w), 1 - 2 * (x * x + y * y), 0};
    m.columns[3] = {p.x, p.y, p.z, 1};
    return m;
}

bool finitePose(const float4x4& m) {
    for (float e : m.elements())
        if (!std::isfinite(e)) return false;
    return true;
}

}  // namespace

float4x4 PoseSmoother::filter(const float4x4& cameraToWorld, double timestamp) {
    if (!finitePose(cameraToWorld)) return cameraToWorld;
    const float3 position{cameraToWorld.m(3, 0), cameraToWorld.m(3, 1), cameraToWorld.m(3, 2)};
    float4 rotation = rotationOf(cameraToWorld);
    const double dt = timestamp - lastTime_;
    if (!primed_ || !std::isfinite(timestamp) || !(dt > 0) || dt > kMaxGap) {
        primed_ = std::isfinite(timestamp);
        lastTime_ = timestamp;
        position_ = position;
        velocity_ = {};
        rotation_ = rotation;
        angularSpeed_ = 0;
        return cameraToWorld;
    }
    lastTime_ = timestamp;

    // Position: the speed from the step towards the raw pose, low-passed,
    // sets the cut-off of the pose's own low-pass.
    const auto inv = static_cast<float>(1 / dt);
    const float3 rawVelocity{(position.x - position_.x) * inv, (position.y - position_.y) * inv,
                             (position.z - position_.z) * inv};
    velocity_ = lerp(velocity_, rawVelocity, alpha(kSpeedCutoff, dt));
    position_ = lerp(position_, position,
                     alpha(kMinCutoff + kPositionBeta * std::max(0.0f, length(velocity_) - kPositionNoiseSpeed), dt));

    // Rotation: the same on the angle between the smoothed and raw rotations.
    if (dot(rotation_, rotation) < 0) rotation = {-rotation.x, -rotation.y, -rotation.z, -rotation.w};
    const float angle = 2 * std::acos(std::clamp(dot(rotation_, rotation), -1.0f, 1.0f));
    angularSpeed_ += (angle * inv - angularSpeed_) * alpha(kSpeedCutoff, dt);
    rotation_ = slerp(rotation_, rotation,
                      alpha(kMinCutoff + kRotationBeta * std::max(0.0f, angularSpeed_ - kRotationNoiseSpeed), dt));

    return poseMatrix(rotation_, position_);
}

void PoseSmoother::reset() {
    primed_ = false;
    lastTime_ = 0;
    position_ = {};
    velocity_ = {};
    rotation_ = {};
    angularSpeed_ = 0;
}

}  // namespace tevra::live
