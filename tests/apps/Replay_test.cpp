#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
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
    size_t indexOf(const std::string& prefix, size_t from = 0) const {
        for (size_t i = from; i < lines.size(); ++i)
            if (lines[i].rfind(prefix, 0) == 0) return i;
        return std::string::npos;
    }
    size_t count(const std::string& prefix) const {
        return static_cast<size_t>(
            std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
    }
};

// `environment`: "NAME=VALUE" settings for the run, or empty.
ReplayRun replay(const std::string& environment, const std::string& script) {
    ReplayRun r;
    // The real-model scripts take tens of seconds under AddressSanitizer on a
    // busy machine; the bound stays inside the test's own 120 s.
    std::string cmd =
        environment + (environment.empty() ? "" : " ") + "timeout 100 " + TEVRA_REPLAY_BINARY + " " + script + " 2>&1";
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

ReplayRun replay(const std::string& script) { return replay("", script); }

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
    EXPECT_TRUE(
        r.has("    {\"intrinsics\":{\"width\":64,\"height\":48,\"fx\":1500.0000,\"fy\":1500.0000,"
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
    size_t update = r.indexOf(
        "JS if (window.ZephralDispatchARDisplayEvent) "
        "window.ZephralDispatchARDisplayEvent({\"type\":\"anchorsupdated\"");
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
                        << "{\"do\":\"tick\",\"count\":1e9}\n"
                        << "{\"do\":\"http\",\"op\":\"respond\",\"index\":-1}\n"
                        << "{\"do\":\"host\",\"call\":\"pause\"}\n";
    ReplayRun r = replay(path);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.has("ERROR line 1: not a JSON object"));
    EXPECT_TRUE(r.has("ERROR line 2: unknown step \"frobnicate\""));
    EXPECT_TRUE(r.has("ERROR line 3: \"time\" must be a number"));
    // Counts and indexes are bounded before use: no billion ticks, no negative index.
    EXPECT_TRUE(r.has("ERROR line 4: \"count\" must be a whole number from 0 to 100000"));
    EXPECT_TRUE(r.has("ERROR line 5: \"index\" must be a whole number from 0 to 1000000"));
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

    std::ofstream(path)
        << "{\"do\":\"model\",\"name\":\"../escape\",\"answers\":[]}\n"
        << "{\"do\":\"model\",\"name\":\"m\",\"answers\":[{\"box\":[0,0,1],\"confidence\":1}]}\n"
        << "{\"do\":\"model\",\"name\":\"m\",\"answers\":[{\"box\":[0,0,1,1],\"confidence\":1,\"class\":-1}]}\n"
        << "{\"do\":\"model\",\"name\":\"m\",\"input\":[0,5],\"fails\":\"x\"}\n";
    r = replay(path);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.has("ERROR line 1: \"../escape\" is no usable model name"));
    EXPECT_TRUE(r.has("ERROR line 2: \"box\" must be 4 numbers: x, y, w, h"));
    EXPECT_TRUE(r.has("ERROR line 3: \"class\" must be a whole number from 0 to 100"));
    EXPECT_TRUE(r.has("ERROR line 4: \"input\" must be a whole number from 1 to 4096"));
}

// Every step says what it was given, on one line; draws and the controller's
// state show without being inferred from other effects.
TEST(Replay, StepLinesDrawsAndStateSayTheirCauses) {
    ReplayRun r = replay(std::string(TEVRA_SOURCE_DIR) + "/examples/replay/state.jsonl");
    ASSERT_EQ(r.status, 0) << testing::PrintToString(r.lines);
    EXPECT_EQ(r.lines[0],
              "STEP create view=390x844 gpu=true machine=x86_64 orientation=1 models=fake "
              "resources=../resources rememberedURL=file://demo");
    EXPECT_TRUE(r.has("STEP host loadURL example.org/ar"));
    EXPECT_TRUE(r.has("STEP tick time=100.000 count=3 interval=0.5"));
    EXPECT_TRUE(r.has("STEP frame time=101.000 image=64x48 camera=(0.000, 1.400, 0.000) count=1"));
    // Three ticks, one drawn (the page asked for it); later ones within the second draw nothing.
    EXPECT_EQ(r.count("DRAW "), 1u);
    EXPECT_TRUE(r.has("DRAW n=1 time=100.000 frame=none"));
    // Three state reports of eight lines each, in a fixed order.
    ASSERT_EQ(r.count("STATE "), 24u);
    size_t first = r.indexOf("STATE near=");
    EXPECT_EQ(r.lines[first],
              "STATE near=0.01 far=10000 target=540x960 compression=0.9 orientation=1 interface=1 camera=0,0,0,0");
    EXPECT_EQ(r.lines[first + 2], "STATE jsAnchorIdsToObjCAnchorIds (none)");
    EXPECT_EQ(r.lines[first + 5], "STATE url file://demo");
    size_t second = r.indexOf("STATE near=", first + 1);
    EXPECT_EQ(r.lines[second],
              "STATE near=0.05 far=500 target=720x1280 compression=0.5 orientation=1 interface=1 camera=0,0,0,0");
    EXPECT_EQ(r.lines[second + 2],
              "STATE jsAnchorIdsToObjCAnchorIds 7=00000000-0000-4000-8000-000000000001 "
              "door=00000000-0000-4000-8000-000000000002");
    EXPECT_EQ(r.lines[second + 3],
              "STATE objCAnchorIdsToJSAnchorIds 00000000-0000-4000-8000-000000000001=7 "
              "00000000-0000-4000-8000-000000000002=door");
    EXPECT_EQ(r.lines[second + 5], "STATE url example.org/ar");
    EXPECT_EQ(r.lines[second + 7], "STATE counters draws=1 detectionFrames=0 httpInFlight=0 pageScripts=1");
    size_t third = r.indexOf("STATE near=", second + 1);
    EXPECT_EQ(r.lines[third + 4], "STATE anchors door=00000000-0000-4000-8000-000000000002");

    // Script text in a STEP line can't break it; an implied create says so.
    std::string path = testing::TempDir() + "/steps.jsonl";
    std::ofstream(path) << "{\"do\":\"defaults\",\"key\":\"url\",\"value\":\"a\\nSTEP forged\"}\n"
                        << "{\"do\":\"drain\"}\n"
                        << "{\"do\":\"defaults\",\"key\":\"url\"}\n"
                        << "{\"do\":\"nav\",\"event\":\"alert\",\"message\":\"" << std::string(5000, 'x') << "\"}\n";
    r = replay(path);
    EXPECT_EQ(r.status, 0) << testing::PrintToString(r.lines);
    EXPECT_EQ(r.lines[0], "STEP create view=390x844 gpu=true machine=x86_64 orientation=1 models=fake (implied)");
    EXPECT_TRUE(r.has("STEP defaults url=a\\nSTEP forged"));
    EXPECT_FALSE(r.has("STEP forged"));
    EXPECT_TRUE(r.has("STEP drain"));
    EXPECT_TRUE(r.has("STEP defaults url removed"));
    size_t alert = r.indexOf("STEP nav alert ");
    ASSERT_NE(alert, std::string::npos);
    EXPECT_LT(r.lines[alert].size(), 4200u);
    EXPECT_NE(r.lines[alert].find("(5000 bytes)"), std::string::npos);
}

// Scripted answers drive the decoder: the best sign box is cut out, digits
// read left to right, and the floor rule applies to the text.
TEST(Replay, ScriptedModelAnswersReadTheFloor) {
    const std::string prepare =
        R"({"do":"message","channel":"YOLOCommander","body":{"command":"prepare_models","models":[)"
        R"({"name":"scripted_sign","url":"http://127.0.0.1:1/s.zip","model_function":"sign_detection","conf_threshold":0.5},)"
        R"({"name":"scripted_digit","url":"http://127.0.0.1:1/d.zip","model_function":"digit_detection","conf_threshold":0.3}]}})";
    std::string path = testing::TempDir() + "/scripted-models.jsonl";
    std::ofstream(path)
        << R"({"do":"create","orientation":1})"
        << "\n"
        // A weaker second sign box is not the one cut out (it would be too small anyway).
        << R"({"do":"model","name":"scripted_sign","answers":[{"box":[0.5,0.5,0.5,0.5],"confidence":0.9},{"box":[0.1,0.1,0.05,0.05],"confidence":0.6}]})"
        << "\n"
        // "8", "3", "5" in model order, "358" left to right.
        << R"({"do":"model","name":"scripted_digit","input":[64,32],"answers":[{"box":[0.8,0.5,0.2,0.8],"class":8,"confidence":0.9},)"
           R"({"box":[0.2,0.5,0.2,0.8],"class":3,"confidence":0.9},{"box":[0.5,0.5,0.2,0.8],"class":5,"confidence":0.8}]})"
        << "\n"
        << R"({"do":"host","call":"viewWillAppear"})"
        << "\n"
        << prepare << "\n"
        << R"({"do":"message","channel":"YOLOCommander","body":{"command":"turn_on"}})"
        << "\n"
        << R"({"do":"frame","count":11})"
        << "\n"
        << R"({"do":"state"})"
        << "\n"
        << R"({"do":"message","channel":"Zephral","body":"advanceFrame:"})"
        << "\n"
        << R"({"do":"tick","time":10.0})"
        << "\n"
        << R"({"do":"frame","time":10.0})"
        << "\n"
        << R"({"do":"message","channel":"TevraAR","body":"http://127.0.0.1:1/vps|{}|req-1|token"})"
        << "\n"
        << R"({"do":"http","op":"respond","body":"{\"data\":{\"attributes\":{\"floor_detector\":\"floor_by_yolo\"}}}"})"
        << "\n"
        // The digit rule: "12" has two digits and names no floor; a digit at
        // or below the threshold is not read ("3" alone names floor 3).
        << R"({"do":"model","name":"scripted_digit","answers":[{"box":[0.2,0.5,0.2,0.8],"class":1,"confidence":0.9},{"box":[0.5,0.5,0.2,0.8],"class":2,"confidence":0.9}]})"
        << "\n"
        << R"({"do":"detect"})"
        << "\n"
        << R"({"do":"model","name":"scripted_digit","answers":[{"box":[0.2,0.5,0.2,0.8],"class":1,"confidence":0.3},{"box":[0.5,0.5,0.2,0.8],"class":3,"confidence":0.9}]})"
        << "\n"
        << R"({"do":"detect"})"
        << "\n"
        << R"({"do":"model","name":"scripted_sign","fails":"out of memory"})"
        << "\n"
        << R"({"do":"detect"})"
        << "\n";
    ReplayRun r = replay(path);
    ASSERT_EQ(r.status, 0) << testing::PrintToString(r.lines);
    EXPECT_TRUE(r.has("OUT Model loaded: scripted_digit size (64, 32)"));
    EXPECT_TRUE(r.has("LOG [YOLO] All models ready"));
    EXPECT_EQ(r.count("HTTP DOWNLOAD"), 0u);
    // Only the eleventh frame runs the models.
    size_t frames = r.indexOf("STEP frame time=100.000 image=64x48 count=11");
    ASSERT_NE(frames, std::string::npos);
    EXPECT_EQ(r.lines[frames + 1], "MODEL scripted_sign predicts on 128x128: 2 boxes");
    EXPECT_EQ(r.lines[frames + 2], "MODEL scripted_digit predicts on 64x32: 3 boxes");
    EXPECT_EQ(r.lines[frames + 3], "LOG Detected floor = 3");
    EXPECT_EQ(r.lines[frames + 4], "LOG [YOLO] Detection stopped");
    EXPECT_EQ(r.lines[frames + 6], "STEP state");
    EXPECT_TRUE(
        r.has("STATE detection on=false sign=scripted_sign signThreshold=0.5 signLoaded=true "
              "digit=scripted_digit digitThreshold=0.3 digitLoaded=true floor=3"));
    size_t reply = r.indexOf("JS window.UnityBridge.receiveMessage(");
    ASSERT_NE(reply, std::string::npos);
    EXPECT_NE(r.lines[reply].find(R"(\\\"detected_floor\\\":3,)"), std::string::npos) << r.lines[reply];
    // The three detect steps: "12", "3", and a failing sign model.
    size_t detect = r.indexOf("STEP detect ");
    ASSERT_NE(detect, std::string::npos);
    EXPECT_EQ(r.indexOf("LOG Detected floor = -1", detect), detect + 3);
    detect = r.indexOf("STEP detect ", detect + 1);
    EXPECT_EQ(r.indexOf("LOG Detected floor = 3", detect), detect + 3);
    detect = r.indexOf("STEP detect ", detect + 1);
    EXPECT_EQ(r.lines[detect + 1], "MODEL scripted_sign predicts on 128x128: fails");
    EXPECT_EQ(r.lines[detect + 2],
              "OUT Prediction error: Error Domain=com.tevra.scriptedmodel Code=1 \"out of memory\"");
    EXPECT_EQ(r.lines[detect + 3], "LOG Detected floor = -1");
    for (const std::string& l : r.lines) EXPECT_EQ(l.find("/tmp/"), std::string::npos) << l;
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
        ASSERT_LT(found, r.lines.size()) << "missing or out of order: " << line << "\n"
                                         << testing::PrintToString(r.lines);
        at = found + 1;
    }
    // The eleventh frame is the only one that runs the models.
    EXPECT_EQ(std::count_if(r.lines.begin(), r.lines.end(),
                            [](const std::string& l) { return l.rfind("LOG Detected floor", 0) == 0; }),
              1);
    size_t reply = r.indexOf("JS window.UnityBridge.receiveMessage(");
    ASSERT_NE(reply, std::string::npos);
    EXPECT_NE(r.lines[reply].find(R"(\\\"detected_floor\\\":3,)"), std::string::npos) << r.lines[reply];
    EXPECT_NE(r.lines[reply].find(R"(\\\"id\\\":\\\"vps-1\\\"}\",\"id\":\"req-1\")"), std::string::npos)
        << r.lines[reply];
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
    size_t planes = r.indexOf(
        "JS if (window.ZephralDispatchARDisplayEvent) window.ZephralDispatchARDisplayEvent({\"type\":\"planesadded\"");
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
    EXPECT_NE(r.indexOf("JS if (window.ZephralDispatchARDisplayEvent) "
                        "window.ZephralDispatchARDisplayEvent({\"type\":\"planesremoved\""),
              std::string::npos);
}

// The WebXR page script adds no channel and no native call: the transcripts
// are byte for byte the same with it among the framework resources and
// without it.
TEST(Replay, TranscriptsAreTheSameWithAndWithoutTheWebXRScript) {
    namespace fs = std::filesystem;
    const fs::path without = fs::temp_directory_path() / ("tevra-replay-nowebxr-" + std::to_string(::getpid()));
    fs::remove_all(without);
    fs::create_directories(without);
    for (const char* name : {"Zephral.js", "UnityBridge.js"})
        fs::copy_file(fs::path(TEVRA_SOURCE_RESOURCES) / name, without / name);
    ASSERT_TRUE(fs::exists(fs::path(TEVRA_SOURCE_RESOURCES) / "WebXR.js"));
    for (const char* script : {"every-channel.jsonl", "recorded-session.jsonl"}) {
        const std::string path = std::string(TEVRA_SOURCE_DIR) + "/examples/replay/" + script;
        ReplayRun with = replay("TEVRA_FRAMEWORK_RESOURCES=" TEVRA_SOURCE_RESOURCES, path);
        ReplayRun plain = replay("TEVRA_FRAMEWORK_RESOURCES=" + without.string(), path);
        ASSERT_EQ(with.status, 0) << script;
        ASSERT_EQ(plain.status, 0) << script;
        EXPECT_GT(with.lines.size(), 50u) << script;
        EXPECT_EQ(with.lines, plain.lines) << script;
    }
    fs::remove_all(without);
}

// A run recorded while it plays (with a tap anchor), replayed from the
// recording, gives the page the same frame calls, tracking calls and plane
// events; the tap's anchor comes back from the recording.
TEST(Replay, ARecordedRunReplaysWithTheSameFrameCalls) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("tevra-record-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string source = std::string(TEVRA_SOURCE_DIR) + "/examples";
    const std::string create = "{\"do\":\"create\",\"view\":{\"width\":390,\"height\":844},\"resources\":\"" + source +
                               "/resources\",\"rememberedURL\":\"file://demo\",";
    std::ofstream(dir / "first.jsonl") << create << "\"session\":\"" << source
                                       << "/sessions/demo\",\"record\":\"rec\"}\n"
                                          "{\"do\":\"host\",\"call\":\"viewWillAppear\"}\n"
                                          "{\"do\":\"play\",\"frames\":12}\n{\"do\":\"tap\"}\n"
                                          "{\"do\":\"play\",\"frames\":8}\n";
    std::ofstream(dir / "second.jsonl") << create << "\"session\":\"rec\"}\n"
                                        << "{\"do\":\"host\",\"call\":\"viewWillAppear\"}\n"
                                           "{\"do\":\"play\",\"frames\":20}\n";
    const ReplayRun first = replay((dir / "first.jsonl").string());
    ASSERT_EQ(first.status, 0);
    const ReplayRun second = replay((dir / "second.jsonl").string());
    ASSERT_EQ(second.status, 0) << (second.lines.empty() ? "" : second.lines.front());
    auto pageCalls = [](const ReplayRun& r) {
        std::vector<std::string> calls;
        for (const std::string& l : r.lines)
            if (l.rfind("JS if(window.handleARFrame)", 0) == 0 ||
                l.rfind("JS if(window.onTrackingStateChanged)", 0) == 0 ||
                l.find("\"type\":\"planes") != std::string::npos)
                calls.push_back(l);
        return calls;
    };
    const auto expected = pageCalls(first);
    EXPECT_EQ(std::count_if(expected.begin(), expected.end(),
                            [](const std::string& l) { return l.find("handleARFrame") != std::string::npos; }),
              20);
    EXPECT_EQ(pageCalls(second), expected);
    EXPECT_EQ(
        first.count(
            "JS if (window.ZephralDispatchARDisplayEvent) window.ZephralDispatchARDisplayEvent({\"type\":\"anchors"),
        second.count(
            "JS if (window.ZephralDispatchARDisplayEvent) window.ZephralDispatchARDisplayEvent({\"type\":\"anchors"));
    EXPECT_GT(
        second.count(
            "JS if (window.ZephralDispatchARDisplayEvent) window.ZephralDispatchARDisplayEvent({\"type\":\"anchors"),
        0u);
    EXPECT_TRUE(fs::exists(dir / "rec/frames/000019.jpg"));
    fs::remove_all(dir);
}
