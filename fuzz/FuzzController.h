// A controller on the fake platform for fuzz targets, and the invariant the
// message handlers must keep: the three anchor maps agree with each other.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "TevraARWebGL/Globals.h"
#include "bridge/ViewControllerSDK.h"
#include "platform/HttpClient.h"
#include "platform/fake/FakePlatform.h"

namespace tevra::fuzz {

// An HTTP client that keeps every request until the fuzz target answers it:
// failAll() fails them all, as a network with no route would.
class HoldingHttpClient : public HttpClient {
public:
    void dataTask(HttpRequest request, DataCompletion completion) override {
        ++requests;
        lastBody = std::move(request.body);
        data_.push_back(std::move(completion));
    }
    void downloadTask(const std::string&, DownloadCompletion completion) override {
        ++requests;
        downloads_.push_back(std::move(completion));
    }
    void failAll() {
        // Completions may ask again; answer until nothing is left.
        while (!data_.empty() || !downloads_.empty()) {
            auto data = std::move(data_);
            auto downloads = std::move(downloads_);
            data_.clear();
            downloads_.clear();
            Error e{"NSURLErrorDomain", -1009, "The Internet connection appears to be offline."};
            for (auto& c : data) c(std::nullopt, std::nullopt, e);
            for (auto& c : downloads) c(std::nullopt, std::nullopt, e);
        }
    }
    size_t requests = 0;
    std::string lastBody;

private:
    std::vector<DataCompletion> data_;
    std::vector<DownloadCompletion> downloads_;
};

struct FuzzController {
    std::shared_ptr<fake::FakePlatform> fake = fake::FakePlatform::install();
    std::shared_ptr<View> host = std::make_shared<View>(Rect{0, 0, 390, 844});
    std::shared_ptr<ViewControllerSDK> vc =
        ViewControllerSDK::initWithView(host, fake->views->makeHostWebView({0, 0, 390, 844}));
    // Requests wait here instead of piling up in the recording fake.
    std::shared_ptr<HoldingHttpClient> http = [this] {
        auto h = std::make_shared<HoldingHttpClient>();
        fake->platform->http = h;
        return h;
    }();

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

    // Starts an input from a clean session: no anchors in the session or the
    // maps. A restart alone empties only the maps; the session keeps what was
    // added to it, so without this every input would carry (and re-format)
    // the anchors of all earlier ones and memory would grow without bound.
    void reset() {
        auto session = fake->ar->lastSession();
        const ARAnchorList all = session->anchors();
        for (const auto& anchor : all) session->removeAnchor(anchor);
        vc->restartSession();
        trim();
    }

    // Drops what the fakes recorded for the last input.
    void trim() {
        http->failAll();
        fake->dispatch->drainAll();
        fake->log->clear();
        fake->transcript->clear();
        fake->haptics->clear();
        fake->views->lastWebView()->clearRecords();
    }
};

}  // namespace tevra::fuzz
