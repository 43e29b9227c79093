/// @file
/// The model runtime: opens compiled model directories, describes their
/// inputs, predicts, and compiles model packages.
///
/// Threads: any; a loaded model may be used from one thread at a time per call
/// (the runtime serialises internally).
/// Failure: open/compile/predict return an Error.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Error.h"
#include "platform/PixelBuffer.h"

namespace tevra {

/// The image a model input takes.
struct ImageConstraint {
    /// Width in pixels.
    long pixelsWide = 0;
    /// Height in pixels.
    long pixelsHigh = 0;
    /// The pixel format code (platform/PixelBuffer.h).
    uint32_t pixelFormatType = 0;
};

/// One input of a model.
struct FeatureDescription {
    /// The input's name.
    std::string name;
    std::optional<ImageConstraint> imageConstraint;  ///< absent for non-image inputs
};

/// A dense multi-array of numbers.
class MultiArray {
public:
    /// An array of `shape` holding `data`, the last index running fastest.
    MultiArray(std::vector<long> shape, std::vector<float> data) : shape_(std::move(shape)), data_(std::move(data)) {}
    /// The size of each dimension.
    const std::vector<long>& shape() const { return shape_; }
    /// Element by index list; out-of-range reads give 0.
    float at(const std::vector<long>& index) const;
    /// The elements, the last index running fastest.
    const std::vector<float>& data() const { return data_; }

private:
    std::vector<long> shape_;
    std::vector<float> data_;
};

/// The kind of a feature value.
enum class FeatureType : long {
    /// No value.
    Invalid = 0,
    /// An integer.
    Int64 = 1,
    /// A floating-point number.
    Double = 2,
    /// A text.
    String = 3,
    /// An image (a pixel buffer).
    Image = 4,
    /// A multi-array.
    MultiArray = 5,
    /// A dictionary.
    Dictionary = 6
};

/// A model input or output value: an image or a multi-array.
struct FeatureValue {
    /// What the value holds.
    FeatureType type = FeatureType::Invalid;
    /// The array of a MultiArray value.
    std::shared_ptr<MultiArray> multiArray;
    /// The pixel buffer of an Image value.
    PixelBufferRef image;
    /// An Image value holding `b`.
    static FeatureValue withPixelBuffer(PixelBufferRef b) {
        FeatureValue v;
        v.type = FeatureType::Image;
        v.image = std::move(b);
        return v;
    }
    /// A MultiArray value holding `a`.
    static FeatureValue withMultiArray(std::shared_ptr<MultiArray> a) {
        FeatureValue v;
        v.type = FeatureType::MultiArray;
        v.multiArray = std::move(a);
        return v;
    }
};

/// Feature values by input or output name.
using FeatureMap = std::map<std::string, FeatureValue>;

/// A loaded model.
class Model {
public:
    virtual ~Model() = default;
    /// Input descriptions in a fixed order.
    virtual std::vector<FeatureDescription> inputDescriptions() const = 0;
    /// Runs the model on `inputs` (by input name); the outputs by name, or an error.
    virtual Expected<FeatureMap> predictionFromFeatures(const FeatureMap& inputs) = 0;
};

/// The model runtime.
class ModelRuntime {
public:
    virtual ~ModelRuntime() = default;
    /// Opens a compiled model directory. computeUnits follows the platform's
    /// coding (3: CPU and neural accelerator, no graphics processor).
    virtual Expected<std::shared_ptr<Model>> modelWithContentsOfURL(const std::string& compiledDir,
                                                                    int computeUnits) = 0;
    /// Compiles a model package into a compiled model directory at a location
    /// the runtime chooses, and returns that location.
    virtual Expected<std::string> compileModelAtURL(const std::string& packageDir) = 0;
};

}  // namespace tevra
