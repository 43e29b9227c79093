// HapticController: plays the effects a page asks for on the "TevraARHaptic"
// channel.
//
// In: a message body such as "vibration:light|vibration:success" (items
// separated by "|", each "vibration:" and an effect name). Out: impacts and
// notifications on the platform's haptic output, each followed by preparing
// the same generator again.
// Fails: an empty body logs "Failed to parse TevraARHaptic message!"; a body
// that is not text logs one line and plays nothing; malformed items and
// unknown effect names are skipped silently.
// Example: "vibration:heavy" queues one task that plays a heavy impact (style
// 2) and then prepares the heavy generator.
//
// Threads: the generators are touched only on the main thread, through tasks
// queued on the main queue; performHaptics and performHaptic may be called
// from any thread and never wait for an effect to play.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Haptics.h"

namespace tevra {

// Impact styles and notification types of the platform's generators.
enum UIImpactFeedbackStyle : int {
    UIImpactFeedbackStyleLight = 0,
    UIImpactFeedbackStyleMedium = 1,
    UIImpactFeedbackStyleHeavy = 2,
    UIImpactFeedbackStyleSoft = 3,
    UIImpactFeedbackStyleRigid = 4,
};
enum UINotificationFeedbackType : int {
    UINotificationFeedbackTypeSuccess = 0,
    UINotificationFeedbackTypeWarning = 1,
    UINotificationFeedbackTypeError = 2,
};

// One impact generator of a fixed style over the platform's haptic output.
// Main thread.
class UIImpactFeedbackGenerator {
public:
    explicit UIImpactFeedbackGenerator(int style);
    int style() const { return style_; }
    void impactOccurred();
    void prepare();

private:
    int style_;
    std::shared_ptr<HapticOutput> output_;
};

// The notification generator. Main thread.
class UINotificationFeedbackGenerator {
public:
    UINotificationFeedbackGenerator();
    void notificationOccurred(int type);
    void prepare();

private:
    std::shared_ptr<HapticOutput> output_;
};

class HapticController {
public:
    // Creates the six generators and prepares them (on the main queue).
    HapticController();

    // Queues one main-queue task that prepares every generator in order.
    void prepareGenerators();
    // Queues one main-queue task that plays the named effect and prepares
    // its generator; an unknown name does nothing.
    void performHaptic(const std::string& effectName);
    // Parses a channel body and plays each valid item in order.
    void performHaptics(const nlohmann::json& body);

    const std::shared_ptr<UIImpactFeedbackGenerator>& lightImpactGenerator() const { return lightImpactGenerator_; }
    void setLightImpactGenerator(std::shared_ptr<UIImpactFeedbackGenerator> g) { lightImpactGenerator_ = std::move(g); }
    const std::shared_ptr<UIImpactFeedbackGenerator>& mediumImpactGenerator() const { return mediumImpactGenerator_; }
    void setMediumImpactGenerator(std::shared_ptr<UIImpactFeedbackGenerator> g) {
        mediumImpactGenerator_ = std::move(g);
    }
    const std::shared_ptr<UIImpactFeedbackGenerator>& heavyImpactGenerator() const { return heavyImpactGenerator_; }
    void setHeavyImpactGenerator(std::shared_ptr<UIImpactFeedbackGenerator> g) { heavyImpactGenerator_ = std::move(g); }
    const std::shared_ptr<UIImpactFeedbackGenerator>& softImpactGenerator() const { return softImpactGenerator_; }
    void setSoftImpactGenerator(std::shared_ptr<UIImpactFeedbackGenerator> g) { softImpactGenerator_ = std::move(g); }
    const std::shared_ptr<UIImpactFeedbackGenerator>& rigidImpactGenerator() const { return rigidImpactGenerator_; }
    void setRigidImpactGenerator(std::shared_ptr<UIImpactFeedbackGenerator> g) { rigidImpactGenerator_ = std::move(g); }
    const std::shared_ptr<UINotificationFeedbackGenerator>& notificationGenerator() const {
        return notificationGenerator_;
    }
    void setNotificationGenerator(std::shared_ptr<UINotificationFeedbackGenerator> g) {
        notificationGenerator_ = std::move(g);
    }

private:
    std::shared_ptr<UIImpactFeedbackGenerator> lightImpactGenerator_;
    std::shared_ptr<UIImpactFeedbackGenerator> mediumImpactGenerator_;
    std::shared_ptr<UIImpactFeedbackGenerator> heavyImpactGenerator_;
    std::shared_ptr<UIImpactFeedbackGenerator> softImpactGenerator_;
    std::shared_ptr<UIImpactFeedbackGenerator> rigidImpactGenerator_;
    std::shared_ptr<UINotificationFeedbackGenerator> notificationGenerator_;
};

}  // namespace tevra
