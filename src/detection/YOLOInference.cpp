#include "detection/YOLOInference.h"

#include <algorithm>

#include "detection/ImageUtils.h"
#include "models/ModelManager.h"
#include "platform/Log.h"

namespace tevra {

namespace {

constexpr float kMinimumSignPixels = 12.0f;
constexpr int32_t kDigitClassCount = 11;
constexpr int32_t kLetterPClass = 10;

std::string nameFrom(const char* text) { return text ? std::string(text) : std::string(); }

bool isTwoDimensional(const MultiArray& a) { return a.shape().size() == 2; }

}  // namespace

const Detection& Detection::empty() {
    static const Detection kEmpty(0, 0, 0, 0, 0, -1);
    return kEmpty;
}

Expected<FeatureMap> predict(PixelBuffer& pixelBuffer, Model& model, const std::string& inputName) {
    FeatureMap inputs;
    inputs.emplace(inputName, FeatureValue::withPixelBuffer(PixelBufferRef::retainFrom(&pixelBuffer)));
    return model.predictionFromFeatures(inputs);
}

MultiArrayRef getMultiArray(const FeatureMap& from, const std::string& name) {
    auto it = from.find(name);
    if (it == from.end() || it->second.type != FeatureType::MultiArray) return nullptr;
    return it->second.multiArray;
}

std::array<float, 4> getCoord(const MultiArray& coords, int32_t index) {
    long row = index;
    return {coords.at({row, 0}), coords.at({row, 1}), coords.at({row, 2}), coords.at({row, 3})};
}

std::optional<std::pair<MultiArrayRef, MultiArrayRef>> getDetections(const FeatureMap& modelOutput) {
    MultiArrayRef coords = getMultiArray(modelOutput, "coordinates");
    if (!coords) return std::nullopt;
    MultiArrayRef conf = getMultiArray(modelOutput, "confidence");
    if (!conf) return std::nullopt;
    // Every box row named by "confidence" must be readable in "coordinates".
    if (!isTwoDimensional(*coords) || !isTwoDimensional(*conf)) return std::nullopt;
    if (coords->shape()[1] < 4 || coords->shape()[0] < conf->shape()[0]) return std::nullopt;
    return std::make_pair(coords, conf);
}

std::optional<std::vector<Detection>> filterBySize(const MultiArray& coords, const MultiArray& conf,
                                                   float confThreshold, float width, float height) {
    long n = conf.shape().empty() ? 0 : conf.shape()[0];
    if (n < 1) return std::nullopt;

    std::vector<Detection> kept;
    for (long i = 0; i < n; ++i) {
        auto box = getCoord(coords, static_cast<int32_t>(i));
        float score = conf.at({i, 0});
        if (score >= confThreshold) kept.emplace_back(box[0], box[1], box[2], box[3], score, 0);
    }

    std::erase_if(kept, [&](const Detection& d) {
        return d.w * width < kMinimumSignPixels || d.h * height < kMinimumSignPixels;
    });
    return kept;
}

std::optional<std::vector<Detection>> filterBySize(const MultiArray& coords, const MultiArray& conf,
                                                   float confThreshold, PixelBuffer& rotatedBuffer) {
    return filterBySize(coords, conf, confThreshold, static_cast<float>(rotatedBuffer.width()),
                        static_cast<float>(rotatedBuffer.height()));
}

std::string digitRead(const FeatureMap& modelOutput, float confThreshold) {
    auto arrays = getDetections(modelOutput);
    if (!arrays) return {};
    const MultiArray& coords = *arrays->first;
    const MultiArray& conf = *arrays->second;

    std::vector<Detection> found;
    const long n = conf.shape()[0];
    for (long i = 0; i < n; ++i) {
        int32_t bestClass = -1;
        float bestScore = 0.0f;
        for (int32_t c = 0; c < kDigitClassCount; ++c) {
            float s = conf.at({i, static_cast<long>(c)});
            if (s > bestScore) {
                bestScore = s;
                bestClass = c;
            }
        }
        // A row where no class scored above 0 has no class at all, whatever
        // the threshold (a negative one would otherwise let it through).
        if (bestClass >= 0 && bestScore > confThreshold) {
            auto box = getCoord(coords, static_cast<int32_t>(i));
            found.emplace_back(box[0], box[1], box[2], box[3], bestScore, bestClass);
        }
    }

    std::stable_sort(found.begin(), found.end(), [](const Detection& a, const Detection& b) { return a.x < b.x; });
    std::string text;
    for (const Detection& d : found) text += d.classId == kLetterPClass ? std::string("P") : std::to_string(d.classId);
    return text;
}

PixelBufferRef detectSign(const char* signModelName, float confThreshold, PixelBuffer* pixelBuffer,
                          int32_t deviceRotation) {
    const std::string name = nameFrom(signModelName);
    ModelManager& registry = *ModelManager::shared();

    auto model = registry.getModel(name);
    if (!model) {
        logStdout("Model not loaded");
        return nullptr;
    }
    auto size = registry.getInputImageSize(name);
    if (!size) {
        logStdout("Failed to get input image size");
        return nullptr;
    }

    // The model's input comes from the planes in one pass; the full-size
    // upright frame is made only when there is a sign to cut out of it.
    PixelBufferRef camera = PixelBufferRef::retainFrom(pixelBuffer);
    if (!camera || camera->pixelFormatType() != kCVPixelFormatType_420YpCbCr8BiPlanarFullRange) {
        logStdout("Failed to convert NV12 to ARGB");
        return nullptr;
    }
    PixelBufferRef resized = uprightInputFromCamera(*camera, deviceRotation, size->first, size->second);
    if (!resized) {
        // Worded as the step of convert, turn and scale that would have failed.
        const bool sizeUsable = size->first > 0 && size->second > 0 && size->first <= 32768 && size->second <= 32768;
        logStdout(sizeUsable ? "Failed to convert NV12 to ARGB" : "Failed to resize pixel buffer");
        return nullptr;
    }

    auto output = predict(*resized, **model, "image");
    if (!output) {
        logStdout("Prediction error: " + output.error.description());
        return nullptr;
    }
    auto arrays = getDetections(*output);
    if (!arrays) return nullptr;

    // Quarter turns swap the frame's sides.
    const bool swap = deviceRotation == 1 || deviceRotation == 3;
    const float uprightWidth = static_cast<float>(swap ? camera->height() : camera->width());
    const float uprightHeight = static_cast<float>(swap ? camera->width() : camera->height());
    auto boxes = filterBySize(*arrays->first, *arrays->second, confThreshold, uprightWidth, uprightHeight);
    const Detection* best = nullptr;
    if (boxes) {
        for (const Detection& d : *boxes)
            if (!best || d.confidence > best->confidence) best = &d;
    }
    if (!best) return nullptr;  // no box: nothing to cut out
    PixelBufferRef argb = convertNV12ToARGB(*camera);
    if (!argb) {
        logStdout("Failed to convert NV12 to ARGB");
        return nullptr;
    }
    PixelBufferRef upright = counterDeviceRotation(*argb, deviceRotation);
    if (!upright) {
        logStdout("Failed to rotate CVPixelBuffer!");
        return nullptr;
    }
    return cropARGBPixelBufferFromYOLO(*upright, best->x, best->y, best->w, best->h);
}

std::optional<std::string> getDigit(const char* digitModelName, float confThreshold, PixelBuffer& buffer) {
    const std::string name = nameFrom(digitModelName);
    ModelManager& registry = *ModelManager::shared();
    auto model = registry.getModel(name);
    if (!model) return std::nullopt;
    auto size = registry.getInputImageSize(name);
    if (!size) return std::nullopt;

    PixelBufferRef resized = resizeARGBPixelBuffer(buffer, size->first, size->second);
    if (!resized) return std::nullopt;
    auto output = predict(*resized, **model, "image");
    if (!output) {
        logStdout("Prediction error: " + output.error.description());
        return std::nullopt;
    }
    return digitRead(*output, confThreshold);
}

int32_t floorFromDigitText(const std::string& text) {
    std::vector<int32_t> digits;
    for (char ch : text)
        if (ch >= '0' && ch <= '9') digits.push_back(ch - '0');
    if (digits.size() != 1 && digits.size() != 3 && digits.size() != 4) return -1;
    for (int32_t d : digits)
        if (d >= 1 && d <= 7) return d;
    return -1;
}

}  // namespace tevra

extern "C" int32_t detectFloor(const char* signModelName, float signConfThreshold, const char* digitModelName,
                               float digitConfThreshold, void* pixelBuffer, int32_t deviceRotation) {
    // Hold our own reference to the camera frame for the whole call.
    tevra::PixelBufferRef frame = tevra::PixelBufferRef::retainFrom(static_cast<tevra::PixelBuffer*>(pixelBuffer));
    tevra::PixelBufferRef sign = tevra::detectSign(signModelName, signConfThreshold, frame.get(), deviceRotation);
    if (!sign) return -1;
    auto text = tevra::getDigit(digitModelName, digitConfThreshold, *sign);
    if (!text) return -1;
    return tevra::floorFromDigitText(*text);
}
