#include "platform/live/CameraCalibration.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <numbers>

namespace tevra::live {

namespace {

using nlohmann::json;

constexpr size_t kMaxFileBytes = 64 * 1024;
constexpr int kMaxImageSide = 65536;
constexpr double kMaxFocal = 1e6;
constexpr double kMaxDistortion = 1e4;
constexpr double kMaxRms = 1e6;
constexpr int kMaxViews = 1000000;

// A name or path as it may appear inside one error line: no control bytes,
// at most 120 bytes.
std::string shown(const std::string& name) {
    std::string out;
    for (char c : name.substr(0, 120)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    if (name.size() > 120) out += "...";
    return out;
}

std::string prefix(const std::string& name) { return "camera calibration \"" + shown(name) + "\": "; }

bool validDistortionCount(size_t n) { return n == 0 || n == 4 || n == 5 || n == 8 || n == 12 || n == 14; }

// The checks every calibration passes, whether read or about to be written;
// empty when it is sound.
std::string fault(const CameraCalibration& c) {
    if (c.width < 1 || c.width > kMaxImageSide || c.height < 1 || c.height > kMaxImageSide)
        return "imageSize must be whole numbers from 1 to " + std::to_string(kMaxImageSide);
    auto focal = [](double f) { return std::isfinite(f) && f > 0 && f <= kMaxFocal; };
    if (!focal(c.fx) || !focal(c.fy)) return "fx and fy must be above 0 and at most 1e6 pixels";
    if (!std::isfinite(c.cx) || !std::isfinite(c.cy) || c.cx < 0 || c.cx > c.width || c.cy < 0 || c.cy > c.height)
        return "cx and cy must lie within the image";
    if (!validDistortionCount(c.distortion.size())) return "distortion must hold 0, 4, 5, 8, 12 or 14 numbers";
    for (double k : c.distortion)
        if (!std::isfinite(k) || std::fabs(k) > kMaxDistortion) return "distortion numbers must be finite, at most 1e4";
    if (!std::isfinite(c.rms) || c.rms < 0 || c.rms > kMaxRms) return "rms must be a number from 0 to 1e6";
    if (c.views < 0 || c.views > kMaxViews) return "views must be a whole number from 0 to 1e6";
    return {};
}

bool wholeNumber(const json& j, long long low, long long high, int& out) {
    if (!j.is_number_integer()) return false;
    if (j.is_number_unsigned()) {
        const auto v = j.get<unsigned long long>();
        if (v > static_cast<unsigned long long>(high)) return false;
        out = static_cast<int>(v);
        return low <= static_cast<long long>(v);
    }
    const auto v = j.get<long long>();
    if (v < low || v > high) return false;
    out = static_cast<int>(v);
    return true;
}

bool number(const json& j, double& out) {
    if (!j.is_number()) return false;
    out = j.get<double>();
    return std::isfinite(out);
}

}  // namespace

sim::CameraIntrinsics CameraCalibration::intrinsicsFor(int imageWidth, int imageHeight) const {
    double sx = 1, sy = 1;
    if (width > 0 && height > 0 && imageWidth > 0 && imageHeight > 0) {
        sx = static_cast<double>(imageWidth) / width;
        sy = static_cast<double>(imageHeight) / height;
    }
    // The grid's pixel centres sit at i + 0.5, so scaling the coordinate
    // scales pixel centres onto pixel centres (OpenCV's (c + 0.5) * s - 0.5).
    return {static_cast<float>(fx * sx), static_cast<float>(fy * sy), static_cast<float>(cx * sx),
            static_cast<float>(cy * sy)};
}

CameraCalibration calibrationFromFieldOfView(int width, int height, double horizontalDegrees) {
    if (!std::isfinite(horizontalDegrees) || horizontalDegrees < 1 || horizontalDegrees > 179) horizontalDegrees = 60;
    CameraCalibration c;
    c.width = width;
    c.height = height;
    c.fx = c.fy = (width / 2.0) / std::tan(horizontalDegrees * std::numbers::pi / 360.0);
    c.cx = width / 2.0;
    c.cy = height / 2.0;
    return c;
}

std::optional<CameraCalibration> parseCameraCalibration(const std::string& text, const std::string& name,
                                                        std::string& error) {
    auto fail = [&](const std::string& why) {
        error = prefix(name) + why;
        return std::nullopt;
    };
    json j;
    try {
        j = json::parse(text);
    } catch (const json::parse_error& e) {
        // The parser's own text quotes the file's bytes; the position is enough.
        return fail("not JSON (at byte " + std::to_string(e.byte) + ")");
    } catch (const json::out_of_range&) {
        return fail("holds a number out of range");
    } catch (const json::exception&) {
        return fail("not JSON");
    }
    if (!j.is_object()) return fail("not a JSON object");
    int version = 0;
    if (!j.contains("version") || !wholeNumber(j["version"], 1, 1, version)) return fail("version must be 1");
    CameraCalibration c;
    const json* size = j.contains("imageSize") ? &j["imageSize"] : nullptr;
    if (!size || !size->is_object() || !size->contains("width") || !size->contains("height"))
        return fail("imageSize must be {\"width\", \"height\"}");
    if (!wholeNumber((*size)["width"], 1, kMaxImageSide, c.width) ||
        !wholeNumber((*size)["height"], 1, kMaxImageSide, c.height))
        return fail("imageSize must be whole numbers from 1 to " + std::to_string(kMaxImageSide));
    const json* k = j.contains("intrinsics") ? &j["intrinsics"] : nullptr;
    if (!k || !k->is_object()) return fail("intrinsics must be {\"fx\", \"fy\", \"cx\", \"cy\"}");
    for (const auto& [key, out] :
         {std::pair<const char*, double*>{"fx", &c.fx}, {"fy", &c.fy}, {"cx", &c.cx}, {"cy", &c.cy}}) {
        if (!k->contains(key)) return fail(std::string("intrinsics lack ") + key);
        if (!number((*k)[key], *out)) return fail(std::string("intrinsics ") + key + " must be a number");
    }
    if (j.contains("distortion")) {
        const json& d = j["distortion"];
        if (!d.is_array() || !validDistortionCount(d.size()))
            return fail("distortion must hold 0, 4, 5, 8, 12 or 14 numbers");
        for (const json& v : d) {
            double x = 0;
            if (!number(v, x)) return fail("distortion numbers must be finite, at most 1e4");
            c.distortion.push_back(x);
        }
    }
    if (j.contains("rms") && !number(j["rms"], c.rms)) return fail("rms must be a number from 0 to 1e6");
    if (j.contains("views") && !wholeNumber(j["views"], 0, kMaxViews, c.views))
        return fail("views must be a whole number from 0 to 1e6");
    if (std::string why = fault(c); !why.empty()) return fail(why);
    return c;
}

std::optional<CameraCalibration> loadCameraCalibration(const std::string& path, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = prefix(path) + "cannot be opened (" + std::strerror(errno) + ")";
        return std::nullopt;
    }
    std::string text(kMaxFileBytes + 1, '\0');
    const size_t got = std::fread(text.data(), 1, text.size(), file);
    const bool failed = std::ferror(file) != 0;
    const int readErrno = errno;
    std::fclose(file);
    if (failed) {
        error = prefix(path) + "cannot be read (" + std::strerror(readErrno) + ")";
        return std::nullopt;
    }
    if (got > kMaxFileBytes) {
        error = prefix(path) + "larger than 64 KB";
        return std::nullopt;
    }
    text.resize(got);
    return parseCameraCalibration(text, path, error);
}

bool saveCameraCalibration(const CameraCalibration& calibration, const std::string& path, std::string& error) {
    if (std::string why = fault(calibration); !why.empty()) {
        error = prefix(path) + "not written: " + why;
        return false;
    }
    nlohmann::ordered_json j;
    j["version"] = 1;
    j["imageSize"] = {{"width", calibration.width}, {"height", calibration.height}};
    j["intrinsics"] = {{"fx", calibration.fx}, {"fy", calibration.fy}, {"cx", calibration.cx}, {"cy", calibration.cy}};
    j["distortion"] = calibration.distortion;
    j["rms"] = calibration.rms;
    j["views"] = calibration.views;
    // nlohmann writes the shortest text that reads back as the same double.
    const std::string text = j.dump(2) + "\n";

    // Written beside the file and renamed over it, so that a failed write
    // leaves an earlier calibration whole.
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) {
        error = prefix(path) + "cannot be written (" + std::strerror(errno) + ")";
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    int writeErrno = errno;
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        writeErrno = errno;
    }
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        writeErrno = errno;
    }
    if (!ok) {
        std::remove(temporary.c_str());
        error = prefix(path) + "cannot be written (" + std::strerror(writeErrno) + ")";
    }
    return ok;
}

}  // namespace tevra::live
