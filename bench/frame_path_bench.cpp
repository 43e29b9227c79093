// The per-frame path on the main thread with detection off: from the AR
// frame callback to the frame call queued for the page.
//
// BM_AnchorEvents/N: one anchor report with N planes and N page anchors, as
// a session sends it each frame while it tracks them: both event texts
// written and handed to the page (the fake page keeps a copy, as the real
// one hands it to the engine). per_unit is the cost (seconds) per plane-and-anchor
// pair; it stays flat when the cost grows linearly. Target: <= 2 ms at 1000.
// BM_Baseline_AnchorEvents/N: the same numbers as a nlohmann::json document
// and its dump(), the library way to write that text.
//
// The fake page keeps three copies of every script it is handed (its record
// and its transcript), which the real page view does not make. With glibc's
// default trimming each half-megabyte copy is new memory faulted in page by
// page, and at 1000 planes those copies cost several times the controller's
// own work; so this program keeps freed memory for reuse (main() below), and
// the figures are the controller's writing plus three plain copies.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>

#include "AnchorReport.h"
#include "bridge/ViewControllerSDK.h"
#include "platform/fake/FakePlatform.h"

using namespace tevra;

static void BM_FrameCallbackToFrameCallQueued(benchmark::State& state) {
    auto fake = fake::FakePlatform::install();
    auto host = std::make_shared<View>(Rect{0, 0, 390, 844});
    auto vc = ViewControllerSDK::initWithView(host, fake->views->makeHostWebView({0, 0, 390, 844}));
    vc->viewWillAppear(false);
    auto frame = std::make_shared<fake::FakeARFrame>();
    frame->camera_->transform_ = float4x4::translation(0.1f, 1.4f, -0.3f) * rotationY(0.3f);
    frame->image_ = PixelBuffer::create(1920, 1440, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    auto& session = *fake->ar->lastSession();
    for (auto _ : state) {
        vc->sendARData = true;
        vc->sessionDidUpdateFrame(session, frame);
        state.PauseTiming();
        fake->dispatch->mainQueue().drain();
        fake->views->lastWebView()->clearRecords();
        fake->transcript->clear();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FrameCallbackToFrameCallQueued);

// The same callback when no frame is owed: only the detection hand-off.
static void BM_FrameCallbackNotOwed(benchmark::State& state) {
    auto fake = fake::FakePlatform::install();
    auto host = std::make_shared<View>(Rect{0, 0, 390, 844});
    auto vc = ViewControllerSDK::initWithView(host, fake->views->makeHostWebView({0, 0, 390, 844}));
    auto frame = std::make_shared<fake::FakeARFrame>();
    auto& session = *fake->ar->lastSession();
    for (auto _ : state) vc->sessionDidUpdateFrame(session, frame);
}
BENCHMARK(BM_FrameCallbackNotOwed);

using bench::AnchorReport;

static void BM_AnchorEvents(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    auto fake = fake::FakePlatform::install();
    auto host = std::make_shared<View>(Rect{0, 0, 390, 844});
    auto vc = ViewControllerSDK::initWithView(host, fake->views->makeHostWebView({0, 0, 390, 844}));
    vc->viewWillAppear(false);
    auto& session = *fake->ar->lastSession();
    AnchorReport report(n);
    // The page's anchors stand in the session under their page ids.
    report.namePageAnchors(vc->objCAnchorIdsToJSAnchorIds, n);
    auto& page = *fake->views->lastWebView();
    size_t bytes = 0;
    for (auto _ : state) {
        vc->sessionDidUpdateAnchors(session, report.list);
        state.PauseTiming();
        for (auto& script : page.evaluatedScripts()) bytes += script.size();
        page.clearRecords();
        fake->transcript->clear();
        fake->dispatch->mainQueue().drain();
        state.ResumeTiming();
    }
    state.counters["per_unit"] = benchmark::Counter(static_cast<double>(n) * state.iterations(),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["text_KB"] = static_cast<double>(bytes) / 1024 / std::max<double>(1, state.iterations());
}
BENCHMARK(BM_AnchorEvents)->RangeMultiplier(10)->Range(1, 1000)->Unit(benchmark::kMicrosecond);

static void BM_Baseline_AnchorEvents(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    AnchorReport report(n);
    for (auto _ : state) {
        nlohmann::json planes = nlohmann::json::array(), anchors = nlohmann::json::array();
        for (const auto& a : report.list) {
            auto m = a->transform().elements();
            nlohmann::json e = {{"modelMatrix", m}};
            if (a->isPlaneAnchor()) {
                const auto& p = static_cast<const ARPlaneAnchor&>(*a);
                float hx = p.extent().x / 2, hz = p.extent().z / 2;
                e["identifier"] = planes.size() + 1;
                e["extent"] = {p.extent().x, p.extent().z};
                e["vertices"] = {hx, 0.0f, hz, -hx, 0.0f, hz, -hx, 0.0f, -hz, hx, 0.0f, -hz};
                planes.push_back(std::move(e));
            } else {
                e["identifier"] = anchors.size() + 1000;
                anchors.push_back(std::move(e));
            }
        }
        std::string a = nlohmann::json{{"type", "planesupdated"}, {"planes", planes}}.dump();
        std::string b = nlohmann::json{{"type", "anchorsupdated"}, {"anchors", anchors}}.dump();
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
    }
    state.counters["per_unit"] = benchmark::Counter(static_cast<double>(n) * state.iterations(),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Baseline_AnchorEvents)->RangeMultiplier(10)->Range(1, 1000)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
