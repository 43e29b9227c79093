// The vector path a family of pixel kernels runs: the best one the CPU
// offers, or one a test forced by name to compare it with the others.
#pragma once

#include <atomic>
#include <initializer_list>
#include <string_view>

namespace tevra::simd {

// Ordered from least to most capable: a path runs where every lower one does.
enum class KernelPath { scalar, sse2, avx2, avx512 };

constexpr const char* kernelPathName(KernelPath p) {
    switch (p) {
        case KernelPath::avx512:
            return "avx512";
        case KernelPath::avx2:
            return "avx2";
        case KernelPath::sse2:
            return "sse2";
        default:
            return "scalar";
    }
}

// One family's choice. `best` is found once (each family asks the CPU for
// the features its own kernels use); `offered` lists the paths it has.
class KernelPathChoice {
public:
    KernelPathChoice(KernelPath best, std::initializer_list<KernelPath> offered) : best_(best) {
        for (KernelPath p : offered) offered_ |= 1u << static_cast<unsigned>(p);
    }

    KernelPath current() const {
        const int forced = forced_.load(std::memory_order_relaxed);
        return forced < 0 ? best_ : static_cast<KernelPath>(forced);
    }
    const char* name() const { return kernelPathName(current()); }

    // Forces an offered path by name, no more capable than the best (empty
    // or null: the best again). False, changing nothing, for any other name.
    bool force(const char* name) {
        const std::string_view wanted = name ? name : "";
        if (wanted.empty()) {
            forced_.store(-1);
            return true;
        }
        for (KernelPath p : {KernelPath::scalar, KernelPath::sse2, KernelPath::avx2, KernelPath::avx512}) {
            if (!(offered_ & (1u << static_cast<unsigned>(p))) || p > best_ || wanted != kernelPathName(p)) continue;
            forced_.store(static_cast<int>(p));
            return true;
        }
        return false;
    }

private:
    const KernelPath best_;
    unsigned offered_ = 0;
    std::atomic<int> forced_{-1};
};

}  // namespace tevra::simd
