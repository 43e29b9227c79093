// The Linux views: the camera view on GTK with the OpenGL ES device, the page
// view on WebKitGTK, and the monotonic media clock.
// Threads: main thread.
#pragma once

#include <memory>

#include "platform/MediaClock.h"
#include "platform/View.h"

namespace tevra::linux_platform {

class LinuxViewFactory : public ViewFactory {
public:
    // The surfaceless EGL device, or null (logged once) when it is unavailable.
    std::shared_ptr<GPUDevice> systemDefaultDevice() override;
    std::shared_ptr<CameraView> makeCameraView(const Rect& frame, std::shared_ptr<GPUDevice> device) override;
    std::shared_ptr<WebView> makeWebView(const Rect& frame, const WebViewConfiguration& configuration) override;

private:
    std::shared_ptr<GPUDevice> device_;
    bool tried_ = false;
};

// CLOCK_MONOTONIC in seconds.
class MonotonicClock : public MediaClock {
public:
    double now() const override;
};

}  // namespace tevra::linux_platform
