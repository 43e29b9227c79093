// Page loading, the remembered URL and the page view's navigation callbacks
// of ViewControllerSDK.
//
// In: a text from the host, the URL field or the remembered URL. Out: a load
// in the page view (a remote URL, or a file URL of a page among the
// application's resources), and the text remembered under "url".
// Fails: a text naming no resource answers false and loads nothing.
// Example: "www.example.com" loads http://www.example.com; "file://www" with
// a resources directory holding www/index.html loads that file.
#include <algorithm>
#include <cctype>
#include <filesystem>

#include "base/TextUtils.h"
#include "bridge/ViewControllerSDK.h"
#include "feedback/NavigationView.h"
#include "feedback/ProgressView.h"
#include "page/PageAddress.h"
#include "platform/Log.h"
#include "platform/ThreadCheck.h"

namespace tevra {

bool ViewControllerSDK::loadURLInWKWebView(const std::string& text) {
    TEVRA_ASSERT_MAIN_THREAD();
    std::optional<std::string> address = resolvePageAddress(text, platform().resourcesDirectory);
    return address && loadInPageView(*address);
}

// Without a page view (set-up stopped early) nothing loads, and the caller
// must not remember the text as if it had.
bool ViewControllerSDK::loadInPageView(const std::string& address) {
    if (!wkWebView) {
        logSystem("No page view: " + clippedForLog(address, 256) + " is not loaded");
        return false;
    }
    wkWebView->loadRequest(address);
    return true;
}

void ViewControllerSDK::loadURL(const std::string& text) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (loadURLInWKWebView(text)) {
        storeURLInUserDefaults(text);
    } else {
        showAlertDialog("The URL is not valid.", nullptr);
    }
}

std::optional<std::string> ViewControllerSDK::getURLFromUserDefaults() {
    TEVRA_ASSERT_MAIN_THREAD();
    return platform().defaults->stringForKey("url");
}

void ViewControllerSDK::storeURLInUserDefaults(const std::optional<std::string>& url) {
    TEVRA_ASSERT_MAIN_THREAD();
    UserDefaults& d = *platform().defaults;
    d.setObject(url, "url");
    d.synchronize();
}

// ---------------------------------------------------------------------------
// Navigation chrome

void ViewControllerSDK::initNavigation() {
    TEVRA_ASSERT_MAIN_THREAD();
    initNavigationBacking();
    initUrlTextField();
    initButtons();
    initProgressView();
}

void ViewControllerSDK::initNavigationBacking() {
    navigationBacking = std::make_shared<NavigationView>();
    navigationBacking->setBackgroundColor(Color::white());
    view->addSubview(navigationBacking);
}

void ViewControllerSDK::initUrlTextField() {
    urlTextFieldActive = false;
    urlTextField = platform().views->makeTextField();
    urlTextField->setBackgroundColor(Color::clear());
    urlTextField->setTextColor({0.2, 0.2, 0.2, 1});
    urlTextField->configureForURLEntry();
    urlTextField->setDelegate(weak_from_this());
    view->addSubview(urlTextField);
}

void ViewControllerSDK::initButtons() {
    initBackButton();
    initRefreshButton();
}

void ViewControllerSDK::initBackButton() {
    backButton = platform().views->makeButton();
    backButton->setBackgroundColor(Color::clear());
    backButton->setImageName("BackIcon");
    std::weak_ptr<ViewControllerSDK> weakSelf = weak_from_this();
    backButton->setTouchDownAction([weakSelf] {
        if (auto self = weakSelf.lock()) self->backButtonClicked();
    });
    view->addSubview(backButton);
}

void ViewControllerSDK::initRefreshButton() {
    refreshButton = platform().views->makeButton();
    refreshButton->setBackgroundColor(Color::clear());
    refreshButton->setImageName("RefreshIcon");
    std::weak_ptr<ViewControllerSDK> weakSelf = weak_from_this();
    refreshButton->setTouchDownAction([weakSelf] {
        if (auto self = weakSelf.lock()) self->refreshButtonClicked();
    });
    view->addSubview(refreshButton);
}

void ViewControllerSDK::initProgressView() {
    // The bar's accessibility notices go to the platform's service (none
    // without one).
    std::shared_ptr<AccessibilityNotifier> notifier;
    if (platform().accessibility) notifier = std::make_shared<PlatformAccessibilityNotifier>(platform().accessibility);
    progressView = std::make_shared<ProgressView>(Rect{}, platform().animator, std::move(notifier));
    view->addSubview(progressView);
    setProgressViewColorSuccessful();
    startAndShowProgressView();
}

void ViewControllerSDK::backButtonClicked() {
    TEVRA_ASSERT_MAIN_THREAD();
    if (!wkWebView || !wkWebView->canGoBack()) return;
    if (std::optional<std::string> back = wkWebView->backItemURL()) {
        if (urlTextField) urlTextField->setText(*back);
    }
    wkWebView->goBack();
}

void ViewControllerSDK::forwardButtonClicked() {
    TEVRA_ASSERT_MAIN_THREAD();
    if (wkWebView) wkWebView->goForward();
}

void ViewControllerSDK::refreshButtonClicked() {
    TEVRA_ASSERT_MAIN_THREAD();
    if (wkWebView) wkWebView->reload();
}

namespace {
Color rgb255(double r, double g, double b) { return {r / 255.0, g / 255.0, b / 255.0, 1}; }
}  // namespace

void ViewControllerSDK::setProgressViewColorSuccessful() {
    TEVRA_ASSERT_MAIN_THREAD();
    if (!progressView) return;
    progressView->setProgressBackgroundColor(rgb255(187, 222, 251));
    progressView->setProgressFillColor(rgb255(33, 150, 243));
}

void ViewControllerSDK::setProgressViewColorErrored() {
    TEVRA_ASSERT_MAIN_THREAD();
    if (!progressView) return;
    progressView->setProgressBackgroundColor(rgb255(255, 205, 210));
    progressView->setProgressFillColor(rgb255(244, 67, 54));
}

void ViewControllerSDK::startAndShowProgressView() {
    TEVRA_ASSERT_MAIN_THREAD();
    if (!progressView) return;
    progressView->setProgressValue(0.0f, false, nullptr);
    progressView->setHidden(false, true, nullptr);
}

void ViewControllerSDK::completeAndHideProgressViewSuccessful() {
    TEVRA_ASSERT_MAIN_THREAD();
    updateInterface();
    if (!progressView) return;
    std::weak_ptr<ViewControllerSDK> weakSelf = weak_from_this();
    progressView->setProgressValue(1.0f, true, [weakSelf](bool) {
        auto self = weakSelf.lock();
        if (self && self->progressView) self->progressView->setHidden(true, true, nullptr);
    });
}

void ViewControllerSDK::completeAndHideProgressViewErrored(float progress) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (!progressView) return;
    std::weak_ptr<ViewControllerSDK> weakSelf = weak_from_this();
    progressView->setProgressValue(progress, true, [weakSelf](bool) {
        auto self = weakSelf.lock();
        if (self && self->progressView) self->progressView->setHidden(true, true, nullptr);
    });
}

void ViewControllerSDK::observeValueForKeyPath(const std::string& keyPath, const void* object, double) {
    TEVRA_ASSERT_MAIN_THREAD();
    if (keyPath != "estimatedProgress" || !wkWebView || object != wkWebView.get()) return;
    if (webviewNavigationSuccess && progressView)
        progressView->setProgressValue(static_cast<float>(wkWebView->estimatedProgress()));
}

void ViewControllerSDK::textFieldDidBeginEditing(TextField& textField) {
    TEVRA_ASSERT_MAIN_THREAD();
    urlTextFieldActive = true;
    textField.selectAll();
    bool portrait = interfaceOrientation == UIInterfaceOrientationPortrait ||
                    interfaceOrientation == UIInterfaceOrientationPortraitUpsideDown;
    if (iPhoneXDevice && portrait) {
        double w = view ? view->frame().width : 0;
        textField.setFontSize(17);
        if (urlTextField) urlTextField->setFrame({0, 0, w, 0});
        if (navigationBacking) navigationBacking->setFrame({0, 0, w, 0});
        if (progressView) progressView->setFrame({0, 0, w, 0});
    }
}

void ViewControllerSDK::textFieldDidEndEditing(TextField& textField) {
    TEVRA_ASSERT_MAIN_THREAD();
    urlTextFieldActive = false;
    if (!iPhoneXDevice) return;
    bool portrait = interfaceOrientation == UIInterfaceOrientationPortrait ||
                    interfaceOrientation == UIInterfaceOrientationPortraitUpsideDown;
    if (portrait) {
        double w = view ? view->frame().width : 0;
        textField.setFontSize(12);
        if (urlTextField) urlTextField->setFrame({0, 0, w, 0});
        if (navigationBacking) navigationBacking->setFrame({0, 0, w, 0});
        if (progressView) progressView->setFrame({0, 0, w, 0});
    } else {
        textField.setFontSize(17);
    }
}

bool ViewControllerSDK::textFieldShouldReturn(TextField& textField) {
    TEVRA_ASSERT_MAIN_THREAD();
    std::string text = textField.text();
    if (loadURLInWKWebView(text)) {
        storeURLInUserDefaults(text);
        textField.resignFirstResponder();
        return true;
    }
    showAlertDialog("The URL is not valid.", nullptr);
    return false;
}

// ---------------------------------------------------------------------------
// Page view callbacks

void ViewControllerSDK::webViewDidStartProvisionalNavigation(WebView&) {
    TEVRA_ASSERT_MAIN_THREAD();
    restartSession();
    startAndShowProgressView();
    setProgressViewColorSuccessful();
    webviewNavigationSuccess = true;
    setShowCameraFeed(false);
}

void ViewControllerSDK::webViewDidFinishNavigation(WebView&) {
    TEVRA_ASSERT_MAIN_THREAD();
    restartSession();
    std::optional<std::string> current = wkWebView ? wkWebView->URL() : std::nullopt;
    if (urlTextField) urlTextField->setText(current.value_or(""));
    if (initialPageLoadedWhenTrackingBegins && current) storeURLInUserDefaults(*current);
    setProgressViewColorSuccessful();
    completeAndHideProgressViewSuccessful();
}

void ViewControllerSDK::webViewDidFailNavigation(WebView&, const Error& error) {
    TEVRA_ASSERT_MAIN_THREAD();
    webviewNavigationSuccess = false;
    if (error.code != kNavigationCancelledCode) {
        showAlertDialog(error.localizedDescription, nullptr);
        logSystem("ERROR: webview didFailNavigation with error '" + error.description() + "'");
    }
    setProgressViewColorErrored();
    completeAndHideProgressViewErrored(wkWebView ? static_cast<float>(wkWebView->estimatedProgress()) : 0.0f);
}

void ViewControllerSDK::webViewDidFailProvisionalNavigation(WebView&, const Error& error) {
    TEVRA_ASSERT_MAIN_THREAD();
    webviewNavigationSuccess = false;
    if (error.code != kNavigationCancelledCode) {
        showAlertDialog(error.localizedDescription, nullptr);
        logSystem("ERROR: webview didFailProvisionalNavigation with error '" + error.description() + "'");
    }
    setProgressViewColorErrored();
    completeAndHideProgressViewErrored(wkWebView ? static_cast<float>(wkWebView->estimatedProgress()) : 0.0f);
}

void ViewControllerSDK::webViewDidFinishLoad(WebView&) {
    TEVRA_ASSERT_MAIN_THREAD();
    restartSession();
    completeAndHideProgressViewSuccessful();
}

void ViewControllerSDK::webViewRunJavaScriptAlertPanelWithMessage(WebView&, const std::string& message,
                                                                  std::function<void()> completionHandler) {
    TEVRA_ASSERT_MAIN_THREAD();
    showAlertDialog(message, std::move(completionHandler));
}

}  // namespace tevra
