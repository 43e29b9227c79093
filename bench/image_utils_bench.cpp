// Speed of the detection pixel pipeline on a 1920 x 1440 "420f" camera frame
// with padded strides, each next to a baseline measured in the same run:
//   - the plain scalar conversion loop and the YUV library's own unclamped
//     conversion (native B, G, R, A order);
//   - the YUV library's quarter-turn rotation called directly;
//   - the YUV library's box downscale (fast, but it aliases);
//   - the three-step sign-stage preparation beside its one-pass form.
// Run: ./build/image_utils_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <string>
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <algorithm>
#include <cstring>

#include "detection/ImageUtils.h"
#include "math/Lanczos.h"

using namespace tevra;

namespace {

constexpr size_t kW = 1920, kH = 1440;

PixelBufferRef makeCameraFrame() {
    // Strides padded past the packed row, as camera buffers have them.
    PixelBufferRef frame = PixelBuffer::createWithPlanes(kW, kH, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange,
                                                         {{kW, kH, 2048, 1}, {kW / 2, kH / 2, 2048, 2}});
    uint32_t state = 12345;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return static_cast<uint8_t>(state >> 24);
    };
    for (size_t p = 0; p < 2; ++p) {
        uint8_t* base = frame->baseAddressOfPlane(p);
        for (size_t y = 0; y < frame->heightOfPlane(p); ++y)
            for (size_t x = 0; x < frame->bytesPerRowOfPlane(p); ++x)
                base[y * frame->bytesPerRowOfPlane(p) + x] = static_cast<uint8_t>((x * 7 + y * 3) ^ next());
    }
    return frame;
}

PixelBufferRef makeUprightARGB() {
    PixelBufferRef frame = makeCameraFrame();
    PixelBufferRef argb = convertNV12ToARGB(*frame);
    return counterDeviceRotation(*argb, 1);
}

inline uint8_t clampByte(float v) {
    v = std::min(std::max(v, 0.0f), 255.0f);
    return static_cast<uint8_t>(static_cast<int>(v + 0.5f));
}
inline int clampInt(int v, int lo, int hi) { return std::min(std::max(v, lo), hi); }

// Baseline: the formula as a plain per-pixel loop.
void BM_Baseline_ScalarConvert(benchmark::State& state) {
    PixelBufferRef frame = makeCameraFrame();
    PixelBufferRef out = PixelBuffer::create(kW, kH, kCVPixelFormatType_32ARGB);
    const uint8_t* yp = frame->baseAddressOfPlane(0);
    const uint8_t* uvp = frame->baseAddressOfPlane(1);
    const size_t ys = frame->bytesPerRowOfPlane(0), uvs = frame->bytesPerRowOfPlane(1);
    uint8_t* dst = out->baseAddress();
    const size_t ds = out->bytesPerRow();
    for (auto _ : state) {
        for (size_t y = 0; y < kH; ++y) {
            const uint8_t* __restrict lr = yp + y * ys;
            const uint8_t* __restrict cr = uvp + (y / 2) * uvs;
            uint8_t* __restrict o = dst + y * ds;
            for (size_t x = 0; x < kW; ++x) {
                const float l = 1.164384f * static_cast<float>(clampInt(lr[x], 16, 235) - 16);
                const float cb = static_cast<float>(clampInt(cr[x & ~size_t{1}], 16, 240) - 128);
                const float cv = static_cast<float>(clampInt(cr[x | 1], 16, 240) - 128);
                o[4 * x] = 255;
                o[4 * x + 1] = clampByte(l + 1.596027f * cv);
                o[4 * x + 2] = clampByte(l - 0.391762f * cb - 0.812968f * cv);
                o[4 * x + 3] = clampByte(l + 2.017232f * cb);
            }
        }
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Baseline_ScalarConvert)->Unit(benchmark::kMillisecond);

// Baseline: the library's conversion alone, no clamps, its native byte order.
void BM_Baseline_LibyuvNV12ToARGBNative(benchmark::State& state) {
    PixelBufferRef frame = makeCameraFrame();
    PixelBufferRef out = PixelBuffer::create(kW, kH, kCVPixelFormatType_32ARGB);
    for (auto _ : state) {
        libyuv::NV12ToARGBMatrix(frame->baseAddressOfPlane(0), static_cast<int>(frame->bytesPerRowOfPlane(0)),
                                 frame->baseAddressOfPlane(1), static_cast<int>(frame->bytesPerRowOfPlane(1)),
                                 out->baseAddress(), static_cast<int>(out->bytesPerRow()), &libyuv::kYuvI601Constants,
                                 static_cast<int>(kW), static_cast<int>(kH));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Baseline_LibyuvNV12ToARGBNative)->Unit(benchmark::kMillisecond);

void BM_ConvertNV12ToARGB(benchmark::State& state) {
    PixelBufferRef frame = makeCameraFrame();
    for (auto _ : state) {
        PixelBufferRef out = convertNV12ToARGB(*frame);
        benchmark::DoNotOptimize(out.get());
    }
    state.SetLabel("baseline=BM_Baseline_LibyuvNV12ToARGBNative");
}
BENCHMARK(BM_ConvertNV12ToARGB)->Unit(benchmark::kMillisecond);

// Baseline: the library's quarter turn called directly into a preallocated buffer.
void BM_Baseline_LibyuvARGBRotate90(benchmark::State& state) {
    PixelBufferRef frame = makeCameraFrame();
    PixelBufferRef argb = convertNV12ToARGB(*frame);
    PixelBufferAttributes attributes;
    attributes.ioSurface = true;
    PixelBufferRef out = PixelBuffer::create(kH, kW, kCVPixelFormatType_32ARGB, attributes);
    for (auto _ : state) {
        libyuv::ARGBRotate(argb->baseAddress(), static_cast<int>(argb->bytesPerRow()), out->baseAddress(),
                           static_cast<int>(out->bytesPerRow()), static_cast<int>(kW), static_cast<int>(kH),
                           libyuv::kRotate90);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Baseline_LibyuvARGBRotate90)->Unit(benchmark::kMillisecond);

void BM_RotatePixelBufferQuarterTurn(benchmark::State& state) {
    PixelBufferRef frame = makeCameraFrame();
    PixelBufferRef argb = convertNV12ToARGB(*frame);
    for (auto _ : state) {
        RotationResult r = rotatePixelBuffer(*argb, kRotate90DegreesCounterClockwise);
        benchmark::DoNotOptimize(r.buffer.get());
    }
    state.SetLabel("baseline=BM_Baseline_LibyuvARGBRotate90");
}
BENCHMARK(BM_RotatePixelBufferQuarterTurn)->Unit(benchmark::kMillisecond);

// Baseline: the library's box filter downscale (aliases on fine detail).
void BM_Baseline_LibyuvBoxDownscale(benchmark::State& state) {
    PixelBufferRef upright = makeUprightARGB();
    PixelBufferRef out = PixelBuffer::create(640, 640, kCVPixelFormatType_32ARGB);
    for (auto _ : state) {
        libyuv::ARGBScale(upright->baseAddress(), static_cast<int>(upright->bytesPerRow()),
                          static_cast<int>(upright->width()), static_cast<int>(upright->height()), out->baseAddress(),
                          static_cast<int>(out->bytesPerRow()), 640, 640, libyuv::kFilterBox);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Baseline_LibyuvBoxDownscale)->Unit(benchmark::kMillisecond);

void BM_ResizeLanczos1440x1920To640(benchmark::State& state) {
    PixelBufferRef upright = makeUprightARGB();
    for (auto _ : state) {
        PixelBufferRef out = resizeARGBPixelBuffer(*upright, 640, 640);
        benchmark::DoNotOptimize(out.get());
    }
    state.SetLabel(lanczos::activePath());
}
BENCHMARK(BM_ResizeLanczos1440x1920To640)->Unit(benchmark::kMillisecond);

// The sign stage's preparation through the public functions: convert,
// counter-rotate for a portrait device, scale to the model size.
void BM_SignStagePreparation(benchmark::State& state) {
    PixelBufferRef frame = makeCameraFrame();
    for (auto _ : state) {
        PixelBufferRef argb = convertNV12ToARGB(*frame);
        PixelBufferRef upright = counterDeviceRotation(*argb, 1);
        PixelBufferRef input = resizeARGBPixelBuffer(*upright, 640, 640);
        benchmark::DoNotOptimize(input.get());
    }
}
BENCHMARK(BM_SignStagePreparation)->Unit(benchmark::kMillisecond);

// The same result in one pass from the planes (the turn folded into the
// scaling, the conversion into its first pass).
void BM_UprightInputFromCamera(benchmark::State& state) {
    PixelBufferRef frame = makeCameraFrame();
    for (auto _ : state) {
        PixelBufferRef input = uprightInputFromCamera(*frame, 1, 640, 640);
        benchmark::DoNotOptimize(input.get());
    }
    // Beside the staged chain it replaces (same bytes).
    state.SetLabel(std::string(lanczos::activePath()) + " baseline=BM_SignStagePreparation");
}
BENCHMARK(BM_UprightInputFromCamera)->Unit(benchmark::kMillisecond);

// The digit stage's preparation: crop a sign box and scale it up.
void BM_DigitStageCropAndResize(benchmark::State& state) {
    PixelBufferRef upright = makeUprightARGB();
    for (auto _ : state) {
        PixelBufferRef crop = cropARGBPixelBufferFromYOLO(*upright, 0.5f, 0.5f, 0.1f, 0.05f);
        PixelBufferRef input = resizeARGBPixelBuffer(*crop, 320, 320);
        benchmark::DoNotOptimize(input.get());
    }
}
BENCHMARK(BM_DigitStageCropAndResize)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
