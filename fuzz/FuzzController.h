// A controller on the fake platform for fuzz targets, and the invariant the
// message handlers must keep: the three anchor maps agree with each other.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "TevraARWebGL/Globals.h"
#include "bridge/ViewControllerSDK.h"
#include "platform/fake/FakePlatform.h"

namespace tevra::fuzz {

struct FuzzController {
    std::shared_ptr<fake::FakePlatform> fake = fake::FakePlatform::install();
    std::shared_ptr<View> host = std::make_shared<View>(Rect{0, 0, 390, 844});
    std::shared_ptr<ViewControllerSDK> vc =
        ViewControllerSDK::initWithView(host, fake->views->makeHostWebView({0, 0, 390, 844}));

    void post(const char* channel, const nlohmann::json& body) {
        fake->views->lastWebView()->postMessage(channel, body);
        fake->dispatch->drainAll();
    }

    void checkInvariants() const {
        const auto& a = vc->anchors;
        const auto& js = vc->jsAnchorIdsToObjCAnchorIds;
        const auto& objc = vc->objCAnchorIdsToJSAnchorIds;
        bool ok = a.size() == js.size();
        for (const auto& [pageId, anchor] : a) {
            auto it = js.find(pageId);
            ok = ok && anchor && it != js.end() && it->second == anchor->identifier();
            auto back = objc.find(anchor->identifier());
            ok = ok && back != objc.end() && back->second == pageId;
        }
        ok = ok && objc.size() <= fake->ar->lastSession()->anchors().size() + a.size();
        if (!ok) {
            std::fprintf(stderr, "anchor maps out of step\n");
            std::abort();
        }
        if (!(cameraFrameJpegCompressionFactor >= 0.0f && cameraFrameJpegCompressionFactor <= 1.0f) ||
            targetFrameWidth < 1 || targetFrameHeight < 1) {
            std::fprintf(stderr, "tuning global out of range\n");
            std::abort();
        }
    }

    void trim() {
        // Keep the session small so long runs stay fast.
        if (fake->ar->lastSession()->anchors().size() > 256) vc->restartSession();
        fake->log->clear();
        fake->transcript->clear();
        fake->views->lastWebView()->clearRecords();
    }
};

}  // namespace tevra::fuzz
