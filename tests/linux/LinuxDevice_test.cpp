#include "platform/linux/LinuxDevice.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include "platform/fake/FakePlatform.h"

using tevra::linux_platform::LinuxDevice;

TEST(LinuxDevice, OrientationChangesReachObserversOnTheMainQueueOnlyWhileGenerating) {
    auto fake = tevra::fake::FakePlatform::install();
    LinuxDevice device(fake->dispatch);
    EXPECT_EQ(device.orientation(), 1);
    int told = 0, removedTold = 0;
    device.addOrientationObserver([&] { ++told; });
    int removed = device.addOrientationObserver([&] { ++removedTold; });
    device.removeOrientationObserver(removed);

    device.setOrientation(3);  // not generating: stored, nobody told
    EXPECT_EQ(device.orientation(), 3);
    fake->dispatch->drainAll();
    EXPECT_EQ(told, 0);

    device.beginGeneratingDeviceOrientationNotifications();
    device.beginGeneratingDeviceOrientationNotifications();
    device.endGeneratingDeviceOrientationNotifications();  // nested: still generating
    EXPECT_TRUE(device.isGeneratingDeviceOrientationNotifications());
    device.setOrientation(4);
    EXPECT_EQ(told, 0);        // delivered on the main queue, not inline
    device.setOrientation(4);  // no change, no notification
    fake->dispatch->drainAll();
    EXPECT_EQ(told, 1);
    EXPECT_EQ(removedTold, 0);

    device.setOrientation(42);  // unknown code: logged, ignored
    EXPECT_EQ(device.orientation(), 4);
    EXPECT_EQ(fake->log->systemLines().size(), 1u);

    device.endGeneratingDeviceOrientationNotifications();
    EXPECT_FALSE(device.isGeneratingDeviceOrientationNotifications());
    device.setOrientation(1);
    fake->dispatch->drainAll();
    EXPECT_EQ(told, 1);
}

TEST(LinuxDevice, MachineIdentifierIsUnamesMachineField) {
    auto fake = tevra::fake::FakePlatform::install();
    struct utsname u {};
    ASSERT_EQ(uname(&u), 0);
    EXPECT_EQ(LinuxDevice(fake->dispatch).machineIdentifier(), std::string(u.machine));
}
