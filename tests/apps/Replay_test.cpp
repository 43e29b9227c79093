#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

struct ReplayRun {
    int status = -1;
    std::vector<std::string> lines;
    bool has(const std::string& l) const {
        for (auto& x : lines)
            if (x == l) return true;
        return false;
    }
    size_t indexOf(const std::string& prefix) const {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].rfind(prefix, 0) == 0) return i;
        return std::string::npos;
    }
};

ReplayRun replay(const std::string& script) {
    ReplayRun r;
    std::string cmd = std::string("timeout 60 ") + TEVRA_REPLAY_BINARY + " " + script + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    std::array<char, 8192> buf{};
    std::string acc;
    while (fgets(buf.data(), buf.size(), p)) acc += buf.data();
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    size_t start = 0;
    while (start < acc.size()) {
        size_t nl = acc.find('\n', start);
        r.lines.push_back(acc.substr(start, nl - start));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return r;
}

}  // namespace

TEST(Replay, ExampleSessionExercisesEveryChannel) {
    ReplayRun r = replay(std::string(TEVRA_SOURCE_DIR) + "/examples/replay/every-channel.jsonl");
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(r.has("LOAD file://RESOURCES/demo/index.html"));
    EXPECT_TRUE(r.has("HOST idleTimerDisabledDidChange true"));
    EXPECT_TRUE(r.has("LOG Invalid compression factor: 1.50 (must be 0.0-1.0)"));
    EXPECT_TRUE(r.has("SESSION addAnchor 00000000-0000-4000-8000-000000000001 at (0.500, 0.000, -1.000)"));
    EXPECT_TRUE(r.has("LOG hello:world"));
    EXPECT_TRUE(r.has("LOG WARNING: Unknown message received: 'foo'"));
    EXPECT_TRUE(r.has("LOAD http://example.org/ar"));
    EXPECT_TRUE(r.has("LOG ✅ AR session paused"));
    // The VPS request with its headers, and the answer back in the page.
    EXPECT_NE(r.indexOf("HTTP POST https://vps.example/api [Authorization: Bearer token] [Content-Type: "
                        "multipart/form-data; boundary=----WebKitFormBoundary7MA4YWxkTrZu0gW] body="),
              std::string::npos);
    // Held landscape left the image goes unturned, with the sensor's own
    // principal point.
    EXPECT_TRUE(r.has("    {\"intrinsics\":{\"width\":64,\"height\":48,\"fx\":1500.0000,\"fy\":1500.0000,"
                      "\"cx\":960.0000,\"cy\":720.0000}}"));
    EXPECT_LT(r.indexOf("HTTP answer 200 to https://vps.example/api"),
              r.indexOf("JS window.UnityBridge.receiveMessage(\"{\\\"data\\\":"));
    EXPECT_NE(r.indexOf("JS window.UnityBridge.receiveMessage("), std::string::npos);
    EXPECT_TRUE(r.has("LOG  Request failed: The request timed out."));
    // The window size goes before the frame call it travels with.
    size_t size = r.indexOf("JS if(window.ZephralSetWindowSize)");
    ASSERT_NE(size, std::string::npos);
    EXPECT_EQ(r.lines[size + 1].rfind("JS if(window.handleARFrame)", 0), 0u);
    // The tap anchor shows up in the later update, without a page id.
    size_t update = r.indexOf("JS if (window.ZephralDispatchARDisplayEvent) window.ZephralDispatchARDisplayEvent({\"type\":\"anchorsupdated\"");
    ASSERT_NE(update, std::string::npos);
    EXPECT_NE(r.lines[update].find("\"identifier\":7}"), std::string::npos);
    EXPECT_NE(r.lines[update].find("\"identifier\":(null)}"), std::string::npos);
    // Deterministic: a second run prints the same transcript.
    ReplayRun again = replay(std::string(TEVRA_SOURCE_DIR) + "/examples/replay/every-channel.jsonl");
    EXPECT_EQ(again.lines, r.lines);
}

TEST(Replay, MalformedStepsAreReportedAndTheRestRuns) {
    std::string path = testing::TempDir() + "/bad.jsonl";
    std::ofstream(path) << "not json\n"
                        << "{\"do\":\"frobnicate\"}\n"
                        << "{\"do\":\"tick\",\"time\":\"soon\"}\n"
                        << "{\"do\":\"host\",\"call\":\"pause\"}\n";
    ReplayRun r = replay(path);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.has("ERROR line 1: not a JSON object"));
    EXPECT_TRUE(r.has("ERROR line 2: unknown step \"frobnicate\""));
    EXPECT_TRUE(r.has("ERROR line 3: \"time\" must be a number"));
    EXPECT_TRUE(r.has("LOG ✅ AR session paused"));
}

TEST(Replay, MalformedDetectionStepsAreReported) {
    std::string path = testing::TempDir() + "/bad-detection.jsonl";
    std::ofstream(path) << "{\"do\":\"create\",\"models\":\"magic\"}\n"
                        << "{\"do\":\"frame\",\"image\":{\"width\":8,\"height\":8,\"rects\":[{\"x\":0,\"y\":0,"
                           "\"w\":2,\"h\":2,\"rgb\":[2,0,0]}]}}\n"
                        << "{\"do\":\"frame\",\"image\":{\"width\":0,\"height\":8}}\n"
                        << "{\"do\":\"frame\",\"count\":1e300}\n"
                        << "{\"do\":\"http\",\"op\":\"respond\",\"file\":\"no-such-archive.zip\"}\n"
                        << "{\"do\":\"host\",\"call\":\"pause\"}\n";
    ReplayRun r = replay(path);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.has("ERROR line 1: \"models\" must be \"fake\" or \"real\""));
    EXPECT_TRUE(r.has("ERROR line 2: \"rgb\" must be 3 numbers from 0 to 1"));
    EXPECT_TRUE(r.has("ERROR line 3: \"width\" must be a whole number from 1 to 8192"));
    EXPECT_TRUE(r.has("ERROR line 4: \"count\" must be a whole number from 1 to 10000"));
    EXPECT_TRUE(r.has("ERROR line 5: cannot read no-such-archive.zip"));
    EXPECT_TRUE(r.has("LOG ✅ AR session paused"));
}

// Real archives and the real model runtime under the fake clock, queues and
// scripted HTTP: both downloads are unpacked, compiled and loaded, the
// eleventh eligible frame reads the sign's floor, and the next VPS answer
// naming "floor_by_yolo" reaches the page carrying it.
TEST(Replay, DetectionPathReadsTheFloorForTheNextVPSAnswer) {
#if !TEVRA_REPLAY_REAL_MODELS
    GTEST_SKIP() << "tevra-replay was built without the Linux platform";
#else
    const std::string script = std::string(TEVRA_SOURCE_DIR) + "/examples/replay/detection-path.jsonl";
    ReplayRun r = replay(script);
    ASSERT_EQ(r.status, 0) << testing::PrintToString(r.lines);
    const std::vector<std::string> inOrder = {
        "HTTP DOWNLOAD http://127.0.0.1:8765/models/sign.zip",
        "HTTP DOWNLOAD http://127.0.0.1:8765/models/digit.zip",
        "OUT Model ready: replay_sign",
        "OUT Model loaded: replay_sign size (128, 128)",
        "OUT [Thread:<Thread>{name = tevra-replay}] finish: replay_sign success: true, calling 1 completions",
        "OUT Model loaded: replay_digit size (64, 32)",
        "LOG [YOLO] All models ready",
        "LOG [YOLO] Detection started",
        "LOG Detected floor = 3",
        "LOG [YOLO] Detection stopped",
        "LOG [YOLO] detectedFloor updated = 3",
        "LOG [YOLO] Override detected_floor = 3",
    };
    size_t at = 0;
    for (const std::string& line : inOrder) {
        size_t found = std::find(r.lines.begin() + static_cast<long>(at), r.lines.end(), line) - r.lines.begin();
        ASSERT_LT(found, r.lines.size()) << "missing or out of order: " << line << "\n" << testing::PrintToString(r.lines);
        at = found + 1;
    }
    // The eleventh frame is the only one that runs the models.
    EXPECT_EQ(std::count_if(r.lines.begin(), r.lines.end(),
                            [](const std::string& l) { return l.rfind("LOG Detected floor", 0) == 0; }),
              1);
    size_t reply = r.indexOf("JS window.UnityBridge.receiveMessage(");
    ASSERT_NE(reply, std::string::npos);
    EXPECT_NE(r.lines[reply].find(R"(\\\"detected_floor\\\":3,)"), std::string::npos) << r.lines[reply];
    EXPECT_NE(r.lines[reply].find(R"(\\\"id\\\":\\\"vps-1\\\"}\",\"id\":\"req-1\")"), std::string::npos) << r.lines[reply];
    // Nothing in the transcript depends on the machine or the run.
    for (const std::string& l : r.lines) EXPECT_EQ(l.find("/tmp/"), std::string::npos) << l;
    EXPECT_EQ(replay(script).lines, r.lines);
#endif
}

TEST(Replay, RecordedSessionDrivesFramesPlanesAndTheFirstLoad) {
    ReplayRun r = replay(std::string(TEVRA_SOURCE_DIR) + "/examples/replay/recorded-session.jsonl");
    ASSERT_EQ(r.status, 0);
    size_t tracking = r.indexOf("LOG AR camera tracking state = Limited");
    size_t load = r.indexOf("LOAD file://RESOURCES/demo/index.html");
    size_t firstFrame = r.indexOf("JS if(window.handleARFrame)");
    size_t planes = r.indexOf("JS if (window.ZephralDispatchARDisplayEvent) window.ZephralDispatchARDisplayEvent({\"type\":\"planesadded\"");
    ASSERT_NE(tracking, std::string::npos);
    ASSERT_NE(load, std::string::npos);
    ASSERT_NE(firstFrame, std::string::npos);
    ASSERT_NE(planes, std::string::npos);
    EXPECT_LT(tracking, load);
    EXPECT_LT(load, firstFrame);
    EXPECT_TRUE(r.has("LOG AR camera tracking state = Normal"));
    size_t frames = 0;
    for (auto& l : r.lines) frames += l.rfind("JS if(window.handleARFrame)", 0) == 0;
    EXPECT_EQ(frames, 19u);  // one per paced frame played
    EXPECT_NE(r.indexOf("JS if (window.ZephralDispatchARDisplayEvent) window.ZephralDispatchARDisplayEvent({\"type\":\"planesremoved\""),
              std::string::npos);
}
