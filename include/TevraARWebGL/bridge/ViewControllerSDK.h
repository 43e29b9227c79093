// ViewControllerSDK: the one public class a host application uses.
//
// In: the host's view and web view, appearance calls, the AR session's frames
// and anchor reports, display ticks, orientation changes and the page's
// script messages. Out: the camera view and page view in the host view,
// JavaScript calls into the page (frame data, tracking state, anchor and
// plane events), session runs and anchors, log lines.
// Fails: by a log line only; bad page messages never crash the controller or
// corrupt its state.
// Example: a page posting "setDepthNear:0.05" on "Zephral" sets `near` to
// 0.05, and the next frame call carries a projection built with it.
//
// Threads: everything runs on the main thread, except that the newest frame
// (`lastCapturedFrame`) has a lock of its own for the background capture.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "base/ThreadAnnotations.h"
#include "capture/NewestFrame.h"
#include "math/Simd.h"
#include "platform/Platform.h"

namespace tevra {

class Renderer;
class YOLOService;
class HapticController;
class ProgressView;
class NavigationView;
class Image;
class ImageContext;

// The machine identifier of the device (uname's machine field).
std::string deviceName();

class ViewControllerSDK : public std::enable_shared_from_this<ViewControllerSDK>,
                          public CameraViewDelegate,
                          public WebUIDelegate,
                          public WebNavigationDelegate,
                          public ARSessionDelegate,
                          public ScriptMessageHandler,
                          public KeyValueObserver,
                          public TextFieldDelegate {
public:
    // Creates the controller inside the host view and runs set-up. The host
    // web view is added to the host view and gets the controller as its
    // navigation and UI delegate; nothing runs and no page loads yet.
    static std::shared_ptr<ViewControllerSDK> initWithView(std::shared_ptr<View> view,
                                                           std::shared_ptr<WebView> webView);
    ~ViewControllerSDK() override;
    ViewControllerSDK(const ViewControllerSDK&) = delete;
    ViewControllerSDK& operator=(const ViewControllerSDK&) = delete;

    // ---- Host interface ----
    void viewWillAppear(bool animated);
    void viewWillDisappear(bool animated);
    void pause();
    bool getIsIdleTimerDisabled() const { return isIdleTimerDisabled; }
    void didReceiveMemoryWarning() {}
    // Resolves text into a page and loads it; remembers it on success.
    void loadURL(const std::string& text);
    // Creates the navigation chrome (URL field, buttons, progress bar).
    void initNavigation();

    // ---- Set-up and lifecycle ----
    void viewDidLoad();
    void restartSession();
    void setShowCameraFeed(bool show);
    void setWKWebViewScrollEnabled(bool enabled);
    void initOrientationNotifications();
    void deviceOrientationDidChange();
    void updateOrientation();
    void updateInterface();
    void showAlertDialog(const std::string& message, std::function<void()> completionHandler);

    // ---- Script messages ----
    void userContentControllerDidReceiveScriptMessage(const ScriptMessage& message) override;

    // ---- Per-frame data ----
    void drawInMTKView(CameraView& view) override;
    void mtkViewDrawableSizeWillChange(CameraView& view, Size size) override;
    void sessionDidUpdateFrame(ARSession& session, const std::shared_ptr<ARFrame>& frame) override;
    void sessionCameraDidChangeTrackingState(ARSession& session, const std::shared_ptr<ARCamera>& camera) override;
    void sendARDataToJSZeroCopyWithPosition(const float position[3], const float orientation[4],
                                            const float viewMatrix[16], const float projectionMatrix[16]);

    // ---- Anchor and plane events ----
    void sessionDidAddAnchors(ARSession& session, const ARAnchorList& anchors) override;
    void sessionDidUpdateAnchors(ARSession& session, const ARAnchorList& anchors) override;
    void sessionDidRemoveAnchors(ARSession& session, const ARAnchorList& anchors) override;
    void sessionDidFailWithError(ARSession& session, const Error& error) override;
    void sessionWasInterrupted(ARSession& session) override;
    void sessionInterruptionEnded(ARSession& session) override;
    std::optional<std::string> getPlanesString(const ARAnchorList& anchors);
    std::optional<std::string> getAnchorsString(const ARAnchorList& anchors);
    void dispatchVRDisplayEvent(const std::string& type, const std::string& dataName, const std::string& dataString);
    void handleTap(TapGestureRecognizer& recognizer);

    // ---- Page loading ----
    bool loadURLInWKWebView(const std::string& text);
    std::optional<std::string> getURLFromUserDefaults();
    void storeURLInUserDefaults(const std::optional<std::string>& url);

    // ---- Navigation chrome ----
    void initNavigationBacking();
    void initUrlTextField();
    void initButtons();
    void initBackButton();
    void initRefreshButton();
    void initProgressView();
    void backButtonClicked();
    void forwardButtonClicked();
    void refreshButtonClicked();
    void setProgressViewColorSuccessful();
    void setProgressViewColorErrored();
    void startAndShowProgressView();
    void completeAndHideProgressViewSuccessful();
    void completeAndHideProgressViewErrored(float progress);
    void textFieldDidBeginEditing(TextField& textField) override;
    void textFieldDidEndEditing(TextField& textField) override;
    bool textFieldShouldReturn(TextField& textField) override;
    // An older finish callback the page view never sends.
    void webViewDidFinishLoad(WebView& webView);

    // ---- Page view callbacks ----
    void webViewDidStartProvisionalNavigation(WebView& webView) override;
    void webViewDidFinishNavigation(WebView& webView) override;
    void webViewDidFailNavigation(WebView& webView, const Error& error) override;
    void webViewDidFailProvisionalNavigation(WebView& webView, const Error& error) override;
    void webViewRunJavaScriptAlertPanelWithMessage(WebView& webView, const std::string& message,
                                                   std::function<void()> completionHandler) override;
    void observeValueForKeyPath(const std::string& keyPath, const void* object, double newValue) override;

    // ---- Camera frame capture and VPS (ViewControllerSDKCapture.cpp) ----
    // Stores the newest camera image with exactly one retain (under the lock).
    void processFrame(const PixelBufferRef& pixelBuffer);
    // A new reference to the stored frame, taken under the lock; null if none.
    PixelBufferRef retainedLastCapturedFrame();
    // Renders the buffer (the caller hands its reference over) into an image
    // and turns it upright, on the global high-priority queue. The completion
    // runs on the main queue with the image or null; with no buffer or no
    // completion it runs at once, on the calling thread, with null.
    void imageFromPixelBuffer(PixelBufferRef pixelBuffer, std::function<void(std::shared_ptr<Image>)> completion);
    // The image turned upright for the device's physical orientation now.
    std::shared_ptr<Image> rotateImageIfNeeded(const std::shared_ptr<Image>& image);
    // The image fitted into the box keeping its aspect (may enlarge).
    std::shared_ptr<Image> resizeImageKeepAspect(const std::shared_ptr<Image>& image, Size targetSize);
    // The largest centred crop of the target's aspect, scaled to the target.
    std::shared_ptr<Image> resizeImageWithCrop(const std::shared_ptr<Image>& image, Size targetSize, long orientation);
    // Height x bytes-per-row bytes of the buffer (plane 0, padding included).
    std::optional<std::vector<uint8_t>> pixelBufferToNSData(const PixelBufferRef& pixelBuffer);
    // A repeating one-second timer whose tick does nothing; main thread.
    // Deliberately, a second start replaces the running timer (it is stopped
    // first): there is never more than one tick.
    void startTimer();
    void stopTimer();
    void myFunction() {}
    // Fits, encodes and sends the image with the metadata to the VPS server;
    // `callback` gets the answer text on the main queue. Main thread.
    void sendVpsRequestWithImage(std::shared_ptr<Image> image, const std::string& meta, const std::string& vpsServer,
                                 const std::string& apiToken, std::function<void(const std::string&)> callback);
    // The image-processing context (made on first use when absent). Any thread.
    std::shared_ptr<ImageContext> ciContext() const;
    void setCiContext(std::shared_ptr<ImageContext> context);
    std::shared_ptr<Timer> timer;

private:
    // The context for a conversion: the stored one, or a new default one
    // (logged) that is stored.
    std::shared_ptr<ImageContext> ciContextForRendering();
    mutable Mutex ciContextLock_;
    std::shared_ptr<ImageContext> ciContext_ TEVRA_GUARDED_BY(ciContextLock_);

public:
    // ---- Fields (declaration order as in the platform build) ----
    std::shared_ptr<CameraView> mtkView;
    std::shared_ptr<WebView> wkWebView;  // the page view
    std::shared_ptr<TextField> urlTextField;
    bool urlTextFieldActive = false;
    std::shared_ptr<Button> backButton;
    std::shared_ptr<Button> refreshButton;
    bool initialPageLoadedWhenTrackingBegins = false;
    long deviceOrientation = 0;
    long interfaceOrientation = 0;
    bool updateWindowSize = false;
    float near = 0.01f;
    float far = 10000.0f;
    bool showingCameraFeed = false;
    bool iPhoneXDevice = false;
    Color wkWebViewOriginalBackgroundColor = Color::white();
    std::map<std::string, std::string> jsAnchorIdsToObjCAnchorIds;
    std::map<std::string, std::string> objCAnchorIdsToJSAnchorIds;
    std::map<std::string, std::shared_ptr<ARAnchor>> anchors;
    bool drawNextCameraFrame = false;
    bool sendARData = false;
    double timeOfLastDrawnCameraFrame = 0;

    // ---- Properties ----
    std::shared_ptr<ARSession> session;
    std::shared_ptr<Renderer> renderer;
    std::shared_ptr<ProgressView> progressView;
    std::shared_ptr<NavigationView> navigationBacking;
    bool webviewNavigationSuccess = false;
    float cameraFx = 0, cameraFy = 0, cameraCx = 0, cameraCy = 0;
    bool isIdleTimerDisabled = false;
    std::shared_ptr<HapticController> hapticController;
    std::shared_ptr<YOLOService> yoloService;
    std::shared_ptr<WebView> _wkWebView;  // the host web view (property `wkWebView`)
    std::shared_ptr<View> view;
    Size targetSize;
    std::function<void(bool)> idleTimerDisabledDidChange;
    std::shared_ptr<TapGestureRecognizer> tapRecognizer;

    // The host web view, as the property accessor names it.
    std::shared_ptr<WebView> hostWebView() const { return _wkWebView; }
    // The page view's number for a plane anchor: stable for one plane and
    // distinct among planes alive together.
    int32_t planeIdentifier(const std::string& uuid);

private:
    ViewControllerSDK() = default;
    bool loadInPageView(const std::string& address);
    void handleConfigMessage(const nlohmann::json& body);
    void handleARCommandMessage(const std::string& channel, const nlohmann::json& body);
    void handleVPSMessage(const nlohmann::json& body);
    void addAnchorCommand(const std::vector<std::string>& args);
    void removeAnchorCommand(const std::vector<std::string>& args);
    // The page id of an anchor as written into events: JSON number literals
    // bare, anything else as a JSON string literal.
    std::string pageIdLiteral(const std::string& uuid) const;

    NewestFrame newestFrame_;  // lastCapturedFrame, with its own lock
    int orientationObserver_ = 0;
    bool observingOrientation_ = false;
    std::unordered_map<std::string, int32_t> planeNumbers_;
    int32_t nextPlaneNumber_ = 1;
};

}  // namespace tevra
