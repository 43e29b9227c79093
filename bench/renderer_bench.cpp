// Renderer::update on the GL backend (Mesa llvmpipe on a surfaceless EGL
// display): a 1920 x 1440 camera frame drawn into a 1280 x 720 view.
//
// Reported per frame, as medians over the run: the main thread's wall time
// in update (which includes any wait for a free frame slot), its CPU time,
// and the part of each spent copying the two planes into textures (upload)
// against everything else (rest: slot wait, encoding, commit).
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "platform/fake/FakePlatform.h"
#include "platform/linux/GLDevice.h"
#include "render/Renderer.h"

using namespace tevra;

namespace {

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

PixelBufferRef cameraFrame(uint8_t seed) {
    auto b = PixelBuffer::create(1920, 1440, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    b->lockBaseAddress(0);
    for (size_t p = 0; p < 2; ++p) {
        uint8_t* base = b->baseAddressOfPlane(p);
        const size_t rows = b->heightOfPlane(p), stride = b->bytesPerRowOfPlane(p);
        for (size_t y = 0; y < rows; ++y)
            for (size_t x = 0; x < stride; ++x) base[y * stride + x] = static_cast<uint8_t>(x + y + seed);
    }
    b->unlockBaseAddress(0);
    return b;
}

void BM_RendererUpdate_1920x1440_into_1280x720(benchmark::State& state) {
    auto fake = fake::FakePlatform::install();
    setenv("TEVRA_FRAMEWORK_RESOURCES", TEVRA_SOURCE_RESOURCES, 0);
    Error error;
    auto device = gl::GLDevice::createSurfaceless(&error);
    if (!device) {
        state.SkipWithError(("no OpenGL ES: " + error.description()).c_str());
        return;
    }
    auto destination = std::make_shared<gl::GLOffscreenDestination>(device, 1280, 720);
    auto session = std::make_shared<fake::FakeARSession>(fake->transcript);
    std::vector<std::shared_ptr<fake::FakeARFrame>> frames;
    for (uint8_t i = 0; i < 3; ++i) {
        auto f = std::make_shared<fake::FakeARFrame>();
        f->image_ = cameraFrame(i);
        // Aspect fill: the 4:3 image fills the 16:9 width, its height cropped.
        f->display_ = AffineTransform{1, 0, 0, 960.0 / 720.0, 0, -120.0 / 720.0};
        frames.push_back(f);
    }
    Renderer renderer(session, device, destination);
    renderer.drawRectResized({1280, 720});

    std::vector<double> wall, cpu, upload, rest, uploadCpu, restCpu;
    size_t n = 0;
    for (auto _ : state) {
        session->setCurrentFrame(frames[n++ % frames.size()]);
        const auto before = device->uploadStats();
        const double cpu0 = threadCpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        renderer.update();
        const auto t1 = std::chrono::steady_clock::now();
        const double cpu1 = threadCpuSeconds();
        const double w = std::chrono::duration<double, std::milli>(t1 - t0).count();
        const auto after = device->uploadStats();
        const double u = static_cast<double>(after.nanoseconds - before.nanoseconds) * 1e-6;
        const double uc = static_cast<double>(after.cpuNanoseconds - before.cpuNanoseconds) * 1e-6;
        uploadCpu.push_back(uc);
        restCpu.push_back((cpu1 - cpu0) * 1e3 - uc);
        wall.push_back(w);
        cpu.push_back((cpu1 - cpu0) * 1e3);
        upload.push_back(u);
        rest.push_back(w - u);
    }
    state.counters["wall_ms_median"] = median(wall);
    state.counters["cpu_ms_median"] = median(cpu);
    state.counters["upload_ms_median"] = median(upload);
    state.counters["rest_ms_median"] = median(rest);
    state.counters["upload_cpu_ms_median"] = median(uploadCpu);
    state.counters["rest_cpu_ms_median"] = median(restCpu);
    state.SetLabel(device->name());
}
// Three seconds of wall time: the drawing runs on the GL driver's threads, and
// measured by the main thread's CPU alone the minimum took thousands of frames.
BENCHMARK(BM_RendererUpdate_1920x1440_into_1280x720)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
