// The device on Linux. A desktop has no orientation sensor: the host
// application sets the orientation (setOrientation), for instance from its
// window's aspect or a command-line choice. The machine identifier is the
// machine field of uname (e.g. "x86_64").
//
// Notifications: begin/end calls nest (a count, as on a phone); observers are
// told of a change only while the count is above zero. A change made on any
// thread is delivered to the observers on the main queue of the given
// Dispatch, in the order the changes were made.
// Threads: orientation() and setOrientation() from any thread; observers are
// added, removed and called on the main thread.
#pragma once

#include <memory>

#include "platform/Device.h"
#include "platform/Dispatch.h"

namespace tevra::linux_platform {

class LinuxDevice : public Device {
public:
    explicit LinuxDevice(std::shared_ptr<Dispatch> dispatch, long initialOrientation = UIDeviceOrientationPortrait);
    ~LinuxDevice() override;

    long orientation() const override;
    bool isGeneratingDeviceOrientationNotifications() const override;
    void beginGeneratingDeviceOrientationNotifications() override;
    void endGeneratingDeviceOrientationNotifications() override;
    int addOrientationObserver(std::function<void()> observer) override;
    void removeOrientationObserver(int token) override;
    std::string machineIdentifier() const override;

    // Sets the orientation code (0...6). A change notifies the observers on
    // the main queue while notifications are generated. An unknown code is
    // logged and ignored.
    void setOrientation(long orientation);

private:
    struct State;
    std::shared_ptr<Dispatch> dispatch_;
    std::shared_ptr<State> state_;
};

}  // namespace tevra::linux_platform
