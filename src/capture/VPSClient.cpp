#include "capture/VPSClient.h"

#include <optional>
#include <utility>

#include "base/TextUtils.h"
#include "capture/ImageOps.h"
#include "capture/JpegEncoder.h"
#include "platform/Log.h"
#include "platform/Platform.h"
#include "platform/ThreadCheck.h"

namespace tevra {

void sendVPSRequest(std::shared_ptr<Image> image, const std::string& meta, const std::string& server,
                    const std::string& token, const VPSClientSettings& s,
                    std::function<void(const std::string&)> answer) {
    TEVRA_ASSERT_MAIN_THREAD();
    // Only web servers: any other scheme (file:, data:, ...) is no server.
    if (!isAcceptedVPSServerURL(server)) {
        logSystem(" Invalid URL: " + server);
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
            const size_t logMax = static_cast<size_t>(platform().limits.logTextMaxBytes);
            logSystem("VPS Request Meta Data " + clippedForLog(meta, logMax));
            // Width and height of the upright frame in pixels, before fitting.
            const Size points = image->size();
            const double width = points.width * image->scale(), height = points.height * image->scale();
            // The intrinsics follow the turn the image was given when it was made
            // upright, not the device's orientation now.
            const VPSIntrinsics k =
                intrinsicsForUprightImage(s.storedIntrinsics, image->deviceOrientation(), width, height);
            std::string intrinsics = intrinsicsText(width, height, k.fx, k.fy, k.cx, k.cy);
            Expected<std::string> rewritten = rewriteIntrinsics(meta, intrinsics);
            if (!rewritten) {
                logSystem("Regex error: " + rewritten.error.localizedDescription);
                return;
            }
            logSystem("🔁 Modified JSON:\n" + clippedForLog(*rewritten, logMax));
            HttpRequest request = makeVPSRequest(url, token, multipartBody(*jpeg, *rewritten));
            // Counted after content decoding; a larger answer fails the request.
            request.maxResponseBytes = platform().limits.vpsAnswerMaxBytes;
            platform().http->dataTask(
                std::move(request),
                [callback](std::optional<std::string> body, std::optional<HttpResponse>, std::optional<Error> error) {
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
                        logSystem(format("VPS answer is not valid UTF-8 text (%zu bytes); nothing is sent to the page",
                                         text.size()));
                        return;
                    }
                    platform().dispatch->main().async([callback, text = std::move(text)] { callback(text); });
                });
        });
}

}  // namespace tevra
