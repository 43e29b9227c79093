// The device: its physical orientation, orientation-change notifications and
// machine identifier.
//
// Orientation codes: 0 unknown, 1 portrait, 2 portrait upside down,
// 3 landscape left, 4 landscape right, 5 face up, 6 face down.
// Threads: orientation() may be read from any thread; notification set-up and
// delivery happen on the main thread.
#pragma once

#include <functional>
#include <string>

namespace tevra {

enum DeviceOrientation : long {
    UIDeviceOrientationUnknown = 0,
    UIDeviceOrientationPortrait = 1,
    UIDeviceOrientationPortraitUpsideDown = 2,
    UIDeviceOrientationLandscapeLeft = 3,
    UIDeviceOrientationLandscapeRight = 4,
    UIDeviceOrientationFaceUp = 5,
    UIDeviceOrientationFaceDown = 6,
};

enum InterfaceOrientation : long {
    UIInterfaceOrientationUnknown = 0,
    UIInterfaceOrientationPortrait = 1,
    UIInterfaceOrientationPortraitUpsideDown = 2,
    UIInterfaceOrientationLandscapeRight = 3,
    UIInterfaceOrientationLandscapeLeft = 4,
};

class Device {
public:
    virtual ~Device() = default;
    // Current physical orientation code. Any thread.
    virtual long orientation() const = 0;
    virtual bool isGeneratingDeviceOrientationNotifications() const = 0;
    virtual void beginGeneratingDeviceOrientationNotifications() = 0;
    virtual void endGeneratingDeviceOrientationNotifications() = 0;
    // Registers a main-thread observer of orientation changes; returns a token
    // for removal. Observers are only told while notifications are generated.
    virtual int addOrientationObserver(std::function<void()> observer) = 0;
    virtual void removeOrientationObserver(int token) = 0;
    // The machine field of the uname record, e.g. "x86_64" or "iPhone10,3".
    virtual std::string machineIdentifier() const = 0;
};

}  // namespace tevra
