#include "platform/live/ScriptedCameraSource.h"

#include <utility>

namespace tevra::live {

ScriptedCameraSource::ScriptedCameraSource(std::string description) : description_(std::move(description)) {}

ScriptedCameraSource::~ScriptedCameraSource() { stop(); }

void ScriptedCameraSource::push(CameraSample sample) {
    MutexLock lock(mutex_);
    queue_.push_back(Event{std::move(sample), false, {}});
    changed_.notify_all();
}

void ScriptedCameraSource::lose(std::string reason) {
    MutexLock lock(mutex_);
    queue_.push_back(Event{{}, true, std::move(reason)});
    changed_.notify_all();
}

void ScriptedCameraSource::failNextStart(std::string error) {
    MutexLock lock(mutex_);
    failStart_ = std::move(error);
}

bool ScriptedCameraSource::waitUntilDelivered(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    MutexLock lock(mutex_);
    while (!running_ || !queue_.empty() || busy_) {
        if (!changed_.waitUntil(mutex_, deadline)) return running_ && queue_.empty() && !busy_;
    }
    return true;
}

int ScriptedCameraSource::startCount() const {
    MutexLock lock(mutex_);
    return starts_;
}

bool ScriptedCameraSource::start(SampleHandler onSample, LostHandler onLost, std::string& error) {
    {
        MutexLock lock(mutex_);
        if (!failStart_.empty()) {
            error = "camera " + description_ + ": " + std::exchange(failStart_, {});
            return false;
        }
        if (running_) {
            error = "camera " + description_ + ": already started";
            return false;
        }
        running_ = true;
        quit_ = false;
        ++starts_;
    }
    thread_ = std::thread(&ScriptedCameraSource::run, this, std::move(onSample), std::move(onLost));
    return true;
}

void ScriptedCameraSource::stop() {
    {
        MutexLock lock(mutex_);
        if (!running_) return;
        quit_ = true;
        changed_.notify_all();
    }
    thread_.join();
    MutexLock lock(mutex_);
    running_ = false;
    changed_.notify_all();
}

void ScriptedCameraSource::run(SampleHandler onSample, LostHandler onLost) {
    bool lost = false;
    mutex_.lock();
    for (;;) {
        while (!quit_ && queue_.empty()) changed_.wait(mutex_);
        if (quit_) break;
        Event event = std::move(queue_.front());
        queue_.pop_front();
        if (lost) {
            // A lost source delivers nothing more; what follows the loss is dropped.
            changed_.notify_all();
            continue;
        }
        lost = event.lost;
        busy_ = true;
        mutex_.unlock();
        if (event.lost) {
            if (onLost) onLost(event.reason);
        } else if (onSample) {
            onSample(std::move(event.sample));
        }
        mutex_.lock();
        busy_ = false;
        changed_.notify_all();
    }
    mutex_.unlock();
}

}  // namespace tevra::live
