// Fuzzes the haptic channel body ("TevraARHaptic"): any text, and any JSON
// value when the input parses as JSON. No body may play more effects than it
// has "|"-separated items.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzController.h"
#include "feedback/HapticController.h"

namespace {

size_t playedEffects(const tevra::fake::FakeHaptics& haptics) {
    size_t n = 0;
    for (const std::string& call : haptics.calls())
        if (call.rfind("impact ", 0) == 0 || call.rfind("notification ", 0) == 0) ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tevra::fuzz::FuzzController* c = new tevra::fuzz::FuzzController();
    const std::string text(reinterpret_cast<const char*>(data), size);
    c->fake->dispatch->drainAll();
    c->fake->haptics->clear();

    c->post("TevraARHaptic", text);
    const size_t items = static_cast<size_t>(std::count(text.begin(), text.end(), '|')) + 1;
    if (playedEffects(*c->fake->haptics) > items) {
        std::fprintf(stderr, "more effects played than items given\n");
        std::abort();
    }
    nlohmann::json asJson = nlohmann::json::parse(text, nullptr, false);
    if (!asJson.is_discarded()) c->post("TevraARHaptic", asJson);
    c->vc->hapticController->performHaptic(text);
    c->trim();
    return 0;
}
