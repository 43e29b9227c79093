// tevra-synth: generated AR scenes for the replay driver, the model training
// and the floor-reading accuracy check.
//
//   tevra-synth session SCENE.json OUTPUT_DIR [--seed N] [--quality Q]
//       A recorded session (docs/sessions.md) of the scene: 1920 x 1440
//       frames in the sensor's landscape orientation, a phone held upright
//       walking in and turning to the scene's sign; tracking "limited" then
//       "normal"; a floor plane and the sign's wall plane that appear and grow.
//   tevra-synth views OUTPUT_DIR --count N [--seed S] [--empty F]
//       Random upright views for training: images/N.jpg (the upright frame
//       as the sign model sees it, 640 x 640), crops/N.png (the sign with a
//       margin, as cut from the upright full-size frame) and labels.jsonl.
//   tevra-synth eval --models DIR [--count 200] [--empty 200] [--seed S]
//                    [--sign-threshold 0.4] [--digit-threshold 0.5] [--min-px 40] [--max-px 320]
//                    [--orientation O[,O...]] [--verbose 1 [--dump DIR]]
//       Renders held-out views and runs detectFloor with the OpenCV runtime on
//       the models in DIR (NAME.mlmodelc, or NAME.mlpackage compiled first);
//       prints correct / wrong / none and the median time of detectFloor.
//       --orientation (device orientation codes, default 1 portrait; a list
//       such as 1,3,4 reads every view once per code and prints one tally
//       each) turns each upright view into the frame the camera delivers with
//       the device held that way (2 upside down, 3 landscape left, 4
//       landscape right; 0, 5 and 6 lying flat deliver the portrait frame)
//       and runs detectFloor with the rotation code the detection manager
//       gives for it.
//       --verbose prints each miss with the stage that failed (no sign
//       found, or the sign's cut-out and the text read from it); --dump
//       also writes those views to DIR.
//   tevra-synth read SESSION_DIR --models DIR [--every 10]
//       detectFloor (portrait) on every N-th frame of a recorded session.
//   tevra-synth board SCENE.json OUTPUT_DIR [--size 1280x720] [--frames 150] [--fps 30]
//                     [--seed N] [--board BOARD]
//       The live session's input and its ground truth: a camera held level
//       circling a printed board on the floor (boardTourPose: it looks away,
//       at the sign, for about a fifth of the run). Writes frames/NNNNNN.png
//       (lossless RGB, sensor orientation), truth/session.json (the true
//       camera-to-world poses in the board's world, timestamps i / fps, no
//       images) and camera.json (the true intrinsics as a calibration file),
//       and prints the camera source text that plays the frames. --board
//       replaces the scene's board text; a scene without a board gets one at
//       the centre of the floor ("default" unless --board says otherwise).
//
// Exit status: 0 on success, 1 when writing or loading fails, 2 for bad
// arguments.
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "SynthScene.h"
#include "detection/ImageUtils.h"
#include "detection/YOLODetectionManager.h"
#include "detection/YOLOInference.h"
#include "models/ModelManager.h"
#include "platform/ARSession.h"
#include "platform/Device.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/OpenCVModelRuntime.h"
#include "platform/sim/SessionWriter.h"

using namespace tevra;
using namespace tevra::synth;
namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 1920, kHeight = 1440;

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    bool has(const std::string& k) const { return options.count(k) > 0; }
    double number(const std::string& k, double fallback) const {
        auto it = options.find(k);
        return it == options.end() ? fallback : std::strtod(it->second.c_str(), nullptr);
    }
    std::string text(const std::string& k, const std::string& fallback) const {
        auto it = options.find(k);
        return it == options.end() ? fallback : it->second;
    }
};

bool parseArgs(int argc, char** argv, Args& a) {
    for (int i = 2; i < argc; ++i) {
        std::string s = argv[i];
        if (s.rfind("--", 0) == 0) {
            if (i + 1 >= argc) return false;
            a.options[s.substr(2)] = argv[++i];
        } else {
            a.positional.push_back(s);
        }
    }
    return true;
}

int usage() {
    std::fprintf(stderr,
                 "usage: tevra-synth session SCENE.json OUTPUT_DIR [--seed N] [--quality Q]\n"
                 "       tevra-synth views OUTPUT_DIR --count N [--seed S] [--empty F]\n"
                 "       tevra-synth eval --models DIR [--count N] [--empty N] [--seed S] [--sign-threshold T]\n"
                 "                        [--digit-threshold T] [--min-px P] [--max-px P] [--orientation O[,O...]]\n"
                 "                        [--verbose 1 [--dump DIR]]\n"
                 "       tevra-synth read SESSION_DIR --models DIR [--every N]\n"
                 "       tevra-synth board SCENE.json OUTPUT_DIR [--size WxH] [--frames N] [--fps F] [--seed N]\n"
                 "                         [--board BOARD]\n");
    return 2;
}

float4x4 toFloat4x4(const Pose& p) {
    float4x4 m = float4x4::identity();
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r) m.m(c, r) = static_cast<float>(p.R(r, c));
    for (int r = 0; r < 3; ++r) m.m(3, r) = static_cast<float>(p.t[r]);
    return m;
}

// A "420f" camera buffer of an RGB sensor image.
PixelBufferRef nv12Buffer(const cv::Mat& rgb) {
    PixelBufferRef buffer = PixelBuffer::create(rgb.cols, rgb.rows, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    if (!buffer) return buffer;
    PixelBufferLock lock(*buffer, 0);
    rgbToNV12(rgb, buffer->baseAddressOfPlane(0), buffer->bytesPerRowOfPlane(0), buffer->baseAddressOfPlane(1),
              buffer->bytesPerRowOfPlane(1));
    return buffer;
}

// ARGB buffer -> RGB8 image.
cv::Mat argbToRgb(PixelBuffer& argb) {
    PixelBufferLock lock(argb, kCVPixelBufferLock_ReadOnly);
    cv::Mat wrapped(static_cast<int>(argb.height()), static_cast<int>(argb.width()), CV_8UC4, argb.baseAddress(),
                    argb.bytesPerRow());
    cv::Mat rgb;
    int fromTo[] = {1, 0, 2, 1, 3, 2};
    rgb.create(wrapped.size(), CV_8UC3);
    cv::mixChannels(&wrapped, 1, &rgb, 1, fromTo, 3);
    return rgb;
}

// The upright full-size frame as the detection code sees it: the camera
// buffer converted to ARGB and turned for a phone held upright.
PixelBufferRef uprightFrame(PixelBuffer& camera) {
    PixelBufferRef argb = convertNV12ToARGB(camera);
    if (!argb) return argb;
    return counterDeviceRotation(*argb, 1);
}

// The scene file `path`, parsed; none after printing why.
std::optional<SceneSpec> loadScene(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "tevra-synth: cannot read %s\n", path.c_str());
        return std::nullopt;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    auto spec = parseSceneSpec(text.str(), error);
    if (!spec) std::fprintf(stderr, "tevra-synth: %s: %s\n", path.c_str(), error.c_str());
    return spec;
}

// ---- session ----

int runSession(const Args& a) {
    if (a.positional.size() != 2) return usage();
    auto spec = loadScene(a.positional[0]);
    if (!spec) return 1;
    std::string error;
    if (a.has("seed")) spec->seed = static_cast<uint32_t>(a.number("seed", 1));
    if (spec->signs.empty()) spec->signs.push_back(SignSpec{});
    Scene scene(*spec);
    const TrajectorySpec& tr = spec->trajectory;
    const SignInstance& sign = scene.signs().at(tr.sign);
    const Vec3 signCentre = (sign.corners[0] + sign.corners[2]) * 0.5;
    Vec3 end = signCentre + sign.normal * tr.stopDistance;
    end[1] = tr.start[1];
    Intrinsics k;
    sim::SessionWriter writer(
        a.positional[1], kWidth, kHeight,
        {static_cast<float>(k.fx), static_cast<float>(k.fy), static_cast<float>(k.cx), static_cast<float>(k.cy)},
        static_cast<int>(a.number("quality", 85)));
    const int n = tr.frames;
    const int floorFrame = std::min(n - 1, tr.limitedFrames + 3);
    const int wallFrame = std::min(n - 1, n / 2);
    for (int i = 0; i < n; ++i) {
        const double s = n > 1 ? static_cast<double>(i) / (n - 1) : 1.0;
        const double walk = s * s * (3 - 2 * s);
        Vec3 eye = tr.start + (end - tr.start) * walk;
        eye[1] += 0.015 * std::sin(i * 0.9);  // steps
        // First look ahead and down at the floor, then turn to the sign.
        Vec3 ahead = eye + cv::normalize(Vec3(end[0] - tr.start[0], 0, end[2] - tr.start[2])) * 3.0 + Vec3(0, -1.3, 0);
        double turn = std::clamp((s - 0.25) / 0.4, 0.0, 1.0);
        turn = turn * turn * (3 - 2 * turn);
        Vec3 target = ahead + (signCentre - ahead) * turn;
        Pose pose = uprightLookAt(eye, target, 0.03 * std::sin(i * 0.37));

        sim::RecordedFrame f;
        f.timestamp = 1.0 + i / tr.fps;
        f.transform = toFloat4x4(pose);
        f.intrinsics = {static_cast<float>(k.fx), static_cast<float>(k.fy), static_cast<float>(k.cx),
                        static_cast<float>(k.cy)};
        f.trackingState = i < tr.limitedFrames ? ARTrackingStateLimited : ARTrackingStateNormal;
        f.trackingStateReason = i < tr.limitedFrames ? ARTrackingStateReasonInitializing : ARTrackingStateReasonNone;
        if (i >= floorFrame && (i - floorFrame) % 3 == 0) {
            // The floor seen so far: from where the walk began to the floor
            // the camera looks at ahead of it (inside the room), widening as
            // more of it comes into view.
            sim::PlaneChange c;
            c.kind = i == floorFrame ? sim::PlaneChangeKind::Add : sim::PlaneChangeKind::Update;
            c.id = "floor";
            const float grown = 1.0f + 0.06f * static_cast<float>(i - floorFrame);
            const double halfW = spec->width / 2, halfD = spec->depth / 2;
            const Vec3 walkDir = cv::normalize(Vec3(end[0] - tr.start[0], 0, end[2] - tr.start[2]));
            Vec3 seen = eye + walkDir * 3.0;
            seen[0] = std::clamp(seen[0], -halfW, halfW);
            seen[2] = std::clamp(seen[2], -halfD, halfD);
            Vec3 from = tr.start;
            from[0] = std::clamp(from[0], -halfW, halfW);
            from[2] = std::clamp(from[2], -halfD, halfD);
            const Vec3 mid = (from + seen) * 0.5;
            const double length = std::abs(seen[2] - from[2]) + 1.0;
            c.transform = float4x4::translation(static_cast<float>(mid[0]), 0, static_cast<float>(mid[2]));
            c.extent = {std::min(grown, static_cast<float>(spec->width)), 0,
                        static_cast<float>(std::min(length, spec->depth))};
            f.planeChanges.push_back(c);
        }
        if (i >= wallFrame && (i - wallFrame) % 3 == 0) {
            // The sign's wall: plane y axis along the wall normal.
            sim::PlaneChange c;
            c.kind = i == wallFrame ? sim::PlaneChangeKind::Add : sim::PlaneChangeKind::Update;
            c.id = "wall";
            Vec3 x = cv::normalize(sign.corners[1] - sign.corners[0]), y = sign.normal, z = x.cross(y);
            float4x4 m = float4x4::identity();
            for (int r = 0; r < 3; ++r) {
                m.m(0, r) = static_cast<float>(x[r]);
                m.m(1, r) = static_cast<float>(y[r]);
                m.m(2, r) = static_cast<float>(z[r]);
            }
            Vec3 at = signCentre;
            at[1] = spec->height / 2;
            for (int r = 0; r < 3; ++r) m.m(3, r) = static_cast<float>(at[r]);
            c.transform = m;
            const float grown = 0.8f + 0.1f * static_cast<float>(i - wallFrame);
            c.extent = {std::min(grown * 1.5f, static_cast<float>(spec->width)), 0,
                        std::min(grown, static_cast<float>(spec->height))};
            f.planeChanges.push_back(c);
        }
        cv::Mat rgb = scene.render(pose, k, kWidth, kHeight);
        if (!writer.addFrame(f, rgb.data, rgb.step, error)) {
            std::fprintf(stderr, "tevra-synth: %s\n", error.c_str());
            return 1;
        }
    }
    if (!writer.finish(error)) {
        std::fprintf(stderr, "tevra-synth: %s\n", error.c_str());
        return 1;
    }
    std::printf("wrote %d frames of %dx%d to %s (sign \"%s\", floor %d)\n", n, kWidth, kHeight, a.positional[1].c_str(),
                sign.text.c_str(), floorOfText(sign.text));
    return 0;
}

// ---- random views ----

struct ViewRecord {
    cv::Mat rgb;                    // sensor image
    std::string text;               // "" without a sign
    std::optional<cv::Rect2d> box;  // upright pixels
    std::vector<std::pair<int, cv::Rect2d>> chars;
    std::vector<cv::Rect2d> others;  // the scene's other signs in front of the camera (upright pixels)
};

// One random view: a sign view with probability 1 - emptyFraction.
bool makeView(std::mt19937& rng, double emptyFraction, bool wide, double minPx, double maxPx, ViewRecord& out) {
    std::uniform_real_distribution<double> u(0, 1);
    Intrinsics k;
    k.fx = k.fy = 1350 + 250 * u(rng);
    const bool empty = u(rng) < emptyFraction;
    Scene scene(randomSceneSpec(rng, empty ? 0 : 1 + static_cast<int>(u(rng) < 0.3), wide));
    ViewSample v =
        empty ? sampleEmptyView(scene, k, rng) : sampleSignView(scene, 0, k, kWidth, kHeight, minPx, maxPx, 45, rng);
    if (!v.ok) return false;
    out = ViewRecord{};
    out.rgb = scene.render(v.pose, k, kWidth, kHeight);
    if (!empty) {
        const SignInstance& s = scene.signs()[0];
        out.text = s.text;
        out.box = uprightBox(v.pose, k, kHeight, s.corners, 4);
        for (const CharBox& c : s.chars) {
            auto b = uprightBox(v.pose, k, kHeight, c.corners, 4);
            if (b) out.chars.emplace_back(c.classId, *b);
        }
        for (size_t i = 1; i < scene.signs().size(); ++i)
            if (auto b = uprightBox(v.pose, k, kHeight, scene.signs()[i].corners, 4)) out.others.push_back(*b);
    }
    return true;
}

int runViews(const Args& a) {
    if (a.positional.size() != 1 || !a.has("count")) return usage();
    const fs::path dir = a.positional[0];
    std::error_code ec;
    fs::create_directories(dir / "images", ec);
    fs::create_directories(dir / "crops", ec);
    std::ofstream labels(dir / "labels.jsonl");
    if (!labels) {
        std::fprintf(stderr, "tevra-synth: cannot write %s\n", (dir / "labels.jsonl").c_str());
        return 1;
    }
    const int count = static_cast<int>(a.number("count", 100));
    const double emptyFraction = a.number("empty", 0.15);
    std::mt19937 rng(static_cast<uint32_t>(a.number("seed", 1)));
    int written = 0;
    while (written < count) {
        ViewRecord v;
        if (!makeView(rng, emptyFraction, true, 30, 420, v)) continue;
        PixelBufferRef camera = nv12Buffer(v.rgb);
        PixelBufferRef upright = camera ? uprightFrame(*camera) : PixelBufferRef();
        PixelBufferRef small = upright ? resizeARGBPixelBuffer(*upright, 640, 640) : PixelBufferRef();
        if (!small) {
            std::fprintf(stderr, "tevra-synth: image conversion failed\n");
            return 1;
        }
        char name[32];
        std::snprintf(name, sizeof name, "%06d", written);
        cv::Mat img = argbToRgb(*small);
        cv::cvtColor(img, img, cv::COLOR_RGB2BGR);
        cv::imwrite((dir / "images" / (std::string(name) + ".jpg")).string(), img, {cv::IMWRITE_JPEG_QUALITY, 92});
        nlohmann::json j;
        j["image"] = std::string("images/") + name + ".jpg";
        j["text"] = v.text;
        const double W = upright->width(), H = upright->height();
        if (v.box) {
            const cv::Rect2d& b = *v.box;
            j["sign"] = {(b.x + b.width / 2) / W, (b.y + b.height / 2) / H, b.width / W, b.height / H};
            // The crop: the sign with a margin of a third of its size.
            cv::Rect2d c(b.x - b.width / 3, b.y - b.height / 3, b.width * 5 / 3, b.height * 5 / 3);
            c &= cv::Rect2d(0, 0, W, H);
            cv::Mat full = argbToRgb(*upright);
            cv::Mat crop = full(cv::Rect(cv::Point(static_cast<int>(c.x), static_cast<int>(c.y)),
                                         cv::Point(static_cast<int>(c.x + c.width), static_cast<int>(c.y + c.height))))
                               .clone();
            const double fit = std::min(1.0, 200.0 / crop.rows);
            if (fit < 1) cv::resize(crop, crop, {}, fit, fit, cv::INTER_AREA);
            cv::cvtColor(crop, crop, cv::COLOR_RGB2BGR);
            cv::imwrite((dir / "crops" / (std::string(name) + ".png")).string(), crop);
            auto rel = [&](const cv::Rect2d& r) {
                return nlohmann::json{(r.x - c.x) / c.width, (r.y - c.y) / c.height, (r.x + r.width - c.x) / c.width,
                                      (r.y + r.height - c.y) / c.height};
            };
            j["crop"] = std::string("crops/") + name + ".png";
            j["cropSign"] = rel(b);  // x0, y0, x1, y1 as fractions of the crop
            nlohmann::json chars = nlohmann::json::array();
            for (auto& [cls, r] : v.chars) chars.push_back({{"class", cls}, {"box", rel(r)}});
            j["chars"] = chars;
        } else {
            j["sign"] = nullptr;
        }
        // Other signs that reach into the frame: a detector must not learn
        // them as background.
        nlohmann::json others = nlohmann::json::array();
        for (const cv::Rect2d& b : v.others)
            if ((b & cv::Rect2d(0, 0, W, H)).area() > 0)
                others.push_back({(b.x + b.width / 2) / W, (b.y + b.height / 2) / H, b.width / W, b.height / H});
        j["others"] = others;
        labels << j.dump() << "\n";
        ++written;
        if (written % 100 == 0) std::fprintf(stderr, "%d views\n", written);
    }
    std::printf("wrote %d views to %s\n", written, dir.c_str());
    return 0;
}

// ---- accuracy ----

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The fake platform the accuracy runs install (once per process).
const std::shared_ptr<fake::FakePlatform>& evalPlatform() {
    static auto fake = fake::FakePlatform::install();
    return fake;
}

// The frame the camera delivers for a sensor image `rgb` taken with the
// device held upright, when the device is held in `orientation` instead and
// sees the same upright view. The upright view is `rgb` turned a quarter
// clockwise; the camera's frame is that view turned back by the device's
// turn: portrait a quarter counter-clockwise, upside down a quarter
// clockwise, landscape left not at all, landscape right a half turn. Lying
// flat (0, 5, 6) the frame is the portrait one.
// Example: a 1920 x 1440 portrait frame gives a 1440 x 1920 landscape-left
// frame whose top-left pixel is the portrait frame's bottom-left one.
cv::Mat sensorFrameForOrientation(const cv::Mat& rgb, long orientation) {
    cv::Mat out;
    switch (orientation) {
        case UIDeviceOrientationPortraitUpsideDown:
            cv::rotate(rgb, out, cv::ROTATE_180);
            return out;
        case UIDeviceOrientationLandscapeLeft:
            cv::rotate(rgb, out, cv::ROTATE_90_CLOCKWISE);
            return out;
        case UIDeviceOrientationLandscapeRight:
            cv::rotate(rgb, out, cv::ROTATE_90_COUNTERCLOCKWISE);
            return out;
        default:
            return rgb;
    }
}

// Installs the platform with the OpenCV runtime and loads the two models
// from `a`'s --models directory (compiled models as they are, packages
// compiled first, as a download would be). False, with a message, on failure.
bool loadModels(const Args& a, std::string& signName, std::string& digitName) {
    const auto& fake = evalPlatform();
    auto runtime = std::make_shared<OpenCVModelRuntime>();
    fake->platform->models = runtime;
    signName = a.text("sign", "yolo26n_sign_640");
    digitName = a.text("digit", "yolo26n_digit_640");
    // Compiled models are used as they are; packages are compiled first, as
    // a download would be.
    const fs::path models = a.text("models", "");
    const fs::path compiled = fs::temp_directory_path() / ("tevra-synth-eval-" + std::to_string(::getpid()));
    std::error_code ec;
    fs::create_directories(compiled, ec);
    for (const std::string& name : {signName, digitName}) {
        const fs::path target = compiled / (name + ".mlmodelc");
        if (fs::is_directory(models / (name + ".mlmodelc"))) {
            fs::copy(models / (name + ".mlmodelc"), target, fs::copy_options::recursive, ec);
        } else {
            auto built = runtime->compileModelAtURL((models / (name + ".mlpackage")).string());
            if (!built) {
                std::fprintf(stderr, "tevra-synth: cannot compile %s: %s\n", name.c_str(),
                             built.error.description().c_str());
                return false;
            }
            fs::copy(*built, target, fs::copy_options::recursive, ec);
            fs::remove_all(fs::path(*built).parent_path(), ec);
        }
    }
    fake->platform->resourcesDirectory = compiled.string();
    for (const std::string& name : {signName, digitName})
        if (ModelManager::shared()->loadModel(name)) {
            std::fprintf(stderr, "tevra-synth: cannot load %s from %s\n", name.c_str(), models.c_str());
            fs::remove_all(compiled, ec);
            return false;
        }
    fs::remove_all(compiled, ec);
    return true;
}

// The device orientation codes of --orientation ("1", or a list "1,3,4");
// empty when one is not a code from 0 to 6.
std::vector<long> orientationList(const std::string& text) {
    std::vector<long> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        char* end = nullptr;
        const long o = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || o < 0 || o > 6) return {};
        out.push_back(o);
    }
    return out;
}

int runEval(const Args& a) {
    if (!a.has("models")) return usage();
    const std::vector<long> orientations = orientationList(a.text("orientation", "1"));
    if (orientations.empty()) return usage();
    std::string signName, digitName;
    if (!loadModels(a, signName, digitName)) return 1;
    const int count = static_cast<int>(a.number("count", 200)), empties = static_cast<int>(a.number("empty", 200));
    const float signTh = static_cast<float>(a.number("sign-threshold", 0.4));
    const float digitTh = static_cast<float>(a.number("digit-threshold", 0.5));
    const double minPx = a.number("min-px", 40), maxPx = a.number("max-px", 320);
    const bool verbose = a.number("verbose", 0) != 0;
    // Each view is read once per orientation; the tallies are per orientation.
    struct Tally {
        long orientation = 1;
        int32_t rotation = 1;  // the code the detection manager gives for it
        int correct = 0, wrong = 0, none = 0, falseFloors = 0;
        std::vector<double> times;
    };
    std::vector<Tally> tallies;
    for (long o : orientations) {
        evalPlatform()->device->setOrientation(o);
        Tally t;
        t.orientation = o;
        t.rotation = YOLODetectionManager().getRotationNeeded();
        tallies.push_back(t);
    }
    std::mt19937 rng(static_cast<uint32_t>(a.number("seed", 20261208)));
    auto run = [&](const ViewRecord& v, Tally& t) {
        PixelBufferRef camera = nv12Buffer(sensorFrameForOrientation(v.rgb, t.orientation));
        auto t0 = std::chrono::steady_clock::now();
        int floor = detectFloor(signName.c_str(), signTh, digitName.c_str(), digitTh, camera.get(), t.rotation);
        t.times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        return floor;
    };
    for (int done = 0; done < count;) {
        ViewRecord v;
        if (!makeView(rng, 0, false, minPx, maxPx, v)) continue;
        const int expected = floorOfText(v.text);
        for (Tally& t : tallies) {
            const int got = run(v, t);
            if (got == expected)
                ++t.correct;
            else if (got == -1)
                ++t.none;
            else
                ++t.wrong;
            if (!verbose || got == expected) continue;
            // Which stage failed: the sign's cut-out and what the reader made of it.
            PixelBufferRef camera = nv12Buffer(sensorFrameForOrientation(v.rgb, t.orientation));
            PixelBufferRef sign = detectSign(signName.c_str(), signTh, camera.get(), t.rotation);
            std::string text = sign ? getDigit(digitName.c_str(), digitTh, *sign).value_or("?") : "";
            std::printf("view %d, orientation %ld: \"%s\" (%.0f x %.0f px) read as %d: ", done, t.orientation,
                        v.text.c_str(), v.box->width, v.box->height, got);
            if (a.has("dump")) {
                // The missed view, upright and small, for a look.
                std::error_code ec;
                fs::create_directories(a.text("dump", "."), ec);
                cv::Mat bgr;
                cv::cvtColor(v.rgb, bgr, cv::COLOR_RGB2BGR);
                cv::rotate(bgr, bgr, cv::ROTATE_90_CLOCKWISE);
                cv::resize(bgr, bgr, {}, 0.4, 0.4, cv::INTER_AREA);
                cv::imwrite((fs::path(a.text("dump", ".")) / ("view" + std::to_string(done) + ".jpg")).string(), bgr);
            }
            if (sign)
                std::printf("cut-out %d x %d, text \"%s\"\n", static_cast<int>(sign->width()),
                            static_cast<int>(sign->height()), text.c_str());
            else
                std::printf("no sign found\n");
        }
        ++done;
    }
    for (int done = 0; done < empties;) {
        ViewRecord v;
        if (!makeView(rng, 1, false, minPx, maxPx, v)) continue;
        for (Tally& t : tallies)
            if (run(v, t) != -1) ++t.falseFloors;
        ++done;
    }
    for (const Tally& t : tallies) {
        std::printf("orientation %ld (rotation code %d)\n", t.orientation, t.rotation);
        std::printf("sign views: %d, correct %d (%.1f%%), wrong %d (%.1f%%), none %d (%.1f%%)\n", count, t.correct,
                    100.0 * t.correct / std::max(1, count), t.wrong, 100.0 * t.wrong / std::max(1, count), t.none,
                    100.0 * t.none / std::max(1, count));
        std::printf("no-sign views: %d, false floors %d (%.1f%%)\n", empties, t.falseFloors,
                    100.0 * t.falseFloors / std::max(1, empties));
        std::printf("detectFloor median %.1f ms over %zu calls\n", median(t.times), t.times.size());
    }
    return 0;
}

// detectFloor (portrait) on every N-th frame of a recorded session.
int runRead(const Args& a) {
    if (a.positional.size() != 1 || !a.has("models")) return usage();
    std::string signName, digitName, error;
    if (!loadModels(a, signName, digitName)) return 1;
    auto rec = sim::SessionRecording::load(a.positional[0], error);
    if (!rec) {
        std::fprintf(stderr, "tevra-synth: %s\n", error.c_str());
        return 1;
    }
    const int every = std::max(1, static_cast<int>(a.number("every", 10)));
    const float signTh = static_cast<float>(a.number("sign-threshold", 0.4));
    const float digitTh = static_cast<float>(a.number("digit-threshold", 0.5));
    for (size_t i = 0; i < rec->frames().size(); i += every) {
        PixelBufferRef image = rec->imageForFrame(i, error);
        int floor = image ? detectFloor(signName.c_str(), signTh, digitName.c_str(), digitTh, image.get(), 1) : -1;
        std::printf("frame %zu: floor %d\n", i, floor);
    }
    return 0;
}

// ---- board ----

bool writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(text.data(), static_cast<std::streamsize>(text.size())) || !out.flush()) {
        std::fprintf(stderr, "tevra-synth: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

// A whole number option from `lo` to `hi`, the fallback when absent; false
// when present and not such a number.
bool wholeOption(const Args& a, const std::string& key, long lo, long hi, long& out) {
    if (!a.has(key)) return true;
    const std::string text = a.text(key, "");
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

int runBoard(const Args& a) {
    if (a.positional.size() != 2) return usage();
    long width = 1280, height = 720, frames = 150, seed = -1;
    if (a.has("size")) {
        // WxH, both even (the camera's "420f" frames halve them).
        const std::string size = a.text("size", "");
        const size_t x = size.find('x');
        Args wh;
        if (x != std::string::npos) wh.options = {{"w", size.substr(0, x)}, {"h", size.substr(x + 1)}};
        if (x == std::string::npos || !wholeOption(wh, "w", 16, 8192, width) ||
            !wholeOption(wh, "h", 16, 8192, height) || width % 2 || height % 2) {
            std::fprintf(stderr, "tevra-synth: --size must be WxH, even numbers from 16 to 8192\n");
            return 2;
        }
    }
    if (!wholeOption(a, "frames", 1, 100000, frames) || !wholeOption(a, "seed", 0, 4294967295L, seed)) return usage();
    const double fps = a.number("fps", 30);
    if (!(fps >= 1 && fps <= 240)) return usage();
    auto spec = loadScene(a.positional[0]);
    if (!spec) return 1;
    if (seed >= 0) spec->seed = static_cast<uint32_t>(seed);
    if (!spec->board) spec->board = BoardPlacement{};
    if (a.has("board")) spec->board->text = a.text("board", "");
    std::string error;
    if (!boardOnTheFloor(*spec, error)) {
        std::fprintf(stderr, "tevra-synth: %s\n", error.c_str());
        return 2;
    }
    const Scene scene(*spec);

    const fs::path out = fs::absolute(a.positional[1]).lexically_normal();
    std::error_code ec;
    fs::create_directories(out / "frames", ec);
    if (!ec) fs::create_directories(out / "truth", ec);
    if (ec) {
        std::fprintf(stderr, "tevra-synth: cannot create %s: %s\n", out.c_str(), ec.message().c_str());
        return 1;
    }
    // Square pixels, about 64 degrees across, the principal point at the
    // centre of the [0, width] x [0, height] pixel grid.
    Intrinsics k;
    k.fx = k.fy = 0.8 * static_cast<double>(width);
    k.cx = width / 2.0, k.cy = height / 2.0;

    using nlohmann::ordered_json;
    auto dump = [](const ordered_json& j) { return j.dump(-1, ' ', false, ordered_json::error_handler_t::replace); };
    std::string truth = "{\n \"version\": 1,\n \"imageSize\": " + dump({{"width", width}, {"height", height}}) +
                        ",\n \"intrinsics\": " + dump({{"fx", k.fx}, {"fy", k.fy}, {"cx", k.cx}, {"cy", k.cy}}) +
                        ",\n \"frames\": [\n";
    const Vec3 origin = scene.boardOrigin();
    for (long i = 0; i < frames; ++i) {
        const Pose pose = boardTourPose(scene, frames > 1 ? static_cast<double>(i) / (frames - 1) : 0.0);
        cv::Mat bgr;
        cv::cvtColor(scene.render(pose, k, static_cast<int>(width), static_cast<int>(height)), bgr, cv::COLOR_RGB2BGR);
        char name[32];
        std::snprintf(name, sizeof name, "%06ld.png", i);
        const fs::path file = out / "frames" / name;
        if (!cv::imwrite(file.string(), bgr, {cv::IMWRITE_PNG_COMPRESSION, 1})) {
            std::fprintf(stderr, "tevra-synth: cannot write %s\n", file.c_str());
            return 1;
        }
        // Camera-to-world in the board's world, column-major.
        ordered_json m = ordered_json::array();
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r)
                m.push_back(c < 3 ? (r < 3 ? pose.R(r, c) : 0.0) : (r < 3 ? pose.t[r] - origin[r] : 1.0));
        ordered_json f;
        f["timestamp"] = static_cast<double>(i) / fps;
        f["transform"] = m;
        f["trackingState"] = "normal";
        truth += "  " + dump(f) + (i + 1 < frames ? ",\n" : "\n");
    }
    truth += " ]\n}\n";
    // The calibration file is on the session's pixel grid, as the truth is
    // (platform/live/CameraCalibration.h): what tevra-calibrate would write.
    ordered_json camera;
    camera["version"] = 1;
    camera["imageSize"] = {{"width", width}, {"height", height}};
    camera["intrinsics"] = {{"fx", k.fx}, {"fy", k.fy}, {"cx", k.cx}, {"cy", k.cy}};
    camera["distortion"] = ordered_json::array();
    if (!writeText(out / "truth" / "session.json", truth) || !writeText(out / "camera.json", dump(camera) + "\n"))
        return 1;
    std::printf("%ld frames of %ldx%ld: file:%s\n", frames, width, height, (out / "frames" / "%06d.png").c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    Args a;
    if (!parseArgs(argc, argv, a)) return usage();
    const std::string cmd = argv[1];
    if (cmd == "session") return runSession(a);
    if (cmd == "views") return runViews(a);
    if (cmd == "eval") return runEval(a);
    if (cmd == "read") return runRead(a);
    if (cmd == "board") return runBoard(a);
    return usage();
}
