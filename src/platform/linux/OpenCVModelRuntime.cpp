#include "platform/linux/OpenCVModelRuntime.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "platform/Log.h"
#include "base/ThreadAnnotations.h"

namespace tevra {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using model::Description;
using model::InputSpec;
using model::OutputSpec;

Error runtimeError(long code, const std::string& message) { return modelRuntimeError(code, message); }

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
    cv::Mat blob = model::blankInput(in);
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
    OpenCVModel(cv::dnn::Net net, Description description)
        : net_(std::move(net)), description_(std::move(description)) {}

    // The declared inputs, the detection input "image" first: the model
    // registry sizes frames by the first image input it is told of, and a
    // second image input may be declared before "image".
    std::vector<FeatureDescription> inputDescriptions() const override {
        std::vector<FeatureDescription> out;
        for (const InputSpec& in : description_.inputs) {
            FeatureDescription d;
            d.name = in.name;
            if (in.image) d.imageConstraint = ImageConstraint{in.width, in.height, in.pixelFormat};
            out.push_back(std::move(d));
        }
        std::stable_partition(out.begin(), out.end(), [](const FeatureDescription& d) { return d.name == "image"; });
        return out;
    }

    // An image input the features leave out is fed zeros of its declared
    // shape (as the check's blank run is), so a model with a second image
    // input runs on the one image the detection code gives. Features with no
    // image at all, or with something else under an image input's name, fail.
    Expected<FeatureMap> predictionFromFeatures(const FeatureMap& inputs) override {
        using R = Expected<FeatureMap>;
        auto given = [&](const InputSpec& in) {
            auto it = inputs.find(in.name);
            return it != inputs.end() && it->second.type == FeatureType::Image && it->second.image;
        };
        const bool anyImage = std::any_of(description_.inputs.begin(), description_.inputs.end(),
                                          [&](const InputSpec& in) { return in.image && given(in); });
        std::vector<std::pair<std::string, cv::Mat>> blobs;
        for (const InputSpec& in : description_.inputs) {
            auto it = inputs.find(in.name);
            if (in.image) {
                if (!given(in)) {
                    if (!anyImage || it != inputs.end())
                        return R::fail(runtimeError(kOpenCVModelRuntimeErrorInput,
                                                    "The image input \"" + in.name + "\" is missing"));
                    blobs.emplace_back(in.name, model::blankInput(in));
                    continue;
                }
                auto blob = imageTensor(in, *it->second.image);
                if (!blob) return R::fail(blob.error);
                blobs.emplace_back(in.name, *blob);
            } else if (it != inputs.end() && it->second.type == FeatureType::MultiArray && it->second.multiArray) {
                const MultiArray& a = *it->second.multiArray;
                cv::Mat m = model::blankInput(in);
                if (a.data().size() != m.total())
                    return R::fail(runtimeError(kOpenCVModelRuntimeErrorInput,
                                                "The input \"" + in.name + "\" has the wrong number of elements"));
                std::copy(a.data().begin(), a.data().end(), m.ptr<float>());
                blobs.emplace_back(in.name, m);
            } else if (!in.defaults.empty()) {
                blobs.emplace_back(in.name, model::blankInput(in));
            } else {
                return R::fail(runtimeError(kOpenCVModelRuntimeErrorInput, "The input \"" + in.name + "\" is missing"));
            }
        }
        return run(blobs);
    }

    // Runs the network; `blobs` feed the inputs by name.
    Expected<FeatureMap> run(const std::vector<std::pair<std::string, cv::Mat>>& blobs) {
        using R = Expected<FeatureMap>;
        Expected<std::vector<cv::Mat>> outs = Expected<std::vector<cv::Mat>>::fail({});
        try {
            MutexLock lock(mutex_);
            outs = model::forward(net_, description_, blobs);
        } catch (const std::exception& e) {
            return R::fail(
                runtimeError(kOpenCVModelRuntimeErrorPrediction, std::string("Prediction failed: ") + e.what()));
        }
        if (!outs) return R::fail(outs.error);
        FeatureMap result;
        for (size_t i = 0; i < outs->size(); ++i) {
            cv::Mat m = (*outs)[i];
            if (m.depth() != CV_32F) m.convertTo(m, CV_32F);
            if (!m.isContinuous()) m = m.clone();
            const float* p = m.ptr<float>();
            std::vector<float> data(p, p + m.total());
            auto array = std::make_shared<MultiArray>(model::outputShape(description_.outputs[i], m), std::move(data));
            result.emplace(description_.outputs[i].name, FeatureValue::withMultiArray(std::move(array)));
        }
        return R::ok(std::move(result));
    }

    // Runs once on blank inputs (defaults for multi-arrays).
    Expected<FeatureMap> runBlank() {
        std::vector<std::pair<std::string, cv::Mat>> blobs;
        for (const InputSpec& in : description_.inputs) blobs.emplace_back(in.name, model::blankInput(in));
        return run(blobs);
    }

    const Description& description() const { return description_; }

private:
    Mutex mutex_;
    cv::dnn::Net net_ TEVRA_GUARDED_BY(mutex_);
    Description description_;
};

// The two files of a model directory, read once: what is hashed, checked and
// loaded are the same bytes.
struct ModelFiles {
    std::string descriptionText;
    Description description;
    std::string modelPath;
    std::string modelBytes;
};

model::DescriptionLimits descriptionLimits(const Limits& l) {
    return model::DescriptionLimits{l.modelMaxInputs, l.modelMaxInputElements, l.modelMaxOutputs};
}

Expected<ModelFiles> readModelFiles(const fs::path& dir, bool requireOutputShapes, const Limits& limits) {
    using R = Expected<ModelFiles>;
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorDescription, "No model directory at " + dir.string()));
    ModelFiles f;
    const std::string descriptionPath = (dir / OpenCVModelRuntime::kDescriptionFileName).string();
    auto text = model::readBoundedFile(descriptionPath, limits.modelDescriptionMaxBytes,
                                       kOpenCVModelRuntimeErrorDescription, "model description");
    if (!text) return R::fail(text.error);
    f.descriptionText = std::move(*text);
    auto description =
        model::parseDescription(f.descriptionText, descriptionPath, requireOutputShapes, descriptionLimits(limits));
    if (!description) return R::fail(description.error);
    f.description = std::move(*description);
    f.modelPath = (dir / f.description.modelFile).string();
    auto bytes =
        model::readBoundedFile(f.modelPath, limits.modelFileMaxBytes, kOpenCVModelRuntimeErrorModelFile, "model file");
    if (!bytes) return R::fail(bytes.error);
    f.modelBytes = std::move(*bytes);
    return R::ok(std::move(f));
}

// Loads validated bytes in this process and runs the network once.
Expected<std::shared_ptr<OpenCVModel>> openValidated(ModelFiles& f) {
    using R = Expected<std::shared_ptr<OpenCVModel>>;
    auto net = model::loadNetwork(f.modelBytes, f.modelPath);
    if (!net) return R::fail(net.error);
    auto opened = std::make_shared<OpenCVModel>(std::move(*net), std::move(f.description));
    // One run on a blank input prepares the network and proves that every
    // declared output exists.
    auto warm = opened->runBlank();
    if (!warm)
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorModelFile,
                                    "The model " + f.modelPath + " does not run: " + warm.error.localizedDescription));
    return R::ok(std::move(opened));
}

// The child's failure as the runtime's error: its own errors keep their code
// and text; a crash or a limit names the model.
Error checkFailure(const Error& e, const std::string& modelPath) {
    std::string text = clippedForLog(e.localizedDescription, 1024);
    if (e.code == kOpenCVModelRuntimeErrorCheck && text.rfind("the model check", 0) == 0)
        text = "The model " + modelPath + " was refused: " + text;
    return runtimeError(e.code, text);
}

std::string shapeText(const std::vector<long>& shape) {
    std::string s = "[";
    for (size_t i = 0; i < shape.size(); ++i) s += (i ? "," : "") + std::to_string(shape[i]);
    return s + "]";
}

// Copies regular files and directories (never symbolic links) of `from` into
// `to`, except a stamp at the top: only this process writes stamps.
void copyTree(const fs::path& from, const fs::path& to) {
    fs::create_directories(to);
    for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path relative = fs::relative(it->path(), from);
        if (relative == fs::path(model::kStampFileName)) continue;
        fs::path target = to / relative;
        fs::file_status st = it->symlink_status();
        if (fs::is_directory(st))
            fs::create_directories(target);
        else if (fs::is_regular_file(st))
            fs::copy_file(it->path(), target, fs::copy_options::overwrite_existing);
    }
}

}  // namespace

OpenCVModelRuntime::OpenCVModelRuntime() : OpenCVModelRuntime(Limits()) {}

OpenCVModelRuntime::OpenCVModelRuntime(const Limits& limits, std::string checkProgram) : limits_(limits) {
    check_.program = std::move(checkProgram);
    check_.addressSpaceBytes = limits.modelCheckAddressSpaceBytes;
    check_.cpuSeconds = limits.modelCheckCpuSeconds;
    check_.wallSeconds = limits.modelCheckWallSeconds;
    check_.descriptionMaxBytes = limits.modelDescriptionMaxBytes;
    check_.modelMaxBytes = limits.modelFileMaxBytes;
    check_.description = descriptionLimits(limits);
}

bool OpenCVModelRuntime::validated(const std::string& dir, const std::string& descriptionSha,
                                   const std::string& modelSha) {
    {
        MutexLock lock(mutex_);
        if (validated_.count(descriptionSha + ":" + modelSha)) return true;
    }
    if (!model::stampMatches(dir, descriptionSha, modelSha)) return false;
    remember(descriptionSha, modelSha);
    return true;
}

void OpenCVModelRuntime::remember(const std::string& descriptionSha, const std::string& modelSha) {
    MutexLock lock(mutex_);
    // A few models are in use at a time; an old entry costs only a re-check.
    if (validated_.size() >= 256) validated_.clear();
    validated_.insert(descriptionSha + ":" + modelSha);
}

Expected<std::shared_ptr<Model>> OpenCVModelRuntime::modelWithContentsOfURL(const std::string& compiledDir,
                                                                            int /*computeUnits*/) {
    using R = Expected<std::shared_ptr<Model>>;
    try {
        auto files = readModelFiles(compiledDir, /*requireOutputShapes=*/true, limits_);
        if (!files) return R::fail(files.error);
        const std::string descriptionSha = model::sha256Hex(files->descriptionText);
        const std::string modelSha = model::sha256Hex(files->modelBytes);
        if (!validated(compiledDir, descriptionSha, modelSha)) {
            auto checked = model::runModelCheck(check_, compiledDir, /*package=*/false, &checksStarted_);
            if (!checked) return R::fail(checkFailure(checked.error, files->modelPath));
            if (checked->descriptionSha256 != descriptionSha || checked->modelSha256 != modelSha)
                return R::fail(runtimeError(kOpenCVModelRuntimeErrorCheck,
                                            "The model " + files->modelPath + " changed while it was checked"));
            remember(descriptionSha, modelSha);
            // Best effort: a bundled model in a read-only directory is checked
            // again by the next process.
            model::writeStamp(compiledDir, descriptionSha, modelSha);
        }
        auto opened = openValidated(*files);
        if (!opened) return R::fail(opened.error);
        return R::ok(std::shared_ptr<Model>(*opened));
    } catch (const std::exception& e) {
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorModelFile, std::string("Cannot open model: ") + e.what()));
    }
}

Expected<std::string> OpenCVModelRuntime::compileModelAtURL(const std::string& packageDir) {
    using R = Expected<std::string>;
    try {
        fs::path package = fs::path(packageDir);
        if (!package.has_filename()) package = package.parent_path();
        // The description is read and bounded here first: a package that
        // can't be a detection model costs no child.
        auto files = readModelFiles(package, /*requireOutputShapes=*/false, limits_);
        if (!files) return R::fail(files.error);
        const Description& d = files->description;

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
        if (!hasCoordinates || !hasConfidence)
            return invalid("outputs \"coordinates\" and \"confidence\" are required");

        // The package is copied into a fresh temporary directory first; the
        // child checks the copy, which is what is kept.
        std::string stem = package.stem().string();
        if (stem.empty()) stem = "model";
        std::string pattern = (fs::temp_directory_path() / "tevra-compiled-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data()))
            return R::fail(runtimeError(kOpenCVModelRuntimeErrorFile, "Cannot create a temporary directory"));
        const fs::path scratch(buf.data());
        const fs::path compiled = scratch / (stem + ".mlmodelc");
        auto fail = [&](Error e) {
            std::error_code ec;
            fs::remove_all(scratch, ec);
            return R::fail(std::move(e));
        };
        try {
            copyTree(package, compiled);
        } catch (const std::exception& e) {
            return fail(runtimeError(kOpenCVModelRuntimeErrorFile,
                                     std::string("Cannot write the compiled model: ") + e.what()));
        }

        auto checked = model::runModelCheck(check_, compiled.string(), /*package=*/true, &checksStarted_);
        if (!checked) return fail(checkFailure(checked.error, (package / d.modelFile).string()));
        if (checked->descriptionSha256 != model::sha256Hex(files->descriptionText) ||
            checked->modelSha256 != model::sha256Hex(files->modelBytes))
            return fail(runtimeError(kOpenCVModelRuntimeErrorCheck,
                                     "The package " + package.string() + " changed while it was compiled"));
        std::map<std::string, std::vector<long>> measured;
        for (const auto& [name, shape] : checked->outputs) measured[name] = shape;
        for (const OutputSpec& o : d.outputs)
            if (!measured.count(o.name))
                return fail(
                    runtimeError(kOpenCVModelRuntimeErrorCheck, "The model check did not measure \"" + o.name + "\""));

        auto invalidHere = [&](const std::string& why) {
            return fail(runtimeError(kOpenCVModelRuntimeErrorValidation,
                                     "The package " + package.string() + " is not a detection model: " + why));
        };
        const auto& coords = measured["coordinates"];
        const auto& conf = measured["confidence"];
        if (coords.size() != 2 || coords[1] != 4)
            return invalidHere("\"coordinates\" must be [N,4], not " + shapeText(coords));
        if (conf.size() != 2 || conf[1] < 1) return invalidHere("\"confidence\" must be [N,C], not " + shapeText(conf));
        if (coords[0] != conf[0])
            return invalidHere("\"coordinates\" " + shapeText(coords) + " and \"confidence\" " + shapeText(conf) +
                               " disagree on N");
        for (const OutputSpec& o : d.outputs) {
            if (o.shape.empty()) continue;
            const auto& shape = measured[o.name];
            bool same = shape.size() == o.shape.size();
            for (size_t i = 0; same && i < shape.size(); ++i) same = o.shape[i] == -1 || o.shape[i] == shape[i];
            if (!same)
                return invalidHere("output \"" + o.name + "\" is declared " + shapeText(o.shape) + " but is " +
                                   shapeText(shape));
        }

        // The compiled description: the package's, with the measured shapes.
        std::string compiledText;
        try {
            nlohmann::json j = nlohmann::json::parse(files->descriptionText);
            nlohmann::json outs = nlohmann::json::array();
            for (const OutputSpec& o : d.outputs) outs.push_back({{"name", o.name}, {"shape", measured[o.name]}});
            j["outputs"] = outs;
            compiledText = j.dump(2) + "\n";
            std::ofstream out(compiled / kDescriptionFileName, std::ios::trunc | std::ios::binary);
            out << compiledText;
            out.close();
            if (!out) return fail(runtimeError(kOpenCVModelRuntimeErrorFile, "Cannot write the compiled model"));
        } catch (const std::exception& e) {
            return fail(runtimeError(kOpenCVModelRuntimeErrorFile,
                                     std::string("Cannot write the compiled model: ") + e.what()));
        }
        const std::string descriptionSha = model::sha256Hex(compiledText);
        remember(descriptionSha, checked->modelSha256);
        if (!model::writeStamp(compiled.string(), descriptionSha, checked->modelSha256))
            return fail(runtimeError(kOpenCVModelRuntimeErrorFile, "Cannot write the compiled model's stamp"));
        return R::ok(compiled.string());
    } catch (const std::exception& e) {
        return R::fail(runtimeError(kOpenCVModelRuntimeErrorFile, std::string("Compiling failed: ") + e.what()));
    }
}

}  // namespace tevra

// The entry point the Linux platform looks up when it loads this library on
// first use (LazyModelRuntime.h).
extern "C" __attribute__((visibility("default"))) tevra::ModelRuntime* tevraCreateModelRuntime(
    const tevra::Limits* limits) {
    try {
        return new tevra::OpenCVModelRuntime(limits ? *limits : tevra::Limits());
    } catch (...) {
        return nullptr;
    }
}
