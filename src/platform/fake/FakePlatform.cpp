#include "platform/fake/FakePlatform.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace tevra::fake {

// ---- Transcript ----

void Transcript::add(const std::string& prefix, const std::string& text) {
    std::function<void(const std::string&)> listener;
    std::string line = prefix + " " + text;
    {
        MutexLock lock(mutex_);
        lines_.push_back(line);
        listener = listener_;
    }
    if (listener) listener(line);
}

std::vector<std::string> Transcript::lines() const {
    MutexLock lock(mutex_);
    return lines_;
}

std::vector<std::string> Transcript::linesWithPrefix(const std::string& prefix) const {
    MutexLock lock(mutex_);
    std::vector<std::string> out;
    std::string p = prefix + " ";
    for (auto& l : lines_)
        if (l.compare(0, p.size(), p) == 0) out.push_back(l.substr(p.size()));
    return out;
}

void Transcript::clear() {
    MutexLock lock(mutex_);
    lines_.clear();
}

void Transcript::setListener(std::function<void(const std::string&)> l) {
    MutexLock lock(mutex_);
    listener_ = std::move(l);
}

// ---- Log ----

void FakeLog::system(std::string_view line) {
    {
        MutexLock lock(mutex_);
        system_.emplace_back(line);
    }
    transcript_->add("LOG", std::string(line));
}

void FakeLog::standardOutput(std::string_view line) {
    {
        MutexLock lock(mutex_);
        stdout_.emplace_back(line);
    }
    transcript_->add("OUT", std::string(line));
}

std::vector<std::string> FakeLog::systemLines() const {
    MutexLock lock(mutex_);
    return system_;
}

std::vector<std::string> FakeLog::stdoutLines() const {
    MutexLock lock(mutex_);
    return stdout_;
}

void FakeLog::clear() {
    MutexLock lock(mutex_);
    system_.clear();
    stdout_.clear();
}

// ---- Queues ----

void ManualQueue::async(std::function<void()> work) {
    MutexLock lock(mutex_);
    items_.push_back(std::move(work));
}

size_t ManualQueue::drain(size_t limit) {
    size_t n = 0;
    while (n < limit) {
        std::function<void()> item;
        {
            MutexLock lock(mutex_);
            if (items_.empty()) break;
            item = std::move(items_.front());
            items_.pop_front();
        }
        item();
        ++n;
    }
    return n;
}

size_t ManualQueue::pending() const {
    MutexLock lock(mutex_);
    return items_.size();
}

ThreadQueue::~ThreadQueue() { joinAll(); }

void ThreadQueue::async(std::function<void()> work) {
    MutexLock lock(mutex_);
    threads_.emplace_back(std::move(work));
}

void ThreadQueue::joinAll() {
    while (true) {
        std::vector<std::thread> ts;
        {
            MutexLock lock(mutex_);
            ts.swap(threads_);
        }
        if (ts.empty()) return;
        for (auto& t : ts) t.join();
    }
}

struct FakeDispatch::FakeTimer : Timer {
    std::function<void()> tick;
    bool valid = true;
    void invalidate() override { valid = false; }
    bool isValid() const override { return valid; }
};

FakeDispatch::FakeDispatch(GlobalMode mode) : mode_(mode), mainThread_(std::this_thread::get_id()) {}

DispatchQueue& FakeDispatch::globalHighPriority() {
    if (mode_ == GlobalMode::Threads) return threads_;
    return global_;
}

bool FakeDispatch::isMainThread() const { return std::this_thread::get_id() == mainThread_; }

std::shared_ptr<Timer> FakeDispatch::scheduleRepeatingTimer(double, std::function<void()> tick) {
    auto t = std::make_shared<FakeTimer>();
    t->tick = std::move(tick);
    timers_.push_back(t);
    return t;
}

void FakeDispatch::fireTimers() {
    auto copy = timers_;
    for (auto& t : copy)
        if (t->valid && t->tick) t->tick();
}

size_t FakeDispatch::timerCount() const {
    return static_cast<size_t>(std::count_if(timers_.begin(), timers_.end(), [](auto& t) { return t->valid; }));
}

size_t FakeDispatch::drainAll(size_t rounds) {
    size_t total = 0;
    for (size_t r = 0; r < rounds; ++r) {
        size_t n = 0;
        if (mode_ == GlobalMode::Threads) threads_.joinAll();
        n += global_.drain();
        n += main_.drain();
        if (mode_ == GlobalMode::Threads) threads_.joinAll();
        n += main_.drain();
        total += n;
        if (n == 0 && global_.pending() == 0 && main_.pending() == 0) break;
    }
    return total;
}

// ---- Clock ----

double FakeClock::now() const {
    MutexLock lock(mutex_);
    return now_;
}

void FakeClock::set(double t) {
    MutexLock lock(mutex_);
    now_ = t;
}

void FakeClock::advance(double dt) {
    MutexLock lock(mutex_);
    now_ += dt;
}

// ---- Device ----

int FakeDevice::addOrientationObserver(std::function<void()> observer) {
    int t = nextToken_++;
    observers_[t] = std::move(observer);
    return t;
}

void FakeDevice::removeOrientationObserver(int token) { observers_.erase(token); }

void FakeDevice::setOrientation(long o) {
    orientation_ = o;
    if (!generating_) return;
    auto copy = observers_;
    for (auto& [token, fn] : copy) fn();
}

// ---- Defaults ----

std::optional<std::string> FakeUserDefaults::stringForKey(const std::string& key) const {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void FakeUserDefaults::setObject(const std::optional<std::string>& value, const std::string& key) {
    if (value)
        values_[key] = *value;
    else
        values_.erase(key);
}

bool FakeUserDefaults::synchronize() {
    ++syncs_;
    return true;
}

// ---- UUIDs ----

std::string FakeUUIDSource::uuidString() {
    MutexLock lock(mutex_);
    char buf[40];
    std::snprintf(buf, sizeof buf, "00000000-0000-4000-8000-%012lX", next_++);
    return buf;
}

// ---- Haptics ----

void FakeHaptics::impact(int style) {
    calls_.push_back("impact " + std::to_string(style));
    transcript_->add("HAPTIC", calls_.back());
}

void FakeHaptics::notification(int type) {
    calls_.push_back("notification " + std::to_string(type));
    transcript_->add("HAPTIC", calls_.back());
}

void FakeHaptics::prepare(HapticGenerator g) {
    calls_.push_back("prepare " + std::to_string(static_cast<int>(g)));
    transcript_->add("HAPTIC", calls_.back());
}

// ---- Web view ----

FakeWebView::FakeWebView(const Rect& frame, WebViewConfiguration configuration, std::shared_ptr<Transcript> t,
                         std::shared_ptr<Dispatch> dispatch)
    : WebView(frame),
      configuration_(std::move(configuration)),
      transcript_(std::move(t)),
      dispatch_(std::move(dispatch)) {}

void FakeWebView::evaluateJavaScript(
    const std::string& script, std::function<void(const nlohmann::json&, const std::optional<Error>&)> completion) {
    scripts_.push_back(script);
    transcript_->add("JS", script);
    std::optional<Error> error;
    for (auto& [prefix, message] : failures_) {
        if (script.compare(0, prefix.size(), prefix) == 0) {
            error = Error{"WKErrorDomain", 4, "A JavaScript exception occurred: " + message};
            break;
        }
    }
    if (completion) {
        // The engine answers later, on the main thread.
        dispatch_->main().async([completion, error] { completion(nlohmann::json(), error); });
    }
}

void FakeWebView::loadRequest(const std::string& url) {
    loads_.push_back(url);
    // Pages among the resources print relative to them, so transcripts do not
    // depend on where the tree lives.
    std::string shown = url;
    if (hasPlatform() && !platform().resourcesDirectory.empty()) {
        std::string prefix = "file://" + platform().resourcesDirectory;
        if (shown.compare(0, prefix.size(), prefix) == 0) shown = "file://RESOURCES" + shown.substr(prefix.size());
    }
    transcript_->add("LOAD", (label_ == "page" ? "" : label_ + " ") + shown);
    if (historyIndex_ + 1 < static_cast<long>(history_.size())) history_.resize(static_cast<size_t>(historyIndex_ + 1));
    history_.push_back(url);
    historyIndex_ = static_cast<long>(history_.size()) - 1;
}

std::optional<std::string> FakeWebView::backItemURL() const {
    if (historyIndex_ <= 0) return std::nullopt;
    return history_[static_cast<size_t>(historyIndex_ - 1)];
}

void FakeWebView::goBack() {
    if (historyIndex_ > 0) {
        --historyIndex_;
        transcript_->add("NAV", "back " + history_[static_cast<size_t>(historyIndex_)]);
    }
}

void FakeWebView::goForward() {
    if (historyIndex_ + 1 < static_cast<long>(history_.size())) {
        ++historyIndex_;
        transcript_->add("NAV", "forward " + history_[static_cast<size_t>(historyIndex_)]);
    }
}

void FakeWebView::reload() { transcript_->add("NAV", "reload"); }

std::optional<std::string> FakeWebView::URL() const {
    if (historyIndex_ < 0) return std::nullopt;
    return history_[static_cast<size_t>(historyIndex_)];
}

void FakeWebView::failScriptsWithPrefix(const std::string& prefix, const std::string& message) {
    failures_.emplace_back(prefix, message);
}

bool FakeWebView::postMessage(const std::string& channel, const nlohmann::json& body) {
    return configuration_.userContentController->deliver({channel, body});
}

void FakeWebView::simulateStartProvisional() {
    progress_ = 0.1;
    if (auto d = navigationDelegate()) d->webViewDidStartProvisionalNavigation(*this);
    notifyProgress();
}

void FakeWebView::simulateFinish() {
    progress_ = 1.0;
    notifyProgress();
    if (auto d = navigationDelegate()) d->webViewDidFinishNavigation(*this);
}

void FakeWebView::simulateFail(long code, const std::string& description, bool provisional) {
    Error e{provisional ? "NSURLErrorDomain" : "WebKitErrorDomain", code, description};
    if (auto d = navigationDelegate()) {
        if (provisional)
            d->webViewDidFailProvisionalNavigation(*this, e);
        else
            d->webViewDidFailNavigation(*this, e);
    }
}

void FakeWebView::simulateProgress(double p) {
    progress_ = p;
    notifyProgress();
}

void FakeWebView::simulateAlert(const std::string& message, std::function<void()> completion) {
    if (auto d = uiDelegate()) d->webViewRunJavaScriptAlertPanelWithMessage(*this, message, std::move(completion));
}

// ---- View factory ----

std::shared_ptr<GPUDevice> FakeViewFactory::systemDefaultDevice() {
    if (!hasGPU_) return nullptr;
    return gpu_;
}

std::shared_ptr<CameraView> FakeViewFactory::makeCameraView(const Rect& frame, std::shared_ptr<GPUDevice> device) {
    auto v = std::make_shared<FakeCameraView>(frame, std::move(device));
    camera_ = v;
    return v;
}

std::shared_ptr<WebView> FakeViewFactory::makeWebView(const Rect& frame, const WebViewConfiguration& configuration) {
    auto v = std::make_shared<FakeWebView>(frame, configuration, transcript_, dispatch_);
    web_ = v;
    return v;
}

std::shared_ptr<FakeWebView> FakeViewFactory::makeHostWebView(const Rect& frame) {
    auto v = std::make_shared<FakeWebView>(frame, WebViewConfiguration{}, transcript_, dispatch_);
    v->setLabel("host");
    return v;
}

// ---- AR ----

float4x4 FakeARCamera::viewMatrixForOrientation(long) const {
    if (viewOverride_) return *viewOverride_;
    return inverse(transform_);
}

float4x4 FakeARCamera::projectionMatrixForOrientation(long, Size viewport, float zNear, float zFar) const {
    // A plain perspective with a 60 degree vertical field of view.
    float aspect = viewport.height > 0 ? static_cast<float>(viewport.width / viewport.height) : 1.0f;
    float f = 1.0f / std::tan(static_cast<float>(M_PI) / 6.0f);
    float4x4 p;
    p.m(0, 0) = f / aspect;
    p.m(1, 1) = f;
    p.m(2, 2) = zFar / (zNear - zFar);
    p.m(2, 3) = -1.0f;
    p.m(3, 2) = zNear * zFar / (zNear - zFar);
    return p;
}

static std::string fmtMatrixTranslation(const float4x4& t) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "(%.3f, %.3f, %.3f)", t.m(3, 0), t.m(3, 1), t.m(3, 2));
    return buf;
}

void FakeARSession::runWithConfiguration(const ARWorldTrackingConfiguration& c, unsigned long options) {
    running_ = true;
    ++runs_;
    lastOptions_ = options;
    lastConfig_ = c;
    transcript_->add("SESSION",
                     "run planeDetection=" + std::to_string(c.planeDetection) + " options=" + std::to_string(options));
}

void FakeARSession::pause() {
    running_ = false;
    transcript_->add("SESSION", "pause");
}

void FakeARSession::addAnchor(const std::shared_ptr<ARAnchor>& a) {
    anchors_.push_back(a);
    transcript_->add("SESSION", "addAnchor " + a->identifier() + " at " + fmtMatrixTranslation(a->transform()));
}

void FakeARSession::removeAnchor(const std::shared_ptr<ARAnchor>& a) {
    auto it = std::find(anchors_.begin(), anchors_.end(), a);
    if (it != anchors_.end()) anchors_.erase(it);
    transcript_->add("SESSION", "removeAnchor " + (a ? a->identifier() : std::string("(null)")));
}

void FakeARSession::deliverFrame(const std::shared_ptr<ARFrame>& f) {
    current_ = f;
    if (auto d = delegate()) d->sessionDidUpdateFrame(*this, f);
}

std::shared_ptr<ARSession> FakeARSessionFactory::makeSession() {
    auto s = std::make_shared<FakeARSession>(transcript_);
    last_ = s;
    return s;
}

// ---- HTTP ----

static std::string describeRequest(const HttpRequest& r) {
    std::string s = r.method + " " + r.url;
    for (auto& [k, v] : r.headers) s += " [" + k + ": " + v + "]";
    s += " body=" + std::to_string(r.body.size()) + "B";
    return s;
}

void FakeHttpClient::dataTask(HttpRequest request, DataCompletion completion) {
    transcript_->add("HTTP", describeRequest(request));
    MutexLock lock(mutex_);
    all_.push_back(request);
    pending_.push_back({std::move(request), std::move(completion), nullptr});
}

void FakeHttpClient::downloadTask(const std::string& url, DownloadCompletion completion) {
    HttpRequest r;
    r.url = url;
    transcript_->add("HTTP", "DOWNLOAD " + url);
    MutexLock lock(mutex_);
    all_.push_back(r);
    pending_.push_back({std::move(r), nullptr, std::move(completion)});
}

size_t FakeHttpClient::pendingCount() const {
    MutexLock lock(mutex_);
    return pending_.size();
}

std::vector<HttpRequest> FakeHttpClient::requests() const {
    MutexLock lock(mutex_);
    return all_;
}

bool FakeHttpClient::respond(size_t index, long status, const std::string& body) {
    Pending p;
    {
        MutexLock lock(mutex_);
        if (index >= pending_.size()) return false;
        p = std::move(pending_[index]);
        pending_.erase(pending_.begin() + static_cast<long>(index));
    }
    transcript_->add("HTTP", "answer " + std::to_string(status) + " to " + p.request.url + " (" +
                                 std::to_string(body.size()) + "B)");
    HttpResponse resp{status, {}};
    if (p.data) {
        p.data(body, resp, std::nullopt);
    } else if (p.download) {
        auto dir = std::filesystem::temp_directory_path();
        static std::atomic<int> counter{0};
        auto path = dir / ("tevra-fake-download-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        {
            std::ofstream out(path, std::ios::binary);
            out.write(body.data(), static_cast<std::streamsize>(body.size()));
        }
        p.download(path.string(), resp, std::nullopt);
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
    return true;
}

bool FakeHttpClient::fail(size_t index, const std::string& message) {
    Pending p;
    {
        MutexLock lock(mutex_);
        if (index >= pending_.size()) return false;
        p = std::move(pending_[index]);
        pending_.erase(pending_.begin() + static_cast<long>(index));
    }
    transcript_->add("HTTP", "failure to " + p.request.url + ": " + message);
    Error e{"NSURLErrorDomain", -1004, message};
    if (p.data) p.data(std::nullopt, std::nullopt, e);
    if (p.download) p.download(std::nullopt, std::nullopt, e);
    return true;
}

// ---- Composition ----

std::shared_ptr<FakePlatform> FakePlatform::install(FakeDispatch::GlobalMode mode) {
    auto f = std::make_shared<FakePlatform>();
    f->dispatch = std::make_shared<FakeDispatch>(mode);
    f->log = std::make_shared<FakeLog>(f->transcript);
    f->clock = std::make_shared<FakeClock>();
    f->device = std::make_shared<FakeDevice>(f->transcript);
    f->defaults = std::make_shared<FakeUserDefaults>();
    f->views = std::make_shared<FakeViewFactory>(f->transcript, f->dispatch);
    f->ar = std::make_shared<FakeARSessionFactory>(f->transcript);
    f->http = std::make_shared<FakeHttpClient>(f->transcript);
    f->haptics = std::make_shared<FakeHaptics>(f->transcript);
    f->uuids = std::make_shared<FakeUUIDSource>();
    auto p = std::make_shared<Platform>();
    p->dispatch = f->dispatch;
    p->log = f->log;
    p->clock = f->clock;
    p->device = f->device;
    p->defaults = f->defaults;
    p->views = f->views;
    p->ar = f->ar;
    p->http = f->http;
    p->haptics = f->haptics;
    p->uuids = f->uuids;
    p->animator = f->animator;
    p->accessibility = f->accessibility;
    f->platform = p;
    installPlatform(p);
    return f;
}

}  // namespace tevra::fake
