#include "detection/YOLOInference.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include <unistd.h>

#include "models/ModelManager.h"
#include "platform/fake/FakeModelRuntime.h"
#include "platform/fake/FakePlatform.h"

using namespace tevra;
using tevra::fake::FakeModel;
using tevra::fake::FakeModelRuntime;
namespace fs = std::filesystem;

namespace {

FeatureValue array2d(long rows, long cols, std::vector<float> data) {
    return FakeModel::array({rows, cols}, std::move(data));
}

// Digit output: one row per box, `scores` holding 11 columns per row.
FeatureMap digitOutput(std::vector<std::array<float, 4>> boxes, std::vector<std::vector<float>> scores) {
    std::vector<float> c, s;
    for (auto& b : boxes) c.insert(c.end(), b.begin(), b.end());
    for (auto& row : scores) {
        row.resize(11, 0.0f);
        s.insert(s.end(), row.begin(), row.end());
    }
    return {{"coordinates", array2d(static_cast<long>(boxes.size()), 4, c)},
            {"confidence", array2d(static_cast<long>(scores.size()), 11, s)}};
}

// One-hot score row for class `c`.
std::vector<float> oneHot(int c, float score = 0.9f) {
    std::vector<float> row(11, 0.0f);
    row[static_cast<size_t>(c)] = score;
    return row;
}

PixelBufferRef argb(size_t w, size_t h) { return PixelBuffer::create(w, h, kCVPixelFormatType_32ARGB); }

}  // namespace

TEST(FloorText, DigitRules) {
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {"5", 5},   {"P2", 2},  {"305", 3}, {"1204", 1}, {"805", 5}, {"12", -1},    {"0", -1},    {"9", -1},
        {"07", -1}, {"007", 7}, {"", -1},   {"P", -1},   {"P3", 3},  {"88888", -1}, {"8880", -1}, {"8883", 3},
    };
    for (auto& [text, floor] : cases) EXPECT_EQ(floorFromDigitText(text), floor) << "text \"" << text << "\"";
}

TEST(ModelOutputs, OnlyMultiArrayFeaturesCount) {
    FeatureMap out = {{"coordinates", array2d(1, 4, {0, 0, 0, 0})}};
    EXPECT_NE(getMultiArray(out, "coordinates"), nullptr);
    EXPECT_EQ(getMultiArray(out, "confidence"), nullptr);
    // An image-typed feature that happens to carry an array is not an array.
    out["coordinates"].type = FeatureType::Image;
    EXPECT_EQ(getMultiArray(out, "coordinates"), nullptr);
}

TEST(ModelOutputs, DetectionsNeedBothArraysAndEnoughCoordinateRows) {
    FeatureMap ok = {{"coordinates", array2d(2, 4, std::vector<float>(8, 0.1f))},
                     {"confidence", array2d(2, 1, {0.5f, 0.6f})}};
    EXPECT_TRUE(getDetections(ok));

    FeatureMap noCoords = ok;
    noCoords.erase("coordinates");
    EXPECT_FALSE(getDetections(noCoords));
    FeatureMap noConf = ok;
    noConf.erase("confidence");
    EXPECT_FALSE(getDetections(noConf));
    FeatureMap shortCoords = ok;
    shortCoords["coordinates"] = array2d(1, 4, {0.1f, 0.1f, 0.1f, 0.1f});
    EXPECT_FALSE(getDetections(shortCoords));
    FeatureMap narrowCoords = ok;
    narrowCoords["coordinates"] = array2d(2, 3, std::vector<float>(6, 0.1f));
    EXPECT_FALSE(getDetections(narrowCoords));

    auto coord = getCoord(*getMultiArray(ok, "coordinates"), 1);
    EXPECT_FLOAT_EQ(coord[3], 0.1f);
}

TEST(SignFilter, ScoreEqualToThresholdIsKeptAndOrderKept) {
    auto frame = argb(1024, 512);
    MultiArray coords({3, 4}, {0.1f, 0.1f, 0.5f, 0.5f, 0.2f, 0.2f, 0.5f, 0.5f, 0.3f, 0.3f, 0.5f, 0.5f});
    MultiArray conf({3, 1}, {0.5f, 0.49999f, 0.7f});
    auto kept = filterBySize(coords, conf, 0.5f, *frame);
    ASSERT_TRUE(kept);
    ASSERT_EQ(kept->size(), 2u);
    EXPECT_FLOAT_EQ((*kept)[0].x, 0.1f);
    EXPECT_FLOAT_EQ((*kept)[0].confidence, 0.5f);
    EXPECT_EQ((*kept)[0].classId, 0);
    EXPECT_FLOAT_EQ((*kept)[1].x, 0.3f);
}

TEST(SignFilter, BoxesUnderTwelveUprightPixelsAreRemoved) {
    auto frame = argb(1024, 512);
    // Widths 12 and 11.9 pixels of 1024; heights 12 and 11.9 pixels of 512.
    const float w12 = 12.0f / 1024, w119 = 11.9f / 1024, h12 = 12.0f / 512, h119 = 11.9f / 512;
    MultiArray coords({4, 4}, {0.5f, 0.5f, w12, h12, 0.5f, 0.5f, w119, h12, 0.5f, 0.5f, w12, h119, 0.6f, 0.5f, 1, 1});
    MultiArray conf({4, 1}, {0.9f, 0.9f, 0.9f, 0.8f});
    auto kept = filterBySize(coords, conf, 0.5f, *frame);
    ASSERT_TRUE(kept);
    ASSERT_EQ(kept->size(), 2u);
    EXPECT_FLOAT_EQ((*kept)[0].w, w12);
    EXPECT_FLOAT_EQ((*kept)[1].x, 0.6f);
}

TEST(SignFilter, NoRowsGiveNoneButNoSurvivorsGiveEmpty) {
    auto frame = argb(64, 64);
    MultiArray coords({0, 4}, {});
    MultiArray conf({0, 1}, {});
    EXPECT_FALSE(filterBySize(coords, conf, 0.5f, *frame));
    MultiArray oneCoords({1, 4}, {0.5f, 0.5f, 0.5f, 0.5f});
    MultiArray lowConf({1, 1}, {0.1f});
    auto kept = filterBySize(oneCoords, lowConf, 0.5f, *frame);
    ASSERT_TRUE(kept);
    EXPECT_TRUE(kept->empty());
}

TEST(DigitReader, ReadsLeftToRightWhateverTheModelOrder) {
    auto out = digitOutput({{0.6f, 0.5f, 0.1f, 0.5f}, {0.2f, 0.5f, 0.1f, 0.5f}}, {oneHot(3), oneHot(1)});
    EXPECT_EQ(digitRead(out, 0.5f), "13");
}

TEST(DigitReader, EqualXKeepsModelOrderAndClassTenIsP) {
    auto out = digitOutput({{0.5f, 0.5f, 0.1f, 0.5f}, {0.5f, 0.5f, 0.1f, 0.5f}, {0.1f, 0.5f, 0.1f, 0.5f}},
                           {oneHot(4), oneHot(2), oneHot(10)});
    EXPECT_EQ(digitRead(out, 0.5f), "P42");
}

TEST(DigitReader, ThresholdIsStrictAndTiesKeepTheLowerClass) {
    auto equal = digitOutput({{0.5f, 0.5f, 0.1f, 0.5f}}, {oneHot(7, 0.5f)});
    EXPECT_EQ(digitRead(equal, 0.5f), "");
    EXPECT_EQ(digitRead(equal, 0.49f), "7");

    std::vector<float> tie(11, 0.0f);
    tie[6] = 0.8f;
    tie[2] = 0.8f;
    auto tied = digitOutput({{0.5f, 0.5f, 0.1f, 0.5f}}, {tie});
    EXPECT_EQ(digitRead(tied, 0.5f), "2");
}

TEST(DigitReader, RowWithoutPositiveScoreNeverReads) {
    std::vector<float> negative(11, -0.2f);
    negative[4] = 0.0f;
    auto out = digitOutput({{0.5f, 0.5f, 0.1f, 0.5f}, {0.7f, 0.5f, 0.1f, 0.5f}}, {negative, oneHot(5)});
    EXPECT_EQ(digitRead(out, 0.0f), "5");
    // Even a negative threshold does not turn a class-less row into text.
    EXPECT_EQ(digitRead(out, -1.0f), "5");
}

TEST(DigitReader, MissingOutputReadsEmpty) {
    auto out = digitOutput({{0.5f, 0.5f, 0.1f, 0.5f}}, {oneHot(5)});
    out.erase("coordinates");
    EXPECT_EQ(digitRead(out, 0.1f), "");
}

// ---- The whole chain, with fake models registered in the shared registry. ----

class DetectFloorTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_ = fake::FakePlatform::install();
        runtime_ = std::make_shared<FakeModelRuntime>();
        fake_->platform->models = runtime_;
        static std::atomic<int> counter{0};
        int id = counter++;
        root_ = fs::temp_directory_path() / ("tevra-yolo-" + std::to_string(::getpid()) + "-" + std::to_string(id));
        fs::create_directories(root_);
        fake_->platform->resourcesDirectory = root_.string();
        // The shared registry never forgets a model: every test uses new names.
        signName_ = "sign" + std::to_string(id);
        digitName_ = "digit" + std::to_string(id);
        sign_ = addModel(signName_, FakeModel::withImageInput(64, 48));
        digit_ = addModel(digitName_, FakeModel::withImageInput(32, 16));
        frame_ = PixelBuffer::create(400, 300, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    std::shared_ptr<FakeModel> addModel(const std::string& name, std::shared_ptr<FakeModel> model, bool load = true) {
        fs::create_directories(root_ / (name + ".mlmodelc"));
        runtime_->registerModel((root_ / (name + ".mlmodelc")).string(), model);
        if (load) ModelManager::shared()->loadModel(name);
        return model;
    }

    void signFinds(std::vector<std::array<float, 4>> boxes, std::vector<float> scores) {
        std::vector<float> c;
        for (auto& b : boxes) c.insert(c.end(), b.begin(), b.end());
        sign_->setOutputs({{"coordinates", array2d(static_cast<long>(boxes.size()), 4, c)},
                           {"confidence", array2d(static_cast<long>(scores.size()), 1, scores)}});
    }
    void digitsRead(const std::string& text) {
        std::vector<std::array<float, 4>> boxes;
        std::vector<std::vector<float>> scores;
        for (size_t i = 0; i < text.size(); ++i) {
            boxes.push_back({0.1f + 0.2f * static_cast<float>(i), 0.5f, 0.1f, 0.8f});
            scores.push_back(oneHot(text[i] == 'P' ? 10 : text[i] - '0'));
        }
        digit_->setOutputs(digitOutput(boxes, scores));
    }
    int32_t run(int32_t rotation = 0) {
        return detectFloor(signName_.c_str(), 0.5f, digitName_.c_str(), 0.5f, frame_.get(), rotation);
    }
    std::vector<std::string> out() const { return fake_->log->stdoutLines(); }

    std::shared_ptr<fake::FakePlatform> fake_;
    std::shared_ptr<FakeModelRuntime> runtime_;
    fs::path root_;
    std::string signName_, digitName_;
    std::shared_ptr<FakeModel> sign_, digit_;
    PixelBufferRef frame_;
};

TEST_F(DetectFloorTest, ReadsTheFloorAndFeedsEachModelItsInputSize) {
    signFinds({{0.5f, 0.5f, 0.5f, 0.4f}}, {0.9f});
    digitsRead("P2");
    fake_->log->clear();
    long refs = frame_->retainCount();

    EXPECT_EQ(run(), 2);
    EXPECT_EQ(sign_->lastImageSize(), (std::pair<size_t, size_t>{64, 48}));
    EXPECT_EQ(digit_->lastImageSize(), (std::pair<size_t, size_t>{32, 16}));
    EXPECT_TRUE(out().empty());
    EXPECT_EQ(frame_->retainCount(), refs);

    digitsRead("12");
    EXPECT_EQ(run(), -1);
    digitsRead("1204");
    EXPECT_EQ(run(), 1);
}

TEST_F(DetectFloorTest, TheFirstOfEquallyConfidentSignsIsCutOutOfTheUprightFrame) {
    signFinds({{0.5f, 0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.25f, 0.25f}, {0.5f, 0.5f, 0.1f, 0.1f}}, {0.8f, 0.8f, 0.7f});
    // Portrait: the 400 x 300 camera frame is 300 x 400 upright.
    auto sign = detectSign(signName_.c_str(), 0.5f, frame_.get(), 1);
    ASSERT_TRUE(sign);
    EXPECT_EQ(sign->width(), 150u);
    EXPECT_EQ(sign->height(), 200u);
}

TEST_F(DetectFloorTest, NoSignBoxMeansNoFloorAndNoMessage) {
    signFinds({{0.5f, 0.5f, 0.5f, 0.5f}}, {0.2f});
    digitsRead("5");
    fake_->log->clear();
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(digit_->predictionCount(), 0);
    EXPECT_TRUE(out().empty());
}

TEST_F(DetectFloorTest, MissingSignOutputIsSilent) {
    sign_->setOutputs({{"confidence", array2d(1, 1, {0.9f})}});
    fake_->log->clear();
    EXPECT_EQ(run(), -1);
    EXPECT_TRUE(out().empty());
}

TEST_F(DetectFloorTest, UnknownSignModelSaysModelNotLoaded) {
    fake_->log->clear();
    EXPECT_EQ(detectFloor("nowhere", 0.5f, digitName_.c_str(), 0.5f, frame_.get(), 0), -1);
    EXPECT_EQ(out(), std::vector<std::string>{"Model not loaded"});
    EXPECT_EQ(detectFloor(nullptr, 0.5f, digitName_.c_str(), 0.5f, frame_.get(), 0), -1);
}

TEST_F(DetectFloorTest, UnknownDigitModelIsSilent) {
    signFinds({{0.5f, 0.5f, 0.5f, 0.4f}}, {0.9f});
    fake_->log->clear();
    EXPECT_EQ(detectFloor(signName_.c_str(), 0.5f, "nowhere", 0.5f, frame_.get(), 0), -1);
    EXPECT_TRUE(out().empty());
}

TEST_F(DetectFloorTest, SignModelWithoutImageInputHasNoSize) {
    std::string name = signName_ + "-noimage";
    FeatureDescription d;
    d.name = "features";
    addModel(name, std::make_shared<FakeModel>(std::vector<FeatureDescription>{d}));
    fake_->log->clear();
    EXPECT_EQ(detectFloor(name.c_str(), 0.5f, digitName_.c_str(), 0.5f, frame_.get(), 0), -1);
    EXPECT_EQ(out(), std::vector<std::string>{"Failed to get input image size"});
}

TEST_F(DetectFloorTest, FrameThatIsNotACameraFrameFailsConversion) {
    auto wrong = argb(400, 300);
    fake_->log->clear();
    EXPECT_EQ(detectFloor(signName_.c_str(), 0.5f, digitName_.c_str(), 0.5f, wrong.get(), 0), -1);
    EXPECT_EQ(out(), std::vector<std::string>{"Failed to convert NV12 to ARGB"});
    fake_->log->clear();
    EXPECT_EQ(detectFloor(signName_.c_str(), 0.5f, digitName_.c_str(), 0.5f, nullptr, 0), -1);
    EXPECT_EQ(out(), std::vector<std::string>{"Failed to convert NV12 to ARGB"});
}

TEST_F(DetectFloorTest, PredictionErrorsArePrintedInBothStages) {
    Error e{"com.example.runtime", 7, "bad input"};
    sign_->setError(e);
    fake_->log->clear();
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(out(), std::vector<std::string>{"Prediction error: " + e.description()});

    signFinds({{0.5f, 0.5f, 0.5f, 0.4f}}, {0.9f});
    digit_->setError(e);
    fake_->log->clear();
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(out(), std::vector<std::string>{"Prediction error: " + e.description()});
}

TEST_F(DetectFloorTest, DigitModelWithMissingOutputGivesNoFloor) {
    signFinds({{0.5f, 0.5f, 0.5f, 0.4f}}, {0.9f});
    digit_->setOutputs({{"confidence", array2d(1, 11, oneHot(5))}});
    fake_->log->clear();
    EXPECT_EQ(run(), -1);
    EXPECT_TRUE(out().empty());
}
