// Decides frame by frame whether to run floor detection, runs it and acts on
// the result.
//
// In: every AR frame. A frame is eligible while detection is switched on and
// both named models are loaded in ModelManager::shared(); only eligible frames
// are counted. Out: detectFloor on the frame's camera image on the eleventh
// eligible frame and then on every tenth ("Detected floor = 4" on the system
// log); a floor > 0 switches detection off and is recorded in the manager.
// Example: detection on at frame 1, nothing found at frame 11, floor 4 found
// at frame 21: "Detected floor = -1", "Detected floor = 4", "[YOLO] Detection
// stopped", "[YOLO] detectedFloor updated = 4"; frame 22 on: no runs.
// Fails with: −1 from a run (logged, counter reset, detection goes on).
//
// Threads: the thread that delivers AR frames; a run is synchronous. The
// eligibility check is a few reads and two registry look-ups.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/ARSession.h"

namespace tevra {

class YOLODetectionManager;

// The run interval, in eligible frames.
extern "C" {
extern const int64_t kYOLOTimeInterval;  // 10
}

class YOLOFrameProcessor {
public:
    // Keeps the manager weakly; with the manager gone no frame is eligible.
    explicit YOLOFrameProcessor(const std::shared_ptr<YOLODetectionManager>& manager);
    virtual ~YOLOFrameProcessor() = default;
    YOLOFrameProcessor(const YOLOFrameProcessor&) = delete;
    YOLOFrameProcessor& operator=(const YOLOFrameProcessor&) = delete;

    void processFrame(const std::shared_ptr<ARFrame>& frame);
    bool shouldRunDetection() const;
    // The floor 1-7 read from the frame, or −1.
    int32_t runDetection(const std::shared_ptr<ARFrame>& frame);

    std::weak_ptr<YOLODetectionManager> manager;
    int32_t frameCount = 0;
};

}  // namespace tevra
