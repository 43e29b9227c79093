// One anchor report as a session sends it while it tracks N planes and N
// page anchors at scattered poses: the work the anchor-event benchmarks grow.
#pragma once

#include <random>
#include <string>

#include "platform/ARSession.h"

namespace tevra::bench {

struct AnchorReport {
    ARAnchorList list;
    explicit AnchorReport(int n) {
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> pos(-20.0f, 20.0f), angle(-3.1f, 3.1f), size(0.1f, 8.0f);
        for (int i = 0; i < n; ++i) {
            float4x4 t = float4x4::translation(pos(rng), pos(rng) / 10, pos(rng)) * rotationY(angle(rng));
            list.push_back(std::make_shared<ARPlaneAnchor>(
                "P-" + std::to_string(i), t, float3{pos(rng) / 20, 0, pos(rng) / 20}, float3{size(rng), 0, size(rng)}));
        }
        for (int i = 0; i < n; ++i) {
            float4x4 t = float4x4::translation(pos(rng), pos(rng), pos(rng)) * rotationY(angle(rng));
            list.push_back(std::make_shared<ARAnchor>("A-" + std::to_string(i), t));
        }
    }
    // The page's anchors (the second half) under page ids 1000, 1001, ...
    template <typename Map>
    void namePageAnchors(Map& objCToJS, int n) const {
        for (int i = 0; i < n; ++i) objCToJS[list[static_cast<size_t>(n + i)]->identifier()] = std::to_string(1000 + i);
    }
};

}  // namespace tevra::bench
