#include "platform/linux/OpenCVModelRuntime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <unistd.h>

#include "detection/YOLOInference.h"
#include "models/ModelManager.h"
#include "linux/support/GeneratedFiles.h"
#include "platform/fake/FakePlatform.h"

using namespace tevra;
namespace fs = std::filesystem;

namespace {

struct RGB {
    float r, g, b;
};

// Generates the test models once per process (python3-onnx) into a
// temporary directory.
const fs::path& modelsDir() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("tevra-test-models-" + std::to_string(::getpid()));
        fs::remove_all(d);
        std::string cmd = std::string("/usr/bin/python3 ") + TEVRA_SOURCE_DIR + "/tools/make_test_models.py " +
                          d.string() + " --form both";
        int rc = std::system(cmd.c_str());
        EXPECT_EQ(rc, 0) << "could not generate the test models: " << cmd;
        return d;
    }();
    return dir;
}

// Removes the generated models when the test program ends.
class GeneratedModelsCleanup : public ::testing::Environment {
public:
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(fs::temp_directory_path() / ("tevra-test-models-" + std::to_string(::getpid())), ec);
    }
};
[[maybe_unused]] ::testing::Environment* const kCleanup =
    ::testing::AddGlobalTestEnvironment(new GeneratedModelsCleanup);

PixelBufferRef argbImage(size_t w, size_t h, const std::function<RGB(size_t, size_t)>& colour) {
    auto b = PixelBuffer::create(w, h, kCVPixelFormatType_32ARGB);
    PixelBufferLock lock(*b, 0);
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            RGB c = colour(x, y);
            uint8_t* p = b->baseAddress() + y * b->bytesPerRow() + x * 4;
            p[0] = 255;
            p[1] = static_cast<uint8_t>(std::lround(c.r * 255));
            p[2] = static_cast<uint8_t>(std::lround(c.g * 255));
            p[3] = static_cast<uint8_t>(std::lround(c.b * 255));
        }
    return b;
}

// A "420f" camera frame of sensorW x sensorH whose upright view (after the
// counter-rotation for `deviceRotation`, 0 or 1) shows `upright(x, y)`. The
// luma/chroma coding is the inverse of the BT.601 video-range conversion the
// pipeline applies; chroma is averaged over each 2 x 2 block.
PixelBufferRef cameraFrame(size_t sensorW, size_t sensorH, int deviceRotation,
                           const std::function<RGB(size_t, size_t)>& upright) {
    auto frame = PixelBuffer::create(sensorW, sensorH, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    auto sensorColour = [&](size_t xs, size_t ys) {
        // Portrait (1) turns the sensor image a quarter clockwise: upright
        // (x', y') comes from sensor (y', H - 1 - x').
        if (deviceRotation == 1) return upright(sensorH - 1 - ys, xs);
        return upright(xs, ys);
    };
    PixelBufferLock lock(*frame, 0);
    uint8_t* yPlane = frame->baseAddressOfPlane(0);
    uint8_t* uvPlane = frame->baseAddressOfPlane(1);
    for (size_t y = 0; y < sensorH; y += 2)
        for (size_t x = 0; x < sensorW; x += 2) {
            float cb = 0, cr = 0;
            for (size_t dy = 0; dy < 2; ++dy)
                for (size_t dx = 0; dx < 2; ++dx) {
                    RGB c = sensorColour(x + dx, y + dy);
                    float luma = 16 + 65.481f * c.r + 128.553f * c.g + 24.966f * c.b;
                    yPlane[(y + dy) * frame->bytesPerRowOfPlane(0) + x + dx] = static_cast<uint8_t>(std::lround(luma));
                    cb += 128 - 37.797f * c.r - 74.203f * c.g + 112.0f * c.b;
                    cr += 128 + 112.0f * c.r - 93.786f * c.g - 18.214f * c.b;
                }
            uint8_t* p = uvPlane + (y / 2) * frame->bytesPerRowOfPlane(1) + x;
            p[0] = static_cast<uint8_t>(std::lround(cb / 4));
            p[1] = static_cast<uint8_t>(std::lround(cr / 4));
        }
    return frame;
}

// An upright scene: an olive background with a red sign of 320 x 120 pixels
// centred at (cx, cy); the sign holds up to four glyphs, one per quarter,
// each half a quarter wide and half the sign high. Glyph class c has the
// colour (0, 0.8 c / 10, 0.8); ' ' leaves a quarter empty.
std::function<RGB(size_t, size_t)> signScene(const std::string& glyphs, size_t cx, size_t cy) {
    return [=](size_t x, size_t y) -> RGB {
        const long left = static_cast<long>(cx) - 160, top = static_cast<long>(cy) - 60;
        const long sx = static_cast<long>(x) - left, sy = static_cast<long>(y) - top;
        if (sx < 0 || sx >= 320 || sy < 0 || sy >= 120) return {0.35f, 0.35f, 0.0f};
        const size_t slot = static_cast<size_t>(sx / 80);
        const long inSlot = sx % 80;
        if (slot < glyphs.size() && glyphs[slot] != ' ' && inSlot >= 20 && inSlot < 60 && sy >= 30 && sy < 90) {
            int c = glyphs[slot] == 'P' ? 10 : glyphs[slot] - '0';
            return {0.0f, 0.8f * static_cast<float>(c) / 10.0f, 0.8f};
        }
        return {1.0f, 0.0f, 0.0f};
    };
}

}  // namespace

TEST(OpenCVModelRuntime, OpensCompiledModelAndDescribesItsImageInput) {
    OpenCVModelRuntime runtime;
    auto model = runtime.modelWithContentsOfURL((modelsDir() / "test_sign.mlmodelc").string(), 3);
    ASSERT_TRUE(model) << model.error.description();
    auto inputs = (*model)->inputDescriptions();
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_EQ(inputs[0].name, "image");
    ASSERT_TRUE(inputs[0].imageConstraint);
    EXPECT_EQ(inputs[0].imageConstraint->pixelsWide, 128);
    EXPECT_EQ(inputs[0].imageConstraint->pixelsHigh, 128);
    EXPECT_EQ(inputs[0].imageConstraint->pixelFormatType, kCVPixelFormatType_32ARGB);
}

// Downloads finish on their own threads while the main thread opens stored
// models: opens on several threads at once all succeed.
TEST(OpenCVModelRuntime, ModelsOpenedOnSeveralThreadsAtOnceAllOpen) {
    OpenCVModelRuntime runtime;
    std::atomic<int> opened{0};
    std::vector<std::thread> threads;
    for (const char* name : {"test_sign", "test_digit", "test_sign", "test_digit"}) {
        const std::string path = (modelsDir() / (std::string(name) + ".mlmodelc")).string();
        threads.emplace_back([&runtime, &opened, path] {
            if (runtime.modelWithContentsOfURL(path, 3)) ++opened;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(opened.load(), 4);
}

TEST(OpenCVModelRuntime, SignModelBoxesTheRedPatch) {
    OpenCVModelRuntime runtime;
    auto model = runtime.modelWithContentsOfURL((modelsDir() / "test_sign.mlmodelc").string(), 3);
    ASSERT_TRUE(model);
    // Red from x 16..79, y 64..95 on grey.
    auto image = argbImage(128, 128, [](size_t x, size_t y) -> RGB {
        if (x >= 16 && x < 80 && y >= 64 && y < 96) return {1, 0, 0};
        return {0.5f, 0.5f, 0.5f};
    });
    auto out = predict(*image, **model);
    ASSERT_TRUE(out) << out.error.description();
    auto arrays = getDetections(*out);
    ASSERT_TRUE(arrays);
    EXPECT_EQ(arrays->first->shape(), (std::vector<long>{1, 4}));
    EXPECT_EQ(arrays->second->shape(), (std::vector<long>{1, 1}));
    auto box = getCoord(*arrays->first, 0);
    EXPECT_NEAR(box[0], 48.0 / 128, 1e-4);
    EXPECT_NEAR(box[1], 80.0 / 128, 1e-4);
    EXPECT_NEAR(box[2], 0.5, 1e-4);
    EXPECT_NEAR(box[3], 0.25, 1e-4);
    EXPECT_NEAR(arrays->second->at({0, 0}), 1.0, 1e-3);
}

TEST(OpenCVModelRuntime, DigitModelScoresGlyphColoursRightToLeft) {
    OpenCVModelRuntime runtime;
    auto model = runtime.modelWithContentsOfURL((modelsDir() / "test_digit.mlmodelc").string(), 3);
    ASSERT_TRUE(model);
    // Quarter 0 holds a "P" glyph, quarter 2 a "6"; the rest is red.
    auto image = argbImage(64, 32, [](size_t x, size_t y) -> RGB {
        bool glyphRows = y >= 8 && y < 24;
        if (glyphRows && x >= 4 && x < 12) return {0, 0.8f, 0.8f};
        if (glyphRows && x >= 36 && x < 44) return {0, 0.48f, 0.8f};
        return {1, 0, 0};
    });
    auto out = predict(*image, **model);
    ASSERT_TRUE(out) << out.error.description();
    auto conf = getMultiArray(*out, "confidence");
    ASSERT_TRUE(conf);
    EXPECT_EQ(conf->shape(), (std::vector<long>{4, 11}));
    // A glyph of blue 0.8 covering a quarter of its slot scores 0.8.
    EXPECT_NEAR(conf->at({3, 10}), 0.8, 0.03);  // row 3 = leftmost quarter
    EXPECT_NEAR(conf->at({1, 6}), 0.8, 0.03);
    EXPECT_NEAR(conf->at({0, 6}), 0.0, 1e-6);
    EXPECT_EQ(digitRead(*out, 0.5f), "P6");
}

TEST(OpenCVModelRuntime, RejectsAnImageOfTheWrongSizeOrFormat) {
    OpenCVModelRuntime runtime;
    auto model = runtime.modelWithContentsOfURL((modelsDir() / "test_sign.mlmodelc").string(), 3);
    ASSERT_TRUE(model);
    auto small = argbImage(64, 64, [](size_t, size_t) { return RGB{0, 0, 0}; });
    auto out = predict(*small, **model);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error.domain, kOpenCVModelRuntimeErrorDomain);
    EXPECT_EQ(out.error.code, kOpenCVModelRuntimeErrorInput);

    auto grey = PixelBuffer::create(128, 128, kCVPixelFormatType_OneComponent8);
    EXPECT_FALSE(predict(*grey, **model));
    EXPECT_FALSE((*model)->predictionFromFeatures({}));
}

TEST(OpenCVModelRuntime, UnusableDirectoriesFailWithAnError) {
    OpenCVModelRuntime runtime;
    fs::path bad = modelsDir() / "bad";
    fs::remove_all(bad);
    EXPECT_FALSE(runtime.modelWithContentsOfURL((bad / "none.mlmodelc").string(), 3));

    // A model file that is not ONNX.
    fs::path corrupt = bad / "corrupt.mlmodelc";
    fs::create_directories(corrupt);
    fs::copy_file(modelsDir() / "test_sign.mlmodelc" / "description.json", corrupt / "description.json");
    std::ofstream(corrupt / "model.onnx") << "not a model";
    auto opened = runtime.modelWithContentsOfURL(corrupt.string(), 3);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error.code, kOpenCVModelRuntimeErrorModelFile);

    // A description that is not JSON.
    fs::path garbled = bad / "garbled.mlmodelc";
    fs::create_directories(garbled);
    fs::copy_file(modelsDir() / "test_sign.mlmodelc" / "model.onnx", garbled / "model.onnx");
    std::ofstream(garbled / "description.json") << "{\"formatVersion\": 1, \"model\": ";
    opened = runtime.modelWithContentsOfURL(garbled.string(), 3);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error.code, kOpenCVModelRuntimeErrorDescription);
}

TEST(OpenCVModelRuntime, CompilesAPackageIntoAFreshDirectory) {
    OpenCVModelRuntime runtime;
    fs::path package = modelsDir() / "test_digit.mlpackage";
    auto compiled = runtime.compileModelAtURL(package.string());
    ASSERT_TRUE(compiled) << compiled.error.description();
    fs::path dir(*compiled);
    EXPECT_EQ(dir.filename(), "test_digit.mlmodelc");
    EXPECT_NE(dir.parent_path(), package.parent_path());
    EXPECT_TRUE(fs::exists(dir / "model.onnx"));
    std::ifstream in(dir / OpenCVModelRuntime::kDescriptionFileName);
    auto description = nlohmann::json::parse(in);
    EXPECT_EQ(description["outputs"][0]["name"], "coordinates");
    EXPECT_EQ(description["outputs"][0]["shape"], nlohmann::json({4, 4}));
    EXPECT_EQ(description["outputs"][1]["shape"], nlohmann::json({4, 11}));
    EXPECT_TRUE(runtime.modelWithContentsOfURL(dir.string(), 3));
    fs::remove_all(dir.parent_path());
}

TEST(OpenCVModelRuntime, CompileRejectsPackagesThatAreNoDetectionModel) {
    OpenCVModelRuntime runtime;
    auto variant = [&](const std::string& name, const std::function<void(nlohmann::json&)>& edit) {
        fs::path dir = modelsDir() / "variants" / (name + ".mlpackage");
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::copy_file(modelsDir() / "test_sign.mlpackage" / "model.onnx", dir / "model.onnx");
        std::ifstream in(modelsDir() / "test_sign.mlpackage" / "description.json");
        auto j = nlohmann::json::parse(in);
        edit(j);
        std::ofstream(dir / "description.json") << j.dump();
        return runtime.compileModelAtURL(dir.string());
    };
    auto fine = variant("fine", [](nlohmann::json&) {});
    ASSERT_TRUE(fine) << fine.error.description();
    fs::remove_all(fs::path(*fine).parent_path());
    auto noSize = variant("nosize", [](nlohmann::json& j) { j["inputs"][0].erase("width"); });
    ASSERT_FALSE(noSize);
    EXPECT_EQ(noSize.error.code, kOpenCVModelRuntimeErrorDescription);
    auto renamedInput = variant("renamed", [](nlohmann::json& j) { j["inputs"][0]["name"] = "pixels"; });
    EXPECT_FALSE(renamedInput);
    auto noConfidence = variant("noconf", [](nlohmann::json& j) { j["outputs"].erase(1); });
    ASSERT_FALSE(noConfidence);
    EXPECT_EQ(noConfidence.error.code, kOpenCVModelRuntimeErrorValidation);
    auto wrongShape = variant("wrongshape", [](nlohmann::json& j) { j["outputs"][1]["shape"] = {2, 1}; });
    ASSERT_FALSE(wrongShape);
    EXPECT_EQ(wrongShape.error.code, kOpenCVModelRuntimeErrorValidation);
}

TEST(OpenCVModelRuntime, DeclaredShapesTooLargeToCountFallBackToTheMeasuredOnes) {
    // Products of these dimensions overflow a 64-bit count; a description
    // from a downloaded package may say anything.
    OpenCVModelRuntime runtime;
    const long huge = std::numeric_limits<long>::max();
    auto withShapes = [&](const std::string& name, const char* form, nlohmann::json coordinates,
                          nlohmann::json confidence) {
        fs::path dir = modelsDir() / "overflow" / (name + form);
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::path source = modelsDir() / (std::string("test_digit") + form);
        fs::copy_file(source / "model.onnx", dir / "model.onnx");
        std::ifstream in(source / "description.json");
        auto j = nlohmann::json::parse(in);
        j["outputs"][0]["shape"] = std::move(coordinates);
        j["outputs"][1]["shape"] = std::move(confidence);
        std::ofstream(dir / "description.json") << j.dump();
        return dir;
    };
    for (auto [coordinates, confidence] : {std::pair{nlohmann::json{huge, 4}, nlohmann::json{4, 11}},
                                           std::pair{nlohmann::json{4, 4}, nlohmann::json{huge / 2, huge / 2, -1}},
                                           std::pair{nlohmann::json{-1, huge, 3}, nlohmann::json{4, 11}}}) {
        auto model =
            runtime.modelWithContentsOfURL(withShapes("compiled", ".mlmodelc", coordinates, confidence).string(), 3);
        ASSERT_TRUE(model) << model.error.description();
        auto out = predict(*argbImage(64, 32, [](size_t, size_t) { return RGB{1, 0, 0}; }), **model);
        ASSERT_TRUE(out) << out.error.description();
        EXPECT_EQ(getMultiArray(*out, "coordinates")->shape(), (std::vector<long>{4, 4}));
        EXPECT_EQ(getMultiArray(*out, "confidence")->shape(), (std::vector<long>{4, 11}));

        auto compiled =
            runtime.compileModelAtURL(withShapes("package", ".mlpackage", coordinates, confidence).string());
        ASSERT_FALSE(compiled);
        EXPECT_EQ(compiled.error.code, kOpenCVModelRuntimeErrorValidation);
    }
}

// The whole floor-reading chain through real inference.
class DetectFloorWithOpenCV : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fake_ = fake::FakePlatform::install();
        fake_->platform->models = std::make_shared<OpenCVModelRuntime>();
        fake_->platform->resourcesDirectory = modelsDir().string();
        ASSERT_FALSE(ModelManager::shared()->loadModel("test_sign"));
        ASSERT_FALSE(ModelManager::shared()->loadModel("test_digit"));
    }

    static int32_t readFloor(const std::string& glyphs, int rotation = 0) {
        // Sensor 640 x 480; upright 640 x 480 (rotation 0) or 480 x 640 (1).
        size_t w = rotation == 1 ? 480 : 640, h = rotation == 1 ? 640 : 480;
        auto frame = cameraFrame(640, 480, rotation, signScene(glyphs, w / 2 + 20, h / 2 - 40));
        return detectFloor("test_sign", 0.5f, "test_digit", 0.3f, frame.get(), rotation);
    }

    static std::shared_ptr<fake::FakePlatform> fake_;
};
std::shared_ptr<fake::FakePlatform> DetectFloorWithOpenCV::fake_;

TEST_F(DetectFloorWithOpenCV, ReadsTheFloorOnGeneratedFrames) {
    EXPECT_EQ(readFloor("5"), 5);
    EXPECT_EQ(readFloor("P2"), 2);
    EXPECT_EQ(readFloor("1204"), 1);
    EXPECT_EQ(readFloor("805"), 5);
    EXPECT_EQ(readFloor("12"), -1);
    EXPECT_EQ(readFloor("9"), -1);
    EXPECT_EQ(readFloor(""), -1);
}

TEST_F(DetectFloorWithOpenCV, ReadsAPortraitFrame) { EXPECT_EQ(readFloor("P3", 1), 3); }

TEST_F(DetectFloorWithOpenCV, NoSignNoFloor) {
    auto frame = cameraFrame(640, 480, 0, [](size_t, size_t) { return RGB{0.35f, 0.35f, 0.0f}; });
    EXPECT_EQ(detectFloor("test_sign", 0.5f, "test_digit", 0.3f, frame.get(), 0), -1);
}

TEST_F(DetectFloorWithOpenCV, CompiledPackageLoadsFromLocalStorage) {
    auto runtime = std::make_shared<OpenCVModelRuntime>();
    auto compiled = runtime->compileModelAtURL((modelsDir() / "test_sign.mlpackage").string());
    ASSERT_TRUE(compiled) << compiled.error.description();
    fs::path documents = modelsDir() / "documents";
    fs::create_directories(documents);
    fs::remove_all(documents / "stored_sign.mlmodelc");
    fs::rename(*compiled, documents / "stored_sign.mlmodelc");
    fs::remove_all(fs::path(*compiled).parent_path());

    fake_->platform->documentsDirectory = documents.string();
    fake_->log->clear();
    auto registry = ModelManager::create();
    EXPECT_FALSE(registry->loadModel("stored_sign"));
    auto lines = fake_->log->stdoutLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Found in local storage");
    EXPECT_EQ(lines.back(), "Model loaded: stored_sign size (128, 128)");
}

// A second image input that no node reads ("overlay", 48 x 24), declared
// before and after "image": both forms compile through the out-of-process
// check, open, and answer exactly as the one-input sign model does, whether
// the overlay is fed or left to zeros.
TEST(OpenCVModelRuntime, ASecondImageInputRunsInEitherDeclaredOrder) {
    const fs::path& dir = tevra::testing::generated("two-image-inputs", "make_test_models.py --two-image-inputs");
    OpenCVModelRuntime runtime;
    auto image = argbImage(128, 128, [](size_t x, size_t y) -> RGB {
        if (x >= 16 && x < 80 && y >= 64 && y < 96) return {1, 0, 0};
        return {0.5f, 0.5f, 0.5f};
    });
    auto overlay = argbImage(48, 24, [](size_t, size_t) { return RGB{1, 0, 0}; });
    auto values = [](const FeatureMap& out) {
        std::vector<float> v = getMultiArray(out, "coordinates")->data();
        const auto& c = getMultiArray(out, "confidence")->data();
        v.insert(v.end(), c.begin(), c.end());
        return v;
    };
    auto single = runtime.modelWithContentsOfURL((modelsDir() / "test_sign.mlmodelc").string(), 3);
    ASSERT_TRUE(single) << single.error.description();
    auto reference = predict(*image, **single);
    ASSERT_TRUE(reference) << reference.error.description();
    ASSERT_NEAR(values(*reference)[2], 0.5, 1e-4) << "the reference sees the red patch";

    for (const std::string order : {"first", "second"}) {
        SCOPED_TRACE("overlay declared " + order);
        const std::string name = "test_sign_extra_" + order;
        auto compiled = runtime.compileModelAtURL((dir / (name + ".mlpackage")).string());
        ASSERT_TRUE(compiled) << compiled.error.description();
        for (const fs::path& path : {fs::path(*compiled), dir / (name + ".mlmodelc")}) {
            auto model = runtime.modelWithContentsOfURL(path.string(), 3);
            ASSERT_TRUE(model) << model.error.description();
            auto inputs = (*model)->inputDescriptions();
            ASSERT_EQ(inputs.size(), 2u);
            EXPECT_EQ(inputs[0].name, "image") << "the registry sizes frames by the first image input";
            EXPECT_EQ(inputs[0].imageConstraint->pixelsWide, 128);

            auto alone = predict(*image, **model);
            ASSERT_TRUE(alone) << alone.error.description();
            EXPECT_EQ(values(*alone), values(*reference));
            FeatureMap both;
            both.emplace("image", FeatureValue::withPixelBuffer(image));
            both.emplace("overlay", FeatureValue::withPixelBuffer(overlay));
            auto fed = (*model)->predictionFromFeatures(both);
            ASSERT_TRUE(fed) << fed.error.description();
            EXPECT_EQ(values(*fed), values(*reference));

            // The overlay alone runs on a zero image; no image at all fails.
            FeatureMap overlayOnly;
            overlayOnly.emplace("overlay", FeatureValue::withPixelBuffer(overlay));
            EXPECT_TRUE((*model)->predictionFromFeatures(overlayOnly));
            EXPECT_FALSE((*model)->predictionFromFeatures({}));
        }
        fs::remove_all(fs::path(*compiled).parent_path());
    }
}
