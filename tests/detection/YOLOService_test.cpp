// The detection service's command protocol, the prepare round and its
// summary, and the VPS answer rewrite, on the fake platform.
#include "detection/YOLOService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include <unistd.h>

#include "models/ModelManager.h"
#include "platform/fake/FakeArchive.h"
#include "platform/fake/FakeModelRuntime.h"
#include "platform/fake/FakePlatform.h"

using namespace tevra;
using nlohmann::json;
using tevra::fake::FakeModel;
using tevra::fake::FakeModelRuntime;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

class YOLOServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_ = fake::FakePlatform::install();
        runtime_ = std::make_shared<FakeModelRuntime>();
        fake_->platform->models = runtime_;
        fake_->platform->archive = std::make_shared<fake::FakeArchive>();
        static std::atomic<int> counter{0};
        id_ = counter++;
        root_ = fs::temp_directory_path() / ("tevra-yolosvc-" + std::to_string(::getpid()) + "-" + std::to_string(id_));
        fs::create_directories(root_ / "bundle");
        fs::create_directories(root_ / "documents");
        fake_->platform->resourcesDirectory = (root_ / "bundle").string();
        fake_->platform->documentsDirectory = (root_ / "documents").string();
        service_ = std::make_shared<YOLOService>();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // A name unique to this test (the shared registry never forgets one).
    std::string unique(const std::string& base) const { return base + "_svc" + std::to_string(id_); }
    // Puts a loadable model NAME.mlmodelc into the bundle.
    void bundle(const std::string& name) {
        fs::create_directories(root_ / "bundle" / (name + ".mlmodelc"));
        runtime_->registerModel((root_ / "bundle" / (name + ".mlmodelc")).string(), FakeModel::withImageInput(32, 32));
    }
    static json entry(const std::string& name, const std::string& function, json threshold = json()) {
        json e = {{"name", name}, {"url", "http://models.test/" + name + ".zip"}, {"model_function", function}};
        if (!threshold.is_null()) e["conf_threshold"] = threshold;
        return e;
    }
    void prepare(const json& models) { service_->handleMessage({{"command", "prepare_models"}, {"models", models}}); }
    Lines sys() const { return fake_->log->systemLines(); }
    YOLODetectionManager& manager() { return *service_->manager; }

    std::shared_ptr<fake::FakePlatform> fake_;
    std::shared_ptr<FakeModelRuntime> runtime_;
    std::shared_ptr<YOLOService> service_;
    fs::path root_;
    int id_ = 0;
};

}  // namespace

TEST(YOLOConstants, ExportedNames) {
    EXPECT_STREQ(kYOLOSignModel, "yolo26n_sign_640");
    EXPECT_STREQ(kYOLODigitModel, "yolo26n_digit_640");
    EXPECT_EQ(kYOLOTimeInterval, 10);
}

TEST_F(YOLOServiceTest, CommandFormsAndTheirLogLines) {
    service_->handleMessage(42);
    service_->handleMessage(json::array({1, 2}));
    service_->handleMessage(nullptr);
    service_->handleMessage(json::object());
    service_->handleMessage({{"command", 3}});
    service_->handleMessage({{"command", "dance"}});
    service_->handleMessage("TURN_ON");
    EXPECT_EQ(sys(), (Lines{"[YOLO] Unknown message type: 42", "[YOLO] Unknown message type: [1,2]",
                            "[YOLO] Unknown message type: null", "[YOLO] Invalid command", "[YOLO] Invalid command",
                            "[YOLO] Unknown command: dance", "[YOLO] Unknown legacy command: TURN_ON"}));
    EXPECT_FALSE(manager().startDetectingFloor);

    fake_->log->clear();
    service_->handleMessage({{"command", "turn_on"}});
    EXPECT_TRUE(manager().startDetectingFloor);
    service_->handleMessage("turn it off!!!");
    EXPECT_FALSE(manager().startDetectingFloor);
    service_->handleMessage("turn it on!!!");
    service_->handleMessage("turn_off");
    service_->handleMessage("turn_on");
    service_->handleMessage({{"command", "turn_off"}});
    EXPECT_FALSE(manager().startDetectingFloor);
    EXPECT_EQ(sys(), (Lines{"[YOLO] Detection started", "[YOLO] Detection stopped", "[YOLO] Detection started",
                            "[YOLO] Detection stopped", "[YOLO] Detection started", "[YOLO] Detection stopped"}));
}

TEST_F(YOLOServiceTest, PrepareModelsStoresNamesAndThresholdsBeforeAskingForTheModels) {
    std::string sign = unique("sign"), digit = unique("digit");
    prepare(json::array({entry(sign, "sign_detection", 0.5), entry(digit, "digit_detection", "0.9")}));
    EXPECT_EQ(manager().signModelName, sign);
    EXPECT_EQ(manager().signConfThreshold, 0.5f);
    EXPECT_EQ(manager().digitModelName, digit);
    EXPECT_EQ(manager().digitConfThreshold, 0.7f);  // a text threshold counts as none
    auto requests = fake_->http->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].url, "http://models.test/" + sign + ".zip");

    // A later round with one entry replaces only that model.
    prepare(json::array({entry(unique("sign2"), "sign_detection")}));
    EXPECT_EQ(manager().signModelName, unique("sign2"));
    EXPECT_EQ(manager().signConfThreshold, 0.7f);
    EXPECT_EQ(manager().digitModelName, digit);
    fake_->http->fail(0, "x");
    fake_->http->fail(0, "x");
    fake_->http->fail(0, "x");
}

TEST_F(YOLOServiceTest, MalformedEntriesAreLoggedAndSkipped) {
    std::string good = unique("good");
    bundle(good);
    prepare(json::array({"text", json{{"name", "a"}, {"url", "u"}},
                         json{{"name", 5}, {"url", "u"}, {"model_function", "sign_detection"}},
                         entry(unique("odd"), "face_detection"), entry(good, "digit_detection")}));
    Lines lines = sys();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "[YOLO] Invalid model config: text");
    EXPECT_EQ(lines[1], "[YOLO] Invalid model config: {\"name\":\"a\",\"url\":\"u\"}");
    EXPECT_EQ(lines[2].rfind("[YOLO] Invalid model config: {", 0), 0u);
    EXPECT_EQ(lines[3], "[YOLO] Unknown model_function: face_detection");
    EXPECT_EQ(lines[4], "[YOLO] Model " + good + " ready");
    EXPECT_FALSE(manager().signModelName);
    EXPECT_EQ(fake_->http->requests().size(), 0u);  // the unknown function asked for nothing

    fake_->dispatch->mainQueue().drain();
    EXPECT_EQ(sys().back(), "[YOLO] All models ready");

    fake_->log->clear();
    service_->handleMessage({{"command", "prepare_models"}});
    prepare(json::object());
    EXPECT_EQ(sys(), (Lines{"[YOLO] Invalid models format", "[YOLO] Invalid models format"}));
}

TEST_F(YOLOServiceTest, SummaryComesOnTheMainQueueAfterTheLastModel) {
    prepare(json::array());
    EXPECT_TRUE(sys().empty());
    fake_->dispatch->mainQueue().drain();
    EXPECT_EQ(sys(), Lines{"[YOLO] All models ready"});

    fake_->log->clear();
    std::string local = unique("local"), remote = unique("remote");
    bundle(local);
    prepare(json::array({entry(local, "sign_detection"), entry(remote, "digit_detection")}));
    fake_->dispatch->mainQueue().drain();
    EXPECT_EQ(sys(), Lines{"[YOLO] Model " + local + " ready"});  // the download is still out
    fake_->http->fail(0, "offline");
    EXPECT_EQ(sys().back(), "[YOLO] Model " + remote + " failed");
    fake_->dispatch->mainQueue().drain();
    EXPECT_EQ(sys().back(), "[YOLO] Some models failed");
    // The failed model keeps its name; detection waits for it.
    EXPECT_EQ(manager().digitModelName, remote);
}

TEST_F(YOLOServiceTest, VPSAnswersWithoutAttributesComeBackUnchanged) {
    service_->handleMessage("turn_on");
    fake_->log->clear();
    for (const std::string& answer : {std::string("not json"), std::string("[1, 2]"), std::string("{\"data\": 5}"),
                                      std::string("{ \"data\" : { \"x\" : 1.50 } }"),
                                      std::string("{\"data\":{\"attributes\":[]}}"), std::string("\"\xff\"")}) {
        EXPECT_EQ(service_->processVPSResult(answer), answer);
    }
    Lines lines = sys();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("[YOLO] JSON parse error: ", 0), 0u);
    EXPECT_EQ(lines[1].rfind("[YOLO] JSON parse error: ", 0), 0u);
    EXPECT_TRUE(manager().startDetectingFloor);
}

TEST_F(YOLOServiceTest, DeeplyNestedVPSAnswersComeBackUnchangedInsteadOfOverflowingTheStack) {
    service_->handleMessage("turn_on");
    manager().updateDetectedFloor(5);
    auto answer = [](size_t depth, const std::string& filler = "") {
        return R"({"data":{"attributes":{"floor_detector":"floor_by_yolo","x":)" + std::string(depth, '[') + filler +
               std::string(depth, ']') + "}}}";
    };
    fake_->log->clear();
    // Two hundred thousand levels: re-encoding this would recurse that deep.
    const std::string deep = answer(200000);
    EXPECT_EQ(service_->processVPSResult(deep), deep);
    EXPECT_EQ(sys(), (Lines{"[YOLO] JSON parse error: the answer nests deeper than 512 levels"}));
    EXPECT_TRUE(manager().startDetectingFloor);

    // The answer's own 3 levels plus 509 is the deepest still rewritten;
    // brackets inside strings do not count.
    EXPECT_EQ(json::parse(service_->processVPSResult(answer(509)))["data"]["attributes"]["detected_floor"], 5);
    EXPECT_EQ(service_->processVPSResult(answer(510)), answer(510));
    const std::string quoted = answer(500, "\"" + std::string(100, '[') + "\\\"{\"");
    EXPECT_EQ(json::parse(service_->processVPSResult(quoted))["data"]["attributes"]["detected_floor"], 5);
}

TEST_F(YOLOServiceTest, VPSAnswerCarriesTheDeviceFloorOnlyForFloorByYolo) {
    const std::string byYolo =
        R"({"id": 7, "data": {"attributes": {"floor_detector": "floor_by_yolo", "detected_floor": 2}}})";
    service_->handleMessage("turn_on");
    fake_->log->clear();
    // No floor yet: re-encoded, the server's value kept.
    EXPECT_EQ(json::parse(service_->processVPSResult(byYolo)), json::parse(byYolo));
    EXPECT_EQ(service_->processVPSResult(byYolo).find(' '), std::string::npos);
    EXPECT_TRUE(sys().empty());

    manager().updateDetectedFloor(4);
    std::string out = service_->processVPSResult(byYolo);
    EXPECT_EQ(json::parse(out)["data"]["attributes"]["detected_floor"], 4);
    EXPECT_TRUE(json::parse(out)["data"]["attributes"]["detected_floor"].is_number_integer());
    EXPECT_EQ(json::parse(out)["id"], 7);
    EXPECT_EQ(sys().back(), "[YOLO] Override detected_floor = 4");

    // Another detector, a missing one or a non-text one: detection off, floor cleared.
    for (const std::string& other : {std::string(R"({"data":{"attributes":{"floor_detector":"barometer"}}})"),
                                     std::string(R"({"data":{"attributes":{}}})"),
                                     std::string(R"({"data":{"attributes":{"floor_detector":1}}})")}) {
        service_->handleMessage("turn_on");
        manager().updateDetectedFloor(3);
        fake_->log->clear();
        EXPECT_EQ(json::parse(service_->processVPSResult(other)), json::parse(other));
        EXPECT_EQ(sys(), (Lines{"[YOLO] Disable YOLO (not floor_by_yolo)", "[YOLO] Detection stopped"}));
        EXPECT_FALSE(manager().startDetectingFloor);
        EXPECT_EQ(json::parse(service_->processVPSResult(byYolo))["data"]["attributes"]["detected_floor"], 2);
    }
}

TEST_F(YOLOServiceTest, RotationFollowsTheDeviceOrientation) {
    // Landscape left: the sensor frame is upright as it comes; landscape
    // right: upside down, a half turn.
    const std::vector<std::pair<long, int32_t>> table = {{0, 0}, {1, 1}, {2, 3}, {3, 0}, {4, 2}, {5, 0}, {6, 0}};
    for (auto [orientation, code] : table) {
        fake_->device->setOrientation(orientation);
        EXPECT_EQ(manager().getRotationNeeded(), code) << orientation;
    }
}

// Model answers arrive on several threads at once; the summary still comes
// once, on the main queue, after the last of them.
class YOLOServiceConcurrency : public YOLOServiceTest {};

TEST_F(YOLOServiceConcurrency, ModelAnswersFromSeveralThreads) {
    json models = json::array();
    for (int i = 0; i < 6; ++i)
        models.push_back(entry(unique("m" + std::to_string(i)), i % 2 ? "digit_detection" : "sign_detection"));
    prepare(models);
    ASSERT_EQ(fake_->http->pendingCount(), 6u);
    std::vector<std::thread> responders;
    for (int i = 0; i < 6; ++i) responders.emplace_back([&] { fake_->http->fail(0, "offline"); });
    for (auto& t : responders) t.join();
    fake_->dispatch->mainQueue().drain();
    Lines lines = sys();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[YOLO] Some models failed"), 1);
    EXPECT_EQ(lines.back(), "[YOLO] Some models failed");
    EXPECT_EQ(lines.size(), 7u);
}
