#include "page/URL.h"
#include "support/ControllerFixture.h"

using namespace tevra;
using tevra::test::ControllerFixture;

class PageLoading : public ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        make();
    }
    std::string fileURL(const std::string& rel) { return fileURLForPath((resources / rel).string()); }
    std::vector<std::string> loads() { return page().loadedURLs(); }
};

TEST(URLParsing, SchemeHostPathAndStrictness) {
    auto u = parseURL("file://docs/Index.HTML");
    ASSERT_TRUE(u);
    EXPECT_EQ(*u->scheme, "file");
    EXPECT_EQ(*u->host, "docs");
    EXPECT_EQ(u->path, "/Index.HTML");
    EXPECT_EQ(u->pathExtension(), "HTML");
    u = parseURL("index.html");
    ASSERT_TRUE(u);
    EXPECT_FALSE(u->scheme);
    EXPECT_FALSE(u->host);
    u = parseURL("https://user@example.org:8443/a/b.js?x=1#y");
    ASSERT_TRUE(u);
    EXPECT_EQ(*u->host, "example.org");
    EXPECT_EQ(u->path, "/a/b.js");
    for (const char* bad : {"my page", "a\"b", "x<y", "50%", "%zz", "", "caf\xc3\xa9", "http://h:port/"})
        EXPECT_FALSE(parseURL(bad)) << bad;
}

TEST_F(PageLoading, TextsWithoutSchemeLoadRemotely) {
    EXPECT_TRUE(controller->loadURLInWKWebView("www.example.com"));
    EXPECT_TRUE(controller->loadURLInWKWebView("index.html"));
    EXPECT_TRUE(controller->loadURLInWKWebView("https://example.org/ar?x=1"));
    EXPECT_EQ(loads(), (std::vector<std::string>{"http://www.example.com", "http://index.html",
                                                 "https://example.org/ar?x=1"}));
}

TEST_F(PageLoading, FileAddressesNameResources) {
    writeResource("www/index.html");
    writeResource("docs/Index.html");
    EXPECT_TRUE(controller->loadURLInWKWebView("file://www/index.html"));
    EXPECT_TRUE(controller->loadURLInWKWebView("file://docs/Index.HTML"));
    EXPECT_TRUE(controller->loadURLInWKWebView("file://www"));
    EXPECT_EQ(loads(), (std::vector<std::string>{fileURL("www/index.html"), fileURL("docs/Index.html"),
                                                 fileURL("www/index.html")}));
}

TEST_F(PageLoading, FileAddressOfABareFileNameFails) {
    writeResource("index.html");
    EXPECT_FALSE(controller->loadURLInWKWebView("file://index.html"));
    EXPECT_TRUE(loads().empty());
}

TEST_F(PageLoading, UnparsableTextsNameResourcesDirectly) {
    writeResource("my page.html");
    writeResource("my page.html.bak.html");
    EXPECT_TRUE(controller->loadURLInWKWebView("my page.HTML"));
    EXPECT_TRUE(controller->loadURLInWKWebView("my page.html.bak"));
    EXPECT_EQ(loads(), (std::vector<std::string>{fileURL("my page.html"), fileURL("my page.html.bak.html")}));
    EXPECT_FALSE(controller->loadURLInWKWebView("no such page"));
}

TEST_F(PageLoading, DirectoryWithoutIndexFails) {
    std::filesystem::create_directories(resources / "empty dir");
    EXPECT_FALSE(controller->loadURLInWKWebView("empty dir"));
    EXPECT_TRUE(loads().empty());
}

TEST_F(PageLoading, NamesCannotLeaveTheResources) {
    writeResource("../outside.html");
    EXPECT_FALSE(controller->loadURLInWKWebView("file://../outside.html"));
    EXPECT_FALSE(controller->loadURLInWKWebView("../outside page"));
    EXPECT_TRUE(loads().empty());
}

TEST_F(PageLoading, LoadURLRemembersOnlySuccesses) {
    controller->loadURL("example.org");
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
