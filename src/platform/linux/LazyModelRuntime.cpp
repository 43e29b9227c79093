#include "platform/linux/LazyModelRuntime.h"

#include <dlfcn.h>

#include <filesystem>

namespace tevra::linux_platform {

namespace {

using Factory = ModelRuntime* (*)(const Limits*);

// The loader's message, clipped: it names paths and can be long.
std::string loaderError() {
    const char* e = dlerror();
    std::string text = e ? e : "unknown error";
    if (text.size() > 300) text = text.substr(0, 300) + "...";
    return text;
}

void* openRuntimeLibrary(std::string& error) {
    // Beside this library first: the build tree and the install both put
    // them in one directory.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&openRuntimeLibrary), &info) && info.dli_fname && *info.dli_fname) {
        std::filesystem::path beside = std::filesystem::path(info.dli_fname).parent_path() / kModelRuntimeLibrary;
        std::error_code ec;
        if (std::filesystem::exists(beside, ec)) {
            if (void* handle = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL)) return handle;
            error = loaderError();
            return nullptr;
        }
    }
    if (void* handle = dlopen(kModelRuntimeLibrary, RTLD_NOW | RTLD_LOCAL)) return handle;
    error = loaderError();
    return nullptr;
}

Error loadError(const std::string& why) {
    return Error{"TevraARWebGL.ModelRuntime", -1, "The model runtime could not be loaded: " + why};
}

}  // namespace

Expected<std::shared_ptr<ModelRuntime>> LazyModelRuntime::runtime() {
    using R = Expected<std::shared_ptr<ModelRuntime>>;
    MutexLock lock(mutex_);
    if (inner_) return R::ok(inner_);
    std::string error;
    // Never closed: the models made by it live as long as their holders.
    void* handle = openRuntimeLibrary(error);
    if (!handle) return R::fail(loadError(error));
    auto factory = reinterpret_cast<Factory>(dlsym(handle, kModelRuntimeFactory));
    if (!factory) return R::fail(loadError(loaderError()));
    ModelRuntime* made = factory(&limits_);
    if (!made) return R::fail(loadError("the library made no runtime"));
    inner_.reset(made);
    return R::ok(inner_);
}

bool LazyModelRuntime::loaded() const {
    MutexLock lock(mutex_);
    return inner_ != nullptr;
}

Expected<std::shared_ptr<Model>> LazyModelRuntime::modelWithContentsOfURL(const std::string& compiledDir,
                                                                          int computeUnits) {
    auto inner = runtime();
    if (!inner) return Expected<std::shared_ptr<Model>>::fail(inner.error);
    return (*inner)->modelWithContentsOfURL(compiledDir, computeUnits);
}

Expected<std::string> LazyModelRuntime::compileModelAtURL(const std::string& packageDir) {
    auto inner = runtime();
    if (!inner) return Expected<std::string>::fail(inner.error);
    return (*inner)->compileModelAtURL(packageDir);
}

}  // namespace tevra::linux_platform
