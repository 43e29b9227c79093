#include "platform/linux/LinuxViewFactory.h"

#include <time.h>

#include "platform/Log.h"
#include "platform/linux/GLDevice.h"
#include "platform/linux/GtkCameraView.h"
#include "platform/linux/WebKitPageView.h"

namespace tevra::linux_platform {

std::shared_ptr<GPUDevice> LinuxViewFactory::systemDefaultDevice() {
    // One device for the process, like the platform's system default.
    if (!tried_) {
        tried_ = true;
        Error error;
        device_ = gl::GLDevice::createSurfaceless(&error);
        if (!device_) logSystem("No OpenGL ES device: " + error.localizedDescription);
    }
    return device_;
}

std::shared_ptr<CameraView> LinuxViewFactory::makeCameraView(const Rect& frame, std::shared_ptr<GPUDevice> device) {
    return makeGtkCameraView(frame, std::move(device));
}

std::shared_ptr<WebView> LinuxViewFactory::makeWebView(const Rect& frame, const WebViewConfiguration& configuration) {
    return makeWebKitPageView(frame, configuration);
}

double MonotonicClock::now() const {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace tevra::linux_platform
