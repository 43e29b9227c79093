// Fuzzes the configuration grammar ("TevraARConfig"): any text, and any JSON
// value when the input parses as JSON.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzController.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tevra::fuzz::FuzzController* c = new tevra::fuzz::FuzzController();
    std::string text(reinterpret_cast<const char*>(data), size);
    c->post("TevraARConfig", text);
    nlohmann::json asJson = nlohmann::json::parse(text, nullptr, false);
    if (!asJson.is_discarded()) c->post("TevraARConfig", asJson);
    c->checkInvariants();
    c->trim();
    return 0;
}
