// An in-memory model runtime for tests: models are registered under the path
// of their compiled directory and answer with scripted outputs.
//
// The registry still checks the file system for NAME.mlmodelc, so a test
// creates the (empty) directory and registers a FakeModel under its path.
// Threads: every method is safe from any thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ModelRuntime.h"
#include "base/ThreadAnnotations.h"

namespace tevra::fake {

class FakeModel : public Model {
public:
    using Script = std::function<Expected<FeatureMap>(const FeatureMap& inputs)>;

    explicit FakeModel(std::vector<FeatureDescription> inputs = {}) : inputs_(std::move(inputs)) {}
    // A model with one image input "image" of the given size (format 32ARGB).
    static std::shared_ptr<FakeModel> withImageInput(long width, long height);

    std::vector<FeatureDescription> inputDescriptions() const override;
    Expected<FeatureMap> predictionFromFeatures(const FeatureMap& inputs) override;

    // Every prediction answers with `outputs`.
    void setOutputs(FeatureMap outputs);
    // Every prediction fails with `error`.
    void setError(Error error);
    // Every prediction runs `script`.
    void setScript(Script script);

    int predictionCount() const;
    int inputDescriptionCount() const;
    // Width x height of the image fed under `name` in the last prediction
    // (0 x 0 when none).
    std::pair<size_t, size_t> lastImageSize(const std::string& name = "image") const;

    // Helpers to build outputs.
    static FeatureValue array(std::vector<long> shape, std::vector<float> data);

private:
    mutable Mutex mutex_;
    std::vector<FeatureDescription> inputs_ TEVRA_GUARDED_BY(mutex_);
    Script script_ TEVRA_GUARDED_BY(mutex_);
    int predictions_ TEVRA_GUARDED_BY(mutex_) = 0;
    mutable int describes_ TEVRA_GUARDED_BY(mutex_) = 0;
    std::map<std::string, std::pair<size_t, size_t>> lastImages_ TEVRA_GUARDED_BY(mutex_);
};

class FakeModelRuntime : public ModelRuntime {
public:
    Expected<std::shared_ptr<Model>> modelWithContentsOfURL(const std::string& compiledDir, int computeUnits) override;
    Expected<std::string> compileModelAtURL(const std::string& packageDir) override;

    // Opening `compiledDir` answers `model`.
    void registerModel(const std::string& compiledDir, std::shared_ptr<Model> model);
    // Opening `compiledDir` fails with `error`.
    void failOpen(const std::string& compiledDir, Error error);
    // Compiling `packageDir` answers `compiledDir` (or fails when not set).
    void registerCompile(const std::string& packageDir, const std::string& compiledDir);

    // Called (outside the runtime's lock) at the start of every open, e.g. to
    // block a load while a test checks that nothing else is held up.
    void setOpenHook(std::function<void(const std::string& compiledDir)> hook);

    // Paths opened so far, in order, and the compute units of the last open.
    std::vector<std::string> openedPaths() const;
    int lastComputeUnits() const;

private:
    mutable Mutex mutex_;
    std::map<std::string, std::shared_ptr<Model>> models_ TEVRA_GUARDED_BY(mutex_);
    std::map<std::string, Error> openFailures_ TEVRA_GUARDED_BY(mutex_);
    std::map<std::string, std::string> compiles_ TEVRA_GUARDED_BY(mutex_);
    std::function<void(const std::string&)> openHook_ TEVRA_GUARDED_BY(mutex_);
    std::vector<std::string> opened_ TEVRA_GUARDED_BY(mutex_);
    int lastComputeUnits_ TEVRA_GUARDED_BY(mutex_) = -1;
};

}  // namespace tevra::fake
