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
// Model bytes are hostile until proven otherwise: the first time a model
// file is opened (compiling a package; opening a compiled directory whose
// stamp does not match its files, or that has none) the program
// tevra-model-check opens it in a child process with limits on address
// space, CPU time and wall-clock time, and no network (ModelCheck.h). Only
// bytes the child opened without fault are handed to OpenCV in this process;
// a crash or a limit there answers kOpenCVModelRuntimeErrorCheck with the
// reason, e.g. "... the model check ended with signal 11 (Segmentation
// fault)". The declared inputs are counted against Limits::modelMaxInputs and
// modelMaxInputElements before any tensor is made.
//
// Threads: any. One model runs one prediction at a time (calls on the same
// model are serialised); different models run concurrently. A check blocks
// the calling thread (about 80 ms for the 410 KB digit model, 200 ms for the
// 680 KB sign model; at most Limits::modelCheckWallSeconds).
// Failure: every operation answers an Error with the domain
// "OpenCVModelRuntime" (codes in kOpenCVModelRuntimeError*, ModelNetwork.h);
// nothing throws.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/Limits.h"
#include "platform/ModelRuntime.h"
#include "platform/linux/ModelCheck.h"
#include "platform/linux/ModelNetwork.h"
#include "base/ThreadAnnotations.h"

namespace tevra {

class OpenCVModelRuntime : public ModelRuntime {
public:
    static constexpr const char* kDescriptionFileName = "description.json";

    // The default limits; the check program is looked up as ModelCheck.h says.
    OpenCVModelRuntime();
    // `checkProgram`: the path of tevra-model-check; empty: looked up.
    explicit OpenCVModelRuntime(const Limits& limits, std::string checkProgram = {});

    // Opens NAME.mlmodelc: reads the description, checks the files in a
    // child unless they were validated (model-check.stamp or this process),
    // loads the network from the bytes read and runs it once on a blank input
    // (which also checks that every declared output exists). A stamp is
    // written after a successful check when the directory is writable.
    // computeUnits 3 (CPU and neural accelerator) and every other value run on
    // the CPU. May take a while; any thread.
    Expected<std::shared_ptr<Model>> modelWithContentsOfURL(const std::string& compiledDir, int computeUnits) override;

    // Checks NAME.mlpackage (an image input "image" with a declared size;
    // outputs "coordinates" [N,4] and "confidence" [N,C] with the same N; the
    // network loads and runs, in a child process only) and writes
    // NAME.mlmodelc, with the measured output shapes and a stamp, into a
    // fresh directory under the system's temporary directory. A stamp file in
    // the package is not copied. Returns the compiled directory's path; the
    // caller moves it where it belongs.
    Expected<std::string> compileModelAtURL(const std::string& packageDir) override;

    // How many check processes this runtime has started (tests, benchmarks).
    uint64_t checksStarted() const { return checksStarted_.load(); }

private:
    // Whether this pair of files was validated in this process or stamped.
    bool validated(const std::string& dir, const std::string& descriptionSha, const std::string& modelSha);
    void remember(const std::string& descriptionSha, const std::string& modelSha);

    Limits limits_;
    model::CheckOptions check_;
    std::atomic<uint64_t> checksStarted_{0};
    Mutex mutex_;
    std::set<std::string> validated_ TEVRA_GUARDED_BY(mutex_);  // "description:model" digests, bounded
};

}  // namespace tevra
