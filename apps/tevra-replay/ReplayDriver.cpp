#include "ReplayDriver.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <istream>
#include <iterator>

#include "TevraARWebGL/Globals.h"
#include "base/TextUtils.h"
#include "detection/YOLOService.h"
#include "models/ModelManager.h"
#include "platform/Log.h"
#include "platform/sim/SessionRecorder.h"
#include "platform/sim/SimARSession.h"

#if TEVRA_REPLAY_REAL_MODELS
#include "platform/linux/OpenCVModelRuntime.h"
#include "platform/linux/ZipExtractor.h"
#endif

namespace fs = std::filesystem;

namespace tevra::replay {

namespace {

// A malformed step: reported as one ERROR line, never thrown out of step().
struct StepError {
    std::string message;
};

const nlohmann::json& need(const nlohmann::json& c, const char* key) {
    auto it = c.find(key);
    if (it == c.end()) throw StepError{std::string("missing \"") + key + "\""};
    return *it;
}

double number(const nlohmann::json& v, const char* what) {
    if (!v.is_number()) throw StepError{std::string("\"") + what + "\" must be a number"};
    return v.get<double>();
}

// A whole number from lo to hi (checked before any conversion).
long integer(const nlohmann::json& v, const char* what, double lo, double hi) {
    const double d = number(v, what);
    if (!(d >= lo && d <= hi) || d != std::floor(d))
        throw StepError{std::string("\"") + what + "\" must be a whole number from " +
                        std::to_string(static_cast<long>(lo)) + " to " + std::to_string(static_cast<long>(hi))};
    return static_cast<long>(d);
}

// A code such as an orientation or an error code: a number, cut to a whole
// one, within +/- 1e9 so the conversion is defined.
long code(const nlohmann::json& v, const char* what) {
    const double d = number(v, what);
    if (!(d >= -1e9 && d <= 1e9)) throw StepError{std::string("\"") + what + "\" must be a number from -1e9 to 1e9"};
    return static_cast<long>(d);
}

float3 vec3(const nlohmann::json& v, const char* what) {
    if (!v.is_array() || v.size() != 3) throw StepError{std::string("\"") + what + "\" must be 3 numbers"};
    return {static_cast<float>(number(v[0], what)), static_cast<float>(number(v[1], what)),
            static_cast<float>(number(v[2], what))};
}

// Text from the script for a STEP line: escaped, and cut when long, so one
// step stays one line.
std::string shown(const std::string& text) {
    return clippedForLog(text, hasPlatform() ? platform().limits.logTextMaxBytes : Limits{}.logTextMaxBytes);
}

// A text field for a STEP line ("" when absent, its JSON form when not text).
std::string shownField(const nlohmann::json& c, const char* key) {
    auto it = c.find(key);
    if (it == c.end()) return {};
    return shown(it->is_string() ? it->get<std::string>()
                                 : it->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::string num(double v) { return format("%g", v); }
std::string seconds(double v) { return format("%.3f", v); }
const char* yesNo(bool b) { return b ? "true" : "false"; }

// A pose: "transform" (16 numbers, column-major) or "position" plus
// optional "yaw"/"pitch" in degrees.
float4x4 pose(const nlohmann::json& c) {
    if (auto it = c.find("transform"); it != c.end()) {
        if (!it->is_array() || it->size() != 16) throw StepError{"\"transform\" must be 16 numbers"};
        float e[16];
        for (size_t i = 0; i < 16; ++i) e[i] = static_cast<float>(number((*it)[i], "transform"));
        return float4x4::fromElements(e);
    }
    float4x4 m = float4x4::identity();
    if (auto it = c.find("position"); it != c.end()) {
        float3 p = vec3(*it, "position");
        m = float4x4::translation(p.x, p.y, p.z);
    }
    constexpr double kDeg = M_PI / 180.0;
    if (auto it = c.find("yaw"); it != c.end()) m = m * rotationY(static_cast<float>(number(*it, "yaw") * kDeg));
    if (auto it = c.find("pitch"); it != c.end()) m = m * rotationX(static_cast<float>(number(*it, "pitch") * kDeg));
    return m;
}

// A colour as three numbers from 0 to 1.
struct Colour {
    double r = 0, g = 0, b = 0;
};

Colour colour(const nlohmann::json& v, const char* what) {
    if (!v.is_array() || v.size() != 3) throw StepError{std::string("\"") + what + "\" must be 3 numbers from 0 to 1"};
    Colour c{number(v[0], what), number(v[1], what), number(v[2], what)};
    for (double x : {c.r, c.g, c.b})
        if (!(x >= 0 && x <= 1)) throw StepError{std::string("\"") + what + "\" must be 3 numbers from 0 to 1"};
    return c;
}

// Paints a "420f" camera image: a background colour and rectangles on top,
// in the camera's own pixels (before any turn for the device orientation).
// Colours are encoded with video-range BT.601, the matrix the detection path
// decodes camera frames with, so the detection models see the colours given;
// chroma is the mean of each 2 x 2 block.
void paintCameraImage(PixelBuffer& buffer, const nlohmann::json& image) {
    const size_t w = buffer.width(), h = buffer.height();
    Colour background = image.contains("fill") ? colour(image["fill"], "fill") : Colour{};
    struct Box {
        long x0, y0, x1, y1;
        Colour c;
    };
    std::vector<Box> boxes;
    if (auto rs = image.find("rects"); rs != image.end()) {
        if (!rs->is_array()) throw StepError{"\"rects\" must be a list"};
        for (const auto& r : *rs) {
            constexpr double kFar = 1e6;
            const long x = integer(need(r, "x"), "x", -kFar, kFar), y = integer(need(r, "y"), "y", -kFar, kFar);
            const long rw = integer(need(r, "w"), "w", 0, kFar), rh = integer(need(r, "h"), "h", 0, kFar);
            boxes.push_back({x, y, x + rw, y + rh, colour(need(r, "rgb"), "rgb")});
        }
    }
    auto at = [&](size_t x, size_t y) {
        const long lx = static_cast<long>(x), ly = static_cast<long>(y);
        for (auto it = boxes.rbegin(); it != boxes.rend(); ++it)
            if (lx >= it->x0 && lx < it->x1 && ly >= it->y0 && ly < it->y1) return it->c;
        return background;
    };
    auto byte = [](double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); };
    PixelBufferLock lock(buffer, 0);
    uint8_t* yPlane = buffer.baseAddressOfPlane(0);
    uint8_t* uvPlane = buffer.baseAddressOfPlane(1);
    const size_t yStride = buffer.bytesPerRowOfPlane(0), uvStride = buffer.bytesPerRowOfPlane(1);
    for (size_t y = 0; y < h; y += 2)
        for (size_t x = 0; x < w; x += 2) {
            double cb = 0, cr = 0;
            int n = 0;
            for (size_t dy = 0; dy < 2 && y + dy < h; ++dy)
                for (size_t dx = 0; dx < 2 && x + dx < w; ++dx, ++n) {
                    Colour c = at(x + dx, y + dy);
                    yPlane[(y + dy) * yStride + x + dx] = byte(16 + 65.481 * c.r + 128.553 * c.g + 24.966 * c.b);
                    cb += 128 - 37.797 * c.r - 74.203 * c.g + 112.0 * c.b;
                    cr += 128 + 112.0 * c.r - 93.786 * c.g - 18.214 * c.b;
                }
            uint8_t* p = uvPlane + (y / 2) * uvStride + x;
            p[0] = byte(cb / n);
            p[1] = byte(cr / n);
        }
}

// The STEP line of a `create`: every setting, defaults included, and the
// optional ones that were given.
std::string createText(const nlohmann::json& c) {
    double w = 390, h = 844;
    if (auto v = c.find("view"); v != c.end()) {
        w = number(need(*v, "width"), "width");
        h = number(need(*v, "height"), "height");
    }
    std::string t = "create view=" + num(w) + "x" + num(h);
    auto g = c.find("gpu");
    t += std::string(" gpu=") + yesNo(g == c.end() || !g->is_boolean() || g->get<bool>());
    auto m = c.find("machine");
    t += " machine=" + (m != c.end() && m->is_string() ? shown(m->get<std::string>()) : std::string("x86_64"));
    auto o = c.find("orientation");
    t += " orientation=" + (o != c.end() ? std::to_string(code(*o, "orientation")) : std::string("1"));
    t += " models=" + (c.contains("models") ? shownField(c, "models") : std::string("fake"));
    for (const char* key : {"resources", "rememberedURL", "session", "record"})
        if (c.contains(key)) t += std::string(" ") + key + "=" + shownField(c, key);
    return t;
}

// A camera frame as a `frame` or `detect` step describes it: "time" (the
// clock's time by default), "camera" pose, "image" size and painting. The
// STEP text tells the time, image size, rectangles and camera position.
std::shared_ptr<fake::FakeARFrame> makeFrame(const nlohmann::json& c, double now, std::string& text) {
    auto frame = std::make_shared<fake::FakeARFrame>();
    frame->timestamp_ = c.contains("time") ? number(c["time"], "time") : now;
    if (c.contains("camera")) frame->camera_->transform_ = pose(c["camera"]);
    long w = 64, h = 48;
    auto img = c.find("image");
    if (img != c.end()) {
        w = integer(need(*img, "width"), "width", 1, 8192);
        h = integer(need(*img, "height"), "height", 1, 8192);
    }
    frame->image_ = PixelBuffer::create(static_cast<size_t>(w), static_cast<size_t>(h),
                                        kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
    if (!frame->image_) throw StepError{"cannot make a camera image of that size"};
    if (img != c.end()) paintCameraImage(*frame->image_, *img);
    text = "time=" + seconds(frame->timestamp_) + " image=" + std::to_string(w) + "x" + std::to_string(h);
    if (img != c.end())
        if (auto rs = img->find("rects"); rs != img->end()) text += " rects=" + std::to_string(rs->size());
    if (c.contains("camera")) {
        const float4x4& t = frame->camera_->transform_;
        text += format(" camera=(%.3f, %.3f, %.3f)", static_cast<double>(t.m(3, 0)), static_cast<double>(t.m(3, 1)),
                       static_cast<double>(t.m(3, 2)));
    }
    return frame;
}

// Log lines that differ from run to run only in machine details: the
// documents directory of the run and the thread's address and id
// ("<Thread: 0x7f...>{tid = 4321, name = x}" shows as "<Thread>{name = x}").
std::string stableText(std::string line, const std::string& documents) {
    if (!documents.empty())
        for (size_t at = line.find(documents); at != std::string::npos; at = line.find(documents, at))
            line.replace(at, documents.size(), "DOCUMENTS");
    for (size_t at = line.find("<Thread: 0x"); at != std::string::npos; at = line.find("<Thread: 0x", at + 1)) {
        size_t tid = line.find(">{tid = ", at);
        if (tid == std::string::npos) break;
        size_t comma = line.find(", ", tid);
        if (comma == std::string::npos) break;
        line.replace(at, comma + 2 - at, "<Thread>{");
    }
    return line;
}

// The recorded session, with its runs, pauses and anchor changes written to
// the transcript like the fake session's.
class TranscriptSessionFactory : public ARSessionFactory {
public:
    TranscriptSessionFactory(std::shared_ptr<ARSessionFactory> inner, std::shared_ptr<fake::Transcript> t)
        : inner_(std::move(inner)), transcript_(std::move(t)) {}
    std::shared_ptr<ARSession> makeSession() override {
        auto s = std::make_shared<Session>(inner_->makeSession(), transcript_);
        return s;
    }

private:
    class Session : public ARSession {
    public:
        Session(std::shared_ptr<ARSession> inner, std::shared_ptr<fake::Transcript> t)
            : inner_(std::move(inner)), transcript_(std::move(t)) {}
        void setDelegate(std::weak_ptr<ARSessionDelegate> d) override { inner_->setDelegate(std::move(d)); }
        void runWithConfiguration(const ARWorldTrackingConfiguration& c, unsigned long options) override {
            transcript_->add("SESSION", "run planeDetection=" + std::to_string(c.planeDetection) +
                                            " options=" + std::to_string(options));
            inner_->runWithConfiguration(c, options);
        }
        void pause() override {
            transcript_->add("SESSION", "pause");
            inner_->pause();
        }
        std::shared_ptr<ARFrame> currentFrame() const override { return inner_->currentFrame(); }
        void addAnchor(const std::shared_ptr<ARAnchor>& a) override {
            const float4x4& t = a->transform();
            transcript_->add("SESSION", "addAnchor " + a->identifier() +
                                            format(" at (%.3f, %.3f, %.3f)", static_cast<double>(t.m(3, 0)),
                                                   static_cast<double>(t.m(3, 1)), static_cast<double>(t.m(3, 2))));
            inner_->addAnchor(a);
        }
        void removeAnchor(const std::shared_ptr<ARAnchor>& a) override {
            transcript_->add("SESSION", "removeAnchor " + a->identifier());
            inner_->removeAnchor(a);
        }

    private:
        std::shared_ptr<ARSession> inner_;
        std::shared_ptr<fake::Transcript> transcript_;
    };
    std::shared_ptr<ARSessionFactory> inner_;
    std::shared_ptr<fake::Transcript> transcript_;
};

}  // namespace

ReplayDriver::ReplayDriver(std::function<void(const std::string&)> out) : out_(std::move(out)) {
    scripted_->setObserver([this](const std::string& name, size_t w, size_t h, const fake::ScriptedAnswer& answer) {
        std::string text = shown(name) + " predicts on " + std::to_string(w) + "x" + std::to_string(h) + ": ";
        if (answer.failure)
            text += "fails";
        else
            text += std::to_string(answer.boxes.size()) + (answer.boxes.size() == 1 ? " box" : " boxes");
        emit("MODEL", text);
    });
}

ReplayDriver::~ReplayDriver() {
    // Scripted models stay in the process's registry; they report to no one now.
    scripted_->setObserver(nullptr);
    controller_.reset();
    if (fake_) fake_->dispatch->drainAll();
    removeDocuments();
}

void ReplayDriver::removeDocuments() {
    if (documents_.empty()) return;
    std::error_code ec;
    fs::remove_all(documents_, ec);
    documents_.clear();
    // A new string: listeners of earlier platforms keep theirs.
    shownDocuments_ = std::make_shared<std::string>();
}

std::string ReplayDriver::findFile(const std::string& name, const std::string& dir) const {
    fs::path p(name);
    if (p.is_absolute()) return p.string();
    fs::path beside = fs::path(dir) / p;
    if (fs::exists(beside) || dataDirectory_.empty()) return beside.lexically_normal().string();
    return (fs::path(dataDirectory_) / p).lexically_normal().string();
}

void ReplayDriver::emit(const std::string& prefix, const std::string& text) {
    if (fake_)
        fake_->transcript->add(prefix, text);
    else
        out_(prefix + " " + text);
}

void ReplayDriver::create(const nlohmann::json& c, const std::string& dir) {
    controller_.reset();
    if (fake_) fake_->dispatch->drainAll();
    removeDocuments();
    const std::string runtime = c.value("models", std::string("fake"));
    if (runtime != "fake" && runtime != "real") throw StepError{"\"models\" must be \"fake\" or \"real\""};
#if !TEVRA_REPLAY_REAL_MODELS
    if (runtime == "real") throw StepError{"this tevra-replay was built without the Linux platform: no real models"};
#endif
    fake_ = fake::FakePlatform::install();
    if (runtime == "real") {
        ensureDocuments();
#if TEVRA_REPLAY_REAL_MODELS
        fake_->platform->archive = std::make_shared<linux_platform::ZipExtractor>();
        fake_->platform->models = std::make_shared<OpenCVModelRuntime>();
#endif
    }
    // An effect whose text holds line breaks (a log line such as the VPS
    // client's "Modified JSON:") continues on lines indented by four blanks,
    // so every unindented line still starts with its prefix.
    fake_->transcript->setListener([out = out_, documents = shownDocuments_](const std::string& text) {
        const std::string line = stableText(text, *documents);
        if (line.find('\n') == std::string::npos) return out(line);
        std::string shown;
        for (char ch : line) {
            shown += ch;
            if (ch == '\n') shown += "    ";
        }
        out(shown);
    });
    cameraFrameJpegCompressionFactor = 0.9f;
    targetFrameWidth = 540;
    targetFrameHeight = 960;
    double w = 390, h = 844;
    if (auto v = c.find("view"); v != c.end()) {
        w = number(need(*v, "width"), "width");
        h = number(need(*v, "height"), "height");
    }
    if (auto g = c.find("gpu"); g != c.end() && g->is_boolean()) fake_->views->setHasGPU(g->get<bool>());
    if (auto m = c.find("machine"); m != c.end() && m->is_string()) fake_->device->setMachineIdentifier(*m);
    if (auto o = c.find("orientation"); o != c.end()) fake_->device->setOrientation(code(*o, "orientation"));
    if (auto r = c.find("resources"); r != c.end() && r->is_string()) {
        fs::path p(r->get<std::string>());
        fake_->platform->resourcesDirectory = (p.is_absolute() ? p : fs::path(dir) / p).lexically_normal().string();
    }
    if (auto u = c.find("rememberedURL"); u != c.end() && u->is_string()) fake_->defaults->setObject(*u, "url");
    if (!scripted_->scriptedNames().empty()) installScriptedModels();
    simFactory_.reset();
    if (auto rec = c.find("session"); rec != c.end()) {
        if (!rec->is_string()) throw StepError{"\"session\" must be a directory"};
        fs::path p(rec->get<std::string>());
        std::string error;
        auto recording =
            sim::SessionRecording::load((p.is_absolute() ? p : fs::path(dir) / p).lexically_normal().string(), error);
        if (!recording) throw StepError{"cannot load the recorded session: " + error};
        simFactory_ = std::make_shared<sim::SimARSessionFactory>(recording);
        std::shared_ptr<ARSessionFactory> sessions = simFactory_;
        // "record": what the session plays is recorded into a directory
        // (written when the session ends), for a later run to replay.
        if (auto out = c.find("record"); out != c.end()) {
            if (!out->is_string() || out->get_ref<const std::string&>().empty())
                throw StepError{"\"record\" must be a directory"};
            fs::path o(out->get<std::string>());
            sessions = std::make_shared<sim::RecordingSessionFactory>(
                sessions, (o.is_absolute() ? o : fs::path(dir) / o).lexically_normal().string());
        }
        fake_->platform->ar = std::make_shared<TranscriptSessionFactory>(sessions, fake_->transcript);
    }
    hostView_ = std::make_shared<View>(Rect{0, 0, w, h});
    hostWebView_ = fake_->views->makeHostWebView({0, 0, w, h});
    controller_ = ViewControllerSDK::initWithView(hostView_, hostWebView_);
    std::weak_ptr<fake::Transcript> transcript = fake_->transcript;
    controller_->idleTimerDisabledDidChange = [transcript](bool v) {
        if (auto t = transcript.lock())
            t->add("HOST", std::string("idleTimerDisabledDidChange ") + (v ? "true" : "false"));
    };
}

void ReplayDriver::ensureController() {
    if (controller_) return;
    emit("STEP", createText(nlohmann::json::object()) + " (implied)");
    create(nlohmann::json::object(), ".");
}

const std::string& ReplayDriver::ensureDocuments() {
    if (documents_.empty()) {
        std::string pattern = (fs::temp_directory_path() / "tevra-replay-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw StepError{"cannot make a documents directory"};
        documents_ = pattern;
        *shownDocuments_ = documents_;
        fake_->platform->documentsDirectory = documents_;
    }
    return documents_;
}

void ReplayDriver::installScriptedModels() {
    if (fake_->platform->models != scripted_) {
        scripted_->setFallback(fake_->platform->models);
        fake_->platform->models = scripted_;
    }
    const fs::path documents = ensureDocuments();
    for (const std::string& name : scripted_->scriptedNames()) {
        std::error_code ec;
        fs::create_directories(documents / (name + ".mlmodelc"), ec);
        if (ec) throw StepError{"cannot make the model directory for " + shown(name) + ": " + ec.message()};
    }
}

void ReplayDriver::scriptModel(const nlohmann::json& c) {
    const nlohmann::json& nameValue = need(c, "name");
    if (!nameValue.is_string()) throw StepError{"\"name\" must be text"};
    const std::string name = nameValue.get<std::string>();
    if (!ModelManager::isUsableModelName(name)) throw StepError{"\"" + shown(name) + "\" is no usable model name"};
    fake::ScriptedAnswer answer;
    if (auto in = c.find("input"); in != c.end()) {
        if (!in->is_array() || in->size() != 2) throw StepError{"\"input\" must be [width, height]"};
        answer.inputWidth = integer((*in)[0], "input", 1, 4096);
        answer.inputHeight = integer((*in)[1], "input", 1, 4096);
    }
    std::string text = "model " + shown(name) + " input=" + std::to_string(answer.inputWidth) + "x" +
                       std::to_string(answer.inputHeight);
    if (auto fails = c.find("fails"); fails != c.end()) {
        if (!fails->is_string()) throw StepError{"\"fails\" must be text"};
        answer.failure = fails->get<std::string>();
        text += " fails: " + shown(*answer.failure);
    } else {
        const nlohmann::json& answers = need(c, "answers");
        if (!answers.is_array() || answers.size() > 1000)
            throw StepError{"\"answers\" must be a list of at most 1000 boxes"};
        text += " answers " + std::to_string(answers.size()) + ":";
        for (const auto& a : answers) {
            const nlohmann::json& box = need(a, "box");
            if (!box.is_array() || box.size() != 4) throw StepError{"\"box\" must be 4 numbers: x, y, w, h"};
            fake::ScriptedBox b;
            b.x = static_cast<float>(number(box[0], "box"));
            b.y = static_cast<float>(number(box[1], "box"));
            b.w = static_cast<float>(number(box[2], "box"));
            b.h = static_cast<float>(number(box[3], "box"));
            b.confidence = static_cast<float>(number(need(a, "confidence"), "confidence"));
            b.classId = a.contains("class") ? static_cast<int32_t>(integer(a["class"], "class", 0, 100)) : 0;
            answer.boxes.push_back(b);
            text += " (" + num(b.x) + "," + num(b.y) + "," + num(b.w) + "," + num(b.h) + ") class " +
                    std::to_string(b.classId) + " conf " + num(b.confidence) + ";";
        }
        if (!answers.empty()) text.pop_back();
    }
    fake_->transcript->add("STEP", shown(text));
    scripted_->script(name, std::move(answer));
    installScriptedModels();
}

void ReplayDriver::tickCamera() {
    auto cam = fake_->views->lastCameraView();
    if (!cam) return;
    // The renderer commits one command buffer per drawn frame.
    const size_t before = fake_->views->gpu()->committedCount();
    cam->tick();
    const size_t after = fake_->views->gpu()->committedCount();
    if (after == before) return;
    std::shared_ptr<ARFrame> frame =
        controller_ && controller_->session ? controller_->session->currentFrame() : nullptr;
    emit("DRAW", "n=" + std::to_string(after) + " time=" + seconds(fake_->clock->now()) +
                     " frame=" + (frame ? seconds(frame->timestamp()) : std::string("none")));
}

namespace {

// One anchor map as "key=value" pairs in key order, or "(none)".
template <typename Map, typename Value>
std::string mapText(const Map& map, Value value) {
    if (map.empty()) return " (none)";
    std::string text;
    for (const auto& [key, v] : map) text += " " + shown(key) + "=" + shown(value(v));
    return text;
}

}  // namespace

void ReplayDriver::reportState() {
    auto& f = *fake_;
    auto& vc = *controller_;
    auto add = [&](const std::string& text) { f.transcript->add("STATE", text); };
    add("near=" + num(vc.near) + " far=" + num(vc.far) + " target=" + num(vc.targetSize.width) + "x" +
        num(vc.targetSize.height) + " compression=" + num(cameraFrameJpegCompressionFactor) + " orientation=" +
        std::to_string(vc.deviceOrientation) + " interface=" + std::to_string(vc.interfaceOrientation) +
        " camera=" + num(vc.cameraFx) + "," + num(vc.cameraFy) + "," + num(vc.cameraCx) + "," + num(vc.cameraCy));
    add(std::string("flags initialPageLoadedWhenTrackingBegins=") + yesNo(vc.initialPageLoadedWhenTrackingBegins) +
        " webviewNavigationSuccess=" + yesNo(vc.webviewNavigationSuccess) +
        " showingCameraFeed=" + yesNo(vc.showingCameraFeed) + " updateWindowSize=" + yesNo(vc.updateWindowSize) +
        " drawNextCameraFrame=" + yesNo(vc.drawNextCameraFrame) + " sendARData=" + yesNo(vc.sendARData) +
        " isIdleTimerDisabled=" + yesNo(vc.isIdleTimerDisabled) +
        " urlTextFieldActive=" + yesNo(vc.urlTextFieldActive));
    auto same = [](const std::string& v) { return v; };
    add("jsAnchorIdsToObjCAnchorIds" + mapText(vc.jsAnchorIdsToObjCAnchorIds, same));
    add("objCAnchorIdsToJSAnchorIds" + mapText(vc.objCAnchorIdsToJSAnchorIds, same));
    add("anchors" + mapText(vc.anchors, [](const std::shared_ptr<ARAnchor>& a) {
            return a ? a->identifier() : std::string("(null)");
        }));
    std::optional<std::string> url = f.defaults->stringForKey("url");
    add("url " + (url ? shown(*url) : std::string("(none)")));
    std::string detection = "detection";
    int32_t detectionFrames = 0;
    if (auto m = vc.yoloService ? vc.yoloService->manager : nullptr) {
        const auto& registry = ModelManager::shared();
        auto model = [&](const char* role, const std::optional<std::string>& name,
                         const std::optional<float>& threshold) {
            detection += std::string(" ") + role + "=" + (name ? shown(*name) : std::string("(none)"));
            detection += std::string(" ") + role + "Threshold=" + (threshold ? num(*threshold) : std::string("(none)"));
            detection += std::string(" ") + role + "Loaded=" + yesNo(name && registry->isModelLoaded(*name));
        };
        detection += std::string(" on=") + yesNo(m->startDetectingFloor.load());
        model("sign", m->signModelName, m->signConfThreshold);
        model("digit", m->digitModelName, m->digitConfThreshold);
        detection += " floor=" + std::to_string(m->detectedFloorValue());
        if (vc.yoloService->processor) detectionFrames = vc.yoloService->processor->frameCount;
    } else {
        detection += " (none)";
    }
    add(detection);
    auto page = f.views->lastWebView();
    add("counters draws=" + std::to_string(f.views->gpu()->committedCount()) + " detectionFrames=" +
        std::to_string(detectionFrames) + " httpInFlight=" + std::to_string(f.http->pendingCount()) +
        " pageScripts=" + std::to_string(page ? page->evaluatedScripts().size() : 0));
}

bool ReplayDriver::run(std::istream& script, const std::string& dir) {
    bool ok = true;
    std::string text;
    while (std::getline(script, text)) {
        ++line_;
        size_t first = text.find_first_not_of(" \t\r");
        if (first == std::string::npos || text[first] == '#') continue;
        nlohmann::json command = nlohmann::json::parse(text, nullptr, false);
        if (command.is_discarded() || !command.is_object()) {
            emit("ERROR", "line " + std::to_string(line_) + ": not a JSON object");
            ok = false;
            continue;
        }
        ok = step(command, dir) && ok;
    }
    return ok;
}

bool ReplayDriver::step(const nlohmann::json& c, const std::string& dir) {
    try {
        const nlohmann::json& what = need(c, "do");
        if (!what.is_string()) throw StepError{"\"do\" must be text"};
        const std::string op = what.get<std::string>();
        if (op == "create") {
            emit("STEP", createText(c));
            create(c, dir);
            fake_->dispatch->drainAll();
            return true;
        }
        ensureController();
        auto& f = *fake_;
        auto& vc = *controller_;
        if (op == "host") {
            const std::string call = need(c, "call").get<std::string>();
            f.transcript->add("STEP", "host " + shown(call) + (call == "loadURL" ? " " + shownField(c, "arg") : ""));
            if (call == "viewWillAppear")
                vc.viewWillAppear(true);
            else if (call == "viewWillDisappear")
                vc.viewWillDisappear(true);
            else if (call == "pause")
                vc.pause();
            else if (call == "didReceiveMemoryWarning")
                vc.didReceiveMemoryWarning();
            else if (call == "initNavigation")
                vc.initNavigation();
            else if (call == "getIsIdleTimerDisabled")
                f.transcript->add(
                    "HOST", std::string("isIdleTimerDisabled ") + (vc.getIsIdleTimerDisabled() ? "true" : "false"));
            else if (call == "loadURL") {
                const auto& arg = need(c, "arg");
                if (!arg.is_string()) throw StepError{"\"arg\" must be text"};
                vc.loadURL(arg.get<std::string>());
            } else
                throw StepError{"unknown host call \"" + call + "\""};
        } else if (op == "orientation") {
            long o = code(need(c, "value"), "value");
            f.transcript->add("STEP", "orientation " + std::to_string(o));
            f.device->setOrientation(o);
        } else if (op == "message") {
            const auto& channel = need(c, "channel");
            if (!channel.is_string()) throw StepError{"\"channel\" must be text"};
            nlohmann::json body = c.contains("body") ? c["body"] : nlohmann::json();
            f.transcript->add("STEP", "message " + channel.get<std::string>() + " " + describeBody(body));
            if (!vc.wkWebView || !f.views->lastWebView()->postMessage(channel, body))
                f.transcript->add("STEP", "message not delivered: no handler for " + channel.get<std::string>());
        } else if (op == "play") {
            // Plays the recorded session: per frame, optionally the page's
            // "advanceFrame:", a display tick at the frame's time, then the frame.
            auto sim = simFactory_ ? simFactory_->lastSession() : nullptr;
            if (!sim) throw StepError{"no recorded session: create with \"session\""};
            int frames = static_cast<int>(integer(need(c, "frames"), "frames", 0, 100000));
            bool paced = c.value("advanceFrame", true);
            f.transcript->add("STEP", "play " + std::to_string(frames) + (paced ? " paced" : ""));
            for (int i = 0; i < frames && !sim->isFinished(); ++i) {
                f.clock->advance(sim->timeUntilNextFrame());
                if (paced && vc.wkWebView) f.views->lastWebView()->postMessage("Zephral", "advanceFrame:");
                tickCamera();
                f.dispatch->drainAll();
                if (!sim->step()) break;
                f.dispatch->drainAll();
            }
        } else if (op == "tick") {
            if (c.contains("time")) f.clock->set(number(c["time"], "time"));
            int count = c.contains("count") ? static_cast<int>(integer(c["count"], "count", 0, 100000)) : 1;
            double dt = c.contains("interval") ? number(c["interval"], "interval") : 1.0 / 60.0;
            f.transcript->add("STEP", "tick time=" + seconds(f.clock->now()) + " count=" + std::to_string(count) +
                                          (count > 1 ? " interval=" + num(dt) : ""));
            for (int i = 0; i < count; ++i) {
                if (i > 0) f.clock->advance(dt);
                tickCamera();
                f.dispatch->drainAll();
            }
        } else if (op == "frame") {
            std::string text;
            auto frame = makeFrame(c, f.clock->now(), text);
            const long count = c.contains("count") ? integer(c["count"], "count", 1, 10000) : 1;
            f.transcript->add("STEP", "frame " + text + " count=" + std::to_string(count));
            if (auto s = f.ar->lastSession()) {
                for (auto& a : s->anchors()) frame->anchors_.push_back(a);
                for (long i = 0; i < count; ++i) {
                    s->deliverFrame(frame);
                    f.dispatch->drainAll();
                }
            }
        } else if (op == "tracking") {
            auto cam = std::make_shared<fake::FakeARCamera>();
            cam->state_ = code(need(c, "state"), "state");
            cam->reason_ = c.contains("reason") ? code(c["reason"], "reason") : 0;
            if (auto k = c.find("intrinsics"); k != c.end()) {
                cam->intrinsics_.m(0, 0) = static_cast<float>(number(need(*k, "fx"), "fx"));
                cam->intrinsics_.m(1, 1) = static_cast<float>(number(need(*k, "fy"), "fy"));
                cam->intrinsics_.m(2, 0) = static_cast<float>(number(need(*k, "cx"), "cx"));
                cam->intrinsics_.m(2, 1) = static_cast<float>(number(need(*k, "cy"), "cy"));
                cam->intrinsics_.m(2, 2) = 1;
            }
            std::string text = "tracking " + std::to_string(cam->state_) + " " + std::to_string(cam->reason_);
            if (c.contains("intrinsics"))
                text += " intrinsics=" + num(cam->intrinsics_.m(0, 0)) + "," + num(cam->intrinsics_.m(1, 1)) + "," +
                        num(cam->intrinsics_.m(2, 0)) + "," + num(cam->intrinsics_.m(2, 1));
            f.transcript->add("STEP", text);
            if (auto s = f.ar->lastSession()) controller_->sessionCameraDidChangeTrackingState(*s, cam);
        } else if (op == "anchors") {
            const std::string event = need(c, "event").get<std::string>();
            ARAnchorList list;
            std::string ids;
            if (auto ps = c.find("planes"); ps != c.end()) {
                for (const auto& p : *ps) {
                    std::string id = need(p, "id").get<std::string>();
                    ids += " " + shown(id);
                    auto plane = std::make_shared<ARPlaneAnchor>(
                        id, pose(p), p.contains("center") ? vec3(p["center"], "center") : float3{},
                        p.contains("extent") ? vec3(p["extent"], "extent") : float3{1, 0, 1});
                    list.push_back(plane);
                }
            }
            if (c.value("sessionAnchors", false)) {
                if (auto s = f.ar->lastSession())
                    for (auto& a : s->anchors()) list.push_back(a);
            }
            f.transcript->add("STEP",
                              "anchors " + shown(event) + " (" + std::to_string(list.size()) + ")" + shown(ids));
            auto s = f.ar->lastSession();
            if (!s) throw StepError{"no session"};
            if (event == "add")
                controller_->sessionDidAddAnchors(*s, list);
            else if (event == "update")
                controller_->sessionDidUpdateAnchors(*s, list);
            else if (event == "remove")
                controller_->sessionDidRemoveAnchors(*s, list);
            else
                throw StepError{"unknown anchors event \"" + event + "\""};
        } else if (op == "tap") {
            f.transcript->add("STEP", "tap");
            if (vc.tapRecognizer) vc.tapRecognizer->fire();
        } else if (op == "nav") {
            const std::string event = need(c, "event").get<std::string>();
            std::string args;
            if (event == "progress")
                args = " " + num(number(need(c, "value"), "value"));
            else if (event == "fail" || event == "failProvisional")
                args = " " + std::to_string(code(need(c, "code"), "code")) + " " +
                       shown(c.value("description", std::string("failed")));
            else if (event == "alert")
                args = " " + shownField(c, "message");
            f.transcript->add("STEP", "nav " + shown(event) + args);
            auto page = f.views->lastWebView();
            if (!page) throw StepError{"no page view"};
            if (event == "start")
                page->simulateStartProvisional();
            else if (event == "finish")
                page->simulateFinish();
            else if (event == "progress")
                page->simulateProgress(number(need(c, "value"), "value"));
            else if (event == "fail" || event == "failProvisional")
                page->simulateFail(code(need(c, "code"), "code"), c.value("description", std::string("failed")),
                                   event == "failProvisional");
            else if (event == "alert") {
                std::weak_ptr<fake::Transcript> t = f.transcript;
                page->simulateAlert(c.value("message", std::string()), [t] {
                    if (auto tr = t.lock()) tr->add("NAV", "alert completed");
                });
            } else
                throw StepError{"unknown nav event \"" + event + "\""};
        } else if (op == "http") {
            const std::string what2 = need(c, "op").get<std::string>();
            size_t index = c.contains("index") ? static_cast<size_t>(integer(c["index"], "index", 0, 1000000)) : 0;
            std::string body = c.value("body", std::string());
            if (what2 != "respond" && what2 != "fail") throw StepError{"unknown http op \"" + what2 + "\""};
            std::string text = "http " + shown(what2) + " index=" + std::to_string(index);
            if (auto file = c.find("file"); file != c.end() && what2 == "respond") {
                if (!file->is_string()) throw StepError{"\"file\" must be text"};
                const std::string path = findFile(file->get<std::string>(), dir);
                std::ifstream in(path, std::ios::binary);
                if (!in) throw StepError{"cannot read " + file->get<std::string>()};
                body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
                text +=
                    " status=" + std::to_string(c.value("status", 200)) + " file=" + shown(file->get<std::string>());
            } else if (what2 == "respond") {
                text +=
                    " status=" + std::to_string(c.value("status", 200)) + " body=" + std::to_string(body.size()) + "B";
            } else if (what2 == "fail") {
                text += " " + shown(c.value("message", std::string("The network connection was lost.")));
            }
            f.transcript->add("STEP", text);
            bool done = what2 == "respond" ? f.http->respond(index, static_cast<long>(c.value("status", 200)), body)
                        : what2 == "fail"
                            ? f.http->fail(index, c.value("message", std::string("The network connection was lost.")))
                            : throw StepError{"unknown http op \"" + what2 + "\""};
            if (!done) throw StepError{"no HTTP request in flight at index " + std::to_string(index)};
        } else if (op == "defaults") {
            const std::string key = need(c, "key").get<std::string>();
            if (c.contains("value") && c["value"].is_string()) {
                f.transcript->add("STEP", "defaults " + shown(key) + "=" + shown(c["value"].get<std::string>()));
                f.defaults->setObject(c["value"].get<std::string>(), key);
            } else {
                f.transcript->add("STEP", "defaults " + shown(key) + " removed");
                f.defaults->setObject(std::nullopt, key);
            }
        } else if (op == "drain") {
            // Draining happens after every step anyway.
            f.transcript->add("STEP", "drain");
        } else if (op == "state") {
            f.transcript->add("STEP", "state");
            reportState();
        } else if (op == "model") {
            scriptModel(c);
        } else if (op == "detect") {
            // One detection run on this image with the page's models and
            // thresholds, outside the frame schedule; it changes no state.
            std::string text;
            auto frame = makeFrame(c, f.clock->now(), text);
            if (!vc.yoloService || !vc.yoloService->processor) throw StepError{"no detection service"};
            f.transcript->add("STEP", "detect " + text);
            vc.yoloService->processor->runDetection(frame);
        } else {
            throw StepError{"unknown step \"" + op + "\""};
        }
        f.dispatch->drainAll();
        return true;
    } catch (const StepError& e) {
        emit("ERROR", "line " + std::to_string(line_) + ": " + e.message);
    } catch (const nlohmann::json::exception& e) {
        emit("ERROR", "line " + std::to_string(line_) + ": " + e.what());
    }
    if (fake_) fake_->dispatch->drainAll();
    return false;
}

}  // namespace tevra::replay
