#include "feedback/HapticController.h"

#include <string_view>
#include <vector>

#include "platform/Log.h"
#include "platform/Platform.h"
#include "platform/ThreadCheck.h"

namespace tevra {

namespace {

std::shared_ptr<HapticOutput> platformHaptics() { return hasPlatform() ? platform().haptics : nullptr; }

void queueOnMain(std::function<void()> work) {
    if (hasPlatform() && platform().dispatch) platform().dispatch->main().async(std::move(work));
}

// Splits at every `separator`; empty pieces count.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        const size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

}  // namespace

UIImpactFeedbackGenerator::UIImpactFeedbackGenerator(int style) : style_(style), output_(platformHaptics()) {}

void UIImpactFeedbackGenerator::impactOccurred() {
    TEVRA_ASSERT_MAIN_THREAD();
    if (output_) output_->impact(style_);
}

void UIImpactFeedbackGenerator::prepare() {
    TEVRA_ASSERT_MAIN_THREAD();
    if (output_) output_->prepare(static_cast<HapticGenerator>(style_));
}

UINotificationFeedbackGenerator::UINotificationFeedbackGenerator() : output_(platformHaptics()) {}

void UINotificationFeedbackGenerator::notificationOccurred(int type) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (output_) output_->notification(type);
}

void UINotificationFeedbackGenerator::prepare() {
    TEVRA_ASSERT_MAIN_THREAD();
    if (output_) output_->prepare(HapticGenerator::Notification);
}

HapticController::HapticController()
    : lightImpactGenerator_(std::make_shared<UIImpactFeedbackGenerator>(UIImpactFeedbackStyleLight)),
      mediumImpactGenerator_(std::make_shared<UIImpactFeedbackGenerator>(UIImpactFeedbackStyleMedium)),
      heavyImpactGenerator_(std::make_shared<UIImpactFeedbackGenerator>(UIImpactFeedbackStyleHeavy)),
      softImpactGenerator_(std::make_shared<UIImpactFeedbackGenerator>(UIImpactFeedbackStyleSoft)),
      rigidImpactGenerator_(std::make_shared<UIImpactFeedbackGenerator>(UIImpactFeedbackStyleRigid)),
      notificationGenerator_(std::make_shared<UINotificationFeedbackGenerator>()) {
    prepareGenerators();
}

void HapticController::prepareGenerators() {
    // The task holds the generators, so it stays safe if the controller goes
    // away before the main queue runs it.
    queueOnMain([light = lightImpactGenerator_, medium = mediumImpactGenerator_, heavy = heavyImpactGenerator_,
                 soft = softImpactGenerator_, rigid = rigidImpactGenerator_, notification = notificationGenerator_] {
        for (const auto& g : {light, medium, heavy, soft, rigid})
            if (g) g->prepare();
        if (notification) notification->prepare();
    });
}

void HapticController::performHaptic(const std::string& effectName) {
    queueOnMain([name = effectName, light = lightImpactGenerator_, medium = mediumImpactGenerator_,
                 heavy = heavyImpactGenerator_, soft = softImpactGenerator_, rigid = rigidImpactGenerator_,
                 notification = notificationGenerator_] {
        auto impact = [](const std::shared_ptr<UIImpactFeedbackGenerator>& g) {
            if (!g) return;
            g->impactOccurred();
            g->prepare();
        };
        auto notify = [&](int type) {
            if (!notification) return;
            notification->notificationOccurred(type);
            notification->prepare();
        };
        if (name == "light") {
            impact(light);
        } else if (name == "medium") {
            impact(medium);
        } else if (name == "heavy") {
            impact(heavy);
        } else if (name == "soft") {
            impact(soft);
        } else if (name == "rigid") {
            impact(rigid);
        } else if (name == "success") {
            notify(UINotificationFeedbackTypeSuccess);
        } else if (name == "warning") {
            notify(UINotificationFeedbackTypeWarning);
        } else if (name == "error") {
            notify(UINotificationFeedbackTypeError);
        }
    });
}

void HapticController::performHaptics(const nlohmann::json& body) {
    if (!body.is_string()) {
        // Pages may post any value; only text bodies carry effects.
        logSystem(std::string("Ignoring TevraARHaptic message that is not text (") + body.type_name() + ")");
        return;
    }
    const std::string& message = body.get_ref<const std::string&>();
    if (message.empty()) {
        logSystem("Failed to parse TevraARHaptic message!");
        return;
    }
    for (std::string_view item : split(message, '|')) {
        const auto parts = split(item, ':');
        if (parts.size() == 2 && parts[0] == "vibration") performHaptic(std::string(parts[1]));
    }
}

}  // namespace tevra
