#include "platform/live/Board.h"

#include <gtest/gtest.h>

using namespace tevra::live;

TEST(Board, TextsRoundTripAndBadTextsSayWhy) {
    std::string error;
    auto spec = parseBoardSpec("default", error);
    ASSERT_TRUE(spec) << error;
    EXPECT_EQ(spec->text(), "charuco:5x7:0.04:0.03:DICT_5X5_100");
    EXPECT_DOUBLE_EQ(spec->width(), 0.2);
    EXPECT_DOUBLE_EQ(spec->height(), 0.28);
    EXPECT_EQ(spec->dictionaryId, 5);
    for (const char* text :
         {"charuco:8x6:0.03:0.022:DICT_4X4_50", "marker:7:0.15", "marker:3:0.1:DICT_APRILTAG_36h11"}) {
        auto parsed = parseBoardSpec(text, error);
        ASSERT_TRUE(parsed) << text << ": " << error;
        auto again = parseBoardSpec(parsed->text(), error);
        ASSERT_TRUE(again) << error;
        EXPECT_EQ(again->text(), parsed->text());
    }
    EXPECT_EQ(parseBoardSpec("marker:7:0.15", error)->dictionaryId, 0);
    const std::pair<const char*, const char*> bad[] = {
        {"", "empty"},
        {"charuco:5x7:0.04", "needs"},
        {"charuco:1x7:0.04:0.03", "2 to 32"},
        {"charuco:5x7:0.04:0.05", "smaller"},
        {"charuco:5x7:nan:0.03", "metres"},
        {"charuco:5x7:0.04:0.03:DICT_9X9_1", "unknown dictionary"},
        {"charuco:20x20:0.04:0.03:DICT_4X4_50", "has 50 markers"},
        {"marker:50:0.1", "has 50 markers"},
        {"square:1", "starts with"},
    };
    for (const auto& [text, why] : bad) {
        error.clear();
        EXPECT_FALSE(parseBoardSpec(text, error)) << text;
        EXPECT_NE(error.find(why), std::string::npos) << text << ": " << error;
    }
}
