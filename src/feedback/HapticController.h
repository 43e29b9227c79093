// Haptic player. Waits for the haptic feedback capability: until it lands,
// bodies are accepted and nothing plays.
#pragma once

#include <nlohmann/json.hpp>

namespace tevra {

class HapticController {
public:
    void performHaptics(const nlohmann::json&) {}
};

}  // namespace tevra
