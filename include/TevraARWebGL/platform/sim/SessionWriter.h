/// @file
/// Writes a recorded-session directory in the format SessionRecording reads:
/// one JPEG per frame under frames/ and session.json (see docs/sessions.md).
///
/// In: the image size and intrinsics, then per frame its record (timestamp,
/// camera pose, tracking, plane changes, optional per-frame intrinsics) and
/// its RGB image. Out: the files. Failure: addFrame/finish return false with
/// an error text (cannot create a directory, cannot write a file, wrong image
/// size); nothing throws.
/// Example: 30 frames of 320 x 240 at quality 80 take about 200 KB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/SessionRecording.h"

namespace tevra::sim {

/// Writes a recorded-session directory.
class SessionWriter {
public:
    /// A writer of a session of `width` x `height` images with `intrinsics`
    /// into `directory`, JPEG quality `jpegQuality` (1-100).
    SessionWriter(std::string directory, int width, int height, CameraIntrinsics intrinsics, int jpegQuality = 80);

    /// Writes frames/NNNNNN.jpg from packed RGB rows (width x height) and keeps
    /// the record for session.json. The record's image fields are ignored; its
    /// intrinsics are written only when they differ from the session's.
    bool addFrame(const RecordedFrame& frame, const uint8_t* rgb, size_t rgbStride, std::string& error);
    /// Keeps the record for session.json and writes frames/NNNNNN.jpg from a
    /// 4:2:0 camera image, or no image file when `image` is null. The record's
    /// anchor changes are written too.
    bool addFrame(const RecordedFrame& frame, const PixelBuffer* image, std::string& error);
    /// Writes session.json.
    bool finish(std::string& error);

    /// The frames added so far.
    size_t frameCount() const { return frames_.size(); }

private:
    std::string directory_;
    int width_, height_;
    CameraIntrinsics intrinsics_;
    int quality_;
    std::vector<RecordedFrame> frames_;
    std::vector<std::string> imageNames_;
};

}  // namespace tevra::sim
