// The detection switch, the two models' names and thresholds, and the floor
// found on the device; the "YOLOCommander" command protocol; the rewrite of
// VPS answers.
//
// In: page command bodies (JSON values: an object with "command", or a legacy
// text), VPS answers (text). Out: "[YOLO] " lines on the system log, model
// requests to ModelManager::shared(), and VPS answers carrying the device's
// floor. Example: after a run found floor 4, the answer
// {"data":{"attributes":{"floor_detector":"floor_by_yolo"}}} comes back as
// {"data":{"attributes":{"detected_floor":4,"floor_detector":"floor_by_yolo"}}}.
// Fails with: one log line per malformed command; a VPS answer that is not
// JSON, not an object or has no "data"."attributes" object comes back
// unchanged, byte for byte; so does one nesting arrays or objects more than
// 512 levels deep (with a "[YOLO] JSON parse error: " line).
//
// Threads: commands and VPS answers on the main thread, frames on the thread
// that delivers AR frames (also the main thread). The names and thresholds are
// main-thread state; `startDetectingFloor` and the floor are single values
// read and written whole. Model-ready answers may arrive on any thread: they
// only touch the prepare round's own flag and group, and the summary is
// logged on the main queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tevra {

// Names of the sign-detection and the digit-reading model.
extern "C" {
extern const char* const kYOLOSignModel;   // "yolo26n_sign_640"
extern const char* const kYOLODigitModel;  // "yolo26n_digit_640"
}

class YOLODetectionManager {
public:
    // Floor −1 (none), detection off, no models named.
    YOLODetectionManager();
    virtual ~YOLODetectionManager() = default;
    YOLODetectionManager(const YOLODetectionManager&) = delete;
    YOLODetectionManager& operator=(const YOLODetectionManager&) = delete;

    // A command body from the page: an object, a legacy text, or anything
    // else (logged as unknown).
    void handleMessage(const nlohmann::json& body);
    void handleDictionaryCommand(const nlohmann::json& command);
    void handleLegacyCommand(const std::string& command);
    // The "models" value of "prepare_models" (null when it was missing).
    // Each accepted model's download start and its end (ready or failed)
    // go to modelStateChanged, on the main thread.
    void prepareModels(const nlohmann::json& models);

    // Told on the main thread, for each model of a "prepare_models" command,
    // "downloading" when its download starts (not for a model found locally
    // or already loaded), then "ready" or "failed". Set by the controller
    // before any command arrives; empty: nobody is told.
    std::function<void(const std::string& name, const std::string& state)> modelStateChanged;

    // The VPS answer, with "detected_floor" written in when the answer names
    // "floor_by_yolo" and a floor was found; detection switched off when it
    // names another detector.
    std::string processVPSResult(const std::string& result);

    void startDetection();
    void stopDetection();
    void updateDetectedFloor(int32_t floor);

    // The rotation code for the current device orientation, which
    // counterDeviceRotation undoes so the models see the frame upright:
    // portrait 1 (a quarter turn clockwise), portrait upside down 3 (a
    // quarter turn counter-clockwise), landscape left 0 (none), landscape
    // right 2 (a half turn), anything else (unknown, face up, face down) 0.
    // Example: a 1920 x 1440 frame held landscape right reaches the models
    // as a 1920 x 1440 frame turned half round.
    int32_t getRotationNeeded() const;

    std::atomic<bool> startDetectingFloor{false};
    bool didSetupModels = false;  // public; nothing in the library reads or writes it
    std::optional<std::string> signModelName;
    std::optional<float> signConfThreshold;
    std::optional<std::string> digitModelName;
    std::optional<float> digitConfThreshold;

    // The floor found on the device, −1 when none (read-only; the replay
    // driver's state report). Any thread.
    int32_t detectedFloorValue() const { return detectedFloor.load(std::memory_order_relaxed); }

private:
    std::atomic<int32_t> detectedFloor{-1};
};

}  // namespace tevra
