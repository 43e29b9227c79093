#include "platform/linux/EvdevHaptics.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/fake/FakePlatform.h"

using namespace tevra;
using tevra::linux_platform::EvdevHaptics;

TEST(EvdevHaptics, WithoutAConfiguredDeviceEverythingIsSilent) {
    auto fake = fake::FakePlatform::install();
    unsetenv("TEVRA_HAPTIC_DEVICE");
    auto haptics = EvdevHaptics::fromEnvironment();
    EXPECT_FALSE(haptics->isAvailable());
    haptics->prepare(HapticGenerator::HeavyImpact);
    haptics->impact(2);
    haptics->notification(1);
    haptics->impact(99);
    EXPECT_TRUE(fake->log->systemLines().empty());
}

TEST(EvdevHaptics, ADeviceWithoutRumbleIsReportedOnceAndTurnsHapticsOff) {
    auto fake = fake::FakePlatform::install();
    for (const char* path : {"/dev/null", "/nonexistent/event99"}) {
        fake->log->clear();
        EvdevHaptics haptics(path);
        EXPECT_FALSE(haptics.isAvailable()) << path;
        haptics.prepare(HapticGenerator::Notification);
        haptics.notification(2);
        ASSERT_EQ(fake->log->systemLines().size(), 1u) << path;
        EXPECT_NE(fake->log->systemLines()[0].find(path), std::string::npos);
    }
}

TEST(EvdevHaptics, EffectTable) {
    // Heavier impacts and more serious notifications are stronger or longer.
    EXPECT_GT(EvdevHaptics::impactEffect(2).strong, EvdevHaptics::impactEffect(1).strong);
    EXPECT_GT(EvdevHaptics::notificationEffect(2).milliseconds, EvdevHaptics::notificationEffect(0).milliseconds);
    for (int s = 0; s < 5; ++s) EXPECT_GT(EvdevHaptics::impactEffect(s).milliseconds, 0) << s;
    EXPECT_EQ(EvdevHaptics::impactEffect(5).milliseconds, 0);
    EXPECT_EQ(EvdevHaptics::notificationEffect(-1).milliseconds, 0);
}
