#include "base/FrameworkResources.h"
#include "base/ThreadAnnotations.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;

namespace tevra {

namespace {
Mutex gMutex;
std::string gOverride TEVRA_GUARDED_BY(gMutex);

std::string findDefault() {
    if (const char* env = std::getenv("TEVRA_FRAMEWORK_RESOURCES"); env && *env) return env;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&frameworkResourcesDirectory), &info) && info.dli_fname) {
        fs::path lib = fs::weakly_canonical(fs::path(info.dli_fname));
        fs::path candidate = lib.parent_path().parent_path() / "share" / "TevraARWebGL";
        std::error_code ec;
        if (fs::exists(candidate / "Zephral.js", ec)) return candidate.string();
    }
#ifdef TEVRA_INSTALLED_RESOURCES
    {
        std::error_code ec;
        if (fs::exists(fs::path(TEVRA_INSTALLED_RESOURCES) / "Zephral.js", ec)) return TEVRA_INSTALLED_RESOURCES;
    }
#endif
    // The build tree: resources straight from the sources.
    fs::path here = fs::path(__FILE__).parent_path().parent_path() / "resources";
    return here.string();
}
}  // namespace

std::string frameworkResourcesDirectory() {
    MutexLock lock(gMutex);
    if (!gOverride.empty()) return gOverride;
    static const std::string dflt = findDefault();
    return dflt;
}

void setFrameworkResourcesDirectory(const std::string& dir) {
    MutexLock lock(gMutex);
    gOverride = dir;
}

std::optional<std::string> readFrameworkResource(const std::string& name, const std::string& type) {
    fs::path p = fs::path(frameworkResourcesDirectory()) / (name + "." + type);
    std::ifstream in(p, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace tevra
