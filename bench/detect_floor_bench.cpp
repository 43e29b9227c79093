// detectFloor on a 1920 x 1440 camera frame with the trained models of
// models/ run by the OpenCV runtime (target: median at most 60 ms, both
// stages included).
//
// BM_DetectFloor: a generated view of the sign "305" about 120 px tall in the
// upright frame; the sign model, the cut-out and the digit model all run.
// The "floor" counter is what was read (3 expected).
// BM_DetectFloorNoSign: a view without a sign; only the sign stage runs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "SynthScene.h"
#include "detection/YOLOInference.h"
#include "models/ModelManager.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/OpenCVModelRuntime.h"

using namespace tevra;
using namespace tevra::synth;
namespace fs = std::filesystem;

namespace {

const char* kSign = "yolo26n_sign_640";
const char* kDigit = "yolo26n_digit_640";

// Compiles the committed packages and loads them; false when they are missing.
bool loadModels() {
    static bool loaded = [] {
        static auto fake = fake::FakePlatform::install();
        auto runtime = std::make_shared<OpenCVModelRuntime>();
        fake->platform->models = runtime;
        const fs::path dir = fs::temp_directory_path() / ("tevra-floor-bench-" + std::to_string(::getpid()));
        std::error_code ec;
        fs::create_directories(dir, ec);
        for (const char* name : {kSign, kDigit}) {
            auto built = runtime->compileModelAtURL(std::string(TEVRA_SOURCE_DIR) + "/models/" + name + ".mlpackage");
            if (!built) return false;
            fs::copy(*built, dir / (std::string(name) + ".mlmodelc"), fs::copy_options::recursive, ec);
            fs::remove_all(fs::path(*built).parent_path(), ec);
        }
        fake->platform->resourcesDirectory = dir.string();
        bool ok = !ModelManager::shared()->loadModel(kSign) && !ModelManager::shared()->loadModel(kDigit);
        fs::remove_all(dir, ec);
        return ok;
    }();
    return loaded;
}

PixelBufferRef cameraFrame(bool withSign) {
    SceneSpec spec;
    spec.seed = 17;
    if (withSign) spec.signs.push_back({"305", "front", 0.0, 1.6, 0.3});
    Scene scene(spec);
    Intrinsics k;
    // About 3.6 m from the front wall: the 0.3 m sign is about 120 px tall.
    Pose pose = uprightLookAt({0.2, 1.5, -spec.depth / 2 + 3.6}, {0.1, 1.5, -spec.depth / 2});
    cv::Mat rgb = scene.render(pose, k, 1920, 1440);
    PixelBufferRef buffer = PixelBuffer::create(1920, 1440, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    PixelBufferLock lock(*buffer, 0);
    rgbToNV12(rgb, buffer->baseAddressOfPlane(0), buffer->bytesPerRowOfPlane(0), buffer->baseAddressOfPlane(1),
              buffer->bytesPerRowOfPlane(1));
    return buffer;
}

void run(benchmark::State& state, bool withSign) {
    if (!loadModels()) {
        state.SkipWithError("the models under models/ did not load");
        return;
    }
    PixelBufferRef frame = cameraFrame(withSign);
    int floor = 0;
    for (auto _ : state) {
        floor = detectFloor(kSign, 0.5f, kDigit, 0.5f, frame.get(), 1);
        benchmark::DoNotOptimize(floor);
    }
    state.counters["floor"] = floor;
}

void BM_DetectFloor(benchmark::State& state) { run(state, true); }
void BM_DetectFloorNoSign(benchmark::State& state) { run(state, false); }

}  // namespace

BENCHMARK(BM_DetectFloor)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_DetectFloorNoSign)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK_MAIN();
