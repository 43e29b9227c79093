/// @file
/// Views of the host's window: a plain view (frame, subviews, background,
/// gesture recognisers), the page view (a web view) and the camera view.
///
/// The base View keeps its state in plain fields; a toolkit implementation
/// overrides the hooks to mirror changes onto its widgets.
/// Threads: main thread only, like every view.
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

/// Calls its action when the view it is attached to is tapped.
class TapGestureRecognizer {
public:
    /// A recogniser calling `action`.
    explicit TapGestureRecognizer(std::function<void(TapGestureRecognizer&)> action) : action_(std::move(action)) {}
    /// Called by the toolkit (or a test) when the view is tapped.
    void fire() {
        if (action_) action_(*this);
    }

private:
    std::function<void(TapGestureRecognizer&)> action_;
};

/// A plain view: frame, subviews, background, visibility and tap recognisers.
class View {
public:
    /// A view at `frame` (in its superview's points).
    explicit View(Rect frame = {}) : frame_(frame) {}
    virtual ~View() = default;
    /// Origin and size in the superview's points.
    const Rect& frame() const { return frame_; }
    /// Moves and resizes the view.
    virtual void setFrame(const Rect& f) { frame_ = f; }
    /// The view's own rectangle: origin 0, 0 and the frame's size.
    Rect bounds() const { return {0, 0, frame_.width, frame_.height}; }
    /// Adds `v` on top of the subviews and makes this view its superview.
    virtual void addSubview(const std::shared_ptr<View>& v) {
        subviews_.push_back(v);
        v->superview_ = this;
    }
    /// The subviews, bottom first.
    const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
    /// The view this one was added to, or null.
    View* superview() const { return superview_; }
    /// The background colour; clear by default.
    const Color& backgroundColor() const { return background_; }
    /// Sets the background colour.
    virtual void setBackgroundColor(const Color& c) { background_ = c; }
    /// True while hidden.
    bool isHidden() const { return hidden_; }
    /// Hides or shows the view.
    virtual void setHidden(bool h) { hidden_ = h; }
    /// The tap recognisers, in order.
    const std::vector<std::shared_ptr<TapGestureRecognizer>>& gestureRecognizers() const { return recognizers_; }
    /// Replaces the tap recognisers.
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

/// Told about a text field's editing.
class TextFieldDelegate {
public:
    virtual ~TextFieldDelegate() = default;
    /// Editing began (the field has the keyboard).
    virtual void textFieldDidBeginEditing(TextField& textField) = 0;
    /// Editing ended.
    virtual void textFieldDidEndEditing(TextField& textField) = 0;
    /// The return key; true when the field should end editing.
    virtual bool textFieldShouldReturn(TextField& textField) = 0;
};

/// A one-line text field. Toolkit implementations override the setters to
/// mirror them and call the delegate from their own signals.
class TextField : public View {
public:
    using View::View;
    /// The text.
    const std::string& text() const { return text_; }
    /// Replaces the text.
    virtual void setText(const std::string& t) { text_ = t; }
    /// System font of this size in points.
    double fontSize() const { return fontSize_; }
    /// Sets the font size in points (17 by default).
    virtual void setFontSize(double points) { fontSize_ = points; }
    /// The text colour; opaque black by default.
    const Color& textColor() const { return textColor_; }
    /// Sets the text colour.
    virtual void setTextColor(const Color& c) { textColor_ = c; }
    /// URL keyboard, no autocorrection, no auto-capitalisation, font shrinks
    /// to fit, text centred both ways.
    bool configuredForURLs() const { return urlConfigured_; }
    /// Configures the field for URL entry (see configuredForURLs()).
    virtual void configureForURLEntry() { urlConfigured_ = true; }
    /// The delegate is held weakly.
    void setDelegate(std::weak_ptr<TextFieldDelegate> d) { delegate_ = std::move(d); }
    /// The delegate, or null.
    std::shared_ptr<TextFieldDelegate> delegate() const { return delegate_.lock(); }
    /// True while editing.
    bool isEditing() const { return editing_; }
    /// Bytes of text selected.
    size_t selectedLength() const { return selected_; }
    /// Selects the whole text.
    virtual void selectAll() { selected_ = text_.size(); }
    /// Ends editing (hides the keyboard) and tells the delegate.
    virtual void resignFirstResponder() {
        if (!editing_) return;
        editing_ = false;
        if (auto d = delegate()) d->textFieldDidEndEditing(*this);
    }
    // ---- Driven by the toolkit (or a test) ----
    /// Starts editing and tells the delegate (nothing while already editing).
    void beginEditing() {
        if (editing_) return;
        editing_ = true;
        if (auto d = delegate()) d->textFieldDidBeginEditing(*this);
    }
    /// The return key: asks the delegate; true without one.
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

/// A button showing a named image, with an action on touch-down.
class Button : public View {
public:
    using View::View;
    /// The name of the image shown.
    const std::string& imageName() const { return imageName_; }
    /// Shows the image of this name.
    virtual void setImageName(const std::string& name) { imageName_ = name; }
    /// The action run on touch-down.
    void setTouchDownAction(std::function<void()> action) { action_ = std::move(action); }
    /// Driven by the toolkit (or a test) when the button is pressed.
    void touchDown() {
        if (action_) action_();
    }

private:
    std::string imageName_;
    std::function<void()> action_;
};

// ---- Page view ----

/// When a user script runs: AtDocumentStart (before the page's own scripts)
/// or AtDocumentEnd (once the document is parsed).
enum class UserScriptInjectionTime { AtDocumentStart, AtDocumentEnd };

/// A script injected into every page.
struct UserScript {
    /// The JavaScript source.
    std::string source;
    /// When it runs.
    UserScriptInjectionTime injectionTime = UserScriptInjectionTime::AtDocumentStart;
    /// True: the main frame only; false: every frame.
    bool forMainFrameOnly = true;
};

/// A message the page posted on a named channel. The body is whatever JSON
/// value the page posted: string, number, boolean, null, array or object.
struct ScriptMessage {
    /// The channel's name.
    std::string name;
    /// The value posted.
    nlohmann::json body;
};

/// Takes the messages of the channels it is registered for.
class ScriptMessageHandler {
public:
    virtual ~ScriptMessageHandler() = default;
    /// A message arrived on one of the handler's channels. Main thread.
    virtual void userContentControllerDidReceiveScriptMessage(const ScriptMessage& message) = 0;
};

/// The user scripts and message channels a page view is created with.
class UserContentController {
public:
    /// Registers `handler` for the channel `name`.
    /// The handler is held weakly: it usually owns the page view.
    void addScriptMessageHandler(std::weak_ptr<ScriptMessageHandler> handler, const std::string& name) {
        handlers_.push_back({name, std::move(handler)});
    }
    /// Removes every channel.
    void removeAllScriptMessageHandlers() { handlers_.clear(); }
    /// Adds a script for every page.
    void addUserScript(UserScript s) { scripts_.push_back(std::move(s)); }
    /// The scripts, in the order added.
    const std::vector<UserScript>& userScripts() const { return scripts_; }
    /// The channel names, in the order added.
    std::vector<std::string> channelNames() const {
        std::vector<std::string> n;
        for (auto& h : handlers_) n.push_back(h.first);
        return n;
    }
    /// Delivers a message to the handler of its channel; false when the channel
    /// is unknown or its handler is gone. Main thread.
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

/// What a page view is created with.
struct WebViewConfiguration {
    /// The user scripts and message channels.
    std::shared_ptr<UserContentController> userContentController = std::make_shared<UserContentController>();
    /// Whether video plays inline rather than full screen.
    bool allowsInlineMediaPlayback = false;
    /// Preference keys, e.g. "allowFileAccessFromFileURLs" -> 1.
    std::map<std::string, nlohmann::json> preferences;
};

class WebView;

/// Told about a page view's navigations. Main thread.
class WebNavigationDelegate {
public:
    virtual ~WebNavigationDelegate() = default;
    /// A navigation started.
    virtual void webViewDidStartProvisionalNavigation(WebView& webView) = 0;
    /// A navigation finished loading.
    virtual void webViewDidFinishNavigation(WebView& webView) = 0;
    /// A committed navigation failed.
    virtual void webViewDidFailNavigation(WebView& webView, const Error& error) = 0;
    /// A navigation failed before anything was committed (no connection, a bad address).
    virtual void webViewDidFailProvisionalNavigation(WebView& webView, const Error& error) = 0;
};

/// Shows what a page asks the user interface for. Main thread.
class WebUIDelegate {
public:
    virtual ~WebUIDelegate() = default;
    /// The page called alert(`message`); `completionHandler` must run once when
    /// the alert is dismissed.
    virtual void webViewRunJavaScriptAlertPanelWithMessage(WebView& webView, const std::string& message,
                                                           std::function<void()> completionHandler) = 0;
};

/// Key-value observation of "estimatedProgress".
class KeyValueObserver {
public:
    virtual ~KeyValueObserver() = default;
    /// The value at `keyPath` of `object` (the page view) is now `newValue`.
    virtual void observeValueForKeyPath(const std::string& keyPath, const void* object, double newValue) = 0;
};

/// Error code of a cancelled load (a load replaced by a newer navigation).
constexpr long kNavigationCancelledCode = -999;

/// The page view: a web view with script evaluation, navigation and the
/// scroll view's properties.
class WebView : public View {
public:
    using View::View;
    /// Evaluates script in the main frame. The completion, when given, runs on
    /// the main thread with the result or an error carrying the thrown
    /// message. Main thread.
    virtual void evaluateJavaScript(const std::string& script,
                                    std::function<void(const nlohmann::json& result, const std::optional<Error>& error)>
                                        completionHandler = nullptr) = 0;
    /// Loads an absolute URL (http, https or file) with a plain request.
    virtual void loadRequest(const std::string& url) = 0;
    /// True when there is a page to go back to.
    virtual bool canGoBack() const = 0;
    /// Absolute URL of the back item, if any.
    virtual std::optional<std::string> backItemURL() const = 0;
    /// Goes back one page in the history.
    virtual void goBack() = 0;
    /// Goes forward one page in the history.
    virtual void goForward() = 0;
    /// Loads the current page again.
    virtual void reload() = 0;
    /// Absolute URL of the current page, if any.
    virtual std::optional<std::string> URL() const = 0;
    /// Load progress 0..1.
    virtual double estimatedProgress() const = 0;

    ///@{
    /// Delegates are held weakly.
    void setNavigationDelegate(std::weak_ptr<WebNavigationDelegate> d) { navigationDelegate_ = std::move(d); }
    void setUIDelegate(std::weak_ptr<WebUIDelegate> d) { uiDelegate_ = std::move(d); }
    ///@}
    /// The navigation delegate, or null.
    std::shared_ptr<WebNavigationDelegate> navigationDelegate() const { return navigationDelegate_.lock(); }
    /// The UI delegate, or null.
    std::shared_ptr<WebUIDelegate> uiDelegate() const { return uiDelegate_.lock(); }
    /// True while the navigation delegate lives.
    bool hasNavigationDelegate() const { return !navigationDelegate_.expired(); }
    /// Observer of "estimatedProgress", held weakly; one at a time.
    void addObserver(std::weak_ptr<KeyValueObserver> o, const std::string& keyPath) {
        if (keyPath == "estimatedProgress") progressObserver_ = std::move(o);
    }
    /// Removes the observer of `keyPath` ("estimatedProgress").
    void removeObserver(const std::string& keyPath) {
        if (keyPath == "estimatedProgress") progressObserver_.reset();
    }

    /// True when the view draws an opaque background (the default).
    bool isOpaque() const { return opaque_; }
    /// Makes the background opaque or lets what is below show through.
    virtual void setOpaque(bool o) { opaque_ = o; }
    ///@{
    /// The scroll view's properties.
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
    ///@}
    /// True when developer tools may inspect the page.
    bool isInspectable() const { return inspectable_; }
    /// Lets developer tools inspect the page, or not.
    virtual void setInspectable(bool i) { inspectable_ = i; }
    ///@{
    /// The configuration's preference values, e.g. "allowFileAccessFromFileURLs".
    virtual void setPreferenceValue(const std::string& key, const nlohmann::json& value) { preferences_[key] = value; }
    nlohmann::json preferenceValue(const std::string& key) const {
        auto it = preferences_.find(key);
        return it == preferences_.end() ? nlohmann::json() : it->second;
    }
    ///@}

protected:
    /// For implementations: tell the observer about a new progress value.
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

/// The content-inset adjustment that never insets the page (for
/// WebView::setContentInsetAdjustmentBehavior).
constexpr long UIScrollViewContentInsetAdjustmentNever = 2;

// ---- Camera view ----

class CameraView;

/// Drives the camera view's frames.
class CameraViewDelegate {
public:
    virtual ~CameraViewDelegate() = default;
    /// The display tick. Main thread.
    virtual void drawInMTKView(CameraView& view) = 0;
    /// The drawable size changed (pixels). Main thread.
    virtual void mtkViewDrawableSizeWillChange(CameraView& view, Size size) = 0;
};

/// The camera view: the GPU-drawn view the camera image is rendered into.
class CameraView : public View {
public:
    using View::View;
    /// The delegate is held weakly.
    void setDelegate(std::weak_ptr<CameraViewDelegate> d) { delegate_ = std::move(d); }
    /// The delegate, or null.
    std::shared_ptr<CameraViewDelegate> delegate() const { return delegate_.lock(); }
    /// The GPU device the view draws with, or null.
    virtual std::shared_ptr<GPUDevice> device() const = 0;
    /// What the renderer draws into: owned by the view (the renderer keeps it
    /// weakly), or null for a view that can't be drawn into.
    virtual std::shared_ptr<RenderDestinationProvider> renderDestination() const { return nullptr; }

private:
    std::weak_ptr<CameraViewDelegate> delegate_;
};

/// Creates the views the controller builds. Main thread.
class ViewFactory {
public:
    virtual ~ViewFactory() = default;
    /// The system default GPU device, or null without one.
    virtual std::shared_ptr<GPUDevice> systemDefaultDevice() = 0;
    /// A camera view at `frame` drawing with `device`.
    virtual std::shared_ptr<CameraView> makeCameraView(const Rect& frame, std::shared_ptr<GPUDevice> device) = 0;
    /// A page view at `frame` with the scripts, channels and preferences of `configuration`.
    virtual std::shared_ptr<WebView> makeWebView(const Rect& frame, const WebViewConfiguration& configuration) = 0;
    ///@{
    /// Chrome controls; the plain ones keep their state without a toolkit.
    virtual std::shared_ptr<TextField> makeTextField() { return std::make_shared<TextField>(); }
    virtual std::shared_ptr<Button> makeButton() { return std::make_shared<Button>(); }
    ///@}
};

}  // namespace tevra
