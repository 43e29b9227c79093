// Fuzzes model files through the out-of-process check: the input is
// model.onnx in a digit-model package (a 64 x 32 image input, outputs
// "coordinates" and "confidence"). Compiling starts tevra-model-check (built
// beside this target, without sanitizers) under a 1 GiB address-space limit
// and 5 s of CPU and wall-clock time; whatever the bytes do there (crash,
// exhaust memory, spin), this process gets an error of the runtime's domain.
// A package that compiles must then open in this process without a second
// check (its stamp) and without fault: this process opens only bytes the
// child opened first.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <opencv2/core/utils/logger.hpp>

#include "FuzzFiles.h"
#include "platform/linux/OpenCVModelRuntime.h"

namespace fs = std::filesystem;

namespace {

using tevra::fuzz::fail;

constexpr const char* kDescription = R"({
  "formatVersion": 1,
  "model": "model.onnx",
  "inputs": [{"name": "image", "type": "image", "width": 64, "height": 32, "pixelFormat": 32}],
  "outputs": [{"name": "coordinates"}, {"name": "confidence"}]
})";

tevra::Limits fuzzLimits() {
    tevra::Limits l;
    l.modelCheckAddressSpaceBytes = 1024 * tevra::Limits::kMiB;
    l.modelCheckCpuSeconds = 5;
    l.modelCheckWallSeconds = 5;
    return l;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path package = [] {
        fs::path root = tevra::fuzz::scratchDirectory("model-check");
        std::error_code ec;
        fs::remove_all(root, ec);
        fs::create_directories(root / "m.mlpackage");
        std::ofstream(root / "m.mlpackage" / tevra::OpenCVModelRuntime::kDescriptionFileName) << kDescription;
        std::atexit([] {
            std::error_code e;
            fs::remove_all(tevra::fuzz::scratchDirectory("model-check"), e);
        });
        return root / "m.mlpackage";
    }();
    static tevra::OpenCVModelRuntime runtime(fuzzLimits(), TEVRA_MODEL_CHECK_BINARY);
    static const bool quiet = (cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT), true);
    (void)quiet;

    {
        std::ofstream out(package / "model.onnx", std::ios::trunc | std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const uint64_t checksBefore = runtime.checksStarted();
    auto compiled = runtime.compileModelAtURL(package.string());
    if (!compiled) {
        if (compiled.error.domain != tevra::kOpenCVModelRuntimeErrorDomain)
            fail("compiling failed outside the runtime's error domain: " + compiled.error.description());
        if (compiled.error.code == tevra::kOpenCVModelRuntimeErrorCheck &&
            compiled.error.localizedDescription.find("could not be started") != std::string::npos)
            fail("the model check does not start: " + compiled.error.localizedDescription);
        return 0;
    }
    if (runtime.checksStarted() != checksBefore + 1) fail("a package compiled without its check");
    auto opened = runtime.modelWithContentsOfURL(*compiled, 3);
    if (!opened) fail("a checked model does not open: " + opened.error.description());
    if (runtime.checksStarted() != checksBefore + 1) fail("a stamped model was checked again");
    std::error_code ec;
    fs::remove_all(fs::path(*compiled).parent_path(), ec);
    return 0;
}
