// Camera frame capture and the VPS message handling of ViewControllerSDK.
#include "bridge/TextUtils.h"
#include "bridge/ViewControllerSDK.h"

namespace tevra {

void ViewControllerSDK::handleVPSMessage(const nlohmann::json& body) {
    if (!body.is_string()) {
        logSystem("Ignoring TevraAR message: the body is not text: " + describeBody(body));
        return;
    }
    // The VPS client arrives with the capture capability.
    logSystem("VPS request not sent: the VPS client is not available in this build");
}

// ---------------------------------------------------------------------------
// Camera frame capture

void ViewControllerSDK::processFrame(const PixelBufferRef& pixelBuffer) {
    if (!pixelBuffer) return;
    std::lock_guard<std::recursive_mutex> lock(lock_);
    lastCapturedFrame_ = pixelBuffer;  // releases the previous one, retains this one
}

PixelBufferRef ViewControllerSDK::retainedLastCapturedFrame() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return lastCapturedFrame_;
}

}  // namespace tevra
