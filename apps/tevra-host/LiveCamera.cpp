// The live camera module (LiveCamera.h): the live platform library behind
// the host's small interface.
#include "LiveCamera.h"

#include "platform/Platform.h"
#include "platform/live/GstCameraSource.h"

namespace tevra::host {
namespace {

class LiveCameraModule : public LiveCamera {
public:
    std::shared_ptr<ARSessionFactory> start(const LiveCameraOptions& options, std::shared_ptr<Dispatch> dispatch,
                                            std::string& description, std::string& error) override {
        live::LiveSessionOptions lo;
        std::optional<live::BoardSpec> board = live::parseBoardSpec(options.board, error);
        if (!board) return nullptr;
        lo.board = *board;
        if (!options.calibration.empty()) {
            lo.calibration = live::loadCameraCalibration(options.calibration, error);
            if (!lo.calibration) return nullptr;
        }
        // The text is checked now; the first session gets this source, a later
        // one (the controller made afresh) a new one. A file or image sequence
        // plays over and over, as a session does, unless loop is off.
        live::CameraSourceOptions sourceOptions;
        sourceOptions.loop = options.loop;
        auto first = std::make_shared<std::unique_ptr<CameraSource>>(
            live::makeCameraSource(options.camera, sourceOptions, error));
        if (!*first) return nullptr;
        const std::string text = options.camera;
        factory_ = std::make_shared<live::LiveARSessionFactory>(
            [first, text, sourceOptions]() -> std::unique_ptr<CameraSource> {
                if (*first) return std::move(*first);
                std::string ignored;
                return live::makeCameraSource(text, sourceOptions, ignored);
            },
            lo, std::move(dispatch));
        description =
            "live camera " + clippedForLog(options.camera, 256) + ", board " + lo.board.text() + ", " +
            (lo.calibration ? "calibration " + clippedForLog(options.calibration, 256) : std::string("no calibration"));
        return factory_;
    }

    std::shared_ptr<ARSession> lastSession() const override { return factory_ ? factory_->lastSession() : nullptr; }

    void setOnFrameDelivered(std::function<void()> handler) override {
        if (auto session = factory_ ? factory_->lastSession() : nullptr) session->onFrameDelivered = std::move(handler);
    }

    live::LiveSessionStats stats() const override {
        auto session = factory_ ? factory_->lastSession() : nullptr;
        return session ? session->stats() : live::LiveSessionStats{};
    }

private:
    std::shared_ptr<live::LiveARSessionFactory> factory_;
};

}  // namespace
}  // namespace tevra::host

extern "C" __attribute__((visibility("default"))) tevra::host::LiveCamera* tevraHostCreateLiveCamera() {
    try {
        return new tevra::host::LiveCameraModule();
    } catch (...) {
        return nullptr;
    }
}
