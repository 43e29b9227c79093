// Outside text in log lines: it can't start a line of its own, and long
// text is cut with its whole length said.
#include <gtest/gtest.h>

#include "platform/Log.h"

namespace tevra {
namespace {

TEST(LogText, ControlCharactersCannotForgeALineAndLongTextIsCutOnACharacter) {
    EXPECT_EQ(escapedForLog("victim\nModel ready: victim\r\t\x1b[2J\x7f"),
              "victim\\nModel ready: victim\\r\\t\\x1b[2J\\x7f");
    EXPECT_EQ(escapedForLog(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(escapedForLog("é \\ \"q\""), "é \\ \"q\"") << "UTF-8, backslashes and quotes stay";

    EXPECT_EQ(clippedForLog("short", 5), "short");
    EXPECT_EQ(clippedForLog("abcdef", 4), "abcd … (6 bytes)");
    // "é" is two bytes: a cut inside it backs up to its start.
    EXPECT_EQ(clippedForLog("aé\n", 2), "a … (4 bytes)");
}

}  // namespace
}  // namespace tevra
