/// @file
/// A recorded AR session read from a directory: session.json (per-frame
/// timestamps, camera poses, intrinsics, tracking states and plane changes)
/// plus one camera image per frame (JPEG, or raw NV12 "420f" bytes). The
/// format is described in docs/sessions.md.
///
/// In: a directory path. Out: the frames, with their images decoded into
/// "420f" pixel buffers (full-range BT.601, as a JPEG's own YCbCr).
/// Failure: load() returns null and an error text naming the file and the
/// fault ("session.json: frame 3: \"transform\" needs 16 numbers"); it never
/// throws and never crashes on a malformed file.
/// Example: the demo session under examples/sessions/demo holds 30 frames of
/// 320 x 240 JPEG images, 1 s of walking forward with a floor plane growing.
///
/// Threads: load on any thread; a loaded recording is immutable and may be
/// shared. imageForFrame() may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "math/Simd.h"
#include "platform/PixelBuffer.h"
#include "platform/sim/SimCamera.h"

namespace tevra::sim {

/// What happens to a plane in a frame: Add (it appears), Update (it moves or
/// grows) or Remove (it is gone).
enum class PlaneChangeKind { Add, Update, Remove };

/// One change of a detected plane. `id` is the recording's name for the plane;
/// the session turns it into the anchor identifier (see planeAnchorIdentifier).
struct PlaneChange {
    /// Added, updated or removed.
    PlaneChangeKind kind = PlaneChangeKind::Add;
    /// The recording's name for the plane.
    std::string id;
    float4x4 transform = float4x4::identity();  ///< plane to world
    float3 center;                              ///< in the plane's own axes
    float3 extent;                              ///< x and z are the rectangle's size
};

/// The file of a frame's image: None (no image), Jpeg, or NV12 (raw "420f" bytes).
enum class ImageFileKind { None, Jpeg, NV12 };

/// One recorded frame.
struct RecordedFrame {
    double timestamp = 0;                       ///< seconds
    float4x4 transform = float4x4::identity();  ///< camera to world, sensor orientation
    /// The camera intrinsics at this frame.
    CameraIntrinsics intrinsics;
    long trackingState = 2;        ///< ARTrackingState
    long trackingStateReason = 0;  ///< ARTrackingStateReason
    /// The kind of the image file.
    ImageFileKind imageKind = ImageFileKind::None;
    std::string imagePath;  ///< full path; empty for no image
    PixelBufferRef image;   ///< decoded at load, or null (decoded on demand)
    /// The plane changes of this frame, in order.
    std::vector<PlaneChange> planeChanges;
    /// The changes of anchors that are not planes (placed by a page or a
    /// person while the session was recorded), in order; `center` and
    /// `extent` are unused.
    std::vector<PlaneChange> anchorChanges;
};

/// How a recording is loaded.
struct SessionLoadOptions {
    /// Images are decoded at load when all of them together take at most this
    /// many bytes as "420f" buffers; otherwise each is decoded when it is
    /// needed (its file is still checked at load).
    size_t preloadLimitBytes = size_t{256} << 20;
};

/// A recorded AR session, immutable once loaded.
class SessionRecording {
public:
    /// Reads `directory`/session.json and checks every image. Null and `error`
    /// set on failure.
    static std::shared_ptr<const SessionRecording> load(const std::string& directory, std::string& error,
                                                        const SessionLoadOptions& options = {});
    /// Parses session.json text; image paths are resolved against `directory`
    /// and checked as by load().
    static std::shared_ptr<const SessionRecording> parse(const std::string& jsonText, const std::string& directory,
                                                         std::string& error, const SessionLoadOptions& options = {});

    /// The directory the recording was read from.
    const std::string& directory() const { return directory_; }
    /// The camera image size in pixels (sensor orientation).
    Size imageSize() const { return {static_cast<double>(width_), static_cast<double>(height_)}; }
    /// The camera image width in pixels.
    int imageWidth() const { return width_; }
    /// The camera image height in pixels.
    int imageHeight() const { return height_; }
    /// The frames in order.
    const std::vector<RecordedFrame>& frames() const { return frames_; }
    /// Median spacing of the timestamps (1/30 s for fewer than two frames).
    double frameInterval() const { return frameInterval_; }

    /// The camera image of frame `index`: the preloaded buffer, or freshly
    /// decoded. Null with `error` set when there is none or it cannot be read;
    /// null with `error` empty for a frame recorded without an image.
    PixelBufferRef imageForFrame(size_t index, std::string& error) const;

private:
    SessionRecording() = default;
    std::string directory_;
    int width_ = 0, height_ = 0;
    double frameInterval_ = 1.0 / 30;
    std::vector<RecordedFrame> frames_;
};

/// The anchor identifier (canonical upper-case UUID text) for a recording's
/// plane id: a UUID id is upper-cased, any other text is hashed into a stable
/// name-based UUID.
std::string planeAnchorIdentifier(const std::string& recordingId);

// ---- Image helpers (also used by the session writer and the tests). ----

/// A new "420f" buffer from packed 8-bit RGB rows (full-range BT.601, chroma
/// averaged over 2 x 2 pixels). Null for a zero size.
PixelBufferRef nv12FromRGB(const uint8_t* rgb, int width, int height, size_t rgbStride);

/// Decodes a JPEG into a new "420f" buffer. Null and `error` set on failure.
PixelBufferRef decodeJpegToNV12(const uint8_t* data, size_t size, std::string& error);

/// Reads the size of a JPEG from its header. False and `error` set on failure.
bool readJpegSize(const uint8_t* data, size_t size, int& width, int& height, std::string& error);

/// Encodes packed RGB rows as a baseline 4:2:0 JPEG. False and `error` set on
/// failure.
bool encodeRGBToJpeg(const uint8_t* rgb, int width, int height, size_t rgbStride, int quality,
                     std::vector<uint8_t>& jpeg, std::string& error);

/// Encodes a 4:2:0 two-plane buffer ("420f" or "420v") as a baseline 4:2:0
/// JPEG straight from its planes. False and `error` set on failure.
bool encodeNV12ToJpeg(const PixelBuffer& image, int quality, std::vector<uint8_t>& jpeg, std::string& error);

/// Reads a raw NV12 file: width x height luma bytes, then ceil(width/2) x
/// ceil(height/2) Cb/Cr pairs, rows packed. Null and `error` set on failure.
PixelBufferRef loadNV12File(const std::string& path, int width, int height, std::string& error);

}  // namespace tevra::sim
