// Camera-image renderer. Waits for the OpenGL renderer capability: until it
// lands, this class only records the size and orientation it is given and
// draws nothing.
#pragma once

#include <memory>

#include "math/Simd.h"
#include "platform/ARSession.h"
#include "platform/View.h"

namespace tevra {

class Renderer {
public:
    static std::shared_ptr<Renderer> initWithSession(std::shared_ptr<ARSession> session, std::shared_ptr<GPUDevice> device,
                                                     std::weak_ptr<CameraView> renderDestination) {
        auto r = std::make_shared<Renderer>();
        r->session_ = std::move(session);
        (void)device;
        (void)renderDestination;
        return r;
    }
    void drawRectResized(Size size) { viewportSize = size; }
    void setInterfaceOrientation(long o) { interfaceOrientation = o; }
    // Draws nothing until the renderer capability lands.
    void update() {}

    Size viewportSize;
    long interfaceOrientation = 0;

private:
    std::shared_ptr<ARSession> session_;
};

}  // namespace tevra
