// The detection cadence and what a run does, with scripted fake models in the
// shared registry.
#include "detection/YOLOFrameProcessor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include <unistd.h>

#include "detection/YOLOService.h"
#include "models/ModelManager.h"
#include "platform/fake/FakeModelRuntime.h"
#include "platform/fake/FakePlatform.h"

using namespace tevra;
using tevra::fake::FakeModel;
using tevra::fake::FakeModelRuntime;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

class YOLOFrameProcessorTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_ = fake::FakePlatform::install();
        runtime_ = std::make_shared<FakeModelRuntime>();
        fake_->platform->models = runtime_;
        static std::atomic<int> counter{0};
        int id = counter++;
        root_ = fs::temp_directory_path() / ("tevra-yoloproc-" + std::to_string(::getpid()) + "-" + std::to_string(id));
        fs::create_directories(root_);
        fake_->platform->resourcesDirectory = root_.string();
        signName_ = "procsign" + std::to_string(id);
        digitName_ = "procdigit" + std::to_string(id);
        sign_ = addModel(signName_, FakeModel::withImageInput(64, 48));
        digit_ = addModel(digitName_, FakeModel::withImageInput(32, 16));
        signFinds(0.0f);

        service_ = std::make_shared<YOLOService>();
        manager().signModelName = signName_;
        manager().signConfThreshold = 0.5f;
        manager().digitModelName = digitName_;
        manager().digitConfThreshold = 0.5f;

        auto frame = std::make_shared<fake::FakeARFrame>();
        frame->image_ = PixelBuffer::create(128, 96, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
        frame_ = frame;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    std::shared_ptr<FakeModel> addModel(const std::string& name, std::shared_ptr<FakeModel> model) {
        fs::create_directories(root_ / (name + ".mlmodelc"));
        runtime_->registerModel((root_ / (name + ".mlmodelc")).string(), model);
        return model;
    }
    void loadBoth() {
        ASSERT_FALSE(ModelManager::shared()->loadModel(signName_));
        ASSERT_FALSE(ModelManager::shared()->loadModel(digitName_));
    }
    // The sign model finds one large box with this score.
    void signFinds(float score) {
        sign_->setOutputs({{"coordinates", FakeModel::array({1, 4}, {0.5f, 0.5f, 0.5f, 0.5f})},
                           {"confidence", FakeModel::array({1, 1}, {score})}});
    }
    // The digit model reads one digit.
    void digitReads(int digit) {
        std::vector<float> scores(11, 0.0f);
        scores[static_cast<size_t>(digit)] = 0.9f;
        digit_->setOutputs({{"coordinates", FakeModel::array({1, 4}, {0.5f, 0.5f, 0.2f, 0.8f})},
                            {"confidence", FakeModel::array({1, 11}, scores)}});
    }
    void frames(int n) {
        for (int i = 0; i < n; ++i) service_->processFrame(frame_);
    }
    YOLODetectionManager& manager() { return *service_->manager; }
    YOLOFrameProcessor& processor() { return *service_->processor; }
    Lines sys() const { return fake_->log->systemLines(); }

    std::shared_ptr<fake::FakePlatform> fake_;
    std::shared_ptr<FakeModelRuntime> runtime_;
    fs::path root_;
    std::string signName_, digitName_;
    std::shared_ptr<FakeModel> sign_, digit_;
    std::shared_ptr<YOLOService> service_;
    std::shared_ptr<ARFrame> frame_;
};

}  // namespace

TEST_F(YOLOFrameProcessorTest, FirstRunOnTheEleventhEligibleFrameThenEveryTenth) {
    loadBoth();
    manager().startDetection();
    fake_->log->clear();
    frames(10);
    EXPECT_EQ(sign_->predictionCount(), 0);
    EXPECT_EQ(processor().frameCount, 10);
    frames(1);
    EXPECT_EQ(sign_->predictionCount(), 1);
    EXPECT_EQ(processor().frameCount, 1);
    EXPECT_EQ(sys(), Lines{"Detected floor = -1"});
    EXPECT_TRUE(manager().startDetectingFloor);
    frames(9);
    EXPECT_EQ(sign_->predictionCount(), 1);
    frames(1);
    EXPECT_EQ(sign_->predictionCount(), 2);
}

TEST_F(YOLOFrameProcessorTest, AFloorStopsDetectionAndIsKeptForTheVPSAnswer) {
    loadBoth();
    signFinds(0.9f);
    digitReads(4);
    service_->handleMessage("turn_on");
    fake_->log->clear();
    frames(11);
    EXPECT_EQ(sys(), (Lines{"Detected floor = 4", "[YOLO] Detection stopped", "[YOLO] detectedFloor updated = 4"}));
    EXPECT_FALSE(manager().startDetectingFloor);
    frames(30);
    EXPECT_EQ(sign_->predictionCount(), 1);
    std::string answer = service_->processVPSResult(R"({"data":{"attributes":{"floor_detector":"floor_by_yolo"}}})");
    EXPECT_EQ(nlohmann::json::parse(answer)["data"]["attributes"]["detected_floor"], 4);
}

TEST_F(YOLOFrameProcessorTest, IneligibleFramesAreNotCounted) {
    // Switched on, but no model loaded yet.
    manager().startDetection();
    frames(15);
    EXPECT_EQ(processor().frameCount, 0);
    // Only the sign model loaded.
    ASSERT_FALSE(ModelManager::shared()->loadModel(signName_));
    frames(15);
    EXPECT_EQ(processor().frameCount, 0);
    ASSERT_FALSE(ModelManager::shared()->loadModel(digitName_));
    // A model not named yet.
    manager().digitModelName.reset();
    frames(3);
    EXPECT_EQ(processor().frameCount, 0);
    manager().digitModelName = digitName_;
    frames(7);
    EXPECT_EQ(processor().frameCount, 7);
    // Switching off and on again does not reset the count.
    manager().stopDetection();
    frames(20);
    EXPECT_EQ(processor().frameCount, 7);
    manager().startDetection();
    frames(3);
    EXPECT_EQ(processor().frameCount, 10);
    EXPECT_EQ(sign_->predictionCount(), 0);
    frames(1);
    EXPECT_EQ(sign_->predictionCount(), 1);
}

TEST_F(YOLOFrameProcessorTest, WithoutItsManagerNoFrameIsEligible) {
    loadBoth();
    auto manager = std::make_shared<YOLODetectionManager>();
    manager->signModelName = signName_;
    manager->digitModelName = digitName_;
    manager->startDetection();
    YOLOFrameProcessor processor(manager);
    EXPECT_TRUE(processor.shouldRunDetection());
    manager.reset();
    EXPECT_FALSE(processor.shouldRunDetection());
    for (int i = 0; i < 12; ++i) processor.processFrame(frame_);
    EXPECT_EQ(processor.frameCount, 0);
}

TEST_F(YOLOFrameProcessorTest, RunReadsTheRotationAndAbsentThresholdsAsZero) {
    loadBoth();
    signFinds(0.01f);  // passes only a threshold of 0
    digitReads(6);
    manager().signConfThreshold.reset();
    manager().digitConfThreshold.reset();
    fake_->device->setOrientation(UIDeviceOrientationPortrait);
    EXPECT_EQ(processor().runDetection(frame_), 6);
    // Portrait turns the 128 x 96 frame upright to 96 x 128; the half-size
    // sign box is cut out of it at 48 x 64 and scaled to the digit input.
    EXPECT_EQ(sign_->predictionCount(), 1);
    EXPECT_EQ(digit_->predictionCount(), 1);
    EXPECT_EQ(sys().back(), "Detected floor = 6");
}
