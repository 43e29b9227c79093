// The desktop host in the real engine: ViewControllerSDK, the WebKitGTK page
// view, the GL camera view and the simulated session, wired by tevra-host's
// own HostApp, with the bundled demo page. Runs in the page-view test program,
// whose environment provides the X server (Xvfb) and GTK.
#include "HostApp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/wait.h>

#include "linux/support/Watchdog.h"
#include "platform/linux/GtkCameraView.h"
#include "platform/linux/WebKitPageView.h"
#include "linux/support/Sanitizers.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace tevra::host {
namespace {

const std::string kSource = TEVRA_SOURCE_DIR;

// This program unwinds every allocation slowly under AddressSanitizer (for the
// engine's leak suppressions). The camera view's GL runs on llvmpipe, whose
// JIT registers its unwind tables while holding the unwinder's lock and then
// allocates: the slow unwinding waits for that same lock, a deadlock. So the
// real-engine host tests do not run in an AddressSanitizer build.
#if TEVRA_TEST_ASAN
constexpr bool kSlowUnwinding = true;
#else
constexpr bool kSlowUnwinding = false;
#endif

class CapturedLog : public Log {
public:
    void system(std::string_view line) override { add(line); }
    void standardOutput(std::string_view line) override { add(line); }
    bool has(const std::string& line) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    void add(std::string_view line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(line);
    }
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A pixel of an ARGB32 cairo surface.
struct Pixel {
    int r, g, b;
};

class Picture {
public:
    explicit Picture(cairo_surface_t* s) : surface_(s) {}
    Picture(const Picture&) = delete;
    Picture& operator=(Picture&& other) noexcept {
        std::swap(surface_, other.surface_);
        return *this;
    }
    ~Picture() {
        if (surface_) cairo_surface_destroy(surface_);
    }
    bool valid() const { return surface_ && cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS; }
    int width() const { return cairo_image_surface_get_width(surface_); }
    int height() const { return cairo_image_surface_get_height(surface_); }
    Pixel at(int x, int y) const {
        const unsigned char* row =
            cairo_image_surface_get_data(surface_) + static_cast<size_t>(y) * cairo_image_surface_get_stride(surface_);
        uint32_t v;
        std::memcpy(&v, row + x * 4, 4);
        return {static_cast<int>((v >> 16) & 0xff), static_cast<int>((v >> 8) & 0xff), static_cast<int>(v & 0xff)};
    }
    void save(const std::string& path) const { cairo_surface_write_to_png(surface_, path.c_str()); }

private:
    cairo_surface_t* surface_;
};

// The grid's and the cube's colours, as the demo page draws them.
bool isGrid(Pixel p) { return p.r < 90 && p.g > 170 && p.b > 170; }
bool isCube(Pixel p) { return p.r > 110 && p.b > 110 && p.g < 60; }

struct Point {
    double x, y;
};

// Where a world point lands in the page view, from the matrices the page got.
bool project(const float4x4& projection, const float4x4& view, float3 world, Size viewport, Point& out) {
    float4 clip = projection * (view * float4{world.x, world.y, world.z, 1.0f});
    if (clip.w <= 1e-6f) return false;
    out.x = (clip.x / clip.w + 1.0) / 2.0 * viewport.width;
    out.y = (1.0 - clip.y / clip.w) / 2.0 * viewport.height;
    return true;
}

// True when p lies inside the convex polygon (either winding).
bool inside(const std::vector<Point>& poly, Point p) {
    int sign = 0;
    for (size_t i = 0; i < poly.size(); ++i) {
        const Point& a = poly[i];
        const Point& b = poly[(i + 1) % poly.size()];
        const double cross = (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
        const int s = cross > 0 ? 1 : (cross < 0 ? -1 : 0);
        if (s == 0) continue;
        if (sign == 0)
            sign = s;
        else if (s != sign)
            return false;
    }
    return true;
}

std::vector<Point> scaled(const std::vector<Point>& poly, double factor) {
    Point c{0, 0};
    for (auto& p : poly) c = {c.x + p.x / poly.size(), c.y + p.y / poly.size()};
    std::vector<Point> out;
    for (auto& p : poly) out.push_back({c.x + (p.x - c.x) * factor, c.y + (p.y - c.y) * factor});
    return out;
}

// One host for the whole suite (the engine starts once); each test loads its
// own page, and every navigation restarts the session with no anchors.
class HostTest : public ::testing::Test {
protected:
    static void TearDownTestSuite() {
        sApp.reset();
        std::error_code ec;
        if (!sDocuments.empty()) fs::remove_all(sDocuments, ec);
    }

    void SetUp() override {
        if (!gdk_display_get_default()) GTEST_SKIP() << "no display (run under xvfb-run)";
        if (kSlowUnwinding)
            GTEST_SKIP() << "llvmpipe's JIT deadlocks with this program's slow unwinding under AddressSanitizer";
        if (sDocuments.empty()) {
            sDocuments = fs::temp_directory_path() / ("tevra-host-test-" + std::to_string(::getpid()));
            fs::remove_all(sDocuments);
            fs::create_directories(sDocuments);
        }
        documents_ = sDocuments;
    }
    void TearDown() override {
        if (app_) app_->stopPlayback();
    }

    // Shows `url` in the suite's host and waits until the demo page is ready.
    void open(const std::string& url, const std::string& ready = "!!(window.demo && window.Zephral)") {
        if (!sApp) {
            HostOptions o;
            o.session = kSource + "/examples/sessions/demo";
            o.resources = kSource + "/examples/resources";
            o.documents = sDocuments.string();
            o.defaults = (sDocuments / "defaults.json").string();
            o.url = url;
            o.loop = false;
            o.logTap = sLog;
            auto app = std::make_unique<HostApp>(std::move(o));
            std::string error;
            ASSERT_TRUE(app->start(error)) << error;
            sApp = std::move(app);
            app_ = sApp.get();
            // The first frame's tracking change does not load the page again
            // (HostProgramTest counts the loads).
            ASSERT_TRUE(app_->step());
        } else {
            app_ = sApp.get();
            app_->evaluate("window.replacedPage = true");
            // A page outside the resources by its own address; the others
            // as the controller resolves them.
            if (url.rfind("file:///", 0) == 0)
                app_->controller().wkWebView->loadRequest(url);
            else
                app_->controller().loadURL(url);
        }
        ASSERT_TRUE(HostApp::iterateUntil(
            [&] {
                auto answer =
                    app_->evaluate(ready + " && !window.replacedPage && document.readyState === 'complete'", 1);
                return answer && *answer == true && app_->pageView()->estimatedProgress() >= 1.0;
            },
            10))
            << "the demo page did not load: "
            << app_->evaluate("[!!window.demo, document.readyState, location.href]", 1).value_or("no answer").dump();
        HostApp::iterateUntil([] { return false; }, 0.1);
    }

    json pageState() {
        auto s = app_->evaluate("demo.state()");
        return s && s->is_object() ? *s : json::object();
    }

    // Plays in real time until `done` or the bound.
    bool playUntil(const std::function<bool()>& done, double seconds) {
        app_->startPlayback();
        bool ok = HostApp::iterateUntil(done, seconds);
        app_->stopPlayback();
        return ok;
    }

    static inline std::unique_ptr<HostApp> sApp;
    static inline fs::path sDocuments;
    static inline std::shared_ptr<CapturedLog> sLog = std::make_shared<CapturedLog>();
    fs::path documents_;
    std::shared_ptr<CapturedLog> log_ = sLog;
    HostApp* app_ = nullptr;
};

// The demo page gets paced frame calls of 39 numbers, acknowledges each, and
// its screenshot shows the grid over the floor and a cube over an anchor.
TEST_F(HostTest, DemoPageDrawsTheGridOnTheFloorAndACubeOnTheAnchor) {
    tevra::test::Watchdog watchdog(std::chrono::seconds(40), "DemoPageDrawsTheGridOnTheFloorAndACubeOnTheAnchor");
    ASSERT_NO_FATAL_FAILURE(open("file://demo"));
    auto session = app_->session();
    ASSERT_TRUE(session);

    const auto playStart = std::chrono::steady_clock::now();
    // Play until the floor plane is in, then place an anchor in front of the
    // camera and play the session to its end.
    ASSERT_TRUE(playUntil([&] { return pageState().value("planes", 0) >= 1 && session->nextFrameIndex() >= 25; }, 8))
        << pageState().dump();
    auto id = app_->evaluate("demo.addAnchorInFront(1.0)");
    ASSERT_TRUE(id && id->is_number()) << (id ? id->dump() : "no answer");
    {
        // Straight ahead of the camera the page last drew with.
        auto f = session->currentFrame();
        auto it = app_->controller().anchors.find(std::to_string(id->get<int>()));
        ASSERT_NE(it, app_->controller().anchors.end());
        const float4x4 camera = f->camera()->transform();
        const float4 local = inverse(camera) * it->second->transform().columns[3];
        EXPECT_NEAR(std::hypot(local.x, local.y), 0.0, 0.1) << local.x << " " << local.y << " " << local.z;
        EXPECT_NEAR(local.z, -1.0, 0.1);
    }
    ASSERT_TRUE(playUntil([&] { return session->isFinished(); }, 6));
    const double played = std::chrono::duration<double>(std::chrono::steady_clock::now() - playStart).count();
    // Without new AR frames, the page's last acknowledgement makes the camera
    // view draw the frame whose pose the page drew with.
    HostApp::iterateUntil([] { return false; }, 0.4);

    json state = pageState();
    EXPECT_TRUE(state["webgl"].get<bool>());
    EXPECT_EQ(state["tracking"], "Normal");
    // Paced by the page, most of the 30 frames reach it (how many depends on
    // the machine's load); the one-second watchdog alone would give one per
    // second of playback.
    EXPECT_GT(state["frames"].get<double>(), played + 3) << "in " << played << " s";
    EXPECT_EQ(state["acknowledged"], state["frames"]);
    auto length = app_->evaluate("Zephral.frame.raw.length");
    ASSERT_TRUE(length);
    EXPECT_EQ(*length, 39);
    EXPECT_EQ(state["planes"], 1);

    // Where the page must have drawn, from the matrices of the last frame.
    auto frame = session->currentFrame();
    ASSERT_TRUE(frame);
    const long orientation = app_->controller().interfaceOrientation;
    const Size viewport = app_->controller().wkWebView->frame().size();
    const float4x4 view = frame->camera()->viewMatrixForOrientation(orientation);
    const float4x4 projection = frame->camera()->projectionMatrixForOrientation(
        orientation, viewport, app_->controller().near, app_->controller().far);
    std::shared_ptr<ARPlaneAnchor> plane;
    for (auto& a : session->anchors())
        if (a->isPlaneAnchor()) plane = std::static_pointer_cast<ARPlaneAnchor>(a);
    ASSERT_TRUE(plane);
    std::vector<Point> floor;
    for (auto [sx, sz] : {std::pair{1, 1}, {-1, 1}, {-1, -1}, {1, -1}}) {
        const float3 local{plane->center().x + sx * plane->extent().x / 2, plane->center().y,
                           plane->center().z + sz * plane->extent().z / 2};
        float4 world = plane->transform() * float4{local.x, local.y, local.z, 1.0f};
        Point p;
        ASSERT_TRUE(project(projection, view, {world.x, world.y, world.z}, viewport, p));
        floor.push_back(p);
    }
    auto it = app_->controller().anchors.find(std::to_string(id->get<int>()));
    ASSERT_NE(it, app_->controller().anchors.end());
    const float4x4 anchor = it->second->transform();
    Point cube;
    ASSERT_TRUE(
        project(projection, view, {anchor.columns[3].x, anchor.columns[3].y, anchor.columns[3].z}, viewport, cube));

    // The camera image under the grid shows the floor (the demo room's
    // floor is brown and beige; its walls are pink and blue).
    {
        auto* camera = app_->cameraView();
        ASSERT_TRUE(camera);
        const linux_platform::CameraSnapshot image = camera->snapshot();
        ASSERT_EQ(image.width, static_cast<int>(viewport.width));
        ASSERT_EQ(image.height, static_cast<int>(viewport.height));
        const auto inner = scaled(floor, 0.85);
        long floorLike = 0, count = 0;
        for (int y = 0; y < image.height; y += 2)
            for (int x = 0; x < image.width; x += 2) {
                if (!inside(inner, {x + 0.5, y + 0.5})) continue;
                const uint8_t* p = &image.rgba[(static_cast<size_t>(y) * image.width + x) * 4];
                ++count;
                floorLike += p[0] > p[2] + 30 && p[1] > p[2] + 10;
            }
        ASSERT_GT(count, 100);
        EXPECT_GT(floorLike, count * 9 / 10)
            << floorLike << " of " << count << " camera pixels under the grid look like floor";
    }

    Picture shot(app_->composite());
    ASSERT_TRUE(shot.valid());
    ASSERT_EQ(shot.width(), static_cast<int>(viewport.width));
    // The page's own bars (status on top, buttons at the bottom) are left out.
    const int top = 70, bottom = shot.height() - 70;
    const auto inner = scaled(floor, 0.85), outer = scaled(floor, 1.2);
    long gridIn = 0, pixelsIn = 0, gridOut = 0, pixelsOut = 0, cubeNear = 0, cubeFar = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const Pixel p = shot.at(x, y);
            const Point q{x + 0.5, y + 0.5};
            const double d = std::hypot(q.x - cube.x, q.y - cube.y);
            if (d < 40)
                cubeNear += isCube(p);
            else if (d > 120)
                cubeFar += isCube(p);
            if (d < 120) continue;  // the cube may cover the grid
            if (inside(inner, q)) {
                ++pixelsIn;
                gridIn += isGrid(p);
            } else if (!inside(outer, q)) {
                ++pixelsOut;
                gridOut += isGrid(p);
            }
        }
    if (::testing::Test::HasFailure() || std::getenv("TEVRA_KEEP_SCREENSHOT")) shot.save("host-test-screenshot.png");
    ASSERT_GT(pixelsIn, 500) << "the floor is off screen";
    EXPECT_GT(gridIn, pixelsIn / 10) << "grid pixels over the floor: " << gridIn << " of " << pixelsIn;
    EXPECT_LT(gridOut, std::max(20L, pixelsOut / 500)) << "grid pixels away from the floor: " << gridOut;
    EXPECT_GT(cubeNear, 150) << "cube pixels around (" << cube.x << ", " << cube.y << ")";
    EXPECT_EQ(cubeFar, 0);

    // Hiding the camera feed keeps the page's drawing; the image behind goes:
    // the picture, like the window, shows the page on white.
    app_->evaluate("demo.setCameraShown(false)");
    EXPECT_FALSE(app_->controller().showingCameraFeed);
    long floorShown = -1;
    HostApp::iterateUntil(
        [&] {
            Picture hidden(app_->composite());
            if (!hidden.valid()) return false;
            floorShown = 0;
            for (int y = top; y < bottom; y += 2)
                for (int x = 0; x < hidden.width(); x += 2) {
                    const Point q{x + 0.5, y + 0.5};
                    const Pixel p = hidden.at(x, y);
                    if (inside(inner, q) && std::hypot(q.x - cube.x, q.y - cube.y) > 120)
                        floorShown += p.r > p.b + 30 && p.g > p.b + 10;
                }
            return floorShown == 0;
        },
        5);
    EXPECT_EQ(floorShown, 0) << "camera pixels in the picture with the camera hidden";
    app_->evaluate("demo.setCameraShown(true)");
}

// A tap places an anchor 20 cm in front of the camera; the page hears of it
// only in a later "anchorsupdated" event, without a page id. A page anchor
// comes back under its own id.
TEST_F(HostTest, TapAndPageAnchorsShowUpInLaterAnchorEvents) {
    tevra::test::Watchdog watchdog(std::chrono::seconds(30), "TapAndPageAnchorsShowUpInLaterAnchorEvents");
    ASSERT_NO_FATAL_FAILURE(open("file://demo"));
    app_->evaluate("window.reports = []; Zephral.on('anchorsupdated', function (e) { reports.push(e.anchors); });");
    ASSERT_TRUE(playUntil([&] { return app_->session()->nextFrameIndex() >= 12; }, 5));
    // Anchors of earlier pages stay in the session (a navigation resets
    // tracking only), so the reports are read relative to them.
    size_t before = 0;
    for (auto& a : app_->session()->anchors()) before += !a->isPlaneAnchor();
    auto lastReport = [&]() -> json {
        auto r = app_->evaluate("reports.length ? reports[reports.length - 1] : []");
        return r ? *r : json::array();
    };

    const auto& recognizers = app_->controller().view->gestureRecognizers();
    ASSERT_FALSE(recognizers.empty());
    const float4x4 camera = app_->session()->currentFrame()->camera()->transform();
    const json reportsBeforeTap = *app_->evaluate("reports.length");
    recognizers.front()->fire();
    HostApp::iterateUntil([] { return false; }, 0.1);
    EXPECT_EQ(*app_->evaluate("reports.length"), reportsBeforeTap) << "nothing is sent at the tap";

    // The session reports the new anchor as added (not a plane: no event),
    // then as updated.
    ASSERT_TRUE(app_->step());
    HostApp::iterateUntil([] { return false; }, 0.1);
    EXPECT_EQ(lastReport().size(), before);
    ASSERT_TRUE(app_->step());
    ASSERT_TRUE(HostApp::iterateUntil([&] { return lastReport().size() == before + 1; }, 3)) << lastReport().dump();
    const json tapped = lastReport().back();
    EXPECT_TRUE(tapped["identifier"].is_null());
    const float4 expected = camera * float4{0, 0, -0.2f, 1};
    const json& m = tapped["modelMatrix"];
    EXPECT_NEAR(m[12].get<double>(), expected.x, 1e-5);
    EXPECT_NEAR(m[13].get<double>(), expected.y, 1e-5);
    EXPECT_NEAR(m[14].get<double>(), expected.z, 1e-5);

    // The page's own anchor: added on the next step, updated after that,
    // under its page id.
    auto id = app_->evaluate("demo.addAnchorInFront(0.5)");
    ASSERT_TRUE(id && id->is_number());
    ASSERT_TRUE(app_->step());
    ASSERT_TRUE(app_->step());
    ASSERT_TRUE(HostApp::iterateUntil([&] { return lastReport().size() == before + 2; }, 3)) << lastReport().dump();
    json last = lastReport();
    EXPECT_EQ(last.back()["identifier"], *id) << last.dump();
    for (size_t i = 0; i + 1 < last.size(); ++i) EXPECT_TRUE(last[i]["identifier"].is_null()) << last.dump();

    // "Remove anchors" drops the page's anchor from the session; the tap
    // anchor stays.
    app_->evaluate("demo.removeAnchors()");
    HostApp::iterateUntil([] { return false; }, 0.1);
    ASSERT_TRUE(app_->step());
    ASSERT_TRUE(app_->step());
    ASSERT_TRUE(HostApp::iterateUntil([&] { return lastReport().size() == before + 1; }, 3)) << lastReport().dump();
    for (auto& a : lastReport()) EXPECT_TRUE(a["identifier"].is_null());
    EXPECT_TRUE(app_->controller().anchors.empty());
}

// A click on a page button is the page's alone; a click on nothing the page
// takes reaches the page too and is the host view's tap: an anchor 20 cm
// ahead, which the page sees in a later anchor event.
TEST_F(HostTest, ClicksReachThePageAndUntakenOnesAreTaps) {
    tevra::test::Watchdog watchdog(std::chrono::seconds(40), "ClicksReachThePageAndUntakenOnesAreTaps");
    ASSERT_NO_FATAL_FAILURE(open("file://demo"));
    app_->evaluate(
        "window.reports = []; Zephral.on('anchorsupdated', function (e) { reports.push(e.anchors); });"
        "window.clicks = []; addEventListener('click', function (e) { clicks.push(e.target.id); }, true);");
    ASSERT_TRUE(playUntil([&] { return app_->session()->nextFrameIndex() >= 12; }, 5));
    auto others = [&] {
        size_t n = 0;
        for (auto& a : app_->session()->anchors()) n += !a->isPlaneAnchor();
        return n;
    };
    auto clicks = [&] { return app_->evaluate("clicks").value_or(json::array()); };
    const size_t before = others();

    auto button = app_->evaluate(
        "(function () { var r = document.getElementById('haptic').getBoundingClientRect();"
        "  return [Math.round(r.left + r.width / 2), Math.round(r.top + r.height / 2)]; })()");
    ASSERT_TRUE(button && button->is_array());
    ASSERT_TRUE(app_->click((*button)[0].get<int>(), (*button)[1].get<int>()));
    ASSERT_TRUE(HostApp::iterateUntil([&] { return clicks().size() == 1; }, 3)) << clicks().dump();
    EXPECT_EQ(clicks()[0], "haptic");
    HostApp::iterateUntil([] { return false; }, 0.2);
    EXPECT_EQ(others(), before) << "a click on a page button is no tap";

    ASSERT_TRUE(app_->click(195, 420));
    ASSERT_TRUE(HostApp::iterateUntil([&] { return clicks().size() == 2 && others() == before + 1; }, 3))
        << clicks().dump();
    EXPECT_EQ(clicks()[1], "scene");
    // Added on the next step, reported as updated on the one after.
    ASSERT_TRUE(app_->step());
    ASSERT_TRUE(app_->step());
    ASSERT_TRUE(HostApp::iterateUntil(
        [&] { return app_->evaluate("reports.length && reports[reports.length - 1].length") == json(before + 1); }, 3));
    EXPECT_FALSE(app_->click(-1, 10));
    EXPECT_FALSE(app_->click(10, 5000));
}

// A resized window and a turned device reach the page: its size, the
// window-size call and the projection of its new size and orientation; the
// camera view draws at the new size.
TEST_F(HostTest, ResizeAndOrientationReachThePage) {
    tevra::test::Watchdog watchdog(std::chrono::seconds(60), "ResizeAndOrientationReachThePage");
    ASSERT_NO_FATAL_FAILURE(open("file://demo"));
    app_->evaluate("window.sizes = []; Zephral.on('windowsize', function (s) { sizes.push([s.width, s.height]); });");
    ViewControllerSDK& c = app_->controller();
    const int scale = app_->cameraView()->scaleFactor();
    std::string why;
    auto shows = [&](int w, int h, long orientation) {
        const Size size{double(w), double(h)};
        auto pr = app_->evaluate("Zephral.frame ? Array.prototype.slice.call(Zephral.frame.projectionMatrix) : 0", 1);
        auto inner = app_->evaluate("[innerWidth, innerHeight]", 1);
        why = "page projection " + (pr ? pr->dump() : "none") + ", page size " + (inner ? inner->dump() : "none");
        if (!pr || !pr->is_array() || pr->size() != 16 || !inner || *inner != json::array({w, h})) return false;
        if (c.interfaceOrientation != orientation || c.wkWebView->frame().size() != size ||
            app_->cameraView()->drawableSize() != Size{double(w * scale), double(h * scale)})
            return false;
        auto e = app_->session()
                     ->currentFrame()
                     ->camera()
                     ->projectionMatrixForOrientation(orientation, size, c.near, c.far)
                     .elements();
        for (int i : {0, 5, 8, 9})
            if (std::abs((*pr)[i].get<double>() - e[i]) > 1e-4 + 1e-3 * std::abs(e[i])) return false;
        return true;
    };
    auto lastSize = [&] { return app_->evaluate("sizes.length ? sizes[sizes.length - 1] : 0").value_or(0); };

    gtk_window_resize(GTK_WINDOW(app_->window()), 480, 640);
    ASSERT_TRUE(playUntil([&] { return shows(480, 640, 1); }, 10)) << why;
    ASSERT_TRUE(HostApp::iterateUntil([&] { return lastSize() == json::array({480, 640}); }, 3)) << lastSize();

    // Landscape (Ctrl+Left): the window turns with the device.
    c.restartSession();
    ASSERT_TRUE(app_->setOrientation(3));
    ASSERT_TRUE(playUntil([&] { return shows(640, 480, 3); }, 10)) << why;
    ASSERT_TRUE(HostApp::iterateUntil([&] { return lastSize() == json::array({640, 480}); }, 3)) << lastSize();

    // Back as the other tests expect it.
    c.restartSession();
    app_->setOrientation(1);
    gtk_window_resize(GTK_WINDOW(app_->window()), 390, 844);
    ASSERT_TRUE(playUntil([&] { return shows(390, 844, 1); }, 10)) << why;
}

// The picture pairs the camera image with the page's drawing of the same
// frame: a marker the page draws at a world point from the frame call's
// matrices lies where the session's geometry puts that point over the
// camera image. And the picture is what the X server shows of the window.
TEST_F(HostTest, MarkerLandsWhereTheSessionPutsItAndThePictureIsTheScreens) {
    tevra::test::Watchdog watchdog(std::chrono::seconds(40),
                                   "MarkerLandsWhereTheSessionPutsItAndThePictureIsTheScreens");
    ASSERT_NO_FATAL_FAILURE(
        open("file://" + kSource + "/tests/linux/pages/marker.html", "!!window.Zephral && 'marker' in window"));
    auto session = app_->session();
    // A point ahead of and below the camera of the session's last frame;
    // then the session plays again with the marker there.
    ASSERT_TRUE(playUntil([&] { return session->isFinished(); }, 8));
    const float4 world = session->currentFrame()->camera()->transform() * float4{0.15f, -0.1f, -1.2f, 1.0f};
    app_->controller().restartSession();
    app_->evaluate("window.marker = [" + std::to_string(world.x) + ", " + std::to_string(world.y) + ", " +
                   std::to_string(world.z) + "]");
    ASSERT_TRUE(playUntil([&] { return session->isFinished(); }, 8));
    HostApp::iterateUntil([] { return false; }, 0.4);

    const ViewControllerSDK& c = app_->controller();
    const auto frame = session->currentFrame();
    const Size viewport = c.wkWebView->frame().size();
    Point expected;
    ASSERT_TRUE(
        project(frame->camera()->projectionMatrixForOrientation(c.interfaceOrientation, viewport, c.near, c.far),
                frame->camera()->viewMatrixForOrientation(c.interfaceOrientation), {world.x, world.y, world.z},
                viewport, expected));
    Picture shot(app_->composite());
    ASSERT_TRUE(shot.valid());
    double sx = 0, sy = 0;
    long n = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const Pixel p = shot.at(x, y);
            if (p.r > 230 && p.g < 30 && p.b > 230) sx += x + 0.5, sy += y + 0.5, ++n;
        }
    if (n < 40 || std::getenv("TEVRA_KEEP_SCREENSHOT")) shot.save("host-test-marker.png");
    ASSERT_GE(n, 40) << "no marker in the picture; expected at " << expected.x << ", " << expected.y
                     << "; page: " << app_->evaluate("[window.marker, window.drawnWith]").value_or(0).dump();
    EXPECT_NEAR(sx / n, expected.x, 1.5) << "the page drew with " << app_->evaluate("drawnWith").value_or(0).dump();
    EXPECT_NEAR(sy / n, expected.y, 1.5);

    // The X server's own picture of the window, from the root window. On a
    // loaded machine the server may still show the previous paint, so the
    // two are compared again, after the main loop had time, a few times.
    GtkWidget* host = gtk_widget_get_parent(app_->pageView()->widget());
    int ox = 0, oy = 0, hx = 0, hy = 0;
    gdk_window_get_origin(gtk_widget_get_window(app_->window()), &ox, &oy);
    gtk_widget_translate_coordinates(host, app_->window(), 0, 0, &hx, &hy);
    int worst = 0;
    long over = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (attempt > 0) {
            HostApp::iterateUntil([] { return false; }, 0.3);
            shot = Picture(app_->composite());
            ASSERT_TRUE(shot.valid());
        }
        GdkPixbuf* screen =
            gdk_pixbuf_get_from_window(gdk_get_default_root_window(), ox + hx, oy + hy, shot.width(), shot.height());
        ASSERT_TRUE(screen);
        const int channels = gdk_pixbuf_get_n_channels(screen), stride = gdk_pixbuf_get_rowstride(screen);
        const guchar* pixels = gdk_pixbuf_read_pixels(screen);
        worst = 0;
        over = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                const guchar* q = pixels + static_cast<size_t>(y) * stride + x * channels;
                const Pixel p = shot.at(x, y);
                const int d = std::max({std::abs(p.r - q[0]), std::abs(p.g - q[1]), std::abs(p.b - q[2])});
                worst = std::max(worst, d);
                over += d > 2;
            }
        g_object_unref(screen);
        if (worst <= 2) break;
    }
    std::cout << "marker " << sx / n - expected.x << ", " << sy / n - expected.y
              << " px from the session's point; picture against the X server's: largest difference " << worst
              << " levels, " << over << " of " << shot.width() * shot.height() << " pixels over 2" << std::endl;
    EXPECT_LE(worst, 2);
}

// ---- Command line ----

bool parse(std::vector<std::string> args, HostOptions& o, std::string& error) {
    args.insert(args.begin(), "tevra-host");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return parseHostOptions(static_cast<int>(argv.size()), argv.data(), o, error);
}

TEST(HostOptions, ParsesEveryOptionAndRefusesBadValues) {
    HostOptions o;
    std::string error;
    ASSERT_TRUE(parse({"--url", "http://127.0.0.1:9/pages/index.html?vps=x&sign=y", "--session", "/s", "--size",
                       "844x390", "--orientation", "3", "--headless", "--no-loop", "--frames", "12", "--seconds", "2.5",
                       "--navigation", "--documents", "/d", "--defaults", "/d/defaults.json"},
                      o, error))
        << error;
    EXPECT_EQ(o.url, "http://127.0.0.1:9/pages/index.html?vps=x&sign=y");
    EXPECT_EQ(o.session, "/s");
    EXPECT_EQ(o.width, 844);
    EXPECT_EQ(o.height, 390);
    EXPECT_EQ(o.orientation, 3);
    EXPECT_TRUE(o.headless && o.navigation && !o.loop);
    EXPECT_EQ(o.frames, 12);
    EXPECT_EQ(o.seconds, 2.5);
    EXPECT_EQ(o.defaults, "/d/defaults.json");

    HostOptions timed;
    ASSERT_TRUE(parse({"--click-at", "1.5:195,400", "--orientation-at=2:3", "--click-at", "0:0,0"}, timed, error))
        << error;
    ASSERT_EQ(timed.clicks.size(), 2u);
    EXPECT_EQ(timed.clicks[0].seconds, 1.5);
    EXPECT_EQ(timed.clicks[0].x, 195);
    EXPECT_EQ(timed.clicks[0].y, 400);
    ASSERT_EQ(timed.orientations.size(), 1u);
    EXPECT_EQ(timed.orientations[0].seconds, 2);
    EXPECT_EQ(timed.orientations[0].orientation, 3);

    HostOptions other;
    ASSERT_TRUE(parse({"--url=demo/index.html?a=b=c", "--no-page-console", "--fresh", "--help"}, other, error))
        << error;
    EXPECT_EQ(other.url, "demo/index.html?a=b=c");
    EXPECT_TRUE(!other.pageConsole && other.fresh && other.help);

    for (const auto& bad : std::vector<std::vector<std::string>>{{"--size", "0x10"},
                                                                 {"--size", "wide"},
                                                                 {"--size", "10x10x"},
                                                                 {"--orientation", "7"},
                                                                 {"--orientation", "1x"},
                                                                 {"--frames", "-1"},
                                                                 {"--seconds", "soon"},
                                                                 {"--click-at", "1:2"},
                                                                 {"--click-at", "-1:2,3"},
                                                                 {"--click-at", "1:2,3,4"},
                                                                 {"--click-at", "nan:2,3"},
                                                                 {"--orientation-at", "3"},
                                                                 {"--orientation-at", "1:9"},
                                                                 {"--orientation-at", ":1"},
                                                                 {"--url"},
                                                                 {"--url", ""},
                                                                 {"--headless=yes"},
                                                                 {"--bogus"}}) {
        HostOptions fresh;
        error.clear();
        EXPECT_FALSE(parse(bad, fresh, error)) << bad[0];
        EXPECT_NE(error.find(bad[0].substr(0, bad[0].find('='))), std::string::npos) << error;
    }
    // Every option is in the help text.
    const std::string usage = hostUsage();
    for (const char* option :
         {"--url",         "--session",    "--resources", "--documents",       "--defaults", "--fresh",  "--size",
          "--orientation", "--navigation", "--no-loop",   "--no-page-console", "--headless", "--frames", "--seconds",
          "--screenshot",  "--help",       "--click-at",  "--orientation-at",  "Ctrl+Left",  "Example"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
}

// Every form a page can be given in, as the address the page view loads.
TEST(HostOptions, PageAddressesOfEveryForm) {
    const fs::path dir = fs::temp_directory_path() / ("tevra-host-pages-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "my page");
    fs::create_directories(dir / "res" / "demo");
    for (const fs::path& f : {dir / "index.html", dir / "my page" / "index.html", dir / "res" / "demo" / "index.html"})
        std::ofstream(f) << "<html></html>";
    const std::string d = dir.string(), res = (dir / "res").string(), url = "file://" + d;
    struct Case {
        std::string text, expected;  // expected empty: refused
    };
    const std::vector<Case> cases = {
        {"index.html", url + "/index.html"},
        {"./index.html?a=1&b=two#top", url + "/index.html?a=1&b=two#top"},
        {"my page", url + "/my%20page/index.html"},
        {d + "/my page/index.html?q=x", url + "/my%20page/index.html?q=x"},
        {"../" + dir.filename().string() + "/index.html", url + "/index.html"},
        {url + "/index.html?x=1", url + "/index.html?x=1"},
        {url + "/my%20page/?x=1", url + "/my%20page/index.html?x=1"},
        {"file://demo", "file://" + res + "/demo/index.html"},
        {"file://demo?sign=a&vps=http://127.0.0.1:9/vps",
         "file://" + res + "/demo/index.html?sign=a&vps=http://127.0.0.1:9/vps"},
        {"http://127.0.0.1:9/pages/index.html?vps=x&sign=y", "http://127.0.0.1:9/pages/index.html?vps=x&sign=y"},
        {"https://example.org/a/?q#f", "https://example.org/a/?q#f"},
        {"www.example.com", "http://www.example.com"},
        {"probe.html", ""},
        {"/no/such/index.html", ""},
        {url + "/missing.html", ""},
        {url + "/bad%zz.html", ""},
        {"file://nosuch", ""},
        {"index.html?a b", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        std::string error;
        auto address = pageAddress(c.text, res, d, error);
        if (c.expected.empty()) {
            EXPECT_FALSE(address) << c.text << " gave " << address.value_or("");
            EXPECT_FALSE(error.empty()) << c.text;
        } else {
            EXPECT_EQ(address.value_or("(refused: " + error + ")"), c.expected) << c.text;
        }
    }
    fs::remove_all(dir);
}

// ---- The program as a page author runs it ----

struct HostRun {
    int status = -1;
    std::string out, err;
};

// Runs tevra-host headless with `args`, bounded; its output in `dir`.
HostRun runHost(const fs::path& dir, std::vector<std::string> args) {
    std::vector<std::string> all = {TEVRA_HOST_BINARY,
                                    "--headless",
                                    "--no-loop",
                                    "--session",
                                    kSource + "/examples/sessions/demo",
                                    "--resources",
                                    kSource + "/examples/resources",
                                    "--documents",
                                    (dir / "documents").string(),
                                    "--defaults",
                                    (dir / "defaults.json").string(),
                                    "--screenshot",
                                    (dir / "shot.png").string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string outPath = (dir / "out.txt").string(), errPath = (dir / "err.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    HostRun run;
    const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!spawned) return run;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) usleep(50000);
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    auto slurp = [](const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    return run;
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
}

class HostProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!gdk_display_get_default()) GTEST_SKIP() << "no display (run under xvfb-run)";
        // The sanitized host program is exercised by scripts/soak; the
        // sanitizer tree's test run stays short.
        if (kSlowUnwinding) GTEST_SKIP() << "runs the host program of the optimised build only";
        dir_ = fs::temp_directory_path() / ("tevra-host-program-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "my page");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_;
};

// A page of one's own, given as a local path with a query: loaded once, its
// console and uncaught errors on the terminal, its report in the JSON line;
// the next run without --url says which remembered page it loads.
TEST_F(HostProgramTest, OwnPageLoadsOnceWithItsConsoleAndReport) {
    tevra::test::Watchdog watchdog(std::chrono::seconds(150), "OwnPageLoadsOnceWithItsConsoleAndReport");
    std::ofstream(dir_ / "my page" / "index.html") << R"(<!doctype html><html><body><script>
console.log('loaded ' + location.search);
console.warn('two\nlines', {n: 1});
window.addEventListener('tevra:report', function (e) {
  e.detail.query = location.search;
  e.detail.api = !!window.Zephral;
});
setTimeout(function () { throw new Error('boom'); }, 0);
Promise.reject(new Error('refused'));
</script></body></html>)";
    const HostRun run =
        runHost(dir_, {"--frames", "10", "--url", (dir_ / "my page" / "index.html").string() + "?x=1&y=two"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(linesStartingWith(run.out, "page: log index.html:2: loaded ?x=1&y=two").size(), 1u) << run.out;
    EXPECT_EQ(linesStartingWith(run.out, "page: warn index.html:3: two\\nlines {\"n\":1}").size(), 1u) << run.out;
    const auto exceptions = linesStartingWith(run.out, "page: exception index.html:8: ");
    ASSERT_EQ(exceptions.size(), 1u) << run.out;
    EXPECT_NE(exceptions[0].find("boom"), std::string::npos);
    EXPECT_EQ(linesStartingWith(run.out, "page: rejection index.html:9: Error: refused").size(), 1u) << run.out;
    const auto reports = linesStartingWith(run.out, "page: {");
    ASSERT_EQ(reports.size(), 1u) << run.out;
    EXPECT_EQ(json::parse(reports[0].substr(6)), (json{{"query", "?x=1&y=two"}, {"api", true}}));

    // Without --url: the remembered page, said so, with its query.
    const HostRun again = runHost(dir_, {"--frames", "3", "--no-page-console"});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_NE(again.out.find("loading the remembered page file://" + dir_.string() + "/my%20page/index.html?x=1&y=two"),
              std::string::npos)
        << again.out;
    EXPECT_TRUE(linesStartingWith(again.out, "page: log").empty()) << again.out;
}

// A page that does not load: one line with the engine's reason, and the
// headless run fails; a page file that does not exist is a bad command line.
TEST_F(HostProgramTest, PageThatDoesNotLoadFailsTheRun) {
    tevra::test::Watchdog watchdog(std::chrono::seconds(100), "PageThatDoesNotLoadFailsTheRun");
    // A port nobody listens on: bound, then closed again.
    int port = 0;
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
        port = ntohs(a.sin_port);
        close(fd);
    }
    const HostRun run =
        runHost(dir_, {"--seconds", "2", "--url", "http://127.0.0.1:" + std::to_string(port) + "/index.html"});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const auto failures = linesStartingWith(run.err, "tevra-host: the page did not load: ");
    ASSERT_EQ(failures.size(), 1u) << run.err;
    EXPECT_NE(failures[0].find("Connection refused"), std::string::npos) << failures[0];

    const HostRun missing = runHost(dir_, {"--url", "probe.html"});
    EXPECT_EQ(missing.status, 2) << missing.out << missing.err;
    EXPECT_NE(missing.err.find("no such page file: probe.html"), std::string::npos) << missing.err;
}

// ---- The page side of the model and VPS loop, against the stub server ----

class StubServer {
public:
    StubServer(const fs::path& models, const fs::path& pages, const fs::path& portFile) {
        // Spawned, not forked: this process runs the engine's threads.
        const std::string script = kSource + "/apps/tevra-stub/tevra-stub.py";
        std::vector<std::string> args = {"python3", script,         "--models",    models.string(),
                                         "--pages", pages.string(), "--port-file", portFile.string()};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, "/usr/bin/python3", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            std::ifstream in(portFile);
            if (in >> port_) break;
            usleep(20000);
        }
    }
    ~StubServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool ok() const { return port_ > 0; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

TEST_F(HostTest, DemoPagePreparesModelsAndAsksTheStubForVPSFixes) {
    tevra::test::Watchdog watchdog(std::chrono::seconds(60), "DemoPagePreparesModelsAndAsksTheStubForVPSFixes");
    const fs::path models = documents_ / "served";
    fs::create_directories(models);
    const std::string make = "/usr/bin/python3 " + kSource + "/tools/make_test_models.py " +
                             (documents_ / "packages").string() + " --form package >/dev/null && cd " +
                             (documents_ / "packages").string() + " && /usr/bin/python3 -m zipfile -c " +
                             (models / "sign.zip").string() +
                             " test_sign.mlpackage && /usr/bin/python3 -m zipfile -c " +
                             (models / "digit.zip").string() + " test_digit.mlpackage";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;
    StubServer stub(models, kSource + "/examples/resources/demo", documents_ / "port");
    ASSERT_TRUE(stub.ok());

    // tevra-host started with the demo page's address and its parameters;
    // unique model names, so no model stored by an earlier run is used.
    const std::string tag = std::to_string(::getpid());
    const std::string query = "?sign=" + stub.url("/models/sign.zip") + "&digit=" + stub.url("/models/digit.zip") +
                              "&signName=host_sign_" + tag + "&digitName=host_digit_" + tag +
                              "&vps=" + stub.url("/vps") + "&token=T0k&every=0.5";
    ASSERT_NO_FATAL_FAILURE(open(stub.url("/pages/index.html" + query)));
    ASSERT_TRUE(HostApp::iterateUntil(
        [&] {
            auto s = app_->evaluate("window.demo ? demo.state().modelsRequested : false", 1);
            return s && *s == true;
        },
        8));
    ASSERT_TRUE(playUntil(
        [&] {
            return log_->has("[YOLO] All models ready") && app_->evaluate("demo.state().vpsAnswers").value_or(0) >= 1;
        },
        20))
        << ::testing::PrintToString(log_->lines()) << pageState().dump();

    EXPECT_TRUE(log_->has("[YOLO] Model host_sign_" + tag + " ready"));
    EXPECT_TRUE(log_->has("[YOLO] Model host_digit_" + tag + " ready"));
    json state = pageState();
    // The page heard of each download's start and end.
    for (const std::string& model : {"host_sign_" + tag, "host_digit_" + tag}) {
        std::vector<std::string> seen;
        for (const auto& e : state["modelEvents"])
            if (e.get<std::string>().rfind(model + ":", 0) == 0) seen.push_back(e.get<std::string>());
        EXPECT_EQ(seen, (std::vector<std::string>{model + ":downloading", model + ":ready"})) << state.dump();
    }
    EXPECT_EQ(state["lastAnswer"]["data"]["attributes"]["floor_detector"], "floor_by_yolo");

    // What the stub received: each archive once, and a JPEG of the upright
    // camera image fitted into 540 x 960 with the full image's intrinsics.
    std::string text;
    {
        std::string cmd = "/usr/bin/python3 -c \"import urllib.request,sys;sys.stdout.write(urllib.request.urlopen('" +
                          stub.url("/log") + "').read().decode())\"";
        FILE* f = popen(cmd.c_str(), "r");
        ASSERT_TRUE(f);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        pclose(f);
    }
    json received = json::parse(text, nullptr, false);
    ASSERT_FALSE(received.is_discarded()) << text;
    EXPECT_EQ(received["downloads"]["/models/sign.zip"], 1);
    EXPECT_EQ(received["downloads"]["/models/digit.zip"], 1);
    ASSERT_FALSE(received["vps"].empty());
    const json& first = received["vps"][0];
    // The 320 x 240 session image, upright in portrait: 240 x 320, fitted: 540 x 720.
    EXPECT_EQ(first["jpeg_width"], 540);
    EXPECT_EQ(first["jpeg_height"], 720);
    EXPECT_EQ(first["intrinsics"]["width"], 240);
    EXPECT_EQ(first["intrinsics"]["height"], 320);
    EXPECT_EQ(first["authorization"], "Bearer T0k");
}

}  // namespace
}  // namespace tevra::host
