// The Linux model runtime: ONNX models run with OpenCV's DNN module.
//
// A compiled model is a directory NAME.mlmodelc holding the ONNX file and
// "description.json", which declares the inputs (for an image input: its
// name, width, height, pixel-format code and how pixels become the input
// tensor) and the outputs (names and shapes). A model package NAME.mlpackage
// is the same pair in source form, whose output shapes may be left out;
// compiling checks it and writes a compiled directory (docs/models.md has
// both layouts).
//
// Image inputs take 32-bit ARGB (or BGRA) pixel buffers of exactly the
// declared size; the runtime turns them into the declared tensor (by default
// planar RGB, NCHW, float, each byte times 1/255).
//
// Threads: any. One model runs one prediction at a time (calls on the same
// model are serialised); different models run concurrently.
// Failure: every operation answers an Error with the domain
// "OpenCVModelRuntime" (codes in kOpenCVModelRuntimeError*); nothing throws.
#pragma once

#include <memory>
#include <string>

#include "platform/ModelRuntime.h"

namespace tevra {

extern const char* const kOpenCVModelRuntimeErrorDomain;  // "OpenCVModelRuntime"
enum : long {
    kOpenCVModelRuntimeErrorDescription = 1,  // description.json missing or invalid
    kOpenCVModelRuntimeErrorModelFile = 2,    // the ONNX file does not load or run
    kOpenCVModelRuntimeErrorInput = 3,        // a prediction input is missing or unusable
    kOpenCVModelRuntimeErrorPrediction = 4,   // the network failed while predicting
    kOpenCVModelRuntimeErrorValidation = 5,   // a package is not a usable detection model
    kOpenCVModelRuntimeErrorFile = 6,         // a file operation failed while compiling
};

class OpenCVModelRuntime : public ModelRuntime {
public:
    static constexpr const char* kDescriptionFileName = "description.json";

    // Opens NAME.mlmodelc: reads the description, loads the network and runs
    // it once on a blank input (which also checks that every declared output
    // exists). computeUnits 3 (CPU and neural accelerator) and every other
    // value run on the CPU. May take a while; any thread.
    Expected<std::shared_ptr<Model>> modelWithContentsOfURL(const std::string& compiledDir, int computeUnits) override;

    // Checks NAME.mlpackage (the network loads; an image input "image" with a
    // declared size; outputs "coordinates" [N,4] and "confidence" [N,C] with
    // the same N) and writes NAME.mlmodelc, with the measured output shapes,
    // into a fresh directory under the system's temporary directory. Returns
    // the compiled directory's path; the caller moves it where it belongs.
    Expected<std::string> compileModelAtURL(const std::string& packageDir) override;
};

}  // namespace tevra
