#include "base/TextUtils.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace tevra;

TEST(TextUtils, SplitKeepsEmptyPieces) {
    EXPECT_EQ(splitString("a||b", "|"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(splitString("", "|"), (std::vector<std::string>{""}));
    EXPECT_EQ(splitString("|", "|"), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(splitString("abc", ":"), (std::vector<std::string>{"abc"}));
    EXPECT_EQ(splitString("a:b:", ":"), (std::vector<std::string>{"a", "b", ""}));
}

TEST(TextUtils, IntegersTakeTheLeadingNumberAndSaturate) {
    EXPECT_EQ(readInt32("42"), 42);
    EXPECT_EQ(readInt32("  \t-7x"), -7);
    EXPECT_EQ(readInt32("+5"), 5);
    EXPECT_EQ(readInt32("true"), 0);
    EXPECT_EQ(readInt32(""), 0);
    EXPECT_EQ(readInt32("-"), 0);
    EXPECT_EQ(readInt32("1.9"), 1);
    EXPECT_EQ(readInt32("2147483647"), 2147483647);
    EXPECT_EQ(readInt32("2147483648"), 2147483647);
    EXPECT_EQ(readInt32("99999999999999999999999"), 2147483647);
    EXPECT_EQ(readInt32("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(readInt32("-99999999999999999999999"), -2147483647 - 1);
}

TEST(TextUtils, RealsTakeTheLongestDecimalPrefix) {
    EXPECT_FLOAT_EQ(readFloat("0.5"), 0.5f);
    EXPECT_FLOAT_EQ(readFloat("  1.5e2px"), 150.0f);
    EXPECT_FLOAT_EQ(readFloat(".25"), 0.25f);
    EXPECT_FLOAT_EQ(readFloat("-3."), -3.0f);
    EXPECT_FLOAT_EQ(readFloat("1e"), 1.0f);
    EXPECT_FLOAT_EQ(readFloat("1e+"), 1.0f);
    EXPECT_FLOAT_EQ(readFloat("2E-1"), 0.2f);
    EXPECT_FLOAT_EQ(readFloat("abc"), 0.0f);
    EXPECT_FLOAT_EQ(readFloat("."), 0.0f);
    EXPECT_FLOAT_EQ(readFloat("inf"), 0.0f);
    EXPECT_FLOAT_EQ(readFloat("nan"), 0.0f);
    EXPECT_TRUE(std::isinf(readFloat("1e999")));
    EXPECT_EQ(readFloat("1e-999"), 0.0f);
    EXPECT_FLOAT_EQ(readFloat("0.1"), 0.1f);  // rounded once, from the decimal text
    // Rounded once: through a double this would round down twice to 16777216.
    EXPECT_EQ(readFloat("16777217.000000001"), 16777218.0f);
    EXPECT_EQ(readFloat("1e-45"), 1e-45f);  // the smallest subnormal, not zero
    // Out of range without an exponent: the magnitude decides, not the text's shape.
    EXPECT_EQ(readFloat("0." + std::string(60, '0') + "1"), 0.0f);
    EXPECT_TRUE(std::isinf(readFloat(std::string(50, '9'))));
    EXPECT_TRUE(std::isinf(readFloat("3.4028236e38")));
    EXPECT_TRUE(std::signbit(readFloat("-1e-999")));
    EXPECT_EQ(readFloat("-1e39"), -INFINITY);
}

TEST(TextUtils, JSONNumberLiterals) {
    for (const char* yes : {"0", "7", "-12", "3.25", "1e5", "-0.5E-3"}) EXPECT_TRUE(isJSONNumberLiteral(yes)) << yes;
    for (const char* no : {"", "-", "01", "1.", ".5", "+1", "1e", "abc", "7 ", "NaN", "Infinity", "0x10", "1});"})
        EXPECT_FALSE(isJSONNumberLiteral(no)) << no;
}
