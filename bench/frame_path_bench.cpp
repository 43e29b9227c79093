// The per-frame path on the main thread with detection off: from the AR
// frame callback to the frame call queued for the page.
#include <benchmark/benchmark.h>

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

BENCHMARK_MAIN();
