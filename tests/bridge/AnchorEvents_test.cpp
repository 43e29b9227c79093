#include "support/ControllerFixture.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <random>

using namespace tevra;
using tevra::test::ControllerFixture;

class AnchorEvents : public ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        make();
        controller->viewWillAppear(false);
        page().clearRecords();
    }
    std::shared_ptr<ARPlaneAnchor> plane(const std::string& uuid, float3 center, float3 extent,
                                         const float4x4& t = float4x4::identity()) {
        return std::make_shared<ARPlaneAnchor>(uuid, t, center, extent);
    }
    std::vector<std::string> scripts() { return page().evaluatedScripts(); }
};

TEST_F(AnchorEvents, NonPlaneAnchorsAreNotReportedOnAddOrRemove) {
    auto a = std::make_shared<ARAnchor>("A-1", float4x4::identity());
    controller->sessionDidAddAnchors(session(), {a});
    controller->sessionDidRemoveAnchors(session(), {a});
    EXPECT_TRUE(scripts().empty());
}

TEST_F(AnchorEvents, PlaneGeometryText) {
    auto p = plane("P-1", {0.5f, 0, 0}, {2, 0, 4}, float4x4::translation(1, 0, 1));
    controller->sessionDidAddAnchors(session(), {p});
    ASSERT_EQ(scripts().size(), 1u);
    EXPECT_EQ(
        scripts()[0],
        "if (window.ZephralDispatchARDisplayEvent) window.ZephralDispatchARDisplayEvent({\"type\":\"planesadded\","
        "\"planes\":[{\"modelMatrix\":[1.000000,0.000000,0.000000,0.000000,0.000000,1.000000,0.000000,0.000000,"
        "0.000000,0.000000,1.000000,0.000000,1.500000,0.000000,1.000000,1.000000],\"identifier\":1,"
        "\"extent\":[2.000000,4.000000],\"vertices\":[1.000000,0.000000,2.000000,-1.000000,0.000000,2.000000,"
        "-1.000000,0.000000,-2.000000,1.000000,0.000000,-2.000000]}]});");
}

TEST_F(AnchorEvents, UpdateSendsPlanesThenAnchorsWithNumericIdsBare) {
    std::vector<std::string> args = {"7", "1", "0", "0", "0", "0", "1", "0", "0",
                                     "0", "0", "1", "0", "0", "0", "0", "1"};
    std::string body = "addAnchor:";
    for (size_t i = 0; i < args.size(); ++i) body += (i ? "," : "") + args[i];
    post("Zephral", body);
    auto pageAnchor = session().anchors()[0];
    controller->sessionDidUpdateAnchors(session(), {plane("P-1", {}, {1, 0, 1}), pageAnchor});
    ASSERT_EQ(scripts().size(), 2u);
    EXPECT_NE(scripts()[0].find("\"type\":\"planesupdated\""), std::string::npos);
    EXPECT_NE(scripts()[1].find("\"type\":\"anchorsupdated\",\"anchors\":[{\"modelMatrix\":["), std::string::npos);
    EXPECT_NE(scripts()[1].find("\"identifier\":7}]"), std::string::npos) << scripts()[1];
}

TEST_F(AnchorEvents, WordIdsAreQuotedSoTheEventSurvives) {
    std::string evil = "x});alert(1);({\"a";
    for (std::string id : {std::string("door"), evil}) {
        page().clearRecords();
        std::string body = "addAnchor:" + id + ",1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1";
        post("Zephral", body);
        auto a = controller->anchors.at(id);
        controller->sessionDidUpdateAnchors(session(), {a});
        ASSERT_EQ(scripts().size(), 1u);
        std::string expected = "\"identifier\":" + nlohmann::json(id).dump() + "}]});";
        EXPECT_EQ(scripts()[0].substr(scripts()[0].size() - expected.size()), expected) << scripts()[0];
    }
}

TEST_F(AnchorEvents, AnchorsWithoutPageIdReadNull) {
    auto tapAnchor = std::make_shared<ARAnchor>("T-1", float4x4::identity());
    controller->sessionDidUpdateAnchors(session(), {tapAnchor});
    ASSERT_EQ(scripts().size(), 1u);
    EXPECT_NE(scripts()[0].find("\"identifier\":(null)}"), std::string::npos);
}

TEST_F(AnchorEvents, PlaneNumbersAreStableAndDistinct) {
    auto p1 = plane("P-1", {}, {1, 0, 1});
    auto p2 = plane("P-2", {}, {1, 0, 1});
    int32_t a = controller->planeIdentifier("P-1");
    int32_t b = controller->planeIdentifier("P-2");
    EXPECT_NE(a, b);
    controller->sessionDidUpdateAnchors(session(), {p1, p2});
    EXPECT_EQ(controller->planeIdentifier("P-1"), a);
    EXPECT_EQ(controller->planeIdentifier("P-2"), b);
    controller->sessionDidRemoveAnchors(session(), {p1});
    EXPECT_NE(controller->planeIdentifier("P-3"), b);
}

TEST_F(AnchorEvents, EventEvaluationErrorsStaySilent) {
    page().failScriptsWithPrefix("if (window.ZephralDispatchARDisplayEvent)", "boom");
    fake->log->clear();
    controller->sessionDidAddAnchors(session(), {plane("P-1", {}, {1, 0, 1})});
    drain();
    EXPECT_TRUE(log().empty());
}

TEST_F(AnchorEvents, TapPlacesAnAnchorInFrontOfTheCamera) {
    fake->uuids->uuidString();
    controller->tapRecognizer->fire();  // no frame yet
    EXPECT_TRUE(session().anchors().empty());
    auto f = std::make_shared<fake::FakeARFrame>();
    f->camera_->transform_ = float4x4::translation(1, 1, 1) * rotationY(static_cast<float>(M_PI / 2));
    session().setCurrentFrame(f);
    controller->tapRecognizer->fire();
    ASSERT_EQ(session().anchors().size(), 1u);
    const float4x4& t = session().anchors()[0]->transform();
    // Looking down -z rotated a quarter turn about y looks down -x.
    EXPECT_NEAR(t.m(3, 0), 0.8f, 1e-6);
    EXPECT_NEAR(t.m(3, 1), 1.0f, 1e-6);
    EXPECT_NEAR(t.m(3, 2), 1.0f, 1e-6);
    EXPECT_TRUE(scripts().empty());
    EXPECT_TRUE(controller->objCAnchorIdsToJSAnchorIds.empty());
}

TEST_F(AnchorEvents, RemovingAPageAnchorSendsNothing) {
    post("Zephral", "addAnchor:3,1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1");
    post("Zephral", "removeAnchor:3");
    EXPECT_TRUE(scripts().empty());
}

// The event text of many planes and anchors, number for number as printf
// "%f" writes them: negative zero, tiny negatives, halves, large values.
TEST_F(AnchorEvents, ManyPlanesAndAnchorsReadAsPrintfWritesThem) {
    std::mt19937 rng(5);
    const float special[] = {0.0f, -0.0f, -1e-7f, 0.5f, -2.5e-6f, 1234567.9f, -0.0000005f, 3.0000005f};
    auto value = [&](int i) {
        if (i % 5 == 0) return special[rng() % std::size(special)];
        return std::uniform_real_distribution<float>(-50.0f, 50.0f)(rng);
    };
    ARAnchorList list;
    std::string planes = "[", anchors = "[";
    char buf[4096];
    auto d = [](float f) { return static_cast<double>(f); };
    for (int i = 0; i < 60; ++i) {
        std::array<float, 16> e;
        for (int k = 0; k < 16; ++k) e[static_cast<size_t>(k)] = value(i + k);
        float4x4 t = float4x4::fromElements(e.data());
        if (i % 2 == 0) {
            float3 center{value(i), value(i + 1), value(i + 2)}, extent{std::abs(value(i)), 0, std::abs(value(i + 3))};
            auto p = plane("P-" + std::to_string(i), center, extent, t);
            list.push_back(p);
            auto m = t.elements();
            m[12] += center.x;
            m[13] += center.y;
            m[14] += center.z;
            double ex = extent.x, ez = extent.z;
            std::snprintf(
                buf, sizeof buf,
                "{\"modelMatrix\":[%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f],\"identifier\":%i,\"extent\":[%f,%"
                "f],"
                "\"vertices\":[%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f]},",
                d(m[0]), d(m[1]), d(m[2]), d(m[3]), d(m[4]), d(m[5]), d(m[6]), d(m[7]), d(m[8]), d(m[9]), d(m[10]),
                d(m[11]), d(m[12]), d(m[13]), d(m[14]), d(m[15]), controller->planeIdentifier(p->identifier()), ex, ez,
                d(static_cast<float>(ex / 2)), 0.0, d(static_cast<float>(ez / 2)), d(static_cast<float>(-ex / 2)), 0.0,
                d(static_cast<float>(ez / 2)), d(static_cast<float>(-ex / 2)), 0.0, d(static_cast<float>(-ez / 2)),
                d(static_cast<float>(ex / 2)), 0.0, d(static_cast<float>(-ez / 2)));
            planes += buf;
        } else {
            auto a = std::make_shared<ARAnchor>("A-" + std::to_string(i), t);
            list.push_back(a);
            auto m = t.elements();
            std::snprintf(buf, sizeof buf,
                          "{\"modelMatrix\":[%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f],\"identifier\":(null)},",
                          d(m[0]), d(m[1]), d(m[2]), d(m[3]), d(m[4]), d(m[5]), d(m[6]), d(m[7]), d(m[8]), d(m[9]),
                          d(m[10]), d(m[11]), d(m[12]), d(m[13]), d(m[14]), d(m[15]));
            anchors += buf;
        }
    }
    planes.back() = ']';
    anchors.back() = ']';
    EXPECT_EQ(controller->getPlanesString(list).value_or(""), planes);
    EXPECT_EQ(controller->getAnchorsString(list).value_or(""), anchors);
}
