// Camera frame capture and the VPS client of ViewControllerSDK.
//
// In: the camera frames forwarded to the page (processFrame), the page's VPS
// messages "server|meta|id[|token]" on "TevraAR". Out: one multipart POST per
// message with an upright, fitted JPEG of the newest frame and the metadata
// with the camera intrinsics written in; the server's answer goes back to the
// page as window.UnityBridge.receiveMessage("{\"data\":...,\"id\":...}").
// Fails: by a log line, and the page gets no reply.
// Example: a 1920 x 1440 frame with the device held portrait becomes a
// 1440 x 1920 upright image; fitted into the default 540 x 960 box it is sent
// as a 540 x 720 JPEG while the intrinsics say width 1440, height 1920;
// held landscape left it stays 1920 x 1440, is sent as 540 x 405 and the
// intrinsics carry the sensor's own fx, fy, cx, cy (docs/vps.md).
//
// Threads: messages, frames, the image completion and the reply on the main
// thread; rendering, turning, fitting, encoding and building the request on
// the global high-priority queue; the HTTP completion only posts to the main
// queue. The stored frame has a lock of its own (capture/NewestFrame.h).
#include <utility>

#include "TevraARWebGL/Globals.h"
#include "base/TextUtils.h"
#include "bridge/ViewControllerSDK.h"
#include "capture/Image.h"
#include "capture/ImageContext.h"
#include "capture/ImageOps.h"
#include "capture/VPSClient.h"
#include "capture/VPSRequest.h"
#include "detection/YOLOService.h"
#include "platform/Log.h"
#include "platform/ThreadCheck.h"

namespace tevra {

// ---------------------------------------------------------------------------
// The newest frame

void ViewControllerSDK::processFrame(const PixelBufferRef& pixelBuffer) { newestFrame_.store(pixelBuffer); }

PixelBufferRef ViewControllerSDK::retainedLastCapturedFrame() { return newestFrame_.retained(); }

// ---------------------------------------------------------------------------
// The image-processing context

std::shared_ptr<ImageContext> ViewControllerSDK::ciContext() const {
    MutexLock lock(ciContextLock_);
    return ciContext_;
}

void ViewControllerSDK::setCiContext(std::shared_ptr<ImageContext> context) {
    MutexLock lock(ciContextLock_);
    ciContext_ = std::move(context);
}

std::shared_ptr<ImageContext> ViewControllerSDK::ciContextForRendering() {
    // Conversions may run side by side; only one of them makes the context.
    MutexLock lock(ciContextLock_);
    if (!ciContext_) {
        logSystem(" CIContext is missing, falling back to CPU rendering!");
        ciContext_ = ImageContext::contextWithOptions();
    }
    return ciContext_;
}

// ---------------------------------------------------------------------------
// Frame to upright image

void ViewControllerSDK::imageFromPixelBuffer(PixelBufferRef pixelBuffer,
                                             std::function<void(std::shared_ptr<Image>)> completion) {
    if (!pixelBuffer || !completion) {
        if (completion) completion(nullptr);
        return;  // a buffer handed over without a completion is released here
    }
    std::shared_ptr<ViewControllerSDK> self = shared_from_this();
    platform().dispatch->globalHighPriority().async(
        [self, buffer = std::move(pixelBuffer), completion = std::move(completion)]() mutable {
            // The main queue gets the controller too, so that its last
            // reference is never dropped on a worker thread.
            auto finish = [&](std::shared_ptr<Image> image) {
                platform().dispatch->main().async([self = std::move(self), completion = std::move(completion),
                                                   image = std::move(image)] { completion(image); });
            };
            buffer->lockBaseAddress(kCVPixelBufferLock_ReadOnly);
            if (ImageContext::isEmpty(ImageContext::extentOfPixelBuffer(*buffer))) {
                logSystem("❌ CIImage has an empty extent!");
                buffer->unlockBaseAddress(kCVPixelBufferLock_ReadOnly);
                buffer = nullptr;
                finish(nullptr);
                return;
            }
            std::shared_ptr<ImageContext> context = self->ciContextForRendering();
            std::shared_ptr<Bitmap> bitmap = context->createCGImage(*buffer);
            buffer->unlockBaseAddress(kCVPixelBufferLock_ReadOnly);
            buffer = nullptr;  // balances the reference the caller handed over
            if (!bitmap) {
                logSystem("❌ Failed to create CGImage from CIImage!");
                finish(nullptr);
                return;
            }
            std::shared_ptr<Image> image = Image::imageWithBitmap(std::move(bitmap), 1.0);
            finish(self->rotateImageIfNeeded(image));
        });
}

std::shared_ptr<Image> ViewControllerSDK::rotateImageIfNeeded(const std::shared_ptr<Image>& image) {
    if (!image) return nullptr;
    return uprightImageForDeviceOrientation(*image, platform().device->orientation());
}

std::shared_ptr<Image> ViewControllerSDK::resizeImageKeepAspect(const std::shared_ptr<Image>& image, Size size) {
    if (!image) return nullptr;
    return tevra::resizeImageKeepAspect(*image, size);
}

std::shared_ptr<Image> ViewControllerSDK::resizeImageWithCrop(const std::shared_ptr<Image>& image, Size size,
                                                              long orientation) {
    if (!image) return nullptr;
    return tevra::resizeImageWithCrop(*image, size, orientation);
}

std::optional<std::vector<uint8_t>> ViewControllerSDK::pixelBufferToNSData(const PixelBufferRef& pixelBuffer) {
    if (!pixelBuffer) return std::nullopt;
    PixelBufferLock lock(*pixelBuffer, kCVPixelBufferLock_ReadOnly);
    const size_t height = pixelBuffer->height();
    const size_t bytesPerRow = pixelBuffer->bytesPerRow();
    const uint8_t* base = pixelBuffer->baseAddress();
    if (!base) return std::nullopt;
    return std::vector<uint8_t>(base, base + height * bytesPerRow);
}

// ---------------------------------------------------------------------------
// Idle timer

void ViewControllerSDK::startTimer() {
    TEVRA_ASSERT_MAIN_THREAD();
    // A second start replaces the running timer instead of leaving it ticking
    // out of reach.
    if (timer) timer->invalidate();
    std::weak_ptr<ViewControllerSDK> weakSelf = weak_from_this();
    timer = platform().dispatch->scheduleRepeatingTimer(1.0, [weakSelf] {
        if (auto self = weakSelf.lock()) self->myFunction();
    });
}

void ViewControllerSDK::stopTimer() {
    TEVRA_ASSERT_MAIN_THREAD();
    if (timer) timer->invalidate();
    timer = nullptr;
}

// ---------------------------------------------------------------------------
// VPS

namespace {

// The server's answer on its way to the page (main queue). The answer (up to
// Limits::vpsAnswerMaxBytes) is not copied on the way: the detection
// service's result is moved into the reply, the reply is escaped straight
// into the page call and dropped, and log lines show the text clipped to
// Limits::logTextMaxBytes.
void sendVPSAnswerToPage(ViewControllerSDK& vc, const std::string& id, const std::string& answer) {
    const size_t logMax = static_cast<size_t>(platform().limits.logTextMaxBytes);
    logSystem(" VPS Request completed. " + clippedForLog(answer, logMax));
    std::string data = vc.yoloService ? vc.yoloService->processVPSResult(answer) : answer;
    Expected<std::string> json = vpsReplyJSON(id, std::move(data));
    if (!json) {
        logSystem("❌ Error converting to JSON: " + json.error.localizedDescription);
        return;
    }
    std::string call = receiveMessageCallForReply(*json);
    json.value.reset();
    logSystem("📡 Sending to JS: " + clippedForLog(call, logMax));
    if (!vc.wkWebView) return;
    vc.wkWebView->evaluateJavaScript(call, [](const nlohmann::json&, const std::optional<Error>& e) {
        if (e)
            logSystem("❌ Error sending message to JS: " + e->localizedDescription);
        else
            logSystem("✅ Message sent to JS successfully.");
    });
}

}  // namespace

void ViewControllerSDK::handleVPSMessage(const nlohmann::json& body) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (!body.is_string()) {
        logSystem("Ignoring TevraAR message: the body is not text: " + describeBody(body));
        return;
    }
    std::optional<VPSMessage> message = parseVPSMessage(body.get_ref<const std::string&>());
    if (!message) return;
    PixelBufferRef frame = retainedLastCapturedFrame();
    if (!frame) return;
    std::weak_ptr<ViewControllerSDK> weakSelf = weak_from_this();
    const uint32_t format = frame->pixelFormatType();
    if ((format == kCVPixelFormatType_420YpCbCr8BiPlanarFullRange ||
         format == kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange) &&
        !ImageContext::isEmpty(ImageContext::extentOfPixelBuffer(*frame)) && frame->baseAddressOfPlane(0) &&
        frame->baseAddressOfPlane(1)) {
        // Made upright and fitted on the frame's planes by the request: no
        // full-size RGB image. Other frames go through imageFromPixelBuffer.
        VPSClientSettings settings{targetSize,
                                   static_cast<double>(cameraFrameJpegCompressionFactor),
                                   {cameraFx, cameraFy, cameraCx, cameraCy}};
        std::string id = message->id;
        sendVPSRequest(std::move(frame), platform().device->orientation(), message->meta, message->server,
                       message->token, settings, [weakSelf, id](const std::string& answer) {
                           if (auto s = weakSelf.lock()) sendVPSAnswerToPage(*s, id, answer);
                       });
        return;
    }
    imageFromPixelBuffer(std::move(frame), [weakSelf, m = std::move(*message)](std::shared_ptr<Image> image) {
        auto self = weakSelf.lock();
        if (!self) return;
        if (!image) {
            logSystem("❌ Failed to convert pixel buffer to image!");
            return;
        }
        std::string id = m.id;
        self->sendVpsRequestWithImage(image, m.meta, m.server, m.token, [weakSelf, id](const std::string& answer) {
            if (auto s = weakSelf.lock()) sendVPSAnswerToPage(*s, id, answer);
        });
    });
}

void ViewControllerSDK::sendVpsRequestWithImage(std::shared_ptr<Image> image, const std::string& meta,
                                                const std::string& vpsServer, const std::string& apiToken,
                                                std::function<void(const std::string&)> callback) {
    TEVRA_ASSERT_MAIN_THREAD();
    VPSClientSettings settings{
        targetSize, static_cast<double>(cameraFrameJpegCompressionFactor), {cameraFx, cameraFy, cameraCx, cameraCy}};
    sendVPSRequest(std::move(image), meta, vpsServer, apiToken, settings, std::move(callback));
}

}  // namespace tevra
