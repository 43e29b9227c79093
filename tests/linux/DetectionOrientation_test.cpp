// The floor read from the committed models is the same whichever way the
// phone is held: tevra-synth's accuracy run turns each generated upright
// view into the frame the camera delivers in that orientation and reads it
// with the rotation code the detection manager gives for it.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include "linux/support/Sanitizers.h"

namespace {

struct Tally {
    int views = -1, correct = -1, wrong = -1, none = -1;
};

// Runs `tevra-synth eval` once (bounded in time) on the committed model
// packages, every view read in each orientation; the tallies by orientation.
std::map<long, Tally> evaluate(const std::string& orientations, int views, std::string& output, int& status) {
    // The generator is a separate program; in sanitizer builds its one-time
    // library allocations at exit are not this test's concern.
    const std::string cmd = "ASAN_OPTIONS=detect_leaks=0 timeout 240 " + std::string(TEVRA_SYNTH_BINARY) +
                            " eval --models " + std::string(TEVRA_SOURCE_DIR) + "/models --count " +
                            std::to_string(views) + " --empty 0 --orientation " + orientations + " 2>&1";
    std::map<long, Tally> out;
    status = -1;
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0 && output.size() < (1u << 20)) output.append(buffer, n);
    status = ::pclose(pipe);
    // "orientation 3 (rotation code 0)" then "sign views: 20, correct 18 (90.0%), ..."
    for (size_t at = output.find("orientation "); at != std::string::npos; at = output.find("orientation ", at + 1)) {
        if (at > 0 && output[at - 1] != '\n') continue;
        long o = -1;
        Tally t;
        if (std::sscanf(output.c_str() + at,
                        "orientation %ld (rotation code %*d)\nsign views: %d, correct %d (%*f%%), "
                        "wrong %d (%*f%%), none %d",
                        &o, &t.views, &t.correct, &t.wrong, &t.none) == 5)
            out[o] = t;
    }
    return out;
}

}  // namespace

TEST(DetectionOrientation, EveryWayTheDeviceIsHeldReadsLikePortrait) {
    if (TEVRA_TEST_ASAN || TEVRA_TEST_TSAN)
        GTEST_SKIP() << "an accuracy run over hundreds of rendered views; the optimised build runs it, and lighter "
                        "tests take the same paths under the sanitizers";
    constexpr int kViews = 12;
    std::string output;
    int status = -1;
    // Portrait, upside down, landscape left and right, face up.
    std::map<long, Tally> tallies = evaluate("1,2,3,4,5", kViews, output, status);
    ASSERT_EQ(status, 0) << output;
    ASSERT_EQ(tallies.size(), 5u) << output;
    for (auto& [orientation, t] : tallies) {
        EXPECT_EQ(t.views, kViews) << orientation;
        EXPECT_EQ(t.correct + t.wrong + t.none, kViews) << orientation;
    }
    // Held upright the models read most of the views.
    const int portrait = tallies[1].correct;
    EXPECT_GE(portrait, kViews * 3 / 4) << output;
    // Turned back upright, the other holds show the models the very same
    // pixels; one view of leeway.
    for (long orientation : {2L, 3L, 4L})
        EXPECT_NEAR(tallies[orientation].correct, portrait, 1) << "orientation " << orientation << "\n" << output;
    // Lying flat nothing is turned; the run only has to finish (checked above).
}
