// Haptic output on a Linux force-feedback input device (evdev FF_RUMBLE):
// game pads, phones' vibration motors exposed through the input layer.
//
// Which device: the path in $TEVRA_HAPTIC_DEVICE (e.g. /dev/input/event5).
// Without it, or when the device can't be opened or has no rumble, every
// operation does nothing (one log line says why, for a configured device).
//
// Each generator's effect is one rumble of a fixed strength and length
// (magnitudes out of 0xFFFF; "strong" drives the low-frequency motor, "weak"
// the high-frequency one):
//
//   generator              strong   weak    length
//   impact 0 light         0x0000   0x5000  20 ms
//   impact 1 medium        0x5000   0x8000  30 ms
//   impact 2 heavy         0xC000   0xC000  45 ms
//   impact 3 soft          0x4000   0x0000  40 ms
//   impact 4 rigid         0x0000   0xFFFF  15 ms
//   notification 0 success 0x6000   0x6000  60 ms
//   notification 1 warning 0xA000   0x8000  90 ms
//   notification 2 error   0xFFFF   0xFFFF  120 ms
//
// `prepare` uploads the generator's effects to the device so that the next
// play starts at once; playing uploads first if needed.
// Threads: main thread only.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/Haptics.h"

namespace tevra::linux_platform {

struct RumbleEffect {
    unsigned short strong = 0;
    unsigned short weak = 0;
    unsigned short milliseconds = 0;
};

class EvdevHaptics : public HapticOutput {
public:
    // The effect of an impact style (0-4) or notification type (0-2).
    static RumbleEffect impactEffect(int style);
    static RumbleEffect notificationEffect(int type);

    // The device named by $TEVRA_HAPTIC_DEVICE, or a silent output.
    static std::shared_ptr<EvdevHaptics> fromEnvironment();

    // Opens `devicePath`; an empty path gives a silent output.
    explicit EvdevHaptics(const std::string& devicePath);
    ~EvdevHaptics() override;
    EvdevHaptics(const EvdevHaptics&) = delete;
    EvdevHaptics& operator=(const EvdevHaptics&) = delete;

    void impact(int style) override;
    void notification(int type) override;
    void prepare(HapticGenerator generator) override;

    bool isAvailable() const { return fd_ >= 0; }

private:
    // Effect keys: 0-4 impacts, 10-12 notifications.
    int upload(int key, const RumbleEffect& effect);
    void play(int key, const RumbleEffect& effect);

    int fd_ = -1;
    std::map<int, int> effectIds_;
};

}  // namespace tevra::linux_platform
