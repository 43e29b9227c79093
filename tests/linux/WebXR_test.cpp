// navigator.xr (resources/WebXR.js) in the real engine: tevra-host's HostApp
// plays the recorded demo session, landscape, under two immersive-ar pages,
// the three.js example (ARButton, hit-test reticle, anchors on select) and
// a page written straight against navigator.xr. Each page starts its session
// itself (start=1 presses its button once it shows) and tilts its reticle's
// ray 15 degrees below the view's centre (aim=15), where this session's
// camera sees the floor plane.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "HostApp.h"
#include "TevraARWebGL/platform/sim/SimCamera.h"
#include "linux/support/Sanitizers.h"
#include "linux/support/Watchdog.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace tevra::host {
namespace {

const std::string kSource = TEVRA_SOURCE_DIR;
constexpr double kAimDegrees = 15;

#if TEVRA_TEST_ASAN
constexpr bool kSlowUnwinding = true;  // see Host_test.cpp: llvmpipe's JIT deadlocks with it
#else
constexpr bool kSlowUnwinding = false;
#endif

float4x4 fromJSON(const json& m) {
    float e[16];
    for (int i = 0; i < 16; ++i) e[i] = m.at(static_cast<size_t>(i)).get<float>();
    return float4x4::fromElements(e);
}

double distance(float4 a, float4 b) {
    return std::sqrt(std::pow(a.x - b.x, 2) + std::pow(a.y - b.y, 2) + std::pow(a.z - b.z, 2));
}

struct XRPage {
    const char* name;
    const char* url;
};

class WebXRHostTest : public ::testing::TestWithParam<XRPage> {
protected:
    static void TearDownTestSuite() {
        sApp.reset();
        std::error_code ec;
        if (!sDocuments.empty()) fs::remove_all(sDocuments, ec);
    }

    void SetUp() override {
        if (!gdk_display_get_default()) GTEST_SKIP() << "no display (run under xvfb-run)";
        if (kSlowUnwinding) GTEST_SKIP() << "llvmpipe's JIT deadlocks with this program's slow unwinding";
        if (!fs::exists(kSource + "/node_modules/three/build/three.module.js"))
            GTEST_SKIP() << "three.js is not installed (scripts/deps runs npm ci)";
    }
    void TearDown() override {
        if (app_) app_->stopPlayback();
    }

    void open(const std::string& url, bool waitForSession = true) {
        if (!sApp) {
            sDocuments = fs::temp_directory_path() / ("tevra-webxr-test-" + std::to_string(::getpid()));
            fs::create_directories(sDocuments);
            HostOptions o;
            o.session = kSource + "/examples/sessions/demo";
            o.resources = kSource + "/examples/resources";
            o.documents = sDocuments.string();
            o.defaults = (sDocuments / "defaults.json").string();
            o.url = url;
            // Landscape, the recording's image upright and whole (4:3).
            o.width = 800;
            o.height = 600;
            o.orientation = 3;
            o.loop = false;
            auto app = std::make_unique<HostApp>(std::move(o));
            std::string error;
            ASSERT_TRUE(app->start(error)) << error;
            sApp = std::move(app);
        } else {
            // The page goes to its address as tevra-host resolves it, query
            // included (the controller's loadURL keeps no query on a
            // resource name).
            std::string error;
            auto address = pageAddress(url, kSource + "/examples/resources", fs::current_path().string(), error);
            ASSERT_TRUE(address) << error;
            sApp->evaluate("window.replacedPage = true; location.href = " + json(*address).dump() + "; true");
        }
        app_ = sApp.get();
        ASSERT_TRUE(HostApp::iterateUntil(
            [&] {
                auto s = app_->evaluate(std::string("!window.replacedPage && !!window.xrTest") +
                                            (waitForSession ? " && xrTest.state().session" : ""),
                                        1);
                return s && *s == true;
            },
            15))
            << "the page did not start its session: " << state().dump();
    }

    json state() {
        auto s = app_->evaluate("window.xrTest ? JSON.stringify(xrTest.state()) : '{}'");
        return s && s->is_string() ? json::parse(s->get<std::string>(), nullptr, false) : json::object();
    }

    // Delivers recorded frames until the page draws one. A frame goes to the
    // page only when a display tick came after the page's advanceFrame, so
    // it may take more than one. False at the session's end.
    bool advance() {
        const int before = state().value("frames", 0);
        for (int i = 0; i < 5; ++i) {
            if (!app_->step()) return false;
            if (HostApp::iterateUntil([&] { return state().value("frames", 0) > before; }, 1)) return true;
        }
        return false;
    }

    void tap(double x, double y) {
        char js[512];
        std::snprintf(js, sizeof js,
                      "(function () { var t = document.elementFromPoint(%f, %f) || document.body;"
                      "['pointerdown', 'pointerup'].forEach(function (type) {"
                      "t.dispatchEvent(new PointerEvent(type, {bubbles: true, cancelable: true, clientX: %f,"
                      "clientY: %f, pointerId: 7, isPrimary: true, pointerType: 'touch'})); }); return true; })()",
                      x, y, x, y);
        app_->evaluate(js);
    }

    static inline std::unique_ptr<HostApp> sApp;
    static inline fs::path sDocuments;
    HostApp* app_ = nullptr;
};

// The reticle lies on the floor plane where the tilted view ray meets it,
// computed here from the session files; a tap places an anchor the native
// side reports and that stays put; detectedPlanes is the native plane; end()
// puts the page back.
TEST_P(WebXRHostTest, ReticleAnchorsAndPlanesMatchTheSession) {
    tevra::test::Watchdog watchdog(std::chrono::seconds(90), GetParam().name);
    ASSERT_NO_FATAL_FAILURE(open(GetParam().url));
    EXPECT_TRUE(app_->controller().showingCameraFeed);
    auto session = app_->session();
    ASSERT_TRUE(session);
    const sim::SessionRecording& recording = app_->recording();
    const long orientation = app_->controller().interfaceOrientation;

    // Up to frame 22: the floor plane is in and large enough under the ray.
    while (session->nextFrameIndex() < 22) ASSERT_TRUE(advance()) << state().dump();
    json s = state();
    ASSERT_TRUE(s["reticle"].is_array()) << s.dump();
    EXPECT_TRUE(s["errors"].empty()) << s.dump();

    // The recorded frame the page saw, by the viewer pose it reports.
    const float4x4 viewer = fromJSON(s["reticleViewer"]);
    size_t index = recording.frames().size();
    for (size_t i = 0; i < recording.frames().size(); ++i) {
        const float4x4 camera = inverse(sim::viewMatrixForOrientation(recording.frames()[i].transform, orientation));
        if (distance(camera.columns[3], viewer.columns[3]) < 1e-4 &&
            distance(camera.columns[2], viewer.columns[2]) < 1e-4)
            index = i;
    }
    ASSERT_LT(index, recording.frames().size()) << "no recorded frame has the viewer pose " << s["reticleViewer"];
    // The floor as recorded up to that frame.
    float4x4 floor = float4x4::identity();
    float3 center{};
    for (size_t i = 0; i <= index; ++i)
        for (const auto& change : recording.frames()[i].planeChanges)
            if (change.kind != sim::PlaneChangeKind::Remove) floor = change.transform, center = change.center;
    const float4 normal = floor.columns[1];
    const float4 onPlane = floor * float4{center.x, center.y, center.z, 1};
    const float4x4 camera = inverse(sim::viewMatrixForOrientation(recording.frames()[index].transform, orientation));
    const double a = kAimDegrees * M_PI / 180;
    const float4 origin = camera.columns[3];
    const float4 direction = camera * float4{0, static_cast<float>(-std::sin(a)), static_cast<float>(-std::cos(a)), 0};
    const double t =
        ((onPlane.x - origin.x) * normal.x + (onPlane.y - origin.y) * normal.y + (onPlane.z - origin.z) * normal.z) /
        (direction.x * normal.x + direction.y * normal.y + direction.z * normal.z);
    ASSERT_GT(t, 0);
    const float4 expected{static_cast<float>(origin.x + direction.x * t),
                          static_cast<float>(origin.y + direction.y * t),
                          static_cast<float>(origin.z + direction.z * t), 1};
    const float4x4 reticle = fromJSON(s["reticle"]);
    EXPECT_LT(distance(reticle.columns[3], expected), 0.01) << s["reticle"] << " frame " << index;
    EXPECT_NEAR(reticle.columns[1].y, normal.y, 1e-4) << "the reticle lies flat on the floor";

    // A tap in the middle of the window: the select places an anchor where
    // the reticle is; the native side reports it under its page id.
    tap(400, 300);
    // The select and addAnchor at the next frame; the native report of the
    // anchor two frames later; its pose in the frame after.
    for (int i = 0; i < 6 && state()["anchors"].size() < 1; ++i) ASSERT_TRUE(advance());
    s = state();
    ASSERT_EQ(s.value("selects", 0), 1) << s.dump();
    ASSERT_EQ(s.value("anchorsPlaced", 0), 1) << s.dump();
    ASSERT_EQ(app_->controller().anchors.size(), 1u);
    const float4x4 native = app_->controller().anchors.begin()->second->transform();
    EXPECT_NEAR(native.columns[3].y, onPlane.y, 1e-3) << "the anchor is on the floor";
    ASSERT_EQ(s["anchors"].size(), 1u) << s.dump();
    const float4 placed = fromJSON(s["anchors"][0]).columns[3];
    EXPECT_LT(distance(placed, native.columns[3]), 1e-4);

    // To the session's end: the anchor stays put, the planes are the native ones.
    while (advance()) {
    }
    HostApp::iterateUntil([] { return false; }, 0.3);
    s = state();
    ASSERT_EQ(s["anchors"].size(), 1u) << s.dump();
    EXPECT_LT(distance(fromJSON(s["anchors"][0]).columns[3], placed), 1e-5);
    std::vector<std::shared_ptr<ARPlaneAnchor>> planes;
    for (auto& anchor : session->anchors())
        if (anchor->isPlaneAnchor()) planes.push_back(std::static_pointer_cast<ARPlaneAnchor>(anchor));
    ASSERT_EQ(planes.size(), 1u);
    ASSERT_EQ(s["planes"].size(), 1u) << s.dump();
    const json& page = s["planes"][0];
    EXPECT_EQ(page["orientation"], "horizontal");
    const float4x4 m = fromJSON(page["matrix"]);
    // The plane events give the plane's pose with its centre added.
    const float4 t0 = planes[0]->transform().columns[3];
    const float3 c = planes[0]->center();
    const float4 nativeOrigin{t0.x + c.x, t0.y + c.y, t0.z + c.z, 1};
    EXPECT_LT(distance(m.columns[3], nativeOrigin), 1e-4);
    ASSERT_EQ(page["polygon"].size(), 4u);
    for (const json& corner : page["polygon"]) {
        EXPECT_NEAR(std::fabs(corner[0].get<double>()), planes[0]->extent().x / 2, 1e-4) << corner;
        EXPECT_NEAR(std::fabs(corner[2].get<double>()), planes[0]->extent().z / 2, 1e-4) << corner;
    }
    // TEVRA_WEBXR_SCREENSHOT=DIR keeps a picture of each page (docs/webxr-three.png).
    if (const char* dir = std::getenv("TEVRA_WEBXR_SCREENSHOT")) {
        if (cairo_surface_t* shot = app_->composite()) {
            cairo_surface_write_to_png(shot, (std::string(dir) + "/webxr-" + GetParam().name + ".png").c_str());
            cairo_surface_destroy(shot);
        }
    }
    auto layer = app_->evaluate("JSON.stringify(navigator.xr.tevraLayerStats())");
    if (layer && layer->is_string())
        std::printf("[ %s ] WebXR layer: %s\n", GetParam().name, layer->get<std::string>().c_str());

    // end(): the session goes, the camera feed is hidden, the page's styles are back.
    app_->evaluate("xrTest.end(), true");
    ASSERT_TRUE(HostApp::iterateUntil([&] { return state().value("session", true) == false; }, 5));
    EXPECT_FALSE(app_->controller().showingCameraFeed);
    const char* kStyles =
        "[document.documentElement.hasAttribute('style'), document.body.hasAttribute('style'),"
        " getComputedStyle(document.querySelector('canvas')).position]";
    const json restored = json::parse(R"([false, false, "static"])");
    std::optional<json> styles;
    HostApp::iterateUntil([&] { return (styles = app_->evaluate(kStyles)) && *styles == restored; }, 2);
    ASSERT_TRUE(styles);
    EXPECT_EQ(*styles, restored);
    EXPECT_TRUE(app_->controller().anchors.empty()) << "the session's anchors go with it";
}

using WebXRMisuseTest = WebXRHostTest;

// Misuse gets the DOM exception the WebXR Device API names, never a silent
// no-op; features the session lacks are refused.
TEST_F(WebXRMisuseTest, MisuseGivesTheNamedExceptions) {
    tevra::test::Watchdog watchdog(std::chrono::seconds(60), "MisuseGivesTheNamedExceptions");
    ASSERT_NO_FATAL_FAILURE(open("file://webxr", false));
    app_->evaluate(R"JS(
window.checks = null;
(async function () {
  const out = {};
  const outcome = (p) => p.then(() => 'resolved', (e) => e.name);
  const thrown = (fn) => { try { fn(); return 'none'; } catch (e) { return e.name; } };
  out.vr = await navigator.xr.isSessionSupported('immersive-vr');
  out.ar = await navigator.xr.isSessionSupported('immersive-ar');
  out.inline = await navigator.xr.isSessionSupported('inline');
  out.badMode = await outcome(navigator.xr.isSessionSupported('bogus'));
  out.vrSession = await outcome(navigator.xr.requestSession('immersive-vr'));
  out.badFeature = await outcome(navigator.xr.requestSession('immersive-ar', { requiredFeatures: ['bounded-floor'] }));
  out.overlayNoRoot = await outcome(navigator.xr.requestSession('immersive-ar', { requiredFeatures: ['dom-overlay'] }));
  const s = await navigator.xr.requestSession('immersive-ar', { optionalFeatures: ['bogus', 'anchors'] });
  out.features = s.enabledFeatures.slice();
  out.second = await outcome(navigator.xr.requestSession('immersive-ar'));
  out.floorSpace = await outcome(s.requestReferenceSpace('local-floor'));
  out.hitTest = await outcome(s.requestHitTestSource({ space: await s.requestReferenceSpace('viewer') }));
  out.layers = thrown(() => s.updateRenderState({ layers: [] }));
  out.fov = thrown(() => s.updateRenderState({ inlineVerticalFieldOfView: 1 }));
  out.badContext = thrown(() => new XRWebGLLayer(s, {}));
  out.zeroTurn = thrown(() => new XRRigidTransform({}, { x: 0, y: 0, z: 0, w: 0 }));
  s.updateRenderState({ baseLayer: new XRWebGLLayer(s, document.querySelector('canvas').getContext('webgl')) });
  const local = await s.requestReferenceSpace('local');
  const frame = await new Promise((resolve) => s.requestAnimationFrame((t, f) => {
    out.pose = !!f.getViewerPose(local);
    out.planes = thrown(() => f.detectedPlanes);
    resolve(f);
  }));
  out.staleFrame = thrown(() => frame.getViewerPose(local));
  out.staleAnchor = await outcome(frame.createAnchor(new XRRigidTransform(), local));
  await s.end();
  out.endAgain = await outcome(s.end());
  out.spaceAfterEnd = await outcome(s.requestReferenceSpace('local'));
  out.renderAfterEnd = thrown(() => s.updateRenderState({}));
  window.checks = out;
})().catch((e) => { window.checks = { failed: String(e) }; });
true)JS");
    // The animation frame needs a frame call.
    std::optional<json> checks;
    for (int i = 0; i < 20; ++i) {
        if (HostApp::iterateUntil([&] { return (checks = app_->evaluate("window.checks")) && !checks->is_null(); },
                                  0.5))
            break;
        app_->step();
    }
    ASSERT_TRUE(checks && checks->is_object()) << (checks ? checks->dump() : "no answer");
    EXPECT_EQ(*checks, json::parse(R"({
        "vr": false, "ar": true, "inline": true, "badMode": "TypeError", "vrSession": "NotSupportedError",
        "badFeature": "NotSupportedError", "overlayNoRoot": "NotSupportedError",
        "features": ["viewer", "local", "anchors"], "second": "InvalidStateError",
        "floorSpace": "NotSupportedError", "hitTest": "NotSupportedError", "layers": "NotSupportedError",
        "fov": "InvalidStateError", "badContext": "TypeError", "zeroTurn": "InvalidStateError", "pose": true,
        "planes": "NotSupportedError", "staleFrame": "InvalidStateError", "staleAnchor": "InvalidStateError",
        "endAgain": "InvalidStateError", "spaceAfterEnd": "InvalidStateError", "renderAfterEnd": "InvalidStateError"
    })"));
    EXPECT_FALSE(app_->controller().showingCameraFeed);
}

INSTANTIATE_TEST_SUITE_P(Pages, WebXRHostTest,
                         ::testing::Values(XRPage{"threejs", "file://webxr-three?start=1&aim=15"},
                                           XRPage{"plain", "file://webxr?start=1&aim=15"}),
                         [](const ::testing::TestParamInfo<XRPage>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tevra::host
