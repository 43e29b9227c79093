#include "SynthScene.h"

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "platform/live/BoardImage.h"

namespace tevra::synth {

namespace {

constexpr double kNear = 0.05;
constexpr double kPi = 3.14159265358979323846;
const Vec3 kUp{0, 1, 0};

double uni(std::mt19937& rng, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
int uniInt(std::mt19937& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

Vec3 normalized(const Vec3& v) {
    double n = cv::norm(v);
    return n > 0 ? v / n : v;
}

cv::Vec3b toByte(const cv::Vec3d& c) {
    return {cv::saturate_cast<uint8_t>(c[0] * 255), cv::saturate_cast<uint8_t>(c[1] * 255),
            cv::saturate_cast<uint8_t>(c[2] * 255)};
}

cv::Scalar toScalar(const cv::Vec3d& c) { return {c[0] * 255, c[1] * 255, c[2] * 255}; }

void buildLevels(Quad& q, cv::Mat base) {
    q.levels.clear();
    q.levels.push_back(base);
    while (q.levels.size() < 7 && q.levels.back().cols > 8 && q.levels.back().rows > 8) {
        cv::Mat next;
        cv::pyrDown(q.levels.back(), next);
        q.levels.push_back(next);
    }
}

void addNoise(cv::Mat& texture, double sigma, std::mt19937& rng) {
    cv::Mat noise(texture.size(), CV_16SC3);
    cv::theRNG().state = rng();
    cv::randn(noise, 0, sigma);
    cv::Mat t16;
    texture.convertTo(t16, CV_16SC3);
    t16 += noise;
    t16.convertTo(texture, CV_8UC3);
}

const int kFonts[] = {cv::FONT_HERSHEY_SIMPLEX, cv::FONT_HERSHEY_DUPLEX, cv::FONT_HERSHEY_TRIPLEX,
                      cv::FONT_HERSHEY_COMPLEX, cv::FONT_HERSHEY_PLAIN};

}  // namespace

Pose uprightLookAt(const Vec3& eye, const Vec3& target, double roll) {
    Vec3 f = normalized(target - eye);
    Vec3 r = normalized(f.cross(kUp));
    if (cv::norm(r) < 1e-9) r = {1, 0, 0};
    Vec3 u = r.cross(f);
    Vec3 r2 = r * std::cos(roll) - u * std::sin(roll);
    Vec3 u2 = u * std::cos(roll) + r * std::sin(roll);
    // Held upright, the sensor's x axis points down and its y axis right.
    Vec3 x = -u2, y = r2, z = -f;
    Pose p;
    p.R = cv::Matx33d(x[0], y[0], z[0], x[1], y[1], z[1], x[2], y[2], z[2]);
    p.t = eye;
    return p;
}

Pose levelLookAt(const Vec3& eye, const Vec3& target, double roll) {
    // Upright, the sensor's x axis points down and its y axis right; held
    // level, they point right and up.
    Pose p = uprightLookAt(eye, target, roll);
    const cv::Matx33d upright = p.R;
    for (int r = 0; r < 3; ++r) p.R(r, 0) = upright(r, 1), p.R(r, 1) = -upright(r, 0);
    return p;
}

std::optional<cv::Point2d> project(const Pose& pose, const Intrinsics& k, const Vec3& world) {
    Vec3 c = pose.R.t() * (world - pose.t);
    if (c[2] > -kNear) return std::nullopt;
    return cv::Point2d(k.cx + k.fx * c[0] / -c[2], k.cy - k.fy * c[1] / -c[2]);
}

cv::Point2d sensorToUpright(const cv::Point2d& p, int sensorHeight) { return {sensorHeight - p.y, p.x}; }

std::optional<cv::Rect2d> uprightBox(const Pose& pose, const Intrinsics& k, int sensorHeight, const Vec3* points,
                                     size_t count) {
    double x0 = 1e30, y0 = 1e30, x1 = -1e30, y1 = -1e30;
    for (size_t i = 0; i < count; ++i) {
        auto p = project(pose, k, points[i]);
        if (!p) return std::nullopt;
        cv::Point2d q = sensorToUpright(*p, sensorHeight);
        x0 = std::min(x0, q.x), y0 = std::min(y0, q.y), x1 = std::max(x1, q.x), y1 = std::max(y1, q.y);
    }
    return cv::Rect2d(x0, y0, x1 - x0, y1 - y0);
}

// ---- Scene description ----

std::optional<SceneSpec> parseSceneSpec(const std::string& jsonText, std::string& error) {
    using nlohmann::json;
    json j = json::parse(jsonText, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        error = "the scene is not a JSON object";
        return std::nullopt;
    }
    SceneSpec s;
    auto number = [&](const json& o, const char* key, double& out, double lo, double hi) {
        if (!o.contains(key)) return true;
        if (!o[key].is_number() || o[key].get<double>() < lo || o[key].get<double>() > hi) {
            error = std::string("\"") + key + "\" must be a number from " + std::to_string(lo) + " to " +
                    std::to_string(hi);
            return false;
        }
        out = o[key].get<double>();
        return true;
    };
    auto vec3 = [&](const json& o, const char* key, Vec3& out) {
        if (!o.contains(key)) return true;
        const json& a = o[key];
        if (!a.is_array() || a.size() != 3 || !a[0].is_number() || !a[1].is_number() || !a[2].is_number()) {
            error = std::string("\"") + key + "\" must be 3 numbers";
            return false;
        }
        out = {a[0].get<double>(), a[1].get<double>(), a[2].get<double>()};
        return true;
    };
    auto onlyKeys = [&](const json& o, std::set<std::string> keys, const char* where) {
        for (auto it = o.begin(); it != o.end(); ++it)
            if (!keys.count(it.key())) {
                error = std::string(where) + ": unknown key \"" + it.key() + "\"";
                return false;
            }
        return true;
    };
    if (!onlyKeys(j, {"seed", "room", "signs", "lights", "ambient", "clutter", "trajectory", "board"}, "scene"))
        return {};
    double seed = 1, clutter = -1;
    if (!number(j, "seed", seed, 0, 4294967295.0) || !number(j, "ambient", s.ambient, 0, 2) ||
        !number(j, "clutter", clutter, -1, 40))
        return std::nullopt;
    s.seed = static_cast<uint32_t>(seed);
    s.clutter = static_cast<int>(clutter);
    if (j.contains("room")) {
        const json& r = j["room"];
        if (!r.is_object() || !onlyKeys(r, {"width", "depth", "height"}, "room")) {
            if (error.empty()) error = "\"room\" must be an object";
            return std::nullopt;
        }
        if (!number(r, "width", s.width, 2, 50) || !number(r, "depth", s.depth, 2, 50) ||
            !number(r, "height", s.height, 2, 10))
            return std::nullopt;
    }
    if (j.contains("signs")) {
        if (!j["signs"].is_array()) {
            error = "\"signs\" must be an array";
            return std::nullopt;
        }
        for (const json& o : j["signs"]) {
            SignSpec sign;
            if (!o.is_object() || !onlyKeys(o, {"text", "wall", "along", "height", "size"}, "sign")) {
                if (error.empty()) error = "a sign must be an object";
                return std::nullopt;
            }
            if (o.contains("text")) {
                if (!o["text"].is_string()) {
                    error = "a sign's \"text\" must be a string";
                    return std::nullopt;
                }
                sign.text = o["text"].get<std::string>();
            }
            if (sign.text.empty() || sign.text.size() > 6 ||
                !std::all_of(sign.text.begin(), sign.text.end(),
                             [](char c) { return (c >= '0' && c <= '9') || c == 'P'; })) {
                error = "a sign's text must be 1 to 6 characters of 0-9 and P: \"" + sign.text + "\"";
                return std::nullopt;
            }
            if (o.contains("wall")) {
                sign.wall = o["wall"].is_string() ? o["wall"].get<std::string>() : "";
                if (sign.wall != "front" && sign.wall != "back" && sign.wall != "left" && sign.wall != "right") {
                    error = "a sign's \"wall\" must be front, back, left or right";
                    return std::nullopt;
                }
            }
            if (!number(o, "along", sign.along, -25, 25) || !number(o, "height", sign.height, 0.1, 10) ||
                !number(o, "size", sign.size, 0.05, 2))
                return std::nullopt;
            s.signs.push_back(sign);
        }
    }
    if (j.contains("lights")) {
        if (!j["lights"].is_array()) {
            error = "\"lights\" must be an array";
            return std::nullopt;
        }
        for (const json& o : j["lights"]) {
            LightSpec l;
            if (!o.is_object() || !onlyKeys(o, {"position", "intensity"}, "light")) {
                if (error.empty()) error = "a light must be an object";
                return std::nullopt;
            }
            if (!vec3(o, "position", l.position) || !number(o, "intensity", l.intensity, 0, 10)) return std::nullopt;
            s.lights.push_back(l);
        }
    }
    if (j.contains("trajectory")) {
        const json& t = j["trajectory"];
        if (!t.is_object() ||
            !onlyKeys(t, {"frames", "fps", "start", "stopDistance", "limitedFrames", "sign"}, "trajectory")) {
            if (error.empty()) error = "\"trajectory\" must be an object";
            return std::nullopt;
        }
        double frames = s.trajectory.frames, limited = s.trajectory.limitedFrames, sign = 0;
        if (!number(t, "frames", frames, 2, 10000) || !number(t, "fps", s.trajectory.fps, 1, 240) ||
            !vec3(t, "start", s.trajectory.start) || !number(t, "stopDistance", s.trajectory.stopDistance, 0.5, 40) ||
            !number(t, "limitedFrames", limited, 0, 10000) || !number(t, "sign", sign, 0, 100))
            return std::nullopt;
        s.trajectory.frames = static_cast<int>(frames);
        s.trajectory.limitedFrames = static_cast<int>(limited);
        s.trajectory.sign = static_cast<size_t>(sign);
    }
    if (j.contains("board")) {
        const json& b = j["board"];
        if (!b.is_object() || !onlyKeys(b, {"text", "x", "z"}, "board")) {
            if (error.empty()) error = "\"board\" must be an object";
            return std::nullopt;
        }
        BoardPlacement placed;
        if (b.contains("text")) {
            if (!b["text"].is_string()) {
                error = "the board's \"text\" must be a string";
                return std::nullopt;
            }
            placed.text = b["text"].get<std::string>();
        }
        if (!number(b, "x", placed.x, -25, 25) || !number(b, "z", placed.z, -25, 25)) return std::nullopt;
        s.board = placed;
        if (!boardOnTheFloor(s, error)) return std::nullopt;
    }
    if (!s.signs.empty() && s.trajectory.sign >= s.signs.size()) {
        error = "the trajectory looks at a sign that does not exist";
        return std::nullopt;
    }
    return s;
}

namespace {

// The board's texture resolution: up to 4000 pixels per metre (a quarter of
// a millimetre), at most 4096 pixels across with the margin.
double boardPixelsPerMetre(const live::BoardSpec& board) {
    return std::min(4000.0, 4096.0 / (std::max(board.width(), board.height()) + 0.02));
}

}  // namespace

std::optional<live::BoardSpec> boardOnTheFloor(const SceneSpec& spec, std::string& error) {
    if (!spec.board) {
        error = "the scene has no board";
        return std::nullopt;
    }
    std::string why;
    auto board = live::parseBoardSpec(spec.board->text, why);
    if (!board) {
        error = why;
        return std::nullopt;
    }
    // The pattern and its 1 cm margin.
    if (std::abs(spec.board->x) + board->width() / 2 + 0.01 > spec.width / 2 ||
        std::abs(spec.board->z) + board->height() / 2 + 0.01 > spec.depth / 2) {
        error = "the board does not lie within the floor";
        return std::nullopt;
    }
    // A marker needs two texture pixels a cell (its bits and its border).
    const int cells = live::makeDictionary(*board)->markerSize + 2;
    if (board->markerLength * boardPixelsPerMetre(*board) < 2 * cells) {
        error = "the board's markers are too small to draw";
        return std::nullopt;
    }
    return board;
}

// ---- Scene building ----

Scene::Scene(const SceneSpec& spec) : spec_(spec) {
    std::mt19937 rng(spec.seed);
    tint_ = {uni(rng, 0.85, 1.1), uni(rng, 0.9, 1.05), uni(rng, 0.8, 1.1)};
    if (spec_.ambient < 0) spec_.ambient = uni(rng, 0.35, 0.75);
    if (spec_.lights.empty()) {
        int n = uniInt(rng, 1, 3);
        for (int i = 0; i < n; ++i)
            spec_.lights.push_back({{uni(rng, -spec_.width / 2, spec_.width / 2), spec_.height - 0.05,
                                     uni(rng, -spec_.depth / 2, spec_.depth / 2)},
                                    uni(rng, 0.6, 2.2)});
    }
    addRoom(rng);
    for (const SignSpec& s : spec_.signs) addSign(s, rng);
    addClutter(rng);
    std::string error;
    if (auto board = boardOnTheFloor(spec_, error)) addBoard(*board, rng);
}

bool Scene::wallFrame(const std::string& wall, Vec3& origin, Vec3& right, Vec3& normal, double& length) const {
    const double w = spec_.width / 2, d = spec_.depth / 2;
    if (wall == "front") {
        origin = {-w, 0, -d}, right = {1, 0, 0}, normal = {0, 0, 1}, length = spec_.width;
    } else if (wall == "back") {
        origin = {w, 0, d}, right = {-1, 0, 0}, normal = {0, 0, -1}, length = spec_.width;
    } else if (wall == "left") {
        origin = {-w, 0, d}, right = {0, 0, -1}, normal = {1, 0, 0}, length = spec_.depth;
    } else if (wall == "right") {
        origin = {w, 0, -d}, right = {0, 0, 1}, normal = {-1, 0, 0}, length = spec_.depth;
    } else {
        return false;
    }
    return true;
}

void Scene::light(cv::Mat& texture, const Quad& q) const {
    // Lighting is smooth: computed on a coarse grid and scaled up.
    const int gw = std::max(2, texture.cols / 8), gh = std::max(2, texture.rows / 8);
    cv::Mat gain(gh, gw, CV_32FC1);
    Vec3 n = normalized(q.v.cross(q.u));
    for (int y = 0; y < gh; ++y)
        for (int x = 0; x < gw; ++x) {
            Vec3 p = q.origin + q.u * ((x + 0.5) / gw) + q.v * ((y + 0.5) / gh);
            double g = spec_.ambient;
            for (const LightSpec& l : spec_.lights) {
                Vec3 d = l.position - p;
                double dist = cv::norm(d);
                if (dist < 1e-6) continue;
                g += l.intensity * std::max(0.0, n.dot(d / dist)) / (1 + 0.12 * dist * dist);
            }
            gain.at<float>(y, x) = static_cast<float>(std::min(g, 1.6));
        }
    cv::Mat big;
    cv::resize(gain, big, texture.size(), 0, 0, cv::INTER_LINEAR);
    for (int y = 0; y < texture.rows; ++y)
        for (int x = 0; x < texture.cols; ++x) {
            cv::Vec3b& px = texture.at<cv::Vec3b>(y, x);
            float g = big.at<float>(y, x);
            for (int c = 0; c < 3; ++c) px[c] = cv::saturate_cast<uint8_t>(px[c] * g * tint_[c]);
        }
}

void Scene::addRoom(std::mt19937& rng) {
    const double ppm = 100;  // texture pixels per metre
    const double w = spec_.width, d = spec_.depth, h = spec_.height;
    // Floor: tiles with grout lines.
    {
        Quad q;
        q.origin = {-w / 2, 0, -d / 2}, q.u = {w, 0, 0}, q.v = {0, 0, d};
        cv::Mat t(static_cast<int>(d * ppm), static_cast<int>(w * ppm), CV_8UC3);
        cv::Vec3d a{uni(rng, 0.3, 0.7), uni(rng, 0.3, 0.6), uni(rng, 0.25, 0.55)};
        cv::Vec3d b = a * uni(rng, 0.6, 0.85);
        const double tile = 0.5;
        for (int y = 0; y < t.rows; ++y)
            for (int x = 0; x < t.cols; ++x) {
                double wx = (x + 0.5) / ppm, wz = (y + 0.5) / ppm;
                int ix = static_cast<int>(std::floor(wx / tile)), iz = static_cast<int>(std::floor(wz / tile));
                t.at<cv::Vec3b>(y, x) = toByte(((ix + iz) & 1) ? b : a);
            }
        addNoise(t, 6, rng);
        light(t, q);
        buildLevels(q, t);
        quads_.push_back(std::move(q));
    }
    // Ceiling.
    {
        Quad q;
        q.origin = {-w / 2, h, d / 2}, q.u = {w, 0, 0}, q.v = {0, 0, -d};
        cv::Mat t(static_cast<int>(d * 20), static_cast<int>(w * 20), CV_8UC3, toScalar({0.9, 0.9, 0.88}));
        addNoise(t, 3, rng);
        light(t, q);
        buildLevels(q, t);
        quads_.push_back(std::move(q));
    }
    // Walls: one colour each, a darker baseboard.
    for (const char* wall : {"front", "back", "left", "right"}) {
        Vec3 o, r, n;
        double len = 0;
        wallFrame(wall, o, r, n, len);
        Quad q;
        q.origin = o + kUp * h, q.u = r * len, q.v = -kUp * h;
        cv::Vec3d base{uni(rng, 0.55, 0.95), uni(rng, 0.55, 0.95), uni(rng, 0.55, 0.95)};
        cv::Mat t(static_cast<int>(h * ppm), static_cast<int>(len * ppm), CV_8UC3, toScalar(base));
        int board = static_cast<int>(0.1 * ppm);
        cv::rectangle(t, cv::Rect(0, t.rows - board, t.cols, board), toScalar(base * 0.35), cv::FILLED);
        addNoise(t, 4, rng);
        light(t, q);
        buildLevels(q, t);
        quads_.push_back(std::move(q));
    }
}

// A wall item: finds a free place on `wall` (or uses the requested one) and
// returns the quad's frame; false when none is free.
namespace {
int wallIndex(const std::string& wall) { return wall == "front" ? 0 : wall == "back" ? 1 : wall == "left" ? 2 : 3; }
}  // namespace

void Scene::addSign(const SignSpec& s, std::mt19937& rng) {
    const double ppm = 600;
    const int font = kFonts[uniInt(rng, 0, 4)];
    const int thickness = uniInt(rng, 2, 4);
    // Text height between 45% and 70% of the sign's height.
    const int texH = static_cast<int>(s.size * ppm);
    const double textFrac = uni(rng, 0.45, 0.7);
    int baseline = 0;
    cv::Size unit = cv::getTextSize(s.text, font, 1.0, thickness, &baseline);
    const double scale = textFrac * texH / std::max(1, unit.height);
    cv::Size textSize = cv::getTextSize(s.text, font, scale, thickness * 3, &baseline);
    const int margin = static_cast<int>(texH * uni(rng, 0.18, 0.4));
    const int texW = std::max(static_cast<int>(texH * 0.8), textSize.width + 2 * margin);
    cv::Vec3d bg{uni(rng, 0.82, 1.0), uni(rng, 0.82, 1.0), uni(rng, 0.78, 1.0)};
    cv::Vec3d fg{uni(rng, 0.0, 0.2), uni(rng, 0.0, 0.2), uni(rng, 0.0, 0.25)};
    cv::Mat t(texH, texW, CV_8UC3, toScalar(bg));
    if (uni(rng, 0, 1) < 0.3) {
        int inset = texH / 16;
        cv::rectangle(t, cv::Rect(inset, inset, texW - 2 * inset, texH - 2 * inset), toScalar(fg),
                      std::max(2, texH / 60));
    }
    const int th = thickness * 3;
    const int x0 = (texW - textSize.width) / 2;
    const int baseY = (texH + textSize.height) / 2;
    cv::putText(t, s.text, {x0, baseY}, font, scale, toScalar(fg), th, cv::LINE_AA);
    addNoise(t, 3, rng);

    Vec3 o, r, n;
    double len = 0;
    wallFrame(s.wall, o, r, n, len);
    const double sw = texW / ppm, sh = texH / ppm;
    const double along = len / 2 + s.along;  // centre along the wall from its left end
    Quad q;
    q.kind = 2;
    q.origin = o + r * (along - sw / 2) + kUp * (s.height + sh / 2);
    q.u = r * sw, q.v = -kUp * sh;
    light(t, q);
    buildLevels(q, t);

    SignInstance inst;
    inst.text = s.text;
    inst.corners[0] = q.origin, inst.corners[1] = q.origin + q.u, inst.corners[2] = q.origin + q.u + q.v,
    inst.corners[3] = q.origin + q.v;
    inst.normal = n;
    // Character boxes: each glyph's advance along the baseline, the text's
    // full height (so "1" and "7" get boxes as tall as the others).
    for (size_t i = 0; i < s.text.size(); ++i) {
        int b = 0;
        int before = i ? cv::getTextSize(s.text.substr(0, i), font, scale, th, &b).width : 0;
        int with = cv::getTextSize(s.text.substr(0, i + 1), font, scale, th, &b).width;
        double cx0 = x0 + before, cx1 = x0 + with, cy0 = baseY - textSize.height, cy1 = baseY;
        CharBox c;
        c.classId = s.text[i] == 'P' ? 10 : s.text[i] - '0';
        auto at = [&](double px, double py) { return q.origin + q.u * (px / texW) + q.v * (py / texH); };
        c.corners[0] = at(cx0, cy0), c.corners[1] = at(cx1, cy0), c.corners[2] = at(cx1, cy1),
        c.corners[3] = at(cx0, cy1);
        inst.chars.push_back(c);
    }
    signs_.push_back(inst);
    occupied_[wallIndex(s.wall)].push_back(cv::Rect2d(along - sw / 2, s.height - sh / 2, sw, sh));
    quads_.push_back(std::move(q));
}

void Scene::addClutter(std::mt19937& rng) {
    const int count = spec_.clutter >= 0 ? spec_.clutter : uniInt(rng, 2, 10);
    const char* walls[] = {"front", "back", "left", "right"};
    static const char* kWords[] = {"EXIT", "WC", "INFO", "STAFF", "OFFICE", "AB", "LIFT", "NO", "CAFE", "KEY"};
    for (int i = 0; i < count; ++i) {
        const std::string wall = walls[uniInt(rng, 0, 3)];
        Vec3 o, r, n;
        double len = 0;
        wallFrame(wall, o, r, n, len);
        const int kind = uniInt(rng, 0, 3);  // 0 poster, 1 word panel, 2 door, 3 lined panel
        double w = kind == 2 ? uni(rng, 0.8, 1.0) : uni(rng, 0.25, 1.2);
        double h = kind == 2 ? uni(rng, 1.9, 2.1) : uni(rng, 0.2, 0.9);
        double along = uni(rng, w / 2 + 0.05, len - w / 2 - 0.05);
        double height = kind == 2 ? h / 2 : uni(rng, 0.6 + h / 2, spec_.height - h / 2 - 0.1);
        cv::Rect2d place(along - w / 2, height - h / 2, w, h);
        bool free = height - h / 2 >= 0 && along - w / 2 >= 0;
        for (const cv::Rect2d& other : occupied_[wallIndex(wall)])
            if ((place & cv::Rect2d(other.x - 0.1, other.y - 0.1, other.width + 0.2, other.height + 0.2)).area() > 0)
                free = false;
        if (!free) continue;
        const double ppm = 200;
        cv::Mat t(std::max(8, static_cast<int>(h * ppm)), std::max(8, static_cast<int>(w * ppm)), CV_8UC3);
        cv::Vec3d base{uni(rng, 0, 1), uni(rng, 0, 1), uni(rng, 0, 1)};
        if (kind == 0) {
            t.setTo(toScalar(base));
            for (int k = 0; k < 12; ++k) {
                cv::Point a(uniInt(rng, 0, t.cols), uniInt(rng, 0, t.rows));
                cv::Point b(uniInt(rng, 0, t.cols), uniInt(rng, 0, t.rows));
                cv::Vec3d c{uni(rng, 0, 1), uni(rng, 0, 1), uni(rng, 0, 1)};
                if (k % 2)
                    cv::rectangle(t, a, b, toScalar(c), cv::FILLED);
                else
                    cv::circle(t, a, uniInt(rng, 4, std::max(5, t.rows / 3)), toScalar(c), cv::FILLED);
            }
        } else if (kind == 1 || kind == 3) {
            cv::Vec3d light{uni(rng, 0.8, 1), uni(rng, 0.8, 1), uni(rng, 0.8, 1)};
            cv::Vec3d dark{uni(rng, 0, 0.25), uni(rng, 0, 0.25), uni(rng, 0, 0.25)};
            t.setTo(toScalar(light));
            if (kind == 1) {
                std::string word = kWords[uniInt(rng, 0, 9)];
                int b = 0;
                cv::Size unit = cv::getTextSize(word, cv::FONT_HERSHEY_SIMPLEX, 1.0, 2, &b);
                double s = std::min(0.6 * t.rows / unit.height, 0.85 * t.cols / unit.width);
                cv::Size ts = cv::getTextSize(word, cv::FONT_HERSHEY_SIMPLEX, s, 2, &b);
                cv::putText(t, word, {(t.cols - ts.width) / 2, (t.rows + ts.height) / 2}, cv::FONT_HERSHEY_SIMPLEX, s,
                            toScalar(dark), std::max(1, static_cast<int>(s * 2)), cv::LINE_AA);
            } else {
                for (int y = t.rows / 6; y < t.rows * 5 / 6; y += std::max(4, t.rows / 8))
                    cv::line(t, {t.cols / 8, y}, {t.cols / 8 + uniInt(rng, t.cols / 4, t.cols * 3 / 4), y},
                             toScalar(dark), std::max(1, t.rows / 40));
            }
        } else {
            t.setTo(toScalar(base * 0.6));
            cv::rectangle(t, cv::Rect(t.cols / 10, t.rows / 2, t.cols / 12, t.rows / 30), toScalar(base * 0.2),
                          cv::FILLED);
        }
        addNoise(t, 4, rng);
        Quad q;
        q.kind = 1;
        q.origin = o + r * (along - w / 2) + kUp * (height + h / 2);
        q.u = r * w, q.v = -kUp * h;
        light(t, q);
        buildLevels(q, t);
        occupied_[wallIndex(wall)].push_back(place);
        quads_.push_back(std::move(q));
    }
}

void Scene::addBoard(const live::BoardSpec& board, std::mt19937& rng) {
    // The printed pattern with a white margin of 1 cm around it.
    const double ppm = boardPixelsPerMetre(board);
    cv::Mat pattern;
    try {
        pattern = live::drawBoardImage(board, ppm);
    } catch (const cv::Exception&) {
        return;  // boardOnTheFloor() refuses what OpenCV cannot draw
    }
    const int margin = static_cast<int>(std::lround(0.01 * ppm));
    cv::Mat grey(pattern.rows + 2 * margin, pattern.cols + 2 * margin, CV_8UC1, cv::Scalar(255));
    pattern.copyTo(grey(cv::Rect(margin, margin, pattern.cols, pattern.rows)));
    cv::Mat t;
    cv::cvtColor(grey, t, cv::COLOR_GRAY2RGB);
    addNoise(t, 2, rng);
    // Pattern pixel (u, v) lies at board world (u / ppm - width / 2, 0,
    // v / ppm - height / 2) (platform/live/BoardImage.h), texture pixel
    // (u + margin, v + margin).
    boardOrigin_ = {spec_.board->x, 0, spec_.board->z};
    Quad q;
    q.kind = 3;
    q.origin = boardOrigin_ + Vec3(-board.width() / 2 - margin / ppm, 0, -board.height() / 2 - margin / ppm);
    q.u = {t.cols / ppm, 0, 0}, q.v = {0, 0, t.rows / ppm};
    light(t, q);
    // Mip levels by 2 x 2 averages, which keep every level's pixel centres
    // where drawQuad expects them, so the pattern's corners land exactly on
    // their projections at every distance.
    q.levels.push_back(t);
    while (q.levels.size() < 7 && q.levels.back().cols % 2 == 0 && q.levels.back().rows % 2 == 0 &&
           q.levels.back().cols > 16 && q.levels.back().rows > 16) {
        cv::Mat next;
        cv::resize(q.levels.back(), next, q.levels.back().size() / 2, 0, 0, cv::INTER_AREA);
        q.levels.push_back(next);
    }
    board_ = board;
    quads_.push_back(std::move(q));
}

Pose boardTourPose(const Scene& scene, double s) {
    const Vec3 centre = scene.boardOrigin();
    s = std::clamp(s, 0.0, 1.0);
    auto smooth = [](double a, double b, double x) {
        const double f = std::clamp((x - a) / (b - a), 0.0, 1.0);
        return f * f * (3 - 2 * f);
    };
    // Around the board from the bottom edge of the page, left to right, at
    // 0.9 - 1.1 m, pulling in to 0.45 m after the look away.
    const double azimuth = -0.55 + 1.0 * s + 0.12 * std::sin(9 * s);
    const double range =
        0.9 + 0.2 * std::sin(kPi * std::min(1.0, s / 0.6)) - 0.5 * smooth(0.66, 0.84, s) + 0.15 * smooth(0.9, 1.0, s);
    const double elevation = (55 + 10 * std::sin(7 * s)) * kPi / 180;
    Vec3 eye = centre + Vec3(std::sin(azimuth) * std::cos(elevation), std::sin(elevation),
                             std::cos(azimuth) * std::cos(elevation)) *
                            range;
    eye[1] += 0.004 * std::sin(60 * s);  // steps
    // Away: the sign the trajectory names, or up ahead.
    Vec3 away = centre + Vec3(0, 1.5, -3);
    if (!scene.signs().empty()) {
        const SignInstance& sign = scene.signs().at(std::min(scene.spec().trajectory.sign, scene.signs().size() - 1));
        away = (sign.corners[0] + sign.corners[2]) * 0.5;
    }
    const Vec3 onBoard = centre + Vec3(0.03 * std::sin(5 * s), 0, 0.03 * std::cos(4 * s));
    const double look = smooth(0.28, 0.43, s) - smooth(0.47, 0.62, s);
    return levelLookAt(eye, onBoard + (away - onBoard) * look, 0.05 * std::sin(6 * s));
}

// ---- Rendering ----

void Scene::drawQuad(cv::Mat& image, const Quad& q, const Pose& pose, const Intrinsics& k) const {
    const cv::Matx33d Rt = pose.R.t();
    const Vec3 world[4] = {q.origin, q.origin + q.u, q.origin + q.u + q.v, q.origin + q.v};
    std::vector<Vec3> poly;
    for (const Vec3& w : world) poly.push_back(Rt * (w - pose.t));
    // Keep the part in front of the near plane (z <= -near).
    std::vector<Vec3> clipped;
    for (size_t i = 0; i < poly.size(); ++i) {
        const Vec3& a = poly[i];
        const Vec3& b = poly[(i + 1) % poly.size()];
        bool ina = a[2] <= -kNear, inb = b[2] <= -kNear;
        if (ina) clipped.push_back(a);
        if (ina != inb) {
            double s = (-kNear - a[2]) / (b[2] - a[2]);
            clipped.push_back(a + (b - a) * s);
        }
    }
    if (clipped.size() < 3) return;
    std::vector<cv::Point2d> pts;
    for (const Vec3& c : clipped) pts.emplace_back(k.cx + k.fx * c[0] / -c[2], k.cy - k.fy * c[1] / -c[2]);
    double x0 = 1e30, y0 = 1e30, x1 = -1e30, y1 = -1e30;
    for (auto& p : pts) x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
    if (x1 <= 0 || y1 <= 0 || x0 >= image.cols || y0 >= image.rows) return;
    cv::Rect roi(
        cv::Point(static_cast<int>(std::floor(std::max(0.0, x0))), static_cast<int>(std::floor(std::max(0.0, y0)))),
        cv::Point(static_cast<int>(std::ceil(std::min<double>(image.cols, x1))),
                  static_cast<int>(std::ceil(std::min<double>(image.rows, y1)))));
    roi &= cv::Rect(0, 0, image.cols, image.rows);
    if (roi.width <= 0 || roi.height <= 0) return;

    // Texture (s, t) of the base level -> image, continuous coordinates:
    // camera point = A (s, t, 1); (u w, v w, w) = Kp * camera point.
    const cv::Mat& base = q.levels[0];
    Vec3 cu = Rt * q.u * (1.0 / base.cols), cv_ = Rt * q.v * (1.0 / base.rows), co = Rt * (q.origin - pose.t);
    cv::Matx33d A(cu[0], cv_[0], co[0], cu[1], cv_[1], co[1], cu[2], cv_[2], co[2]);
    cv::Matx33d Kp(k.fx, 0, -k.cx, 0, -k.fy, -k.cy, 0, 0, -1);
    cv::Matx33d H = Kp * A;

    // Mip level from the texels per pixel at the visible part's centre.
    cv::Point2d c(0, 0);
    for (auto& p : pts) c += p;
    c *= 1.0 / pts.size();
    cv::Matx33d Hi = H.inv();
    auto tex = [&](double u, double v) {
        Vec3 s = Hi * Vec3(u, v, 1);
        return cv::Point2d(s[0] / s[2], s[1] / s[2]);
    };
    cv::Point2d t0 = tex(c.x, c.y), tu = tex(c.x + 1, c.y), tv = tex(c.x, c.y + 1);
    double det = std::fabs((tu.x - t0.x) * (tv.y - t0.y) - (tu.y - t0.y) * (tv.x - t0.x));
    int level = std::clamp(static_cast<int>(std::floor(std::log2(std::max(1.0, std::sqrt(det))))), 0,
                           static_cast<int>(q.levels.size()) - 1);
    const cv::Mat& src = q.levels[level];
    const double sx = static_cast<double>(base.cols) / src.cols, sy = static_cast<double>(base.rows) / src.rows;
    // OpenCV samples at pixel centres: continuous = index + 0.5.
    cv::Matx33d toCont(sx, 0, 0.5 * sx, 0, sy, 0.5 * sy, 0, 0, 1);
    cv::Matx33d toRoi(1, 0, -roi.x - 0.5, 0, 1, -roi.y - 0.5, 0, 0, 1);
    cv::Matx33d M = toRoi * H * toCont;

    cv::Mat warped;
    cv::warpPerspective(src, warped, cv::Mat(M), roi.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::Mat mask(roi.size(), CV_8UC1, cv::Scalar(0));
    std::vector<cv::Point> ipts;
    for (auto& p : pts)
        ipts.emplace_back(static_cast<int>(std::lround((p.x - roi.x - 0.5) * 16)),
                          static_cast<int>(std::lround((p.y - roi.y - 0.5) * 16)));
    cv::fillConvexPoly(mask, ipts, cv::Scalar(255), cv::LINE_8, 4);
    warped.copyTo(image(roi), mask);
}

cv::Mat Scene::render(const Pose& pose, const Intrinsics& k, int width, int height) const {
    cv::Mat image(height, width, CV_8UC3, cv::Scalar(40, 40, 40));
    for (const Quad& q : quads_)
        if (q.kind == 0) drawQuad(image, q, pose, k);
    for (const Quad& q : quads_)
        if (q.kind != 0) drawQuad(image, q, pose, k);
    return image;
}

void rgbToNV12(const cv::Mat& rgb, uint8_t* yPlane, size_t yStride, uint8_t* uv, size_t uvStride) {
    const int w = rgb.cols, h = rgb.rows;
    for (int y = 0; y < h; ++y) {
        const cv::Vec3b* row = rgb.ptr<cv::Vec3b>(y);
        uint8_t* out = yPlane + static_cast<size_t>(y) * yStride;
        for (int x = 0; x < w; ++x)
            out[x] = cv::saturate_cast<uint8_t>(0.299 * row[x][0] + 0.587 * row[x][1] + 0.114 * row[x][2]);
    }
    for (int y = 0; y + 1 < h; y += 2) {
        const cv::Vec3b* r0 = rgb.ptr<cv::Vec3b>(y);
        const cv::Vec3b* r1 = rgb.ptr<cv::Vec3b>(y + 1);
        uint8_t* out = uv + static_cast<size_t>(y / 2) * uvStride;
        for (int x = 0; x + 1 < w; x += 2) {
            double r = (r0[x][0] + r0[x + 1][0] + r1[x][0] + r1[x + 1][0]) / 4.0;
            double g = (r0[x][1] + r0[x + 1][1] + r1[x][1] + r1[x + 1][1]) / 4.0;
            double b = (r0[x][2] + r0[x + 1][2] + r1[x][2] + r1[x + 1][2]) / 4.0;
            out[x] = cv::saturate_cast<uint8_t>(128 - 0.168736 * r - 0.331264 * g + 0.5 * b);
            out[x + 1] = cv::saturate_cast<uint8_t>(128 + 0.5 * r - 0.418688 * g - 0.081312 * b);
        }
    }
}

// ---- Random views ----

ViewSample sampleSignView(const Scene& scene, size_t signIndex, const Intrinsics& k, int width, int height,
                          double minSignPx, double maxSignPx, double maxAngleDeg, std::mt19937& rng) {
    ViewSample out;
    const SignInstance& s = scene.signs().at(signIndex);
    const SceneSpec& spec = scene.spec();
    const Vec3 centre = (s.corners[0] + s.corners[2]) * 0.5;
    const Vec3 right = normalized(s.corners[1] - s.corners[0]);
    const double signH = cv::norm(s.corners[3] - s.corners[0]);
    for (int attempt = 0; attempt < 400; ++attempt) {
        double px = std::exp(uni(rng, std::log(minSignPx * 1.05), std::log(maxSignPx)));
        double yaw = uni(rng, -maxAngleDeg, maxAngleDeg) * kPi / 180;
        double pitch = uni(rng, -20, 20) * kPi / 180;
        double dist = k.fx * signH / px;
        Vec3 dir = s.normal * (std::cos(yaw) * std::cos(pitch)) + right * (std::sin(yaw) * std::cos(pitch)) +
                   kUp * std::sin(pitch);
        Vec3 eye = centre + dir * dist;
        if (std::fabs(eye[0]) > spec.width / 2 - 0.15 || std::fabs(eye[2]) > spec.depth / 2 - 0.15 || eye[1] < 0.4 ||
            eye[1] > spec.height - 0.15)
            continue;
        // Upright frame: width = sensor height. Aim off centre so the sign
        // lands anywhere in the frame.
        double halfW = dist * (height / 2.0) / k.fy, halfH = dist * (width / 2.0) / k.fx;
        Vec3 camRight = normalized((centre - eye).cross(kUp));
        Vec3 target = centre + camRight * (uni(rng, -0.7, 0.7) * halfW) + kUp * (uni(rng, -0.7, 0.7) * halfH);
        Pose pose = uprightLookAt(eye, target, uni(rng, -8, 8) * kPi / 180);
        bool inside = true;
        for (const Vec3& c : s.corners) {
            auto p = project(pose, k, c);
            if (!p || p->x < 2 || p->y < 2 || p->x > width - 2 || p->y > height - 2) inside = false;
        }
        if (!inside) continue;
        auto box = uprightBox(pose, k, height, s.corners, 4);
        if (!box || box->height < minSignPx || box->height > maxSignPx * 1.25) continue;
        out.pose = pose;
        out.ok = true;
        return out;
    }
    return out;
}

ViewSample sampleEmptyView(const Scene& scene, const Intrinsics&, std::mt19937& rng) {
    const SceneSpec& spec = scene.spec();
    Vec3 eye{uni(rng, -spec.width / 2 + 0.3, spec.width / 2 - 0.3), uni(rng, 0.8, 2.0),
             uni(rng, -spec.depth / 2 + 0.3, spec.depth / 2 - 0.3)};
    double yaw = uni(rng, -kPi, kPi), pitch = uni(rng, -35, 15) * kPi / 180;
    Vec3 f{std::sin(yaw) * std::cos(pitch), std::sin(pitch), -std::cos(yaw) * std::cos(pitch)};
    ViewSample out;
    out.pose = uprightLookAt(eye, eye + f, uni(rng, -8, 8) * kPi / 180);
    out.ok = true;
    return out;
}

std::string randomSignText(std::mt19937& rng, bool wide) {
    int kind = uniInt(rng, 0, wide ? 4 : 2);
    switch (kind) {
        case 0:
            return std::to_string(uniInt(rng, 1, 7));
        case 1:
            return "P" + std::to_string(uniInt(rng, 1, 7));
        case 2:
            return std::to_string(uniInt(rng, 1, 7)) + std::to_string(uniInt(rng, 0, 9)) +
                   std::to_string(uniInt(rng, 0, 9));
        case 3:
            return std::to_string(uniInt(rng, 0, 99));
        default: {
            std::string t;
            int n = uniInt(rng, 1, 4);
            for (int i = 0; i < n; ++i) t += static_cast<char>('0' + uniInt(rng, 0, 9));
            return t;
        }
    }
}

SceneSpec randomSceneSpec(std::mt19937& rng, int signs, bool wideTexts) {
    std::uniform_real_distribution<double> u(0, 1);
    SceneSpec s;
    s.seed = rng();
    s.width = 4 + 4 * u(rng), s.depth = 7 + 8 * u(rng), s.height = 2.5 + 0.7 * u(rng);
    const char* walls[] = {"front", "back", "left", "right"};
    for (int i = 0; i < signs; ++i) {
        SignSpec sign;
        sign.text = randomSignText(rng, wideTexts);
        sign.wall = walls[(rng() + i) % 4];
        double len = (sign.wall == "front" || sign.wall == "back") ? s.width : s.depth;
        sign.along = (u(rng) - 0.5) * (len - 1.5);
        sign.height = 1.3 + 0.9 * u(rng);
        sign.size = 0.18 + 0.22 * u(rng);
        if (i > 0) {
            const SignSpec& first = s.signs[0];
            // Signs of one floor name that floor; training views may mix any.
            if (!wideTexts) {
                const std::string floor = std::to_string(floorOfText(first.text));
                switch (uniInt(rng, 0, 2)) {
                    case 0:
                        sign.text = floor;
                        break;
                    case 1:
                        sign.text = "P" + floor;
                        break;
                    default:
                        sign.text = floor + std::to_string(uniInt(rng, 0, 9)) + std::to_string(uniInt(rng, 0, 9));
                }
            }
            // Two signs on one wall stand side by side, centres 1.8 m apart
            // (a wide sign is up to about 1.4 m); where the wall is too short
            // for that, the second goes on the opposite wall.
            if (sign.wall == first.wall) {
                const double half = (len - 1.5) / 2;
                const double along = first.along + (first.along > 0 ? -1.8 : 1.8);
                if (std::abs(along) <= half) {
                    sign.along = along;
                } else {
                    static const std::map<std::string, std::string> opposite{
                        {"front", "back"}, {"back", "front"}, {"left", "right"}, {"right", "left"}};
                    sign.wall = opposite.at(first.wall);
                }
            }
        }
        s.signs.push_back(sign);
    }
    return s;
}

int floorOfText(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (c >= '0' && c <= '9') digits += c;
    if (digits.size() != 1 && digits.size() != 3 && digits.size() != 4) return -1;
    for (char c : digits)
        if (c >= '1' && c <= '7') return c - '0';
    return -1;
}

}  // namespace tevra::synth
