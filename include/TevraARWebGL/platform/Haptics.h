// Haptic output: impacts of a style 0-4 (light, medium, heavy, soft, rigid),
// notifications of a type 0-2 (success, warning, error), and preparing one of
// the six generators. A device without haptics does nothing.
// Threads: main thread only.
#pragma once

namespace tevra {

enum class HapticGenerator { LightImpact = 0, MediumImpact, HeavyImpact, SoftImpact, RigidImpact, Notification };

class HapticOutput {
public:
    virtual ~HapticOutput() = default;
    virtual void impact(int style) = 0;
    virtual void notification(int type) = 0;
    virtual void prepare(HapticGenerator generator) = 0;
};

}  // namespace tevra
