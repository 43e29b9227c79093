#include "platform/sim/SessionRecorder.h"

#include <cmath>

#include "platform/Log.h"

namespace tevra::sim {

namespace {

CameraIntrinsics intrinsicsOf(const ARCamera& camera) {
    const float3x3 k = camera.intrinsics();
    return {k.m(0, 0), k.m(1, 1), k.m(2, 0), k.m(2, 1)};
}

}  // namespace

std::shared_ptr<RecordingARSession> RecordingARSession::create(std::shared_ptr<ARSession> inner, std::string directory,
                                                               SessionRecorderOptions options) {
    std::shared_ptr<RecordingARSession> session(
        new RecordingARSession(std::move(inner), std::move(directory), options));
    session->self_ = session;
    return session;
}

RecordingARSession::RecordingARSession(std::shared_ptr<ARSession> inner, std::string directory,
                                       SessionRecorderOptions options)
    : inner_(std::move(inner)), directory_(std::move(directory)), options_(options) {
    options_.maxQueuedFrames = std::max<size_t>(1, options_.maxQueuedFrames);
    writerThread_ = std::thread([this] { writerLoop(); });
}

RecordingARSession::~RecordingARSession() {
    std::string error;
    if (!finish(error)) logSystem("Session recorder: " + error);
}

void RecordingARSession::setDelegate(std::weak_ptr<ARSessionDelegate> delegate) {
    delegate_ = std::move(delegate);
    // The inner session reports to the recorder, held weakly as any delegate.
    inner_->setDelegate(std::weak_ptr<ARSessionDelegate>(self_));
}

void RecordingARSession::runWithConfiguration(const ARWorldTrackingConfiguration& configuration,
                                              unsigned long options) {
    inner_->runWithConfiguration(configuration, options);
}

void RecordingARSession::pause() { inner_->pause(); }

std::shared_ptr<ARFrame> RecordingARSession::currentFrame() const { return inner_->currentFrame(); }

void RecordingARSession::addAnchor(const std::shared_ptr<ARAnchor>& anchor) { inner_->addAnchor(anchor); }

void RecordingARSession::removeAnchor(const std::shared_ptr<ARAnchor>& anchor) { inner_->removeAnchor(anchor); }

void RecordingARSession::note(const ARAnchorList& anchors, PlaneChangeKind kind) {
    for (const auto& a : anchors) {
        if (!a) continue;
        PlaneChange c;
        c.kind = kind;
        c.id = a->identifier();
        c.transform = a->transform();
        if (a->isPlaneAnchor()) {
            const auto& plane = static_cast<const ARPlaneAnchor&>(*a);
            c.center = plane.center();
            c.extent = plane.extent();
            changes_.planeChanges.push_back(std::move(c));
        } else {
            changes_.anchorChanges.push_back(std::move(c));
        }
    }
}

void RecordingARSession::sessionDidUpdateFrame(ARSession&, const std::shared_ptr<ARFrame>& frame) {
    if (frame && !finished_) {
        const std::shared_ptr<ARCamera> camera = frame->camera();
        Pending p;
        p.record = std::move(changes_);
        changes_ = {};
        p.record.timestamp = frame->timestamp();
        if (camera) {
            p.record.transform = camera->transform();
            p.record.intrinsics = intrinsicsOf(*camera);
            p.record.trackingState = camera->trackingState();
            p.record.trackingStateReason = camera->trackingStateReason();
        }
        if (options_.images) p.image = frame->capturedImage();
        MutexLock lock(mutex_);
        if (!writer_ && camera) {
            const Size size = camera->imageResolution();
            writer_ = std::make_unique<SessionWriter>(directory_, static_cast<int>(std::lround(size.width)),
                                                      static_cast<int>(std::lround(size.height)), p.record.intrinsics,
                                                      options_.jpegQuality);
        }
        if (writer_) {
            size_t waiting = 0;
            for (const Pending& q : queue_) waiting += q.image ? 1 : 0;
            if (p.image && waiting >= options_.maxQueuedFrames) {
                p.image = nullptr;
                if (!droppingImages_)
                    logSystem("Session recorder: the writer is behind; frame " + std::to_string(frames_) +
                              " and the next ones are recorded without their images until it catches up");
                droppingImages_ = true;
            } else if (p.image) {
                droppingImages_ = false;
            }
            queue_.push_back(std::move(p));
            ++frames_;
            wake_.notify_one();
        }
    }
    if (auto d = delegate_.lock()) d->sessionDidUpdateFrame(*this, frame);
}

void RecordingARSession::sessionDidAddAnchors(ARSession&, const ARAnchorList& anchors) {
    note(anchors, PlaneChangeKind::Add);
    if (auto d = delegate_.lock()) d->sessionDidAddAnchors(*this, anchors);
}

void RecordingARSession::sessionDidUpdateAnchors(ARSession&, const ARAnchorList& anchors) {
    note(anchors, PlaneChangeKind::Update);
    if (auto d = delegate_.lock()) d->sessionDidUpdateAnchors(*this, anchors);
}

void RecordingARSession::sessionDidRemoveAnchors(ARSession&, const ARAnchorList& anchors) {
    note(anchors, PlaneChangeKind::Remove);
    if (auto d = delegate_.lock()) d->sessionDidRemoveAnchors(*this, anchors);
}

void RecordingARSession::sessionCameraDidChangeTrackingState(ARSession&, const std::shared_ptr<ARCamera>& camera) {
    if (auto d = delegate_.lock()) d->sessionCameraDidChangeTrackingState(*this, camera);
}

void RecordingARSession::sessionDidFailWithError(ARSession&, const Error& error) {
    if (auto d = delegate_.lock()) d->sessionDidFailWithError(*this, error);
}

void RecordingARSession::sessionWasInterrupted(ARSession&) {
    if (auto d = delegate_.lock()) d->sessionWasInterrupted(*this);
}

void RecordingARSession::sessionInterruptionEnded(ARSession&) {
    if (auto d = delegate_.lock()) d->sessionInterruptionEnded(*this);
}

void RecordingARSession::writerLoop() {
    for (;;) {
        Pending p;
        SessionWriter* writer = nullptr;
        bool failed = false;
        {
            MutexLock lock(mutex_);
            while (queue_.empty() && !closing_) wake_.wait(mutex_);
            if (queue_.empty()) return;
            p = std::move(queue_.front());
            queue_.pop_front();
            writer = writer_.get();
            failed = writeFailed_;
        }
        // Only this thread adds frames; finish() writes session.json after
        // it has ended. A frame without an image cannot fail.
        std::string error;
        const PixelBuffer* image = failed ? nullptr : p.image.get();
        if (!writer->addFrame(p.record, image, error)) {
            logSystem("Session recorder: " + error + "; no more images are written");
            std::string ignored;
            writer->addFrame(p.record, nullptr, ignored);
            MutexLock lock(mutex_);
            writeFailed_ = true;
        }
    }
}

bool RecordingARSession::finish(std::string& error) {
    if (finished_) {
        error = finishError_;
        return *finished_;
    }
    {
        MutexLock lock(mutex_);
        closing_ = true;
        wake_.notify_all();
    }
    if (writerThread_.joinable()) writerThread_.join();
    bool ok = true;
    MutexLock lock(mutex_);
    if (!writer_) {
        finishError_ = directory_ + ": nothing was recorded";
        ok = false;
    } else {
        ok = writer_->finish(finishError_);
    }
    finished_ = ok;
    error = finishError_;
    return ok;
}

std::shared_ptr<ARSession> RecordingSessionFactory::makeSession() {
    auto session = RecordingARSession::create(inner_->makeSession(), directory_, options_);
    last_ = session;
    return session;
}

}  // namespace tevra::sim
