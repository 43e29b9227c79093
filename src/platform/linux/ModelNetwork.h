// What the model runtime and the model-check program share: reading a
// model's description.json with its bounds, loading the ONNX network from
// bytes with OpenCV's DNN module, and running it on blank inputs.
//
// The parent process (OpenCVModelRuntime) and the child that checks model
// bytes first (apps/tevra-model-check) run this same code, so what the child
// proved about a model holds for the parent's own load of the same bytes.
//
// In:  description text (at most Limits::modelDescriptionMaxBytes) and the
//      model file's bytes.
// Out: a Description, a loaded network, output tensors.
// Fails: an Error of the domain "OpenCVModelRuntime"; nothing throws except
//      std::bad_alloc, and cv::Exception is caught.
// Bounds, checked before anything is allocated for an input: at most
//      maxInputs inputs, at most maxOutputs outputs, and all input tensors
//      together at most maxInputElements elements (a 640 x 640 image input
//      counts 1,228,800; one 8192 x 8192 image, 201,326,592, is refused by
//      the default 16,777,216).
// Threads: any; a cv::dnn::Net is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "base/Error.h"
#include "platform/PixelBuffer.h"

namespace tevra {

extern const char* const kOpenCVModelRuntimeErrorDomain;  // "OpenCVModelRuntime"
enum : long {
    kOpenCVModelRuntimeErrorDescription = 1,  // description.json missing or invalid
    kOpenCVModelRuntimeErrorModelFile = 2,    // the ONNX file does not load or run
    kOpenCVModelRuntimeErrorInput = 3,        // a prediction input is missing or unusable
    kOpenCVModelRuntimeErrorPrediction = 4,   // the network failed while predicting
    kOpenCVModelRuntimeErrorValidation = 5,   // a package is not a usable detection model
    kOpenCVModelRuntimeErrorFile = 6,         // a file operation failed while compiling
    kOpenCVModelRuntimeErrorCheck = 7,        // the out-of-process check crashed, hit a limit or could not run
};

Error modelRuntimeError(long code, const std::string& message);

namespace model {

// The bounds the description reader enforces (from tevra::Limits).
struct DescriptionLimits {
    uint64_t maxInputs = 8;
    uint64_t maxInputElements = 16ull * 1024 * 1024;
    uint64_t maxOutputs = 16;
};

// How pixels become the image tensor.
struct TensorSpec {
    bool nchw = true;  // else NHWC
    bool rgb = true;   // channel order RGB, else BGR
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

// Parses description.json's text; `where` names the file in messages.
// `requireOutputShapes` is set for compiled models. Example: 12 multi-array
// inputs fail with "... declares 12 inputs; at most 8 are allowed".
Expected<Description> parseDescription(const std::string& text, const std::string& where, bool requireOutputShapes,
                                       const DescriptionLimits& limits);

// Reads a whole file of at most maxBytes (a regular file; links are
// followed). Fails with `code` when the file is missing, unreadable or larger.
Expected<std::string> readBoundedFile(const std::string& path, uint64_t maxBytes, long code, const std::string& what);

// The zero tensor (the defaults for a multi-array) an input takes.
cv::Mat blankInput(const InputSpec& in);

// Loads an ONNX network from its bytes for the CPU. `where` names it in messages.
Expected<cv::dnn::Net> loadNetwork(const std::string& bytes, const std::string& where);

// Runs the network; `blobs` feed the inputs by name. Answers one Mat per
// declared output, in the description's order. A model of several inputs
// runs whatever order they are declared in, also when the graph reads only
// some of them (e.g. an image input "overlay" declared before "image" and
// never read); every declared input must still be fed.
Expected<std::vector<cv::Mat>> forward(cv::dnn::Net& net, const Description& d,
                                       const std::vector<std::pair<std::string, cv::Mat>>& blobs);

// Runs once on blank inputs (defaults for multi-arrays).
Expected<std::vector<cv::Mat>> forwardBlank(cv::dnn::Net& net, const Description& d);

// The shape an output Mat is reported with: the declared shape when it fits
// (one -1 is resolved from the element count), else the Mat's own dims.
std::vector<long> outputShape(const OutputSpec& spec, const cv::Mat& m);

}  // namespace model
}  // namespace tevra
