/// @file
/// The device: its physical orientation, orientation-change notifications and
/// machine identifier.
///
/// Orientation codes: 0 unknown, 1 portrait, 2 portrait upside down,
/// 3 landscape left, 4 landscape right, 5 face up, 6 face down.
/// Threads: orientation() may be read from any thread; notification set-up and
/// delivery happen on the main thread.
#pragma once

#include <functional>
#include <string>

namespace tevra {

/// The device's physical orientation codes.
enum DeviceOrientation : long {
    /// Not known.
    UIDeviceOrientationUnknown = 0,
    /// Upright.
    UIDeviceOrientationPortrait = 1,
    /// Upside down.
    UIDeviceOrientationPortraitUpsideDown = 2,
    /// Turned a quarter turn, landscape left.
    UIDeviceOrientationLandscapeLeft = 3,
    /// Turned a quarter turn, landscape right.
    UIDeviceOrientationLandscapeRight = 4,
    /// Lying flat, screen up.
    UIDeviceOrientationFaceUp = 5,
    /// Lying flat, screen down.
    UIDeviceOrientationFaceDown = 6,
};

/// The interface orientation codes. Device landscape left (3) is interface
/// landscape right (3): the numbers of the four upright orientations match.
enum InterfaceOrientation : long {
    /// Not known.
    UIInterfaceOrientationUnknown = 0,
    /// Upright.
    UIInterfaceOrientationPortrait = 1,
    /// Upside down.
    UIInterfaceOrientationPortraitUpsideDown = 2,
    /// Landscape right.
    UIInterfaceOrientationLandscapeRight = 3,
    /// Landscape left.
    UIInterfaceOrientationLandscapeLeft = 4,
};

/// The device: orientation, orientation notifications and machine identifier.
class Device {
public:
    virtual ~Device() = default;
    /// Current physical orientation code. Any thread.
    virtual long orientation() const = 0;
    /// True while orientation notifications are generated.
    virtual bool isGeneratingDeviceOrientationNotifications() const = 0;
    /// Starts generating orientation notifications (the Linux device counts
    /// begin and end calls: notifications run until every begin is ended).
    virtual void beginGeneratingDeviceOrientationNotifications() = 0;
    /// Stops generating orientation notifications (the Linux device ends one
    /// begin; an end without a begin does nothing).
    virtual void endGeneratingDeviceOrientationNotifications() = 0;
    /// Registers a main-thread observer of orientation changes; returns a token
    /// for removal. Observers are only told while notifications are generated.
    virtual int addOrientationObserver(std::function<void()> observer) = 0;
    /// Removes the observer registered under `token`.
    virtual void removeOrientationObserver(int token) = 0;
    /// The machine field of the uname record, e.g. "x86_64" or "iPhone10,3".
    virtual std::string machineIdentifier() const = 0;
};

}  // namespace tevra
