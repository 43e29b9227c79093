#include "bridge/ViewControllerSDK.h"

#include <sys/utsname.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <initializer_list>
#include <string>

#include "bridge/Channels.h"
#include "bridge/FrameCall.h"
#include "base/FrameworkResources.h"
#include "base/TextUtils.h"
#include "capture/ImageContext.h"
#include "detection/YOLOService.h"
#include "feedback/HapticController.h"
#include "feedback/NavigationView.h"
#include "feedback/ProgressView.h"
#include "render/Renderer.h"
#include "platform/ThreadCheck.h"

extern "C" {
extern int32_t targetFrameWidth;
extern int32_t targetFrameHeight;
extern float cameraFrameJpegCompressionFactor;
}

namespace tevra {

namespace {
// The optional page call for a detection model's state: pages without
// ZephralModelEvent see nothing.
std::string modelEventCall(const std::string& name, const std::string& state) {
    return "if(typeof window.ZephralModelEvent==='function')window.ZephralModelEvent({\"name\":" +
           jsonStringLiteral(name) + ",\"state\":" + jsonStringLiteral(state) + "});";
}
}  // namespace

std::string deviceName() {
    if (hasPlatform() && platform().device) return platform().device->machineIdentifier();
    struct utsname u {};
    if (uname(&u) != 0) return "";
    return u.machine;
}

// ---------------------------------------------------------------------------
// Creation and set-up

std::shared_ptr<ViewControllerSDK> ViewControllerSDK::initWithView(std::shared_ptr<View> hostView,
                                                                   std::shared_ptr<WebView> webView) {
    TEVRA_ASSERT_MAIN_THREAD();
    std::shared_ptr<ViewControllerSDK> c(new ViewControllerSDK());
    c->view = std::move(hostView);
    c->_wkWebView = std::move(webView);
    if (c->view && c->_wkWebView) c->view->addSubview(c->_wkWebView);
    if (c->_wkWebView) {
        c->_wkWebView->setNavigationDelegate(c);
        c->_wkWebView->setUIDelegate(c);
    }
    c->viewDidLoad();
    return c;
}

ViewControllerSDK::~ViewControllerSDK() {
    // Break every link the platform holds back to us.
    if (wkWebView) {
        wkWebView->setNavigationDelegate({});
        wkWebView->setUIDelegate({});
        wkWebView->removeObserver("estimatedProgress");
    }
    if (observingOrientation_ && hasPlatform() && platform().device)
        platform().device->removeOrientationObserver(orientationObserver_);
}

void ViewControllerSDK::viewDidLoad() {
    TEVRA_ASSERT_MAIN_THREAD();
    Platform& p = platform();
    // 1. Device check.
    iPhoneXDevice = lowercase(deviceName()).find("iphone10") != std::string::npos;
    // 2-4.
    near = 0.01f;
    far = 10000.0f;
    showingCameraFeed = false;
    targetSize = {static_cast<double>(targetFrameWidth), static_cast<double>(targetFrameHeight)};
    drawNextCameraFrame = false;
    sendARData = false;
    timeOfLastDrawnCameraFrame = 0;
    // 5.
    jsAnchorIdsToObjCAnchorIds.clear();
    objCAnchorIdsToJSAnchorIds.clear();
    anchors.clear();
    // 6. The session, delivering on the main thread.
    session = p.ar->makeSession();
    session->setDelegate(weak_from_this());
    // 7. The camera view.
    Rect hostFrame = view ? view->frame() : Rect{};
    mtkView = p.views->makeCameraView(hostFrame, p.views->systemDefaultDevice());
    mtkView->setDelegate(weak_from_this());
    mtkView->setFrame({0, 0, hostFrame.width, hostFrame.height});
    // 8.
    if (!mtkView->device()) {
        logSystem("Metal is not supported on this device");
        return;
    }
    // 9. Without a host view there is nowhere to put the views; stop as
    // without a GPU.
    if (!view) {
        logSystem("❌ No host view: the camera view and the page view are not set up");
        return;
    }
    view->addSubview(mtkView);
    // 10. The image-processing context for camera frames.
    if (auto gpu = p.views->systemDefaultDevice()) setCiContext(ImageContext::contextWithMTLDevice(gpu));
    // 11. The renderer.
    renderer = Renderer::initWithSession(session, mtkView->device(), mtkView->renderDestination());
    renderer->drawRectResized(mtkView->bounds().size());
    // 12. Tap recogniser first, then the host view's own.
    std::weak_ptr<ViewControllerSDK> weakSelf = weak_from_this();
    tapRecognizer = std::make_shared<TapGestureRecognizer>([weakSelf](TapGestureRecognizer& r) {
        if (auto self = weakSelf.lock()) self->handleTap(r);
    });
    std::vector<std::shared_ptr<TapGestureRecognizer>> recognizers{tapRecognizer};
    for (auto& r : view->gestureRecognizers()) recognizers.push_back(r);
    view->setGestureRecognizers(recognizers);
    // 13-15. Page-side scripts and channels.
    WebViewConfiguration configuration;
    auto& content = *configuration.userContentController;
    std::optional<std::string> zephral = readFrameworkResource("Zephral", "js");
    if (!zephral) logSystem("Failed to read the framework resource Zephral.js; the page gets no Zephral API");
    UserScript flagScript{format("window.ZephralSendsCameraFrames = %s;", "false"),
                          UserScriptInjectionTime::AtDocumentStart, true};
    for (const char* name : {channels::kZephral, channels::kTevraAR, channels::kTevraARConfig, channels::kTevraARHaptic,
                             channels::kYOLOCommander})
        content.addScriptMessageHandler(weak_from_this(), name);
    content.addUserScript(flagScript);
    if (zephral) content.addUserScript({*zephral, UserScriptInjectionTime::AtDocumentStart, true});
    std::optional<std::string> unityBridge = readFrameworkResource("UnityBridge", "js");
    if (!unityBridge)
        logSystem("Failed to read the framework resource UnityBridge.js; the page gets no UnityBridge API");
    content.addScriptMessageHandler(weak_from_this(), channels::kUnityBridge);
    if (unityBridge) content.addUserScript({*unityBridge, UserScriptInjectionTime::AtDocumentStart, true});
    // navigator.xr over the page API above, where the engine has none. It
    // adds no channel and no native call; a page that never asks for an XR
    // session is not affected, so a missing file is not worth a log line.
    if (std::optional<std::string> webXR = readFrameworkResource("WebXR", "js"))
        content.addUserScript({*webXR, UserScriptInjectionTime::AtDocumentStart, true});
    // 16.
    configuration.allowsInlineMediaPlayback = true;
    wkWebView = p.views->makeWebView(hostFrame, configuration);
    wkWebView->setInspectable(true);
    // 17-21.
    wkWebViewOriginalBackgroundColor = Color::white();
    setShowCameraFeed(false);
    wkWebView->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentNever);
    wkWebView->setPreferenceValue("allowFileAccessFromFileURLs", 1);
    setWKWebViewScrollEnabled(true);
    // 22.
    wkWebView->setUIDelegate(weak_from_this());
    wkWebView->setNavigationDelegate(weak_from_this());
    view->addSubview(wkWebView);
    wkWebView->addObserver(weak_from_this(), "estimatedProgress");
    // 23.
    initialPageLoadedWhenTrackingBegins = false;
    initOrientationNotifications();
    updateOrientation();
    updateInterface();
    yoloService = std::make_shared<YOLOService>();
    yoloService->manager->modelStateChanged = [weakSelf](const std::string& name, const std::string& state) {
        auto self = weakSelf.lock();
        if (self && self->wkWebView) self->wkWebView->evaluateJavaScript(modelEventCall(name, state));
    };
    hapticController = std::make_shared<HapticController>();
}

void ViewControllerSDK::viewWillAppear(bool) {
    TEVRA_ASSERT_MAIN_THREAD();
    Device& d = *platform().device;
    if (!d.isGeneratingDeviceOrientationNotifications()) d.beginGeneratingDeviceOrientationNotifications();
    restartSession();
}

void ViewControllerSDK::viewWillDisappear(bool) {
    TEVRA_ASSERT_MAIN_THREAD();
    Device& d = *platform().device;
    if (d.isGeneratingDeviceOrientationNotifications()) d.endGeneratingDeviceOrientationNotifications();
    if (session) session->pause();
}

void ViewControllerSDK::pause() {
    TEVRA_ASSERT_MAIN_THREAD();
    if (session) {
        session->pause();
        logSystem("✅ AR session paused");
    }
}

void ViewControllerSDK::restartSession() {
    TEVRA_ASSERT_MAIN_THREAD();
    anchors.clear();
    jsAnchorIdsToObjCAnchorIds.clear();
    objCAnchorIdsToJSAnchorIds.clear();
    ARWorldTrackingConfiguration configuration;
    configuration.planeDetection = ARPlaneDetectionHorizontal;
    session->runWithConfiguration(configuration, ARSessionRunOptionResetTracking);
}

void ViewControllerSDK::setShowCameraFeed(bool show) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (wkWebView) {
        if (show) {
            wkWebView->setOpaque(false);
            wkWebView->setBackgroundColor(Color::clear());
            wkWebView->setScrollBackgroundColor(Color::clear());
        } else {
            wkWebView->setOpaque(true);
            wkWebView->setBackgroundColor(wkWebViewOriginalBackgroundColor);
            wkWebView->setScrollBackgroundColor(wkWebViewOriginalBackgroundColor);
        }
    }
    showingCameraFeed = show;
    logSystem(format("show camera feed: %s", show ? "YES" : "NO"));
}

void ViewControllerSDK::setWKWebViewScrollEnabled(bool enabled) {
    TEVRA_ASSERT_MAIN_THREAD();
    wkWebView->setScrollEnabled(enabled);
    wkWebView->setPanGestureEnabled(enabled);
    wkWebView->setBounces(enabled);
}

void ViewControllerSDK::initOrientationNotifications() {
    TEVRA_ASSERT_MAIN_THREAD();
    Device& d = *platform().device;
    d.beginGeneratingDeviceOrientationNotifications();
    std::weak_ptr<ViewControllerSDK> weakSelf = weak_from_this();
    orientationObserver_ = d.addOrientationObserver([weakSelf] {
        if (auto self = weakSelf.lock()) self->deviceOrientationDidChange();
    });
    observingOrientation_ = true;
    deviceOrientation = d.orientation();
}

void ViewControllerSDK::deviceOrientationDidChange() {
    TEVRA_ASSERT_MAIN_THREAD();
    updateOrientation();
    updateInterface();
    updateWindowSize = true;
}

void ViewControllerSDK::updateOrientation() {
    TEVRA_ASSERT_MAIN_THREAD();
    deviceOrientation = platform().device->orientation();
    switch (deviceOrientation) {
        case UIDeviceOrientationPortrait:
        case UIDeviceOrientationPortraitUpsideDown:
        case UIDeviceOrientationLandscapeLeft:
        case UIDeviceOrientationLandscapeRight:
            // Equal numbers: device landscape left is interface landscape right.
            interfaceOrientation = deviceOrientation;
            break;
        default:
            break;  // unknown, face up, face down: keep the last known one
    }
    if (renderer) renderer->setInterfaceOrientation(interfaceOrientation);
}

void ViewControllerSDK::updateInterface() {
    TEVRA_ASSERT_MAIN_THREAD();
    if (!view) return;
    double w = view->frame().width, h = view->frame().height;
    if (mtkView) mtkView->setFrame({0, 0, w, h});
    if (wkWebView) wkWebView->setFrame({0, 0, w, h});
    // The navigation chrome keeps zero height in every orientation.
    if (urlTextField) urlTextField->setFrame({0, 0, w, 0});
    if (navigationBacking) navigationBacking->setFrame({0, 0, w, 0});
    if (progressView) progressView->setFrame({0, 0, w, 0});
    if (backButton) backButton->setFrame({0, 0, 0, 0});
    if (refreshButton) refreshButton->setFrame({w, 0, 0, 0});
    bool portrait = interfaceOrientation == UIInterfaceOrientationPortrait ||
                    interfaceOrientation == UIInterfaceOrientationPortraitUpsideDown;
    if (urlTextField) urlTextField->setFontSize(iPhoneXDevice && portrait && !urlTextFieldActive ? 12 : 17);
}

void ViewControllerSDK::showAlertDialog(const std::string&, std::function<void()> completionHandler) {
    TEVRA_ASSERT_MAIN_THREAD();
    // Alerts are silent: the message is dropped and the completion runs now.
    if (completionHandler) completionHandler();
}

// ---------------------------------------------------------------------------
// Script messages

void ViewControllerSDK::userContentControllerDidReceiveScriptMessage(const ScriptMessage& message) {
    TEVRA_ASSERT_MAIN_THREAD();
    const std::string& name = message.name;
    if (name == channels::kTevraAR) {
        handleVPSMessage(message.body);
    } else if (name == channels::kTevraARHaptic) {
        if (hapticController) hapticController->performHaptics(message.body);
    } else if (name == channels::kTevraARConfig) {
        handleConfigMessage(message.body);
    } else if (name == channels::kYOLOCommander) {
        if (yoloService) yoloService->handleMessage(message.body);
    } else {
        handleARCommandMessage(name, message.body);
    }
}

void ViewControllerSDK::handleConfigMessage(const nlohmann::json& body) {
    if (body.is_null() || body.is_discarded()) {
        logSystem("Failed to parse TevraARConfig message!");
        return;
    }
    if (!body.is_string()) {
        logSystem("Ignoring TevraARConfig message: the body is not text: " + describeBody(body));
        return;
    }
    bool sizeChanged = false;
    for (const std::string& entry : splitString(body.get_ref<const std::string&>(), "|")) {
        std::vector<std::string> kv = splitString(entry, ":");
        if (kv.size() != 2) continue;
        const std::string& key = kv[0];
        const std::string& value = kv[1];
        if (key == "compressionFactor") {
            float v = readFloat(value);
            if (v >= 0.0f && v <= 1.0f) {
                cameraFrameJpegCompressionFactor = v;
            } else {
                logSystem(format("Invalid compression factor: %.2f (must be 0.0-1.0)", static_cast<double>(v)));
            }
        } else if (key == "targetFrameWidth") {
            int32_t n = readInt32(value);
            if (n < 1) {
                logSystem(format("Invalid target frame width: %d (must be > 0)", n));
            } else {
                targetFrameWidth = n;
                sizeChanged = true;
            }
        } else if (key == "targetFrameHeight") {
            int32_t n = readInt32(value);
            if (n < 1) {
                logSystem(format("Invalid target frame height: %d (must be > 0)", n));
            } else {
                targetFrameHeight = n;
                sizeChanged = true;
            }
        } else if (key == "isIdleTimerDisabled") {
            isIdleTimerDisabled = readInt32(value) == 1;
            if (idleTimerDisabledDidChange) idleTimerDisabledDidChange(isIdleTimerDisabled);
        }
    }
    if (sizeChanged) targetSize = {static_cast<double>(targetFrameWidth), static_cast<double>(targetFrameHeight)};
}

void ViewControllerSDK::handleARCommandMessage(const std::string& channel, const nlohmann::json& body) {
    if (!body.is_string()) {
        logSystem("Ignoring message on channel '" + channel + "': the body is not text: " + describeBody(body));
        return;
    }
    const std::string& text = body.get_ref<const std::string&>();
    std::vector<std::string> pieces = splitString(text, ":");
    if (pieces.size() < 2) return;
    const std::string& command = pieces[0];
    std::vector<std::string> args = splitString(pieces[1], ",");
    if (command == "setDepthNear") {
        near = readFloat(args[0]);
    } else if (command == "setDepthFar") {
        far = readFloat(args[0]);
    } else if (command == "log") {
        logSystem(text.substr(4));
    } else if (command == "resetPose") {
        restartSession();
    } else if (command == "showCameraFeed") {
        setShowCameraFeed(true);
    } else if (command == "hideCameraFeed") {
        setShowCameraFeed(false);
    } else if (command == "addAnchor") {
        addAnchorCommand(args);
    } else if (command == "removeAnchor") {
        removeAnchorCommand(args);
    } else if (command == "advanceFrame") {
        drawNextCameraFrame = true;
    } else {
        logSystem("WARNING: Unknown message received: '" + command + "'");
    }
}

void ViewControllerSDK::addAnchorCommand(const std::vector<std::string>& args) {
    const std::string& pageId = args[0];
    if (args.size() < 17) {
        logSystem(format("addAnchor refused for page id '%s': it needs 16 numbers after the id, got %zu",
                         pageId.c_str(), args.size() - 1));
        return;
    }
    float elements[16];
    for (int i = 0; i < 16; ++i) elements[i] = readFloat(args[static_cast<size_t>(i) + 1]);
    auto anchor = std::make_shared<ARAnchor>(platform().uuids->uuidString(), float4x4::fromElements(elements));
    session->addAnchor(anchor);
    const std::string& uuid = anchor->identifier();
    jsAnchorIdsToObjCAnchorIds[pageId] = uuid;
    objCAnchorIdsToJSAnchorIds[uuid] = pageId;
    anchors[pageId] = anchor;
}

void ViewControllerSDK::removeAnchorCommand(const std::vector<std::string>& args) {
    const std::string& pageId = args[0];
    auto it = anchors.find(pageId);
    if (it == anchors.end()) {
        logSystem("removeAnchor refused: no anchor with page id '" + pageId + "'");
        return;
    }
    std::shared_ptr<ARAnchor> anchor = it->second;
    std::string uuid = anchor->identifier();
    jsAnchorIdsToObjCAnchorIds.erase(pageId);
    objCAnchorIdsToJSAnchorIds.erase(uuid);
    anchors.erase(pageId);
    session->removeAnchor(anchor);
}

// ---------------------------------------------------------------------------
// Per-frame data

void ViewControllerSDK::drawInMTKView(CameraView&) {
    TEVRA_ASSERT_MAIN_THREAD();
    double now = platform().clock->now();
    if (timeOfLastDrawnCameraFrame == 0) timeOfLastDrawnCameraFrame = now;
    if (now - timeOfLastDrawnCameraFrame > 1.0) drawNextCameraFrame = true;
    if (drawNextCameraFrame) {
        if (renderer) renderer->update();
        drawNextCameraFrame = false;
        sendARData = true;
        timeOfLastDrawnCameraFrame = now;
    }
}

void ViewControllerSDK::mtkViewDrawableSizeWillChange(CameraView& cameraView, Size) {
    TEVRA_ASSERT_MAIN_THREAD();
    // The renderer works in points: pass the view's bounds, not the pixels.
    if (renderer) renderer->drawRectResized(cameraView.bounds().size());
}

void ViewControllerSDK::sessionDidUpdateFrame(ARSession&, const std::shared_ptr<ARFrame>& frame) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (yoloService) yoloService->processFrame(frame);
    if (!sendARData || !frame || !wkWebView) return;
    std::shared_ptr<ARCamera> camera = frame->camera();
    if (!camera) return;
    float4x4 viewMatrix = camera->viewMatrixForOrientation(interfaceOrientation);
    float4x4 cameraToWorld = inverse(viewMatrix);
    Rect pageFrame = wkWebView->frame();
    float4x4 projection = camera->projectionMatrixForOrientation(interfaceOrientation, pageFrame.size(), near, far);
    quatf q = simd_quaternion(cameraToWorld);
    float position[3] = {cameraToWorld.m(3, 0), cameraToWorld.m(3, 1), cameraToWorld.m(3, 2)};
    float orientation[4] = {q.x, q.y, q.z, q.w};
    processFrame(frame->capturedImage());
    auto v = viewMatrix.elements();
    auto pr = projection.elements();
    sendARDataToJSZeroCopyWithPosition(position, orientation, v.data(), pr.data());
    if (updateWindowSize) {
        std::string js = format("if(window.ZephralSetWindowSize)ZephralSetWindowSize({\"width\":%i,\"height\":%i});",
                                static_cast<int>(pageFrame.width), static_cast<int>(pageFrame.height));
        std::weak_ptr<ViewControllerSDK> weakSelf = weak_from_this();
        wkWebView->evaluateJavaScript(js, [weakSelf](const nlohmann::json&, const std::optional<Error>& error) {
            if (!error) return;
            if (auto self = weakSelf.lock())
                self->showAlertDialog("ERROR: Evaluating jscode to provide window size: " + error->description(),
                                      nullptr);
        });
        updateWindowSize = false;
    }
    sendARData = false;
}

void ViewControllerSDK::sendARDataToJSZeroCopyWithPosition(const float position[3], const float orientation[4],
                                                           const float viewMatrix[16],
                                                           const float projectionMatrix[16]) {
    TEVRA_ASSERT_MAIN_THREAD();
    float values[39];
    std::copy(position, position + 3, values);
    std::copy(orientation, orientation + 4, values + 3);
    std::copy(viewMatrix, viewMatrix + 16, values + 7);
    std::copy(projectionMatrix, projectionMatrix + 16, values + 23);
    std::string js = buildFrameCall(values);
    std::weak_ptr<ViewControllerSDK> weakSelf = weak_from_this();
    platform().dispatch->main().async([weakSelf, js = std::move(js)] {
        auto self = weakSelf.lock();
        if (self && self->wkWebView) self->wkWebView->evaluateJavaScript(js);
    });
}

namespace {
const char* trackingStateText(long state) {
    switch (state) {
        case ARTrackingStateNotAvailable:
            return "Not Available";
        case ARTrackingStateLimited:
            return "Limited";
        case ARTrackingStateNormal:
            return "Normal";
        default:
            return nullptr;
    }
}

const char* trackingReasonText(long reason) {
    switch (reason) {
        case ARTrackingStateReasonExcessiveMotion:
            return "Excessive Motion";
        case ARTrackingStateReasonInsufficientFeatures:
            return "Insufficient Featues";
        default:
            return nullptr;
    }
}
}  // namespace

void ViewControllerSDK::sessionCameraDidChangeTrackingState(ARSession&, const std::shared_ptr<ARCamera>& camera) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (!camera) return;
    const char* state = trackingStateText(camera->trackingState());
    const char* reason = trackingReasonText(camera->trackingStateReason());
    logSystem(format("AR camera tracking state = %s%s", state ? state : "(null)", reason ? reason : ""));
    std::string both = format("%s|%s", state ? state : "null", reason ? reason : "null");
    if (wkWebView)
        wkWebView->evaluateJavaScript(
            format("if(window.onTrackingStateChanged){window.onTrackingStateChanged(\"%s\")}", both.c_str()));
    // Stored with the axes exchanged, as for the portrait upright image; the
    // VPS request exchanges them back for an image sent landscape.
    float3x3 k = camera->intrinsics();
    cameraFx = k.m(1, 1);
    cameraFy = k.m(0, 0);
    cameraCx = k.m(2, 1);
    cameraCy = k.m(2, 0);
    long s = camera->trackingState();
    if ((s == ARTrackingStateLimited || s == ARTrackingStateNormal) && !initialPageLoadedWhenTrackingBegins) {
        if (std::optional<std::string> url = getURLFromUserDefaults()) {
            if (!loadURLInWKWebView(*url)) showAlertDialog("The URL is not valid.", nullptr);
            if (urlTextField) urlTextField->setText(*url);
        }
        initialPageLoadedWhenTrackingBegins = true;
    }
}

// ---------------------------------------------------------------------------
// Anchor and plane events

int32_t ViewControllerSDK::planeIdentifier(const std::string& uuid) {
    auto it = planeNumbers_.find(uuid);
    if (it != planeNumbers_.end()) return it->second;
    int32_t n = nextPlaneNumber_;
    nextPlaneNumber_ = nextPlaneNumber_ == INT32_MAX ? 1 : nextPlaneNumber_ + 1;
    planeNumbers_[uuid] = n;
    return n;
}

std::string ViewControllerSDK::pageIdLiteral(const std::string& uuid) const {
    auto it = objCAnchorIdsToJSAnchorIds.find(uuid);
    if (it == objCAnchorIdsToJSAnchorIds.end()) return "(null)";
    if (isJSONNumberLiteral(it->second)) return it->second;
    return jsonStringLiteral(it->second);
}

namespace {

// Appends the numbers as printf "%f" writes them, comma-separated.
void appendNumbers(std::string& text, std::initializer_list<float> values) {
    bool first = true;
    for (float v : values) {
        if (!first) text += ',';
        first = false;
        appendFloatF6(text, v);
    }
}

void appendMatrix(std::string& text, const std::array<float, 16>& m) {
    appendNumbers(
        text, {m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8], m[9], m[10], m[11], m[12], m[13], m[14], m[15]});
}

}  // namespace

// One event carries every plane of the report, so the text is written with
// the frame call's number formatter (snprintf costs about 3 us a plane) into
// one buffer that is kept from frame to frame.
bool ViewControllerSDK::appendPlanes(std::string& text, const ARAnchorList& list) {
    const size_t start = text.size();
    for (const auto& a : list) {
        if (!a || !a->isPlaneAnchor()) continue;
        const auto& plane = static_cast<const ARPlaneAnchor&>(*a);
        auto m = plane.transform().elements();
        m[12] += plane.center().x;
        m[13] += plane.center().y;
        m[14] += plane.center().z;
        const float ex = plane.extent().x, ez = plane.extent().z;
        // The corners are halved in double, then held as floats.
        const float hx = static_cast<float>(static_cast<double>(ex) / 2);
        const float hz = static_cast<float>(static_cast<double>(ez) / 2);
        const float nx = static_cast<float>(-static_cast<double>(ex) / 2);
        const float nz = static_cast<float>(-static_cast<double>(ez) / 2);
        text += text.size() == start ? "[" : ",";
        text += "{\"modelMatrix\":[";
        appendMatrix(text, m);
        text += "],\"identifier\":";
        text += std::to_string(planeIdentifier(plane.identifier()));
        text += ",\"extent\":[";
        appendNumbers(text, {ex, ez});
        text += "],\"vertices\":[";
        appendNumbers(text, {hx, 0.0f, hz, nx, 0.0f, hz, nx, 0.0f, nz, hx, 0.0f, nz});
        text += "]}";
    }
    if (text.size() == start) return false;
    text += "]";
    return true;
}

bool ViewControllerSDK::appendAnchors(std::string& text, const ARAnchorList& list) {
    const size_t start = text.size();
    for (const auto& a : list) {
        if (!a || a->isPlaneAnchor()) continue;
        text += text.size() == start ? "[" : ",";
        text += "{\"modelMatrix\":[";
        appendMatrix(text, a->transform().elements());
        text += "],\"identifier\":";
        text += pageIdLiteral(a->identifier());
        text += "}";
    }
    if (text.size() == start) return false;
    text += "]";
    return true;
}

std::optional<std::string> ViewControllerSDK::getPlanesString(const ARAnchorList& list) {
    std::string text;
    if (!appendPlanes(text, list)) return std::nullopt;
    return text;
}

std::optional<std::string> ViewControllerSDK::getAnchorsString(const ARAnchorList& list) {
    std::string text;
    if (!appendAnchors(text, list)) return std::nullopt;
    return text;
}

namespace {
constexpr const char kEventPrefix[] =
    "if (window.ZephralDispatchARDisplayEvent) window.ZephralDispatchARDisplayEvent({\"type\":\"";
}  // namespace

void ViewControllerSDK::dispatchVRDisplayEvent(const std::string& type, const std::string& dataName,
                                               const std::string& dataString) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (!wkWebView) return;
    evaluateEventScript(kEventPrefix + type + "\",\"" + dataName + "\":" + dataString + "});");
}

void ViewControllerSDK::dispatchAnchorEvent(const char* type, const char* dataName, const ARAnchorList& list,
                                            bool planes) {
    // The text is written even without a page: planes get their numbers.
    std::string& script = eventScript_;
    script.assign(kEventPrefix);
    script += type;
    script += "\",\"";
    script += dataName;
    script += "\":";
    if (!(planes ? appendPlanes(script, list) : appendAnchors(script, list))) return;
    script += "});";
    if (wkWebView) evaluateEventScript(script);
    // A rare huge report does not hold its buffer for good.
    if (script.capacity() > (size_t{8} << 20)) std::string().swap(script);
}

void ViewControllerSDK::evaluateEventScript(const std::string& script) {
    std::weak_ptr<ViewControllerSDK> weakSelf = weak_from_this();
    wkWebView->evaluateJavaScript(script, [weakSelf](const nlohmann::json&, const std::optional<Error>& error) {
        if (!error) return;
        if (auto self = weakSelf.lock())
            self->showAlertDialog("ERROR: Evaluating jscode: " + error->description(), nullptr);
    });
}

void ViewControllerSDK::sessionDidAddAnchors(ARSession&, const ARAnchorList& list) {
    TEVRA_ASSERT_MAIN_THREAD();
    dispatchAnchorEvent("planesadded", "planes", list, true);
}

void ViewControllerSDK::sessionDidUpdateAnchors(ARSession&, const ARAnchorList& list) {
    TEVRA_ASSERT_MAIN_THREAD();
    dispatchAnchorEvent("planesupdated", "planes", list, true);
    dispatchAnchorEvent("anchorsupdated", "anchors", list, false);
}

void ViewControllerSDK::sessionDidRemoveAnchors(ARSession&, const ARAnchorList& list) {
    TEVRA_ASSERT_MAIN_THREAD();
    dispatchAnchorEvent("planesremoved", "planes", list, true);
    // Removed planes give up their numbers' bookkeeping.
    for (const auto& a : list)
        if (a && a->isPlaneAnchor()) planeNumbers_.erase(a->identifier());
}

// Nothing to do for these session reports; they arrive on the main thread.
void ViewControllerSDK::sessionDidFailWithError(ARSession&, const Error&) { TEVRA_ASSERT_MAIN_THREAD(); }

void ViewControllerSDK::sessionWasInterrupted(ARSession&) { TEVRA_ASSERT_MAIN_THREAD(); }

void ViewControllerSDK::sessionInterruptionEnded(ARSession&) { TEVRA_ASSERT_MAIN_THREAD(); }

void ViewControllerSDK::handleTap(TapGestureRecognizer&) {
    TEVRA_ASSERT_MAIN_THREAD();
    std::shared_ptr<ARFrame> frame = session ? session->currentFrame() : nullptr;
    if (!frame || !frame->camera()) return;
    float4x4 t = float4x4::translation(0, 0, -0.2f);
    auto anchor = std::make_shared<ARAnchor>(platform().uuids->uuidString(), frame->camera()->transform() * t);
    session->addAnchor(anchor);
}

}  // namespace tevra
