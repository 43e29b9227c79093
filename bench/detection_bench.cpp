// Detection benchmarks.
//
// BM_ProcessFrameWhileIneligible: the per-frame cost of the scheduler when
// detection is switched on but only one of the two models is loaded (the
// costliest way to be ineligible: a few reads and two registry look-ups).
// Target: well under 1 µs median.
//
// BM_PrepareModelsOverLoopback/N: "prepare_models" for N models (sign and
// digit models in turn) until all are loaded, on the real components
// (libcurl from a loopback server, libzip, the OpenCV runtime), each archive
// about 1 MB (the package padded with 1 MB of random bytes). Every round
// prepares models under names never used before in the process, so every
// round and every repetition downloads, unpacks, compiles and loads afresh.
// Counters give the median per model of each phase (download, unpack,
// compile, load), of the whole round, and the most downloads and the most
// compilations that were under way at once (downloads should overlap;
// compilations stay within the cores).
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "detection/YOLOService.h"
#include "linux/support/LoopbackServer.h"
#include "models/ModelManager.h"
#include "platform/fake/FakeModelRuntime.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/OpenCVModelRuntime.h"
#include "platform/linux/ZipExtractor.h"

using namespace tevra;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void BM_ProcessFrameWhileIneligible(benchmark::State& state) {
    auto fake = fake::FakePlatform::install();
    auto runtime = std::make_shared<fake::FakeModelRuntime>();
    fake->platform->models = runtime;
    fs::path root = fs::temp_directory_path() / ("tevra-bench-frames-" + std::to_string(::getpid()));
    fs::create_directories(root / "bench_sign.mlmodelc");
    fake->platform->resourcesDirectory = root.string();
    runtime->registerModel((root / "bench_sign.mlmodelc").string(), fake::FakeModel::withImageInput(64, 64));
    ModelManager::shared()->loadModel("bench_sign");

    YOLOService service;
    service.manager->signModelName = std::string("bench_sign");
    service.manager->digitModelName = std::string("bench_digit_not_loaded");
    service.manager->startDetection();
    auto frame = std::make_shared<fake::FakeARFrame>();
    frame->image_ = PixelBuffer::create(64, 48, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    std::shared_ptr<ARFrame> arFrame = frame;
    for (auto _ : state) service.processFrame(arFrame);
    if (service.processor->frameCount != 0) state.SkipWithError("a frame was counted");
    fs::remove_all(root);
}
BENCHMARK(BM_ProcessFrameWhileIneligible);

// ---- Preparation over loopback ----

class PhaseLog {
public:
    void add(const std::string& phase, double ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        samples_[phase].push_back(ms);
    }
    std::map<std::string, std::vector<double>> samples() {
        std::lock_guard<std::mutex> lock(mutex_);
        return samples_;
    }
    // A phase starts or ends; the most under way at once is kept.
    void begin(const std::string& phase) {
        std::lock_guard<std::mutex> lock(mutex_);
        int& n = running_[phase];
        ++n;
        most_[phase] = std::max(most_[phase], n);
    }
    void end(const std::string& phase) {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_[phase];
    }
    int most(const std::string& phase) {
        std::lock_guard<std::mutex> lock(mutex_);
        return most_[phase];
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::vector<double>> samples_;
    std::map<std::string, int> running_, most_;
};

class TimedHttp : public HttpClient {
public:
    TimedHttp(std::shared_ptr<HttpClient> inner, PhaseLog& log) : inner_(std::move(inner)), log_(log) {}
    void dataTask(HttpRequest request, DataCompletion completion) override {
        inner_->dataTask(std::move(request), std::move(completion));
    }
    void downloadTask(const std::string& url, DownloadCompletion completion) override {
        auto t0 = Clock::now();
        PhaseLog* log = &log_;
        log->begin("download");
        inner_->downloadTask(url, [t0, log, completion = std::move(completion)](auto file, auto response, auto error) {
            log->end("download");
            log->add("download", msSince(t0));
            completion(std::move(file), std::move(response), std::move(error));
        });
    }

private:
    std::shared_ptr<HttpClient> inner_;
    PhaseLog& log_;
};

class TimedArchive : public Archive {
public:
    TimedArchive(std::shared_ptr<Archive> inner, PhaseLog& log) : inner_(std::move(inner)), log_(log) {}
    std::optional<Error> unzipItem(const std::string& archivePath, const std::string& destination) override {
        auto t0 = Clock::now();
        auto result = inner_->unzipItem(archivePath, destination);
        log_.add("unpack", msSince(t0));
        return result;
    }

private:
    std::shared_ptr<Archive> inner_;
    PhaseLog& log_;
};

class TimedRuntime : public ModelRuntime {
public:
    TimedRuntime(std::shared_ptr<ModelRuntime> inner, PhaseLog& log) : inner_(std::move(inner)), log_(log) {}
    Expected<std::shared_ptr<Model>> modelWithContentsOfURL(const std::string& dir, int units) override {
        auto t0 = Clock::now();
        auto result = inner_->modelWithContentsOfURL(dir, units);
        log_.add("load", msSince(t0));
        return result;
    }
    Expected<std::string> compileModelAtURL(const std::string& package) override {
        auto t0 = Clock::now();
        log_.begin("compile");
        auto result = inner_->compileModelAtURL(package);
        log_.end("compile");
        log_.add("compile", msSince(t0));
        return result;
    }

private:
    std::shared_ptr<ModelRuntime> inner_;
    PhaseLog& log_;
};

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// TOP/ holding the package's files and a 1 MB incompressible pad.
std::string paddedArchive(const std::string& top, const fs::path& package) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_source_keep(buffer);
    zip_t* z = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
    std::deque<std::string> data;
    zip_dir_add(z, (top + "/").c_str(), ZIP_FL_ENC_UTF_8);
    std::vector<std::pair<std::string, std::string>> files;
    for (auto& e : fs::directory_iterator(package))
        files.emplace_back(e.path().filename().string(), readFile(e.path()));
    std::mt19937 rng(11);
    std::string pad(1 << 20, '\0');
    for (auto& c : pad) c = static_cast<char>(rng());
    files.emplace_back("pad.bin", std::move(pad));
    for (auto& [name, content] : files) {
        data.push_back(std::move(content));
        zip_source_t* src = zip_source_buffer(z, data.back().data(), data.back().size(), 0);
        zip_file_add(z, (top + "/" + name).c_str(), src, ZIP_FL_ENC_UTF_8);
    }
    zip_close(z);
    zip_stat_t st;
    zip_source_stat(buffer, &st);
    std::string out(static_cast<size_t>(st.size), '\0');
    zip_source_open(buffer);
    zip_source_read(buffer, out.data(), st.size);
    zip_source_close(buffer);
    zip_source_free(buffer);
    zip_error_fini(&error);
    return out;
}

void BM_PrepareModelsOverLoopback(benchmark::State& state) {
    fs::path root = fs::temp_directory_path() / ("tevra-bench-prepare-" + std::to_string(::getpid()));
    fs::remove_all(root);
    std::string cmd = std::string("/usr/bin/python3 ") + TEVRA_SOURCE_DIR + "/tools/make_test_models.py " +
                      (root / "packages").string() + " --form package >/dev/null";
    if (std::system(cmd.c_str()) != 0) {
        state.SkipWithError("could not generate the test models");
        return;
    }
    const std::string signZip = paddedArchive("sign.mlpackage", root / "packages" / "test_sign.mlpackage");
    const std::string digitZip = paddedArchive("digit.mlpackage", root / "packages" / "test_digit.mlpackage");
    tevra::testing::LoopbackServer server([&](const tevra::testing::LoopbackRequest& r) {
        tevra::testing::LoopbackResponse response;
        response.body = r.target == "/sign.zip" ? signZip : digitZip;
        return response;
    });

    PhaseLog phases;
    auto fake = fake::FakePlatform::install();
    fake->platform->http = std::make_shared<TimedHttp>(std::make_shared<linux_platform::CurlHttpClient>(), phases);
    fake->platform->archive = std::make_shared<TimedArchive>(std::make_shared<linux_platform::ZipExtractor>(), phases);
    fake->platform->models = std::make_shared<TimedRuntime>(std::make_shared<OpenCVModelRuntime>(), phases);
    fs::create_directories(root / "bundle");
    fake->platform->resourcesDirectory = (root / "bundle").string();
    fake->platform->documentsDirectory = (root / "documents").string();

    YOLOService service;
    std::vector<double> totals;
    const int count = static_cast<int>(state.range(0));
    // Fresh names in every round of every repetition: the shared registry
    // keeps every model it loaded, and a name it knows is ready at once.
    static int round = 0;
    for (auto _ : state) {
        std::vector<std::string> names;
        nlohmann::json models = nlohmann::json::array();
        for (int i = 0; i < count; ++i) {
            const bool sign = i % 2 == 0;
            names.push_back(std::string(sign ? "bench_sign_" : "bench_digit_") + std::to_string(round) + "_" +
                            std::to_string(i));
            models.push_back({{"name", names.back()},
                              {"url", server.url(sign ? "/sign.zip" : "/digit.zip")},
                              {"model_function", sign ? "sign_detection" : "digit_detection"}});
        }
        ++round;
        nlohmann::json command = {{"command", "prepare_models"}, {"models", models}};
        auto t0 = Clock::now();
        service.handleMessage(command);
        auto deadline = t0 + std::chrono::seconds(60);
        auto allLoaded = [&] {
            for (auto& name : names)
                if (!ModelManager::shared()->isModelLoaded(name)) return false;
            return true;
        };
        while (!allLoaded()) {
            if (Clock::now() > deadline) {
                state.SkipWithError("the models did not become ready");
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        double ms = msSince(t0);
        totals.push_back(ms);
        state.SetIterationTime(ms / 1000);
        fake->dispatch->mainQueue().drain();
        fake->log->clear();
        std::error_code ec;
        fs::remove_all(root / "documents", ec);
    }
    auto samples = phases.samples();
    state.counters["total_ms"] = median(totals);
    state.counters["archive_KB"] = static_cast<double>(signZip.size()) / 1024;
    for (const char* phase : {"download", "unpack", "compile", "load"})
        state.counters[std::string(phase) + "_ms"] = median(samples[phase]);
    state.counters["downloads_at_once"] = phases.most("download");
    state.counters["compiles_at_once"] = phases.most("compile");
    fake->platform->http.reset();
    fs::remove_all(root);
}
BENCHMARK(BM_PrepareModelsOverLoopback)
    ->Arg(1)
    ->Arg(2)
    ->Arg(8)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
