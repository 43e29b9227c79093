// tevra-model-check: opens one model directory the way the model runtime
// will, so that a model file that crashes or exhausts OpenCV does so here, in
// a child process the runtime started with resource limits and no network
// (src/platform/linux/ModelCheck.h), never in the application.
//
//   tevra-model-check --package|--compiled DIR [--max-inputs=N]
//       [--max-input-elements=N] [--max-outputs=N] [--max-description-bytes=N]
//       [--max-model-bytes=N]
//
// In:  DIR holds description.json and the model file it names (a package's
//      outputs may leave out their shapes; a compiled model's may not).
// Out: one JSON object on standard output, exit status 0:
//      {"ok":true,"description":"<sha256>","model":"<sha256>",
//       "outputs":[{"name":"coordinates","shape":[100,4]},...]}
//      or {"ok":false,"code":2,"message":"The model ... does not load: ..."}.
// Fails: exit status 3 when memory runs out (the runtime's address-space
//      limit), 2 on a bad command line; a signal when OpenCV crashes.
// Threads: OpenCV's own; one model per run.
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <glib.h>
#include <nlohmann/json.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "platform/linux/ModelNetwork.h"

namespace {

using namespace tevra;
using nlohmann::json;

constexpr int kExitUsage = 2;
constexpr int kExitOutOfMemory = 3;

[[noreturn]] void outOfMemory() {
    static const char line[] = "tevra-model-check: out of memory\n";
    ssize_t ignored = ::write(2, line, sizeof line - 1);
    (void)ignored;
    ::_exit(kExitOutOfMemory);
}

std::string sha256Hex(const std::string& bytes) {
    gchar* hex =
        g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    std::string out = hex ? hex : "";
    g_free(hex);
    return out;
}

int answer(const json& j) {
    std::string text = j.dump(-1, ' ', /*ensure_ascii=*/true, json::error_handler_t::replace) + "\n";
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(1, text.data() + done, text.size() - done);
        if (n <= 0) return 1;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int refuse(const Error& e) { return answer({{"ok", false}, {"code", e.code}, {"message", e.localizedDescription}}); }

bool numberOption(const char* arg, const char* name, uint64_t& out) {
    const size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(arg + n + 1, &end, 10);
    if (errno != 0 || end == arg + n + 1 || *end != '\0') return false;
    out = v;
    return true;
}

int check(const std::string& dir, bool package, const model::DescriptionLimits& limits, uint64_t maxDescription,
          uint64_t maxModel) {
    const std::string descriptionPath = dir + "/description.json";
    auto text = model::readBoundedFile(descriptionPath, maxDescription, kOpenCVModelRuntimeErrorDescription,
                                       "model description");
    if (!text) return refuse(text.error);
    auto description = model::parseDescription(*text, descriptionPath, /*requireOutputShapes=*/!package, limits);
    if (!description) return refuse(description.error);
    const std::string modelPath = dir + "/" + description->modelFile;
    auto bytes = model::readBoundedFile(modelPath, maxModel, kOpenCVModelRuntimeErrorModelFile, "model file");
    if (!bytes) return refuse(bytes.error);
    auto net = model::loadNetwork(*bytes, modelPath);
    if (!net) return refuse(net.error);
    auto outputs = model::forwardBlank(*net, *description);
    if (!outputs)
        return refuse(
            modelRuntimeError(kOpenCVModelRuntimeErrorModelFile,
                              "The model " + modelPath + " does not run: " + outputs.error.localizedDescription));
    json shapes = json::array();
    for (size_t i = 0; i < outputs->size(); ++i)
        shapes.push_back({{"name", description->outputs[i].name},
                          {"shape", model::outputShape(description->outputs[i], (*outputs)[i])}});
    return answer({{"ok", true}, {"description", sha256Hex(*text)}, {"model", sha256Hex(*bytes)}, {"outputs", shapes}});
}

}  // namespace

int main(int argc, char** argv) {
    // Few malloc arenas: each reserves 64 MiB of address space, which the
    // address-space limit counts.
    ::mallopt(M_ARENA_MAX, 2);
    std::set_new_handler(outOfMemory);
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);

    if (argc < 3 || (std::strcmp(argv[1], "--package") != 0 && std::strcmp(argv[1], "--compiled") != 0)) {
        std::fprintf(stderr, "usage: tevra-model-check --package|--compiled DIR [--max-...=N]\n");
        return kExitUsage;
    }
    const bool package = std::strcmp(argv[1], "--package") == 0;
    model::DescriptionLimits limits;
    uint64_t maxDescription = 1ull << 20, maxModel = 512ull << 20;
    for (int i = 3; i < argc; ++i) {
        if (!numberOption(argv[i], "--max-inputs", limits.maxInputs) &&
            !numberOption(argv[i], "--max-input-elements", limits.maxInputElements) &&
            !numberOption(argv[i], "--max-outputs", limits.maxOutputs) &&
            !numberOption(argv[i], "--max-description-bytes", maxDescription) &&
            !numberOption(argv[i], "--max-model-bytes", maxModel)) {
            std::fprintf(stderr, "tevra-model-check: unknown option %s\n", argv[i]);
            return kExitUsage;
        }
    }
    try {
        // The answer is written; the network and OpenCV's threads need no
        // orderly teardown, which would only delay the parent.
        ::_exit(check(argv[2], package, limits, maxDescription, maxModel));
    } catch (const std::bad_alloc&) {
        outOfMemory();
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) outOfMemory();
        return refuse(
            modelRuntimeError(kOpenCVModelRuntimeErrorModelFile, std::string("The model does not load: ") + e.what()));
    } catch (const std::exception& e) {
        return refuse(
            modelRuntimeError(kOpenCVModelRuntimeErrorModelFile, std::string("The model does not load: ") + e.what()));
    }
}
