#include "support/ControllerFixture.h"

using namespace tevra;
using tevra::test::ControllerFixture;

class PageLoading : public ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        make();
    }
    std::vector<std::string> loads() { return page().loadedURLs(); }
};

TEST_F(PageLoading, LoadURLRemembersOnlySuccesses) {
    controller->loadURL("example.org");
    EXPECT_EQ(loads(), (std::vector<std::string>{"http://example.org"}));
    EXPECT_EQ(fake->defaults->stringForKey("url"), "example.org");
    EXPECT_GE(fake->defaults->synchronizeCount(), 1);
    controller->loadURL("not a page");
    EXPECT_EQ(fake->defaults->stringForKey("url"), "example.org");
    controller->storeURLInUserDefaults(std::nullopt);
    EXPECT_FALSE(controller->getURLFromUserDefaults());
}

TEST_F(PageLoading, EmptyHostIsNoHost) {
    // Neither text names a server; with no such resource nothing loads and
    // nothing is remembered, so a later start does not repeat it.
    for (const char* text : {"", "http://"}) {
        controller->loadURL(text);
        EXPECT_FALSE(controller->getURLFromUserDefaults()) << text;
    }
    EXPECT_FALSE(controller->loadURLInWKWebView("https://"));
    EXPECT_TRUE(loads().empty());
}

TEST_F(PageLoading, NavigationRestartsTheSessionAndHidesTheCamera) {
    controller->setShowCameraFeed(true);
    page().loadRequest("https://example.org/a");
    page().simulateStartProvisional();
    EXPECT_EQ(session().runCount(), 1);
    EXPECT_TRUE(controller->webviewNavigationSuccess);
    EXPECT_FALSE(controller->showingCameraFeed);
    page().simulateFinish();
    EXPECT_EQ(session().runCount(), 2);
    // Before tracking began, finished pages are not remembered.
    EXPECT_FALSE(fake->defaults->stringForKey("url"));
    controller->initialPageLoadedWhenTrackingBegins = true;
    page().simulateFinish();
    EXPECT_EQ(fake->defaults->stringForKey("url"), "https://example.org/a");
}

TEST_F(PageLoading, FailuresLogUnlessCancelled) {
    fake->log->clear();
    page().simulateFail(-999, "cancelled", true);
    EXPECT_FALSE(controller->webviewNavigationSuccess);
    EXPECT_TRUE(log().empty());
    page().simulateFail(-1004, "Could not connect to the server.", true);
    ASSERT_EQ(log().size(), 1u);
    EXPECT_EQ(log()[0].rfind("ERROR: webview didFailProvisionalNavigation with error '", 0), 0u);
    page().simulateFail(-1, "Broken", false);
    EXPECT_EQ(log()[1].rfind("ERROR: webview didFailNavigation with error '", 0), 0u);
}
