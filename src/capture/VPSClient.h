// The VPS client: one request for one upright camera image.
//
// In: the upright image, the page's metadata, the server URL and token, and
// the controller's settings taken on the main thread (the target box, the
// JPEG quality and the stored camera intrinsics). Out: one multipart POST
// with the image fitted into the box as JPEG and the metadata with the
// intrinsics of the image written in (docs/vps.md); the server's answer text
// goes to `answer` on the main queue.
// Fails: by a log line, and `answer` is not called: a server that is no
// http(s) URL (" Invalid URL: …"), an image that does not encode, a
// metadata rewrite error, a transport error, an answer over
// Limits::vpsAnswerMaxBytes or not UTF-8. An HTTP error status is an answer.
// Example: a 1440 x 1920 upright image in the default 540 x 960 box is sent
// as a 540 x 720 JPEG while the intrinsics say width 1440, height 1920.
// Threads: call on the main thread; fitting, encoding and building the
// request run on the global high-priority queue.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "capture/Image.h"
#include "capture/VPSRequest.h"
#include "platform/PixelBuffer.h"

namespace tevra {

struct VPSClientSettings {
    Size targetSize;
    double compressionFactor = 0.9;
    // As the controller stores them (the axes exchanged, as for portrait).
    VPSIntrinsics storedIntrinsics;
};

void sendVPSRequest(std::shared_ptr<Image> image, const std::string& meta, const std::string& server,
                    const std::string& token, const VPSClientSettings& settings,
                    std::function<void(const std::string&)> answer);

// The same for a "420f" or "420v" camera frame, made upright for `deviceOrientation`
// (uprightImageForDeviceOrientation's codes) and fitted on its luma and
// chroma planes on the queue (fittedUprightPlanes): no RGB image is made.
// The frame is held until its JPEG is made.
void sendVPSRequest(PixelBufferRef frame, long deviceOrientation, const std::string& meta, const std::string& server,
                    const std::string& token, const VPSClientSettings& settings,
                    std::function<void(const std::string&)> answer);

}  // namespace tevra
