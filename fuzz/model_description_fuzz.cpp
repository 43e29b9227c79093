// Fuzzes model descriptions (description.json) through the Linux model
// runtime: the input is the description, placed beside a small real network
// (a digit reader taking a 64 x 32 image) in a compiled directory and in a
// package. Opening and compiling either succeed or answer an error of the
// runtime's domain; whatever the description declares (shapes, sizes, tensor
// layout), nothing crashes. Declared images over 4 megapixels are skipped: a
// few bytes can ask for gigabytes of input tensor.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "platform/linux/OpenCVModelRuntime.h"
#include "FuzzFiles.h"

namespace fs = std::filesystem;

namespace {

using tevra::fuzz::fail;

fs::path scratch() { return tevra::fuzz::scratchDirectory("description"); }

bool declaresHugeImage(const std::string& text) {
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return false;
    auto inputs = j.find("inputs");
    if (inputs == j.end() || !inputs->is_array()) return false;
    for (const auto& in : *inputs) {
        if (!in.is_object()) continue;
        auto w = in.find("width"), h = in.find("height");
        if (w == in.end() || h == in.end() || !w->is_number_integer() || !h->is_number_integer()) continue;
        double pixels = w->get<double>() * h->get<double>();
        if (pixels > double(4 << 20)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path dir = [] {
        std::error_code ec;
        fs::remove_all(scratch(), ec);
        for (const char* d : {"m.mlmodelc", "m.mlpackage"}) {
            fs::create_directories(scratch() / d);
            fs::copy_file(TEVRA_FUZZ_DATA_DIR "/test_digit.onnx", scratch() / d / "model.onnx");
        }
        std::atexit([] {
            std::error_code e;
            fs::remove_all(scratch(), e);
        });
        return scratch();
    }();
    static tevra::OpenCVModelRuntime runtime;
    // The network's own complaints about unusable inputs are expected here.
    static const bool quiet = (cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT), true);
    (void)quiet;

    const std::string text(reinterpret_cast<const char*>(data), size);
    if (declaresHugeImage(text)) return 0;
    for (const char* d : {"m.mlmodelc", "m.mlpackage"}) {
        std::ofstream out(dir / d / tevra::OpenCVModelRuntime::kDescriptionFileName, std::ios::trunc);
        out << text;
    }

    auto model = runtime.modelWithContentsOfURL((dir / "m.mlmodelc").string(), 3);
    if (!model && model.error.domain != tevra::kOpenCVModelRuntimeErrorDomain)
        fail("opening failed outside the runtime's error domain: " + model.error.description());
    if (model) {
        for (const auto& d : (*model)->inputDescriptions())
            if (d.imageConstraint && (d.imageConstraint->pixelsWide <= 0 || d.imageConstraint->pixelsHigh <= 0))
                fail("an opened model declares an empty image");
    }

    auto compiled = runtime.compileModelAtURL((dir / "m.mlpackage").string());
    if (!compiled && compiled.error.domain != tevra::kOpenCVModelRuntimeErrorDomain)
        fail("compiling failed outside the runtime's error domain: " + compiled.error.description());
    if (compiled) {
        // The compiled directory must open, and then it is no longer needed.
        auto reopened = runtime.modelWithContentsOfURL(*compiled, 3);
        if (!reopened) fail("a compiled model does not open: " + reopened.error.description());
        std::error_code ec;
        fs::remove_all(fs::path(*compiled).parent_path(), ec);
    }
    return 0;
}
