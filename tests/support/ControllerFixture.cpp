#include "support/ControllerFixture.h"

#include <fstream>

#include "TevraARWebGL/Globals.h"

namespace tevra::test {

void ControllerFixture::resetGlobals() {
    cameraFrameJpegCompressionFactor = 0.9f;
    targetFrameWidth = 540;
    targetFrameHeight = 960;
}

void ControllerFixture::writeResource(const std::string& rel, const std::string& content) {
    auto p = resources / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << content;
}

}  // namespace tevra::test
