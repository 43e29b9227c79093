/// @file
/// Haptic output: impacts of a style 0-4 (light, medium, heavy, soft, rigid),
/// notifications of a type 0-2 (success, warning, error), and preparing one of
/// the six generators. A device without haptics does nothing.
/// Threads: main thread only.
#pragma once

namespace tevra {

/// The six generators prepare() readies: LightImpact, MediumImpact, HeavyImpact,
/// SoftImpact and RigidImpact for the impact styles 0-4, Notification for the notifications.
enum class HapticGenerator { LightImpact = 0, MediumImpact, HeavyImpact, SoftImpact, RigidImpact, Notification };

/// The haptic output of the device.
class HapticOutput {
public:
    virtual ~HapticOutput() = default;
    /// Plays an impact of style 0-4 (light, medium, heavy, soft, rigid).
    virtual void impact(int style) = 0;
    /// Plays a notification of type 0-2 (success, warning, error).
    virtual void notification(int type) = 0;
    /// Readies `generator` so that its next output starts without delay.
    virtual void prepare(HapticGenerator generator) = 0;
};

}  // namespace tevra
