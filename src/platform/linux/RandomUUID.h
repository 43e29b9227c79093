// Random anchor identifiers: version-4 UUIDs in the canonical upper-case
// 8-4-4-4-12 form, e.g. "3F2504E0-4F89-41D3-9A0C-0305E82C3301".
// Threads: any. Randomness comes from the kernel (getrandom, i.e. the
// /dev/urandom pool), with std::random_device as a fallback.
#pragma once

#include <mutex>
#include <random>

#include "platform/UUIDSource.h"
#include "base/ThreadAnnotations.h"

namespace tevra::linux_platform {

class RandomUUID : public UUIDSource {
public:
    std::string uuidString() override;

private:
    Mutex mutex_;
    std::random_device fallback_ TEVRA_GUARDED_BY(mutex_);
};

}  // namespace tevra::linux_platform
