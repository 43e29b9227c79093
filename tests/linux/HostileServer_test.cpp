// A server that misbehaves on purpose, against the VPS client (through the
// controller, as the page drives it) and the downloader (the libcurl
// client's downloadTask): endless bodies, a gzip bomb, a trickle, answers cut
// inside their headers or short of their Content-Length, NUL bytes.
//
// Each case is bounded in time (a few seconds; the low-speed window is 1 s
// here instead of 30) and in memory: the growth of the peak resident set
// while the case runs must stay under 128 MiB for a VPS answer (16 MiB cap,
// the string's doubling and the client's buffers) and under 32 MiB for a
// download (4 MiB cap, streamed to disk). Before the caps, the endless
// answer alone grew by 3 GB.
#include <gtest/gtest.h>
#include <curl/curl.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "base/FrameworkResources.h"
#include "bridge/ViewControllerSDK.h"
#include "capture/JsStringLiteral.h"
#include "linux/support/LoopbackServer.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/CurlHttpClient.h"
#include "TevraARWebGL/Globals.h"

using tevra::testing::gzipOfZeros;
using tevra::testing::LoopbackRequest;
using tevra::testing::LoopbackResponse;
using tevra::testing::LoopbackServer;
namespace fs = std::filesystem;

namespace tevra {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

uint64_t statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::strtoull(line.c_str() + std::strlen(field), nullptr, 10);
    return 0;
}

// Growth of the peak resident set from construction on. The kernel's peak
// is reset first (clear_refs 5), so earlier tests' peaks don't hide ours.
struct PeakMemory {
    uint64_t baseKiB;
    PeakMemory() {
        std::ofstream("/proc/self/clear_refs") << "5";
        baseKiB = statusKiB("VmRSS:");
    }
    uint64_t growthBytes() const {
        uint64_t peak = statusKiB("VmHWM:");
        return peak > baseKiB ? (peak - baseKiB) * 1024 : 0;
    }
};

constexpr uint64_t kMiB = 1024 * 1024;

// ---- Misbehaving answers, shared by both groups ----

LoopbackResponse endless() {
    LoopbackResponse r;
    r.endless = true;
    return r;
}

LoopbackResponse gzipBomb(uint64_t zeros) {
    LoopbackResponse r;
    r.headers = {{"Content-Encoding", "gzip"}, {"Content-Type", "application/json"}};
    r.body = gzipOfZeros(zeros);
    return r;
}

// 16 bytes every 100 ms: 160 bytes/s, far under 1024.
LoopbackResponse trickle() {
    LoopbackResponse r;
    r.endless = true;
    r.body = std::string(64, 't');
    r.trickleBytes = 16;
    r.trickleIntervalSeconds = 0.1;
    r.endlessSeconds = 10;
    return r;
}

LoopbackResponse raw(std::string bytes) {
    LoopbackResponse r;
    r.raw = std::move(bytes);
    return r;
}

const std::string kCutHeaders = "HTTP/1.1 200 OK\r\nContent-Type: applica";
const std::string kShortBody = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n{\"position\":";

// ---- The VPS client ----

class HostileVPSServer : public ::testing::Test {
protected:
    void SetUp() override {
        fake = fake::FakePlatform::install(fake::FakeDispatch::GlobalMode::Threads);
        Limits limits;  // the default caps, a 1 s low-speed window
        limits.lowSpeedWindowSeconds = 1;
        limits.idleTimeoutSeconds = 5;
        fake->platform->limits = limits;
        curl = std::make_shared<linux_platform::CurlHttpClient>(limits);
        fake->platform->http = curl;
        setFrameworkResourcesDirectory(TEVRA_SOURCE_RESOURCES);
        targetFrameWidth = 540;
        targetFrameHeight = 960;
        hostView = std::make_shared<View>(Rect{0, 0, 390, 844});
        controller = ViewControllerSDK::initWithView(hostView, fake->views->makeHostWebView({0, 0, 390, 844}));
        fake->device->setOrientation(UIDeviceOrientationPortrait);
        auto frame = PixelBuffer::create(640, 480, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
        controller->processFrame(frame);
        fake->log->clear();
    }
    void TearDown() override {
        controller.reset();
        fake->dispatch->drainAll();
        curl.reset();
        fake->dispatch->drainAll();
    }
    template <typename Pred>
    bool runUntil(Pred done, double seconds) {
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            fake->dispatch->mainQueue().drain();
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        fake->dispatch->mainQueue().drain();
        return done();
    }
    std::vector<std::string> replies() {
        std::vector<std::string> out;
        for (auto& s : fake->views->lastWebView()->evaluatedScripts())
            if (s.rfind("window.UnityBridge.receiveMessage(", 0) == 0) out.push_back(s);
        return out;
    }
    std::vector<std::string> linesStartingWith(const std::string& prefix) {
        std::vector<std::string> out;
        for (auto& l : fake->log->systemLines())
            if (l.rfind(prefix, 0) == 0) out.push_back(l);
        return out;
    }
    void send(const std::string& body) { ASSERT_TRUE(fake->views->lastWebView()->postMessage("TevraAR", body)); }

    std::shared_ptr<fake::FakePlatform> fake;
    std::shared_ptr<linux_platform::CurlHttpClient> curl;
    std::shared_ptr<View> hostView;
    std::shared_ptr<ViewControllerSDK> controller;
};

TEST_F(HostileVPSServer, EachMisbehavingAnswerFailsWithOneLineBoundedAndThePageHearsNothing) {
    struct Case {
        const char* name;
        LoopbackResponse response;
        std::string failure;
    };
    const std::vector<Case> cases = {
        {"endless", endless(), " Request failed: The answer is larger than 16777216 bytes"},
        // 256 MiB of zeros as 1.7 MB of gzip.
        {"gzip bomb", gzipBomb(256 * kMiB), " Request failed: The answer is larger than 16777216 bytes"},
        {"trickle", trickle(), " Request failed: The transfer was too slow: fewer than 1024 bytes/s over 1 s"},
        {"cut headers", raw(kCutHeaders), " Request failed: The response ended inside its headers"},
        {"short body", raw(kShortBody), " Request failed: The response was cut short: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake->log->clear();
        LoopbackServer server([&](const LoopbackRequest&) { return c.response; });
        ASSERT_TRUE(server.listening());
        PeakMemory memory;
        const auto start = Clock::now();
        send(server.url("/vps") + "|{}|" + c.name);
        ASSERT_TRUE(runUntil([&] { return !linesStartingWith(" Request failed: ").empty(); }, 8));
        EXPECT_LT(secondsSince(start), 5.0);
        EXPECT_LT(memory.growthBytes(), 128 * kMiB);
        fake->dispatch->drainAll();
        auto failures = linesStartingWith(" Request failed: ");
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].substr(0, c.failure.size()), c.failure);
        EXPECT_TRUE(replies().empty());
        EXPECT_TRUE(linesStartingWith(" VPS Request completed.").empty());
    }
}

TEST_F(HostileVPSServer, AnswerWithNulBytesReachesThePageWhole) {
    // Valid JSON up to the NUL, as the detection service reads answers.
    const std::string nul(1, '\0');
    const std::string text =
        "{\"data\":{\"attributes\":{\"floor_detector\":\"floor_by_yolo\"}}}" + nul + "{\"more\":\"after\"}" + nul;
    ASSERT_EQ(text.size(), 76u);
    LoopbackServer server([&](const LoopbackRequest&) {
        LoopbackResponse r;
        r.body = text;
        return r;
    });
    send(server.url("/vps") + "|{}|nul");
    ASSERT_TRUE(runUntil([&] { return !replies().empty(); }, 8));
    auto argument = test::receiveMessageArgument(replies()[0]);
    ASSERT_TRUE(argument);
    auto reply = nlohmann::json::parse(*argument, nullptr, false);
    ASSERT_TRUE(reply.is_object()) << *argument;
    EXPECT_EQ(reply["data"].get<std::string>(), text);
    // The log line shows the NUL escaped, not cut.
    auto completed = linesStartingWith(" VPS Request completed. ");
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_NE(completed[0].find("\\x00{\"more\":\"after\"}\\x00"), std::string::npos) << completed[0];
}

TEST_F(HostileVPSServer, LargeAnswerUnderTheCapArrivesWholeAndIsLoggedClipped) {
    // 4 MiB of JSON text: it reaches the page whole; the log lines carry at
    // most logTextMaxBytes of it.
    const std::string text = "{\"blob\":\"" + std::string(4 * kMiB, 'a') + "\"}";
    LoopbackServer server([&](const LoopbackRequest&) {
        LoopbackResponse r;
        r.body = text;
        return r;
    });
    send(server.url("/vps") + "|{}|big");
    ASSERT_TRUE(runUntil([&] { return !replies().empty(); }, 8));
    auto argument = test::receiveMessageArgument(replies()[0]);
    ASSERT_TRUE(argument);
    EXPECT_EQ(nlohmann::json::parse(*argument, nullptr, false)["data"].get<std::string>(), text);
    for (auto& line : fake->log->systemLines()) EXPECT_LT(line.size(), 8192u) << line.substr(0, 80);
}

// ---- The downloader ----

struct Download {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int calls = 0;
    std::optional<std::string> content;  // the file's bytes, read in the completion
    std::optional<Error> error;

    HttpClient::DownloadCompletion completion() {
        return [this](std::optional<std::string> file, std::optional<HttpResponse>, std::optional<Error> e) {
            std::optional<std::string> bytes;
            if (file) {
                std::ifstream in(*file, std::ios::binary);
                bytes = std::string(std::istreambuf_iterator<char>(in), {});
            }
            std::lock_guard<std::mutex> lock(mutex);
            content = std::move(bytes);
            error = std::move(e);
            ++calls;
            done = true;
            cv.notify_all();
        };
    }
    bool wait(double seconds) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return done; });
    }
};

class HostileDownloadServer : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TMPDIR");
        if (old) savedTmp = old;
        tmp = fs::temp_directory_path() / ("tevra-hostile-" + std::to_string(::getpid()));
        fs::remove_all(tmp);
        fs::create_directories(tmp);
        ::setenv("TMPDIR", tmp.c_str(), 1);
    }
    void TearDown() override {
        if (savedTmp)
            ::setenv("TMPDIR", savedTmp->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
        fs::remove_all(tmp);
    }
    static linux_platform::CurlHttpClient::Options options() {
        Limits limits;
        limits.downloadMaxBytes = 4 * kMiB;
        limits.lowSpeedWindowSeconds = 1;
        limits.idleTimeoutSeconds = 5;
        return linux_platform::CurlHttpClient::Options::fromLimits(limits);
    }
    bool tmpIsEmpty() const { return fs::is_empty(tmp); }

    fs::path tmp;
    std::optional<std::string> savedTmp;
};

TEST_F(HostileDownloadServer, EachMisbehavingAnswerFailsBoundedAndLeavesNoFile) {
    struct Case {
        const char* name;
        LoopbackResponse response;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"endless", endless(), "The download is larger than 4194304 bytes"},
        // 1 MB of gzip decoding to 128 MiB.
        {"gzip bomb", gzipBomb(128 * kMiB), "The download is larger than 4194304 bytes"},
        {"trickle", trickle(), "The transfer was too slow: fewer than 1024 bytes/s over 1 s"},
        {"cut headers", raw(kCutHeaders), "The response ended inside its headers"},
        {"short body", raw(kShortBody), "The response was cut short: "},
        {"nothing at all", raw(""), ""},
    };
    linux_platform::CurlHttpClient client(options());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackServer server([&](const LoopbackRequest&) { return c.response; });
        PeakMemory memory;
        const auto start = Clock::now();
        Download d;
        client.downloadTask(server.url("/model.zip"), d.completion());
        ASSERT_TRUE(d.wait(8));
        EXPECT_LT(secondsSince(start), 5.0);
        EXPECT_LT(memory.growthBytes(), 32 * kMiB);
        ASSERT_TRUE(d.error);
        EXPECT_EQ(d.error->localizedDescription.substr(0, c.error.size()), c.error);
        EXPECT_FALSE(d.content);
        EXPECT_TRUE(tmpIsEmpty());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(d.calls, 1);
    }
}

TEST_F(HostileDownloadServer, CapCountsDecodedBytesAndAnAnswerAtTheCapPasses) {
    linux_platform::CurlHttpClient client(options());
    // 1 MiB of zeros as about 7 KB of gzip: decoded and whole.
    {
        LoopbackServer server([](const LoopbackRequest&) { return gzipBomb(kMiB); });
        Download d;
        client.downloadTask(server.url("/z"), d.completion());
        ASSERT_TRUE(d.wait(8));
        ASSERT_FALSE(d.error) << d.error->localizedDescription;
        ASSERT_TRUE(d.content);
        EXPECT_EQ(*d.content, std::string(kMiB, '\0'));
    }
    // Exactly the cap passes; one byte more does not, for downloads and data
    // tasks with a cap of their own alike. The bytes include NULs.
    for (uint64_t size : {4 * kMiB, 4 * kMiB + 1}) {
        std::string body(size, '\0');
        body[1] = 'x';
        LoopbackServer server([&](const LoopbackRequest&) {
            LoopbackResponse r;
            r.body = body;
            return r;
        });
        Download d;
        client.downloadTask(server.url("/exact"), d.completion());
        ASSERT_TRUE(d.wait(8));
        EXPECT_EQ(bool(d.error), size > 4 * kMiB) << size;
        if (!d.error) {
            EXPECT_EQ(d.content, body);
        }

        std::mutex m;
        std::condition_variable cv;
        std::optional<std::optional<Error>> outcome;
        std::optional<std::string> got;
        HttpRequest request;
        request.url = server.url("/data");
        request.maxResponseBytes = 4 * kMiB;
        client.dataTask(request,
                        [&](std::optional<std::string> b, std::optional<HttpResponse>, std::optional<Error> e) {
                            std::lock_guard<std::mutex> lock(m);
                            got = std::move(b);
                            outcome = std::move(e);
                            cv.notify_all();
                        });
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(8), [&] { return outcome.has_value(); }));
        if (size > 4 * kMiB) {
            ASSERT_TRUE(*outcome);
            EXPECT_EQ((*outcome)->localizedDescription, "The answer is larger than 4194304 bytes");
            EXPECT_EQ((*outcome)->code, CURLE_FILESIZE_EXCEEDED);
        } else {
            EXPECT_FALSE(*outcome);
            EXPECT_EQ(got, body);
        }
    }
    EXPECT_TRUE(tmpIsEmpty());
}

}  // namespace
}  // namespace tevra
