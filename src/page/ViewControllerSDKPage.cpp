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

#include "bridge/TextUtils.h"
#include "bridge/ViewControllerSDK.h"
#include "page/URL.h"

namespace fs = std::filesystem;

namespace tevra {

namespace {
std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Removes the last case-insensitive occurrence of ".html" from name.
std::string removeLastHTML(const std::string& name) {
    size_t pos = lower(name).rfind(".html");
    if (pos == std::string::npos) return name;
    return name.substr(0, pos) + name.substr(pos + 5);
}

// A resource name stays inside the resources directory: no absolute names
// and no ".." components.
bool containedName(const std::string& name) {
    if (name.empty() || name[0] == '/') return false;
    for (const auto& part : splitString(name, "/"))
        if (part == "..") return false;
    return true;
}

// The application's resources, looked up like a bundle: NAME.TYPE, or NAME
// alone when no type is given.
std::optional<std::string> pathForResource(const std::string& name, const std::string& type) {
    const std::string& dir = platform().resourcesDirectory;
    if (dir.empty() || !containedName(name)) return std::nullopt;
    fs::path p = fs::path(dir) / (type.empty() ? name : name + "." + type);
    std::error_code ec;
    if (!fs::exists(p, ec)) return std::nullopt;
    return p.string();
}
}  // namespace

bool ViewControllerSDK::loadURLInWKWebView(const std::string& text) {
    std::optional<ParsedURL> url = parseURL(text);
    bool isFileAddress = url && url->scheme && lower(*url->scheme) == "file";
    if (!url || !url->scheme || !url->host) url = parseURL(format("http://%s", text.c_str()));
    if (!url || !url->scheme || !url->host || isFileAddress) {
        std::string name = text;
        if (isFileAddress && url) {
            name = url->host.value_or("") + url->path;
            if (lower(url->pathExtension()) == "html") name = removeLastHTML(name);
        } else {
            std::string low = lower(name);
            size_t pos = low.rfind(".html");
            if (pos != std::string::npos && pos + 5 == low.size()) name = name.substr(0, pos);
        }
        std::optional<std::string> path = pathForResource(name, "html");
        if (!path) path = pathForResource(name, "");
        std::error_code ec;
        if (!path || !fs::exists(*path, ec)) return false;
        if (fs::is_directory(*path, ec)) name = format("%s/index", name.c_str());
        std::optional<std::string> page = pathForResource(name, "html");
        if (!page) return false;
        if (wkWebView) wkWebView->loadRequest(fileURLForPath(fs::absolute(*page).string()));
        return true;
    }
    if (wkWebView) wkWebView->loadRequest(url->absoluteString);
    return true;
}

void ViewControllerSDK::loadURL(const std::string& text) {
    if (loadURLInWKWebView(text)) {
        storeURLInUserDefaults(text);
    } else {
        showAlertDialog("The URL is not valid.", nullptr);
    }
}

std::optional<std::string> ViewControllerSDK::getURLFromUserDefaults() { return platform().defaults->stringForKey("url"); }

void ViewControllerSDK::storeURLInUserDefaults(const std::optional<std::string>& url) {
    UserDefaults& d = *platform().defaults;
    d.setObject(url, "url");
    d.synchronize();
}

// ---------------------------------------------------------------------------
// Page view callbacks. The progress bar and URL field belong to the
// navigation chrome; without it only the session and page state change.

void ViewControllerSDK::webViewDidStartProvisionalNavigation(WebView&) {
    restartSession();
    webviewNavigationSuccess = true;
    setShowCameraFeed(false);
}

void ViewControllerSDK::webViewDidFinishNavigation(WebView&) {
    restartSession();
    if (initialPageLoadedWhenTrackingBegins && wkWebView) {
        if (std::optional<std::string> current = wkWebView->URL()) storeURLInUserDefaults(*current);
    }
}

void ViewControllerSDK::webViewDidFailNavigation(WebView&, const Error& error) {
    webviewNavigationSuccess = false;
    if (error.code != kNavigationCancelledCode) {
        showAlertDialog(error.localizedDescription, nullptr);
        logSystem("ERROR: webview didFailNavigation with error '" + error.description() + "'");
    }
}

void ViewControllerSDK::webViewDidFailProvisionalNavigation(WebView&, const Error& error) {
    webviewNavigationSuccess = false;
    if (error.code != kNavigationCancelledCode) {
        showAlertDialog(error.localizedDescription, nullptr);
        logSystem("ERROR: webview didFailProvisionalNavigation with error '" + error.description() + "'");
    }
}

void ViewControllerSDK::webViewRunJavaScriptAlertPanelWithMessage(WebView&, const std::string& message,
                                                                  std::function<void()> completionHandler) {
    showAlertDialog(message, std::move(completionHandler));
}

void ViewControllerSDK::observeValueForKeyPath(const std::string&, const void*, double) {
    // Mirrored into the progress bar once the navigation chrome exists.
}

}  // namespace tevra
