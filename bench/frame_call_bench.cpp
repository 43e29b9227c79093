// Formatting the 39 numbers of one frame call: an snprintf("%f") loop,
// std::to_chars in fixed notation with six decimals, and the exact integer
// formatter used by the bridge. All three produce the same text.
#include "bridge/FrameCall.h"

#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdio>
#include <random>
#include <string>

namespace {

struct Values {
    float v[tevra::kFrameCallValueCount];
    Values() {
        std::mt19937 rng(42u);
        std::uniform_real_distribution<float> pose(-5.0f, 5.0f);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        for (int i = 0; i < 3; ++i) v[i] = pose(rng);
        for (int i = 3; i < 23; ++i) v[i] = unit(rng);
        for (int i = 23; i < 39; ++i) v[i] = unit(rng) * 3.0f;
        v[23 + 15] = 0.0f;
        v[23 + 11] = -1.0f;
        v[23 + 14] = -0.002f;
    }
};
const Values kValues;

const char kPrefix[] = "if(window.handleARFrame){window.handleARFrame(new Float32Array([";

void BM_SnprintfLoop(benchmark::State& state) {
    std::string out;
    for (auto _ : state) {
        out.assign(kPrefix);
        char buf[64];
        for (size_t i = 0; i < tevra::kFrameCallValueCount; ++i) {
            int n = std::snprintf(buf, sizeof buf, "%f", static_cast<double>(kValues.v[i]));
            out.append(buf, static_cast<size_t>(n));
            if (i + 1 < tevra::kFrameCallValueCount) out += ',';
        }
        out += "]))}";
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_SnprintfLoop);

void BM_ToChars(benchmark::State& state) {
    std::string out;
    for (auto _ : state) {
        out.assign(kPrefix);
        char buf[64];
        for (size_t i = 0; i < tevra::kFrameCallValueCount; ++i) {
            auto r =
                std::to_chars(buf, buf + sizeof buf, static_cast<double>(kValues.v[i]), std::chars_format::fixed, 6);
            out.append(buf, r.ptr);
            if (i + 1 < tevra::kFrameCallValueCount) out += ',';
        }
        out += "]))}";
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_ToChars);

void BM_FrameCallAppend(benchmark::State& state) {
    std::string out;
    for (auto _ : state) {
        out.clear();
        tevra::appendFrameCall(out, kValues.v);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel("baseline=BM_ToChars");
}
BENCHMARK(BM_FrameCallAppend);

void BM_FrameCallBuild(benchmark::State& state) {
    for (auto _ : state) {
        std::string out = tevra::buildFrameCall(kValues.v);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel("baseline=BM_ToChars");
}
BENCHMARK(BM_FrameCallBuild);

}  // namespace

BENCHMARK_MAIN();
