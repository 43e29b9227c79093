#include "platform/sim/SessionWriter.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

namespace tevra::sim {

namespace {

using ordered_json = nlohmann::ordered_json;

// The shortest decimal that reads back as the same float, as a double, so
// that 0.1f is written as 0.1 and not 0.10000000149011612.
double shortFloat(float v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf - 1, v);
    *r.ptr = '\0';
    return std::strtod(buf, nullptr);
}

ordered_json numbers(const float* v, size_t n) {
    ordered_json a = ordered_json::array();
    for (size_t i = 0; i < n; ++i) a.push_back(shortFloat(v[i]));
    return a;
}

ordered_json matrix(const float4x4& m) {
    auto e = m.elements();
    return numbers(e.data(), e.size());
}

ordered_json intrinsicsJson(const CameraIntrinsics& k) {
    return {{"fx", shortFloat(k.fx)}, {"fy", shortFloat(k.fy)}, {"cx", shortFloat(k.cx)}, {"cy", shortFloat(k.cy)}};
}

const char* const kStates[] = {"notAvailable", "limited", "normal"};
const char* const kReasons[] = {"none", "initializing", "excessiveMotion", "insufficientFeatures", "relocalizing"};

bool writeFile(const std::string& path, const void* data, size_t size, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size)) || !out.flush()) {
        error = path + ": cannot write file";
        return false;
    }
    return true;
}

}  // namespace

SessionWriter::SessionWriter(std::string directory, int width, int height, CameraIntrinsics intrinsics, int jpegQuality)
    : directory_(std::move(directory)),
      width_(width),
      height_(height),
      intrinsics_(intrinsics),
      quality_(jpegQuality) {}

bool SessionWriter::addFrame(const RecordedFrame& frame, const uint8_t* rgb, size_t rgbStride, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(directory_ + "/frames", ec);
    if (ec) {
        error = directory_ + "/frames: cannot create directory: " + ec.message();
        return false;
    }
    std::vector<uint8_t> jpeg;
    if (!encodeRGBToJpeg(rgb, width_, height_, rgbStride, quality_, jpeg, error)) return false;
    char name[32];
    std::snprintf(name, sizeof name, "frames/%06zu.jpg", frames_.size());
    if (!writeFile(directory_ + "/" + name, jpeg.data(), jpeg.size(), error)) return false;
    RecordedFrame kept = frame;
    kept.image = nullptr;
    frames_.push_back(std::move(kept));
    imageNames_.emplace_back(name);
    return true;
}

bool SessionWriter::addFrame(const RecordedFrame& frame, const PixelBuffer* image, std::string& error) {
    std::string name;
    if (image) {
        std::error_code ec;
        std::filesystem::create_directories(directory_ + "/frames", ec);
        if (ec) {
            error = directory_ + "/frames: cannot create directory: " + ec.message();
            return false;
        }
        if (static_cast<int>(image->width()) != width_ || static_cast<int>(image->height()) != height_) {
            error = "image is " + std::to_string(image->width()) + "x" + std::to_string(image->height()) +
                    ", the session's is " + std::to_string(width_) + "x" + std::to_string(height_);
            return false;
        }
        std::vector<uint8_t> jpeg;
        if (!encodeNV12ToJpeg(*image, quality_, jpeg, error)) return false;
        char buf[32];
        std::snprintf(buf, sizeof buf, "frames/%06zu.jpg", frames_.size());
        name = buf;
        if (!writeFile(directory_ + "/" + name, jpeg.data(), jpeg.size(), error)) return false;
    }
    RecordedFrame kept = frame;
    kept.image = nullptr;
    frames_.push_back(std::move(kept));
    imageNames_.push_back(std::move(name));
    return true;
}

bool SessionWriter::finish(std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    if (ec) {
        error = directory_ + ": cannot create directory: " + ec.message();
        return false;
    }
    ordered_json root;
    root["version"] = 1;
    root["imageSize"] = {{"width", width_}, {"height", height_}};
    root["intrinsics"] = intrinsicsJson(intrinsics_);
    ordered_json frames = ordered_json::array();
    for (size_t i = 0; i < frames_.size(); ++i) {
        const RecordedFrame& f = frames_[i];
        ordered_json jf;
        jf["timestamp"] = f.timestamp;
        jf["transform"] = matrix(f.transform);
        if (!(f.intrinsics == intrinsics_)) jf["intrinsics"] = intrinsicsJson(f.intrinsics);
        jf["trackingState"] = (f.trackingState >= 0 && f.trackingState < 3) ? kStates[f.trackingState] : "normal";
        jf["trackingStateReason"] =
            (f.trackingStateReason >= 0 && f.trackingStateReason < 5) ? kReasons[f.trackingStateReason] : "none";
        if (!imageNames_[i].empty()) jf["image"] = imageNames_[i];
        for (const bool planes : {true, false}) {
            const std::vector<PlaneChange>& changes = planes ? f.planeChanges : f.anchorChanges;
            if (changes.empty()) continue;
            ordered_json list = ordered_json::array();
            for (const PlaneChange& c : changes) {
                ordered_json jp;
                jp["change"] = c.kind == PlaneChangeKind::Add      ? "add"
                               : c.kind == PlaneChangeKind::Update ? "update"
                                                                   : "remove";
                jp["id"] = c.id;
                if (c.kind != PlaneChangeKind::Remove) jp["transform"] = matrix(c.transform);
                if (c.kind != PlaneChangeKind::Remove && planes) {
                    float ce[3] = {c.center.x, c.center.y, c.center.z};
                    float ex[3] = {c.extent.x, c.extent.y, c.extent.z};
                    jp["center"] = numbers(ce, 3);
                    jp["extent"] = numbers(ex, 3);
                }
                list.push_back(std::move(jp));
            }
            jf[planes ? "planes" : "anchors"] = std::move(list);
        }
        frames.push_back(std::move(jf));
    }
    // One line per frame keeps the file readable and diffable.
    std::string text = "{\n";
    // Texts that are not UTF-8 (a plane id) are written with replacement
    // characters rather than failing.
    auto dump = [](const ordered_json& j) { return j.dump(-1, ' ', false, ordered_json::error_handler_t::replace); };
    for (auto it = root.begin(); it != root.end(); ++it) text += " \"" + it.key() + "\": " + dump(it.value()) + ",\n";
    text += " \"frames\": [\n";
    for (size_t i = 0; i < frames.size(); ++i) text += "  " + dump(frames[i]) + (i + 1 < frames.size() ? ",\n" : "\n");
    text += " ]\n}\n";
    return writeFile(directory_ + "/session.json", text.data(), text.size(), error);
}

}  // namespace tevra::sim
