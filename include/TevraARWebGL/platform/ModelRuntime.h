// The model runtime: opens compiled model directories, describes their
// inputs, predicts, and compiles model packages.
//
// Threads: any; a loaded model may be used from one thread at a time per call
// (the runtime serialises internally).
// Failure: open/compile/predict return an Error.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Error.h"
#include "platform/PixelBuffer.h"

namespace tevra {

struct ImageConstraint {
    long pixelsWide = 0;
    long pixelsHigh = 0;
    uint32_t pixelFormatType = 0;
};

struct FeatureDescription {
    std::string name;
    std::optional<ImageConstraint> imageConstraint;  // absent for non-image inputs
};

// A dense multi-array of numbers.
class MultiArray {
public:
    MultiArray(std::vector<long> shape, std::vector<float> data) : shape_(std::move(shape)), data_(std::move(data)) {}
    const std::vector<long>& shape() const { return shape_; }
    // Element by index list; out-of-range reads give 0.
    float at(const std::vector<long>& index) const;
    const std::vector<float>& data() const { return data_; }

private:
    std::vector<long> shape_;
    std::vector<float> data_;
};

enum class FeatureType : long {
    Invalid = 0,
    Int64 = 1,
    Double = 2,
    String = 3,
    Image = 4,
    MultiArray = 5,
    Dictionary = 6
};

struct FeatureValue {
    FeatureType type = FeatureType::Invalid;
    std::shared_ptr<MultiArray> multiArray;
    PixelBufferRef image;
    static FeatureValue withPixelBuffer(PixelBufferRef b) {
        FeatureValue v;
        v.type = FeatureType::Image;
        v.image = std::move(b);
        return v;
    }
    static FeatureValue withMultiArray(std::shared_ptr<MultiArray> a) {
        FeatureValue v;
        v.type = FeatureType::MultiArray;
        v.multiArray = std::move(a);
        return v;
    }
};

using FeatureMap = std::map<std::string, FeatureValue>;

class Model {
public:
    virtual ~Model() = default;
    // Input descriptions in a fixed order.
    virtual std::vector<FeatureDescription> inputDescriptions() const = 0;
    virtual Expected<FeatureMap> predictionFromFeatures(const FeatureMap& inputs) = 0;
};

class ModelRuntime {
public:
    virtual ~ModelRuntime() = default;
    // Opens a compiled model directory. computeUnits follows the platform's
    // coding (3: CPU and neural accelerator, no graphics processor).
    virtual Expected<std::shared_ptr<Model>> modelWithContentsOfURL(const std::string& compiledDir,
                                                                    int computeUnits) = 0;
    // Compiles a model package into a compiled model directory at a location
    // the runtime chooses, and returns that location.
    virtual Expected<std::string> compileModelAtURL(const std::string& packageDir) = 0;
};

}  // namespace tevra
