// Fuzzes the detection command protocol and the VPS answer rewrite.
//
// The first byte picks the floor found on the device (-1 or 1-7) and whether
// detection is on; the rest is used as a "YOLOCommander" body (parsed as JSON
// when it is JSON, and as a legacy text command), and as a VPS answer for
// processVPSResult, alone and inside {"data":{"attributes":...}}. Model
// downloads asked for by "prepare_models" fail at once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "FuzzController.h"
#include "detection/YOLOService.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

// Nesting depth of a JSON value, without recursion.
size_t depthOf(const nlohmann::json& root) {
    size_t deepest = 0;
    std::vector<std::pair<const nlohmann::json*, size_t>> todo{{&root, 1}};
    while (!todo.empty()) {
        auto [value, depth] = todo.back();
        todo.pop_back();
        if (!value->is_structured()) continue;
        deepest = std::max(deepest, depth);
        for (const auto& child : *value) todo.emplace_back(&child, depth + 1);
    }
    return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static tevra::fuzz::FuzzController* c = new tevra::fuzz::FuzzController();
    if (size == 0) return 0;
    c->reset();
    tevra::YOLOService& service = *c->vc->yoloService;
    tevra::YOLODetectionManager& manager = *service.manager;

    const int32_t floor = data[0] % 8 == 0 ? -1 : data[0] % 8;
    if (data[0] & 0x80)
        manager.startDetection();
    else
        manager.stopDetection();
    manager.updateDetectedFloor(floor);
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    nlohmann::json body = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!body.is_discarded()) c->post("YOLOCommander", body);
    c->post("YOLOCommander", text);
    c->trim();

    // Answers that are not JSON objects with "data"."attributes" come back
    // byte for byte.
    std::string answer = service.processVPSResult(text);
    if ((body.is_discarded() || !body.is_object()) && answer != text) fail("a non-object VPS answer was changed");
    if (nlohmann::json::parse(answer, nullptr, false).is_discarded() && answer != text)
        fail("a VPS answer became unreadable");

    // The same value as the attributes of an answer reaches the rewrite;
    // answers nesting deeper than 512 levels come back as they are.
    if (!body.is_discarded() && depthOf(body) + 2 > 512) {
        nlohmann::json wrapped = {{"data", {{"attributes", body}}}};
        std::string deep = wrapped.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        if (service.processVPSResult(deep) != deep) fail("a too deeply nested answer was changed");
    } else if (!body.is_discarded()) {
        manager.updateDetectedFloor(floor);
        nlohmann::json wrapped = {{"id", "r"}, {"data", {{"attributes", body}}}};
        std::string rewritten =
            service.processVPSResult(wrapped.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        nlohmann::json back = nlohmann::json::parse(rewritten, nullptr, false);
        if (back.is_discarded() || !back.is_object()) fail("the rewritten answer is not a JSON object");
        if (body.is_object()) {
            auto detector = body.find("floor_detector");
            bool byYolo = detector != body.end() && detector->is_string() && *detector == "floor_by_yolo";
            if (!byYolo && manager.startDetectingFloor.load()) fail("another detector left detection on");
            if (byYolo && floor != -1 && back["data"]["attributes"].value("detected_floor", -2) != floor)
                fail("the device floor was not written into the answer");
        }
    }
    c->trim();
    return 0;
}
