// The VPS client end to end over real HTTP: the controller on the fake
// platform (worker threads for the background queue) with the libcurl client,
// talking to a loopback server started by the test.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <thread>

#include "base/FrameworkResources.h"
#include "bridge/ViewControllerSDK.h"
#include "capture/JsStringLiteral.h"
#include "capture/VPSRequest.h"
#include "linux/support/LoopbackServer.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/CurlHttpClient.h"
#include "TevraARWebGL/Globals.h"

using tevra::testing::LoopbackRequest;
using tevra::testing::LoopbackResponse;
using tevra::testing::LoopbackServer;

namespace tevra {
namespace {

const std::string kBoundary = kVPSBoundary;

class VPSClient : public ::testing::Test {
protected:
    void SetUp() override {
        fake = fake::FakePlatform::install(fake::FakeDispatch::GlobalMode::Threads);
        curl = std::make_shared<linux_platform::CurlHttpClient>();
        fake->platform->http = curl;
        setFrameworkResourcesDirectory(TEVRA_SOURCE_RESOURCES);
        cameraFrameJpegCompressionFactor = 0.9f;
        targetFrameWidth = 540;
        targetFrameHeight = 960;
        hostView = std::make_shared<View>(Rect{0, 0, 390, 844});
        hostWebView = fake->views->makeHostWebView({0, 0, 390, 844});
        controller = ViewControllerSDK::initWithView(hostView, hostWebView);
        fake->device->setOrientation(UIDeviceOrientationPortrait);
        controller->cameraFx = 1490.5f;
        controller->cameraFy = 1500.25f;
        controller->cameraCx = 720.5f;
        controller->cameraCy = 960.125f;
        // A 1920 x 1440 camera frame with a horizontal luma ramp.
        frame = PixelBuffer::create(1920, 1440, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
        for (size_t y = 0; y < 1440; ++y)
            for (size_t x = 0; x < 1920; ++x)
                frame->baseAddressOfPlane(0)[y * frame->bytesPerRowOfPlane(0) + x] = uint8_t(x / 8);
        std::fill(frame->baseAddressOfPlane(1), frame->baseAddressOfPlane(1) + frame->bytesPerRowOfPlane(1) * 720, 128);
        controller->processFrame(frame);
        fake->log->clear();
    }
    void TearDown() override {
        controller.reset();
        fake->dispatch->drainAll();
        curl.reset();  // waits for transfers in flight
        fake->dispatch->drainAll();
    }
    // Runs the main queue until `done` holds, at most `seconds`.
    template <typename Pred>
    bool runUntil(Pred done, double seconds = 10) {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            fake->dispatch->mainQueue().drain();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        fake->dispatch->mainQueue().drain();
        return done();
    }
    fake::FakeWebView& page() { return *fake->views->lastWebView(); }
    std::vector<std::string> replies() {
        std::vector<std::string> out;
        for (auto& s : page().evaluatedScripts())
            if (s.rfind("window.UnityBridge.receiveMessage(", 0) == 0) out.push_back(s);
        return out;
    }
    nlohmann::json reply(size_t i) {
        auto r = replies();
        if (i >= r.size()) return nullptr;
        auto arg = test::receiveMessageArgument(r[i]);
        return arg ? nlohmann::json::parse(*arg, nullptr, false) : nlohmann::json();
    }
    bool logged(const std::string& prefix) {
        for (auto& l : fake->log->systemLines())
            if (l.rfind(prefix, 0) == 0) return true;
        return false;
    }
    void send(const std::string& body) { ASSERT_TRUE(page().postMessage("TevraAR", body)); }

    std::shared_ptr<fake::FakePlatform> fake;
    std::shared_ptr<linux_platform::CurlHttpClient> curl;
    std::shared_ptr<View> hostView;
    std::shared_ptr<fake::FakeWebView> hostWebView;
    std::shared_ptr<ViewControllerSDK> controller;
    PixelBufferRef frame;
};

LoopbackResponse answer(int status, std::string body) {
    LoopbackResponse r;
    r.status = status;
    r.body = std::move(body);
    r.headers = {{"Content-Type", "application/json"}};
    return r;
}

TEST_F(VPSClient, TheWholeRequestOnTheWire) {
    LoopbackServer server([](const LoopbackRequest&) { return answer(200, "{\"position\":[1,2,3]}"); });
    ASSERT_TRUE(server.listening());
    const std::string meta = R"({"a":1,"intrinsics":{"w":0},"b":"x"})";
    send(server.url("/vps/locate") + "|" + meta + "|req-1|secret-token");
    ASSERT_TRUE(runUntil([&] { return !replies().empty(); }));
    ASSERT_EQ(server.requests().size(), 1u);
    const LoopbackRequest r = server.requests()[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/vps/locate");
    EXPECT_EQ(r.header("Content-Type"), "multipart/form-data; boundary=" + kBoundary);
    EXPECT_EQ(r.header("Authorization"), "Bearer secret-token");
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));

    // From the first byte to the last: image part, then json part.
    const std::string head = "--" + kBoundary +
                             "\r\nContent-Disposition: form-data; name=\"image\"; filename=\"image.jpg\"\r\n"
                             "Content-Type: image/jpeg\r\n\r\n";
    const std::string json =
        R"({"a":1,"intrinsics":{"width":1440,"height":1920,"fx":1490.5000,"fy":1500.2500,"cx":720.5000,"cy":960.1250},"b":"x"})";
    const std::string tail = "\r\n--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"json\"\r\n\r\n" + json +
                             "\r\n--" + kBoundary + "--\r\n";
    ASSERT_GT(r.body.size(), head.size() + tail.size());
    EXPECT_EQ(r.body.substr(0, head.size()), head);
    EXPECT_EQ(r.body.substr(r.body.size() - tail.size()), tail);
    const std::string jpeg = r.body.substr(head.size(), r.body.size() - head.size() - tail.size());
    EXPECT_EQ(jpeg.substr(0, 2), "\xff\xd8");
    EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xff\xd9");
    cv::Mat decoded = cv::imdecode(std::vector<uint8_t>(jpeg.begin(), jpeg.end()), cv::IMREAD_COLOR);
    EXPECT_EQ(decoded.cols, 540);
    EXPECT_EQ(decoded.rows, 720);
    // The luma ramp ran left to right in the landscape frame; held portrait
    // it runs top to bottom.
    ASSERT_FALSE(decoded.empty());
    EXPECT_LT(decoded.at<cv::Vec3b>(20, 270)[1], decoded.at<cv::Vec3b>(700, 270)[1]);
    EXPECT_NEAR(decoded.at<cv::Vec3b>(360, 20)[1], decoded.at<cv::Vec3b>(360, 520)[1], 3);

    EXPECT_EQ(reply(0), (nlohmann::json{{"id", "req-1"}, {"data", "{\"position\":[1,2,3]}"}}));
    EXPECT_TRUE(runUntil([&] { return logged("✅ Message sent to JS successfully."); }));
    EXPECT_TRUE(frame->lockStats().balanced());
}

TEST_F(VPSClient, AuthorizationOnlyForARealTokenAndIntrinsicsRewrites) {
    LoopbackServer server([](const LoopbackRequest&) { return answer(200, "ok"); });
    const std::string url = server.url("/v");
    struct Case {
        std::string tokenPart, meta, expectedJson, authorization;
    };
    const std::string I =
        R"("intrinsics":{"width":1440,"height":1920,"fx":1490.5000,"fy":1500.2500,"cx":720.5000,"cy":960.1250})";
    std::vector<Case> cases = {
        {"", R"({"intrinsics":{},"k":1})", R"({"intrinsics":{},"k":1})", ""},
        {"|", R"({"intrinsics": {"a":1}})", R"({"intrinsics": {"a":1}})", ""},
        {"|NoToken", R"([{"intrinsics":{"a":1}},{"intrinsics":{"b":2}}])", "[{" + I + "},{" + I + "}]", ""},
        {"|t0k", R"({"intrinsics":{"n":{"x":1},"m":2}})", "{" + I + R"(,"m":2}})", "Bearer t0k"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        send(url + "|" + cases[i].meta + "|id" + std::to_string(i) + cases[i].tokenPart);
        ASSERT_TRUE(runUntil([&] { return replies().size() == i + 1; })) << i;
        auto requests = server.requests();
        ASSERT_EQ(requests.size(), i + 1);
        const LoopbackRequest& r = requests.back();
        EXPECT_EQ(r.hasHeader("Authorization"), !cases[i].authorization.empty()) << i;
        EXPECT_EQ(r.header("Authorization"), cases[i].authorization) << i;
        const std::string tail = "\r\n--" + kBoundary + "--\r\n";
        size_t jsonStart = r.body.rfind("name=\"json\"\r\n\r\n");
        ASSERT_NE(jsonStart, std::string::npos);
        jsonStart += 15;
        EXPECT_EQ(r.body.substr(jsonStart, r.body.size() - tail.size() - jsonStart), cases[i].expectedJson) << i;
    }
}

TEST_F(VPSClient, ErrorStatusIsForwardedAndTransportErrorsAreNot) {
    LoopbackServer server([](const LoopbackRequest&) { return answer(500, "{\"error\":\"server exploded\"}"); });
    send(server.url("/v") + "|{}|e1");
    ASSERT_TRUE(runUntil([&] { return replies().size() == 1; }));
    EXPECT_EQ(reply(0)["data"], "{\"error\":\"server exploded\"}");

    send("http://127.0.0.1:" + std::to_string(LoopbackServer::closedPort()) + "/v|{}|e2");
    ASSERT_TRUE(runUntil([&] { return logged(" Request failed: "); }));
    fake->dispatch->drainAll();
    EXPECT_EQ(replies().size(), 1u);
}

TEST_F(VPSClient, AnswerWithQuotesBackslashesAndLineBreaksArrivesIntact) {
    const std::string text = "{\"msg\":\"say \\\"hi\\\"\",\"path\":\"C:\\\\dir\\\\\"}\nline two\r\n\ttab \u2028 end\\";
    LoopbackServer server([&](const LoopbackRequest&) { return answer(200, text); });
    send(server.url("/v") + "|{}|quoted");
    ASSERT_TRUE(runUntil([&] { return replies().size() == 1; }));
    EXPECT_EQ(reply(0), (nlohmann::json{{"id", "quoted"}, {"data", text}}));
}

TEST_F(VPSClient, AnswerThatIsNotUtf8ReachesNobody) {
    LoopbackServer server([](const LoopbackRequest&) { return answer(200, std::string("\xc3\x28 bad", 6)); });
    send(server.url("/v") + "|{}|bin");
    ASSERT_TRUE(runUntil([&] { return logged("VPS answer is not valid UTF-8 text"); }));
    EXPECT_TRUE(replies().empty());
}

TEST_F(VPSClient, RequestsInFlightReplyInCompletionOrder) {
    LoopbackServer server([](const LoopbackRequest& r) {
        LoopbackResponse a = answer(200, "");
        for (auto [id, delay] : {std::pair{"slow", 0.6}, std::pair{"mid", 0.3}, std::pair{"fast", 0.0}})
            if (r.body.find(std::string("\"req\":\"") + id + "\"") != std::string::npos) {
                a.body = std::string("answer-") + id;
                a.delaySeconds = delay;
            }
        return a;
    });
    for (const char* id : {"slow", "mid", "fast"}) send(server.url("/v") + "|{\"req\":\"" + id + "\"}|" + id);
    ASSERT_TRUE(runUntil([&] { return replies().size() == 3; }, 15));
    std::vector<std::string> order;
    for (size_t i = 0; i < 3; ++i) {
        auto r = reply(i);
        EXPECT_EQ(r["data"], "answer-" + r["id"].get<std::string>());
        order.push_back(r["id"]);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"fast", "mid", "slow"}));
}

}  // namespace
}  // namespace tevra
