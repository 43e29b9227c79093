#include "platform/Platform.h"
#include "base/ThreadAnnotations.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace tevra {

namespace {
Mutex gMutex;
std::shared_ptr<Platform> gPlatform TEVRA_GUARDED_BY(gMutex);
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

std::shared_ptr<Platform> installedPlatform() {
    MutexLock lock(gMutex);
    return gPlatform;
}

// The platform installed last is released when the program exits, before
// shared libraries are finalized: its services stop their threads while
// every library they use is still whole. (Left to this library's own
// finalization it would go after libraries loaded late, such as the model
// runtime, whose teardown its threads can then trip over.)
namespace {
void releasePlatformAtExit() { installPlatform(nullptr); }
}  // namespace

void installPlatform(std::shared_ptr<Platform> p) {
    static std::once_flag registered;
    if (p) std::call_once(registered, [] { std::atexit(releasePlatformAtExit); });
    std::shared_ptr<Platform> previous;
    {
        MutexLock lock(gMutex);
        previous = std::exchange(gPlatform, std::move(p));
        gRaw.store(gPlatform.get(), std::memory_order_release);
    }
    // The previous platform goes with its last holder; here, unless something
    // that outlives the switch holds it or one of its services.
    previous.reset();
}

// Log lines come from any thread, also while another platform is being
// installed: the line's platform is held until it is written.
void logSystem(std::string_view line) {
    if (auto p = installedPlatform(); p && p->log) p->log->system(line);
}

void logStdout(std::string_view line) {
    if (auto p = installedPlatform(); p && p->log) p->log->standardOutput(line);
}

std::string escapedForLog(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                } else {
                    out += ch;
                }
        }
    }
    return out;
}

std::string clippedForLog(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return escapedForLog(text);
    size_t cut = maxBytes;
    // Back up to the start of a UTF-8 character.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return escapedForLog(text.substr(0, cut)) + " … (" + std::to_string(text.size()) + " bytes)";
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

std::string describeBody(const nlohmann::json& body) {
    if (body.is_string()) return body.get<std::string>();
    const size_t max = hasPlatform() ? platform().limits.logTextMaxBytes : Limits{}.logTextMaxBytes;
    return clippedForLog(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), max);
}

}  // namespace tevra
