#include "platform/fake/ScriptedModelRuntime.h"

#include <algorithm>
#include <filesystem>

namespace tevra::fake {

namespace {

constexpr const char* kCompiledSuffix = ".mlmodelc";

// The model name a compiled directory stands for: its last component without
// ".mlmodelc" ("/docs/replay_sign.mlmodelc" -> "replay_sign"), or "".
std::string nameOfCompiledDirectory(const std::string& compiledDir) {
    std::string last = std::filesystem::path(compiledDir).lexically_normal().filename().string();
    if (last.empty()) last = std::filesystem::path(compiledDir).lexically_normal().parent_path().filename().string();
    const std::string suffix = kCompiledSuffix;
    if (last.size() <= suffix.size() || last.compare(last.size() - suffix.size(), suffix.size(), suffix) != 0)
        return {};
    return last.substr(0, last.size() - suffix.size());
}

class ScriptedModel : public Model {
public:
    ScriptedModel(std::string name, std::shared_ptr<ScriptedModelRuntime::State> state)
        : name_(std::move(name)), state_(std::move(state)) {}

    std::vector<FeatureDescription> inputDescriptions() const override {
        ScriptedAnswer answer = current();
        FeatureDescription d;
        d.name = "image";
        d.imageConstraint = ImageConstraint{answer.inputWidth, answer.inputHeight, kCVPixelFormatType_32ARGB};
        return {d};
    }

    Expected<FeatureMap> predictionFromFeatures(const FeatureMap& inputs) override {
        ScriptedAnswer answer;
        ScriptedModelRuntime::Observer observer;
        {
            MutexLock lock(state_->mutex);
            auto it = state_->answers.find(name_);
            if (it != state_->answers.end()) answer = it->second;
            observer = state_->observer;
        }
        size_t w = 0, h = 0;
        if (auto in = inputs.find("image"); in != inputs.end() && in->second.image) {
            w = in->second.image->width();
            h = in->second.image->height();
        }
        if (observer) observer(name_, w, h, answer);
        if (answer.failure) return Expected<FeatureMap>::fail(Error{"com.tevra.scriptedmodel", 1, *answer.failure});
        return Expected<FeatureMap>::ok(ScriptedModelRuntime::outputsFor(answer));
    }

private:
    ScriptedAnswer current() const {
        MutexLock lock(state_->mutex);
        auto it = state_->answers.find(name_);
        return it == state_->answers.end() ? ScriptedAnswer{} : it->second;
    }

    std::string name_;
    std::shared_ptr<ScriptedModelRuntime::State> state_;
};

}  // namespace

ScriptedModelRuntime::ScriptedModelRuntime(std::shared_ptr<ModelRuntime> fallback) : fallback_(std::move(fallback)) {}

void ScriptedModelRuntime::script(const std::string& name, ScriptedAnswer answer) {
    MutexLock lock(state_->mutex);
    state_->answers[name] = std::move(answer);
}

std::vector<std::string> ScriptedModelRuntime::scriptedNames() const {
    MutexLock lock(state_->mutex);
    std::vector<std::string> names;
    for (const auto& [name, answer] : state_->answers) names.push_back(name);
    return names;
}

void ScriptedModelRuntime::setFallback(std::shared_ptr<ModelRuntime> fallback) {
    MutexLock lock(fallbackMutex_);
    fallback_ = std::move(fallback);
}

void ScriptedModelRuntime::setObserver(Observer observer) {
    MutexLock lock(state_->mutex);
    state_->observer = std::move(observer);
}

Expected<std::shared_ptr<Model>> ScriptedModelRuntime::modelWithContentsOfURL(const std::string& compiledDir,
                                                                              int computeUnits) {
    const std::string name = nameOfCompiledDirectory(compiledDir);
    {
        MutexLock lock(state_->mutex);
        if (!name.empty() && state_->answers.count(name))
            return Expected<std::shared_ptr<Model>>::ok(std::make_shared<ScriptedModel>(name, state_));
    }
    std::shared_ptr<ModelRuntime> fallback;
    {
        MutexLock lock(fallbackMutex_);
        fallback = fallback_;
    }
    if (fallback) return fallback->modelWithContentsOfURL(compiledDir, computeUnits);
    return Expected<std::shared_ptr<Model>>::fail(
        Error{"com.tevra.scriptedmodel", 2, "No model is scripted for " + compiledDir});
}

Expected<std::string> ScriptedModelRuntime::compileModelAtURL(const std::string& packageDir) {
    std::shared_ptr<ModelRuntime> fallback;
    {
        MutexLock lock(fallbackMutex_);
        fallback = fallback_;
    }
    if (fallback) return fallback->compileModelAtURL(packageDir);
    return Expected<std::string>::fail(Error{"com.tevra.scriptedmodel", 3, "Cannot compile " + packageDir});
}

FeatureMap ScriptedModelRuntime::outputsFor(const ScriptedAnswer& answer) {
    const long n = static_cast<long>(answer.boxes.size());
    int32_t highest = 0;
    for (const ScriptedBox& b : answer.boxes) highest = std::max(highest, b.classId);
    const long classes = static_cast<long>(highest) + 1;
    std::vector<float> coords, conf(static_cast<size_t>(n * classes), 0.0f);
    coords.reserve(static_cast<size_t>(n) * 4);
    for (long i = 0; i < n; ++i) {
        const ScriptedBox& b = answer.boxes[static_cast<size_t>(i)];
        coords.insert(coords.end(), {b.x, b.y, b.w, b.h});
        if (b.classId >= 0) conf[static_cast<size_t>(i * classes + b.classId)] = b.confidence;
    }
    FeatureMap out;
    out.emplace("coordinates",
                FeatureValue::withMultiArray(std::make_shared<MultiArray>(std::vector<long>{n, 4}, coords)));
    out.emplace("confidence",
                FeatureValue::withMultiArray(std::make_shared<MultiArray>(std::vector<long>{n, classes}, conf)));
    return out;
}

}  // namespace tevra::fake
