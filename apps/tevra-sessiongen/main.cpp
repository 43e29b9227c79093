// tevra-sessiongen: writes a small simulated AR session (session.json and one
// JPEG per frame) for the replay driver and the tests.
//
// The scene is a room 5 m wide, 2.6 m high and 7.5 m deep: a checkered floor,
// walls shaded by height with vertical stripes, a plain ceiling. The camera
// is held 1.4 m above the floor, tilted 20 degrees down, walks forward along
// -z and yaws slightly from side to side. Tracking is limited (initializing)
// for the first quarter of a second, then normal; a floor plane is detected
// after a third of the frames and grows as the camera walks on.
//
// Usage: tevra-sessiongen OUTPUT_DIR [--frames N] [--width W] [--height H]
//                         [--fps F] [--quality Q]
// Defaults: 30 frames of 320 x 240 at 30 frames per second, JPEG quality 80.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "math/Simd.h"
#include "platform/ARSession.h"
#include "platform/sim/SessionWriter.h"

using namespace tevra;
using namespace tevra::sim;

namespace {

struct Options {
    std::string output;
    int frames = 30, width = 320, height = 240, quality = 80;
    double fps = 30;
};

bool parseInt(const char* text, int lo, int hi, int& out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!end || *end || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

bool parseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](int lo, int hi, int& out) { return i + 1 < argc && parseInt(argv[++i], lo, hi, out); };
        if (a == "--frames") {
            if (!next(1, 100000, o.frames)) return false;
        } else if (a == "--width") {
            if (!next(16, 8192, o.width)) return false;
        } else if (a == "--height") {
            if (!next(16, 8192, o.height)) return false;
        } else if (a == "--quality") {
            if (!next(1, 100, o.quality)) return false;
        } else if (a == "--fps") {
            int fps = 0;
            if (!next(1, 240, fps)) return false;
            o.fps = fps;
        } else if (!a.empty() && a[0] != '-' && o.output.empty()) {
            o.output = a;
        } else {
            return false;
        }
    }
    return !o.output.empty();
}

struct Rgb {
    double r, g, b;
};

// Colour of the room where a ray from `o` along `d` (world space) leaves it.
Rgb shade(const float3& o, const float3& d) {
    const double lo[3] = {-2.5, 0.0, -6.0}, hi[3] = {2.5, 2.6, 1.5};
    const double org[3] = {o.x, o.y, o.z}, dir[3] = {d.x, d.y, d.z};
    double best = 1e30;
    int axis = 0;
    bool positive = false;
    for (int k = 0; k < 3; ++k) {
        if (std::fabs(dir[k]) < 1e-12) continue;
        double t = ((dir[k] > 0 ? hi[k] : lo[k]) - org[k]) / dir[k];
        if (t > 0 && t < best) {
            best = t;
            axis = k;
            positive = dir[k] > 0;
        }
    }
    const double x = org[0] + best * dir[0], y = org[1] + best * dir[1], z = org[2] + best * dir[2];
    const double fog = std::exp(-best * 0.08);
    Rgb c{};
    if (axis == 1 && !positive) {  // floor: 0.5 m tiles
        bool dark = (static_cast<int>(std::floor(x * 2)) + static_cast<int>(std::floor(z * 2))) & 1;
        c = dark ? Rgb{0.42, 0.30, 0.20} : Rgb{0.72, 0.58, 0.40};
    } else if (axis == 1) {  // ceiling
        c = {0.92, 0.92, 0.90};
    } else {  // walls: darker near the floor, a stripe every metre
        double along = axis == 0 ? z : x;
        double h = y / hi[1];
        c = {0.35 + 0.45 * h, 0.45 + 0.35 * h, 0.65 + 0.25 * h};
        if (std::fabs(along - std::round(along)) < 0.04) c = {0.15, 0.15, 0.2};
        if (axis == 2 && !positive) c.r = std::min(1.0, c.r + 0.25);  // the far wall is warmer
    }
    return {c.r * fog + 0.5 * (1 - fog), c.g * fog + 0.5 * (1 - fog), c.b * fog + 0.5 * (1 - fog)};
}

void render(const float4x4& cameraToWorld, const CameraIntrinsics& k, int w, int h, std::vector<uint8_t>& rgb) {
    rgb.resize(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
    const float3 origin{cameraToWorld.m(3, 0), cameraToWorld.m(3, 1), cameraToWorld.m(3, 2)};
    for (int v = 0; v < h; ++v) {
        for (int u = 0; u < w; ++u) {
            // Camera-space ray through the pixel centre: x right, y up, -z ahead.
            float4 dc{(u + 0.5f - k.cx) / k.fx, -(v + 0.5f - k.cy) / k.fy, -1.0f, 0.0f};
            float4 dw = cameraToWorld * dc;
            Rgb c = shade(origin, {dw.x, dw.y, dw.z});
            uint8_t* p = &rgb[(static_cast<size_t>(v) * w + u) * 3];
            p[0] = static_cast<uint8_t>(std::clamp(c.r, 0.0, 1.0) * 255 + 0.5);
            p[1] = static_cast<uint8_t>(std::clamp(c.g, 0.0, 1.0) * 255 + 0.5);
            p[2] = static_cast<uint8_t>(std::clamp(c.b, 0.0, 1.0) * 255 + 0.5);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseArgs(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: tevra-sessiongen OUTPUT_DIR [--frames N] [--width W] [--height H] [--fps F] "
                     "[--quality Q]\n");
        return 2;
    }
    // About 63 degrees of horizontal field of view, principal point slightly
    // off centre as on a real sensor.
    const float f = 0.8125f * static_cast<float>(o.width);
    const CameraIntrinsics k{f, f, 0.495f * static_cast<float>(o.width), 0.507f * static_cast<float>(o.height)};
    SessionWriter writer(o.output, o.width, o.height, k, o.quality);

    const int limitedFrames = std::max(1, static_cast<int>(std::lround(o.fps / 4)));
    const int planeFrame = o.frames / 3;
    std::vector<uint8_t> rgb;
    std::string error;
    for (int i = 0; i < o.frames; ++i) {
        const double t = i / o.fps;
        const float yaw = 0.12f * static_cast<float>(std::sin(t * 2.0));
        const float pitch = -0.35f;
        const float walked = 0.9f * static_cast<float>(t);  // 0.9 m/s along -z
        RecordedFrame frame;
        frame.timestamp = 1.0 + t;
        frame.transform = float4x4::translation(0.05f * static_cast<float>(std::sin(t * 3.0)), 1.4f, -walked) *
                          rotationY(yaw) * rotationX(pitch);
        frame.intrinsics = k;
        if (i < limitedFrames) {
            frame.trackingState = ARTrackingStateLimited;
            frame.trackingStateReason = ARTrackingStateReasonInitializing;
        } else {
            frame.trackingState = ARTrackingStateNormal;
            frame.trackingStateReason = ARTrackingStateReasonNone;
        }
        if (i >= planeFrame && (i == planeFrame || (i - planeFrame) % 2 == 0)) {
            // The floor patch ahead of the camera, growing as more is seen.
            const float grown = 0.6f + 0.08f * static_cast<float>(i - planeFrame);
            PlaneChange c;
            c.kind = i == planeFrame ? PlaneChangeKind::Add : PlaneChangeKind::Update;
            c.id = "floor";
            c.transform = float4x4::translation(0.0f, 0.0f, -1.6f);
            c.center = {0.0f, 0.0f, 0.0f - 0.04f * static_cast<float>(i - planeFrame)};
            c.extent = {grown * 1.3f, 0.0f, grown};
            frame.planeChanges.push_back(c);
        }
        render(frame.transform, k, o.width, o.height, rgb);
        if (!writer.addFrame(frame, rgb.data(), static_cast<size_t>(o.width) * 3, error)) {
            std::fprintf(stderr, "tevra-sessiongen: %s\n", error.c_str());
            return 1;
        }
    }
    if (!writer.finish(error)) {
        std::fprintf(stderr, "tevra-sessiongen: %s\n", error.c_str());
        return 1;
    }
    std::printf("wrote %d frames of %dx%d to %s\n", o.frames, o.width, o.height, o.output.c_str());
    return 0;
}
