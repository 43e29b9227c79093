/// @file
/// ViewControllerSDK: the one public class a host application uses.
///
/// In: the host's view and web view, appearance calls, the AR session's frames
/// and anchor reports, display ticks, orientation changes and the page's
/// script messages. Out: the camera view and page view in the host view,
/// JavaScript calls into the page (frame data, tracking state, anchor and
/// plane events), session runs and anchors, log lines.
/// Fails: by a log line only; bad page messages never crash the controller or
/// corrupt its state.
/// Example: a page posting "setDepthNear:0.05" on "Zephral" sets `near` to
/// 0.05, and the next frame call carries a projection built with it.
///
/// Threads: everything runs on the main thread, except that the newest frame
/// (`lastCapturedFrame`) has a lock of its own for the background capture.
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

/// The machine identifier of the device (uname's machine field).
std::string deviceName();

/// The bridge controller: runs the AR session, draws the camera image under
/// the page view and feeds the page frames, tracking state, planes and
/// anchors; takes the page's commands over its script-message channels.
class ViewControllerSDK : public std::enable_shared_from_this<ViewControllerSDK>,
                          public CameraViewDelegate,
                          public WebUIDelegate,
                          public WebNavigationDelegate,
                          public ARSessionDelegate,
                          public ScriptMessageHandler,
                          public KeyValueObserver,
                          public TextFieldDelegate {
public:
    /// Creates the controller inside the host view and runs set-up. The host
    /// web view is added to the host view and gets the controller as its
    /// navigation and UI delegate; nothing runs and no page loads yet.
    static std::shared_ptr<ViewControllerSDK> initWithView(std::shared_ptr<View> view,
                                                           std::shared_ptr<WebView> webView);
    /// Unhooks the controller from the page view (delegates, progress
    /// observation) and from the device's orientation notifications.
    ~ViewControllerSDK() override;
    ViewControllerSDK(const ViewControllerSDK&) = delete;
    ViewControllerSDK& operator=(const ViewControllerSDK&) = delete;

    // ---- Host interface ----
    /// The host view is about to appear: starts orientation notifications and
    /// runs the session afresh (restartSession()). `animated` is not used.
    void viewWillAppear(bool animated);
    /// The host view is about to disappear: ends orientation notifications and
    /// pauses the session. `animated` is not used.
    void viewWillDisappear(bool animated);
    /// Pauses the session (logged).
    void pause();
    /// Whether the page asked to keep the screen awake (isIdleTimerDisabled).
    bool getIsIdleTimerDisabled() const { return isIdleTimerDisabled; }
    /// The host is short of memory; nothing is freed.
    void didReceiveMemoryWarning() {}
    /// Resolves text into a page and loads it; remembers it on success.
    void loadURL(const std::string& text);
    /// Creates the navigation chrome (URL field, buttons, progress bar).
    void initNavigation();

    // ---- Set-up and lifecycle ----
    /// Set-up, run once by initWithView(): the session, the camera view, the
    /// renderer, the tap recogniser, the page view with its scripts and
    /// channels, orientation notifications, the detection service and haptics.
    /// Without a GPU device or a host view it stops early, with a log line.
    void viewDidLoad();
    /// Forgets the page's anchors and runs the session with horizontal plane
    /// detection, resetting tracking.
    void restartSession();
    /// Makes the page view transparent over the camera view (true), or opaque
    /// with its original background (false); logged.
    void setShowCameraFeed(bool show);
    /// Turns the page view's scrolling, panning and bouncing on or off.
    void setWKWebViewScrollEnabled(bool enabled);
    /// Starts orientation notifications, observes them
    /// (deviceOrientationDidChange()) and reads the orientation now.
    void initOrientationNotifications();
    /// An orientation change: updates the orientation and the layout, and has
    /// the next frame call tell the page its size.
    void deviceOrientationDidChange();
    /// Reads the device orientation; the four upright ones become the
    /// interface orientation (unknown, face up and face down keep the last
    /// one), which the renderer is told.
    void updateOrientation();
    /// Lays the camera view and the page view over the whole host view; the
    /// chrome keeps zero height.
    void updateInterface();
    /// Alerts are silent: the message is dropped and `completionHandler` (may
    /// be empty) runs at once.
    void showAlertDialog(const std::string& message, std::function<void()> completionHandler);

    // ---- Script messages ----
    /// A page message: "TevraAR" VPS requests, "TevraARHaptic" haptics,
    /// "TevraARConfig" settings, "YOLOCommander" detection commands; every
    /// other channel carries AR commands ("setDepthNear:0.05",
    /// "addAnchor:id,m0,...,m15", "removeAnchor:id", "resetPose:", ...). A bad
    /// message is logged and dropped.
    void userContentControllerDidReceiveScriptMessage(const ScriptMessage& message) override;

    // ---- Per-frame data ----
    /// The display tick: when the page asked for a frame ("advanceFrame") or a
    /// second has passed since the last one, the renderer draws and the next
    /// session frame goes to the page.
    void drawInMTKView(CameraView& view) override;
    /// Tells the renderer the camera view's size in points.
    void mtkViewDrawableSizeWillChange(CameraView& view, Size size) override;
    /// A session frame: handed to the detection service; when one is due, the
    /// camera image is stored as the newest frame and the camera pose, view
    /// and projection matrices go to the page (and, after an orientation
    /// change, the page view's size).
    void sessionDidUpdateFrame(ARSession& session, const std::shared_ptr<ARFrame>& frame) override;
    /// Logs the tracking state and tells the page
    /// (window.onTrackingStateChanged("state|reason")), keeps the camera
    /// intrinsics for VPS requests, and loads the remembered URL when tracking
    /// first begins.
    void sessionCameraDidChangeTrackingState(ARSession& session, const std::shared_ptr<ARCamera>& camera) override;
    /// Queues the page's frame call on the main queue: the camera position (3
    /// numbers), orientation quaternion (4), view matrix (16) and projection
    /// matrix (16), column-major.
    void sendARDataToJSZeroCopyWithPosition(const float position[3], const float orientation[4],
                                            const float viewMatrix[16], const float projectionMatrix[16]);

    // ---- Anchor and plane events ----
    /// Sends the added planes to the page ("planesadded").
    void sessionDidAddAnchors(ARSession& session, const ARAnchorList& anchors) override;
    /// Sends the updated planes ("planesupdated") and anchors
    /// ("anchorsupdated") to the page.
    void sessionDidUpdateAnchors(ARSession& session, const ARAnchorList& anchors) override;
    /// Sends the removed planes to the page ("planesremoved") and forgets
    /// their numbers.
    void sessionDidRemoveAnchors(ARSession& session, const ARAnchorList& anchors) override;
    /// Ignored.
    void sessionDidFailWithError(ARSession& session, const Error& error) override;
    /// Ignored.
    void sessionWasInterrupted(ARSession& session) override;
    /// Ignored.
    void sessionInterruptionEnded(ARSession& session) override;
    /// The planes among `anchors` as the page's JSON array (model matrix with
    /// the centre added, identifier, extent, four corner vertices); none
    /// without a plane.
    std::optional<std::string> getPlanesString(const ARAnchorList& anchors);
    /// The other anchors among `anchors` as the page's JSON array (model
    /// matrix, the page's id); none without one.
    std::optional<std::string> getAnchorsString(const ARAnchorList& anchors);
    /// Calls the page's window.ZephralDispatchARDisplayEvent with an event of
    /// `type` whose member `dataName` is the JSON text `dataString`.
    void dispatchVRDisplayEvent(const std::string& type, const std::string& dataName, const std::string& dataString);
    /// A tap on the host view: adds an anchor 0.2 m in front of the camera of
    /// the current frame.
    void handleTap(TapGestureRecognizer& recognizer);

    // ---- Page loading ----
    /// Resolves text into a page address and loads it; false (nothing loaded)
    /// when it names no page or there is no page view.
    bool loadURLInWKWebView(const std::string& text);
    /// The remembered page URL (the user default "url"), or none.
    std::optional<std::string> getURLFromUserDefaults();
    /// Remembers `url` under "url" (none forgets it) and writes the store.
    void storeURLInUserDefaults(const std::optional<std::string>& url);

    // ---- Navigation chrome ----
    /// Adds the chrome's white backing view.
    void initNavigationBacking();
    /// Adds the URL field, configured for URL entry, with the controller as
    /// its delegate.
    void initUrlTextField();
    /// Adds the back and refresh buttons.
    void initButtons();
    /// Adds the back button ("BackIcon"; backButtonClicked()).
    void initBackButton();
    /// Adds the refresh button ("RefreshIcon"; refreshButtonClicked()).
    void initRefreshButton();
    /// Adds the page-load bar (its notices go to assistive technology) and
    /// starts it.
    void initProgressView();
    /// Goes back a page, showing its URL in the URL field.
    void backButtonClicked();
    /// Goes forward a page.
    void forwardButtonClicked();
    /// Loads the page again.
    void refreshButtonClicked();
    /// Colours the bar blue: a load going well.
    void setProgressViewColorSuccessful();
    /// Colours the bar red: a failed load.
    void setProgressViewColorErrored();
    /// Shows the bar, empty.
    void startAndShowProgressView();
    /// Lays the views out again, fills the bar and hides it once full.
    void completeAndHideProgressViewSuccessful();
    /// Takes the bar to `progress`, then hides it.
    void completeAndHideProgressViewErrored(float progress);
    /// Selects the URL field's text (and sets its font size on an iPhone X
    /// held upright).
    void textFieldDidBeginEditing(TextField& textField) override;
    /// Sets the URL field's font size back for the orientation on an iPhone X.
    void textFieldDidEndEditing(TextField& textField) override;
    /// Loads the URL field's text: on success remembers it and ends editing
    /// (true); false otherwise.
    bool textFieldShouldReturn(TextField& textField) override;
    /// An older finish callback the page view never sends.
    void webViewDidFinishLoad(WebView& webView);

    // ---- Page view callbacks ----
    /// A load started: runs the session afresh, shows the bar and hides the
    /// camera feed.
    void webViewDidStartProvisionalNavigation(WebView& webView) override;
    /// A load finished: runs the session afresh, shows the page's URL in the
    /// field, remembers it (once tracking has begun) and completes the bar.
    void webViewDidFinishNavigation(WebView& webView) override;
    /// A load failed: logged unless a newer navigation cancelled it; the bar
    /// turns red and hides.
    void webViewDidFailNavigation(WebView& webView, const Error& error) override;
    /// A load failed before it was committed: as webViewDidFailNavigation().
    void webViewDidFailProvisionalNavigation(WebView& webView, const Error& error) override;
    /// The page's alert(): handed to showAlertDialog() (silent, completed at once).
    void webViewRunJavaScriptAlertPanelWithMessage(WebView& webView, const std::string& message,
                                                   std::function<void()> completionHandler) override;
    /// The page view's load progress moves the bar while the navigation goes well.
    void observeValueForKeyPath(const std::string& keyPath, const void* object, double newValue) override;

    // ---- Camera frame capture and VPS (ViewControllerSDKCapture.cpp) ----
    /// Stores the newest camera image with exactly one retain (under the lock).
    void processFrame(const PixelBufferRef& pixelBuffer);
    /// A new reference to the stored frame, taken under the lock; null if none.
    PixelBufferRef retainedLastCapturedFrame();
    /// Renders the buffer (the caller hands its reference over) into an image
    /// and turns it upright, on the global high-priority queue. The completion
    /// runs on the main queue with the image or null; with no buffer or no
    /// completion it runs at once, on the calling thread, with null.
    void imageFromPixelBuffer(PixelBufferRef pixelBuffer, std::function<void(std::shared_ptr<Image>)> completion);
    /// The image turned upright for the device's physical orientation now.
    std::shared_ptr<Image> rotateImageIfNeeded(const std::shared_ptr<Image>& image);
    /// The image fitted into the box keeping its aspect (may enlarge).
    std::shared_ptr<Image> resizeImageKeepAspect(const std::shared_ptr<Image>& image, Size targetSize);
    /// The largest centred crop of the target's aspect, scaled to the target.
    std::shared_ptr<Image> resizeImageWithCrop(const std::shared_ptr<Image>& image, Size targetSize, long orientation);
    /// Height x bytes-per-row bytes of the buffer (plane 0, padding included).
    std::optional<std::vector<uint8_t>> pixelBufferToNSData(const PixelBufferRef& pixelBuffer);
    /// A repeating one-second timer whose tick does nothing; main thread.
    /// Deliberately, a second start replaces the running timer (it is stopped
    /// first): there is never more than one tick.
    void startTimer();
    /// Stops the timer of startTimer().
    void stopTimer();
    /// The timer's tick; does nothing.
    void myFunction() {}
    /// Fits, encodes and sends the image with the metadata to the VPS server;
    /// `callback` gets the answer text on the main queue. Main thread.
    void sendVpsRequestWithImage(std::shared_ptr<Image> image, const std::string& meta, const std::string& vpsServer,
                                 const std::string& apiToken, std::function<void(const std::string&)> callback);
    /// The image-processing context (made on first use when absent). Any thread.
    std::shared_ptr<ImageContext> ciContext() const;
    /// Sets the image-processing context. Any thread.
    void setCiContext(std::shared_ptr<ImageContext> context);
    /// The timer of startTimer(); null when none was started or it was stopped.
    std::shared_ptr<Timer> timer;

private:
    // The context for a conversion: the stored one, or a new default one
    // (logged) that is stored.
    std::shared_ptr<ImageContext> ciContextForRendering();
    mutable Mutex ciContextLock_;
    std::shared_ptr<ImageContext> ciContext_ TEVRA_GUARDED_BY(ciContextLock_);

public:
    // ---- Fields (declaration order as in the platform build) ----
    /// The camera view.
    std::shared_ptr<CameraView> mtkView;
    std::shared_ptr<WebView> wkWebView;  ///< the page view
    /// The URL field of the navigation chrome; null before initNavigation().
    std::shared_ptr<TextField> urlTextField;
    /// True while the URL field is being edited.
    bool urlTextFieldActive = false;
    /// The chrome's back button; null before initNavigation().
    std::shared_ptr<Button> backButton;
    /// The chrome's refresh button; null before initNavigation().
    std::shared_ptr<Button> refreshButton;
    /// True once tracking has first begun (the remembered URL, if any, was loaded then).
    bool initialPageLoadedWhenTrackingBegins = false;
    /// The device's physical orientation code, as last read.
    long deviceOrientation = 0;
    /// The interface orientation code the matrices are made for.
    long interfaceOrientation = 0;
    /// Set by an orientation change: the next frame call tells the page the
    /// page view's size (window.ZephralSetWindowSize).
    bool updateWindowSize = false;
    /// The projection's near plane in metres; the page sets it with "setDepthNear:N".
    float near = 0.01f;
    /// The projection's far plane in metres; the page sets it with "setDepthFar:N".
    float far = 10000.0f;
    /// True while the page view is transparent over the camera view.
    bool showingCameraFeed = false;
    /// True when the machine identifier names an "iPhone10" model (the URL
    /// field's font sizes).
    bool iPhoneXDevice = false;
    /// The page view's background while the camera feed is hidden.
    Color wkWebViewOriginalBackgroundColor = Color::white();
    /// The page's anchor ids to the anchors' identifiers (UUID texts).
    std::map<std::string, std::string> jsAnchorIdsToObjCAnchorIds;
    /// The anchors' identifiers (UUID texts) to the page's anchor ids.
    std::map<std::string, std::string> objCAnchorIdsToJSAnchorIds;
    /// The anchors the page added, by the page's id.
    std::map<std::string, std::shared_ptr<ARAnchor>> anchors;
    /// Set by the page's "advanceFrame" (or a second without drawing): the next display tick draws.
    bool drawNextCameraFrame = false;
    /// Set by a display tick that drew: the next session frame goes to the page.
    bool sendARData = false;
    /// Media-clock time of the last display tick that drew; 0 before the first.
    double timeOfLastDrawnCameraFrame = 0;

    // ---- Properties ----
    /// The AR session.
    std::shared_ptr<ARSession> session;
    /// Draws the camera image; null when set-up stopped early.
    std::shared_ptr<Renderer> renderer;
    /// The page-load bar; null before initNavigation().
    std::shared_ptr<ProgressView> progressView;
    /// The chrome's backing view; null before initNavigation().
    std::shared_ptr<NavigationView> navigationBacking;
    /// True from a navigation's start until it fails.
    bool webviewNavigationSuccess = false;
    ///@{
    /// The camera intrinsics at the last tracking change, with the axes
    /// exchanged as for the upright portrait image (the VPS request exchanges
    /// them back for an image sent landscape).
    float cameraFx = 0, cameraFy = 0, cameraCx = 0, cameraCy = 0;
    ///@}
    /// Set by the page ("isIdleTimerDisabled:1" on "TevraARConfig"): keep the screen awake.
    bool isIdleTimerDisabled = false;
    /// Plays the page's haptics messages ("TevraARHaptic").
    std::shared_ptr<HapticController> hapticController;
    /// The detection service ("YOLOCommander"); VPS answers pass through it.
    std::shared_ptr<YOLOService> yoloService;
    std::shared_ptr<WebView> _wkWebView;  ///< the host web view (property `wkWebView`)
    /// The host view.
    std::shared_ptr<View> view;
    /// The box the VPS image is fitted into (targetFrameWidth x targetFrameHeight).
    Size targetSize;
    /// Told the new value when the page changes isIdleTimerDisabled.
    std::function<void(bool)> idleTimerDisabledDidChange;
    /// The host view's tap recogniser (handleTap()).
    std::shared_ptr<TapGestureRecognizer> tapRecognizer;

    /// The host web view, as the property accessor names it.
    std::shared_ptr<WebView> hostWebView() const { return _wkWebView; }
    /// The page view's number for a plane anchor: stable for one plane and
    /// distinct among planes alive together.
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
    // Append the planes (the other anchors) among `anchors` as a JSON array
    // to `out`; false, and nothing appended, without one.
    bool appendPlanes(std::string& out, const ARAnchorList& anchors);
    bool appendAnchors(std::string& out, const ARAnchorList& anchors);
    // Sends the event `type` whose member `dataName` is the array of the
    // planes (or of the other anchors) among `anchors`; nothing without one.
    void dispatchAnchorEvent(const char* type, const char* dataName, const ARAnchorList& anchors, bool planes);
    void evaluateEventScript(const std::string& script);

    NewestFrame newestFrame_;  // lastCapturedFrame, with its own lock
    int orientationObserver_ = 0;
    bool observingOrientation_ = false;
    std::unordered_map<std::string, int32_t> planeNumbers_;
    int32_t nextPlaneNumber_ = 1;
    // The anchor events' script, written in place and reused from frame to
    // frame: with a thousand planes it is half a megabyte.
    std::string eventScript_;
};

}  // namespace tevra
