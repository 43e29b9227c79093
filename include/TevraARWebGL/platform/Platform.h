/// @file
/// The set of platform services the library runs on. One composition file per
/// backend builds it (platform/linux/LinuxPlatform.cpp for the apps,
/// platform/fake/FakePlatform.cpp for the tests); everything else reaches the
/// services through the installed Platform.
///
/// Threads: install() happens once at start-up, before any controller exists;
/// the services themselves state their own threading.
#pragma once

#include <memory>
#include <string>

#include "platform/ARSession.h"
#include "platform/Accessibility.h"
#include "platform/Animator.h"
#include "platform/Archive.h"
#include "platform/Device.h"
#include "platform/Dispatch.h"
#include "platform/Haptics.h"
#include "platform/HttpClient.h"
#include "platform/Limits.h"
#include "platform/Log.h"
#include "platform/MediaClock.h"
#include "platform/ModelRuntime.h"
#include "platform/UUIDSource.h"
#include "platform/UserDefaults.h"
#include "platform/View.h"

namespace tevra {

/// Creates the AR session the controller runs.
class ARSessionFactory {
public:
    virtual ~ARSessionFactory() = default;
    /// A new session; the controller makes one when it is set up.
    virtual std::shared_ptr<ARSession> makeSession() = 0;
};

/// The platform services the library runs on.
struct Platform {
    /// The main queue, the background queue and timers.
    std::shared_ptr<Dispatch> dispatch;
    /// The system log and standard output.
    std::shared_ptr<Log> log;
    /// The media clock that paces camera frames.
    std::shared_ptr<MediaClock> clock;
    /// Orientation, its notifications and the machine identifier.
    std::shared_ptr<Device> device;
    /// The user-defaults store (the remembered page URL).
    std::shared_ptr<UserDefaults> defaults;
    /// Makes the camera view, the page view and the chrome's controls.
    std::shared_ptr<ViewFactory> views;
    /// Makes the AR session.
    std::shared_ptr<ARSessionFactory> ar;
    /// VPS requests and model downloads.
    std::shared_ptr<HttpClient> http;
    /// Haptic output.
    std::shared_ptr<HapticOutput> haptics;
    /// Compiles and runs the detection models.
    std::shared_ptr<ModelRuntime> models;
    /// Anchor identifiers.
    std::shared_ptr<UUIDSource> uuids;
    /// Unpacks model archives.
    std::shared_ptr<Archive> archive;
    /// Runs the chrome's view animations; null ends them at once.
    std::shared_ptr<Animator> animator;
    /// Posts the chrome's notices to assistive technology; null posts none.
    std::shared_ptr<Accessibility> accessibility;
    /// The application's resources (pages, scripts, bundled models).
    std::string resourcesDirectory;
    /// The per-user documents directory (downloaded models); empty if unknown.
    std::string documentsDirectory;
    /// The bounds on everything from outside (platform/Limits.h).
    Limits limits;
};

/// The installed platform. Aborts with a clear message if none was installed.
/// For use during a call: whatever keeps a service past it holds the service's
/// shared_ptr (or installedPlatform()), since installing another platform
/// releases this one.
Platform& platform();
/// True once a platform is installed. Any thread.
bool hasPlatform();
/// The installed platform as a shared holder; null if none was installed. Any thread.
std::shared_ptr<Platform> installedPlatform();
/// Installs the platform for the process, replacing and releasing an earlier one.
/// The platform installed at exit is released by an exit handler, before the
/// program's shared libraries are finalized.
void installPlatform(std::shared_ptr<Platform> p);

}  // namespace tevra
