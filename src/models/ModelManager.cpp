#include "models/ModelManager.h"

#include <filesystem>
#include <system_error>

#include "platform/Log.h"
#include "platform/Platform.h"

namespace tevra {

namespace fs = std::filesystem;

const char* const kModelErrorDomain = "ModelError";
const char* const kModelInputErrorDomain = "TevraARWebGL.ModelInputError";

namespace {

// CPU and neural accelerator, no graphics processor.
constexpr int kComputeUnitsCPUAndNeuralEngine = 3;

constexpr const char* kCompiledModelExtension = ".mlmodelc";

bool entryExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec)) && !ec;
}

}  // namespace

Error makeModelError(long code, const std::string& description) { return Error{kModelErrorDomain, code, description}; }

Error makeModelInputError(ModelInputError e) {
    long code = static_cast<long>(e);
    return Error{kModelInputErrorDomain, code,
                 "The operation couldn't be completed. (TevraARWebGL.ModelInputError error " + std::to_string(code) +
                     ".)"};
}

std::optional<ModelInputError> modelInputErrorFrom(const Error& e) {
    if (e.domain != kModelInputErrorDomain) return std::nullopt;
    if (e.code == static_cast<long>(ModelInputError::missingInputDescription))
        return ModelInputError::missingInputDescription;
    if (e.code == static_cast<long>(ModelInputError::missingImageConstraint))
        return ModelInputError::missingImageConstraint;
    return std::nullopt;
}

const std::shared_ptr<ModelManager>& ModelManager::shared() {
    // Created once, even when first reached from several threads at a time;
    // never destroyed, so threads still running at exit can use it.
    static const auto* instance = new std::shared_ptr<ModelManager>(std::make_shared<ModelManager>());
    return *instance;
}

bool ModelManager::isUsableModelName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

std::string ModelManager::localStoragePath(const std::string& name) {
    const std::string& documents = platform().documentsDirectory;
    if (documents.empty()) return {};
    return (fs::path(documents) / (name + kCompiledModelExtension)).string();
}

std::optional<Error> ModelManager::loadModel(const std::string& name) {
    {
        std::shared_lock<std::shared_mutex> lock(mapsMutex_);
        if (models.count(name)) return std::nullopt;
    }

    std::string location;
    if (isUsableModelName(name)) {
        // The bundle always wins; local storage is looked at only without it.
        const std::string& resources = platform().resourcesDirectory;
        if (!resources.empty()) {
            fs::path p = fs::path(resources) / (name + kCompiledModelExtension);
            if (entryExists(p)) {
                location = p.string();
                logStdout("Found in bundle");
            }
        }
        if (location.empty()) {
            std::string stored = localStoragePath(name);
            if (!stored.empty() && entryExists(stored)) {
                location = stored;
                logStdout("Found in local storage");
            }
        }
    }
    if (location.empty()) return makeModelError(-1, "Model not found");

    std::shared_ptr<ModelRuntime> runtime = platform().models;
    if (!runtime) return Error{"TevraARWebGL.ModelRuntime", -1, "No model runtime is installed"};
    // The slow part: no lock is held here.
    auto opened = runtime->modelWithContentsOfURL(location, kComputeUnitsCPUAndNeuralEngine);
    if (!opened) return opened.error;
    if (!*opened) return Error{"TevraARWebGL.ModelRuntime", -1, "The model runtime returned no model"};

    {
        std::unique_lock<std::shared_mutex> lock(mapsMutex_);
        // A model is never replaced: when two threads opened the same name at
        // once, the first to register wins.
        models.try_emplace(name, *opened);
    }

    auto size = getInputImageSize(name);
    if (!size) return size.error;
    {
        std::unique_lock<std::shared_mutex> lock(mapsMutex_);
        inputSizes.insert_or_assign(name, *size);
    }
    logStdout("Model loaded: " + name + " size (" + std::to_string(size->first) + ", " +
              std::to_string(size->second) + ")");
    return std::nullopt;
}

bool ModelManager::isModelLoaded(const std::string& name) {
    std::shared_lock<std::shared_mutex> lock(mapsMutex_);
    return models.count(name) != 0;
}

Expected<std::shared_ptr<Model>> ModelManager::getModel(const std::string& name) {
    std::shared_lock<std::shared_mutex> lock(mapsMutex_);
    auto it = models.find(name);
    if (it == models.end()) return Expected<std::shared_ptr<Model>>::fail(makeModelError(-2, "Model not loaded"));
    return Expected<std::shared_ptr<Model>>::ok(it->second);
}

Expected<ModelInputSize> ModelManager::getInputImageSize(const std::string& name) {
    std::shared_ptr<Model> model;
    {
        std::shared_lock<std::shared_mutex> lock(mapsMutex_);
        auto cached = inputSizes.find(name);
        if (cached != inputSizes.end()) return Expected<ModelInputSize>::ok(cached->second);
        auto it = models.find(name);
        if (it != models.end()) model = it->second;
    }
    if (!model) return Expected<ModelInputSize>::fail(makeModelError(-2, "Model not loaded"));

    // Asking the model for its inputs may take a while; done outside the lock.
    for (const FeatureDescription& input : model->inputDescriptions()) {
        if (!input.imageConstraint) continue;
        const ImageConstraint& c = *input.imageConstraint;
        logStdout("Image input: " + input.name);
        logStdout("Pixel format: " + std::to_string(c.pixelFormatType));
        logStdout("Width: " + std::to_string(c.pixelsWide));
        logStdout("Height: " + std::to_string(c.pixelsHigh));
        ModelInputSize size{c.pixelsWide, c.pixelsHigh};
        {
            std::unique_lock<std::shared_mutex> lock(mapsMutex_);
            inputSizes.insert_or_assign(name, size);
        }
        return Expected<ModelInputSize>::ok(size);
    }
    return Expected<ModelInputSize>::fail(makeModelInputError(ModelInputError::missingImageConstraint));
}

bool ModelManager::loadModelWithNamed(const std::string& name, Error* error) {
    auto failure = loadModel(name);
    if (failure && error) *error = *failure;
    return !failure;
}

std::shared_ptr<Model> ModelManager::getModelWithNamed(const std::string& name, Error* error) {
    auto model = getModel(name);
    if (!model) {
        if (error) *error = model.error;
        return nullptr;
    }
    return *model;
}

}  // namespace tevra
