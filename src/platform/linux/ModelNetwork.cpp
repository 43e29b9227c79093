#include "platform/linux/ModelNetwork.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "base/ThreadAnnotations.h"

namespace tevra {

const char* const kOpenCVModelRuntimeErrorDomain = "OpenCVModelRuntime";

Error modelRuntimeError(long code, const std::string& message) {
    return Error{kOpenCVModelRuntimeErrorDomain, code, message};
}

namespace model {

namespace {

using nlohmann::json;

// cv::Mat takes at most this many dimensions.
constexpr size_t kMaxDims = 32;

// OpenCV's failed allocation, also when its ONNX importer wraps it in an
// error of its own: the model check reports it as memory running out.
bool outOfMemory(const cv::Exception& e) {
    return e.code == cv::Error::StsNoMem || std::strstr(e.what(), "(-4:Insufficient memory)") != nullptr;
}

}  // namespace

Expected<Description> parseDescription(const std::string& text, const std::string& where, bool requireOutputShapes,
                                       const DescriptionLimits& limits) {
    using R = Expected<Description>;
    json j = json::parse(text, nullptr, /*allow_exceptions=*/false);
    auto bad = [&](const std::string& why) {
        return R::fail(
            modelRuntimeError(kOpenCVModelRuntimeErrorDescription, "Invalid model description " + where + ": " + why));
    };
    if (j.is_discarded() || !j.is_object()) return bad("not a JSON object");
    if (!j.contains("formatVersion") || !j["formatVersion"].is_number() || j["formatVersion"].get<double>() != 1.0)
        return bad("unsupported formatVersion");

    Description d;
    if (!j.contains("model") || !j["model"].is_string()) return bad("\"model\" must name the model file");
    d.modelFile = j["model"].get<std::string>();
    std::filesystem::path rel(d.modelFile);
    if (d.modelFile.empty() || rel.is_absolute() || d.modelFile.find("..") != std::string::npos ||
        d.modelFile.find('\0') != std::string::npos)
        return bad("\"model\" must be a file inside the directory");

    if (!j.contains("inputs") || !j["inputs"].is_array()) return bad("\"inputs\" must be an array");
    if (j["inputs"].size() > limits.maxInputs)
        return bad("declares " + std::to_string(j["inputs"].size()) + " inputs; at most " +
                   std::to_string(limits.maxInputs) + " are allowed");
    // Elements of all input tensors together, counted before any is made.
    uint64_t elements = 0;
    auto countElements = [&](uint64_t n) {
        if (__builtin_add_overflow(elements, n, &elements)) elements = UINT64_MAX;
        return elements <= limits.maxInputElements;
    };
    const std::string tooLarge =
        "inputs of more than " + std::to_string(limits.maxInputElements) + " elements together are not allowed";
    for (const json& ij : j["inputs"]) {
        if (!ij.is_object() || !ij.contains("name") || !ij["name"].is_string()) return bad("an input without a name");
        InputSpec in;
        in.name = ij["name"].get<std::string>();
        const std::string type = ij.contains("type") && ij["type"].is_string() ? ij["type"].get<std::string>() : "";
        if (type == "image") {
            in.image = true;
            if (!ij.contains("width") || !ij.contains("height") || !ij["width"].is_number_integer() ||
                !ij["height"].is_number_integer())
                return bad("image input \"" + in.name + "\" needs an integer width and height");
            in.width = ij["width"].get<long>();
            in.height = ij["height"].get<long>();
            if (in.width <= 0 || in.height <= 0 || in.width > 16384 || in.height > 16384)
                return bad("image input \"" + in.name + "\" has an unusable size");
            if (!countElements(static_cast<uint64_t>(in.width) * static_cast<uint64_t>(in.height) * 3))
                return bad("image input \"" + in.name + "\" of " + std::to_string(in.width) + " x " +
                           std::to_string(in.height) + " is too large: " + tooLarge);
            if (ij.contains("pixelFormat")) {
                if (!ij["pixelFormat"].is_number_unsigned() || ij["pixelFormat"].get<uint64_t>() > UINT32_MAX)
                    return bad("pixelFormat must be a 32-bit code");
                in.pixelFormat = ij["pixelFormat"].get<uint32_t>();
            }
            if (ij.contains("tensor")) {
                const json& t = ij["tensor"];
                if (!t.is_object()) return bad("tensor must be an object");
                const std::string layout =
                    t.contains("layout") && t["layout"].is_string() ? t["layout"].get<std::string>() : "NCHW";
                const std::string channels =
                    t.contains("channels") && t["channels"].is_string() ? t["channels"].get<std::string>() : "RGB";
                if (layout != "NCHW" && layout != "NHWC") return bad("tensor layout must be NCHW or NHWC");
                if (channels != "RGB" && channels != "BGR") return bad("tensor channels must be RGB or BGR");
                in.tensor.nchw = layout == "NCHW";
                in.tensor.rgb = channels == "RGB";
                if (t.contains("scale")) {
                    if (!t["scale"].is_number()) return bad("tensor scale must be a number");
                    in.tensor.scale = t["scale"].get<float>();
                }
                if (t.contains("bias")) {
                    const json& b = t["bias"];
                    if (!b.is_array() || b.size() != 3) return bad("tensor bias must hold three numbers");
                    for (size_t c = 0; c < 3; ++c) {
                        if (!b[c].is_number()) return bad("tensor bias must hold three numbers");
                        in.tensor.bias[c] = b[c].get<float>();
                    }
                }
            }
        } else if (type == "multiArray") {
            if (!ij.contains("shape") || !ij["shape"].is_array() || ij["shape"].empty() ||
                ij["shape"].size() > kMaxDims)
                return bad("multi-array input \"" + in.name + "\" needs a shape of 1 to " + std::to_string(kMaxDims) +
                           " dimensions");
            uint64_t total = 1;
            for (const json& s : ij["shape"]) {
                if (!s.is_number_integer() || s.get<long>() <= 0 || s.get<long>() > 1 << 20)
                    return bad("multi-array input \"" + in.name + "\" has an unusable shape");
                in.shape.push_back(s.get<int>());
                total *= static_cast<uint64_t>(s.get<long>());
                // Past the bound stops here, before the product can overflow.
                if (total > limits.maxInputElements)
                    return bad("multi-array input \"" + in.name + "\" is too large: " + tooLarge);
            }
            if (!countElements(total)) return bad("multi-array input \"" + in.name + "\" is too large: " + tooLarge);
            if (ij.contains("default")) {
                const json& dj = ij["default"];
                if (!dj.is_array() || dj.size() != total)
                    return bad("default of \"" + in.name + "\" has the wrong size");
                in.defaults.reserve(total);
                for (const json& v : dj) {
                    if (!v.is_number()) return bad("default of \"" + in.name + "\" must hold numbers");
                    in.defaults.push_back(v.get<float>());
                }
            }
        } else {
            return bad("input \"" + in.name + "\" has an unknown type");
        }
        d.inputs.push_back(std::move(in));
    }

    if (!j.contains("outputs") || !j["outputs"].is_array() || j["outputs"].empty())
        return bad("\"outputs\" must list the outputs");
    if (j["outputs"].size() > limits.maxOutputs)
        return bad("declares " + std::to_string(j["outputs"].size()) + " outputs; at most " +
                   std::to_string(limits.maxOutputs) + " are allowed");
    for (const json& oj : j["outputs"]) {
        if (!oj.is_object() || !oj.contains("name") || !oj["name"].is_string()) return bad("an output without a name");
        OutputSpec out;
        out.name = oj["name"].get<std::string>();
        if (oj.contains("shape")) {
            // A declared shape only labels the measured output (outputShape
            // below); it is never allocated, so only its form is checked.
            if (!oj["shape"].is_array() || oj["shape"].empty() || oj["shape"].size() > kMaxDims)
                return bad("output \"" + out.name + "\" has a bad shape");
            for (const json& s : oj["shape"]) {
                if (!s.is_number_integer() || s.get<long>() == 0 || s.get<long>() < -1)
                    return bad("output \"" + out.name + "\" has a bad shape");
                out.shape.push_back(s.get<long>());
            }
        } else if (requireOutputShapes) {
            return bad("output \"" + out.name + "\" has no shape");
        }
        d.outputs.push_back(std::move(out));
    }
    return R::ok(std::move(d));
}

Expected<std::string> readBoundedFile(const std::string& path, uint64_t maxBytes, long code, const std::string& what) {
    using R = Expected<std::string>;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return R::fail(modelRuntimeError(code, "No " + what + " at " + path));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return R::fail(modelRuntimeError(code, "No " + what + " at " + path));
    }
    if (static_cast<uint64_t>(st.st_size) > maxBytes) {
        ::close(fd);
        return R::fail(modelRuntimeError(
            code, "The " + what + " " + path + " is larger than " + std::to_string(maxBytes) + " bytes"));
    }
    std::string bytes;
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    // A file that grew since fstat is read only up to its first size; one
    // that shrank is refused.
    ::close(fd);
    if (got != bytes.size())
        return R::fail(modelRuntimeError(code, "The " + what + " " + path + " could not be read whole"));
    return R::ok(std::move(bytes));
}

cv::Mat blankInput(const InputSpec& in) {
    if (in.image) {
        int dims[4] = {1, 3, static_cast<int>(in.height), static_cast<int>(in.width)};
        if (!in.tensor.nchw) {
            dims[1] = static_cast<int>(in.height);
            dims[2] = static_cast<int>(in.width);
            dims[3] = 3;
        }
        return cv::Mat(4, dims, CV_32F, cv::Scalar(0));
    }
    cv::Mat m(static_cast<int>(in.shape.size()), in.shape.data(), CV_32F, cv::Scalar(0));
    if (!in.defaults.empty()) std::copy(in.defaults.begin(), in.defaults.end(), m.ptr<float>());
    return m;
}

namespace {
// OpenCV's importer registers layer types in a process-wide table while it
// reads a model, without a lock of its own: two models read at once on
// different threads (a download finishing while the main thread opens a
// stored model) corrupted that table, a use-after-free under
// AddressSanitizer. Reads take turns.
Mutex gImportMutex;
}  // namespace

Expected<cv::dnn::Net> loadNetwork(const std::string& bytes, const std::string& where) {
    using R = Expected<cv::dnn::Net>;
    cv::dnn::Net net;
    try {
        {
            MutexLock lock(gImportMutex);
            net = cv::dnn::readNetFromONNX(bytes.data(), bytes.size());
        }
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    } catch (const cv::Exception& e) {
        if (outOfMemory(e)) throw std::bad_alloc();
        return R::fail(
            modelRuntimeError(kOpenCVModelRuntimeErrorModelFile, "The model " + where + " does not load: " + e.what()));
    }
    if (net.empty())
        return R::fail(modelRuntimeError(kOpenCVModelRuntimeErrorModelFile, "The model " + where + " is empty"));
    return R::ok(std::move(net));
}

namespace {

// OpenCV's network input layer takes exactly as many inputs as the graph
// reads, numbered from the front: an input no node reads makes any run fail,
// with "inputs.size() == requiredOutputs" when it is declared after the read
// ones and "inp.total()" (or a port out of range) when declared before them.
// A model with several inputs therefore gets one pass-through layer per
// declared input that reads it; the layers come after every graph layer, so
// a forward pass to the declared outputs never runs them, and every input
// counts as read. Done once per network (the layers' names mark it); a
// one-input model is left as the importer built it.
void readEveryInput(cv::dnn::Net& net, const Description& d) {
    if (d.inputs.size() < 2) return;
    cv::Ptr<cv::dnn::Layer> inputLayer = net.getLayer(0);
    for (const InputSpec& in : d.inputs) {
        const int port = inputLayer->outputNameToIndex(in.name);
        // An input the graph does not have fails at setInput with its name.
        if (port < 0) continue;
        // Named by the port: input names may hold dots, which layer names
        // may not.
        const std::string sink = "tevra_input_reader_" + std::to_string(port);
        if (net.getLayerId(sink) >= 0) continue;
        cv::dnn::LayerParams params;
        params.name = sink;
        params.type = "Identity";
        const int id = net.addLayer(sink, params.type, params);
        net.connect(0, port, id, 0);
    }
}

}  // namespace

Expected<std::vector<cv::Mat>> forward(cv::dnn::Net& net, const Description& d,
                                       const std::vector<std::pair<std::string, cv::Mat>>& blobs) {
    using R = Expected<std::vector<cv::Mat>>;
    std::vector<std::string> names;
    for (const auto& o : d.outputs) names.push_back(o.name);
    std::vector<cv::Mat> outs;
    try {
        readEveryInput(net, d);
        for (const auto& [name, blob] : blobs) net.setInput(blob, name);
        net.forward(outs, names);
    } catch (const cv::Exception& e) {
        if (outOfMemory(e)) throw std::bad_alloc();
        return R::fail(
            modelRuntimeError(kOpenCVModelRuntimeErrorPrediction, std::string("Prediction failed: ") + e.what()));
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        return R::fail(
            modelRuntimeError(kOpenCVModelRuntimeErrorPrediction, std::string("Prediction failed: ") + e.what()));
    }
    if (outs.size() != d.outputs.size())
        return R::fail(modelRuntimeError(kOpenCVModelRuntimeErrorPrediction, "The network gave the wrong outputs"));
    return R::ok(std::move(outs));
}

Expected<std::vector<cv::Mat>> forwardBlank(cv::dnn::Net& net, const Description& d) {
    std::vector<std::pair<std::string, cv::Mat>> blobs;
    for (const InputSpec& in : d.inputs) blobs.emplace_back(in.name, blankInput(in));
    return forward(net, d, blobs);
}

std::vector<long> outputShape(const OutputSpec& spec, const cv::Mat& m) {
    const long total = static_cast<long>(m.total());
    if (!spec.shape.empty()) {
        long known = 1;
        int unknown = -1;
        bool usable = true;
        for (size_t i = 0; i < spec.shape.size(); ++i) {
            if (spec.shape[i] == -1) {
                if (unknown >= 0) usable = false;
                unknown = static_cast<int>(i);
            } else if (__builtin_mul_overflow(known, spec.shape[i], &known)) {
                // A declared shape too large to count can't be this output's.
                usable = false;
            }
        }
        if (usable) {
            std::vector<long> shape = spec.shape;
            if (unknown >= 0 && known > 0 && total % known == 0) shape[static_cast<size_t>(unknown)] = total / known;
            long product = 1;
            for (long s : shape)
                if (__builtin_mul_overflow(product, s, &product)) {
                    product = -1;
                    break;
                }
            if (product == total) return shape;
        }
    }
    std::vector<long> shape;
    for (int i = 0; i < m.dims; ++i) shape.push_back(m.size[i]);
    return shape;
}

}  // namespace model
}  // namespace tevra
