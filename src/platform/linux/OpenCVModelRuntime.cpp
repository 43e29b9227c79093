#include "platform/linux/OpenCVModelRuntime.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

namespace tevra {

const char* const kOpenCVModelRuntimeErrorDomain = "OpenCVModelRuntime";

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

Error runtimeError(long code, const std::string& message) {
    return Error{kOpenCVModelRuntimeErrorDomain, code, message};
}

// How pixels become the image tensor.
struct TensorSpec {
    bool nchw = true;          // else NHWC
    bool rgb = true;           // channel order RGB, else BGR
    float scale = 1.0f / 255.0f;
    float bias[3] = {0, 0, 0};
};

struct InputSpec {
    std::string name;
    bool image = false;
    // Image inputs.
    long width = 0, height = 0;
    uint32_t pixelFormat = kCVPixelFormatType_32ARGB;
    TensorSpec tensor;
    // Multi-array inputs.
    std::vector<int> shape;
    std::vector<float> defaults;
};

struct OutputSpec {
    std::string name;
    std::vector<long> shape;  // empty: not declared; -1: any size
};

struct Description {
    std::string modelFile;
    std::vector<InputSpec> inputs;
    std::vector<OutputSpec> outputs;
};

// Parses description.json. `requireOutputShapes` is set for compiled models.
Expected<Description> readDescription(const fs::path& dir, bool requireOutputShapes) {
    using R = Expected<Description>;
    fs::path path = dir / OpenCVModelRuntime::kDescriptionFileName;
    std::ifstream in(path);
    if (!in) return R::fail(runtimeError(kOpenCVModelRuntimeErrorDescription, "No model description at " + path.string()));
    json j = json::parse(in, nullptr, /*allow_exceptions=*/false);
    auto bad = [&](const std::string& why) {
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorDescription, "Invalid model description " + path.string() +
                                                                            ": " + why));
    };
    if (j.is_discarded() || !j.is_object()) return bad("not a JSON object");
    if (j.value("formatVersion", 0) != 1) return bad("unsupported formatVersion");

    Description d;
    if (!j.contains("model") || !j["model"].is_string()) return bad("\"model\" must name the model file");
    d.modelFile = j["model"].get<std::string>();
    fs::path rel(d.modelFile);
    if (d.modelFile.empty() || rel.is_absolute() || d.modelFile.find("..") != std::string::npos)
        return bad("\"model\" must be a file inside the directory");

    if (!j.contains("inputs") || !j["inputs"].is_array()) return bad("\"inputs\" must be an array");
    for (const json& ij : j["inputs"]) {
        if (!ij.is_object() || !ij.contains("name") || !ij["name"].is_string()) return bad("an input without a name");
        InputSpec in;
        in.name = ij["name"].get<std::string>();
        std::string type = ij.value("type", std::string());
        if (type == "image") {
            in.image = true;
            if (!ij.contains("width") || !ij.contains("height") || !ij["width"].is_number_integer() ||
                !ij["height"].is_number_integer())
                return bad("image input \"" + in.name + "\" needs an integer width and height");
            in.width = ij["width"].get<long>();
            in.height = ij["height"].get<long>();
            if (in.width <= 0 || in.height <= 0 || in.width > 16384 || in.height > 16384)
                return bad("image input \"" + in.name + "\" has an unusable size");
            if (ij.contains("pixelFormat")) {
                if (!ij["pixelFormat"].is_number_unsigned()) return bad("pixelFormat must be a 32-bit code");
                in.pixelFormat = ij["pixelFormat"].get<uint32_t>();
            }
            if (ij.contains("tensor")) {
                const json& t = ij["tensor"];
                if (!t.is_object()) return bad("tensor must be an object");
                std::string layout = t.value("layout", std::string("NCHW"));
                std::string channels = t.value("channels", std::string("RGB"));
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
            if (!ij.contains("shape") || !ij["shape"].is_array() || ij["shape"].empty())
                return bad("multi-array input \"" + in.name + "\" needs a shape");
            size_t total = 1;
            for (const json& s : ij["shape"]) {
                if (!s.is_number_integer() || s.get<long>() <= 0 || s.get<long>() > 1 << 20)
                    return bad("multi-array input \"" + in.name + "\" has an unusable shape");
                in.shape.push_back(s.get<int>());
                total *= static_cast<size_t>(s.get<long>());
                if (total > (1u << 24)) return bad("multi-array input \"" + in.name + "\" is too large");
            }
            if (ij.contains("default")) {
                const json& dj = ij["default"];
                if (!dj.is_array() || dj.size() != total) return bad("default of \"" + in.name + "\" has the wrong size");
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
    for (const json& oj : j["outputs"]) {
        if (!oj.is_object() || !oj.contains("name") || !oj["name"].is_string()) return bad("an output without a name");
        OutputSpec out;
        out.name = oj["name"].get<std::string>();
        if (oj.contains("shape")) {
            if (!oj["shape"].is_array() || oj["shape"].empty()) return bad("output \"" + out.name + "\" has a bad shape");
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

// The shape an output Mat is reported with: the declared shape when it fits
// (one -1 is resolved from the element count), else the Mat's own dims.
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

// ARGB or BGRA bytes to the declared float tensor.
Expected<cv::Mat> imageTensor(const InputSpec& in, PixelBuffer& buffer) {
    using R = Expected<cv::Mat>;
    if (static_cast<long>(buffer.width()) != in.width || static_cast<long>(buffer.height()) != in.height) {
        std::ostringstream s;
        s << "Image size " << buffer.width() << " x " << buffer.height() << " does not match the input \"" << in.name
          << "\" (" << in.width << " x " << in.height << ")";
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorInput, s.str()));
    }
    int rOff, gOff, bOff;
    if (buffer.pixelFormatType() == kCVPixelFormatType_32ARGB) {
        rOff = 1, gOff = 2, bOff = 3;
    } else if (buffer.pixelFormatType() == kCVPixelFormatType_32BGRA) {
        rOff = 2, gOff = 1, bOff = 0;
    } else {
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorInput,
                                    "The input \"" + in.name + "\" takes a 32-bit ARGB or BGRA image"));
    }
    const int h = static_cast<int>(in.height), w = static_cast<int>(in.width);
    cv::Mat blob = blankInput(in);
    PixelBufferLock lock(buffer, kCVPixelBufferLock_ReadOnly);
    const uint8_t* base = buffer.baseAddress();
    if (!base) return R::fail(runtimeError(kOpenCVModelRuntimeErrorInput, "The image has no pixel memory"));
    const size_t stride = buffer.bytesPerRow();
    // Tensor channel k takes colour offsets[k].
    const int offsets[3] = {in.tensor.rgb ? rOff : bOff, gOff, in.tensor.rgb ? bOff : rOff};
    const float scale = in.tensor.scale;
    float* out = blob.ptr<float>();
    const size_t plane = static_cast<size_t>(h) * static_cast<size_t>(w);
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = base + static_cast<size_t>(y) * stride;
        for (int x = 0; x < w; ++x) {
            const uint8_t* px = row + static_cast<size_t>(x) * 4;
            const size_t i = static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
            for (int k = 0; k < 3; ++k) {
                float v = static_cast<float>(px[offsets[k]]) * scale + in.tensor.bias[k];
                if (in.tensor.nchw)
                    out[static_cast<size_t>(k) * plane + i] = v;
                else
                    out[i * 3 + static_cast<size_t>(k)] = v;
            }
        }
    }
    return R::ok(blob);
}

class OpenCVModel : public Model {
public:
    OpenCVModel(cv::dnn::Net net, Description description) : net_(std::move(net)), description_(std::move(description)) {
        for (const auto& o : description_.outputs) outputNames_.push_back(o.name);
    }

    std::vector<FeatureDescription> inputDescriptions() const override {
        std::vector<FeatureDescription> out;
        for (const InputSpec& in : description_.inputs) {
            FeatureDescription d;
            d.name = in.name;
            if (in.image) d.imageConstraint = ImageConstraint{in.width, in.height, in.pixelFormat};
            out.push_back(std::move(d));
        }
        return out;
    }

    Expected<FeatureMap> predictionFromFeatures(const FeatureMap& inputs) override {
        using R = Expected<FeatureMap>;
        std::vector<std::pair<std::string, cv::Mat>> blobs;
        for (const InputSpec& in : description_.inputs) {
            auto it = inputs.find(in.name);
            if (in.image) {
                if (it == inputs.end() || it->second.type != FeatureType::Image || !it->second.image)
                    return R::fail(runtimeError(kOpenCVModelRuntimeErrorInput,
                                                "The image input \"" + in.name + "\" is missing"));
                auto blob = imageTensor(in, *it->second.image);
                if (!blob) return R::fail(blob.error);
                blobs.emplace_back(in.name, *blob);
            } else if (it != inputs.end() && it->second.type == FeatureType::MultiArray && it->second.multiArray) {
                const MultiArray& a = *it->second.multiArray;
                cv::Mat m = blankInput(in);
                if (a.data().size() != m.total())
                    return R::fail(runtimeError(kOpenCVModelRuntimeErrorInput,
                                                "The input \"" + in.name + "\" has the wrong number of elements"));
                std::copy(a.data().begin(), a.data().end(), m.ptr<float>());
                blobs.emplace_back(in.name, m);
            } else if (!in.defaults.empty()) {
                blobs.emplace_back(in.name, blankInput(in));
            } else {
                return R::fail(runtimeError(kOpenCVModelRuntimeErrorInput, "The input \"" + in.name + "\" is missing"));
            }
        }
        return run(blobs);
    }

    // Runs the network; `blobs` feed the inputs by name.
    Expected<FeatureMap> run(const std::vector<std::pair<std::string, cv::Mat>>& blobs) {
        using R = Expected<FeatureMap>;
        std::vector<cv::Mat> outs;
        try {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& [name, blob] : blobs) net_.setInput(blob, name);
            net_.forward(outs, outputNames_);
        } catch (const cv::Exception& e) {
            return R::fail(runtimeError(kOpenCVModelRuntimeErrorPrediction, std::string("Prediction failed: ") + e.what()));
        } catch (const std::exception& e) {
            return R::fail(runtimeError(kOpenCVModelRuntimeErrorPrediction, std::string("Prediction failed: ") + e.what()));
        }
        if (outs.size() != description_.outputs.size())
            return R::fail(runtimeError(kOpenCVModelRuntimeErrorPrediction, "The network gave the wrong outputs"));
        FeatureMap result;
        for (size_t i = 0; i < outs.size(); ++i) {
            cv::Mat m = outs[i];
            if (m.depth() != CV_32F) m.convertTo(m, CV_32F);
            if (!m.isContinuous()) m = m.clone();
            const float* p = m.ptr<float>();
            std::vector<float> data(p, p + m.total());
            auto array = std::make_shared<MultiArray>(outputShape(description_.outputs[i], m), std::move(data));
            result.emplace(description_.outputs[i].name, FeatureValue::withMultiArray(std::move(array)));
        }
        return R::ok(std::move(result));
    }

    // Runs once on blank inputs (defaults for multi-arrays).
    Expected<FeatureMap> runBlank() {
        std::vector<std::pair<std::string, cv::Mat>> blobs;
        for (const InputSpec& in : description_.inputs) blobs.emplace_back(in.name, blankInput(in));
        return run(blobs);
    }

    const Description& description() const { return description_; }

private:
    std::mutex mutex_;
    cv::dnn::Net net_;
    Description description_;
    std::vector<std::string> outputNames_;
};

// Reads the description and loads the network of a compiled directory or a
// package, and runs it once.
Expected<std::shared_ptr<OpenCVModel>> openDirectory(const fs::path& dir, bool requireOutputShapes) {
    using R = Expected<std::shared_ptr<OpenCVModel>>;
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorDescription, "No model directory at " + dir.string()));
    auto description = readDescription(dir, requireOutputShapes);
    if (!description) return R::fail(description.error);
    fs::path modelPath = dir / description->modelFile;
    if (!fs::is_regular_file(modelPath, ec))
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorModelFile, "No model file at " + modelPath.string()));
    cv::dnn::Net net;
    try {
        net = cv::dnn::readNetFromONNX(modelPath.string());
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    } catch (const cv::Exception& e) {
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorModelFile,
                                    "The model " + modelPath.string() + " does not load: " + e.what()));
    }
    if (net.empty())
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorModelFile, "The model " + modelPath.string() + " is empty"));
    auto model = std::make_shared<OpenCVModel>(std::move(net), std::move(*description));
    // One run on a blank input prepares the network and proves that every
    // declared output exists.
    auto warm = model->runBlank();
    if (!warm)
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorModelFile,
                                    "The model " + modelPath.string() + " does not run: " + warm.error.localizedDescription));
    return R::ok(std::move(model));
}

std::string shapeText(const std::vector<long>& shape) {
    std::string s = "[";
    for (size_t i = 0; i < shape.size(); ++i) s += (i ? "," : "") + std::to_string(shape[i]);
    return s + "]";
}

// Copies regular files and directories (never symbolic links) of `from` into `to`.
void copyTree(const fs::path& from, const fs::path& to) {
    fs::create_directories(to);
    for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator(); ++it) {
        fs::path target = to / fs::relative(it->path(), from);
        fs::file_status st = it->symlink_status();
        if (fs::is_directory(st))
            fs::create_directories(target);
        else if (fs::is_regular_file(st))
            fs::copy_file(it->path(), target, fs::copy_options::overwrite_existing);
    }
}

}  // namespace

Expected<std::shared_ptr<Model>> OpenCVModelRuntime::modelWithContentsOfURL(const std::string& compiledDir,
                                                                            int /*computeUnits*/) {
    using R = Expected<std::shared_ptr<Model>>;
    try {
        auto model = openDirectory(compiledDir, /*requireOutputShapes=*/true);
        if (!model) return R::fail(model.error);
        return R::ok(std::shared_ptr<Model>(*model));
    } catch (const std::exception& e) {
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorModelFile, std::string("Cannot open model: ") + e.what()));
    }
}

Expected<std::string> OpenCVModelRuntime::compileModelAtURL(const std::string& packageDir) {
    using R = Expected<std::string>;
    try {
        fs::path package = fs::path(packageDir);
        if (!package.has_filename()) package = package.parent_path();
        auto opened = openDirectory(package, /*requireOutputShapes=*/false);
        if (!opened) return R::fail(opened.error);
        OpenCVModel& model = **opened;
        const Description& d = model.description();

        auto invalid = [&](const std::string& why) {
            return R::fail(runtimeError(kOpenCVModelRuntimeErrorValidation,
                                        "The package " + package.string() + " is not a detection model: " + why));
        };
        const InputSpec* image = nullptr;
        for (const InputSpec& in : d.inputs)
            if (in.name == "image") image = &in;
        if (!image || !image->image) return invalid("no image input \"image\" with a declared size");
        bool hasCoordinates = false, hasConfidence = false;
        for (const OutputSpec& o : d.outputs) {
            hasCoordinates = hasCoordinates || o.name == "coordinates";
            hasConfidence = hasConfidence || o.name == "confidence";
        }
        if (!hasCoordinates || !hasConfidence) return invalid("outputs \"coordinates\" and \"confidence\" are required");

        auto outputs = model.runBlank();
        if (!outputs) return invalid(outputs.error.localizedDescription);
        const auto& coords = (*outputs)["coordinates"].multiArray;
        const auto& conf = (*outputs)["confidence"].multiArray;
        if (!coords || !conf) return invalid("an output is not a multi-array");
        if (coords->shape().size() != 2 || coords->shape()[1] != 4)
            return invalid("\"coordinates\" must be [N,4], not " + shapeText(coords->shape()));
        if (conf->shape().size() != 2 || conf->shape()[1] < 1)
            return invalid("\"confidence\" must be [N,C], not " + shapeText(conf->shape()));
        if (coords->shape()[0] != conf->shape()[0])
            return invalid("\"coordinates\" " + shapeText(coords->shape()) + " and \"confidence\" " +
                           shapeText(conf->shape()) + " disagree on N");
        for (const OutputSpec& o : d.outputs) {
            if (o.shape.empty()) continue;
            const auto& measured = (*outputs)[o.name].multiArray->shape();
            bool same = measured.size() == o.shape.size();
            for (size_t i = 0; same && i < measured.size(); ++i) same = o.shape[i] == -1 || o.shape[i] == measured[i];
            if (!same)
                return invalid("output \"" + o.name + "\" is declared " + shapeText(o.shape) + " but is " +
                               shapeText(measured));
        }

        // Write the compiled directory into a fresh temporary directory.
        std::string stem = package.stem().string();
        if (stem.empty()) stem = "model";
        std::string pattern = (fs::temp_directory_path() / "tevra-compiled-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data()))
            return R::fail(runtimeError(kOpenCVModelRuntimeErrorFile, "Cannot create a temporary directory"));
        const fs::path scratch(buf.data());
        const fs::path compiled = scratch / (stem + ".mlmodelc");
        bool written = false;
        std::string failure = "Cannot write the compiled model";
        try {
            copyTree(package, compiled);
            std::ifstream in(package / kDescriptionFileName);
            nlohmann::json j = nlohmann::json::parse(in);
            nlohmann::json outs = nlohmann::json::array();
            for (const OutputSpec& o : d.outputs)
                outs.push_back({{"name", o.name}, {"shape", (*outputs)[o.name].multiArray->shape()}});
            j["outputs"] = outs;
            std::ofstream out(compiled / kDescriptionFileName, std::ios::trunc);
            out << j.dump(2) << "\n";
            out.close();
            written = static_cast<bool>(out);
        } catch (const std::exception& e) {
            failure += std::string(": ") + e.what();
        }
        if (!written) {
            std::error_code ec;
            fs::remove_all(scratch, ec);
            return R::fail(runtimeError(kOpenCVModelRuntimeErrorFile, failure));
        }
        return R::ok(compiled.string());
    } catch (const std::exception& e) {
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorFile, std::string("Compiling failed: ") + e.what()));
    }
}

}  // namespace tevra
