// The controller's capture and VPS flow on the fake platform: the stored
// frame, the conversion, the request handed to the HTTP client and the reply
// evaluated in the page.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>

#include "capture/Image.h"
#include "capture/ImageContext.h"
#include "capture/JsStringLiteral.h"
#include "capture/VPSRequest.h"
#include "support/ControllerFixture.h"

namespace tevra::test {
namespace {

PixelBufferRef cameraFrame(size_t w, size_t h, uint32_t format = kCVPixelFormatType_420YpCbCr8BiPlanarFullRange) {
    PixelBufferRef b = PixelBuffer::create(w, h, format);
    for (size_t p = 0; p < std::max<size_t>(1, b->planeCount()); ++p)
        std::fill(b->baseAddressOfPlane(p), b->baseAddressOfPlane(p) + b->bytesPerRowOfPlane(p) * b->heightOfPlane(p),
                  uint8_t{128});
    return b;
}

struct Multipart {
    std::string jpeg, json;
};

// Splits a body built as the client builds it; empty parts when it isn't one.
Multipart split(const std::string& body) {
    const std::string b = kVPSBoundary;
    const std::string imageHead = "--" + b +
                                  "\r\nContent-Disposition: form-data; name=\"image\"; filename=\"image.jpg\"\r\n"
                                  "Content-Type: image/jpeg\r\n\r\n";
    const std::string jsonHead = "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"json\"\r\n\r\n";
    const std::string tail = "\r\n--" + b + "--\r\n";
    Multipart m;
    if (body.rfind(imageHead, 0) != 0 || body.size() < imageHead.size() + tail.size()) return m;
    if (body.compare(body.size() - tail.size(), tail.size(), tail) != 0) return m;
    size_t mid = body.find(jsonHead, imageHead.size());
    if (mid == std::string::npos) return m;
    m.jpeg = body.substr(imageHead.size(), mid - imageHead.size());
    m.json = body.substr(mid + jsonHead.size(), body.size() - tail.size() - mid - jsonHead.size());
    return m;
}

std::pair<int, int> jpegSize(const std::string& jpeg) {
    tjhandle d = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    tjDecompressHeader3(d, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size(), &w, &h, &sub, &cs);
    tjDestroy(d);
    return {w, h};
}

class VPSCapture : public ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        make();
        fake->device->setOrientation(UIDeviceOrientationPortrait);
        fake->log->clear();
    }
    size_t countLog(const std::string& line) const {
        auto l = log();
        return static_cast<size_t>(std::count(l.begin(), l.end(), line));
    }
    std::vector<std::string> replies() {
        std::vector<std::string> out;
        for (auto& s : page().evaluatedScripts())
            if (s.rfind("window.UnityBridge.receiveMessage(", 0) == 0) out.push_back(s);
        return out;
    }
};

TEST_F(VPSCapture, RequestCarriesTheUprightFittedFrameAndTheAnswerReachesThePage) {
    controller->cameraFx = 1490.5f;
    controller->cameraFy = 1500.25f;
    controller->cameraCx = 24.125f;
    controller->cameraCy = 32.0625f;
    auto frame = cameraFrame(64, 48);
    controller->processFrame(frame);
    const std::string meta = R"({"a":1,"intrinsics":{"w":0},"b":2})";
    ASSERT_TRUE(post("TevraAR", "https://vps.example/api|" + meta + "|req-1|tok"));
    drain();

    auto requests = fake->http->requests();
    ASSERT_EQ(requests.size(), 1u);
    const HttpRequest& r = requests[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.url, "https://vps.example/api");
    EXPECT_EQ(r.headers, (std::vector<std::pair<std::string, std::string>>{
                             {"Authorization", "Bearer tok"},
                             {"Content-Type", "multipart/form-data; boundary=----WebKitFormBoundary7MA4YWxkTrZu0gW"}}));
    Multipart parts = split(r.body);
    const std::string rewritten =
        R"({"a":1,"intrinsics":{"width":48,"height":64,"fx":1490.5000,"fy":1500.2500,"cx":24.1250,"cy":32.0625},"b":2})";
    EXPECT_EQ(parts.json, rewritten);
    // 48 x 64 upright, fitted into 540 x 960 with factor 11.25.
    EXPECT_EQ(jpegSize(parts.jpeg), (std::pair<int, int>{540, 720}));
    EXPECT_EQ(log(), (std::vector<std::string>{"VPS Request Meta Data " + meta, "🔁 Modified JSON:\n" + rewritten}));
    EXPECT_TRUE(replies().empty());

    const std::string answer = "{\"floor\":2,\"note\":\"a \\\"b\\\" \\\\ c\"}\nsecond line\r\n";
    ASSERT_TRUE(fake->http->respond(0, 200, answer));
    drain();
    auto sent = replies();
    ASSERT_EQ(sent.size(), 1u);
    auto arg = receiveMessageArgument(sent[0]);
    ASSERT_TRUE(arg) << sent[0];
    auto reply = nlohmann::json::parse(*arg);
    EXPECT_EQ(reply, (nlohmann::json{{"id", "req-1"}, {"data", answer}}));
    auto l = log();
    ASSERT_EQ(l.size(), 6u);
    // Line breaks of the answer are escaped: one log line, not three.
    EXPECT_EQ(l[2], " VPS Request completed. {\"floor\":2,\"note\":\"a \\\"b\\\" \\\\ c\"}\\nsecond line\\r\\n");
    // The detection service reads the answer first; text that is not JSON
    // passes unchanged.
    EXPECT_EQ(l[3].rfind("[YOLO] JSON parse error: ", 0), 0u);
    EXPECT_EQ(l[4], "📡 Sending to JS: " + sent[0]);
    EXPECT_EQ(l[5], "✅ Message sent to JS successfully.");

    // Only the controller's retain is left besides ours; every lock undone.
    EXPECT_EQ(frame->retainCount(), 2);
    EXPECT_TRUE(frame->lockStats().balanced());
    EXPECT_EQ(frame->lockStats().readOnlyLocks, 1);
}

// The intrinsics describe the image actually sent: exchanged as today for
// portrait, the sensor's own values held landscape left, the principal point
// turned with the half turn held landscape right; and the turn the image got
// decides, not the device's orientation when the request is built.
TEST_F(VPSCapture, IntrinsicsMatchTheImageSentInEveryOrientation) {
    // Sensor K of a 64 x 48 frame: fx 60.5, fy 61.25, cx 30.5, cy 25.25,
    // stored with the axes exchanged.
    controller->cameraFx = 61.25f;
    controller->cameraFy = 60.5f;
    controller->cameraCx = 25.25f;
    controller->cameraCy = 30.5f;
    controller->processFrame(cameraFrame(64, 48));
    struct Case {
        long orientation;
        std::pair<int, int> jpeg;
        nlohmann::json intrinsics;
    };
    const std::vector<Case> cases = {
        {UIDeviceOrientationPortrait,
         {540, 720},
         {{"width", 48}, {"height", 64}, {"fx", 61.25}, {"fy", 60.5}, {"cx", 25.25}, {"cy", 30.5}}},
        {UIDeviceOrientationLandscapeLeft,
         {540, 405},
         {{"width", 64}, {"height", 48}, {"fx", 60.5}, {"fy", 61.25}, {"cx", 30.5}, {"cy", 25.25}}},
        {UIDeviceOrientationLandscapeRight,
         {540, 405},
         {{"width", 64}, {"height", 48}, {"fx", 60.5}, {"fy", 61.25}, {"cx", 33.5}, {"cy", 22.75}}},
    };
    for (const Case& c : cases) {
        fake->device->setOrientation(c.orientation);
        const size_t before = fake->http->requests().size();
        post("TevraAR", "https://vps.example/api|{\"intrinsics\":{\"w\":0}}|" + std::to_string(c.orientation));
        drain();
        ASSERT_EQ(fake->http->requests().size(), before + 1) << c.orientation;
        Multipart parts = split(fake->http->requests().back().body);
        const std::pair<int, int> sent = jpegSize(parts.jpeg);
        EXPECT_EQ(sent, c.jpeg) << c.orientation;
        nlohmann::json k = nlohmann::json::parse(parts.json)["intrinsics"];
        EXPECT_EQ(k, c.intrinsics) << c.orientation;
        // Same shape as the JPEG, principal point inside it.
        EXPECT_EQ(k["width"].get<int>() * sent.second, k["height"].get<int>() * sent.first) << c.orientation;
        EXPECT_LT(k["cx"].get<double>(), k["width"].get<double>());
        EXPECT_LT(k["cy"].get<double>(), k["height"].get<double>());
    }
    // The text keeps its four decimals.
    const std::string text =
        R"("intrinsics":{"width":64,"height":48,"fx":60.5000,"fy":61.2500,"cx":33.5000,"cy":22.7500})";
    EXPECT_NE(split(fake->http->requests().back().body).json.find(text), std::string::npos);

    // Turned while held landscape right, sent after the phone went portrait.
    fake->device->setOrientation(UIDeviceOrientationLandscapeRight);
    std::shared_ptr<Image> image;
    controller->imageFromPixelBuffer(controller->retainedLastCapturedFrame(),
                                     [&](std::shared_ptr<Image> i) { image = std::move(i); });
    fake->dispatch->globalQueue().drain();
    fake->device->setOrientation(UIDeviceOrientationPortrait);
    drain();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->deviceOrientation(), UIDeviceOrientationLandscapeRight);
    controller->sendVpsRequestWithImage(image, R"({"intrinsics":{"w":0}})", "https://vps.example/api", "NoToken",
                                        nullptr);
    drain();
    ASSERT_EQ(fake->http->requests().size(), cases.size() + 1);
    EXPECT_EQ(nlohmann::json::parse(split(fake->http->requests().back().body).json)["intrinsics"], cases[2].intrinsics);
}

TEST_F(VPSCapture, NothingHappensWithoutAFrameOrWithTooFewFields) {
    post("TevraAR", "https://vps.example/api|{}|req-1");
    drain();
    controller->processFrame(cameraFrame(8, 8));
    post("TevraAR", "https://vps.example/api|{}");
    post("TevraAR", "");
    drain();
    EXPECT_TRUE(log().empty());
    EXPECT_TRUE(fake->http->requests().empty());
    EXPECT_TRUE(replies().empty());
}

TEST_F(VPSCapture, FramesThatCannotBeConvertedAreReportedAndReleased) {
    auto gray = cameraFrame(8, 8, kCVPixelFormatType_OneComponent8);
    controller->processFrame(gray);
    post("TevraAR", "https://vps.example/api|{}|a");
    drain();
    EXPECT_EQ(log(), (std::vector<std::string>{"❌ CIImage has an empty extent!",
                                               "❌ Failed to convert pixel buffer to image!"}));
    EXPECT_EQ(gray->retainCount(), 2);
    EXPECT_TRUE(gray->lockStats().balanced());

    fake->log->clear();
    auto gone = cameraFrame(8, 8);
    gone->setBaseAddressUnavailableForTesting(true);
    controller->processFrame(gone);
    post("TevraAR", "https://vps.example/api|{}|b");
    drain();
    EXPECT_EQ(log(), (std::vector<std::string>{"❌ Failed to create CGImage from CIImage!",
                                               "❌ Failed to convert pixel buffer to image!"}));
    EXPECT_EQ(gone->retainCount(), 2);
    EXPECT_TRUE(gone->lockStats().balanced());
    EXPECT_TRUE(fake->http->requests().empty());
}

TEST_F(VPSCapture, MissingContextIsMadeOnceAndKept) {
    EXPECT_TRUE(controller->ciContext());  // made at set-up on the GPU device
    controller->setCiContext(nullptr);
    // Only frames that are not "420f" are rendered to RGB for the request.
    controller->processFrame(cameraFrame(8, 8, kCVPixelFormatType_32BGRA));
    post("TevraAR", "https://vps.example/api|{}|a");
    post("TevraAR", "https://vps.example/api|{}|b");
    drain();
    EXPECT_EQ(countLog(" CIContext is missing, falling back to CPU rendering!"), 1u);
    EXPECT_TRUE(controller->ciContext());
    EXPECT_EQ(fake->http->requests().size(), 2u);
}

TEST_F(VPSCapture, OnlyWebServerURLsAreUsed) {
    controller->processFrame(cameraFrame(8, 8));
    for (std::string server : {"not a url", "file:///etc/passwd", "ftp://vps.example/", ""}) {
        fake->log->clear();
        post("TevraAR", server + "|{}|a");
        drain();
        EXPECT_EQ(log(), (std::vector<std::string>{" Invalid URL: " + server}));
    }
    // A page's line break stays inside the one line.
    fake->log->clear();
    post("TevraAR", "x\n[forged] line|{}|a");
    drain();
    EXPECT_EQ(log(), (std::vector<std::string>{" Invalid URL: x\\n[forged] line"}));
    EXPECT_TRUE(fake->http->requests().empty());
}

TEST_F(VPSCapture, FailedRequestsAndUnusableAnswersLeaveThePageAlone) {
    controller->processFrame(cameraFrame(8, 8));
    post("TevraAR", "https://vps.example/api|{}|a");
    post("TevraAR", "https://vps.example/api|{}|b");
    post("TevraAR", "https://vps.example/api|{}|c");
    drain();
    ASSERT_EQ(fake->http->pendingCount(), 3u);
    fake->log->clear();
    ASSERT_TRUE(fake->http->fail(0, "The network connection was lost."));
    ASSERT_TRUE(fake->http->respond(0, 200, std::string("ok\xff", 3)));
    drain();
    EXPECT_EQ(log(),
              (std::vector<std::string>{" Request failed: The network connection was lost.",
                                        "VPS answer is not valid UTF-8 text (3 bytes); nothing is sent to the page"}));
    EXPECT_TRUE(replies().empty());
    // A server error is an answer like any other.
    page().failScriptsWithPrefix("window.UnityBridge", "boom");
    ASSERT_TRUE(fake->http->respond(0, 500, "Internal Server Error"));
    drain();
    ASSERT_EQ(replies().size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(*receiveMessageArgument(replies()[0]))["data"], "Internal Server Error");
    EXPECT_EQ(log().back(), "❌ Error sending message to JS: A JavaScript exception occurred: boom");
}

TEST_F(VPSCapture, FittingFollowsTheTargetSizeAndTheDeviceHeldFlat) {
    controller->targetSize = {100, 100};
    fake->device->setOrientation(UIDeviceOrientationFaceUp);
    controller->processFrame(cameraFrame(64, 48));
    post("TevraAR", "https://vps.example/api|{\"intrinsics\":{\"w\":0}}|a");
    drain();
    ASSERT_EQ(fake->http->requests().size(), 1u);
    Multipart parts = split(fake->http->requests()[0].body);
    // Lying flat: a 48 x 64 canvas, fitted into 100 x 100 -> 75 x 100.
    EXPECT_EQ(jpegSize(parts.jpeg), (std::pair<int, int>{75, 100}));
    EXPECT_NE(parts.json.find("\"width\":48,\"height\":64"), std::string::npos) << parts.json;
}

TEST_F(VPSCapture, ImageConversionEdges) {
    drain();
    bool called = false;
    controller->imageFromPixelBuffer(nullptr, [&](std::shared_ptr<Image> image) {
        called = true;
        EXPECT_FALSE(image);
    });
    EXPECT_TRUE(called);  // at once, on this thread
    auto frame = cameraFrame(8, 8);
    controller->imageFromPixelBuffer(frame, nullptr);
    EXPECT_EQ(frame->retainCount(), 1);
    EXPECT_EQ(fake->dispatch->globalQueue().pending(), 0u);

    std::shared_ptr<Image> got;
    controller->imageFromPixelBuffer(frame, [&](std::shared_ptr<Image> image) { got = image; });
    EXPECT_EQ(fake->dispatch->mainQueue().pending(), 0u);
    fake->dispatch->globalQueue().drain();
    EXPECT_FALSE(got);  // the completion waits for the main queue
    fake->dispatch->mainQueue().drain();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), (Size{8, 8}));
    EXPECT_EQ(got->scale(), 1.0);
    EXPECT_EQ(got->bitmap()->rgba(3, 3), 0x808080ffu);  // Y' 128 with neutral chroma is mid grey
    EXPECT_EQ(frame->retainCount(), 1);
}

TEST_F(VPSCapture, RawBytesOfABuffer) {
    PixelBufferRef b = PixelBuffer::createWithPlanes(4, 2, kCVPixelFormatType_32BGRA, {{4, 2, 32, 4}});
    for (size_t i = 0; i < 64; ++i) b->baseAddress()[i] = static_cast<uint8_t>(i);
    auto data = controller->pixelBufferToNSData(b);
    ASSERT_TRUE(data);
    ASSERT_EQ(data->size(), 64u);
    EXPECT_EQ((*data)[63], 63);
    EXPECT_FALSE(controller->pixelBufferToNSData(nullptr));
    b->setBaseAddressUnavailableForTesting(true);
    EXPECT_FALSE(controller->pixelBufferToNSData(b));
    EXPECT_TRUE(b->lockStats().balanced());
    EXPECT_EQ(b->lockStats().readOnlyLocks, 2);
}

TEST_F(VPSCapture, IdleTimer) {
    controller->startTimer();
    controller->startTimer();
    EXPECT_EQ(fake->dispatch->timerCount(), 1u);
    fake->dispatch->fireTimers();
    controller->stopTimer();
    EXPECT_EQ(fake->dispatch->timerCount(), 0u);
    EXPECT_FALSE(controller->timer);
    controller->stopTimer();
}

}  // namespace
}  // namespace tevra::test
