#include "feedback/HapticController.h"

#include <gtest/gtest.h>

#include "platform/fake/FakePlatform.h"

using namespace tevra;
using Calls = std::vector<std::string>;

namespace {

class HapticControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = fake::FakePlatform::install();
        controller = std::make_unique<HapticController>();
        fake->dispatch->mainQueue().drain();
        fake->haptics->clear();
        fake->log->clear();
    }
    // What one body plays once the main queue has run.
    Calls play(const nlohmann::json& body) {
        fake->haptics->clear();
        controller->performHaptics(body);
        fake->dispatch->mainQueue().drain();
        return fake->haptics->calls();
    }

    std::shared_ptr<fake::FakePlatform> fake;
    std::unique_ptr<HapticController> controller;
};

TEST(HapticControllerInit, PreparesAllSixGeneratorsInOrderOnTheMainQueue) {
    auto fake = fake::FakePlatform::install();
    HapticController controller;
    EXPECT_TRUE(fake->haptics->calls().empty()) << "preparing must wait for the main queue";
    EXPECT_EQ(fake->dispatch->mainQueue().pending(), 1u);
    fake->dispatch->mainQueue().drain();
    EXPECT_EQ(fake->haptics->calls(),
              (Calls{"prepare 0", "prepare 1", "prepare 2", "prepare 3", "prepare 4", "prepare 5"}));
    EXPECT_EQ(controller.lightImpactGenerator()->style(), 0);
    EXPECT_EQ(controller.rigidImpactGenerator()->style(), 4);
}

TEST_F(HapticControllerTest, EachEffectPlaysItsGeneratorThenPreparesIt) {
    EXPECT_EQ(play("vibration:light"), (Calls{"impact 0", "prepare 0"}));
    EXPECT_EQ(play("vibration:medium"), (Calls{"impact 1", "prepare 1"}));
    EXPECT_EQ(play("vibration:heavy"), (Calls{"impact 2", "prepare 2"}));
    EXPECT_EQ(play("vibration:soft"), (Calls{"impact 3", "prepare 3"}));
    EXPECT_EQ(play("vibration:rigid"), (Calls{"impact 4", "prepare 4"}));
    EXPECT_EQ(play("vibration:success"), (Calls{"notification 0", "prepare 5"}));
    EXPECT_EQ(play("vibration:warning"), (Calls{"notification 1", "prepare 5"}));
    EXPECT_EQ(play("vibration:error"), (Calls{"notification 2", "prepare 5"}));
    EXPECT_TRUE(fake->log->systemLines().empty());
}

TEST_F(HapticControllerTest, ItemsPlayInBodyOrderAndAllAreQueuedBeforeTheFirstPlays) {
    controller->performHaptics("vibration:light|vibration:error");
    EXPECT_TRUE(fake->haptics->calls().empty());
    EXPECT_EQ(fake->dispatch->mainQueue().pending(), 2u);
    fake->dispatch->mainQueue().drain();
    EXPECT_EQ(fake->haptics->calls(), (Calls{"impact 0", "prepare 0", "notification 2", "prepare 5"}));
}

TEST_F(HapticControllerTest, MalformedItemsAreSkippedSilentlyAndTheRestStillPlay) {
    EXPECT_EQ(play("vibration:light||foo:heavy|vibration|vibration:a:b|vibration:warning"),
              (Calls{"impact 0", "prepare 0", "notification 1", "prepare 5"}));
    for (const char* body : {"vibration:Light", "vibration: light", "vibration:light:x", "|",
                             "vibration:", " vibration:light", "vibration:light "}) {
        EXPECT_TRUE(play(body).empty()) << body;
    }
    EXPECT_TRUE(fake->log->systemLines().empty());
}

TEST_F(HapticControllerTest, EmptyBodyLogsTheParseFailure) {
    EXPECT_TRUE(play("").empty());
    EXPECT_EQ(fake->log->systemLines(), (Calls{"Failed to parse TevraARHaptic message!"}));
}

TEST_F(HapticControllerTest, NonTextBodiesAreIgnoredWithOneLogLineEach) {
    const std::vector<nlohmann::json> bodies = {42, nlohmann::json::array({"vibration:light"}),
                                                nlohmann::json{{"vibration", "light"}}, nullptr, true};
    for (const auto& body : bodies) {
        fake->log->clear();
        EXPECT_TRUE(play(body).empty()) << body.dump();
        ASSERT_EQ(fake->log->systemLines().size(), 1u) << body.dump();
        EXPECT_NE(fake->log->systemLines()[0].find("TevraARHaptic"), std::string::npos);
    }
}

TEST_F(HapticControllerTest, QueuedEffectsStillPlayAfterTheControllerIsGone) {
    controller->performHaptics("vibration:soft");
    controller.reset();
    fake->dispatch->mainQueue().drain();
    EXPECT_EQ(fake->haptics->calls(), (Calls{"impact 3", "prepare 3"}));
}

}  // namespace
