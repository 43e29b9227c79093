#include "detection/YOLODetectionManager.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <memory>

#include "models/ModelManager.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/Platform.h"
#include "platform/ThreadCheck.h"

namespace tevra {

extern "C" {
const char* const kYOLOSignModel = "yolo26n_sign_640";
const char* const kYOLODigitModel = "yolo26n_digit_640";
}

namespace {

constexpr float kDefaultConfThreshold = 0.7f;

// The text form of a body or entry in log lines (compact JSON).
std::string describe(const nlohmann::json& value) {
    const size_t max = platform().limits.logTextMaxBytes;
    if (value.is_string()) return clippedForLog(value.get_ref<const std::string&>(), max);
    return clippedForLog(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), max);
}

// How deeply arrays and objects may nest in a VPS answer. Writing an answer
// back out recurses once per level, so a few hundred kilobytes of brackets
// from the server would otherwise exhaust the main thread's stack.
constexpr size_t kMaxAnswerNesting = 512;

// True when `text` opens more than `limit` arrays or objects inside each
// other; brackets inside JSON strings do not count.
bool nestsDeeperThan(const std::string& text, size_t limit) {
    size_t depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

// The entry's text member `key`, or none when it is missing or not text.
std::optional<std::string> textMember(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

YOLODetectionManager::YOLODetectionManager() {
    detectedFloor.store(-1, std::memory_order_relaxed);
    startDetectingFloor.store(false, std::memory_order_relaxed);
}

void YOLODetectionManager::handleMessage(const nlohmann::json& body) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (body.is_object()) {
        handleDictionaryCommand(body);
    } else if (body.is_string()) {
        handleLegacyCommand(body.get_ref<const std::string&>());
    } else {
        logSystem("[YOLO] Unknown message type: " + describe(body));
    }
}

void YOLODetectionManager::handleDictionaryCommand(const nlohmann::json& command) {
    auto name = textMember(command, "command");
    if (!name) {
        logSystem("[YOLO] Invalid command");
        return;
    }
    if (*name == "turn_on") {
        startDetection();
    } else if (*name == "turn_off") {
        stopDetection();
    } else if (*name == "prepare_models") {
        auto models = command.find("models");
        prepareModels(models == command.end() ? nlohmann::json() : *models);
    } else {
        logSystem("[YOLO] Unknown command: " + escapedForLog(*name));
    }
}

void YOLODetectionManager::handleLegacyCommand(const std::string& command) {
    if (command == "turn_on" || command == "turn it on!!!") {
        startDetection();
    } else if (command == "turn_off" || command == "turn it off!!!") {
        stopDetection();
    } else {
        logSystem("[YOLO] Unknown legacy command: " + escapedForLog(command));
    }
}

void YOLODetectionManager::prepareModels(const nlohmann::json& models) {
    if (!models.is_array()) {
        logSystem("[YOLO] Invalid models format");
        return;
    }
    std::shared_ptr<DispatchGroup> group = DispatchGroup::create();
    // Only ever cleared, from whichever thread a model's answer arrives on.
    auto allSucceeded = std::make_shared<std::atomic<bool>>(true);

    for (const nlohmann::json& entry : models) {
        std::optional<std::string> name, url, function;
        float threshold = kDefaultConfThreshold;
        if (entry.is_object()) {
            name = textMember(entry, "name");
            url = textMember(entry, "url");
            function = textMember(entry, "model_function");
            auto conf = entry.find("conf_threshold");
            if (conf != entry.end() && conf->is_number()) {
                // Held as a 32-bit float; out-of-range values saturate.
                double value = conf->get<double>();
                threshold =
                    std::isnan(value) ? NAN : static_cast<float>(std::clamp(value, -double(FLT_MAX), double(FLT_MAX)));
            }
        }
        if (!name || !url || !function) {
            logSystem("[YOLO] Invalid model config: " + describe(entry));
            continue;
        }
        if (*function == "sign_detection") {
            signModelName = *name;
            signConfThreshold = threshold;
        } else if (*function == "digit_detection") {
            digitModelName = *name;
            digitConfThreshold = threshold;
        } else {
            logSystem("[YOLO] Unknown model_function: " + escapedForLog(*function));
            continue;
        }

        group->enter();
        // The observer as it is now; its calls go through the main queue in
        // the order the states arise.
        auto tell = [observer = modelStateChanged, name = *name](const char* state) {
            if (!observer) return;
            platform().dispatch->main().async([observer, name, state = std::string(state)] { observer(name, state); });
        };
        ModelManager::shared()->ensureModelReadyWithName(
            *name, *url,
            [group, allSucceeded, tell, name = *name](bool ok) {
                if (ok) {
                    logSystem("[YOLO] Model " + escapedForLog(name) + " ready");
                } else {
                    logSystem("[YOLO] Model " + escapedForLog(name) + " failed");
                    allSucceeded->store(false);
                }
                tell(ok ? "ready" : "failed");
                group->leave();
            },
            [tell] { tell("downloading"); });
    }

    group->notify(sharedMainQueue(platform().dispatch), [allSucceeded] {
        logSystem(allSucceeded->load() ? "[YOLO] All models ready" : "[YOLO] Some models failed");
    });
}

std::string YOLODetectionManager::processVPSResult(const std::string& result) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (nestsDeeperThan(result, kMaxAnswerNesting)) {
        logSystem("[YOLO] JSON parse error: the answer nests deeper than " + std::to_string(kMaxAnswerNesting) +
                  " levels");
        return result;
    }
    // The JSON reader takes a NUL byte for the end of its input and would
    // return the text before it as the whole answer; a NUL can't stand
    // unescaped anywhere in JSON, so such an answer is not JSON and goes on
    // unchanged, with its full length.
    if (size_t nul = result.find('\0'); nul != std::string::npos) {
        logSystem("[YOLO] JSON parse error: a NUL byte at offset " + std::to_string(nul) + " of " +
                  std::to_string(result.size()));
        return result;
    }
    nlohmann::json root;
    try {
        root = nlohmann::json::parse(result);
    } catch (const nlohmann::json::exception& e) {
        logSystem(std::string("[YOLO] JSON parse error: ") + e.what());
        return result;
    }
    if (!root.is_object()) return result;
    auto data = root.find("data");
    if (data == root.end() || !data->is_object()) return result;
    auto attributes = data->find("attributes");
    if (attributes == data->end() || !attributes->is_object()) return result;

    auto detector = attributes->find("floor_detector");
    if (detector != attributes->end() && detector->is_string() &&
        detector->get_ref<const std::string&>() == "floor_by_yolo") {
        int32_t floor = detectedFloor.load(std::memory_order_relaxed);
        if (floor != -1) {
            logSystem("[YOLO] Override detected_floor = " + std::to_string(floor));
            (*attributes)["detected_floor"] = floor;
        }
    } else {
        logSystem("[YOLO] Disable YOLO (not floor_by_yolo)");
        stopDetection();
    }
    // The attributes were edited in place, inside "data", inside the answer.
    return root.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void YOLODetectionManager::startDetection() {
    TEVRA_ASSERT_MAIN_THREAD();
    startDetectingFloor.store(true, std::memory_order_relaxed);
    detectedFloor.store(-1, std::memory_order_relaxed);
    logSystem("[YOLO] Detection started");
}

void YOLODetectionManager::stopDetection() {
    TEVRA_ASSERT_MAIN_THREAD();
    startDetectingFloor.store(false, std::memory_order_relaxed);
    detectedFloor.store(-1, std::memory_order_relaxed);
    logSystem("[YOLO] Detection stopped");
}

void YOLODetectionManager::updateDetectedFloor(int32_t floor) {
    detectedFloor.store(floor, std::memory_order_relaxed);
    logSystem("[YOLO] detectedFloor updated = " + std::to_string(floor));
}

int32_t YOLODetectionManager::getRotationNeeded() const {
    long orientation = hasPlatform() && platform().device ? platform().device->orientation() : 0;
    switch (orientation) {
        case UIDeviceOrientationPortrait:
            return 1;
        case UIDeviceOrientationPortraitUpsideDown:
            return 3;
        // Held landscape left the sensor's frame is already upright; held
        // landscape right it is upside down.
        case UIDeviceOrientationLandscapeLeft:
            return 0;
        case UIDeviceOrientationLandscapeRight:
            return 2;
        default:
            return 0;
    }
}

}  // namespace tevra
