// Speed of the VPS capture path on a 1920 x 1440 "420f" camera frame with the
// device held portrait (result 540 x 720), on the calling thread as the
// background queue runs it:
//   render 420f -> RGBA, turn upright, fit into 540 x 960 with the Lanczos-3
//   filter, JPEG at factor 0.9, intrinsics rewrite, multipart body.
// BM_FrameToMultipartBody makes the fitted upright image on the luma and
// chroma planes and hands them to the JPEG encoder as they are; the staged
// chain it replaces (render RGB, fit, encode RGB) is BM_FrameToMultipartBody_Staged.
// Each stage is also measured alone, next to the baselines it replaces (a
// full-size quarter turn before fitting). The fitting cases are labelled with
// the resampler's vector path.
// Run: ./build/capture_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cmath>

#include "capture/Image.h"
#include "capture/ImageContext.h"
#include "capture/ImageOps.h"
#include "capture/JpegEncoder.h"
#include "capture/VPSRequest.h"
#include "math/Lanczos.h"

using namespace tevra;

namespace {

constexpr size_t kW = 1920, kH = 1440;
const char* kMeta = R"({"a":1,"intrinsics":{"width":0},"b":"x","floor":3})";

// A camera-like scene: smooth shading, hard-edged blocks and a little sensor
// noise, with strides padded past the packed row.
PixelBufferRef makeCameraFrame() {
    PixelBufferRef frame = PixelBuffer::createWithPlanes(kW, kH, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange,
                                                         {{kW, kH, 2048, 1}, {kW / 2, kH / 2, 2048, 2}});
    uint32_t state = 12345;
    auto noise = [&] {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>(state >> 29) - 4;
    };
    uint8_t* y = frame->baseAddressOfPlane(0);
    for (size_t r = 0; r < kH; ++r)
        for (size_t c = 0; c < kW; ++c) {
            double v = 120 + 60 * std::sin(c / 97.0) * std::cos(r / 131.0);
            if (((c / 160) + (r / 120)) % 3 == 0) v += 50;
            y[r * 2048 + c] = static_cast<uint8_t>(std::clamp(static_cast<int>(v) + noise(), 0, 255));
        }
    uint8_t* uv = frame->baseAddressOfPlane(1);
    for (size_t r = 0; r < kH / 2; ++r)
        for (size_t c = 0; c < kW / 2; ++c) {
            uv[r * 2048 + 2 * c] = static_cast<uint8_t>(100 + c / 20);
            uv[r * 2048 + 2 * c + 1] = static_cast<uint8_t>(150 - r / 20);
        }
    return frame;
}

std::string stagedFrameToBody(PixelBuffer& frame, const ImageContext& context) {
    frame.lockBaseAddress(kCVPixelBufferLock_ReadOnly);
    auto bitmap = context.createCGImage(frame);
    frame.unlockBaseAddress(kCVPixelBufferLock_ReadOnly);
    auto image = Image::imageWithBitmap(bitmap, 1.0);
    auto upright = uprightImageForDeviceOrientation(*image, 1);
    auto fitted = resizeImageKeepAspect(*upright, {540, 960});
    auto jpeg = jpegRepresentation(*fitted, 0.9);
    auto rewritten = rewriteIntrinsics(kMeta, intrinsicsText(1440, 1920, 1490.5f, 1500.25f, 720.5f, 960.75f));
    return multipartBody(*jpeg, rewritten ? *rewritten : std::string());
}

std::string planesFrameToBody(PixelBuffer& frame) {
    auto planes = fittedUprightPlanes(frame, 1, {540, 960});
    auto jpeg = jpegRepresentation(*planes, 0.9);
    auto rewritten = rewriteIntrinsics(kMeta, intrinsicsText(1440, 1920, 1490.5f, 1500.25f, 720.5f, 960.75f));
    return multipartBody(*jpeg, rewritten ? *rewritten : std::string());
}

void BM_FrameToMultipartBody(benchmark::State& state) {
    PixelBufferRef frame = makeCameraFrame();
    size_t bytes = 0;
    for (auto _ : state) {
        std::string body = planesFrameToBody(*frame);
        bytes = body.size();
        benchmark::DoNotOptimize(body.data());
    }
    state.counters["body_bytes"] = static_cast<double>(bytes);
    state.SetLabel(std::string(lanczos::activePath()) + " baseline=BM_FrameToMultipartBody_Staged");
}
BENCHMARK(BM_FrameToMultipartBody)->Unit(benchmark::kMillisecond);

// Baseline: the full-size RGB image rendered, fitted and encoded.
void BM_FrameToMultipartBody_Staged(benchmark::State& state) {
    PixelBufferRef frame = makeCameraFrame();
    auto context = ImageContext::contextWithOptions();
    size_t bytes = 0;
    for (auto _ : state) {
        std::string body = stagedFrameToBody(*frame, *context);
        bytes = body.size();
        benchmark::DoNotOptimize(body.data());
    }
    state.counters["body_bytes"] = static_cast<double>(bytes);
    state.SetLabel(lanczos::activePath());
}
BENCHMARK(BM_FrameToMultipartBody_Staged)->Unit(benchmark::kMillisecond);

// The fitted upright planes alone, and their JPEG.
void BM_FitPlanesUpright(benchmark::State& state) {
    PixelBufferRef frame = makeCameraFrame();
    for (auto _ : state) {
        auto planes = fittedUprightPlanes(*frame, 1, {540, 960});
        benchmark::DoNotOptimize(planes->y.data());
    }
    state.SetLabel(lanczos::activePath());
}
BENCHMARK(BM_FitPlanesUpright)->Unit(benchmark::kMillisecond);

void BM_JpegFromPlanes540x720(benchmark::State& state) {
    PixelBufferRef frame = makeCameraFrame();
    auto planes = fittedUprightPlanes(*frame, 1, {540, 960});
    for (auto _ : state) {
        auto jpeg = jpegRepresentation(*planes, 0.9);
        benchmark::DoNotOptimize(jpeg->data());
    }
}
BENCHMARK(BM_JpegFromPlanes540x720)->Unit(benchmark::kMillisecond);

void BM_Render420f(benchmark::State& state) {
    PixelBufferRef frame = makeCameraFrame();
    auto context = ImageContext::contextWithOptions();
    for (auto _ : state) {
        auto bitmap = context->createCGImage(*frame);
        benchmark::DoNotOptimize(bitmap->pixels.data());
    }
}
BENCHMARK(BM_Render420f)->Unit(benchmark::kMillisecond);

std::shared_ptr<Image> renderedFrame() {
    PixelBufferRef frame = makeCameraFrame();
    return Image::imageWithBitmap(ImageContext::contextWithOptions()->createCGImage(*frame), 1.0);
}

// The upright image is only re-tagged; fitting scales the stored pixels and
// writes them turned upright (540 x 720) in the same pass.
void BM_UprightAndFit(benchmark::State& state) {
    auto image = renderedFrame();
    for (auto _ : state) {
        auto fitted = resizeImageKeepAspect(*uprightImageForDeviceOrientation(*image, 1), {540, 960});
        benchmark::DoNotOptimize(fitted->storedBitmap().pixels.data());
    }
    state.SetLabel(std::string(lanczos::activePath()) + " baseline=BM_Baseline_FullTurnThenFit");
}
BENCHMARK(BM_UprightAndFit)->Unit(benchmark::kMillisecond);

// Baseline: turning the full frame first, then fitting the upright pixels.
void BM_Baseline_FullTurnThenFit(benchmark::State& state) {
    auto image = renderedFrame();
    for (auto _ : state) {
        auto turned = rotateBitmap(image->storedBitmap(), 1);
        auto fitted = resizeImageKeepAspect(*Image::imageWithBitmap(turned, 1.0), {540, 960});
        benchmark::DoNotOptimize(fitted->storedBitmap().pixels.data());
    }
}
BENCHMARK(BM_Baseline_FullTurnThenFit)->Unit(benchmark::kMillisecond);

void BM_Jpeg540x720(benchmark::State& state) {
    auto fitted = resizeImageKeepAspect(*uprightImageForDeviceOrientation(*renderedFrame(), 1), {540, 960});
    size_t bytes = 0;
    for (auto _ : state) {
        auto jpeg = jpegRepresentation(*fitted, 0.9);
        bytes = jpeg->size();
        benchmark::DoNotOptimize(jpeg->data());
    }
    state.counters["jpeg_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Jpeg540x720)->Unit(benchmark::kMillisecond);

void BM_IntrinsicsRewriteAndBody(benchmark::State& state) {
    std::string jpeg(90000, 'j');
    for (auto _ : state) {
        auto rewritten = rewriteIntrinsics(kMeta, intrinsicsText(1440, 1920, 1490.5f, 1500.25f, 720.5f, 960.75f));
        std::string body = multipartBody(jpeg, rewritten ? *rewritten : std::string());
        benchmark::DoNotOptimize(body.data());
    }
}
BENCHMARK(BM_IntrinsicsRewriteAndBody)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
