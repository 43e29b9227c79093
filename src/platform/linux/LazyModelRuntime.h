// The model runtime as the Linux platform installs it: OpenCV's DNN module
// and the runtime built on it (libTevraARWebGLModels) are loaded only when a
// page first prepares or opens a model, so a host whose pages never detect
// anything never maps them (some 30 MB of libraries and their start-up work).
//
// The library is looked for beside the library holding this code, then on
// the loader's search path. When it can't be loaded every call fails with
// one line ("The model runtime could not be loaded: ..."), and the next call
// tries again.
#pragma once

#include <memory>
#include <string>

#include "base/ThreadAnnotations.h"
#include "platform/Limits.h"
#include "platform/ModelRuntime.h"

namespace tevra::linux_platform {

// The file name of the runtime library, and the function it exports:
//   extern "C" tevra::ModelRuntime* tevraCreateModelRuntime(const tevra::Limits*);
// which returns a runtime owned by the caller (deleted through ModelRuntime).
inline constexpr const char* kModelRuntimeLibrary = "libTevraARWebGLModels.so.1";
inline constexpr const char* kModelRuntimeFactory = "tevraCreateModelRuntime";

class LazyModelRuntime : public ModelRuntime {
public:
    explicit LazyModelRuntime(const Limits& limits) : limits_(limits) {}

    Expected<std::shared_ptr<Model>> modelWithContentsOfURL(const std::string& compiledDir, int computeUnits) override;
    Expected<std::string> compileModelAtURL(const std::string& packageDir) override;

    // Whether the runtime library has been loaded (tests, measurements).
    bool loaded() const;

private:
    Expected<std::shared_ptr<ModelRuntime>> runtime();

    const Limits limits_;
    mutable Mutex mutex_;
    std::shared_ptr<ModelRuntime> inner_ TEVRA_GUARDED_BY(mutex_);
};

}  // namespace tevra::linux_platform
