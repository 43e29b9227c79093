// Aborts the test program if a test outlives its bound, so a deadlock or a
// stalled GPU wait fails the run instead of hanging it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace tevra::test {

class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, std::string what) {
        thread_ = std::thread([this, limit, what = std::move(what)] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!cv_.wait_for(lock, limit, [&] { return done_; })) {
                std::fprintf(stderr, "%s exceeded its time bound\n", what.c_str());
                std::abort();
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace tevra::test
