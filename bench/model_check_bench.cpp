// What the out-of-process model check adds to preparing a model, for the
// committed detection models (models/yolo26n_sign_640.mlpackage and
// models/yolo26n_digit_640.mlpackage, 680 KB and 410 KB of ONNX).
//
// BM_CheckInChild: one run of tevra-model-check on the package (fork, exec,
//   loading OpenCV, reading and hashing the files, loading the network, one
//   blank run), as the parent waits for it.
// BM_OpenInProcess: what compiling did in this process before the check
//   existed, and no longer does: load the network from its bytes and run it
//   once on a blank input.
// BM_Prepare: compile (copy, check in a child, write the compiled
//   description and stamp) and load (stamp matches: no second child), as
//   ModelManager does after unpacking; a fresh runtime each time.
// The check's added cost is BM_CheckInChild - BM_OpenInProcess; the target
// is under 200 ms per model. Run with --benchmark_repetitions=5 and read the
// medians.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <opencv2/core/utils/logger.hpp>

#include "platform/linux/ModelCheck.h"
#include "platform/linux/ModelNetwork.h"
#include "platform/linux/OpenCVModelRuntime.h"

using namespace tevra;
namespace fs = std::filesystem;

namespace {

const char* const kModels[] = {"yolo26n_sign_640", "yolo26n_digit_640"};

fs::path packageOf(int64_t index) {
    return fs::path(TEVRA_SOURCE_DIR) / "models" / (std::string(kModels[index]) + ".mlpackage");
}

void BM_CheckInChild(benchmark::State& state) {
    model::CheckOptions options;
    options.program = TEVRA_MODEL_CHECK_BINARY;
    std::atomic<uint64_t> started{0};
    const std::string package = packageOf(state.range(0)).string();
    for (auto _ : state) {
        auto checked = model::runModelCheck(options, package, /*package=*/true, &started);
        if (!checked) state.SkipWithError(checked.error.localizedDescription.c_str());
    }
    state.SetLabel(kModels[state.range(0)]);
}
BENCHMARK(BM_CheckInChild)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_OpenInProcess(benchmark::State& state) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    const fs::path package = packageOf(state.range(0));
    for (auto _ : state) {
        auto text = model::readBoundedFile((package / "description.json").string(), 1 << 20, 1, "description");
        auto d = model::parseDescription(*text, "description.json", false, model::DescriptionLimits{});
        if (!d) {
            state.SkipWithError(d.error.localizedDescription.c_str());
            break;
        }
        auto bytes = model::readBoundedFile((package / d->modelFile).string(), 512 << 20, 2, "model");
        auto net = model::loadNetwork(*bytes, "model.onnx");
        if (!net) {
            state.SkipWithError(net.error.localizedDescription.c_str());
            break;
        }
        auto outs = model::forwardBlank(*net, *d);
        if (!outs) state.SkipWithError(outs.error.localizedDescription.c_str());
    }
    state.SetLabel(kModels[state.range(0)]);
}
BENCHMARK(BM_OpenInProcess)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_Prepare(benchmark::State& state) {
    const std::string package = packageOf(state.range(0)).string();
    for (auto _ : state) {
        OpenCVModelRuntime runtime(Limits(), TEVRA_MODEL_CHECK_BINARY);
        auto compiled = runtime.compileModelAtURL(package);
        if (!compiled) {
            state.SkipWithError(compiled.error.localizedDescription.c_str());
            break;
        }
        auto loaded = runtime.modelWithContentsOfURL(*compiled, 3);
        if (!loaded || runtime.checksStarted() != 1)
            state.SkipWithError("the compiled model did not load with one check");
        state.PauseTiming();
        std::error_code ec;
        fs::remove_all(fs::path(*compiled).parent_path(), ec);
        state.ResumeTiming();
    }
    state.SetLabel(kModels[state.range(0)]);
}
BENCHMARK(BM_Prepare)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
