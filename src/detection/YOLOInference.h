// Reads a floor number from one camera frame with two detection models.
//
// In: the camera frame ("420f"), the device rotation code (0 none, 1 portrait,
// 2 landscape left, 3 portrait upside down), and the names and score
// thresholds of a sign model and a digit model registered in
// ModelManager::shared(). The sign model sees the upright frame stretched to
// its input size; its most confident box of at least 12 x 12 upright pixels
// is cut out of the full-resolution upright frame; the digit model reads the
// cut-out; its boxes, left to right, make a text such as "P2" or "305".
// Out: the first digit 1-7 of a text with 1, 3 or 4 digits, else -1.
// Example: a 1920 x 1440 frame whose sign box is (0.5, 0.5, 0.25, 0.1) is
// cropped to the 480 x 144 region centred in the frame; digit boxes of class
// 3 at x 0.6 and class 1 at x 0.2 read "13", which has two digits: -1.
// Fails with: -1 at detectFloor; none at the lower levels. Lines on standard
// output: "Model not loaded", "Failed to get input image size", "Failed to
// convert NV12 to ARGB", "Failed to rotate CVPixelBuffer!", "Failed to resize
// pixel buffer" (sign stage) and "Prediction error: <error>" (both stages).
//
// Threads: runs on the caller's thread (the AR frame callback) and keeps no
// state of its own.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/Error.h"
#include "platform/ModelRuntime.h"
#include "platform/PixelBuffer.h"

namespace tevra {

// One box reported by a model: centre and size as fractions of the model's
// input, the chosen class's score and the class (0 for signs, 0-10 digits).
struct Detection {
    float x = 0;
    float y = 0;
    float w = 0;
    float h = 0;
    float confidence = 0;
    int32_t classId = -1;

    Detection(float x_, float y_, float w_, float h_, float confidence_, int32_t classId_)
        : x(x_), y(y_), w(w_), h(h_), confidence(confidence_), classId(classId_) {}
    // All coordinates 0, confidence 0, classId -1.
    static const Detection& empty();
};

using MultiArrayRef = std::shared_ptr<MultiArray>;

// Runs `model` on `pixelBuffer` (32-bit ARGB, of the model's input size) fed
// as the image input `inputName`. The runtime's error is passed on.
Expected<FeatureMap> predict(PixelBuffer& pixelBuffer, Model& model, const std::string& inputName = "image");

// The output feature `name` when it is a multi-array, else null.
MultiArrayRef getMultiArray(const FeatureMap& from, const std::string& name);

// Row `index` of a "coordinates" array: columns 0-3 (x, y, w, h).
std::array<float, 4> getCoord(const MultiArray& coords, int32_t index);

// "coordinates" and "confidence", or none when either is missing, is not a
// two-dimensional array, or "coordinates" has fewer than 4 columns or fewer
// rows than "confidence" (its rows could not all be read).
std::optional<std::pair<MultiArrayRef, MultiArrayRef>> getDetections(const FeatureMap& modelOutput);

// Sign boxes with a score of at least `confThreshold` that are at least 12
// pixels wide and high in `rotatedBuffer`, in model order; none when
// "confidence" has no rows.
std::optional<std::vector<Detection>> filterBySize(const MultiArray& coords, const MultiArray& conf,
                                                   float confThreshold, PixelBuffer& rotatedBuffer);

// The same for an upright frame of width x height pixels.
std::optional<std::vector<Detection>> filterBySize(const MultiArray& coords, const MultiArray& conf,
                                                   float confThreshold, float width, float height);

// The digit model's boxes scoring above `confThreshold`, left to right, as
// text ("0"-"9", class 10 as "P"); empty when an output is missing.
std::string digitRead(const FeatureMap& modelOutput, float confThreshold);

// The upright cut-out of the most confident sign, or null.
PixelBufferRef detectSign(const char* signModelName, float confThreshold, PixelBuffer* pixelBuffer,
                          int32_t deviceRotation);

// The text the digit model reads in `buffer` (possibly empty), or none.
std::optional<std::string> getDigit(const char* digitModelName, float confThreshold, PixelBuffer& buffer);

// The floor a digit text names: its numeric characters must number 1, 3 or 4,
// and the first of them between 1 and 7 is the floor; else -1.
// "5" -> 5, "P2" -> 2, "305" -> 3, "12" -> -1, "007" -> 7.
int32_t floorFromDigitText(const std::string& text);

}  // namespace tevra

// The entry point, exported under its plain name. `pixelBuffer` is a
// tevra::PixelBuffer* of the camera frame; the call holds its own reference
// while it runs. Returns the floor 1-7, or -1.
extern "C" int32_t detectFloor(const char* signModelName, float signConfThreshold, const char* digitModelName,
                               float digitConfThreshold, void* pixelBuffer, int32_t deviceRotation);
