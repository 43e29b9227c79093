#include "platform/live/LiveARSession.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <thread>
#include <vector>

#include "base/ThreadAnnotations.h"
#include "platform/Log.h"
#include "platform/live/MarkerTracker.h"
#include "platform/sim/SessionRecording.h"
#include "platform/sim/SimCamera.h"

namespace tevra::live {

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The last `kKept` figures of one kind, for medians and percentiles.
class Figures {
public:
    void add(double v) {
        if (values_.size() == kKept) values_.pop_front();
        values_.push_back(v);
    }
    double percentile(double p) const {
        if (values_.empty()) return 0;
        std::vector<double> sorted(values_.begin(), values_.end());
        const size_t i = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())));
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(i), sorted.end());
        return sorted[i];
    }

private:
    static constexpr size_t kKept = 4096;
    std::deque<double> values_;
};

bool containsPointer(const ARAnchorList& list, const std::shared_ptr<ARAnchor>& a) {
    return std::find(list.begin(), list.end(), a) != list.end();
}

}  // namespace

// One tracked camera image on its way to the main thread.
struct TrackedImage {
    CameraSample sample;
    Clock::time_point arrival;
    sim::CameraIntrinsics intrinsics;
    bool found = false;
    float4x4 pose = float4x4::identity();
};

struct LiveARSession::Impl : std::enable_shared_from_this<Impl> {
    Impl(std::unique_ptr<CameraSource> s, LiveSessionOptions o, std::shared_ptr<Dispatch> d)
        : source(std::move(s)), options(std::move(o)), dispatch(std::move(d)) {}

    void startWorker();
    void stopWorker();
    void workerLoop();
    void received(CameraSample sample);
    void lost(const std::string& reason);
    void deliver(TrackedImage image);
    void reportTracking(long state, long reason, const std::shared_ptr<sim::SimCamera>& camera);
    void startCamera();
    void stopCamera();
    ARAnchorList anchors() const;

    // Fixed at creation.
    const std::unique_ptr<CameraSource> source;
    const LiveSessionOptions options;
    const std::shared_ptr<Dispatch> dispatch;

    // Main thread.
    LiveARSession* owner = nullptr;  // null once the session is gone
    std::weak_ptr<ARSessionDelegate> delegate;
    ARWorldTrackingConfiguration configuration;
    bool running = false, cameraStarted = false, cameraLost = false, everFound = false;
    float4x4 lastPose = float4x4::identity();
    sim::CameraIntrinsics lastIntrinsics;
    Size lastSize;
    std::shared_ptr<ARPlaneAnchor> plane;
    ARAnchorList userAnchors, pendingAdded, pendingRemoved;
    std::shared_ptr<ARFrame> current;
    std::optional<std::pair<long, long>> lastTracking;
    uint64_t delivered = 0, withBoard = 0;
    Figures latency, deliveryCost;

    // Shared with the camera's thread and the tracking thread.
    mutable Mutex mutex;
    ConditionVariable wake;
    std::optional<std::pair<CameraSample, Clock::time_point>> newest TEVRA_GUARDED_BY(mutex);
    bool stopping TEVRA_GUARDED_BY(mutex) = false;
    bool deliveryPending TEVRA_GUARDED_BY(mutex) = false;
    bool resetSmoother TEVRA_GUARDED_BY(mutex) = false;
    uint64_t imagesReceived TEVRA_GUARDED_BY(mutex) = 0;
    uint64_t imagesTracked TEVRA_GUARDED_BY(mutex) = 0;
    Figures trackingCost TEVRA_GUARDED_BY(mutex);
    std::thread worker;
};

void LiveARSession::Impl::startWorker() {
    if (worker.joinable()) return;
    worker = std::thread([this] { workerLoop(); });
}

void LiveARSession::Impl::stopWorker() {
    {
        MutexLock lock(mutex);
        stopping = true;
        wake.notify_all();
    }
    if (worker.joinable()) worker.join();
}

void LiveARSession::Impl::received(CameraSample sample) {
    MutexLock lock(mutex);
    ++imagesReceived;
    newest.emplace(std::move(sample), Clock::now());  // an older image not yet taken is dropped
    wake.notify_all();
}

void LiveARSession::Impl::lost(const std::string& reason) {
    dispatch->main().async([weak = weak_from_this(), reason] {
        auto self = weak.lock();
        if (!self || !self->owner) return;
        logSystem("Live session: " + reason + "; tracking is not available");
        self->cameraLost = true;
        auto camera = std::make_shared<sim::SimCamera>(self->lastPose, self->lastIntrinsics, self->lastSize,
                                                       ARTrackingStateNotAvailable, ARTrackingStateReasonNone);
        self->reportTracking(ARTrackingStateNotAvailable, ARTrackingStateReasonNone, camera);
    });
}

void LiveARSession::Impl::reportTracking(long state, long reason, const std::shared_ptr<sim::SimCamera>& camera) {
    const std::pair<long, long> tracking{state, reason};
    if (lastTracking && *lastTracking == tracking) return;
    lastTracking = tracking;
    if (auto d = delegate.lock(); d && owner) d->sessionCameraDidChangeTrackingState(*owner, camera);
}

void LiveARSession::Impl::workerLoop() {
    std::unique_ptr<MarkerTracker> tracker;
    PoseSmoother smoother;
    int trackerWidth = 0, trackerHeight = 0;
    sim::CameraIntrinsics intrinsics;
    const CameraCalibration fallback = options.calibration.value_or(CameraCalibration{});
    for (;;) {
        std::pair<CameraSample, Clock::time_point> taken;
        bool reset = false;
        {
            MutexLock lock(mutex);
            while (!stopping && (!newest || deliveryPending)) wake.wait(mutex);
            if (stopping) return;
            taken = std::move(*newest);
            newest.reset();
            reset = resetSmoother;
            resetSmoother = false;
        }
        TrackedImage out;
        out.sample = std::move(taken.first);
        out.arrival = taken.second;
        const PixelBufferRef& image = out.sample.image;
        if (!image || image->width() == 0 || image->height() == 0) continue;
        const int width = static_cast<int>(image->width()), height = static_cast<int>(image->height());
        const auto start = Clock::now();
        if (!tracker || width != trackerWidth || height != trackerHeight) {
            const CameraCalibration calibration =
                options.calibration ? fallback : calibrationFromFieldOfView(width, height, options.fieldOfViewDegrees);
            tracker = std::make_unique<MarkerTracker>(options.board, calibration);
            intrinsics = calibration.intrinsicsFor(width, height);
            trackerWidth = width;
            trackerHeight = height;
            smoother.reset();
        }
        if (reset) smoother.reset();
        MarkerObservation seen;
        {
            PixelBufferLock lock(*image, kCVPixelBufferLock_ReadOnly);
            seen = tracker->track(image->baseAddressOfPlane(0), width, height, image->bytesPerRowOfPlane(0));
        }
        out.intrinsics = intrinsics;
        out.found = seen.found;
        if (seen.found) {
            out.pose = smoother.filter(seen.cameraToWorld, out.sample.timestamp);
        } else {
            smoother.reset();  // a board seen again is taken as it is, not dragged from where it was lost
        }
        const double cost = millisecondsSince(start);
        {
            MutexLock lock(mutex);
            ++imagesTracked;
            trackingCost.add(cost);
            deliveryPending = true;
        }
        dispatch->main().async([weak = weak_from_this(), out = std::move(out)]() mutable {
            if (auto self = weak.lock()) self->deliver(std::move(out));
        });
    }
}

ARAnchorList LiveARSession::Impl::anchors() const {
    ARAnchorList all;
    all.reserve(userAnchors.size() + 1);
    if (plane) all.push_back(plane);
    all.insert(all.end(), userAnchors.begin(), userAnchors.end());
    return all;
}

void LiveARSession::Impl::deliver(TrackedImage image) {
    {
        MutexLock lock(mutex);
        deliveryPending = false;
        wake.notify_all();
    }
    if (!owner || !running || cameraLost) return;
    const auto start = Clock::now();
    long state = ARTrackingStateLimited, reason = ARTrackingStateReasonInitializing;
    if (image.found) {
        state = ARTrackingStateNormal;
        reason = ARTrackingStateReasonNone;
        lastPose = image.pose;
        everFound = true;
        ++withBoard;
    } else if (everFound) {
        reason = ARTrackingStateReasonInsufficientFeatures;
    }
    lastIntrinsics = image.intrinsics;
    lastSize = {static_cast<double>(image.sample.image->width()), static_cast<double>(image.sample.image->height())};

    ARAnchorList removed = std::move(pendingRemoved), added, updated;
    pendingRemoved.clear();
    if (image.found && !plane && (configuration.planeDetection & ARPlaneDetectionHorizontal)) {
        // The board is the floor the session knows: a plane at its centre
        // with the printed pattern's extent.
        const float3 extent{static_cast<float>(options.board.width()), 0, static_cast<float>(options.board.height())};
        plane = std::make_shared<ARPlaneAnchor>(sim::planeAnchorIdentifier("board"), float4x4::identity(),
                                                float3{0, 0, 0}, extent);
        added.push_back(plane);
    }
    for (const auto& a : userAnchors)
        if (!containsPointer(pendingAdded, a)) updated.push_back(a);
    added.insert(added.end(), pendingAdded.begin(), pendingAdded.end());
    pendingAdded.clear();

    auto camera = std::make_shared<sim::SimCamera>(lastPose, lastIntrinsics, lastSize, state, reason);
    auto frame = std::make_shared<sim::SimFrame>(image.sample.timestamp, camera, image.sample.image, anchors());
    current = frame;
    ++delivered;
    const std::pair<long, long> tracking{state, reason};
    const bool trackingChanged = !lastTracking || *lastTracking != tracking;
    lastTracking = tracking;

    // As SimARSession: every state change is made before the first callback.
    std::shared_ptr<ARSessionDelegate> d = delegate.lock();
    LiveARSession* session = owner;
    if (d) {
        if (trackingChanged) d->sessionCameraDidChangeTrackingState(*session, camera);
        if (!removed.empty()) d->sessionDidRemoveAnchors(*session, removed);
        if (!added.empty()) d->sessionDidAddAnchors(*session, added);
        if (!updated.empty()) d->sessionDidUpdateAnchors(*session, updated);
        d->sessionDidUpdateFrame(*session, frame);
    }
    deliveryCost.add(millisecondsSince(start));
    latency.add(millisecondsSince(image.arrival));
    if (owner && owner->onFrameDelivered) owner->onFrameDelivered();
}

void LiveARSession::Impl::startCamera() {
    if (cameraStarted) return;
    std::string error;
    Impl* self = this;
    const bool started = source && source->start([self](CameraSample s) { self->received(std::move(s)); },
                                                 [self](const std::string& reason) { self->lost(reason); }, error);
    if (started) {
        cameraStarted = true;
        cameraLost = false;
        return;
    }
    const std::string what = source ? source->description() : std::string("none");
    lost("camera " + what + " did not start: " + (source ? error : std::string("no camera")));
}

void LiveARSession::Impl::stopCamera() {
    if (!cameraStarted) return;
    source->stop();
    cameraStarted = false;
}

std::shared_ptr<LiveARSession> LiveARSession::create(std::unique_ptr<CameraSource> source, LiveSessionOptions options,
                                                     std::shared_ptr<Dispatch> dispatch) {
    auto impl = std::make_shared<Impl>(std::move(source), std::move(options), std::move(dispatch));
    // Until the first image says otherwise, the camera is the calibrated one
    // (or a 1280 x 720 one), so a camera that never starts still has a sound
    // projection.
    const int width = impl->options.calibration ? impl->options.calibration->width : 1280;
    const int height = impl->options.calibration ? impl->options.calibration->height : 720;
    const CameraCalibration assumed =
        impl->options.calibration.value_or(calibrationFromFieldOfView(width, height, impl->options.fieldOfViewDegrees));
    impl->lastIntrinsics = assumed.intrinsicsFor(width, height);
    impl->lastSize = {static_cast<double>(width), static_cast<double>(height)};
    std::shared_ptr<LiveARSession> session(new LiveARSession(impl));
    impl->owner = session.get();
    return session;
}

LiveARSession::LiveARSession(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

LiveARSession::~LiveARSession() {
    impl_->owner = nullptr;
    impl_->stopCamera();
    impl_->stopWorker();
}

void LiveARSession::setDelegate(std::weak_ptr<ARSessionDelegate> delegate) { impl_->delegate = std::move(delegate); }

void LiveARSession::runWithConfiguration(const ARWorldTrackingConfiguration& configuration, unsigned long options) {
    Impl& s = *impl_;
    s.configuration = configuration;
    if (options & ARSessionRunOptionRemoveExistingAnchors) {
        for (const auto& a : s.userAnchors)
            if (!containsPointer(s.pendingAdded, a)) s.pendingRemoved.push_back(a);
        s.userAnchors.clear();
        s.pendingAdded.clear();
    }
    if (options & ARSessionRunOptionResetTracking) {
        s.everFound = false;
        s.lastPose = float4x4::identity();
        if (s.plane) s.pendingRemoved.push_back(s.plane);
        s.plane = nullptr;
        MutexLock lock(s.mutex);
        s.resetSmoother = true;
    }
    if (!s.running && !s.options.calibration)
        logSystem("Live session: no camera calibration; intrinsics assumed from a " +
                  std::to_string(static_cast<int>(std::lround(s.options.fieldOfViewDegrees))) +
                  " degree horizontal field of view (tevra-calibrate makes a calibration file)");
    s.running = true;
    s.startWorker();
    s.startCamera();
}

void LiveARSession::pause() {
    impl_->running = false;
    impl_->stopCamera();
}

std::shared_ptr<ARFrame> LiveARSession::currentFrame() const { return impl_->current; }

void LiveARSession::addAnchor(const std::shared_ptr<ARAnchor>& anchor) {
    Impl& s = *impl_;
    if (!anchor) return;
    const std::string& id = anchor->identifier();
    auto same = [&](const std::shared_ptr<ARAnchor>& a) { return a->identifier() == id; };
    if (std::any_of(s.userAnchors.begin(), s.userAnchors.end(), same) || (s.plane && same(s.plane))) return;
    s.userAnchors.push_back(anchor);
    s.pendingAdded.push_back(anchor);
}

void LiveARSession::removeAnchor(const std::shared_ptr<ARAnchor>& anchor) {
    Impl& s = *impl_;
    if (!anchor) return;
    const std::string& id = anchor->identifier();
    auto it =
        std::find_if(s.userAnchors.begin(), s.userAnchors.end(), [&](const auto& a) { return a->identifier() == id; });
    if (it != s.userAnchors.end()) {
        std::shared_ptr<ARAnchor> stored = *it;
        s.userAnchors.erase(it);
        if (auto p = std::find(s.pendingAdded.begin(), s.pendingAdded.end(), stored); p != s.pendingAdded.end())
            s.pendingAdded.erase(p);  // never reported: nothing to report now
        else
            s.pendingRemoved.push_back(stored);
        return;
    }
    if (s.plane && s.plane->identifier() == id) {
        s.pendingRemoved.push_back(s.plane);
        s.plane = nullptr;
    }
}

LiveSessionStats LiveARSession::stats() const {
    const Impl& s = *impl_;
    LiveSessionStats out;
    out.framesDelivered = s.delivered;
    out.framesWithBoard = s.withBoard;
    out.latencyP50Ms = s.latency.percentile(0.5);
    out.latencyP95Ms = s.latency.percentile(0.95);
    out.deliveryP50Ms = s.deliveryCost.percentile(0.5);
    MutexLock lock(s.mutex);
    out.imagesReceived = s.imagesReceived;
    out.imagesTracked = s.imagesTracked;
    out.trackingP50Ms = s.trackingCost.percentile(0.5);
    return out;
}

std::shared_ptr<ARSession> LiveARSessionFactory::makeSession() {
    auto session = LiveARSession::create(makeSource_ ? makeSource_() : nullptr, options_, dispatch_);
    last_ = session;
    return session;
}

}  // namespace tevra::live
