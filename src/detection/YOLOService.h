// The detection service: the one object through which the controller reaches
// on-device floor detection.
//
// In: "YOLOCommander" command bodies (JSON values), every AR frame, every VPS
// answer. Out: commands go to the manager (YOLODetectionManager), frames to
// the scheduler (YOLOFrameProcessor), answers come back from the manager,
// possibly carrying "detected_floor". A typical run: {"command":
// "prepare_models", "models": [...]} fetches both models, {"command":
// "turn_on"} switches detection on, the eleventh eligible frame runs
// detection, a floor switches it off, the next VPS answer naming
// "floor_by_yolo" carries the floor.
// Fails with: log lines only (see YOLODetectionManager.h); nothing reaches
// the page but the rewritten VPS answer.
//
// Threads: as the manager and the processor state: main thread for commands,
// frames and answers.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "detection/YOLODetectionManager.h"
#include "detection/YOLOFrameProcessor.h"
#include "platform/ARSession.h"

namespace tevra {

class YOLOService {
public:
    // A new manager and a processor working for it.
    YOLOService();
    virtual ~YOLOService() = default;
    YOLOService(const YOLOService&) = delete;
    YOLOService& operator=(const YOLOService&) = delete;

    void handleMessage(const nlohmann::json& body) { manager->handleMessage(body); }
    void processFrame(const std::shared_ptr<ARFrame>& frame) { processor->processFrame(frame); }
    std::string processVPSResult(const std::string& result) { return manager->processVPSResult(result); }

    std::shared_ptr<YOLODetectionManager> manager;
    std::shared_ptr<YOLOFrameProcessor> processor;
};

}  // namespace tevra
