#include "bridge/FrameCall.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

using namespace tevra;

namespace {

std::string reference(float v) {
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%f", static_cast<double>(v));
    return std::string(buf, static_cast<size_t>(n));
}

std::string fast(float v) {
    std::string s;
    appendFloatF6(s, v);
    return s;
}

float fromBits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Compares one value; returns false (after one failure message) on mismatch.
bool same(float v) {
    std::string want = reference(v), got = fast(v);
    if (want == got) return true;
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    ADD_FAILURE() << "bits 0x" << std::hex << bits << ": printf gives " << want << ", fast gives " << got;
    return false;
}

}  // namespace

TEST(FrameCall, SpecialValuesMatchPrintf) {
    const float cases[] = {0.0f,
                           -0.0f,
                           1.0f,
                           -1.0f,
                           0.01f,
                           0.1f,
                           0.5f,
                           1e-7f,
                           -1e-7f,
                           4.9e-7f,
                           -4.9e-7f,
                           5e-7f,
                           -5e-7f,
                           5.0000006e-7f,
                           1.5e-6f,
                           0.0078125f /* x.5 in millionths: ties to even */,
                           0.0234375f,
                           -0.0078125f,
                           8388607.5f,
                           8388608.0f,
                           16777217.0f,
                           1e9f,
                           -1e9f,
                           3e9f,
                           1.2345678e12f,
                           1e20f,
                           FLT_MAX,
                           -FLT_MAX,
                           FLT_MIN,
                           -FLT_MIN,
                           FLT_TRUE_MIN,
                           -FLT_TRUE_MIN,
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN(),
                           -std::numeric_limits<float>::quiet_NaN(),
                           fromBits(0x7F800001u),
                           fromBits(0xFF800001u)};
    for (float v : cases) same(v);
    EXPECT_EQ(fast(-0.0f), "-0.000000");
    EXPECT_EQ(fast(-1e-7f), "-0.000000");
    EXPECT_EQ(fast(0.01f), "0.010000");
    EXPECT_EQ(fast(0.0078125f), "0.007812");
    EXPECT_EQ(fast(0.0234375f), "0.023438");
    EXPECT_EQ(fast(FLT_MAX), "340282346638528859811704183484516925440.000000");
    EXPECT_EQ(fast(-std::numeric_limits<float>::infinity()), "-inf");
}

// Every float with a tie in the sixth decimal rounds as printf does, and the
// values around each power of ten and each rounding carry (0.9999995 -> 1).
TEST(FrameCall, TiesAndCarriesMatchPrintf) {
    int failures = 0;
    for (uint32_t k = 1; k < 200000 && failures < 5; k += 2) {
        float v = static_cast<float>(k) / 128.0f;
        failures += !same(v) + !same(-v);
    }
    for (double p = 1e-7; p < 1e30 && failures < 5; p *= 10) {
        float f = static_cast<float>(p);
        for (int i = 0; i < 64; ++i) {
            failures += !same(f) + !same(-f);
            f = std::nextafter(f, 0.0f);
        }
        f = static_cast<float>(p);
        for (int i = 0; i < 64; ++i) {
            failures += !same(f);
            f = std::nextafter(f, FLT_MAX);
        }
        // Values just under a carry at the sixth decimal.
        float c = static_cast<float>(p - 5e-7);
        for (int i = 0; i < 16; ++i) {
            failures += !same(c);
            c = std::nextafter(c, FLT_MAX);
        }
    }
    EXPECT_EQ(failures, 0);
}

// A million random bit patterns and a million values in the ranges a camera
// pose and a projection take.
TEST(FrameCall, RandomFloatsMatchPrintf) {
    std::mt19937 rng(20240607u);
    std::uniform_int_distribution<uint32_t> bits;
    int failures = 0;
    for (int i = 0; i < 1000000 && failures < 5; ++i) failures += !same(fromBits(bits(rng)));

    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_real_distribution<float> world(-200.0f, 200.0f);
    std::uniform_real_distribution<float> tiny(-2e-6f, 2e-6f);
    std::uniform_real_distribution<float> huge(1e9f, 1e13f);
    std::uniform_int_distribution<int> pick(0, 3);
    for (int i = 0; i < 1000000 && failures < 5; ++i) {
        float v = 0;
        switch (pick(rng)) {
            case 0:
                v = unit(rng);
                break;
            case 1:
                v = world(rng);
                break;
            case 2:
                v = tiny(rng);
                break;
            default:
                v = (i & 1) ? huge(rng) : -huge(rng);
                break;
        }
        failures += !same(v);
    }
    EXPECT_EQ(failures, 0);
}

TEST(FrameCall, IdentityPoseCall) {
    float values[kFrameCallValueCount] = {};
    values[6] = 1;                                       // quaternion w
    for (int i = 0; i < 4; ++i) values[7 + i * 5] = 1;   // view = identity
    for (int i = 0; i < 4; ++i) values[23 + i * 5] = 1;  // projection = identity
    std::string call = buildFrameCall(values);
    const std::string head =
        "if(window.handleARFrame){window.handleARFrame(new Float32Array([0.000000,0.000000,0.000000,0.000000,0.000000,"
        "0.000000,1.000000,1.000000,";
    EXPECT_EQ(call.compare(0, head.size(), head), 0) << call;
    EXPECT_EQ(call.substr(call.size() - 13), ",1.000000]))}");
}

TEST(FrameCall, CallMatchesSnprintfLoop) {
    std::mt19937 rng(7u);
    std::uniform_real_distribution<float> dist(-1000.0f, 1000.0f);
    for (int round = 0; round < 200; ++round) {
        float values[kFrameCallValueCount];
        for (float& v : values) v = dist(rng);
        if (round == 0) values[3] = -0.0f;
        std::string want = "if(window.handleARFrame){window.handleARFrame(new Float32Array([";
        for (size_t i = 0; i < kFrameCallValueCount; ++i) {
            if (i) want += ",";
            want += reference(values[i]);
        }
        want += "]))}";
        std::string got = "keep:";
        appendFrameCall(got, values);
        ASSERT_EQ(got, "keep:" + want);
        ASSERT_EQ(buildFrameCall(values), want);
    }
}

// A pose or projection that went non-finite must still be JavaScript the
// page can run: printf's nan/inf would make the call a ReferenceError.
TEST(FrameCall, NonFiniteValuesAreJavaScriptLiterals) {
    float values[kFrameCallValueCount] = {};
    values[0] = std::numeric_limits<float>::quiet_NaN();
    values[1] = -std::numeric_limits<float>::quiet_NaN();
    values[2] = std::numeric_limits<float>::infinity();
    values[38] = -std::numeric_limits<float>::infinity();
    const std::string call = buildFrameCall(values);
    EXPECT_EQ(call.find("nan"), std::string::npos) << call;
    EXPECT_EQ(call.find("inf"), std::string::npos) << call;
    EXPECT_NE(call.find("Float32Array([NaN,NaN,Infinity,0.000000,"), std::string::npos) << call;
    EXPECT_EQ(call.substr(call.size() - 14), ",-Infinity]))}") << call;
}
