// The live camera module (LiveCamera.h): the live platform library behind
// the host's small interface.
#include "LiveCamera.h"

#include "platform/Platform.h"
#include "platform/live/GstCameraSource.h"

namespace tevra::host {
namespace {

class LiveCameraModule : public LiveCamera {
public:
    std::shared_ptr<live::LiveARSessionFactory> start(const LiveCameraOptions& options,
                                                      std::shared_ptr<Dispatch> dispatch, std::string& description,
                                                      std::string& error) override {
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
        auto factory = std::make_shared<live::LiveARSessionFactory>(
            [first, text, sourceOptions]() -> std::unique_ptr<CameraSource> {
                if (*first) return std::move(*first);
                std::string ignored;
                return live::makeCameraSource(text, sourceOptions, ignored);
            },
            lo, std::move(dispatch));
        description =
            "live camera " + clippedForLog(options.camera, 256) + ", board " + lo.board.text() + ", " +
            (lo.calibration ? "calibration " + clippedForLog(options.calibration, 256) : std::string("no calibration"));
        return factory;
    }

    live::LiveSessionStats stats(const live::LiveARSession& session) const override { return session.stats(); }
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
