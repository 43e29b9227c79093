#include "detection/YOLOFrameProcessor.h"

#include "detection/YOLODetectionManager.h"
#include "detection/YOLOInference.h"
#include "models/ModelManager.h"
#include "platform/Log.h"
#include "platform/ThreadCheck.h"

namespace tevra {

extern "C" {
const int64_t kYOLOTimeInterval = 10;
}

YOLOFrameProcessor::YOLOFrameProcessor(const std::shared_ptr<YOLODetectionManager>& m) : manager(m) {}

bool YOLOFrameProcessor::shouldRunDetection() const {
    std::shared_ptr<YOLODetectionManager> m = manager.lock();
    if (!m || !m->startDetectingFloor.load(std::memory_order_relaxed)) return false;
    if (!m->signModelName || !m->digitModelName) return false;
    const std::shared_ptr<ModelManager>& registry = ModelManager::shared();
    return registry->isModelLoaded(*m->signModelName) && registry->isModelLoaded(*m->digitModelName);
}

void YOLOFrameProcessor::processFrame(const std::shared_ptr<ARFrame>& frame) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (!shouldRunDetection()) return;
    // The interval is compared through its low 32 bits.
    if (frameCount >= static_cast<int32_t>(kYOLOTimeInterval)) {
        int32_t floor = runDetection(frame);
        if (floor > 0) {
            if (std::shared_ptr<YOLODetectionManager> m = manager.lock()) {
                // Stopping clears the floor, so it is recorded afterwards.
                m->stopDetection();
                m->updateDetectedFloor(floor);
            }
        }
        frameCount = 0;
    }
    frameCount += 1;
}

int32_t YOLOFrameProcessor::runDetection(const std::shared_ptr<ARFrame>& frame) {
    PixelBufferRef image = frame ? frame->capturedImage() : PixelBufferRef();
    std::shared_ptr<YOLODetectionManager> m = manager.lock();
    int32_t floor = -1;
    if (m) {
        int32_t rotation = m->getRotationNeeded();
        std::string signName = m->signModelName.value_or("");
        float signThreshold = m->signConfThreshold.value_or(0.0f);
        std::string digitName = m->digitModelName.value_or("");
        float digitThreshold = m->digitConfThreshold.value_or(0.0f);
        floor = detectFloor(signName.c_str(), signThreshold, digitName.c_str(), digitThreshold, image.get(), rotation);
    }
    logSystem("Detected floor = " + std::to_string(floor));
    return floor;
}

}  // namespace tevra
