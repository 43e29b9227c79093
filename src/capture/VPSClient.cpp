#include "capture/VPSClient.h"

#include <optional>
#include <utility>

#include "base/TextUtils.h"
#include "capture/ImageOps.h"
#include "capture/JpegEncoder.h"
#include "platform/Device.h"
#include "platform/Log.h"
#include "platform/Platform.h"
#include "platform/ThreadCheck.h"

namespace tevra {

namespace {

// The rest of a request once the JPEG is made: width x height are the upright
// frame's pixels before fitting; deviceOrientation the turn it was given.
void sendFittedJpeg(const std::string& jpeg, double width, double height, long deviceOrientation,
                    const std::string& meta, const std::string& url, const std::string& token,
                    const std::function<void(const std::string&)>& callback, const VPSClientSettings& s) {
    const size_t logMax = static_cast<size_t>(platform().limits.logTextMaxBytes);
    logSystem("VPS Request Meta Data " + clippedForLog(meta, logMax));
    // The intrinsics follow the turn the image was given when it was made
    // upright, not the device's orientation now.
    const VPSIntrinsics k = intrinsicsForUprightImage(s.storedIntrinsics, deviceOrientation, width, height);
    std::string intrinsics = intrinsicsText(width, height, k.fx, k.fy, k.cx, k.cy);
    Expected<std::string> rewritten = rewriteIntrinsics(meta, intrinsics);
    if (!rewritten) {
        logSystem("Regex error: " + rewritten.error.localizedDescription);
        return;
    }
    logSystem("🔁 Modified JSON:\n" + clippedForLog(*rewritten, logMax));
    HttpRequest request = makeVPSRequest(url, token, multipartBody(jpeg, *rewritten));
    // Counted after content decoding; a larger answer fails the request.
    request.maxResponseBytes = platform().limits.vpsAnswerMaxBytes;
    platform().http->dataTask(std::move(request), [callback](std::optional<std::string> body,
                                                             std::optional<HttpResponse>, std::optional<Error> error) {
        // The HTTP status is not judged: an error page is an answer.
        if (error) {
            logSystem(" Request failed: " + error->localizedDescription);
            return;
        }
        if (!callback) return;
        // Moved, not copied, on to the main queue and the page call.
        std::string text = body ? std::move(*body) : std::string();
        body.reset();
        if (!isValidUTF8(text)) {
            logSystem(
                format("VPS answer is not valid UTF-8 text (%zu bytes); nothing is sent to the page", text.size()));
            return;
        }
        platform().dispatch->main().async([callback, text = std::move(text)] { callback(text); });
    });
}

}  // namespace

void sendVPSRequest(std::shared_ptr<Image> image, const std::string& meta, const std::string& server,
                    const std::string& token, const VPSClientSettings& s,
                    std::function<void(const std::string&)> answer) {
    TEVRA_ASSERT_MAIN_THREAD();
    // Only web servers: any other scheme (file:, data:, ...) is no server.
    if (!isAcceptedVPSServerURL(server)) {
        logSystem(" Invalid URL: " + clippedForLog(server, platform().limits.logTextMaxBytes));
        return;
    }
    platform().dispatch->globalHighPriority().async(
        [image = std::move(image), meta, url = server, token, callback = std::move(answer), s] {
            std::shared_ptr<Image> fitted = image ? tevra::resizeImageKeepAspect(*image, s.targetSize) : nullptr;
            std::optional<std::string> jpeg = fitted ? jpegRepresentation(*fitted, s.compressionFactor) : std::nullopt;
            if (!jpeg) {
                logSystem("❌ Failed to convert UIImage to NSData");
                return;
            }
            // Width and height of the upright frame in pixels, before fitting.
            const Size points = image->size();
            sendFittedJpeg(*jpeg, points.width * image->scale(), points.height * image->scale(),
                           image->deviceOrientation(), meta, url, token, callback, s);
        });
}

void sendVPSRequest(PixelBufferRef frame, long deviceOrientation, const std::string& meta, const std::string& server,
                    const std::string& token, const VPSClientSettings& s,
                    std::function<void(const std::string&)> answer) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (!isAcceptedVPSServerURL(server)) {
        logSystem(" Invalid URL: " + clippedForLog(server, platform().limits.logTextMaxBytes));
        return;
    }
    if (!frame) return;
    platform().dispatch->globalHighPriority().async([frame = std::move(frame), deviceOrientation, meta, url = server,
                                                     token, callback = std::move(answer), s]() mutable {
        std::optional<YCbCrImage> planes = fittedUprightPlanes(*frame, deviceOrientation, s.targetSize);
        std::optional<std::string> jpeg = planes ? jpegRepresentation(*planes, s.compressionFactor) : std::nullopt;
        // Upright, a quarter turn or the flat canvas exchanges the sides.
        const bool sideways = deviceOrientation != UIDeviceOrientationLandscapeLeft &&
                              deviceOrientation != UIDeviceOrientationLandscapeRight;
        const double width = static_cast<double>(sideways ? frame->height() : frame->width());
        const double height = static_cast<double>(sideways ? frame->width() : frame->height());
        frame = nullptr;  // the camera buffer goes back before the upload
        if (!jpeg) {
            logSystem("❌ Failed to convert UIImage to NSData");
            return;
        }
        sendFittedJpeg(*jpeg, width, height, deviceOrientation, meta, url, token, callback, s);
    });
}

}  // namespace tevra
