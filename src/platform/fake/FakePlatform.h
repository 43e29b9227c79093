// Deterministic in-process fakes of every platform service, for tests and the
// replay driver: a manual media clock, a main queue that the test drains, a
// page view that records every evaluated script, an AR session driven by hand,
// and an HTTP client whose requests the test answers.
//
// Every observable effect is also appended, in order, to one Transcript with
// a fixed prefix per kind (see docs/replay.md).
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "platform/fake/FakeAnimator.h"
#include "platform/fake/FakeGPU.h"
#include "base/ThreadAnnotations.h"

namespace tevra::fake {

// Ordered record of effects, one line each. Thread-safe.
class Transcript {
public:
    void add(const std::string& prefix, const std::string& text);
    std::vector<std::string> lines() const;
    // Lines with the given prefix, prefix stripped.
    std::vector<std::string> linesWithPrefix(const std::string& prefix) const;
    void clear();
    // Called for every new line (e.g. to print live).
    void setListener(std::function<void(const std::string&)> l);

private:
    mutable Mutex mutex_;
    std::vector<std::string> lines_ TEVRA_GUARDED_BY(mutex_);
    std::function<void(const std::string&)> listener_ TEVRA_GUARDED_BY(mutex_);
};

class FakeLog : public Log {
public:
    explicit FakeLog(std::shared_ptr<Transcript> t) : transcript_(std::move(t)) {}
    void system(std::string_view line) override;
    void standardOutput(std::string_view line) override;
    std::vector<std::string> systemLines() const;
    std::vector<std::string> stdoutLines() const;
    void clear();

private:
    std::shared_ptr<Transcript> transcript_;
    mutable Mutex mutex_;
    std::vector<std::string> system_ TEVRA_GUARDED_BY(mutex_);
    std::vector<std::string> stdout_ TEVRA_GUARDED_BY(mutex_);
};

// A queue that runs nothing until drained.
class ManualQueue : public DispatchQueue {
public:
    void async(std::function<void()> work) override;
    // Runs queued work, including work queued while draining, up to `limit`
    // items. Returns the number run.
    size_t drain(size_t limit = 1000000);
    size_t pending() const;

private:
    mutable Mutex mutex_;
    std::deque<std::function<void()>> items_ TEVRA_GUARDED_BY(mutex_);
};

// A queue that runs each item on a fresh thread; joinAll() waits for them.
class ThreadQueue : public DispatchQueue {
public:
    ~ThreadQueue() override;
    void async(std::function<void()> work) override;
    void joinAll();

private:
    Mutex mutex_;
    std::vector<std::thread> threads_ TEVRA_GUARDED_BY(mutex_);
};

class FakeDispatch : public Dispatch {
public:
    enum class GlobalMode { Manual, Threads };
    explicit FakeDispatch(GlobalMode mode = GlobalMode::Manual);
    DispatchQueue& main() override { return main_; }
    DispatchQueue& globalHighPriority() override;
    bool isMainThread() const override;
    std::shared_ptr<Timer> scheduleRepeatingTimer(double interval, std::function<void()> tick) override;

    ManualQueue& mainQueue() { return main_; }
    ManualQueue& globalQueue() { return global_; }
    // Runs both queues until idle (global first, then main), joining worker
    // threads in Threads mode. Returns items run.
    size_t drainAll(size_t rounds = 1000);
    // Fires every valid timer once.
    void fireTimers();
    size_t timerCount() const;
    // Claims the main thread for the calling thread: a test that plays the
    // main thread on a thread of its own calls this there first.
    void setMainThreadToCurrent() { mainThread_ = std::this_thread::get_id(); }

private:
    ManualQueue main_;
    ManualQueue global_;
    ThreadQueue threads_;
    GlobalMode mode_;
    std::atomic<std::thread::id> mainThread_;
    struct FakeTimer;
    std::vector<std::shared_ptr<FakeTimer>> timers_;
};

class FakeClock : public MediaClock {
public:
    double now() const override;
    void set(double t);
    void advance(double dt);

private:
    mutable Mutex mutex_;
    double now_ TEVRA_GUARDED_BY(mutex_) = 100.0;
};

class FakeDevice : public Device {
public:
    explicit FakeDevice(std::shared_ptr<Transcript> t) : transcript_(std::move(t)) {}
    long orientation() const override { return orientation_; }
    bool isGeneratingDeviceOrientationNotifications() const override { return generating_; }
    void beginGeneratingDeviceOrientationNotifications() override { generating_ = true; }
    void endGeneratingDeviceOrientationNotifications() override { generating_ = false; }
    int addOrientationObserver(std::function<void()> observer) override;
    void removeOrientationObserver(int token) override;
    std::string machineIdentifier() const override { return machine_; }

    // Changes the orientation and notifies observers when notifications are on.
    void setOrientation(long o);
    void setMachineIdentifier(std::string m) { machine_ = std::move(m); }
    size_t observerCount() const { return observers_.size(); }

private:
    std::shared_ptr<Transcript> transcript_;
    long orientation_ = 1;
    bool generating_ = false;
    std::string machine_ = "x86_64";
    int nextToken_ = 1;
    std::map<int, std::function<void()>> observers_;
};

class FakeUserDefaults : public UserDefaults {
public:
    std::optional<std::string> stringForKey(const std::string& key) const override;
    void setObject(const std::optional<std::string>& value, const std::string& key) override;
    bool synchronize() override;
    int synchronizeCount() const { return syncs_; }

private:
    std::map<std::string, std::string> values_;
    int syncs_ = 0;
};

class FakeUUIDSource : public UUIDSource {
public:
    std::string uuidString() override;

private:
    Mutex mutex_;
    unsigned long next_ TEVRA_GUARDED_BY(mutex_) = 1;
};

class FakeHaptics : public HapticOutput {
public:
    explicit FakeHaptics(std::shared_ptr<Transcript> t) : transcript_(std::move(t)) {}
    void impact(int style) override;
    void notification(int type) override;
    void prepare(HapticGenerator generator) override;
    // "impact 2", "notification 0", "prepare 5" ...
    std::vector<std::string> calls() const { return calls_; }
    void clear() { calls_.clear(); }

private:
    std::shared_ptr<Transcript> transcript_;
    std::vector<std::string> calls_;
};

// Records every accessibility notice, in order. It writes no transcript
// line, so replay transcripts stay as they were.
class FakeAccessibility : public Accessibility {
public:
    struct Notice {
        const View* focusElement = nullptr;
        std::string focusLabel;
    };
    bool postLayoutChanged(const View* focusElement, const std::string& focusLabel) override {
        notices_.push_back({focusElement, focusLabel});
        return true;
    }
    const std::vector<Notice>& notices() const { return notices_; }
    void clear() { notices_.clear(); }

private:
    std::vector<Notice> notices_;
};

// ---- Views ----

class FakeCameraView : public CameraView {
public:
    FakeCameraView(const Rect& frame, std::shared_ptr<GPUDevice> device)
        : CameraView(frame), device_(std::move(device)) {}
    std::shared_ptr<GPUDevice> device() const override { return device_; }
    std::shared_ptr<RenderDestinationProvider> renderDestination() const override { return destination_; }
    FakeRenderDestination& fakeDestination() { return *destination_; }
    // Display tick, as the toolkit would deliver it.
    void tick() {
        if (auto d = delegate()) d->drawInMTKView(*this);
    }

private:
    std::shared_ptr<GPUDevice> device_;
    std::shared_ptr<FakeRenderDestination> destination_ = std::make_shared<FakeRenderDestination>();
};

// A page view that records every script and load. Scripts are "evaluated" by
// recording them; a test can make evaluations fail or answer them.
class FakeWebView : public WebView {
public:
    FakeWebView(const Rect& frame, WebViewConfiguration configuration, std::shared_ptr<Transcript> t,
                std::shared_ptr<Dispatch> dispatch);
    void evaluateJavaScript(
        const std::string& script,
        std::function<void(const nlohmann::json&, const std::optional<Error>&)> completion) override;
    void loadRequest(const std::string& url) override;
    bool canGoBack() const override { return historyIndex_ > 0; }
    std::optional<std::string> backItemURL() const override;
    void goBack() override;
    void goForward() override;
    void reload() override;
    std::optional<std::string> URL() const override;
    double estimatedProgress() const override { return progress_; }

    const WebViewConfiguration& configuration() const { return configuration_; }
    std::vector<std::string> evaluatedScripts() const { return scripts_; }
    std::vector<std::string> loadedURLs() const { return loads_; }
    void clearRecords() {
        scripts_.clear();
        loads_.clear();
    }
    // Scripts starting with this prefix fail with the given error message.
    void failScriptsWithPrefix(const std::string& prefix, const std::string& message);
    // Page side: post a message on a channel (delivered synchronously, as the
    // engine delivers on the main thread).
    bool postMessage(const std::string& channel, const nlohmann::json& body);
    // Navigation events, as the engine reports them.
    void simulateStartProvisional();
    void simulateFinish();
    void simulateFail(long code, const std::string& description, bool provisional);
    void simulateProgress(double p);
    void simulateAlert(const std::string& message, std::function<void()> completion);
    // Label used in the transcript ("page" or "host").
    void setLabel(std::string l) { label_ = std::move(l); }

private:
    WebViewConfiguration configuration_;
    std::shared_ptr<Transcript> transcript_;
    std::shared_ptr<Dispatch> dispatch_;
    std::vector<std::string> scripts_;
    std::vector<std::string> loads_;
    std::vector<std::string> history_;
    long historyIndex_ = -1;
    double progress_ = 0;
    std::vector<std::pair<std::string, std::string>> failures_;
    std::string label_ = "page";
};

class FakeViewFactory : public ViewFactory {
public:
    FakeViewFactory(std::shared_ptr<Transcript> t, std::shared_ptr<Dispatch> d)
        : transcript_(std::move(t)), dispatch_(std::move(d)) {}
    std::shared_ptr<GPUDevice> systemDefaultDevice() override;
    std::shared_ptr<CameraView> makeCameraView(const Rect& frame, std::shared_ptr<GPUDevice> device) override;
    std::shared_ptr<WebView> makeWebView(const Rect& frame, const WebViewConfiguration& configuration) override;

    void setHasGPU(bool g) { hasGPU_ = g; }
    // The recording GPU every camera view draws with.
    std::shared_ptr<FakeGPU> gpu() const { return gpu_; }
    std::shared_ptr<FakeCameraView> lastCameraView() const { return camera_.lock(); }
    std::shared_ptr<FakeWebView> lastWebView() const { return web_.lock(); }
    // A host web view, as a host application would pass in.
    std::shared_ptr<FakeWebView> makeHostWebView(const Rect& frame);

private:
    std::shared_ptr<Transcript> transcript_;
    std::shared_ptr<Dispatch> dispatch_;
    bool hasGPU_ = true;
    std::shared_ptr<FakeGPU> gpu_ = std::make_shared<FakeGPU>();
    std::weak_ptr<FakeCameraView> camera_;
    std::weak_ptr<FakeWebView> web_;
};

// ---- AR session ----

class FakeARCamera : public ARCamera {
public:
    float4x4 transform() const override { return transform_; }
    float4x4 viewMatrixForOrientation(long o) const override;
    float4x4 projectionMatrixForOrientation(long o, Size viewport, float zNear, float zFar) const override;
    long trackingState() const override { return state_; }
    long trackingStateReason() const override { return reason_; }
    float3x3 intrinsics() const override { return intrinsics_; }
    Size imageResolution() const override { return resolution_; }

    float4x4 transform_ = float4x4::identity();
    // When set, returned for every orientation instead of inverse(transform).
    std::optional<float4x4> viewOverride_;
    long state_ = ARTrackingStateNormal;
    long reason_ = ARTrackingStateReasonNone;
    float3x3 intrinsics_{};
    Size resolution_{1920, 1440};
};

class FakeARFrame : public ARFrame {
public:
    double timestamp() const override { return timestamp_; }
    std::shared_ptr<ARCamera> camera() const override { return camera_; }
    PixelBufferRef capturedImage() const override { return image_; }
    ARAnchorList anchors() const override { return anchors_; }
    AffineTransform displayTransformForOrientation(long, Size) const override { return display_; }

    double timestamp_ = 0;
    std::shared_ptr<FakeARCamera> camera_ = std::make_shared<FakeARCamera>();
    PixelBufferRef image_;
    ARAnchorList anchors_;
    AffineTransform display_;
};

class FakeARSession : public ARSession {
public:
    explicit FakeARSession(std::shared_ptr<Transcript> t) : transcript_(std::move(t)) {}
    void setDelegate(std::weak_ptr<ARSessionDelegate> d) override { delegate_ = std::move(d); }
    void runWithConfiguration(const ARWorldTrackingConfiguration& c, unsigned long options) override;
    void pause() override;
    std::shared_ptr<ARFrame> currentFrame() const override { return current_; }
    void addAnchor(const std::shared_ptr<ARAnchor>& a) override;
    void removeAnchor(const std::shared_ptr<ARAnchor>& a) override;

    std::shared_ptr<ARSessionDelegate> delegate() const { return delegate_.lock(); }
    bool isRunning() const { return running_; }
    int runCount() const { return runs_; }
    unsigned long lastRunOptions() const { return lastOptions_; }
    ARWorldTrackingConfiguration lastConfiguration() const { return lastConfig_; }
    const ARAnchorList& anchors() const { return anchors_; }
    void setCurrentFrame(std::shared_ptr<ARFrame> f) { current_ = std::move(f); }
    // Delivers a frame through the delegate (and makes it current).
    void deliverFrame(const std::shared_ptr<ARFrame>& f);

private:
    std::shared_ptr<Transcript> transcript_;
    std::weak_ptr<ARSessionDelegate> delegate_;
    bool running_ = false;
    int runs_ = 0;
    unsigned long lastOptions_ = 0;
    ARWorldTrackingConfiguration lastConfig_;
    std::shared_ptr<ARFrame> current_;
    ARAnchorList anchors_;
};

class FakeARSessionFactory : public ARSessionFactory {
public:
    explicit FakeARSessionFactory(std::shared_ptr<Transcript> t) : transcript_(std::move(t)) {}
    std::shared_ptr<ARSession> makeSession() override;
    std::shared_ptr<FakeARSession> lastSession() const { return last_.lock(); }

private:
    std::shared_ptr<Transcript> transcript_;
    std::weak_ptr<FakeARSession> last_;
};

// ---- HTTP ----

class FakeHttpClient : public HttpClient {
public:
    explicit FakeHttpClient(std::shared_ptr<Transcript> t) : transcript_(std::move(t)) {}
    void dataTask(HttpRequest request, DataCompletion completion) override;
    void downloadTask(const std::string& url, DownloadCompletion completion) override;

    struct Pending {
        HttpRequest request;
        DataCompletion data;
        DownloadCompletion download;
    };
    size_t pendingCount() const;
    std::vector<HttpRequest> requests() const;
    // Answers the oldest pending request (index 0) or a given one. For a
    // download the body is written to a temporary file first.
    bool respond(size_t index, long status, const std::string& body);
    bool fail(size_t index, const std::string& message);

private:
    std::shared_ptr<Transcript> transcript_;
    mutable Mutex mutex_;
    std::vector<Pending> pending_ TEVRA_GUARDED_BY(mutex_);
    std::vector<HttpRequest> all_ TEVRA_GUARDED_BY(mutex_);
};

// The whole fake platform, with typed access to each fake.
struct FakePlatform {
    std::shared_ptr<Transcript> transcript = std::make_shared<Transcript>();
    std::shared_ptr<FakeDispatch> dispatch;
    std::shared_ptr<FakeLog> log;
    std::shared_ptr<FakeClock> clock;
    std::shared_ptr<FakeDevice> device;
    std::shared_ptr<FakeUserDefaults> defaults;
    std::shared_ptr<FakeViewFactory> views;
    std::shared_ptr<FakeARSessionFactory> ar;
    std::shared_ptr<FakeHttpClient> http;
    std::shared_ptr<FakeHaptics> haptics;
    std::shared_ptr<FakeUUIDSource> uuids;
    std::shared_ptr<FakeAccessibility> accessibility = std::make_shared<FakeAccessibility>();
    // Ends animations at once; tests wanting control swap in a manual one.
    std::shared_ptr<FakeAnimator> animator = std::make_shared<FakeAnimator>(FakeAnimator::Mode::Immediate);
    std::shared_ptr<Platform> platform;

    // Builds the fakes and installs them as the process platform.
    static std::shared_ptr<FakePlatform> install(FakeDispatch::GlobalMode mode = FakeDispatch::GlobalMode::Manual);
};

}  // namespace tevra::fake
