// Detection service facade. Waits for the detection-service capability:
// until it lands, commands are logged as not handled, frames pass through and
// VPS answers are returned unchanged.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/ARSession.h"
#include "platform/Log.h"

namespace tevra {

class YOLOService {
public:
    void handleMessage(const nlohmann::json&) {
        logSystem("[YOLO] Detection commands are not available in this build");
    }
    void processFrame(const std::shared_ptr<ARFrame>&) {}
    std::string processVPSResult(const std::string& result) { return result; }
};

}  // namespace tevra
