#include "platform/sim/SimARSession.h"

#include <algorithm>

#include "platform/Log.h"

namespace tevra::sim {

namespace {

bool containsPointer(const ARAnchorList& list, const std::shared_ptr<ARAnchor>& a) {
    return std::find(list.begin(), list.end(), a) != list.end();
}

ARAnchorList::iterator findById(ARAnchorList& list, const std::string& id) {
    return std::find_if(list.begin(), list.end(), [&](const auto& a) { return a->identifier() == id; });
}

}  // namespace

SimARSession::SimARSession(std::shared_ptr<const SessionRecording> recording) : recording_(std::move(recording)) {}

void SimARSession::runWithConfiguration(const ARWorldTrackingConfiguration& configuration, unsigned long options) {
    configuration_ = configuration;
    if (options & ARSessionRunOptionRemoveExistingAnchors) {
        dropPlanes();
        for (const auto& a : userAnchors_)
            if (!containsPointer(pendingAdded_, a)) pendingRemoved_.push_back(a);
        userAnchors_.clear();
        pendingAdded_.clear();
    }
    if (!started_) {
        started_ = true;
        index_ = 0;
    } else if (options & ARSessionRunOptionResetTracking) {
        restartRecording();
    }
    running_ = true;
}

void SimARSession::pause() { running_ = false; }

void SimARSession::addAnchor(const std::shared_ptr<ARAnchor>& anchor) {
    if (!anchor) return;
    const std::string& id = anchor->identifier();
    if (findById(userAnchors_, id) != userAnchors_.end()) return;
    for (const auto& p : planes_)
        if (p.second->identifier() == id) return;
    for (const auto& r : recordedAnchors_)
        if (r.second->identifier() == id) return;
    userAnchors_.push_back(anchor);
    pendingAdded_.push_back(anchor);
}

void SimARSession::removeAnchor(const std::shared_ptr<ARAnchor>& anchor) {
    if (!anchor) return;
    const std::string& id = anchor->identifier();
    if (auto it = findById(userAnchors_, id); it != userAnchors_.end()) {
        std::shared_ptr<ARAnchor> stored = *it;
        userAnchors_.erase(it);
        if (auto p = findById(pendingAdded_, id); p != pendingAdded_.end()) {
            pendingAdded_.erase(p);  // never reported: nothing to report now
        } else {
            pendingRemoved_.push_back(stored);
        }
        return;
    }
    auto plane =
        std::find_if(planes_.begin(), planes_.end(), [&](const auto& p) { return p.second->identifier() == id; });
    if (plane != planes_.end()) {
        pendingRemoved_.push_back(plane->second);
        planes_.erase(plane);
        return;
    }
    auto recorded = std::find_if(recordedAnchors_.begin(), recordedAnchors_.end(),
                                 [&](const auto& r) { return r.second->identifier() == id; });
    if (recorded != recordedAnchors_.end()) {
        pendingRemoved_.push_back(recorded->second);
        recordedAnchors_.erase(recorded);
    }
}

void SimARSession::dropPlanes() {
    for (const auto& p : planes_) pendingRemoved_.push_back(p.second);
    planes_.clear();
    for (const auto& a : recordedAnchors_) pendingRemoved_.push_back(a.second);
    recordedAnchors_.clear();
}

void SimARSession::restartRecording() {
    // A new origin: the planes found so far are gone, the recording starts
    // over, and time keeps running forward.
    dropPlanes();
    const auto& frames = recording_->frames();
    if (lastTimestamp_ && !frames.empty())
        timeOffset_ = *lastTimestamp_ + recording_->frameInterval() - frames.front().timestamp;
    index_ = 0;
}

bool SimARSession::isFinished() const { return started_ && !loops_ && index_ >= recording_->frames().size(); }

double SimARSession::timeUntilNextFrame() const {
    const auto& frames = recording_->frames();
    if (!lastTimestamp_) return 0;
    if (index_ == 0 || index_ >= frames.size()) return recording_->frameInterval();
    return frames[index_].timestamp - frames[index_ - 1].timestamp;
}

ARAnchorList SimARSession::anchors() const {
    ARAnchorList all;
    all.reserve(planes_.size() + recordedAnchors_.size() + userAnchors_.size());
    for (const auto& p : planes_) all.push_back(p.second);
    for (const auto& r : recordedAnchors_) all.push_back(r.second);
    all.insert(all.end(), userAnchors_.begin(), userAnchors_.end());
    return all;
}

bool SimARSession::step() {
    if (!running_) return false;
    const auto& frames = recording_->frames();
    if (frames.empty()) return false;
    if (index_ >= frames.size()) {
        if (!loops_) return false;
        restartRecording();
    }
    const size_t i = index_++;
    const RecordedFrame& rf = frames[i];

    // Reports of this step: planes first (in recording order), then the
    // caller's anchors.
    ARAnchorList removed, added, updated;
    if (configuration_.planeDetection & ARPlaneDetectionHorizontal) {
        for (const PlaneChange& c : rf.planeChanges) {
            auto it = std::find_if(planes_.begin(), planes_.end(), [&](const auto& p) { return p.first == c.id; });
            switch (c.kind) {
                case PlaneChangeKind::Add: {
                    if (it != planes_.end()) break;
                    auto a =
                        std::make_shared<ARPlaneAnchor>(planeAnchorIdentifier(c.id), c.transform, c.center, c.extent);
                    planes_.emplace_back(c.id, a);
                    added.push_back(a);
                    break;
                }
                case PlaneChangeKind::Update: {
                    if (it == planes_.end()) break;  // removed by the caller, or detection was off
                    // A new snapshot, as a real session hands out: frames
                    // already delivered keep the old one.
                    auto a = std::make_shared<ARPlaneAnchor>(it->second->identifier(), c.transform, c.center, c.extent);
                    it->second = a;
                    updated.push_back(a);
                    break;
                }
                case PlaneChangeKind::Remove:
                    if (it == planes_.end()) break;
                    removed.push_back(it->second);
                    planes_.erase(it);
                    break;
            }
        }
    }
    for (const PlaneChange& c : rf.anchorChanges) {
        auto it = std::find_if(recordedAnchors_.begin(), recordedAnchors_.end(),
                               [&](const auto& r) { return r.first == c.id; });
        switch (c.kind) {
            case PlaneChangeKind::Add:
                if (it != recordedAnchors_.end()) break;
                recordedAnchors_.emplace_back(c.id,
                                              std::make_shared<ARAnchor>(planeAnchorIdentifier(c.id), c.transform));
                added.push_back(recordedAnchors_.back().second);
                break;
            case PlaneChangeKind::Update:
                if (it == recordedAnchors_.end()) break;  // removed by the caller
                it->second = std::make_shared<ARAnchor>(it->second->identifier(), c.transform);
                updated.push_back(it->second);
                break;
            case PlaneChangeKind::Remove:
                if (it == recordedAnchors_.end()) break;
                removed.push_back(it->second);
                recordedAnchors_.erase(it);
                break;
        }
    }
    // Earlier removals (reset, removeAnchor) come before this frame's.
    removed.insert(removed.begin(), pendingRemoved_.begin(), pendingRemoved_.end());
    // The caller's anchors reported as added earlier are reported as updated.
    for (const auto& a : userAnchors_)
        if (!containsPointer(pendingAdded_, a)) updated.push_back(a);
    added.insert(added.end(), pendingAdded_.begin(), pendingAdded_.end());
    pendingRemoved_.clear();
    pendingAdded_.clear();

    std::string error;
    PixelBufferRef image = recording_->imageForFrame(i, error);
    if (!image && !error.empty())
        logSystem("Simulated session: frame " + std::to_string(i) + " image unavailable: " + error);

    auto camera = std::make_shared<SimCamera>(rf.transform, rf.intrinsics, recording_->imageSize(), rf.trackingState,
                                              rf.trackingStateReason);
    const double timestamp = rf.timestamp + timeOffset_;
    auto frame = std::make_shared<SimFrame>(timestamp, camera, std::move(image), anchors());
    current_ = frame;
    lastTimestamp_ = timestamp;
    const std::pair<long, long> tracking{rf.trackingState, rf.trackingStateReason};
    const bool trackingChanged = !lastTracking_ || *lastTracking_ != tracking;
    lastTracking_ = tracking;

    // Every state change is made before the first callback, so a delegate
    // that runs, pauses or adds anchors from inside a callback sees a
    // consistent session; this frame's reports are delivered in full.
    std::shared_ptr<ARSessionDelegate> delegate = delegate_.lock();
    if (!delegate) return true;
    if (trackingChanged) delegate->sessionCameraDidChangeTrackingState(*this, camera);
    if (!removed.empty()) delegate->sessionDidRemoveAnchors(*this, removed);
    if (!added.empty()) delegate->sessionDidAddAnchors(*this, added);
    if (!updated.empty()) delegate->sessionDidUpdateAnchors(*this, updated);
    delegate->sessionDidUpdateFrame(*this, frame);
    return true;
}

std::shared_ptr<ARSession> SimARSessionFactory::makeSession() {
    auto session = std::make_shared<SimARSession>(recording_);
    last_ = session;
    return session;
}

}  // namespace tevra::sim
