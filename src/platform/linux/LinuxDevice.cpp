#include "platform/linux/LinuxDevice.h"

#include <sys/utsname.h>

#include <map>
#include <mutex>
#include <vector>

#include "platform/Log.h"
#include "base/ThreadAnnotations.h"

namespace tevra::linux_platform {

struct LinuxDevice::State {
    mutable Mutex mutex;
    long orientation TEVRA_GUARDED_BY(mutex) = UIDeviceOrientationPortrait;
    int generating TEVRA_GUARDED_BY(mutex) = 0;
    int nextToken TEVRA_GUARDED_BY(mutex) = 1;
    std::map<int, std::function<void()>> observers TEVRA_GUARDED_BY(mutex);
};

LinuxDevice::LinuxDevice(std::shared_ptr<Dispatch> dispatch, long initialOrientation)
    : dispatch_(std::move(dispatch)), state_(std::make_shared<State>()) {
    if (initialOrientation >= UIDeviceOrientationUnknown && initialOrientation <= UIDeviceOrientationFaceDown)
        state_->orientation = initialOrientation;
}

LinuxDevice::~LinuxDevice() = default;

long LinuxDevice::orientation() const {
    MutexLock lock(state_->mutex);
    return state_->orientation;
}

bool LinuxDevice::isGeneratingDeviceOrientationNotifications() const {
    MutexLock lock(state_->mutex);
    return state_->generating > 0;
}

void LinuxDevice::beginGeneratingDeviceOrientationNotifications() {
    MutexLock lock(state_->mutex);
    ++state_->generating;
}

void LinuxDevice::endGeneratingDeviceOrientationNotifications() {
    MutexLock lock(state_->mutex);
    if (state_->generating > 0) --state_->generating;
}

int LinuxDevice::addOrientationObserver(std::function<void()> observer) {
    MutexLock lock(state_->mutex);
    int token = state_->nextToken++;
    if (observer) state_->observers.emplace(token, std::move(observer));
    return token;
}

void LinuxDevice::removeOrientationObserver(int token) {
    MutexLock lock(state_->mutex);
    state_->observers.erase(token);
}

std::string LinuxDevice::machineIdentifier() const {
    struct utsname name {};
    if (uname(&name) != 0) return "unknown";
    return name.machine;
}

void LinuxDevice::setOrientation(long orientation) {
    if (orientation < UIDeviceOrientationUnknown || orientation > UIDeviceOrientationFaceDown) {
        logSystem("Ignoring unknown device orientation " + std::to_string(orientation));
        return;
    }
    {
        MutexLock lock(state_->mutex);
        if (state_->orientation == orientation) return;
        state_->orientation = orientation;
        if (state_->generating == 0 || !dispatch_) return;
    }
    std::weak_ptr<State> weak = state_;
    dispatch_->main().async([weak] {
        auto state = weak.lock();
        if (!state) return;
        // Observers registered at delivery time are told; one removed by an
        // earlier observer of the same change is skipped.
        std::vector<int> tokens;
        {
            MutexLock lock(state->mutex);
            for (auto& [token, fn] : state->observers) tokens.push_back(token);
        }
        for (int token : tokens) {
            std::function<void()> fn;
            {
                MutexLock lock(state->mutex);
                auto it = state->observers.find(token);
                if (it == state->observers.end()) continue;
                fn = it->second;
            }
            fn();
        }
    });
}

}  // namespace tevra::linux_platform
