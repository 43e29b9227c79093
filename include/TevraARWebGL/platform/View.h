// Views of the host's window: a plain view (frame, subviews, background,
// gesture recognisers), the page view (a web view) and the camera view.
//
// The base View keeps its state in plain fields; a toolkit implementation
// overrides the hooks to mirror changes onto its widgets.
// Threads: main thread only, like every view.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "math/Simd.h"
#include "base/Error.h"
#include "platform/GPU.h"

namespace tevra {

class View;

class TapGestureRecognizer {
public:
    explicit TapGestureRecognizer(std::function<void(TapGestureRecognizer&)> action) : action_(std::move(action)) {}
    // Called by the toolkit (or a test) when the view is tapped.
    void fire() {
        if (action_) action_(*this);
    }

private:
    std::function<void(TapGestureRecognizer&)> action_;
};

class View {
public:
    explicit View(Rect frame = {}) : frame_(frame) {}
    virtual ~View() = default;
    const Rect& frame() const { return frame_; }
    virtual void setFrame(const Rect& f) { frame_ = f; }
    Rect bounds() const { return {0, 0, frame_.width, frame_.height}; }
    virtual void addSubview(const std::shared_ptr<View>& v) {
        subviews_.push_back(v);
        v->superview_ = this;
    }
    const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
    View* superview() const { return superview_; }
    const Color& backgroundColor() const { return background_; }
    virtual void setBackgroundColor(const Color& c) { background_ = c; }
    bool isHidden() const { return hidden_; }
    virtual void setHidden(bool h) { hidden_ = h; }
    const std::vector<std::shared_ptr<TapGestureRecognizer>>& gestureRecognizers() const { return recognizers_; }
    virtual void setGestureRecognizers(std::vector<std::shared_ptr<TapGestureRecognizer>> r) {
        recognizers_ = std::move(r);
    }

private:
    Rect frame_;
    Color background_ = Color::clear();
    bool hidden_ = false;
    std::vector<std::shared_ptr<View>> subviews_;
    View* superview_ = nullptr;
    std::vector<std::shared_ptr<TapGestureRecognizer>> recognizers_;
};

// ---- Navigation chrome controls ----

class TextField;

class TextFieldDelegate {
public:
    virtual ~TextFieldDelegate() = default;
    virtual void textFieldDidBeginEditing(TextField& textField) = 0;
    virtual void textFieldDidEndEditing(TextField& textField) = 0;
    // The return key; true when the field should end editing.
    virtual bool textFieldShouldReturn(TextField& textField) = 0;
};

// A one-line text field. Toolkit implementations override the setters to
// mirror them and call the delegate from their own signals.
class TextField : public View {
public:
    using View::View;
    const std::string& text() const { return text_; }
    virtual void setText(const std::string& t) { text_ = t; }
    // System font of this size in points.
    double fontSize() const { return fontSize_; }
    virtual void setFontSize(double points) { fontSize_ = points; }
    const Color& textColor() const { return textColor_; }
    virtual void setTextColor(const Color& c) { textColor_ = c; }
    // URL keyboard, no autocorrection, no auto-capitalisation, font shrinks
    // to fit, text centred both ways.
    bool configuredForURLs() const { return urlConfigured_; }
    virtual void configureForURLEntry() { urlConfigured_ = true; }
    void setDelegate(std::weak_ptr<TextFieldDelegate> d) { delegate_ = std::move(d); }
    std::shared_ptr<TextFieldDelegate> delegate() const { return delegate_.lock(); }
    bool isEditing() const { return editing_; }
    size_t selectedLength() const { return selected_; }
    virtual void selectAll() { selected_ = text_.size(); }
    // Ends editing (hides the keyboard) and tells the delegate.
    virtual void resignFirstResponder() {
        if (!editing_) return;
        editing_ = false;
        if (auto d = delegate()) d->textFieldDidEndEditing(*this);
    }
    // ---- Driven by the toolkit (or a test) ----
    void beginEditing() {
        if (editing_) return;
        editing_ = true;
        if (auto d = delegate()) d->textFieldDidBeginEditing(*this);
    }
    bool pressReturn() {
        auto d = delegate();
        return d ? d->textFieldShouldReturn(*this) : true;
    }

private:
    std::string text_;
    double fontSize_ = 17;
    Color textColor_{0, 0, 0, 1};
    bool urlConfigured_ = false;
    bool editing_ = false;
    size_t selected_ = 0;
    std::weak_ptr<TextFieldDelegate> delegate_;
};

// A button showing a named image, with an action on touch-down.
class Button : public View {
public:
    using View::View;
    const std::string& imageName() const { return imageName_; }
    virtual void setImageName(const std::string& name) { imageName_ = name; }
    void setTouchDownAction(std::function<void()> action) { action_ = std::move(action); }
    // Driven by the toolkit (or a test) when the button is pressed.
    void touchDown() {
        if (action_) action_();
    }

private:
    std::string imageName_;
    std::function<void()> action_;
};

// ---- Page view ----

enum class UserScriptInjectionTime { AtDocumentStart, AtDocumentEnd };

struct UserScript {
    std::string source;
    UserScriptInjectionTime injectionTime = UserScriptInjectionTime::AtDocumentStart;
    bool forMainFrameOnly = true;
};

// A message the page posted on a named channel. The body is whatever JSON
// value the page posted: string, number, boolean, null, array or object.
struct ScriptMessage {
    std::string name;
    nlohmann::json body;
};

class ScriptMessageHandler {
public:
    virtual ~ScriptMessageHandler() = default;
    virtual void userContentControllerDidReceiveScriptMessage(const ScriptMessage& message) = 0;
};

// The user scripts and message channels a page view is created with.
class UserContentController {
public:
    // The handler is held weakly: it usually owns the page view.
    void addScriptMessageHandler(std::weak_ptr<ScriptMessageHandler> handler, const std::string& name) {
        handlers_.push_back({name, std::move(handler)});
    }
    void removeAllScriptMessageHandlers() { handlers_.clear(); }
    void addUserScript(UserScript s) { scripts_.push_back(std::move(s)); }
    const std::vector<UserScript>& userScripts() const { return scripts_; }
    std::vector<std::string> channelNames() const {
        std::vector<std::string> n;
        for (auto& h : handlers_) n.push_back(h.first);
        return n;
    }
    // Delivers a message to the handler of its channel; false when the channel
    // is unknown or its handler is gone. Main thread.
    bool deliver(const ScriptMessage& m) const {
        for (auto& h : handlers_) {
            if (h.first != m.name) continue;
            if (auto s = h.second.lock()) {
                s->userContentControllerDidReceiveScriptMessage(m);
                return true;
            }
            return false;
        }
        return false;
    }

private:
    std::vector<std::pair<std::string, std::weak_ptr<ScriptMessageHandler>>> handlers_;
    std::vector<UserScript> scripts_;
};

struct WebViewConfiguration {
    std::shared_ptr<UserContentController> userContentController = std::make_shared<UserContentController>();
    bool allowsInlineMediaPlayback = false;
    // Preference keys, e.g. "allowFileAccessFromFileURLs" -> 1.
    std::map<std::string, nlohmann::json> preferences;
};

class WebView;

class WebNavigationDelegate {
public:
    virtual ~WebNavigationDelegate() = default;
    virtual void webViewDidStartProvisionalNavigation(WebView& webView) = 0;
    virtual void webViewDidFinishNavigation(WebView& webView) = 0;
    virtual void webViewDidFailNavigation(WebView& webView, const Error& error) = 0;
    virtual void webViewDidFailProvisionalNavigation(WebView& webView, const Error& error) = 0;
};

class WebUIDelegate {
public:
    virtual ~WebUIDelegate() = default;
    virtual void webViewRunJavaScriptAlertPanelWithMessage(WebView& webView, const std::string& message,
                                                           std::function<void()> completionHandler) = 0;
};

// Key-value observation of "estimatedProgress".
class KeyValueObserver {
public:
    virtual ~KeyValueObserver() = default;
    virtual void observeValueForKeyPath(const std::string& keyPath, const void* object, double newValue) = 0;
};

// Error code of a cancelled load (a load replaced by a newer navigation).
constexpr long kNavigationCancelledCode = -999;

class WebView : public View {
public:
    using View::View;
    // Evaluates script in the main frame. The completion, when given, runs on
    // the main thread with the result or an error carrying the thrown
    // message. Main thread.
    virtual void evaluateJavaScript(const std::string& script,
                                    std::function<void(const nlohmann::json& result, const std::optional<Error>& error)>
                                        completionHandler = nullptr) = 0;
    // Loads an absolute URL (http, https or file) with a plain request.
    virtual void loadRequest(const std::string& url) = 0;
    virtual bool canGoBack() const = 0;
    // Absolute URL of the back item, if any.
    virtual std::optional<std::string> backItemURL() const = 0;
    virtual void goBack() = 0;
    virtual void goForward() = 0;
    virtual void reload() = 0;
    // Absolute URL of the current page, if any.
    virtual std::optional<std::string> URL() const = 0;
    // Load progress 0..1.
    virtual double estimatedProgress() const = 0;

    // Delegates are held weakly.
    void setNavigationDelegate(std::weak_ptr<WebNavigationDelegate> d) { navigationDelegate_ = std::move(d); }
    void setUIDelegate(std::weak_ptr<WebUIDelegate> d) { uiDelegate_ = std::move(d); }
    std::shared_ptr<WebNavigationDelegate> navigationDelegate() const { return navigationDelegate_.lock(); }
    std::shared_ptr<WebUIDelegate> uiDelegate() const { return uiDelegate_.lock(); }
    bool hasNavigationDelegate() const { return !navigationDelegate_.expired(); }
    // Observer of "estimatedProgress", held weakly; one at a time.
    void addObserver(std::weak_ptr<KeyValueObserver> o, const std::string& keyPath) {
        if (keyPath == "estimatedProgress") progressObserver_ = std::move(o);
    }
    void removeObserver(const std::string& keyPath) {
        if (keyPath == "estimatedProgress") progressObserver_.reset();
    }

    bool isOpaque() const { return opaque_; }
    virtual void setOpaque(bool o) { opaque_ = o; }
    // The scroll view's properties.
    const Color& scrollBackgroundColor() const { return scrollBackground_; }
    virtual void setScrollBackgroundColor(const Color& c) { scrollBackground_ = c; }
    bool isScrollEnabled() const { return scrollEnabled_; }
    bool isPanGestureEnabled() const { return panEnabled_; }
    bool bounces() const { return bounces_; }
    virtual void setScrollEnabled(bool e) { scrollEnabled_ = e; }
    virtual void setPanGestureEnabled(bool e) { panEnabled_ = e; }
    virtual void setBounces(bool b) { bounces_ = b; }
    long contentInsetAdjustmentBehavior() const { return insetAdjustment_; }
    virtual void setContentInsetAdjustmentBehavior(long v) { insetAdjustment_ = v; }
    bool isInspectable() const { return inspectable_; }
    virtual void setInspectable(bool i) { inspectable_ = i; }
    // The configuration's preference values, e.g. "allowFileAccessFromFileURLs".
    virtual void setPreferenceValue(const std::string& key, const nlohmann::json& value) { preferences_[key] = value; }
    nlohmann::json preferenceValue(const std::string& key) const {
        auto it = preferences_.find(key);
        return it == preferences_.end() ? nlohmann::json() : it->second;
    }

protected:
    // For implementations: tell the observer about a new progress value.
    void notifyProgress() {
        if (auto o = progressObserver_.lock())
            o->observeValueForKeyPath("estimatedProgress", this, estimatedProgress());
    }

private:
    std::weak_ptr<WebNavigationDelegate> navigationDelegate_;
    std::weak_ptr<WebUIDelegate> uiDelegate_;
    std::weak_ptr<KeyValueObserver> progressObserver_;
    bool opaque_ = true;
    Color scrollBackground_ = Color::white();
    bool scrollEnabled_ = true, panEnabled_ = true, bounces_ = true;
    long insetAdjustment_ = 0;
    bool inspectable_ = false;
    std::map<std::string, nlohmann::json> preferences_;
};

constexpr long UIScrollViewContentInsetAdjustmentNever = 2;

// ---- Camera view ----

class CameraView;

class CameraViewDelegate {
public:
    virtual ~CameraViewDelegate() = default;
    // The display tick. Main thread.
    virtual void drawInMTKView(CameraView& view) = 0;
    // The drawable size changed (pixels). Main thread.
    virtual void mtkViewDrawableSizeWillChange(CameraView& view, Size size) = 0;
};

class CameraView : public View {
public:
    using View::View;
    void setDelegate(std::weak_ptr<CameraViewDelegate> d) { delegate_ = std::move(d); }
    std::shared_ptr<CameraViewDelegate> delegate() const { return delegate_.lock(); }
    // The GPU device the view draws with, or null.
    virtual std::shared_ptr<GPUDevice> device() const = 0;
    // What the renderer draws into: owned by the view (the renderer keeps it
    // weakly), or null for a view that can't be drawn into.
    virtual std::shared_ptr<RenderDestinationProvider> renderDestination() const { return nullptr; }

private:
    std::weak_ptr<CameraViewDelegate> delegate_;
};

// Creates the views the controller builds. Main thread.
class ViewFactory {
public:
    virtual ~ViewFactory() = default;
    // The system default GPU device, or null without one.
    virtual std::shared_ptr<GPUDevice> systemDefaultDevice() = 0;
    virtual std::shared_ptr<CameraView> makeCameraView(const Rect& frame, std::shared_ptr<GPUDevice> device) = 0;
    virtual std::shared_ptr<WebView> makeWebView(const Rect& frame, const WebViewConfiguration& configuration) = 0;
    // Chrome controls; the plain ones keep their state without a toolkit.
    virtual std::shared_ptr<TextField> makeTextField() { return std::make_shared<TextField>(); }
    virtual std::shared_ptr<Button> makeButton() { return std::make_shared<Button>(); }
};

}  // namespace tevra
