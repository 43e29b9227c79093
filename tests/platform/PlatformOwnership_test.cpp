// Installing a platform releases the one before; whatever still uses one of
// its services holds it.
#include <gtest/gtest.h>

#include "platform/Dispatch.h"
#include "platform/Platform.h"
#include "platform/fake/FakePlatform.h"

namespace tevra {
namespace {

TEST(PlatformOwnership, AReplacedPlatformGoesUnlessSomethingStillHoldsItsServices) {
    std::weak_ptr<Platform> first;
    std::weak_ptr<Dispatch> firstDispatch;
    auto group = DispatchGroup::create();
    bool notified = false;
    {
        auto fake = fake::FakePlatform::install();
        first = fake->platform;
        firstDispatch = fake->dispatch;
        group->enter();
        group->notify(sharedMainQueue(platform().dispatch), [&notified] { notified = true; });
    }
    EXPECT_EQ(installedPlatform(), first.lock()) << "the installed platform stays while installed";

    auto second = fake::FakePlatform::install();
    EXPECT_TRUE(first.expired()) << "the replaced platform was kept";
    // The group's pending notification holds the first platform's dispatch.
    auto dispatch = std::static_pointer_cast<fake::FakeDispatch>(firstDispatch.lock());
    ASSERT_TRUE(dispatch);
    group->leave();
    dispatch->drainAll();
    EXPECT_TRUE(notified);
    EXPECT_EQ(second->dispatch->drainAll(), 0u) << "the notification went to the second platform's queue";
    // Once it has run, the group no longer holds the queue.
    dispatch.reset();
    EXPECT_TRUE(firstDispatch.expired());
}

}  // namespace
}  // namespace tevra
