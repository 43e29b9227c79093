#include "platform/linux/EvdevHaptics.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Log.h"
#include "platform/Platform.h"

namespace tevra::linux_platform {

namespace {

constexpr int kNotificationKeyBase = 10;

void log(const std::string& line) {
    if (hasPlatform()) logSystem(line);
}

bool testBit(const unsigned long* bits, int bit) {
    constexpr int kBitsPerLong = 8 * sizeof(unsigned long);
    return (bits[bit / kBitsPerLong] >> (bit % kBitsPerLong)) & 1UL;
}

}  // namespace

RumbleEffect EvdevHaptics::impactEffect(int style) {
    static constexpr RumbleEffect kImpacts[5] = {
        {0x0000, 0x5000, 20}, {0x5000, 0x8000, 30}, {0xC000, 0xC000, 45}, {0x4000, 0x0000, 40}, {0x0000, 0xFFFF, 15},
    };
    return style >= 0 && style < 5 ? kImpacts[style] : RumbleEffect{};
}

RumbleEffect EvdevHaptics::notificationEffect(int type) {
    static constexpr RumbleEffect kNotifications[3] = {
        {0x6000, 0x6000, 60},
        {0xA000, 0x8000, 90},
        {0xFFFF, 0xFFFF, 120},
    };
    return type >= 0 && type < 3 ? kNotifications[type] : RumbleEffect{};
}

std::shared_ptr<EvdevHaptics> EvdevHaptics::fromEnvironment() {
    const char* path = std::getenv("TEVRA_HAPTIC_DEVICE");
    return std::make_shared<EvdevHaptics>(path ? path : "");
}

EvdevHaptics::EvdevHaptics(const std::string& devicePath) {
    if (devicePath.empty()) return;
    fd_ = ::open(devicePath.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        log("Haptic device " + devicePath + " can't be opened: " + std::strerror(errno));
        return;
    }
    unsigned long features[(FF_CNT + 8 * sizeof(unsigned long) - 1) / (8 * sizeof(unsigned long))] = {};
    if (::ioctl(fd_, EVIOCGBIT(EV_FF, sizeof features), features) < 0 || !testBit(features, FF_RUMBLE)) {
        log("Haptic device " + devicePath + " has no rumble effect; haptics are off");
        ::close(fd_);
        fd_ = -1;
    }
}

EvdevHaptics::~EvdevHaptics() {
    if (fd_ < 0) return;
    for (auto& [key, id] : effectIds_) ::ioctl(fd_, EVIOCRMFF, id);
    ::close(fd_);
}

int EvdevHaptics::upload(int key, const RumbleEffect& e) {
    if (fd_ < 0) return -1;
    auto it = effectIds_.find(key);
    if (it != effectIds_.end()) return it->second;
    ff_effect effect{};
    effect.type = FF_RUMBLE;
    effect.id = -1;
    effect.u.rumble.strong_magnitude = e.strong;
    effect.u.rumble.weak_magnitude = e.weak;
    effect.replay.length = e.milliseconds;
    effect.replay.delay = 0;
    if (::ioctl(fd_, EVIOCSFF, &effect) < 0) return -1;
    effectIds_[key] = effect.id;
    return effect.id;
}

void EvdevHaptics::play(int key, const RumbleEffect& effect) {
    const int id = upload(key, effect);
    if (id < 0) return;
    input_event event{};
    event.type = EV_FF;
    event.code = static_cast<unsigned short>(id);
    event.value = 1;  // play once
    [[maybe_unused]] const ssize_t written = ::write(fd_, &event, sizeof event);
}

void EvdevHaptics::impact(int style) {
    if (style < 0 || style > 4) return;
    play(style, impactEffect(style));
}

void EvdevHaptics::notification(int type) {
    if (type < 0 || type > 2) return;
    play(kNotificationKeyBase + type, notificationEffect(type));
}

void EvdevHaptics::prepare(HapticGenerator generator) {
    if (fd_ < 0) return;
    if (generator == HapticGenerator::Notification) {
        for (int t = 0; t < 3; ++t) upload(kNotificationKeyBase + t, notificationEffect(t));
    } else {
        const int style = static_cast<int>(generator);
        upload(style, impactEffect(style));
    }
}

}  // namespace tevra::linux_platform
