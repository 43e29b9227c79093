#include "platform/linux/RandomUUID.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace tevra::linux_platform {

std::string RandomUUID::uuidString() {
    uint8_t bytes[16];
    size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (n > 0) {
            filled += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    if (filled < sizeof bytes) {
        MutexLock lock(mutex_);
        for (size_t i = filled; i < sizeof bytes; i += 4) {
            uint32_t r = fallback_();
            for (size_t k = 0; k < 4 && i + k < sizeof bytes; ++k) bytes[i + k] = static_cast<uint8_t>(r >> (8 * k));
        }
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // variant 10xx
    static const char kHex[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
        s.push_back(kHex[bytes[i] >> 4]);
        s.push_back(kHex[bytes[i] & 0x0F]);
    }
    return s;
}

}  // namespace tevra::linux_platform
