/// @file
/// The Linux platform: builds the real services and installs them. This is
/// the one place that picks the Linux backends (the tests pick the fakes in
/// platform/fake/FakePlatform.cpp).
///
/// Threads: call install() on the main thread before GTK is used, once; the
/// main queue is the default GLib main context.
#pragma once

#include <memory>
#include <string>

#include "platform/Platform.h"

/// The Linux platform (GLib, GTK, WebKitGTK, OpenGL, libcurl, libzip, OpenCV)
/// and the bridge's GTK widget.
namespace tevra::linux_platform {

/// What the host chooses when it installs the Linux platform.
struct LinuxPlatformOptions {
    /// The application's pages; empty: "resources" beside the executable.
    std::string resourcesDirectory;
    /// Downloaded models; empty: $XDG_DATA_HOME/TevraARWebGL (or
    /// ~/.local/share/TevraARWebGL).
    std::string documentsDirectory;
    /// The session the controller runs (e.g. a simulated one); required.
    std::shared_ptr<ARSessionFactory> ar;
    /// The device's starting orientation (a desktop has no sensor).
    long initialOrientation = 1;
    /// The bounds on answers, downloads, archives, model files and page
    /// messages (platform/Limits.h); the services are built with them.
    Limits limits;
};

/// The directory of the running executable (the current directory when it
/// can't be read).
std::string executableDirectory();

/// Builds the Linux services and installs them as the process platform.
/// Returns the installed platform, whose services the host may still replace
/// before the first controller is created.
std::shared_ptr<Platform> installLinuxPlatform(const LinuxPlatformOptions& options);

}  // namespace tevra::linux_platform
