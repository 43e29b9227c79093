#include "platform/fake/FakeModelRuntime.h"

namespace tevra::fake {

std::shared_ptr<FakeModel> FakeModel::withImageInput(long width, long height) {
    FeatureDescription d;
    d.name = "image";
    d.imageConstraint = ImageConstraint{width, height, kCVPixelFormatType_32ARGB};
    return std::make_shared<FakeModel>(std::vector<FeatureDescription>{d});
}

std::vector<FeatureDescription> FakeModel::inputDescriptions() const {
    MutexLock lock(mutex_);
    ++describes_;
    return inputs_;
}

Expected<FeatureMap> FakeModel::predictionFromFeatures(const FeatureMap& inputs) {
    Script script;
    {
        MutexLock lock(mutex_);
        ++predictions_;
        lastImages_.clear();
        for (const auto& [name, value] : inputs)
            if (value.type == FeatureType::Image && value.image)
                lastImages_[name] = {value.image->width(), value.image->height()};
        script = script_;
    }
    if (!script) return Expected<FeatureMap>::ok({});
    return script(inputs);
}

void FakeModel::setOutputs(FeatureMap outputs) {
    setScript([outputs](const FeatureMap&) { return Expected<FeatureMap>::ok(outputs); });
}

void FakeModel::setError(Error error) {
    setScript([error](const FeatureMap&) { return Expected<FeatureMap>::fail(error); });
}

void FakeModel::setScript(Script script) {
    MutexLock lock(mutex_);
    script_ = std::move(script);
}

int FakeModel::predictionCount() const {
    MutexLock lock(mutex_);
    return predictions_;
}

int FakeModel::inputDescriptionCount() const {
    MutexLock lock(mutex_);
    return describes_;
}

std::pair<size_t, size_t> FakeModel::lastImageSize(const std::string& name) const {
    MutexLock lock(mutex_);
    auto it = lastImages_.find(name);
    return it == lastImages_.end() ? std::pair<size_t, size_t>{0, 0} : it->second;
}

FeatureValue FakeModel::array(std::vector<long> shape, std::vector<float> data) {
    return FeatureValue::withMultiArray(std::make_shared<MultiArray>(std::move(shape), std::move(data)));
}

Expected<std::shared_ptr<Model>> FakeModelRuntime::modelWithContentsOfURL(const std::string& compiledDir,
                                                                          int computeUnits) {
    std::function<void(const std::string&)> hook;
    {
        MutexLock lock(mutex_);
        opened_.push_back(compiledDir);
        lastComputeUnits_ = computeUnits;
        hook = openHook_;
    }
    if (hook) hook(compiledDir);
    MutexLock lock(mutex_);
    auto failure = openFailures_.find(compiledDir);
    if (failure != openFailures_.end()) return Expected<std::shared_ptr<Model>>::fail(failure->second);
    auto it = models_.find(compiledDir);
    if (it == models_.end())
        return Expected<std::shared_ptr<Model>>::fail(
            Error{"com.tevra.fakemodel", 1, "No model is registered at " + compiledDir});
    return Expected<std::shared_ptr<Model>>::ok(it->second);
}

Expected<std::string> FakeModelRuntime::compileModelAtURL(const std::string& packageDir) {
    MutexLock lock(mutex_);
    auto it = compiles_.find(packageDir);
    if (it == compiles_.end())
        return Expected<std::string>::fail(Error{"com.tevra.fakemodel", 2, "Cannot compile " + packageDir});
    return Expected<std::string>::ok(it->second);
}

void FakeModelRuntime::registerModel(const std::string& compiledDir, std::shared_ptr<Model> model) {
    MutexLock lock(mutex_);
    models_[compiledDir] = std::move(model);
    openFailures_.erase(compiledDir);
}

void FakeModelRuntime::failOpen(const std::string& compiledDir, Error error) {
    MutexLock lock(mutex_);
    openFailures_[compiledDir] = std::move(error);
}

void FakeModelRuntime::registerCompile(const std::string& packageDir, const std::string& compiledDir) {
    MutexLock lock(mutex_);
    compiles_[packageDir] = compiledDir;
}

void FakeModelRuntime::setOpenHook(std::function<void(const std::string&)> hook) {
    MutexLock lock(mutex_);
    openHook_ = std::move(hook);
}

std::vector<std::string> FakeModelRuntime::openedPaths() const {
    MutexLock lock(mutex_);
    return opened_;
}

int FakeModelRuntime::lastComputeUnits() const {
    MutexLock lock(mutex_);
    return lastComputeUnits_;
}

}  // namespace tevra::fake
