// A controller on the fake platform, with shortcuts to its fakes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "bridge/ViewControllerSDK.h"
#include "platform/fake/FakePlatform.h"

namespace tevra::test {

class ControllerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        fake = fake::FakePlatform::install();
        resources = std::filesystem::temp_directory_path() /
                    ("tevra-res-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(resources);
        fake->platform->resourcesDirectory = resources.string();
        resetGlobals();
        hostView = std::make_shared<View>(Rect{0, 0, 390, 844});
        hostWebView = fake->views->makeHostWebView({0, 0, 390, 844});
    }
    void TearDown() override {
        controller.reset();
        std::error_code ec;
        std::filesystem::remove_all(resources, ec);
        resetGlobals();
    }
    static void resetGlobals();

    std::shared_ptr<ViewControllerSDK> make() {
        controller = ViewControllerSDK::initWithView(hostView, hostWebView);
        return controller;
    }
    fake::FakeWebView& page() { return *fake->views->lastWebView(); }
    fake::FakeARSession& session() { return *fake->ar->lastSession(); }
    fake::FakeCameraView& camera() { return *fake->views->lastCameraView(); }
    bool post(const std::string& channel, const nlohmann::json& body) { return page().postMessage(channel, body); }
    std::vector<std::string> log() const { return fake->log->systemLines(); }
    bool logged(const std::string& line) const {
        auto l = log();
        return std::find(l.begin(), l.end(), line) != l.end();
    }
    size_t drain() { return fake->dispatch->drainAll(); }
    void writeResource(const std::string& rel, const std::string& content = "<html></html>");

    std::shared_ptr<fake::FakePlatform> fake;
    std::filesystem::path resources;
    std::shared_ptr<View> hostView;
    std::shared_ptr<fake::FakeWebView> hostWebView;
    std::shared_ptr<ViewControllerSDK> controller;
    static inline int counter = 0;
};

}  // namespace tevra::test
