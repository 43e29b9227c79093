// Fuzzes the AR command grammar ("Zephral"/"UnityBridge"), the anchor
// commands and number reading, keeping the anchor-map invariant. Inputs are
// split at newlines into a sequence of messages.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzController.h"
#include "base/TextUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tevra::fuzz::FuzzController* c = new tevra::fuzz::FuzzController();
    // Every input starts from an empty session, so runs stay small and a
    // saved crash reproduces on its own.
    c->reset();
    std::string text(reinterpret_cast<const char*>(data), size);
    int i = 0;
    for (const std::string& line : tevra::splitString(text, "\n")) {
        c->post((i++ % 2) ? "UnityBridge" : "Zephral", line);
        // The anchors named so far must keep their maps consistent.
        c->checkInvariants();
        (void)tevra::readFloat(line);
        (void)tevra::readInt32(line);
    }
    nlohmann::json asJson = nlohmann::json::parse(text, nullptr, false);
    if (!asJson.is_discarded()) c->post("Zephral", asJson);
    // Events for whatever anchors exist must format without trouble.
    auto session = c->fake->ar->lastSession();
    c->vc->sessionDidUpdateAnchors(*session, session->anchors());
    c->checkInvariants();
    c->trim();
    return 0;
}
