// Scene model and renderer of tevra-synth.
//
// A scene is a box-shaped room (floor at y = 0, x across, z along the room,
// the front wall at z = -depth/2) whose floor, ceiling and walls are
// textured quads, plus flat wall items: floor signs (a light rectangle with a
// dark text such as "3", "P2" or "305") and clutter (posters, panels). Lights
// are baked into the textures when the scene is built.
//
// Rendering is exact planar perspective: each quad is clipped against the
// camera's near plane and drawn through the homography from its texture to
// the image (cv::warpPerspective, a mip level chosen by the quad's scale).
// The room is convex and the items lie on its walls, so drawing walls first
// and items after them resolves every occlusion.
//
// Cameras follow the session conventions (docs/sessions.md): camera-to-world
// poses in the sensor's landscape orientation, looking down -z, pixel
// u = cx + fx X / -Z, v = cy - fy Y / -Z. A phone held upright has its
// sensor's +x pointing down and +y pointing right.
//
// A scene may also hold a printed board (platform/live/Board.h) lying flat
// on the floor, face up: its pattern's +x along the scene's +x, down the page
// along the scene's +z. Its world is the scene's translated by the board's
// centre on the floor, so a pose in the scene is a pose in the board's world
// after subtracting that centre.
//
// Everything is deterministic from the scene and its seed.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/live/Board.h"

namespace tevra::synth {

using Vec3 = cv::Vec3d;

struct Intrinsics {
    double fx = 1450, fy = 1450, cx = 960, cy = 720;
};

// Camera-to-world pose: rotation columns are the camera's x, y, z axes.
struct Pose {
    cv::Matx33d R = cv::Matx33d::eye();
    Vec3 t{0, 0, 0};
};

// A pose for a phone held upright at `eye`, looking at `target`, turned by
// `roll` radians about the view direction (positive: clockwise as seen).
Pose uprightLookAt(const Vec3& eye, const Vec3& target, double roll = 0);
// A pose for a camera held level (landscape: the sensor's +x right, +y up)
// at `eye`, looking at `target`, turned by `roll` as above.
Pose levelLookAt(const Vec3& eye, const Vec3& target, double roll = 0);

// Pixel (continuous, sensor image) of a world point, or none behind the
// near plane (0.05 m).
std::optional<cv::Point2d> project(const Pose& pose, const Intrinsics& k, const Vec3& world);

// Sensor pixel to the upright frame (width = sensor height): a quarter turn
// clockwise, as the detection code turns a portrait frame.
cv::Point2d sensorToUpright(const cv::Point2d& p, int sensorHeight);

// A flat textured rectangle: texture pixel (s, t) of an image w x h lies at
// origin + u * s / w + v * t / h.
struct Quad {
    Vec3 origin, u, v;
    std::vector<cv::Mat> levels;  // RGB8 texture and its mip levels
    int kind = 0;                 // 0 room surface, 1 clutter, 2 sign, 3 board
};

struct SignSpec {
    std::string text = "3";
    std::string wall = "front";  // front, back, left, right
    double along = 0;            // centre along the wall from its middle (m)
    double height = 1.8;         // centre above the floor (m)
    double size = 0.3;           // rectangle height (m); width follows the text
};

struct LightSpec {
    Vec3 position{0, 2.6, 0};
    double intensity = 1.0;
};

// The session camera: a walk-in from `start` towards sign `sign`, ending
// `stopDistance` metres in front of it and looking at it.
struct TrajectorySpec {
    int frames = 72;
    double fps = 30;
    Vec3 start{0.6, 1.45, 4.5};
    double stopDistance = 2.4;
    int limitedFrames = 10;  // tracking "limited" (initializing) at first
    size_t sign = 0;
};

// A printed board on the floor: its text (platform/live/Board.h) and the
// centre of its pattern on the floor.
struct BoardPlacement {
    std::string text = "default";
    double x = 0, z = 0;
};

struct SceneSpec {
    uint32_t seed = 1;
    double width = 6, depth = 12, height = 2.8;
    std::vector<SignSpec> signs;
    std::vector<LightSpec> lights;  // empty: chosen from the seed
    double ambient = -1;            // < 0: chosen from the seed
    int clutter = -1;               // items on the walls; < 0: from the seed
    TrajectorySpec trajectory;
    std::optional<BoardPlacement> board;
};

// Parses a scene description (JSON). Unknown keys are refused. Empty
// optional: `error` says what is wrong.
std::optional<SceneSpec> parseSceneSpec(const std::string& jsonText, std::string& error);
// The scene's board when its text is good and it lies within the floor with
// its margin; none and `error` otherwise. A scene is built without a board
// that fails this.
std::optional<live::BoardSpec> boardOnTheFloor(const SceneSpec& spec, std::string& error);

// Where one character of a sign lies: its class (0-9, 10 for "P") and
// the four corners of its glyph box in world space (tl, tr, br, bl).
struct CharBox {
    int classId = 0;
    Vec3 corners[4];
};

struct SignInstance {
    std::string text;
    Vec3 corners[4];  // tl, tr, br, bl of the light rectangle
    Vec3 normal;      // into the room
    std::vector<CharBox> chars;
};

class Scene {
public:
    explicit Scene(const SceneSpec& spec);

    const SceneSpec& spec() const { return spec_; }
    const std::vector<SignInstance>& signs() const { return signs_; }
    // The board on the floor, when the scene has one, and the scene point of
    // its world's origin (the pattern's centre): board world = scene world -
    // boardOrigin().
    const std::optional<live::BoardSpec>& board() const { return board_; }
    Vec3 boardOrigin() const { return boardOrigin_; }
    // Renders the sensor image (RGB8, width x height).
    cv::Mat render(const Pose& pose, const Intrinsics& k, int width, int height) const;

private:
    void addRoom(std::mt19937& rng);
    void addSign(const SignSpec& s, std::mt19937& rng);
    void addClutter(std::mt19937& rng);
    void addBoard(const live::BoardSpec& board, std::mt19937& rng);
    bool wallFrame(const std::string& wall, Vec3& origin, Vec3& right, Vec3& normal, double& length) const;
    void light(cv::Mat& texture, const Quad& q) const;
    void drawQuad(cv::Mat& image, const Quad& q, const Pose& pose, const Intrinsics& k) const;

    SceneSpec spec_;
    std::vector<Quad> quads_;
    std::vector<SignInstance> signs_;
    std::vector<cv::Rect2d> occupied_[4];  // wall items per wall (along, height)
    cv::Vec3d tint_{1, 1, 1};
    std::optional<live::BoardSpec> board_;
    Vec3 boardOrigin_{0, 0, 0};
};

// The camera of `tevra-synth board` at `s` (0 to 1 over the run), held
// level: it circles the scene's board looking down at it from 0.4 to 1.2 m,
// turns away to the trajectory's sign (or up ahead without one) from s = 0.28
// to 0.62 (the board is out of view for about a quarter of the run: 1.2 s of
// 150 frames at 30 fps), turns back and moves in close. Scene world; the
// scene must have a board.
Pose boardTourPose(const Scene& scene, double s);

// Full-range BT.601 NV12 ("420f") planes from an RGB8 image of even size.
void rgbToNV12(const cv::Mat& rgb, uint8_t* y, size_t yStride, uint8_t* uv, size_t uvStride);

// A random upright view of a scene for training and evaluation. With a sign,
// the view shows `signIndex` whole, at least `minSignPx` tall in the upright
// frame, seen at up to `maxAngleDeg` off its normal.
struct ViewSample {
    Pose pose;
    bool ok = false;
};
ViewSample sampleSignView(const Scene& scene, size_t signIndex, const Intrinsics& k, int width, int height,
                          double minSignPx, double maxSignPx, double maxAngleDeg, std::mt19937& rng);
ViewSample sampleEmptyView(const Scene& scene, const Intrinsics& k, std::mt19937& rng);

// Box (x0, y0, x1, y1) in upright pixels around projected world points, or
// none when one is behind the camera.
std::optional<cv::Rect2d> uprightBox(const Pose& pose, const Intrinsics& k, int sensorHeight, const Vec3* points,
                                     size_t count);

// A random sign text: floors 1-7, P1-P7, rooms 101-799; with `wide`
// also two-digit numbers and other digits.
std::string randomSignText(std::mt19937& rng, bool wide);
// A random box-shaped room with `signs` signs. With `wideTexts` the texts are
// any (training views); without, every sign names the first one's floor, as
// on one floor of a building. Two signs on one wall never overlap.
SceneSpec randomSceneSpec(std::mt19937& rng, int signs, bool wideTexts);
// The floor a text names, as the detection code reads it (-1 for none).
int floorOfText(const std::string& text);

}  // namespace tevra::synth
