#include "platform/Platform.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace tevra {

namespace {
std::mutex gMutex;
std::shared_ptr<Platform> gPlatform;
std::atomic<Platform*> gRaw{nullptr};
}  // namespace

Platform& platform() {
    Platform* p = gRaw.load(std::memory_order_acquire);
    if (!p) {
        std::fprintf(stderr, "TevraARWebGL: no platform installed; call tevra::installPlatform first\n");
        std::abort();
    }
    return *p;
}

bool hasPlatform() { return gRaw.load(std::memory_order_acquire) != nullptr; }

void installPlatform(std::shared_ptr<Platform> p) {
    std::lock_guard<std::mutex> lock(gMutex);
    // Earlier platforms stay alive: objects created against them may still
    // hold raw references to their services.
    static std::vector<std::shared_ptr<Platform>> retired;
    if (gPlatform) retired.push_back(gPlatform);
    gPlatform = std::move(p);
    gRaw.store(gPlatform.get(), std::memory_order_release);
}

void logSystem(std::string_view line) {
    if (hasPlatform() && platform().log) platform().log->system(line);
}

void logStdout(std::string_view line) {
    if (hasPlatform() && platform().log) platform().log->standardOutput(line);
}

float MultiArray::at(const std::vector<long>& index) const {
    if (index.size() != shape_.size()) return 0.0f;
    size_t offset = 0;
    for (size_t i = 0; i < index.size(); ++i) {
        if (index[i] < 0 || index[i] >= shape_[i]) return 0.0f;
        offset = offset * static_cast<size_t>(shape_[i]) + static_cast<size_t>(index[i]);
    }
    return offset < data_.size() ? data_[offset] : 0.0f;
}

}  // namespace tevra
