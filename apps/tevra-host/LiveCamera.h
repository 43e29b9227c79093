// The host's live camera (--camera) as a module of its own,
// libtevra-host-live.so beside the executable, loaded only when a camera is
// asked for: a host that plays recorded sessions never maps the tracker,
// OpenCV or the camera pipeline.
//
// In: the camera, board and calibration options. Out: the session factory
// the platform runs, its live sessions and their statistics.
// Fails: start() returns null with an error text; loadLiveCamera() returns
// null with the loader's reason when the module is missing or broken.
// Threads: main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/live/LiveARSession.h"

namespace tevra::host {

struct LiveCameraOptions {
    std::string camera;  // v4l2:/dev/video0 | file:PATH | file:DIR/%06d.png | test
    std::string board = "default";
    std::string calibration;  // empty: a 60 degree field of view
    bool loop = true;
};

// The host names no live type in a call (not even for a sanitizer's type
// check): the session is an ARSession, its statistics a plain struct.
class LiveCamera {
public:
    virtual ~LiveCamera() = default;
    // Checks the options, opens the camera and makes the factory the
    // platform's `ar` is set to. `description` names the camera, board and
    // calibration for the host's log.
    virtual std::shared_ptr<ARSessionFactory> start(const LiveCameraOptions& options,
                                                    std::shared_ptr<Dispatch> dispatch, std::string& description,
                                                    std::string& error) = 0;
    // The session the factory made last, if it lives.
    virtual std::shared_ptr<ARSession> lastSession() const = 0;
    // Called on the main thread after each frame the last session delivers.
    virtual void setOnFrameDelivered(std::function<void()> handler) = 0;
    // The last session's counters and latencies so far (zeros without one).
    virtual live::LiveSessionStats stats() const = 0;
};

// The module's file name and the function it exports:
//   extern "C" tevra::host::LiveCamera* tevraHostCreateLiveCamera();
// which returns a camera owned by the caller.
inline constexpr const char* kLiveCameraModule = "libtevra-host-live.so";
inline constexpr const char* kLiveCameraFactory = "tevraHostCreateLiveCamera";

// Loads the module from the directory of the running executable; the module
// stays loaded for the life of the process.
std::unique_ptr<LiveCamera> loadLiveCamera(std::string& error);

}  // namespace tevra::host
